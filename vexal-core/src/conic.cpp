#include "vexal/conic.hpp"

#include <cfloat>
#include <limits>
#include <memory>

#include "vexal/clarabel.h"
#include "vexal/solver_settings.hpp"
#include "vexal/error.hpp"

namespace vexal {
namespace {

// The solver's status names, indexed by its status code.
constexpr const char* kStatusNames[] = {
    "Unsolved",      "Solved",         "PrimalInfeasible",     "DualInfeasible",
    "AlmostSolved",  "AlmostPrimalInfeasible", "AlmostDualInfeasible", "MaxIterations",
    "MaxTime",       "NumericalError", "InsufficientProgress", "CallbackTerminated",
};


struct SolverDeleter {
    void operator()(vexal_clarabel_solver* s) const { vexal_clarabel_free(s); }
};
using SolverHandle = std::unique_ptr<vexal_clarabel_solver, SolverDeleter>;

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

}  // namespace

// The library's defaults, every one written out, with output switched off.
vexal_clarabel_settings solver_settings() {
    vexal_clarabel_settings s{};
    s.max_iter = 200;
    s.time_limit = std::numeric_limits<double>::infinity();
    s.verbose = false;
    s.max_step_fraction = 0.99;
    s.tol_gap_abs = 1e-8;
    s.tol_gap_rel = 1e-8;
    s.tol_feas = 1e-8;
    s.tol_infeas_abs = 1e-8;
    s.tol_infeas_rel = 1e-8;
    s.tol_ktratio = 1e-6;
    s.reduced_tol_gap_abs = 5e-5;
    s.reduced_tol_gap_rel = 5e-5;
    s.reduced_tol_feas = 1e-4;
    s.reduced_tol_infeas_abs = 5e-12;
    s.reduced_tol_infeas_rel = 5e-5;
    s.reduced_tol_ktratio = 1e-4;
    s.equilibrate_enable = true;
    s.equilibrate_max_iter = 10;
    s.equilibrate_min_scaling = 1e-4;
    s.equilibrate_max_scaling = 1e4;
    s.linesearch_backtrack_step = 0.8;
    s.min_switch_step_length = 0.1;
    s.min_terminate_step_length = 1e-4;
    s.max_threads = 0;
    s.direct_kkt_solver = true;
    s.direct_solve_method = "auto";
    s.static_regularization_enable = true;
    s.static_regularization_constant = 1e-8;
    s.static_regularization_proportional = DBL_EPSILON * DBL_EPSILON;
    s.dynamic_regularization_enable = true;
    s.dynamic_regularization_eps = 1e-13;
    s.dynamic_regularization_delta = 2e-7;
    s.iterative_refinement_enable = true;
    s.iterative_refinement_reltol = 1e-13;
    s.iterative_refinement_abstol = 1e-12;
    s.iterative_refinement_max_iter = 10;
    s.iterative_refinement_stop_ratio = 5.0;
    s.presolve_enable = true;
    s.input_sparse_dropzeros = false;
    return s;
}

std::expected<ConicSolution, std::string> solve_conic(const Problem& problem, const StopCheck* stop) {
    std::vector<vexal_clarabel_cone> cones;
    cones.reserve(problem.cones.size());
    for (const Cone& c : problem.cones) {
        const vexal_clarabel_cone_kind kind = c.kind == ConeKind::Zero          ? VEXAL_CLARABEL_ZERO_CONE
                                              : c.kind == ConeKind::Nonnegative ? VEXAL_CLARABEL_NONNEGATIVE_CONE
                                                                                : VEXAL_CLARABEL_SECOND_ORDER_CONE;
        cones.push_back({kind, c.dim});
    }
    const vexal_clarabel_settings settings = solver_settings();
    const vexal_clarabel_csc p = csc_view(problem.p), a = csc_view(problem.a);

    SolverHandle solver;
    {
        vexal_clarabel_solver* raw = nullptr;
        Message message;
        const vexal_clarabel_code code =
            vexal_clarabel_new(&p, problem.q.data(), problem.q.size(), &a, problem.b.data(), problem.b.size(),
                               cones.data(), cones.size(), &settings, &raw, &message.text);
        solver.reset(raw);
        if (code == VEXAL_CLARABEL_CONSTRUCTION_ERROR) {
            return std::unexpected("solver construction error: " + message.str());
        }
        expect_ok(code, message, "solver construction failed");
    }
    if (stop && *stop) {
        Message message;
        expect_ok(vexal_clarabel_set_stop(solver.get(), ask_stop, const_cast<StopCheck*>(stop), &message.text),
                  message, "setting the stop request failed");
    }
    {
        Message message;
        expect_ok(vexal_clarabel_solve(solver.get(), &message.text), message, "solve failed");
    }
    vexal_clarabel_status status = VEXAL_CLARABEL_UNSOLVED;
    {
        Message message;
        expect_ok(vexal_clarabel_get_status(solver.get(), &status, &message.text), message,
                  "reading the status failed");
    }
    if (status < 0 || status >= static_cast<int>(std::size(kStatusNames))) {
        throw InternalError("unknown solver status code " + std::to_string(status));
    }
    ConicSolution out;
    {
        Message message;
        expect_ok(vexal_clarabel_iterations(solver.get(), &out.iterations, &message.text), message,
                  "reading the iteration count failed");
    }
    out.status = kStatusNames[status];
    out.success = status == VEXAL_CLARABEL_SOLVED || status == VEXAL_CLARABEL_ALMOST_SOLVED;
    if (out.success) {
        const double* x = nullptr;
        std::uint64_t x_len = 0;
        Message message;
        expect_ok(vexal_clarabel_x(solver.get(), &x, &x_len, &message.text), message, "reading x failed");
        out.x.assign(x, x + x_len);
    }
    return out;
}

}  // namespace vexal
