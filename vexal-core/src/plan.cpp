#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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

// The checked configuration planned. The fast search takes the quick path
// (QuickSolves) and solves its grid points on `threads` threads (0: from
// the cores); every grid point is solved on a solver of its own, so the
// plan is the same on any number of threads. The golden search is the
// reference and takes neither.
SolveResult planned(const Config& config, const SearchOptions& options, const ProgramOptions& program,
                    unsigned threads, SolverChoice solver, const PlanHooks& hooks, Plan& out) {
    const bool fast = options.mode == SearchMode::fast;
    const auto stopped = [&hooks](bool now) { return hooks.stop && hooks.stop(now); };
    const StopCheck stop = [&stopped] { return stopped(false); };
    const StopCheck* const stop_check = hooks.stop ? &stop : nullptr;
    std::optional<double> best;
    // The final mass of each fixed solve's plan, if it made one (the
    // landing-error stage of a nearest landing makes none).
    using Log = std::vector<std::optional<double>>;
    const auto count = [&](std::optional<double> planned) {
        ++out.solves;
        if (planned && (!best || *planned > *best)) best = planned;
        if (hooks.progress) hooks.progress(out.solves, best);
    };
    // The solves at one time of flight. Without a log they are counted and
    // reported at once (on the planning thread); a grid thread logs them
    // for the planning thread to count and report in order.
    const auto solve_at = [&](const Config& c, double t, QuickSolves* quick, Log* log) -> SolveResult {
        const auto solve_one = [&](const ProgramOptions& stage) -> SolveResult {
            if (stopped(log == nullptr)) return fail(ErrorKind::interrupted, "interrupted");
            SolveResult result = solve_fixed(c, t, stop_check, stage, quick);
            std::optional<double> planned;
            if (result && stage.landing != Landing::nearest) planned = result->final_mass;
            if (log) log->push_back(planned);
            else count(planned);
            return result;
        };
        if (!options.nearest_landing) return solve_one(program);
        return nearest_landing(c, program, solve_one);
    };
    const bool searched = !config.solver.time_of_flight;
    std::optional<QuickSolves> kept;
    if (fast) kept.emplace();
    if (kept) {
        kept->slopes = searched;  // only a search reads them
        kept->solver = solver;
    }
    SolveCounts quick;
    const FixedSolver fixed = [&](const Config& c, double t) -> SolveResult {
        return solve_at(c, t, kept ? &*kept : nullptr, nullptr);
    };
    const unsigned pool = fast && searched ? grid_threads(config.solver.n, threads) : 1;
    const BatchSolver batch = [&](const Config& c, const std::vector<double>& times) {
        std::vector<SolveResult> results(times.size(), fail(ErrorKind::interrupted, "interrupted"));
        if (stopped(true)) return results;
        std::vector<QuickSolves> own(times.size());
        for (QuickSolves& q : own) q.solver = solver;
        std::vector<Log> logs(times.size());
        for_each_index(times.size(), pool,
                       [&](std::size_t i) { results[i] = solve_at(c, times[i], &own[i], &logs[i]); });
        for (std::size_t i = 0; i < times.size(); ++i) {
            quick += own[i].counts;
            for (std::optional<double> planned : logs[i]) count(planned);
        }
        return results;
    };
    // Plans on other threads share the process's memory: this one waits
    // until its programs fit beside theirs, and gives its share back on
    // return.
    SolveResult result = fail(ErrorKind::interrupted, "interrupted");
    auto memory = reserve_memory(config.solver.n * pool, stop_check);
    if (!memory) {
        result = std::unexpected(std::move(memory.error()));
    } else if (config.solver.time_of_flight) {
        result = fixed(config, *config.solver.time_of_flight);
    } else {
        result = search(config, fixed, options, fast ? batch : BatchSolver{});
    }
    if (kept) quick += kept->counts;
    kept.reset();  // the kept solvers go before the reservation does
    out.fallbacks = quick.fallbacks;
    return result;
}

}  // namespace

Result<Plan> plan(const Config& config, const PlanOptions& options, const PlanHooks& hooks) {
    if (auto ok = check_tolerance(options.tolerance); !ok) return std::unexpected(std::move(ok.error()));
    auto checked = checked_for_planning(config, options.nearest_landing);
    if (!checked) return std::unexpected(std::move(checked.error()));
    const auto pointing = pointing_in_force(*checked, options.pointing);
    if (!pointing) return std::unexpected(pointing.error());
    if (auto ok = check_rotation(options.rotation); !ok) return std::unexpected(std::move(ok.error()));
    ProgramOptions program{*pointing};
    program.rotation = options.rotation;

    const SearchOptions search_options{options.search, options.tolerance, options.nearest_landing};
    Plan out;
    out.pointing_limit = *pointing;
    SolveResult result = planned(*checked, search_options, program, options.threads, options.solver, hooks, out);
    if (!result) {
        return std::unexpected(in_plain_words(std::move(result.error()), *checked, search_options,
                                              hooks.nearest_landing_option));
    }
    out.touchdown_time = result->time_points.back();
    out.trajectory = std::move(*result);
    return out;
}

}  // namespace vexal
