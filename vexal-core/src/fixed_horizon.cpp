#include "vexal/fixed_horizon.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "vexal/accuracy.hpp"
#include "vexal/assemble.hpp"
#include "vexal/conic.hpp"
#include "vexal/error.hpp"

namespace vexal {

namespace {

// A solver's answer in the variables of the program as it was built.
struct Point {
    std::vector<double> x;
    std::vector<double> y;  // the duals of its rows
    std::string status;
    std::uint32_t iterations = 0;
};

// d(optimum)/d(horizon) by the envelope theorem: the Lagrangian
// q'x + y'(Ax - b) differentiated in the data alone, at the solver's primal
// and dual point; the data's derivative by central differences of the
// assembled program (the pattern is the same at every horizon).
double objective_slope(const Config& config, double time_of_flight, const ProgramOptions& options,
                       const Point& point) {
    const double step = 1e-6 * time_of_flight;
    const Problem up = assemble(config, time_of_flight + step, options);
    const Problem down = assemble(config, time_of_flight - step, options);
    if (up.a.colptr != down.a.colptr || up.a.rowval != down.a.rowval || point.y.size() != up.b.size()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double change = 0.0;
    for (std::size_t j = 0; j < point.x.size(); ++j) {
        double column = up.q[j] - down.q[j];
        for (std::uint64_t k = up.a.colptr[j]; k < up.a.colptr[j + 1]; ++k) {
            column += point.y[up.a.rowval[k]] * (up.a.nzval[k] - down.a.nzval[k]);
        }
        change += column * point.x[j];
    }
    for (std::size_t i = 0; i < up.b.size(); ++i) change -= point.y[i] * (up.b[i] - down.b[i]);
    return change / (2.0 * step);
}

// The point of an answer the solver accepted that also satisfies the
// unscaled program to `limit` (relative), or the error that says why not.
Result<Point> judged(ConicSolution solution, const Problem& problem, const Scaling& scaling, double limit) {
    if (!solution.success) {
        const ErrorKind kind = solution.stopped      ? ErrorKind::interrupted
                               : solution.infeasible ? ErrorKind::infeasible
                                                     : ErrorKind::solver_status;
        return fail(kind, "solver status: " + solution.status);
    }
    std::vector<double> x = std::move(solution.x);
    if (x.size() != scaling.columns.size()) {
        throw InternalError("solver returned " + std::to_string(x.size()) + " values for " +
                            std::to_string(scaling.columns.size()) + " variables");
    }
    for (std::size_t c = 0; c < x.size(); ++c) x[c] *= scaling.columns[c];
    // "Solved" is the solver's own verdict on the scaled program; the point
    // must also satisfy the program as it was built.
    const double violation = program_violation(problem, x);
    if (!(violation <= limit)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.1e", violation);
        return fail(ErrorKind::solver_status, "solver status: " + solution.status +
                                                  ", but its point violates the program by " + text + " (relative)");
    }
    // The duals of the program as built: y = R z~ for A~ = R A D.
    std::vector<double> y = std::move(solution.z);
    if (y.size() == scaling.rows.size()) {
        for (std::size_t i = 0; i < y.size(); ++i) y[i] *= scaling.rows[i];
    } else {
        y.clear();
    }
    return Point{std::move(x), std::move(y), std::move(solution.status), solution.iterations};
}

// The quick path's answer, or nothing when it must be solved again plainly.
std::optional<Result<Point>> quick_answer(QuickSolves& quick, const Problem& problem, const Problem& program,
                                          const Scaling& scaling, double time_of_flight,
                                          const ProgramOptions& options, std::uint64_t n, double tolerance,
                                          const StopCheck* stop) {
    ++quick.counts.solves;
    std::optional<ConicSolution> solution;
    if (quick.solver == SolverChoice::structured) {
        auto solver = quick.structured_for(program, options, n, tolerance);
        if (solver) solution = (*solver)->solve(stop);
    } else {
        auto solver = quick.solver_for(program, time_of_flight, options, tolerance);
        if (solver) solution = (*solver)->solve(stop);
    }
    if (solution) {
        if (solution->stopped || solution->infeasible) return judged(std::move(*solution), problem, scaling, 0.0);
        if (solution->solved) {
            auto point = judged(std::move(*solution), problem, scaling, quick.quick_violation);
            if (point) return point;
        }
    }
    ++quick.counts.fallbacks;
    return std::nullopt;
}

}  // namespace

Result<ConicSolver*> QuickSolves::solver_for(const Problem& program, double time_of_flight,
                                             const ProgramOptions& options, double tolerance) {
    auto kept = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) {
        return k.pointing == options.pointing && k.landing == options.landing && k.rotating == options.rotating();
    });
    if (kept != kept_.end() && std::abs(time_of_flight - kept->built_at) <= rebuild_fraction * kept->built_at) {
        kept->solver.update(program);
        return &kept->solver;
    }
    auto built = ConicSolver::build(program, ConicSettings{tolerance, false, true, kMaxIterations});
    if (!built) return std::unexpected(std::move(built.error()));
    ++counts.builds;
    if (kept == kept_.end()) {
        kept_.push_back(Kept{options.pointing, options.landing, options.rotating(), time_of_flight, std::move(*built)});
        return &kept_.back().solver;
    }
    kept->built_at = time_of_flight;
    kept->solver = std::move(*built);
    return &kept->solver;
}

Result<StructuredSolver*> QuickSolves::structured_for(const Problem& program, const ProgramOptions& options,
                                                     std::uint64_t n, double tolerance) {
    auto kept = std::find_if(structured_.begin(), structured_.end(), [&](const KeptStructured& k) {
        return k.pointing == options.pointing && k.landing == options.landing && k.rotating == options.rotating();
    });
    StructuredSettings settings = structured_settings;
    if (tolerance > 0.0) settings.tolerance = tolerance;
    if (kept != structured_.end() && kept->solver.fits(program)) {
        kept->solver.set_tolerance(settings.tolerance);
        kept->solver.update(program);
        return &kept->solver;
    }
    auto built = StructuredSolver::build(program, options.layout(n).column_nodes(), settings);
    if (!built) return std::unexpected(std::move(built.error()));
    ++counts.builds;
    if (kept == structured_.end()) {
        structured_.push_back(KeptStructured{options.pointing, options.landing, options.rotating(), std::move(*built)});
        return &structured_.back().solver;
    }
    kept->solver = std::move(*built);
    return &kept->solver;
}

Result<Trajectory> solve_fixed(const Config& config, double time_of_flight, const StopCheck* stop,
                               const ProgramOptions& options, QuickSolves* quick) {
    std::vector<double> x;
    std::string status;
    std::uint32_t iterations = 0;
    double slope = std::numeric_limits<double>::quiet_NaN();  // of the objective
    {
        const Problem problem = assemble(config, time_of_flight, options);
        const Scaling scaling = program_scaling(config, time_of_flight, problem, options);
        // With the landing error as the objective, the solver's default
        // accuracy leaves it a fraction of a millimetre off the optimum.
        const double tolerance = options.landing == Landing::nearest ? kLandingSolverTolerance : 0.0;
        const Problem program = scaled(problem, scaling);
        std::optional<Result<Point>> point;
        if (quick) point = quick_answer(*quick, problem, program, scaling, time_of_flight, options, config.solver.n, tolerance,
                                            stop);
        if (!point) {
            auto solution = solve_conic(program, stop, tolerance);
            if (!solution) return std::unexpected(std::move(solution.error()));
            point = judged(std::move(*solution), problem, scaling, kViolationTolerance);
        }
        if (!*point) return std::unexpected(std::move(point->error()));
        if (quick && quick->slopes && options.landing == Landing::target) {
            slope = objective_slope(config, time_of_flight, options, **point);
        }
        x = std::move((*point)->x);
        status = std::move((*point)->status);
        iterations = (*point)->iterations;
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
    t.mass_slope = -t.final_mass * slope;  // the solver minimises minus the log of the final mass
    const Vec3& target = config.spacecraft.target_position;
    t.landing_error = std::hypot(t.positions[n - 1][0] - target[0], t.positions[n - 1][1] - target[1]);
    t.time_of_flight = time_of_flight;
    return t;
}

}  // namespace vexal
