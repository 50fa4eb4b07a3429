#pragma once
// The C++ front door: plan(config, options) plans a descent the way
// vexal.plan does from Python. The inputs are checked first (a value no
// descent can have is an error naming the field), then the fast or golden
// search runs, or one solve at the configured time of flight, with the
// pointing limit and the nearest landing on request and the fast search's
// grid on a few threads. The lower-level entries (solve, search,
// solve_fixed) check nothing.
#include <functional>
#include <optional>
#include <string_view>

#include "vexal/config.hpp"
#include "vexal/error.hpp"
#include "vexal/fixed_horizon.hpp"
#include "vexal/json.hpp"
#include "vexal/memory.hpp"
#include "vexal/planner.hpp"

namespace vexal {

struct PlanOptions {
    SearchMode search = SearchMode::fast;
    // The fast search's relative tolerance on the time of flight, in (0, 1).
    double tolerance = 2e-4;
    // Every node's thrust within environment.max_angle_deg of vertical
    // (180 degrees or more adds nothing; a negative or NaN angle is refused).
    bool pointing = true;
    // When no time of flight reaches the target: the least landing error,
    // then the least fuel.
    bool nearest_landing = false;
    // m: the search counts the landing errors within this much of the least
    // as equal and takes the least fuel among them (the least error is
    // ragged in the time of flight, and a metre of it can cost a hundred
    // kilograms). 0: the least error, exactly. A fixed time of flight lands
    // at its own least error. Finite, at least 0.
    double landing_tolerance = 1.0;
    // The fast search's grid threads; 0: from the cores. At most 3 are used.
    unsigned threads = 0;
    // The planet's angular velocity, rad/s, in the configuration's frame
    // (finite; zero: a still planet).
    Vec3 rotation{};
    // The quick path's solver; the golden search always solves with Clarabel.
    SolverChoice solver = kDefaultSolver;
};

// How the caller watches and stops a plan; every hook may be left empty.
struct PlanHooks {
    // Asked at every solver iteration, from any thread of the plan; true
    // ends the plan with the error "interrupted" (kind interrupted). `now`
    // is true between solves on the planning thread, where a hook that
    // rations its own checks should look regardless.
    std::function<bool(bool now)> stop;
    // After each solve, on the planning thread and in order: the solves
    // made so far and the greatest final mass planned so far (none before
    // the first; the landing-error stage of a nearest landing plans none).
    std::function<void(unsigned solves, std::optional<double> best_final_mass)> progress;
    // How the caller's users ask for the nearest landing, as the message of
    // an unreachable target names it.
    std::string_view nearest_landing_option = "PlanOptions::nearest_landing";
};

struct Plan {
    Trajectory trajectory;
    double touchdown_time = 0.0;  // s, of the last node: (n - 1)/n of the time of flight
    unsigned solves = 0;          // fixed-horizon solves made
    unsigned fallbacks = 0;       // of the fast search's quick solves, those solved again with the defaults
    bool pointing_limit = false;  // the pointing limit was in force
};

// Everything the plans of one node count work in, sized once. Built with
// build(), a plan through it with the structured solver on one grid thread
// (PlanOptions::threads = 1) allocates nothing: the fast search or a fixed
// horizon, landing on the target, pointing limit on or off, ground or
// glide slope. Programs of other shapes (a nearest landing, a turning
// planet, an engine without a throttle floor) build their solver at the
// first plan that meets them and keep it; the golden search, the Clarabel
// solver, a fallback to the plain solve, more grid threads and a failing
// plan's message allocate.
struct PlanWorkspace {
    // For plans of n nodes: the node count checked, its memory reserved in
    // the process's ledger, kept (waiting for plans in progress, asking
    // `stop`; refused at once when it cannot fit beside the workspaces kept), every
    // array sized and the structured solvers of the target landing built.
    static Result<PlanWorkspace> build(std::uint64_t n, const StopCheck* stop = nullptr);

    std::uint64_t n = 0;
    MemoryReservation memory;  // for n nodes on one thread
    QuickSolves quick;         // the kept solvers
    SolveBuffers buffers;      // the program, its scaling, the answer
    SearchSpace search;
    Trajectory spare;          // the other stage of a nearest landing
    Plan plan;                 // the last plan
};

// The descent planned, or why not: invalid_input (the checks, naming the
// field), json, infeasible (in plain words: the horizon or the bracket in
// seconds), solver_status, solver_construction, interrupted.
Result<Plan> plan(const Config& config, const PlanOptions& options = {}, const PlanHooks& hooks = {});

// The same plan through `workspace` (built for config.solver.n, else
// invalid_input), left in workspace.plan until the next.
Result<const Plan*> plan(const Config& config, const PlanOptions& options, const PlanHooks& hooks,
                         PlanWorkspace& workspace);

}  // namespace vexal
