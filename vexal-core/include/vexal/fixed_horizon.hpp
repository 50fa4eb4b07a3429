#pragma once
// One fixed-horizon solve through the conic solver, and its result record.
#include <expected>
#include <limits>
#include <string>
#include <vector>

#include "vexal/accuracy.hpp"
#include "vexal/assemble.hpp"
#include "vexal/config.hpp"
#include "vexal/conic.hpp"
#include "vexal/error.hpp"
#include "vexal/structured_solver.hpp"

namespace vexal {

struct Trajectory {
    std::vector<Vec3> positions;
    std::vector<Vec3> velocities;
    std::vector<double> thrusts;             // |u_k| * exp(z_k)
    std::vector<double> normalized_thrusts;  // thrusts / real_max_thrust
    std::vector<double> z_values;
    std::vector<Vec3> u_values;
    std::vector<double> s_values;
    std::vector<double> time_points;
    std::string status;  // "Solved" or "AlmostSolved"
    double objective = 0.0;   // z at the last node
    double final_mass = 0.0;  // exp(objective)
    double time_of_flight = 0.0;
    std::uint32_t iterations = 0;  // the solver's iterations (not shown to Python)
    double landing_error = 0.0;    // horizontal distance of the last node from the target (not shown to _vexal)
    // d(final_mass)/d(time_of_flight) at this optimum, from the solver's
    // duals; NaN unless the quick path planned least fuel (to the target or anywhere).
    double mass_slope = std::numeric_limits<double>::quiet_NaN();
};

// The solver's gap and feasibility tolerances when it minimises the landing error.
inline constexpr double kLandingSolverTolerance = 1e-10;
// The structured solver's there: the gap to 1e-9 (micrometres on a landing
// error of kilometres), the residuals to 1e-8. 1e-10 lies at the program's
// rounding (the library's answers at 1e-10 for horizons that share one
// optimum differ by 1e-10 of it), and the structured solver's iterates
// broke down short of it.
inline constexpr double kLandingGapTolerance = 1e-9;
inline constexpr double kLandingFeasibilityTolerance = 1e-8;

// What the solves of one plan did on the quick path.
struct SolveCounts {
    unsigned solves = 0;     // fixed-horizon solves that took the quick path
    unsigned fallbacks = 0;  // of those, answered by a solve with the library's defaults
    unsigned builds = 0;     // solvers built (the rest were updates of a kept one)
    unsigned retries = 0;    // structured solves that did not converge, solved again with the late regularisation

    SolveCounts& operator+=(const SolveCounts& more) {
        solves += more.solves;
        fallbacks += more.fallbacks;
        builds += more.builds;
        retries += more.retries;
        return *this;
    }
};

// The interior-point solver of the quick path: the Clarabel library, or
// the structured one (vexal/structured_solver.hpp), which exploits the
// program's banding by node and allocates nothing while it solves. Either
// answer is checked the same way; the plain solve behind both is Clarabel's.
enum class SolverChoice { clarabel, structured };

// The front door's solver: the structured one, measured faster than
// Clarabel's quick path at every node count with the same optimum and no
// more fallbacks (bench/structured_solves, bench/solver_table.py).
inline constexpr SolverChoice kDefaultSolver = SolverChoice::structured;

// The quick path of the solves of one plan (one thread's): iterative
// refinement off, at most kMaxIterations iterations, and one solver per
// program kind kept from solve to solve and given the new horizon's values.
// Its answer is taken only when the solver calls it Solved and the point
// violates the program by at most quick_violation (relative; a nearest
// landing's fuel stage kWithinViolation), or when the
// solver proves the program infeasible; anything else is solved again as
// without the quick path, with the library's defaults (the structured
// solver first tries once more with its late regularisation). (Without refinement
// the solver calls some infeasible horizons "AlmostSolved", and a few long
// ones take it to its iteration limit where the defaults take 20.) The
// solver chooses its equilibration when it is built, and kept too long it
// takes more iterations: it is built again when the horizon has moved by
// more than rebuild_fraction of the one it was built at (measured: a move
// of 30 % costs 2 % more iterations, 50 % up to 7 %).
class QuickSolves {
public:
    static constexpr double kViolation = 1e-8;
    static constexpr double kWithinViolation = 1e-7;  // Landing::within's
    static constexpr double kRebuildFraction = 0.25;
    static constexpr std::uint32_t kMaxIterations = 50;
    // The structured solver's regularisation, once refinement is on, when a
    // solve is tried again (StructuredSettings::late_regularization).
    static constexpr double kLateRegularization = 1e-10;

    double quick_violation = kViolation;
    double rebuild_fraction = kRebuildFraction;
    SolverChoice solver = kDefaultSolver;
    // The structured solver's settings (its tolerance is the program's).
    StructuredSettings structured_settings{.max_iterations = kMaxIterations};
    bool slopes = true;  // Trajectory::mass_slope of each plan to the target (two more assemblies)
    SolveCounts counts;

    // Starts the solves of a new plan: the counts and the Clarabel solvers
    // go (each chose its equilibration at its first horizon); the
    // structured ones stay, their answers depend on the program alone.
    void restart() {
        counts = {};
        kept_.clear();
    }

    // The kept solver for the program kind of `options`, given `program`'s
    // values (built anew when there is none or the horizon moved too far).
    Result<ConicSolver*> solver_for(const Problem& program, double time_of_flight, const ProgramOptions& options,
                                    double tolerance);

    // The kept structured solver for the pattern of `program`, given its
    // values (built when none has that pattern).
    Result<StructuredSolver*> structured_for(const Problem& program, const ProgramOptions& options,
                                             std::uint64_t n, double tolerance);

private:
    std::vector<StructuredSolver> structured_;  // one per program pattern met
    struct Kept {
        bool pointing;
        Landing landing;
        bool rotating;
        bool floor;
        double built_at;
        ConicSolver solver;
    };
    std::vector<Kept> kept_;
};

// Plans the descent for the given time of flight (config's own
// time_of_flight is ignored). Errors are values, never thrown: "solver
// status: <name>" (kind infeasible when the solver proves that no point
// satisfies the program, interrupted when the stop request ended the solve,
// solver_status otherwise) or the solver's construction error. The solver works on
// the program with its columns scaled; a point it accepts that still
// violates the unscaled program is an error, not a trajectory.
// With `quick`, the solve takes its quick path (see QuickSolves): the
// answers are those of the plain solve to the solver's accuracy.
// Precondition: the node count passed check_node_count.
Result<Trajectory> solve_fixed(const Config& config, double time_of_flight, const StopCheck* stop = nullptr,
                               const ProgramOptions& options = {}, QuickSolves* quick = nullptr);

// What a fixed-horizon solve works in, kept from solve to solve: once a
// program of the same pattern has sized them, a solve allocates nothing on
// the quick path with the structured solver (a fallback to the plain
// solve allocates in the solver library).
struct SolveBuffers {
    Problem problem;   // as assembled
    Scaling scaling;
    Problem program;   // as the solver is handed it
    Problem up, down;  // the horizons either side, for the slope
    std::vector<double> x, y, scratch;  // the point, its duals, the check's work
    std::string status;
    std::uint32_t iterations = 0;
};

// solve_fixed into `t` (its arrays reused) and `buffers`. The message of
// a solver's status is left unwritten (Error::status): written() writes it.
Result<void> solve_fixed_into(Trajectory& t, SolveBuffers& buffers, const Config& config, double time_of_flight,
                              const StopCheck* stop = nullptr, const ProgramOptions& options = {},
                              QuickSolves* quick = nullptr);

}  // namespace vexal
