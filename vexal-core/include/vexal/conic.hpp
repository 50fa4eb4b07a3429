#pragma once
// One call of the conic solver on an assembled program: construct, solve,
// read the status and the primal vector. Nothing of the binding leaks out.
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

#include "vexal/assemble.hpp"
#include "vexal/error.hpp"

namespace vexal {

struct ConicSolution {
    std::string status;  // the solver's status name, e.g. "Solved"
    bool success = false;  // Solved or AlmostSolved
    bool stopped = false;  // ended by the stop request (CallbackTerminated)
    bool infeasible = false;  // PrimalInfeasible or AlmostPrimalInfeasible: no point satisfies the program
    std::vector<double> x;  // the primal vector, one entry per column of A
    std::uint32_t iterations = 0;  // interior-point iterations taken
};

// Asked once per solver iteration; true ends the solve with the status
// "CallbackTerminated". It must not throw (a throw counts as true).
using StopCheck = std::function<bool()>;

// The solution, or the error "solver construction error: ..." (kind
// solver_construction) when the solver refuses the program. A failure inside
// the solver library throws InternalError.
// A positive `tolerance` replaces the solver's gap and feasibility
// tolerances (its defaults otherwise).
Result<ConicSolution> solve_conic(const Problem& problem, const StopCheck* stop = nullptr, double tolerance = 0.0);

}  // namespace vexal
