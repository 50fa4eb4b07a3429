#include "vexal/fixed_horizon.hpp"

#include <cmath>
#include <cstdio>

#include "vexal/accuracy.hpp"
#include "vexal/assemble.hpp"
#include "vexal/conic.hpp"
#include "vexal/error.hpp"

namespace vexal {

Result<Trajectory> solve_fixed(const Config& config, double time_of_flight, const StopCheck* stop,
                               const ProgramOptions& options) {
    std::vector<double> x;
    std::string status;
    std::uint32_t iterations = 0;
    {
        const Problem problem = assemble(config, time_of_flight, options);
        const Scaling scaling = program_scaling(config, time_of_flight, problem, options);
        // With the landing error as the objective, the solver's default
        // accuracy leaves it a fraction of a millimetre off the optimum.
        const double tolerance = options.landing == Landing::nearest ? kLandingSolverTolerance : 0.0;
        auto solution = solve_conic(scaled(problem, scaling), stop, tolerance);
        if (!solution) return std::unexpected(std::move(solution.error()));
        if (!solution->success) {
            const ErrorKind kind = solution->stopped      ? ErrorKind::interrupted
                                   : solution->infeasible ? ErrorKind::infeasible
                                                          : ErrorKind::solver_status;
            return fail(kind, "solver status: " + solution->status);
        }
        x = std::move(solution->x);
        if (x.size() != scaling.columns.size()) {
            throw InternalError("solver returned " + std::to_string(x.size()) + " values for " +
                                std::to_string(scaling.columns.size()) + " variables");
        }
        for (std::size_t c = 0; c < x.size(); ++c) x[c] *= scaling.columns[c];

        // "Solved" is the solver's own verdict on the scaled program; the
        // point must also satisfy the program as it was built.
        const double violation = program_violation(problem, x);
        if (!(violation <= kViolationTolerance)) {
            char text[64];
            std::snprintf(text, sizeof text, "%.1e", violation);
            return fail(ErrorKind::solver_status, "solver status: " + solution->status +
                                                      ", but its point violates the program by " + text +
                                                      " (relative)");
        }
        status = std::move(solution->status);
        iterations = solution->iterations;
    }  // the program is released before the trajectory is built

    const std::uint64_t n = config.solver.n;
    const Layout at = options.layout(n);
    const double dt = time_of_flight / static_cast<double>(n);
    const double real_max_thrust = config.spacecraft.real_max_thrust;
    Trajectory t;
    t.positions.resize(n);
    t.velocities.resize(n);
    t.u_values.resize(n);
    t.thrusts.resize(n);
    t.normalized_thrusts.resize(n);
    t.z_values.resize(n);
    t.s_values.resize(n);
    t.time_points.resize(n);
    for (std::uint64_t k = 0; k < n; ++k) {
        const Vec3 u{x[at.thrust(k, 0)], x[at.thrust(k, 1)], x[at.thrust(k, 2)]};
        const double z = x[at.log_mass(k)];
        t.positions[k] = {x[at.position(k, 0)], x[at.position(k, 1)], x[at.position(k, 2)]};
        t.velocities[k] = {x[at.velocity(k, 0)], x[at.velocity(k, 1)], x[at.velocity(k, 2)]};
        t.u_values[k] = u;
        t.s_values[k] = x[at.slack(k)];
        t.z_values[k] = z;
        t.thrusts[k] = norm(u) * std::exp(z);
        t.normalized_thrusts[k] = t.thrusts[k] / real_max_thrust;
        t.time_points[k] = static_cast<double>(k) * dt;
    }
    t.status = std::move(status);
    t.iterations = iterations;
    t.objective = t.z_values[n - 1];
    t.final_mass = std::exp(t.objective);
    const Vec3& target = config.spacecraft.target_position;
    t.landing_error = std::hypot(t.positions[n - 1][0] - target[0], t.positions[n - 1][1] - target[1]);
    t.time_of_flight = time_of_flight;
    return t;
}

}  // namespace vexal
