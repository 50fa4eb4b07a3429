#include <gtest/gtest.h>

#include <cstddef>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vexal/clarabel.h"
#include "solver_settings.hpp"

namespace {

// Owning CSC matrix with a borrowed C view; empty arrays are passed as null.
struct Csc {
    std::uint64_t m = 0, n = 0;
    std::vector<std::uint64_t> colptr;
    std::vector<std::uint64_t> rowval;
    std::vector<double> nzval;

    // From a dense row-major matrix, keeping the nonzeros.
    static Csc dense(std::uint64_t m, std::uint64_t n, const std::vector<double>& rows) {
        Csc c{m, n, {0}, {}, {}};
        for (std::uint64_t j = 0; j < n; ++j) {
            for (std::uint64_t i = 0; i < m; ++i) {
                if (const double v = rows[i * n + j]; v != 0.0) {
                    c.rowval.push_back(i);
                    c.nzval.push_back(v);
                }
            }
            c.colptr.push_back(c.rowval.size());
        }
        return c;
    }

    vexal_clarabel_csc view() const {
        return {m, n, colptr.data(), colptr.size(),
                rowval.empty() ? nullptr : rowval.data(), nzval.empty() ? nullptr : nzval.data(), rowval.size()};
    }
};

struct Program {
    Csc p, a;
    std::vector<double> q, b;
    std::vector<vexal_clarabel_cone> cones;
};

vexal_clarabel_cone zero(std::uint64_t d) { return {VEXAL_CLARABEL_ZERO_CONE, d}; }
vexal_clarabel_cone nonneg(std::uint64_t d) { return {VEXAL_CLARABEL_NONNEGATIVE_CONE, d}; }
vexal_clarabel_cone soc(std::uint64_t d) { return {VEXAL_CLARABEL_SECOND_ORDER_CONE, d}; }

// min x0 + 2 x1  s.t.  x0 + x1 = 1, x >= 0: optimum (1, 0).
Program lp() {
    return {Csc::dense(2, 2, {0, 0, 0, 0}), Csc::dense(3, 2, {1, 1, -1, 0, 0, -1}), {1, 2}, {1, 0, 0},
            {zero(1), nonneg(2)}};
}

// min x0  s.t.  x1 = 3, x2 = 4, ||(x1, x2)|| <= x0: optimum (5, 3, 4).
Program socp() {
    return {Csc::dense(3, 3, {0, 0, 0, 0, 0, 0, 0, 0, 0}),
            Csc::dense(5, 3, {0, 1, 0, 0, 0, 1, -1, 0, 0, 0, -1, 0, 0, 0, -1}),
            {1, 0, 0},
            {3, 4, 0, 0, 0},
            {zero(2), soc(3)}};
}

// x >= 1 and x <= 0.
Program infeasible_lp() { return {Csc::dense(1, 1, {0}), Csc::dense(2, 1, {-1, 1}), {0}, {-1, 0}, {nonneg(2)}}; }

// min x  s.t.  x <= 0: unbounded below.
Program unbounded_lp() { return {Csc::dense(1, 1, {0}), Csc::dense(1, 1, {1}), {1}, {0}, {nonneg(1)}}; }

// min x^2/2 + x without constraints: A, b and the cones are all empty.
Program unconstrained_qp() { return {Csc::dense(1, 1, {1}), Csc::dense(0, 1, {}), {1}, {}, {}}; }

vexal_clarabel_settings settings() { return vexal::solver_settings(); }

// The raw arguments of vexal_clarabel_new, so that tests can break any of
// them; the views point into the program held here.
struct Call {
    Program pr;
    vexal_clarabel_csc p, a;
    const double* q;
    std::uint64_t q_len;
    const double* b;
    std::uint64_t b_len;
    const vexal_clarabel_cone* cones;
    std::uint64_t cones_len;
    vexal_clarabel_settings settings;
    bool has_p = true, has_settings = true;

    explicit Call(Program program)
        : pr(std::move(program)), p(pr.p.view()), a(pr.a.view()), q(pr.q.empty() ? nullptr : pr.q.data()),
          q_len(pr.q.size()), b(pr.b.empty() ? nullptr : pr.b.data()), b_len(pr.b.size()),
          cones(pr.cones.empty() ? nullptr : pr.cones.data()), cones_len(pr.cones.size()), settings(::settings()) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
};

struct MessageDeleter {
    void operator()(char* m) const { vexal_clarabel_message_free(m); }
};
struct SolverDeleter {
    void operator()(vexal_clarabel_solver* s) const { vexal_clarabel_free(s); }
};
using Message = std::unique_ptr<char, MessageDeleter>;
using Solver = std::unique_ptr<vexal_clarabel_solver, SolverDeleter>;

struct Built {
    vexal_clarabel_code code;
    Solver solver;
    std::string message;
    bool message_null;
};

Built build(const Call& c) {
    // Sentinels: both out-pointers must be written on every path.
    char sentinel;
    auto* raw = reinterpret_cast<vexal_clarabel_solver*>(&sentinel);
    char* text = &sentinel;
    const vexal_clarabel_code code =
        vexal_clarabel_new(c.has_p ? &c.p : nullptr, c.q, c.q_len, &c.a, c.b, c.b_len, c.cones, c.cones_len,
                           c.has_settings ? &c.settings : nullptr, &raw, &text);
    if (raw == reinterpret_cast<vexal_clarabel_solver*>(&sentinel) || text == &sentinel) {
        ADD_FAILURE() << "an out-pointer was left unwritten";
        return {code, nullptr, {}, true};
    }
    Message m(text);
    return {code, Solver(raw), m ? std::string(m.get()) : std::string(), m == nullptr};
}

struct Solved {
    vexal_clarabel_status status;
    std::vector<double> x;
};

Solved solve(const Call& c) {
    Built built = build(c);
    EXPECT_EQ(built.code, VEXAL_CLARABEL_OK) << built.message;
    EXPECT_TRUE(built.message_null);
    if (!built.solver) return {-1, {}};
    char* text = nullptr;
    EXPECT_EQ(vexal_clarabel_solve(built.solver.get(), &text), VEXAL_CLARABEL_OK);
    EXPECT_EQ(text, nullptr);
    vexal_clarabel_status status = -1;
    EXPECT_EQ(vexal_clarabel_get_status(built.solver.get(), &status, nullptr), VEXAL_CLARABEL_OK);
    const double* x = nullptr;
    std::uint64_t len = 0;
    EXPECT_EQ(vexal_clarabel_x(built.solver.get(), &x, &len, nullptr), VEXAL_CLARABEL_OK);
    return {status, std::vector<double>(x, x + len)};
}

struct SolveCase {
    const char* name;
    Program (*program)();
    std::function<void(vexal_clarabel_settings&)> tweak;
    vexal_clarabel_status status;
    std::optional<std::vector<double>> x;
};

TEST(ClarabelBinding, SolvesToKnownStatusAndOptimum) {
    const auto none = [](vexal_clarabel_settings&) {};
    const SolveCase cases[] = {
        {"lp", lp, none, VEXAL_CLARABEL_SOLVED, std::vector<double>{1, 0}},
        {"socp", socp, none, VEXAL_CLARABEL_SOLVED, std::vector<double>{5, 3, 4}},
        {"unconstrained qp", unconstrained_qp, none, VEXAL_CLARABEL_SOLVED, std::vector<double>{-1}},
        {"qdldl by name", socp, [](auto& s) { s.direct_solve_method = "qdldl"; }, VEXAL_CLARABEL_SOLVED,
         std::vector<double>{5, 3, 4}},
        {"infeasible", infeasible_lp, none, VEXAL_CLARABEL_PRIMAL_INFEASIBLE, std::nullopt},
        {"unbounded", unbounded_lp, none, VEXAL_CLARABEL_DUAL_INFEASIBLE, std::nullopt},
        // The limits reach the solver.
        {"max_iter", socp, [](auto& s) { s.max_iter = 1; }, VEXAL_CLARABEL_MAX_ITERATIONS, std::nullopt},
        {"time_limit", socp, [](auto& s) { s.time_limit = 0.0; }, VEXAL_CLARABEL_MAX_TIME, std::nullopt},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Call call(tc.program());
        tc.tweak(call.settings);
        const Solved r = solve(call);
        EXPECT_EQ(r.status, tc.status);
        if (tc.x) {
            ASSERT_EQ(r.x.size(), tc.x->size());
            for (std::size_t i = 0; i < r.x.size(); ++i) EXPECT_NEAR(r.x[i], (*tc.x)[i], 1e-6) << "x[" << i << "]";
        }
    }
}

TEST(ClarabelBinding, PrintsOnlyWhenVerbose) {
    for (const bool verbose : {false, true}) {
        Call call(socp());
        call.settings.verbose = verbose;
        testing::internal::CaptureStdout();
        const Solved r = solve(call);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.status, VEXAL_CLARABEL_SOLVED);
        EXPECT_EQ(out.empty(), !verbose) << out;
    }
}

struct FailCase {
    const char* name;
    std::function<void(Call&)> breakit;
    vexal_clarabel_code code;
    std::string message;  // exact for the library's own errors, a fragment for ours
};

TEST(ClarabelBinding, RefusesBadInputWithCodeAndText) {
    const FailCase cases[] = {
        // The library's construction errors, its own text.
        {"cone sizes", [](Call& c) { c.cones_len = 1; }, VEXAL_CLARABEL_CONSTRUCTION_ERROR,
         "Bad input data: Constraint dimensions inconsistent with size of cones"},
        {"q length", [](Call& c) { c.q_len = 1; }, VEXAL_CLARABEL_CONSTRUCTION_ERROR,
         "Bad input data: A and q incompatible dimensions"},
        {"solve method", [](Call& c) { c.settings.direct_solve_method = "nonsense"; },
         VEXAL_CLARABEL_CONSTRUCTION_ERROR, "Bad settings: Bad value for field \"direct_solve_method\""},
        {"indirect kkt", [](Call& c) { c.settings.direct_kkt_solver = false; }, VEXAL_CLARABEL_CONSTRUCTION_ERROR,
         "Bad settings: Bad value for field \"direct_kkt_solver\""},
        // Refused before the library sees them.
        {"P null", [](Call& c) { c.has_p = false; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "P is null"},
        {"colptr null", [](Call& c) { c.p.colptr = nullptr; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "P.colptr is null"},
        {"colptr length", [](Call& c) { c.a.colptr_len -= 1; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "A.colptr has"},
        {"colptr end", [](Call& c) { c.a.nnz -= 1; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "A.colptr ends at"},
        {"rowval null", [](Call& c) { c.a.rowval = nullptr; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "A.rowval is null"},
        {"nzval null", [](Call& c) { c.a.nzval = nullptr; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "A.nzval is null"},
        {"row index", [](Call& c) { c.a.m = 2; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "A: Row value exceeds"},
        {"colptr order",
         [](Call& c) {
             static const std::uint64_t colptr[] = {0, 2, 1};  // n = 2, nnz = 1
             c.a.colptr = colptr;
             c.a.nnz = 1;
         },
         VEXAL_CLARABEL_INVALID_ARGUMENT, "A: Bad column pointer"},
        {"colptr start",
         [](Call& c) {
             static const std::uint64_t colptr[] = {1, 1, 1};
             c.a.colptr = colptr;
             c.a.nnz = 1;
         },
         VEXAL_CLARABEL_INVALID_ARGUMENT, "A.colptr does not start at 0"},
        {"row order",
         [](Call& c) {
             static const std::uint64_t rowval[] = {1, 0, 0, 2};
             c.a.rowval = rowval;
         },
         VEXAL_CLARABEL_INVALID_ARGUMENT, "A: "},
        {"huge n", [](Call& c) { c.a.n = std::numeric_limits<std::uint64_t>::max(); },
         VEXAL_CLARABEL_INVALID_ARGUMENT, "A.colptr has"},
        {"q null", [](Call& c) { c.q = nullptr; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "q is null"},
        {"b null", [](Call& c) { c.b = nullptr; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "b is null"},
        {"cones null", [](Call& c) { c.cones = nullptr; }, VEXAL_CLARABEL_INVALID_ARGUMENT, "cones is null"},
        {"cone kind",
         [](Call& c) {
             static const vexal_clarabel_cone cones[] = {{7, 1}, nonneg(2)};
             c.cones = cones;
         },
         VEXAL_CLARABEL_INVALID_ARGUMENT, "unknown cone kind 7"},
        // Sums to 3 modulo 2^64, which the library would take for m.
        {"cone overflow",
         [](Call& c) {
             static const vexal_clarabel_cone cones[] = {zero(UINT64_MAX), nonneg(4)};
             c.cones = cones;
             c.cones_len = 2;
         },
         VEXAL_CLARABEL_INVALID_ARGUMENT, "overflow"},
        {"settings null", [](Call& c) { c.has_settings = false; }, VEXAL_CLARABEL_INVALID_ARGUMENT,
         "settings is null"},
        {"method null", [](Call& c) { c.settings.direct_solve_method = nullptr; }, VEXAL_CLARABEL_INVALID_ARGUMENT,
         "direct_solve_method is null"},
        {"method utf-8", [](Call& c) { c.settings.direct_solve_method = "\xff"; }, VEXAL_CLARABEL_INVALID_ARGUMENT,
         "not UTF-8"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Call call(lp());
        tc.breakit(call);
        const Built r = build(call);
        EXPECT_EQ(r.code, tc.code);
        EXPECT_EQ(r.solver, nullptr);
        if (tc.code == VEXAL_CLARABEL_CONSTRUCTION_ERROR) {
            EXPECT_EQ(r.message, tc.message);
        } else {
            EXPECT_NE(r.message.find(tc.message), std::string::npos) << r.message;
        }
    }
}

// The header's struct and the crate's agree field for field: a swapped or
// missing field would silently feed one setting into another.
TEST(ClarabelBinding, SettingsLayoutMatchesTheCrate) {
#define VEXAL_OFFSET(f) offsetof(vexal_clarabel_settings, f)
    const std::uint64_t header[] = {
        VEXAL_OFFSET(max_iter), VEXAL_OFFSET(time_limit), VEXAL_OFFSET(verbose), VEXAL_OFFSET(max_step_fraction),
        VEXAL_OFFSET(tol_gap_abs), VEXAL_OFFSET(tol_gap_rel), VEXAL_OFFSET(tol_feas), VEXAL_OFFSET(tol_infeas_abs),
        VEXAL_OFFSET(tol_infeas_rel), VEXAL_OFFSET(tol_ktratio), VEXAL_OFFSET(reduced_tol_gap_abs),
        VEXAL_OFFSET(reduced_tol_gap_rel), VEXAL_OFFSET(reduced_tol_feas), VEXAL_OFFSET(reduced_tol_infeas_abs),
        VEXAL_OFFSET(reduced_tol_infeas_rel), VEXAL_OFFSET(reduced_tol_ktratio), VEXAL_OFFSET(equilibrate_enable),
        VEXAL_OFFSET(equilibrate_max_iter), VEXAL_OFFSET(equilibrate_min_scaling),
        VEXAL_OFFSET(equilibrate_max_scaling), VEXAL_OFFSET(linesearch_backtrack_step),
        VEXAL_OFFSET(min_switch_step_length), VEXAL_OFFSET(min_terminate_step_length), VEXAL_OFFSET(max_threads),
        VEXAL_OFFSET(direct_kkt_solver), VEXAL_OFFSET(direct_solve_method),
        VEXAL_OFFSET(static_regularization_enable), VEXAL_OFFSET(static_regularization_constant),
        VEXAL_OFFSET(static_regularization_proportional), VEXAL_OFFSET(dynamic_regularization_enable),
        VEXAL_OFFSET(dynamic_regularization_eps), VEXAL_OFFSET(dynamic_regularization_delta),
        VEXAL_OFFSET(iterative_refinement_enable), VEXAL_OFFSET(iterative_refinement_reltol),
        VEXAL_OFFSET(iterative_refinement_abstol), VEXAL_OFFSET(iterative_refinement_max_iter),
        VEXAL_OFFSET(iterative_refinement_stop_ratio), VEXAL_OFFSET(presolve_enable),
        VEXAL_OFFSET(input_sparse_dropzeros)};
#undef VEXAL_OFFSET
    const std::uint64_t* crate = nullptr;
    std::uint64_t count = 0;
    ASSERT_EQ(vexal_clarabel_settings_offsets(&crate, &count, nullptr), VEXAL_CLARABEL_OK);
    ASSERT_EQ(count, std::size(header));
    for (std::uint64_t i = 0; i < count; ++i) EXPECT_EQ(crate[i], header[i]) << "field " << i;
    // What every solve passes: the library's defaults, silent.
    const vexal_clarabel_settings s = settings();
    EXPECT_FALSE(s.verbose);
    EXPECT_EQ(s.max_iter, 200u);
    EXPECT_STREQ(s.direct_solve_method, "auto");
}

// The solve asks the stop request once per iteration and ends when told.
TEST(ClarabelBinding, StopRequestAndIterations) {
    struct Case {
        int stop_after;  // -1: never
        vexal_clarabel_status status;
    };
    for (const Case k : {Case{-1, VEXAL_CLARABEL_SOLVED}, Case{0, VEXAL_CLARABEL_CALLBACK_TERMINATED},
                         Case{3, VEXAL_CLARABEL_CALLBACK_TERMINATED}}) {
        SCOPED_TRACE(k.stop_after);
        Call call(socp());
        Built built = build(call);
        ASSERT_TRUE(built.solver);
        struct Counter {
            int asked = 0, stop_after;
        } counter{0, k.stop_after};
        const auto ask = [](void* c) -> std::int32_t {
            auto* counter = static_cast<Counter*>(c);
            return counter->stop_after >= 0 && counter->asked++ >= counter->stop_after;
        };
        ASSERT_EQ(vexal_clarabel_set_stop(built.solver.get(), ask, &counter, nullptr), VEXAL_CLARABEL_OK);
        ASSERT_EQ(vexal_clarabel_solve(built.solver.get(), nullptr), VEXAL_CLARABEL_OK);
        vexal_clarabel_status status = -1;
        std::uint32_t iterations = 0;
        ASSERT_EQ(vexal_clarabel_get_status(built.solver.get(), &status, nullptr), VEXAL_CLARABEL_OK);
        ASSERT_EQ(vexal_clarabel_iterations(built.solver.get(), &iterations, nullptr), VEXAL_CLARABEL_OK);
        EXPECT_EQ(status, k.status);
        if (k.stop_after >= 0) EXPECT_EQ(iterations, static_cast<std::uint32_t>(k.stop_after));
        else EXPECT_GT(iterations, 0u);
    }
}

TEST(ClarabelBinding, NullHandlesAreRefused) {
    Call call(lp());
    vexal_clarabel_status status;
    const double* x;
    std::uint64_t len;
    char* text = nullptr;
    EXPECT_EQ(vexal_clarabel_new(&call.p, call.q, call.q_len, &call.a, call.b, call.b_len, call.cones,
                                 call.cones_len, &call.settings, nullptr, &text),
              VEXAL_CLARABEL_INVALID_ARGUMENT);
    Message m(text);
    EXPECT_NE(m, nullptr);
    EXPECT_EQ(vexal_clarabel_solve(nullptr, nullptr), VEXAL_CLARABEL_INVALID_ARGUMENT);
    EXPECT_EQ(vexal_clarabel_get_status(nullptr, &status, nullptr), VEXAL_CLARABEL_INVALID_ARGUMENT);
    EXPECT_EQ(vexal_clarabel_x(nullptr, &x, &len, nullptr), VEXAL_CLARABEL_INVALID_ARGUMENT);
    std::uint32_t iterations;
    EXPECT_EQ(vexal_clarabel_iterations(nullptr, &iterations, nullptr), VEXAL_CLARABEL_INVALID_ARGUMENT);
    EXPECT_EQ(vexal_clarabel_set_stop(nullptr, nullptr, nullptr, nullptr), VEXAL_CLARABEL_INVALID_ARGUMENT);
    EXPECT_EQ(vexal_clarabel_default_settings(nullptr, nullptr), VEXAL_CLARABEL_INVALID_ARGUMENT);
    vexal_clarabel_free(nullptr);
    vexal_clarabel_message_free(nullptr);
}

}  // namespace
