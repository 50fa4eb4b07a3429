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
#include "vexal/hypot.hpp"

namespace vexal {

namespace {

// d(optimum)/d(horizon) by the envelope theorem: the Lagrangian
// q'x + y'(Ax - b) differentiated in the data alone, at the solver's primal
// and dual point; the data's derivative by central differences of the
// assembled program (the pattern is the same at every horizon).
double objective_slope(const Config& config, double time_of_flight, const ProgramOptions& options,
                       SolveBuffers& buffers) {
    const double step = 1e-6 * time_of_flight;
    Problem& up = buffers.up;
    Problem& down = buffers.down;
    assemble_into(up, config, time_of_flight + step, options);
    assemble_into(down, config, time_of_flight - step, options);
    const std::vector<double>& x = buffers.x;
    const std::vector<double>& y = buffers.y;
    if (up.a.colptr != down.a.colptr || up.a.rowval != down.a.rowval || y.size() != up.b.size()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double change = 0.0;
    for (std::size_t j = 0; j < x.size(); ++j) {
        double column = up.q[j] - down.q[j];
        for (std::uint64_t k = up.a.colptr[j]; k < up.a.colptr[j + 1]; ++k) {
            column += y[up.a.rowval[k]] * (up.a.nzval[k] - down.a.nzval[k]);
        }
        change += column * x[j];
    }
    for (std::size_t i = 0; i < up.b.size(); ++i) change -= y[i] * (up.b[i] - down.b[i]);
    return change / (2.0 * step);
}

// The error of a solver's status, its message left to written() when the
// status is one of the solver's names.
Error status_error(ErrorKind kind, const std::string& status) {
    if (const char* name = status_name(status)) return Error{kind, {}, name};
    return Error{kind, "solver status: " + status};
}

// Writes the point of an answer the solver accepted into buffers.x (and its
// duals into buffers.y) when it also satisfies the unscaled program to
// `limit` (relative); otherwise the error that says why not.
Result<void> judged(const ConicSolution& solution, SolveBuffers& buffers, double limit) {
    if (!solution.success) {
        const ErrorKind kind = solution.stopped      ? ErrorKind::interrupted
                               : solution.infeasible ? ErrorKind::infeasible
                                                     : ErrorKind::solver_status;
        return std::unexpected(status_error(kind, solution.status));
    }
    const Scaling& scaling = buffers.scaling;
    std::vector<double>& x = buffers.x;
    if (solution.x.size() != scaling.columns.size()) {
        throw InternalError("solver returned " + std::to_string(solution.x.size()) + " values for " +
                            std::to_string(scaling.columns.size()) + " variables");
    }
    x.assign(solution.x.begin(), solution.x.end());
    for (std::size_t c = 0; c < x.size(); ++c) x[c] *= scaling.columns[c];
    // "Solved" is the solver's own verdict on the scaled program; the point
    // must also satisfy the program as it was built.
    const double violation = program_violation(buffers.problem, x, buffers.scratch);
    if (!(violation <= limit)) {
        Error error = status_error(ErrorKind::solver_status, solution.status);
        if (!error.status) return std::unexpected(written(std::move(error)));
        error.violates = true;
        error.violation = violation;
        return std::unexpected(std::move(error));
    }
    // The duals of the program as built: y = R z~ for A~ = R A D.
    std::vector<double>& y = buffers.y;
    if (solution.z.size() == scaling.rows.size()) {
        y.assign(solution.z.begin(), solution.z.end());
        for (std::size_t i = 0; i < y.size(); ++i) y[i] *= scaling.rows[i];
    } else {
        y.clear();
    }
    buffers.status = solution.status;
    buffers.iterations = solution.iterations;
    return {};
}

// The quick path's answer, or nothing when it must be solved again plainly.
std::optional<Result<void>> quick_answer(QuickSolves& quick, SolveBuffers& buffers, double time_of_flight,
                                         const ProgramOptions& options, std::uint64_t n, double tolerance,
                                         const StopCheck* stop) {
    ++quick.counts.solves;
    ConicSolution clarabel;  // the structured solver keeps its answer itself
    const ConicSolution* solution = nullptr;
    if (quick.solver == SolverChoice::structured) {
        auto solver = quick.structured_for(buffers.program, options, n, tolerance);
        if (solver) {
            solution = &(*solver)->solve(stop);
            // Not converged (long horizons: the iterates creep to the limit):
            // once more with the smaller late regularisation, before the
            // library's solve.
            if (!solution->solved && !solution->stopped && !solution->infeasible) {
                const StructuredSettings usual = (*solver)->settings();
                StructuredSettings retry = usual;
                retry.late_regularization = QuickSolves::kLateRegularization;
                (*solver)->set_settings(retry);
                solution = &(*solver)->solve(stop);
                (*solver)->set_settings(usual);
                ++quick.counts.retries;
            }
        }
    } else {
        auto solver = quick.solver_for(buffers.program, time_of_flight, options, tolerance);
        if (solver) {
            clarabel = (*solver)->solve(stop);
            solution = &clarabel;
        }
    }
    if (solution) {
        if (solution->stopped || solution->infeasible) return judged(*solution, buffers, 0.0);
        if (solution->solved) {
            // The fuel stage within a divert's least error pins a landing
            // kilometres out: its rows are met to the solver's tolerance
            // relative to that scale, a few 1e-8 m, which is no error.
            const double limit = options.landing == Landing::within
                                     ? std::max(quick.quick_violation, QuickSolves::kWithinViolation)
                                     : quick.quick_violation;
            auto point = judged(*solution, buffers, limit);
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
        return k.pointing == options.pointing && k.landing == options.landing && k.rotating == options.rotating() &&
               k.floor == options.dry_mass_floor;
    });
    if (kept != kept_.end() && std::abs(time_of_flight - kept->built_at) <= rebuild_fraction * kept->built_at) {
        kept->solver.update(program);
        return &kept->solver;
    }
    auto built = ConicSolver::build(program, ConicSettings{tolerance, false, true, kMaxIterations});
    if (!built) return std::unexpected(std::move(built.error()));
    ++counts.builds;
    if (kept == kept_.end()) {
        kept_.push_back(Kept{options.pointing, options.landing, options.rotating(), options.dry_mass_floor,
                             time_of_flight, std::move(*built)});
        return &kept_.back().solver;
    }
    kept->built_at = time_of_flight;
    kept->solver = std::move(*built);
    return &kept->solver;
}

Result<StructuredSolver*> QuickSolves::structured_for(const Problem& program, const ProgramOptions& options,
                                                     std::uint64_t n, double tolerance) {
    StructuredSettings settings = structured_settings;
    if (tolerance > 0.0) settings.tolerance = tolerance;
    if (options.landing == Landing::nearest) {
        settings.tolerance = kLandingGapTolerance;
        settings.feasibility_tolerance = kLandingFeasibilityTolerance;
    }
    // Its answer depends on the program alone (each update equilibrates
    // anew, each solve starts afresh), so one solver per pattern serves
    // every horizon.
    auto kept = std::find_if(structured_.begin(), structured_.end(),
                             [&](const StructuredSolver& s) { return s.fits(program); });
    if (kept != structured_.end()) {
        kept->set_settings(settings);
        kept->update(program);
        return &*kept;
    }
    auto built = StructuredSolver::build(program, options.layout(n).column_nodes(), settings);
    if (!built) return std::unexpected(std::move(built.error()));
    ++counts.builds;
    structured_.push_back(std::move(*built));
    return &structured_.back();
}

Result<void> solve_fixed_into(Trajectory& t, SolveBuffers& buffers, const Config& config, double time_of_flight,
                              const StopCheck* stop, const ProgramOptions& options, QuickSolves* quick) {
    double slope = std::numeric_limits<double>::quiet_NaN();  // of the objective
    assemble_into(buffers.problem, config, time_of_flight, options);
    program_scaling_into(buffers.scaling, config, time_of_flight, buffers.problem, options);
    // With the landing error as the objective, the solver's default
    // accuracy leaves it a fraction of a millimetre off the optimum.
    const double tolerance = options.landing == Landing::nearest ? kLandingSolverTolerance : 0.0;
    scaled_into(buffers.program, buffers.problem, buffers.scaling);
    std::optional<Result<void>> point;
    if (quick) point = quick_answer(*quick, buffers, time_of_flight, options, config.solver.n, tolerance, stop);
    if (!point) {
        auto solution = solve_conic(buffers.program, stop, tolerance);
        if (!solution) return std::unexpected(std::move(solution.error()));
        point = judged(*solution, buffers, kViolationTolerance);
    }
    if (!*point) return std::unexpected(std::move(point->error()));
    if (quick && quick->slopes && (options.landing == Landing::target || options.landing == Landing::anywhere)) {
        slope = objective_slope(config, time_of_flight, options, buffers);
    }

    const std::vector<double>& x = buffers.x;
    const std::uint64_t n = config.solver.n;
    const Layout at = options.layout(n);
    const double dt = time_of_flight / static_cast<double>(n);
    const double real_max_thrust = config.spacecraft.real_max_thrust;
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
    t.status = buffers.status;
    t.iterations = buffers.iterations;
    t.objective = t.z_values[n - 1];
    t.final_mass = std::exp(t.objective);
    t.mass_slope = -t.final_mass * slope;  // the solver minimises minus the log of the final mass
    const Vec3& target = config.spacecraft.target_position;
    t.landing_error = vexal::hypot(t.positions[n - 1][0] - target[0], t.positions[n - 1][1] - target[1]);
    t.time_of_flight = time_of_flight;
    return {};
}

Result<Trajectory> solve_fixed(const Config& config, double time_of_flight, const StopCheck* stop,
                               const ProgramOptions& options, QuickSolves* quick) {
    Trajectory t;
    {
        SolveBuffers buffers;
        auto solved = solve_fixed_into(t, buffers, config, time_of_flight, stop, options, quick);
        if (!solved) return std::unexpected(written(std::move(solved.error())));
    }  // the program is released before the trajectory is returned
    return t;
}

}  // namespace vexal
