#pragma once
// The core operation `solve`: one fixed-horizon solve when the time of flight
// is given, otherwise the grid + golden-section search for the greatest
// final mass.
#include <expected>
#include <functional>
#include <string>
#include <utility>

#include "vexal/config.hpp"
#include "vexal/solve.hpp"

namespace vexal {

using SolveResult = std::expected<Trajectory, std::string>;
// The fixed-horizon solver the search judges candidates with; tests script it.
using FixedSolver = std::function<SolveResult(const Config&, double)>;

// (lower, upper) of the automatic time-of-flight bracket; the upper end is
// capped at the time that would burn the whole wet mass at full thrust,
// never below the lower end.
std::pair<double, double> auto_bracket(const Spacecraft& spacecraft);

// One fixed-horizon solve with no stop request: the search's default judge.
SolveResult solve_fixed_plain(const Config& config, double time_of_flight);

enum class SearchMode {
    golden,  // 13-point grid, 20 golden-section steps, one final solve: always 36 solves
    fast,    // 3 to 5 points of that grid, then Brent's method to a tolerance on the time
};

struct SearchOptions {
    SearchMode mode = SearchMode::golden;
    // fast only: Brent stops once the time of flight is known to about this
    // fraction of itself.
    double relative_tolerance = 2e-4;
};

// The grid + refinement search for the greatest final mass over the bracket
// (tof_min, tof_max when both are set, else the automatic one).
SolveResult search(const Config& config, const FixedSolver& fixed_solver = solve_fixed_plain,
                   const SearchOptions& options = {});

SolveResult solve(const Config& config);

}  // namespace vexal
