#pragma once
// The core operation `solve`: one fixed-horizon solve when the time of flight
// is given, otherwise the grid + golden-section search for the greatest
// final mass.
#include <array>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "vexal/config.hpp"
#include "vexal/error.hpp"
#include "vexal/fixed_horizon.hpp"

namespace vexal {

using SolveResult = Result<Trajectory>;
// The fixed-horizon solver the search judges candidates with; tests script it.
using FixedSolver = std::function<SolveResult(const Config&, double)>;

// (lower, upper) of the automatic time-of-flight bracket; the upper end is
// capped at the time that would burn the whole wet mass at full thrust,
// never below the lower end.
std::pair<double, double> auto_bracket(const Spacecraft& spacecraft);

// One fixed-horizon solve with no stop request: the search's default judge.
SolveResult solve_fixed_plain(const Config& config, double time_of_flight);
// The same without the dry-mass floor (ProgramOptions::dry_mass_floor).
SolveResult solve_fixed_without_floor(const Config& config, double time_of_flight);

enum class SearchMode {
    golden,  // 13-point grid, 20 golden-section steps, one final solve: always 36 solves
    fast,    // a few points of that grid, then a secant of the final mass's slopes (Brent's
             // method on the merit when solves give no slope) to a tolerance on the time
};

struct SearchOptions {
    SearchMode mode = SearchMode::golden;
    // fast only: the refinement stops once the time of flight is known to
    // about this fraction of itself.
    double relative_tolerance = 2e-4;
    // Rank times of flight by landing error first, then by final mass.
    bool nearest_landing = false;
    // nearest_landing: landing errors within this many metres of the least
    // count as equal, and among them the most final mass wins (a second
    // search, solved with that allowance). 0: the least error, exactly.
    double landing_tolerance = 0.0;
    // m: the landing errors that count as reaching, when above the reach
    // tolerance (the least error plus the tolerance, in the second search).
    double landing_allowance = 0.0;
    // fast only: a time of flight below which no candidate lands (a bound
    // the caller knows holds, e.g. fastest_landing's); 0: none.
    double earliest = 0.0;
};

// No shorter time of flight lands the program with its dry-mass floor on a
// planet that does not turn: the least time in which the thrust, at most
// the rated share over the dry mass in any direction, brings each axis of
// the state from the start to the target (the height alone when the
// landing may be anywhere on the ground). 0 when no axis gives a bound.
double fastest_landing(const Config& config, bool horizontal);

// What the search maximises: the final mass, or with nearest_landing the
// final mass less a penalty that makes any landing error beyond the reach
// tolerance (or the landing allowance, if larger) outweigh every
// difference in fuel.
double search_merit(const Trajectory& trajectory, const Config& config, const SearchOptions& options);

// One fixed-horizon solve of the program with the given options, at a time
// of flight the caller has chosen.
using ProgramSolver = std::function<SolveResult(const ProgramOptions&)>;

// The horizontal distance from start to target (at least 1 m).
double landing_scale(const Config& config);
// Landing errors up to kReachedFraction of that scale, and never less than
// kReached, count as reaching the target.
inline constexpr double kReachedFraction = 1e-6;
inline constexpr double kReached = 1e-4;  // m
double reach_tolerance(const Config& config);
// The margin over the least landing error that the fuel stage may use, so
// that the solvers' accuracy cannot make it infeasible, nor a sliver that
// they cannot solve (at 1e-8 of the divert, the size of their residuals,
// both failed it, and the plan kept the error stage's point and its fuel).
inline constexpr double kLandingMarginFraction = 3e-8;
inline constexpr double kLandingMargin = 1e-5;  // m

// The nearest landing at one time of flight, in two solves: the least
// horizontal distance to the target, then the least fuel landing within it
// (plus the margin). A target reached is planned by the literal program.
// Every stage keeps the pointing limit and rotation of `program`; each sets
// its own landing. With an `allowance` (m) above the least error the fuel
// stage may land anywhere within it (less the margin, so that its answer
// stays within).
SolveResult nearest_landing(const Config& config, const ProgramOptions& program, const ProgramSolver& solve_one,
                            double allowance = 0.0);

// Solves several times of flight at once (their order given, results in
// that order); the search hands it the points it needs together. Empty:
// one FixedSolver call after the other.
using BatchSolver = std::function<std::vector<SolveResult>(const Config&, const std::vector<double>&)>;

// The grid + refinement search for the greatest search_merit (the final
// mass unless nearest_landing) over the bracket (tof_min, tof_max when both
// are set, else the automatic one). A failing candidate counts as
// infeasible, except one the stop request ended (kind interrupted): that
// error ends the search at once. No feasible grid point: "infeasible: no
// feasible time-of-flight in [lower, upper]" (kind infeasible).
// The fast search asks for its grid points through `batch` when given (the
// golden one solves every point in turn, as it always has).
// With `without_floor` (the same solves without the dry-mass floor; to the
// target, or landing anywhere for a nearest landing) an empty grid is not
// yet the verdict: the horizons that land with the fuel given, a window
// narrower than a grid step, are looked for about that program's best
// horizon, and only where its final mass falls short of the dry mass is
// there none. The golden search does the same when a grid point lands but
// neither its refinement nor its final solve does. A search that plans
// without it costs no more solves.
// A nearest landing with a landing tolerance, once the least error e is
// found off the target, is searched a second time for the most final mass
// among the horizons that land within e + tolerance, each solved with that
// allowance (SearchSpace::landing_allowance, for the judge); its answer is
// taken when it lands within e + tolerance with more final mass. (This
// entry's fixed_solver is not told the allowance: its fuel stage lands
// within its own least error, and the second search ranks those.)
SolveResult search(const Config& config, const FixedSolver& fixed_solver = solve_fixed_plain,
                   const SearchOptions& options = {}, const BatchSolver& batch = {},
                   const FixedSolver& without_floor = {});

// A callable borrowed for the length of a call: unlike std::function it
// never allocates. Built from a named callable that outlives it.
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f) noexcept  // implicit, as std::function is
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return std::invoke(*static_cast<std::remove_reference_t<F>*>(object), std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

// The searches themselves run on solves that write each trajectory into
// `out`, reusing its arrays, so that a search kept with its SearchSpace
// allocates nothing of its own. One time of flight:
using SolveInto = FunctionRef<Result<void>(const Config&, double, Trajectory& out)>;
// Several at once, each into its own out[i], its outcome in results[i]:
using BatchInto = FunctionRef<void(const Config&, std::span<const double> times, std::span<Trajectory> out,
                                   std::span<Result<void>> results)>;
// One stage of a nearest landing:
using ProgramSolveInto = FunctionRef<Result<void>(const ProgramOptions&, Trajectory& out)>;

inline constexpr int kGridIntervals = 12;

// What a search keeps between its solves; kept from search to search, its
// trajectories keep their arrays.
struct SearchSpace {
    Trajectory best;     // the answer, once the search has one
    Trajectory least;    // a nearest landing's least error, while fuel is searched within its tolerance
    // The allowance the judge hands a nearest landing's fuel stage
    // (nearest_landing_into): 0, except during the search within the
    // landing tolerance.
    double landing_allowance = 0.0;
    Trajectory current;  // the solve in hand
    Trajectory ahead;    // the point off the grid solved beside the first grid point
    std::array<Trajectory, kGridIntervals + 2> points;  // solved together
    std::array<Result<void>, kGridIntervals + 2> outcomes;
};

// search, with the answer left in space.best; `batch` and `without_floor`
// may be null.
Result<void> search_into(SearchSpace& space, const Config& config, SolveInto fixed_solver, const SearchOptions& options,
                         const BatchInto* batch = nullptr, const SolveInto* without_floor = nullptr);

// nearest_landing, its answer in `out` and `spare` the other stage's.
Result<void> nearest_landing_into(Trajectory& out, Trajectory& spare, const Config& config,
                                  const ProgramOptions& program, ProgramSolveInto solve_one, double allowance = 0.0);

// The entry: the node count checked once, then one fixed-horizon solve at
// the configured time of flight, or the search.
SolveResult solve(const Config& config);

}  // namespace vexal
