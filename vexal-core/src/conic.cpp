#include "vexal/conic.hpp"

#include <limits>
#include <memory>
#include <new>

#include "vexal/clarabel.h"
#include "solver_settings.hpp"
#include "vexal/error.hpp"
#include "vexal/memory.hpp"

namespace vexal {
namespace {

// The solver's status names, indexed by its status code.
constexpr const char* kStatusNames[] = {
    "Unsolved",      "Solved",         "PrimalInfeasible",     "DualInfeasible",
    "AlmostSolved",  "AlmostPrimalInfeasible", "AlmostDualInfeasible", "MaxIterations",
    "MaxTime",       "NumericalError", "InsufficientProgress", "CallbackTerminated",
};
static_assert(std::size(kStatusNames) == VEXAL_CLARABEL_CALLBACK_TERMINATED + 1, "a status without a name");

}  // namespace

const char* status_name(std::string_view status) {
    for (const char* name : kStatusNames) {
        if (status == name) return name;
    }
    return nullptr;
}

namespace {

// Owns the text a binding call hands back.
struct Message {
    char* text = nullptr;
    ~Message() { vexal_clarabel_message_free(text); }
    std::string str() const { return text ? std::string(text) : std::string("(no message)"); }
};

// Anything but OK from a call that cannot fail on a well-formed program is a
// broken contract.
void expect_ok(vexal_clarabel_code code, const Message& message, const char* what) {
    if (code != VEXAL_CLARABEL_OK) throw InternalError(std::string(what) + ": " + message.str());
}

vexal_clarabel_csc csc_view(const CscMatrix& m) {
    return {m.m, m.n, m.colptr.data(), m.colptr.size(), m.rowval.data(), m.nzval.data(), m.rowval.size()};
}

extern "C" std::int32_t ask_stop(void* context) {
    try {
        return (*static_cast<const StopCheck*>(context))() ? 1 : 0;
    } catch (...) {
        return 1;  // nothing may unwind through the solver
    }
}

vexal_clarabel_settings settings_for(const ConicSettings& wanted) {
    vexal_clarabel_settings settings = solver_settings();
    if (wanted.tolerance > 0.0) {
        // Tighter targets; "almost solved" then still means the default accuracy.
        const vexal_clarabel_settings defaults = settings;
        settings.tol_gap_abs = settings.tol_gap_rel = settings.tol_feas = wanted.tolerance;
        settings.reduced_tol_gap_abs = defaults.tol_gap_abs;
        settings.reduced_tol_gap_rel = defaults.tol_gap_rel;
        settings.reduced_tol_feas = defaults.tol_feas;
    }
    if (!wanted.refinement) settings.iterative_refinement_enable = false;
    if (wanted.updatable) settings.presolve_enable = settings.input_sparse_dropzeros = false;
    if (wanted.max_iterations > 0) settings.max_iter = wanted.max_iterations;
    return settings;
}

}  // namespace

// The library's own defaults, with output switched off.
vexal_clarabel_settings solver_settings() {
    vexal_clarabel_settings s{};
    Message message;
    expect_ok(vexal_clarabel_default_settings(&s, &message.text), message, "reading the solver's defaults failed");
    s.verbose = false;
    return s;
}

void ConicSolver::Free::operator()(vexal_clarabel_solver* s) const { vexal_clarabel_free(s); }

// Bytes the solver takes per stored entry of its KKT system (P, A, and one
// per row and column): measured 250 on the planner's programs (n = 1000 to
// 6000, 80 entries a node), half again in hand.
constexpr std::uint64_t kConicBytesPerEntry = 375;

std::uint64_t conic_bytes(const Problem& problem) {
    const std::uint64_t entries = problem.p.rowval.size() + problem.a.rowval.size() + problem.a.m + problem.a.n;
    return entries > std::numeric_limits<std::uint64_t>::max() / kConicBytesPerEntry
               ? std::numeric_limits<std::uint64_t>::max()
               : entries * kConicBytesPerEntry;
}

Result<ConicSolver> ConicSolver::build(const Problem& problem, const ConicSettings& wanted) {
    if (conic_bytes(problem) > address_room()) throw std::bad_alloc();
    std::vector<vexal_clarabel_cone> cones;
    cones.reserve(problem.cones.size());
    for (const Cone& c : problem.cones) {
        const vexal_clarabel_cone_kind kind = c.kind == ConeKind::Zero          ? VEXAL_CLARABEL_ZERO_CONE
                                              : c.kind == ConeKind::Nonnegative ? VEXAL_CLARABEL_NONNEGATIVE_CONE
                                                                                : VEXAL_CLARABEL_SECOND_ORDER_CONE;
        cones.push_back({kind, c.dim});
    }
    const vexal_clarabel_settings settings = settings_for(wanted);
    const vexal_clarabel_csc p = csc_view(problem.p), a = csc_view(problem.a);

    ConicSolver solver;
    vexal_clarabel_solver* raw = nullptr;
    Message message;
    const vexal_clarabel_code code =
        vexal_clarabel_new(&p, problem.q.data(), problem.q.size(), &a, problem.b.data(), problem.b.size(),
                           cones.data(), cones.size(), &settings, &raw, &message.text);
    solver.handle_.reset(raw);
    if (code == VEXAL_CLARABEL_CONSTRUCTION_ERROR) {
        return fail(ErrorKind::solver_construction, "solver construction error: " + message.str());
    }
    expect_ok(code, message, "solver construction failed");
    if (wanted.updatable) {
        solver.updatable_ = true;
        solver.colptr_ = problem.a.colptr;
        solver.rowval_ = problem.a.rowval;
        solver.cones_ = problem.cones;
        solver.rows_ = problem.a.m;
    }
    return solver;
}

void ConicSolver::update(const Problem& problem) {
    if (!updatable_) throw InternalError("update of a solver not built updatable");
    if (problem.a.m != rows_ || problem.a.colptr != colptr_ || problem.a.rowval != rowval_ ||
        problem.cones != cones_ || !problem.p.rowval.empty()) {
        throw InternalError("update of a program whose pattern differs from the solver's");
    }
    Message message;
    expect_ok(vexal_clarabel_update(handle_.get(), problem.q.data(), problem.q.size(), problem.a.nzval.data(),
                                    problem.a.nzval.size(), problem.b.data(), problem.b.size(), &message.text),
              message, "updating the solver failed");
}

ConicSolution ConicSolver::solve(const StopCheck* stop) {
    vexal_clarabel_solver* solver = handle_.get();
    {
        // Set for every solve: a solver kept across solves must not ask an
        // earlier solve's stop request.
        Message message;
        const bool asks = stop && *stop;
        expect_ok(vexal_clarabel_set_stop(solver, asks ? ask_stop : nullptr,
                                          asks ? const_cast<StopCheck*>(stop) : nullptr, &message.text),
                  message, "setting the stop request failed");
    }
    {
        Message message;
        expect_ok(vexal_clarabel_solve(solver, &message.text), message, "solve failed");
    }
    vexal_clarabel_status status = VEXAL_CLARABEL_UNSOLVED;
    {
        Message message;
        expect_ok(vexal_clarabel_get_status(solver, &status, &message.text), message, "reading the status failed");
    }
    if (status < 0 || status >= static_cast<int>(std::size(kStatusNames))) {
        throw InternalError("unknown solver status code " + std::to_string(status));
    }
    ConicSolution out;
    {
        Message message;
        expect_ok(vexal_clarabel_iterations(solver, &out.iterations, &message.text), message,
                  "reading the iteration count failed");
    }
    out.status = kStatusNames[status];
    out.solved = status == VEXAL_CLARABEL_SOLVED;
    out.success = out.solved || status == VEXAL_CLARABEL_ALMOST_SOLVED;
    out.stopped = status == VEXAL_CLARABEL_CALLBACK_TERMINATED;
    out.infeasible = status == VEXAL_CLARABEL_PRIMAL_INFEASIBLE || status == VEXAL_CLARABEL_ALMOST_PRIMAL_INFEASIBLE;
    if (out.success) {
        const double* x = nullptr;
        std::uint64_t x_len = 0;
        Message message;
        expect_ok(vexal_clarabel_x(solver, &x, &x_len, &message.text), message, "reading x failed");
        out.x.assign(x, x + x_len);
        const double* z = nullptr;
        std::uint64_t z_len = 0;
        Message dual_message;
        expect_ok(vexal_clarabel_z(solver, &z, &z_len, &dual_message.text), dual_message, "reading z failed");
        out.z.assign(z, z + z_len);
    }
    return out;
}

Result<ConicSolution> solve_conic(const Problem& problem, const StopCheck* stop, double tolerance) {
    auto solver = ConicSolver::build(problem, ConicSettings{tolerance});
    if (!solver) return std::unexpected(std::move(solver.error()));
    return solver->solve(stop);
}

}  // namespace vexal
