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

// (lower, upper) of the automatic time-of-flight bracket.
std::pair<double, double> auto_bracket(const Spacecraft& spacecraft);

SolveResult search(const Config& config, const FixedSolver& fixed_solver = solve_fixed);

SolveResult solve(const Config& config);

}  // namespace vexal
