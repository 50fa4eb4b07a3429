#include <algorithm>
#include <cstdio>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "vexal/accuracy.hpp"
#include "vexal/check.hpp"
#include "vexal/memory.hpp"
#include "vexal/parallel.hpp"
#include "vexal/vexal.hpp"

namespace vexal {
namespace {

// The grid threads of one plan: the cores this process may use, capped by
// the points solved at once and by the programs that fit in memory together.
unsigned grid_threads(std::uint64_t n, unsigned wanted) {
    constexpr unsigned kMostPointsAtOnce = 3;
    const unsigned threads = std::min(wanted ? wanted : available_cores(), kMostPointsAtOnce);
    if (threads <= 1) return 1;
    const std::uint64_t room = memory_room().bytes / kBytesPerNode / std::max<std::uint64_t>(n, 1);
    return static_cast<unsigned>(std::clamp<std::uint64_t>(std::min<std::uint64_t>(threads, room), 1, threads));
}

// The plan no trajectory can fly, in plain words: the horizon or the
// bracket in seconds and, when no time of flight reaches the target, the
// way to land as near as can be.
Error in_plain_words(Error error, const Config& config, const SearchOptions& options,
                     std::string_view nearest_landing_option) {
    if (error.kind != ErrorKind::infeasible) return error;
    const char* goal = options.nearest_landing ? "lands" : "reaches the target";
    char text[192];
    if (config.solver.time_of_flight) {
        std::snprintf(text, sizeof text, "no trajectory %s in %g s", goal, *config.solver.time_of_flight);
        error.message = text;
        return error;
    }
    // The checks set both ends of a bracket given in part.
    const auto [lower, upper] = config.solver.tof_min ? std::pair{*config.solver.tof_min, *config.solver.tof_max}
                                                      : auto_bracket(config.spacecraft);
    std::snprintf(text, sizeof text, "no trajectory %s with a time of flight in [%.3f s, %.3f s]", goal, lower, upper);
    error.message = text;
    if (!options.nearest_landing) {
        error.message += "; the nearest landing (";
        error.message += nearest_landing_option;
        error.message += ") comes as close as it can";
    }
    return error;
}

// Where one time of flight is solved: the kept solvers (none off the
// quick path), the buffers, the other stage of a nearest landing, and the
// log of a grid thread's solves (none: counted at once).
struct Place {
    QuickSolves* quick;
    SolveBuffers* buffers;
    Trajectory* spare;
    std::vector<std::optional<double>>* log;
    bool on_grid;
};

void reserve(Trajectory& t, std::uint64_t n) {
    for (auto* v : {&t.positions, &t.velocities, &t.u_values}) v->reserve(n);
    for (auto* v : {&t.thrusts, &t.normalized_thrusts, &t.z_values, &t.s_values, &t.time_points}) v->reserve(n);
}

// The checked configuration planned into `out`. The fast search takes the
// quick path (QuickSolves) and solves its grid points on `threads` threads
// (0: from the cores); every grid point is solved on a solver of its own,
// so the plan is the same on any number of threads, except that on one
// thread the kept structured solvers serve every point (their answers
// depend on the program alone). The golden search is the reference and
// takes neither.
Result<void> planned(const Config& config, const SearchOptions& options, const ProgramOptions& program,
                     unsigned threads, SolverChoice solver, const PlanHooks& hooks, PlanWorkspace& ws, Plan& out) {
    const bool fast = options.mode == SearchMode::fast;
    const auto stopped = [&hooks](bool now) { return hooks.stop && hooks.stop(now); };
    const StopCheck stop = [&stopped] { return stopped(false); };
    const StopCheck* const stop_check = hooks.stop ? &stop : nullptr;
    std::optional<double> best;
    const auto count = [&](std::optional<double> planned) {
        ++out.solves;
        if (planned && (!best || *planned > *best)) best = planned;
        if (hooks.progress) hooks.progress(out.solves, best);
    };
    // The solves at one time of flight. Without a log they are counted and
    // reported at once (on the planning thread); a grid thread logs them
    // for the planning thread to count and report in order. A program
    // without the dry-mass floor plans nothing that flies: not reported.
    const auto solve_program = [&](const Config& c, double t, const Place& at, const ProgramOptions& stage,
                                   Trajectory& to) -> Result<void> {
        if (stopped(!at.on_grid)) return fail(ErrorKind::interrupted, "interrupted");
        Result<void> result = solve_fixed_into(to, *at.buffers, c, t, stop_check, stage, at.quick);
        std::optional<double> planned;
        if (result && stage.landing != Landing::nearest && stage.dry_mass_floor) planned = to.final_mass;
        if (at.log) at.log->push_back(planned);
        else count(planned);
        return result;
    };
    const auto solve_at = [&](const Config& c, double t, const Place& at, Trajectory& into) -> Result<void> {
        const auto solve_one = [&](const ProgramOptions& stage, Trajectory& to) {
            return solve_program(c, t, at, stage, to);
        };
        if (!options.nearest_landing) return solve_one(program, into);
        return nearest_landing_into(into, *at.spare, c, program, solve_one, ws.search.landing_allowance);
    };
    const bool searched = !config.solver.time_of_flight;
    QuickSolves* const kept = fast ? &ws.quick : nullptr;
    if (kept) {
        kept->restart();
        kept->slopes = searched;  // only a search reads them
        kept->solver = solver;
    }
    SolveCounts quick;  // of the grid points' own solvers
    const Place here{kept, &ws.buffers, &ws.spare, nullptr, false};
    const auto fixed = [&](const Config& c, double t, Trajectory& into) { return solve_at(c, t, here, into); };
    // Where no grid point lands, the search looks for a narrower window on
    // the program without the dry-mass floor (landing anywhere, for a
    // nearest landing).
    ProgramOptions loose = program;
    loose.dry_mass_floor = false;
    if (options.nearest_landing) loose.landing = Landing::anywhere;
    const auto loose_at = [&](const Config& c, double t, Trajectory& into) {
        return solve_program(c, t, here, loose, into);
    };
    const SolveInto without_floor = loose_at;
    const unsigned pool = fast && searched ? grid_threads(config.solver.n, threads) : 1;
    const bool shared = pool == 1 && solver == SolverChoice::structured;
    const auto batch = [&](const Config& c, std::span<const double> times, std::span<Trajectory> into,
                           std::span<Result<void>> results) {
        for (Result<void>& r : results) r = fail(ErrorKind::interrupted, "interrupted");
        if (stopped(true)) return;
        if (shared) {
            const Place grid{kept, &ws.buffers, &ws.spare, nullptr, true};
            for (std::size_t i = 0; i < times.size(); ++i) results[i] = solve_at(c, times[i], grid, into[i]);
            return;
        }
        std::vector<QuickSolves> own(times.size());
        for (QuickSolves& q : own) q.solver = solver;
        std::vector<SolveBuffers> buffers(times.size());
        std::vector<Trajectory> spares(times.size());
        std::vector<std::vector<std::optional<double>>> logs(times.size());
        for_each_index(times.size(), pool, [&](std::size_t i) {
            results[i] = solve_at(c, times[i], Place{&own[i], &buffers[i], &spares[i], &logs[i], true}, into[i]);
        });
        for (std::size_t i = 0; i < times.size(); ++i) {
            quick += own[i].counts;
            for (std::optional<double> planned : logs[i]) count(planned);
        }
    };
    const BatchInto batched = batch;
    // Plans on other threads share the process's memory: this one waits
    // until its programs fit beside theirs (a workspace holds one thread's
    // share already), and gives back what it took on return.
    Result<void> result = fail(ErrorKind::interrupted, "interrupted");
    const std::uint64_t held = ws.memory.nodes();
    const std::uint64_t need = config.solver.n * pool;
    // A workspace of the plan's own holds nothing: the ledger checks the
    // node count, and the workspace keeps the share until its solvers go.
    auto memory = held == 0 || need > held ? reserve_memory(need - held, stop_check) : Result<MemoryReservation>{};
    if (memory && held == 0) ws.memory = std::move(*memory);
    if (!memory) {
        result = std::unexpected(std::move(memory.error()));
    } else if (config.solver.time_of_flight) {
        result = fixed(config, *config.solver.time_of_flight, out.trajectory);
    } else {
        result = search_into(ws.search, config, fixed, options, fast ? &batched : nullptr, &without_floor);
        if (result) std::swap(out.trajectory, ws.search.best);
    }
    if (kept) quick += kept->counts;
    out.fallbacks = quick.fallbacks;
    return result;
}

}  // namespace

Result<PlanWorkspace> PlanWorkspace::build(std::uint64_t n, const StopCheck* stop) {
    if (auto ok = check_node_count(n); !ok) return std::unexpected(std::move(ok.error()));
    auto memory = reserve_memory(n, stop, Hold::kept);
    if (!memory) return std::unexpected(std::move(memory.error()));
    PlanWorkspace ws;
    ws.n = n;
    ws.memory = std::move(*memory);
    ws.quick.solver = SolverChoice::structured;
    // The target landing's programs, with and without the pointing limit
    // and the glide slope; the largest also sizes the buffers.
    Config like;
    like.solver.n = n;
    const double horizon = auto_bracket(like.spacecraft).first;
    for (double glide_slope : {0.0, 30.0}) {
        like.environment.glide_slope_angle_deg = glide_slope;
        for (bool pointing : {false, true}) {
            const ProgramOptions options{pointing};
            SolveBuffers& b = ws.buffers;
            assemble_into(b.problem, like, horizon, options);
            program_scaling_into(b.scaling, like, horizon, b.problem, options);
            scaled_into(b.program, b.problem, b.scaling);
            assemble_into(b.up, like, horizon, options);
            assemble_into(b.down, like, horizon, options);
            b.x.reserve(b.problem.a.n);
            b.y.reserve(b.problem.a.m);
            b.scratch.reserve(2 * b.problem.a.m);
            auto solver = ws.quick.structured_for(b.program, options, n, 0.0);
            if (!solver) return std::unexpected(std::move(solver.error()));
        }
    }
    for (Trajectory* t : {&ws.search.best, &ws.search.least, &ws.search.current, &ws.search.ahead, &ws.spare, &ws.plan.trajectory}) {
        reserve(*t, n);
    }
    for (Trajectory& t : ws.search.points) reserve(t, n);
    return ws;
}

Result<const Plan*> plan(const Config& config, const PlanOptions& options, const PlanHooks& hooks,
                         PlanWorkspace& workspace) {
    if (auto ok = check_tolerance(options.tolerance); !ok) return std::unexpected(std::move(ok.error()));
    auto checked = checked_for_planning(config, options.nearest_landing);
    if (!checked) return std::unexpected(std::move(checked.error()));
    const auto pointing = pointing_in_force(*checked, options.pointing);
    if (!pointing) return std::unexpected(pointing.error());
    if (auto ok = check_rotation(options.rotation); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = check_landing_tolerance(options.landing_tolerance); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    if (checked->solver.n != workspace.n) {
        return fail(ErrorKind::invalid_input, "solver.n is " + std::to_string(checked->solver.n) +
                                                  " but the workspace is for " + std::to_string(workspace.n) +
                                                  " nodes");
    }
    ProgramOptions program{*pointing};
    program.rotation = options.rotation;

    SearchOptions search_options{options.search, options.tolerance, options.nearest_landing,
                                 options.landing_tolerance};
    if (!program.rotating()) search_options.earliest = fastest_landing(*checked, !options.nearest_landing);
    Plan& out = workspace.plan;
    out.solves = 0;
    out.fallbacks = 0;
    out.touchdown_time = 0.0;
    out.pointing_limit = *pointing;
    auto result =
        planned(*checked, search_options, program, options.threads, options.solver, hooks, workspace, out);
    if (!result) {
        return std::unexpected(in_plain_words(written(std::move(result.error())), *checked, search_options,
                                              hooks.nearest_landing_option));
    }
    out.touchdown_time = out.trajectory.time_points.back();
    return &out;
}

Result<Plan> plan(const Config& config, const PlanOptions& options, const PlanHooks& hooks) {
    // A workspace of its own that holds nothing yet: the plan reserves its
    // memory and builds the solvers it meets.
    PlanWorkspace workspace;
    workspace.n = config.solver.n;
    auto planned = plan(config, options, hooks, workspace);
    if (!planned) return std::unexpected(std::move(planned.error()));
    return std::move(workspace.plan);
}

}  // namespace vexal
