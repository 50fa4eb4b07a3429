#pragma once
// The conic solver on an assembled program: construct, solve, read the
// status and the primal vector, and (for a solver kept across the solves of
// one plan) new values for the same pattern. Nothing of the binding leaks out.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vexal/assemble.hpp"
#include "vexal/error.hpp"

struct vexal_clarabel_solver;

namespace vexal {

struct ConicSolution {
    std::string status;  // the solver's status name, e.g. "Solved"
    bool success = false;  // Solved or AlmostSolved
    bool solved = false;  // Solved: the full accuracy
    bool stopped = false;  // ended by the stop request (CallbackTerminated)
    bool infeasible = false;  // PrimalInfeasible or AlmostPrimalInfeasible: no point satisfies the program
    std::vector<double> x;  // the primal vector, one entry per column of A
    std::vector<double> z;  // the dual vector, one entry per row of A
    std::uint32_t iterations = 0;  // interior-point iterations taken
};

// The solver's status name equal to `status` as static text, or null for
// a name it does not have.
const char* status_name(std::string_view status);

// Asked once per solver iteration; true ends the solve with the status
// "CallbackTerminated". It must not throw (a throw counts as true).
using StopCheck = std::function<bool()>;

struct ConicSettings {
    // Positive: replaces the solver's gap and feasibility tolerances.
    double tolerance = 0.0;
    // The library's iterative refinement of each linear solve (on by
    // default). Off, a solve takes about half the time and is sometimes
    // less accurate: its answers must be checked harder.
    bool refinement = true;
    // Presolve and zero dropping off, so that update() is allowed. On a
    // program with no infinite bound and no stored zero this changes nothing.
    bool updatable = false;
    // Positive: replaces the solver's iteration limit.
    std::uint32_t max_iterations = 0;
};

// The most address space the solver may take for a program, bytes, from
// its sizes: its copies of the data, the KKT system and its factor, through
// construction and every solve. Measured on the planner's programs
// (bench/memory_need clarabel), with half again in hand.
std::uint64_t conic_bytes(const Problem& problem);

// One solver, built for a program and solvable again after new values for
// the same pattern.
class ConicSolver {
public:
    // The error "solver construction error: ..." (kind solver_construction)
    // when the solver refuses the program. A failure inside the solver
    // library throws InternalError, here and in every member. The library
    // cannot report a failed allocation (it ends the process), so a program
    // whose conic_bytes exceed what the address-space limits leave
    // (address_room) throws std::bad_alloc before the library is called.
    static Result<ConicSolver> build(const Problem& problem, const ConicSettings& settings = {});

    // New values of q, A and b; the solver keeps the equilibration it chose
    // when it was built. Requires a solver built updatable and a program of
    // the very pattern it was built for (cones, sizes, A's stored entries):
    // anything else throws InternalError.
    void update(const Problem& problem);

    ConicSolution solve(const StopCheck* stop = nullptr);

private:
    struct Free {
        void operator()(vexal_clarabel_solver* s) const;
    };
    std::unique_ptr<vexal_clarabel_solver, Free> handle_;
    bool updatable_ = false;
    std::vector<std::uint64_t> colptr_, rowval_;  // the pattern of A
    std::vector<Cone> cones_;
    std::uint64_t rows_ = 0;
};

// Builds a solver for the program and solves it once.
Result<ConicSolution> solve_conic(const Problem& problem, const StopCheck* stop = nullptr, double tolerance = 0.0);

}  // namespace vexal
