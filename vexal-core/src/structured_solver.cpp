#include "vexal/structured_solver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <string_view>

namespace vexal {
namespace {

constexpr std::uint32_t kNone = ~0u;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// A pivot of the wrong sign or this near zero is replaced (the regularised
// system is quasi-definite: columns positive, equality rows negative).
constexpr double kPivotFloor = 1e-13;
constexpr double kPivotReplacement = 2e-7;
// Solved also needs the embedding's kappa/tau this small.
constexpr double kKappaTauRatio = 1e-6;
// Steps shorter than this make no progress.
constexpr double kLeastStep = 1e-10;
// The reduced tolerances an answer meets to be "almost" solved or infeasible
// when the iterations or the progress run out (the conic library's own).
constexpr double kReducedGap = 5e-5, kReducedFeasibility = 1e-4, kReducedInfeasibility = 5e-5, kReducedInfeasibilityAbsolute = 5e-12;
constexpr double kReducedKappaTau = 1e-4;
// A step that leaves the residuals this many times above an exact Newton
// step's turns refinement on.
constexpr double kRefineAbove = 2.0;
// Heading for a certificate (tau below this fraction of kappa), this many
// iterations without halving the certificate's error end the solve.
constexpr double kStalledTau = 1e-8;
constexpr std::uint32_t kStalledIterations = 3;

enum class Verdict { none, solved, infeasible, unbounded };
struct Tolerances {
    double gap, feasibility, infeasibility, infeasibility_absolute, kappa_tau;
};

double dot(const double* a, const double* b, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

// The same sum in four independent partial sums: the factorisation's and
// the triangular solves' inner loop, bound by the adds' latency otherwise.
inline __attribute__((always_inline)) double dot4(const double* __restrict a, const double* __restrict b, std::size_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

// Two partial sums: for the factorisation's short sums (a few terms each).
inline __attribute__((always_inline)) double dot2(const double* __restrict a, const double* __restrict b,
                                                  std::size_t n) {
    double s0 = 0.0, s1 = 0.0;
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
    }
    if (i < n) s0 += a[i] * b[i];
    return s0 + s1;
}

// y -= alpha x
inline __attribute__((always_inline)) void axpy(double* __restrict y, const double* __restrict x, double alpha, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] -= alpha * x[i];
}

// The largest step t with x + t d in the second-order cone (x inside): the
// first root of (x0 + t d0)^2 - |x1 + t d1|^2, and never past the head's
// own zero (which a direction along the axis reaches at a double root that
// rounding can hide).
double soc_step(const double* x, const double* d, std::uint32_t dim) {
    const double x1 = std::sqrt(dot(x + 1, x + 1, dim - 1));
    const double d1 = std::sqrt(dot(d + 1, d + 1, dim - 1));
    const double a = (d[0] - d1) * (d[0] + d1);
    const double b = 2.0 * (x[0] * d[0] - dot(x + 1, d + 1, dim - 1));
    const double c = std::max((x[0] - x1) * (x[0] + x1), 0.0);
    double step = d[0] < 0.0 ? x[0] / -d[0] : kInfinity;
    if (a > 0.0 && d[0] > 0.0) return kInfinity;  // d lies in the cone
    if (a == 0.0) return b < 0.0 ? std::min(step, c / -b) : step;
    const double disc = std::max(b * b - 4.0 * a * c, 0.0);
    // The roots, computed without cancellation.
    const double t = -0.5 * (b + std::copysign(std::sqrt(disc), b));
    const double r1 = t / a, r2 = t != 0.0 ? c / t : kInfinity;
    for (double r : {r1, r2}) {
        if (r >= 0.0) step = std::min(step, r);
    }
    return step;
}

}  // namespace

Result<StructuredSolver> StructuredSolver::build(const Problem& problem, const std::vector<std::uint32_t>& column_nodes,
                                                 const StructuredSettings& settings) {
    if (!problem.p.rowval.empty()) {
        return fail(ErrorKind::solver_construction, "solver construction error: the structured solver takes a linear cost");
    }
    const CscMatrix& a = problem.a;
    if (column_nodes.size() != a.n || problem.q.size() != a.n || problem.b.size() != a.m) {
        throw InternalError("structured solver: sizes of the program and its column nodes disagree");
    }
    StructuredSolver s;
    s.settings_ = settings;
    s.columns_ = static_cast<std::uint32_t>(a.n);
    s.rows_ = static_cast<std::uint32_t>(a.m);
    s.nnz_ = a.rowval.size();
    s.colptr_ = a.colptr;
    s.rowval_ = a.rowval;
    s.cones_ = problem.cones;
    const std::uint32_t m = s.rows_, nc = s.columns_;

    // Rows by cone.
    s.is_equality_.assign(m, 0);
    std::uint64_t row = 0;
    for (const Cone& cone : problem.cones) {
        if (row + cone.dim > m) throw InternalError("structured solver: the cones overrun the rows");
        const auto r0 = static_cast<std::uint32_t>(row);
        if (cone.kind == ConeKind::Zero) {
            if (row != s.equality_rows_) {
                return fail(ErrorKind::solver_construction,
                            "solver construction error: the structured solver needs the equality rows first");
            }
            std::fill(s.is_equality_.begin() + r0, s.is_equality_.begin() + r0 + cone.dim, 1);
            s.equality_rows_ += static_cast<std::uint32_t>(cone.dim);
        } else if (cone.kind == ConeKind::Nonnegative) {
            for (std::uint32_t i = 0; i < cone.dim; ++i) s.blocks_.push_back(Block{r0 + i, 1, false, 0, 0, 0, 0});
        } else {
            if (cone.dim < 2) {
                return fail(ErrorKind::solver_construction,
                            "solver construction error: a second-order cone needs two rows at least");
            }
            s.blocks_.push_back(Block{r0, static_cast<std::uint32_t>(cone.dim), true, 0, 0, 0, 0});
        }
        row += cone.dim;
    }
    if (row != m) throw InternalError("structured solver: the cones do not cover the rows");

    // A by rows, for the blocks' columns.
    std::vector<std::uint64_t> row_start(m + 1, 0);
    for (std::uint64_t k = 0; k < s.nnz_; ++k) ++row_start[a.rowval[k] + 1];
    std::partial_sum(row_start.begin(), row_start.end(), row_start.begin());
    std::vector<std::uint32_t> entry_column(s.nnz_);
    std::vector<std::uint64_t> entry_nz(s.nnz_);
    {
        std::vector<std::uint64_t> next(row_start.begin(), row_start.end() - 1);
        for (std::uint32_t c = 0; c < nc; ++c) {
            for (std::uint64_t k = a.colptr[c]; k < a.colptr[c + 1]; ++k) {
                const std::uint64_t at = next[a.rowval[k]]++;
                entry_column[at] = c;
                entry_nz[at] = k;
            }
        }
    }

    // The order of the reduced system: columns at 2 node, each equality row
    // between the nodes it joins (the sum of its least and greatest node).
    // A row that pins one column (an initial or a terminal condition) goes
    // just before its node's columns: pivoted after its column, it would be
    // a difference of two pivots of order 1/regularisation whose rounding
    // swamps the regularisation itself.
    enum Kind : std::uint32_t { pinning_row, column, equality_row };
    struct Item {
        std::uint64_t key;
        Kind kind;
        std::uint32_t index;
    };
    std::vector<Item> items;
    items.reserve(nc + s.equality_rows_);
    for (std::uint32_t c = 0; c < nc; ++c) items.push_back({2ull * column_nodes[c], column, c});
    for (std::uint32_t r = 0; r < m; ++r) {
        if (!s.is_equality_[r]) continue;
        std::uint64_t lo = ~0ull, hi = 0;
        for (std::uint64_t e = row_start[r]; e < row_start[r + 1]; ++e) {
            lo = std::min<std::uint64_t>(lo, column_nodes[entry_column[e]]);
            hi = std::max<std::uint64_t>(hi, column_nodes[entry_column[e]]);
        }
        const bool pins = row_start[r + 1] - row_start[r] == 1;
        items.push_back({lo == ~0ull ? 0 : lo + hi, pins ? pinning_row : equality_row, r});
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& x, const Item& y) { return x.key != y.key ? x.key < y.key : x.kind < y.kind; });
    s.order_size_ = static_cast<std::uint32_t>(items.size());
    s.position_of_column_.assign(nc, kNone);
    s.position_of_row_.assign(m, kNone);
    for (std::uint32_t p = 0; p < s.order_size_; ++p) {
        (items[p].kind == column ? s.position_of_column_ : s.position_of_row_)[items[p].index] = p;
    }

    // Each block's columns and its dense values' stored entries.
    std::uint32_t dense = 0, scatter = 0, widest = 0;
    for (Block& block : s.blocks_) {
        block.column_at = static_cast<std::uint32_t>(s.block_columns_.size());
        for (std::uint32_t r = block.row; r < block.row + block.dim; ++r) {
            for (std::uint64_t e = row_start[r]; e < row_start[r + 1]; ++e) s.block_columns_.push_back(entry_column[e]);
        }
        const auto begin = s.block_columns_.begin() + block.column_at;
        std::sort(begin, s.block_columns_.end());
        s.block_columns_.erase(std::unique(begin, s.block_columns_.end()), s.block_columns_.end());
        block.columns = static_cast<std::uint32_t>(s.block_columns_.size()) - block.column_at;
        block.dense_at = dense;
        block.scatter_at = scatter;
        dense += block.dim * block.columns;
        scatter += block.columns * (block.columns + 1) / 2;
        widest = std::max(widest, block.dim * block.columns);
    }
    s.dense_.assign(dense, 0.0);
    s.dense_nz_.assign(dense, -1);
    s.gram_.assign(widest, 0.0);
    for (const Block& block : s.blocks_) {
        const std::uint32_t* cols = s.block_columns_.data() + block.column_at;
        for (std::uint32_t r = block.row; r < block.row + block.dim; ++r) {
            for (std::uint64_t e = row_start[r]; e < row_start[r + 1]; ++e) {
                const auto j = static_cast<std::uint32_t>(std::lower_bound(cols, cols + block.columns, entry_column[e]) - cols);
                s.dense_nz_[block.dense_at + j * block.dim + (r - block.row)] = static_cast<std::int64_t>(entry_nz[e]);
            }
        }
    }

    // The envelope: each row from its first coupled position.
    const std::uint32_t size = s.order_size_;
    s.first_.resize(size);
    std::iota(s.first_.begin(), s.first_.end(), 0u);
    const auto couple = [&s](std::uint32_t p1, std::uint32_t p2) {
        const std::uint32_t hi = std::max(p1, p2), lo = std::min(p1, p2);
        s.first_[hi] = std::min(s.first_[hi], lo);
    };
    for (const Block& block : s.blocks_) {
        for (std::uint32_t i = 0; i < block.columns; ++i) {
            for (std::uint32_t j = 0; j <= i; ++j) {
                couple(s.position_of_column_[s.block_columns_[block.column_at + i]],
                       s.position_of_column_[s.block_columns_[block.column_at + j]]);
            }
        }
    }
    for (std::uint32_t c = 0; c < nc; ++c) {
        for (std::uint64_t k = a.colptr[c]; k < a.colptr[c + 1]; ++k) {
            if (s.is_equality_[a.rowval[k]]) couple(s.position_of_column_[c], s.position_of_row_[a.rowval[k]]);
        }
    }
    s.start_.resize(size + 1);
    s.start_[0] = 0;
    for (std::uint32_t i = 0; i < size; ++i) s.start_[i + 1] = s.start_[i] + (i - s.first_[i] + 1);
    const auto slot = [&s](std::uint32_t p1, std::uint32_t p2) -> std::uint32_t {
        const std::uint32_t hi = std::max(p1, p2), lo = std::min(p1, p2);
        return static_cast<std::uint32_t>(s.start_[hi] + (lo - s.first_[hi]));
    };
    s.scatter_.resize(scatter);
    for (const Block& block : s.blocks_) {
        std::uint32_t at = block.scatter_at;
        for (std::uint32_t i = 0; i < block.columns; ++i) {
            for (std::uint32_t j = 0; j <= i; ++j) {
                s.scatter_[at++] = slot(s.position_of_column_[s.block_columns_[block.column_at + i]],
                                        s.position_of_column_[s.block_columns_[block.column_at + j]]);
            }
        }
    }
    s.split_.resize(nc);
    for (std::uint32_t c = 0; c < nc; ++c) {
        std::uint64_t k = a.colptr[c];
        while (k < a.colptr[c + 1] && a.rowval[k] < s.equality_rows_) ++k;
        s.split_[c] = k;
    }
    s.equality_nz_.assign(s.nnz_, kNone);
    for (std::uint32_t c = 0; c < nc; ++c) {
        for (std::uint64_t k = a.colptr[c]; k < a.colptr[c + 1]; ++k) {
            if (s.is_equality_[a.rowval[k]]) s.equality_nz_[k] = slot(s.position_of_column_[c], s.position_of_row_[a.rowval[k]]);
        }
    }
    s.values_.assign(s.start_[size], 0.0);
    s.inverse_diagonal_.assign(size, 0.0);
    s.base_.resize(size);
    for (std::uint32_t i = 0; i < size; ++i) s.base_[i] = static_cast<std::int64_t>(s.start_[i]) - s.first_[i];
    s.sign_.resize(size);
    for (std::uint32_t p = 0; p < size; ++p) s.sign_[p] = items[p].kind == column ? 1 : -1;

    s.degree_ = static_cast<std::uint32_t>(s.blocks_.size());
    // The nonnegative rows come before every second-order cone.
    s.first_cone_ = 0;
    while (s.first_cone_ < s.blocks_.size() && !s.blocks_[s.first_cone_].soc) ++s.first_cone_;
    s.nonnegative_end_ = s.first_cone_ < s.blocks_.size() ? s.blocks_[s.first_cone_].row : m;
    for (std::size_t bi = s.first_cone_; bi < s.blocks_.size(); ++bi) {
        if (!s.blocks_[bi].soc) {
            return fail(ErrorKind::solver_construction,
                        "solver construction error: the structured solver needs the nonnegative rows before the cones");
        }
    }
    for (std::vector<double>* v : {&s.x_, &s.dx_, &s.x1_, &s.x2_, &s.rx_, &s.ex_, &s.cx_, &s.column_scale_}) v->assign(nc, 0.0);
    for (std::vector<double>* v : {&s.s_, &s.z_, &s.ds_, &s.dz_, &s.z1_, &s.z2_, &s.rz_, &s.lambda_, &s.w_, &s.t1_,
                                   &s.t2_, &s.t3_, &s.t4_, &s.cz_, &s.target_, &s.row_scale_}) {
        v->assign(m, 0.0);
    }
    s.eta_.assign(s.blocks_.size(), 1.0);
    s.perm_.assign(2 * size, 0.0);
    for (int j = 0; j < 2; ++j) {
        for (std::vector<double>* v : {&s.residual_x_[j], &s.fix_x_[j]}) v->assign(nc, 0.0);
        for (std::vector<double>* v : {&s.reduced_[j], &s.residual_z_[j], &s.fix_z_[j]}) v->assign(m, 0.0);
    }
    s.out_.x.assign(nc, 0.0);
    s.out_.z.assign(m, 0.0);
    s.out_.status.reserve(32);
    s.q_.assign(nc, 0.0);
    s.a_.assign(s.nnz_, 0.0);
    s.b_.assign(m, 0.0);
    s.update(problem);
    return s;
}

bool StructuredSolver::fits(const Problem& problem) const {
    return problem.a.m == rows_ && problem.a.colptr == colptr_ && problem.a.rowval == rowval_ &&
           problem.cones == cones_ && problem.p.rowval.empty();
}

void StructuredSolver::update(const Problem& problem) {
    if (!fits(problem)) throw InternalError("update of a program whose pattern differs from the solver's");
    std::copy(problem.q.begin(), problem.q.end(), q_.begin());
    std::copy(problem.a.nzval.begin(), problem.a.nzval.end(), a_.begin());
    std::copy(problem.b.begin(), problem.b.end(), b_.begin());
    equilibrate();
    for (std::size_t i = 0; i < dense_.size(); ++i) dense_[i] = dense_nz_[i] < 0 ? 0.0 : a_[dense_nz_[i]];
}

// Ruiz's equilibration of A: rows and columns scaled, over a few passes,
// toward unit infinity norms (a second-order cone's rows share one scale,
// so that it stays the same cone). The solver works on E A D, E b, D q.
void StructuredSolver::equilibrate() {
    constexpr int kPasses = 10;
    constexpr double kLeast = 1e-4, kMost = 1e4;
    std::fill(column_scale_.begin(), column_scale_.end(), 1.0);
    std::fill(row_scale_.begin(), row_scale_.end(), 1.0);
    for (int pass = 0; pass < kPasses; ++pass) {
        std::fill(t1_.begin(), t1_.end(), 0.0);  // row norms
        for (std::uint32_t c = 0; c < columns_; ++c) {
            double norm = 0.0;
            for (std::uint64_t k = colptr_[c]; k < colptr_[c + 1]; ++k) {
                const double v = std::abs(a_[k]);
                norm = std::max(norm, v);
                t1_[rowval_[k]] = std::max(t1_[rowval_[k]], v);
            }
            ex_[c] = norm > 0.0 ? std::clamp(1.0 / std::sqrt(norm), kLeast, kMost) : 1.0;
        }
        for (const Block& block : blocks_) {
            if (!block.soc) continue;
            double norm = 0.0;
            for (std::uint32_t i = 0; i < block.dim; ++i) norm = std::max(norm, t1_[block.row + i]);
            for (std::uint32_t i = 0; i < block.dim; ++i) t1_[block.row + i] = norm;
        }
        for (std::uint32_t r = 0; r < rows_; ++r) t1_[r] = t1_[r] > 0.0 ? std::clamp(1.0 / std::sqrt(t1_[r]), kLeast, kMost) : 1.0;
        for (std::uint32_t c = 0; c < columns_; ++c) {
            for (std::uint64_t k = colptr_[c]; k < colptr_[c + 1]; ++k) a_[k] *= ex_[c] * t1_[rowval_[k]];
            column_scale_[c] *= ex_[c];
        }
        for (std::uint32_t r = 0; r < rows_; ++r) row_scale_[r] *= t1_[r];
    }
    for (std::uint32_t c = 0; c < columns_; ++c) q_[c] *= column_scale_[c];
    for (std::uint32_t r = 0; r < rows_; ++r) b_[r] *= row_scale_[r];
}

// W^Power v on the inequality rows (the equality rows are left alone).
template <int Power>
void StructuredSolver::apply_w(const double* in, double* out) const {
    static_assert(Power == 1 || Power == -1 || Power == 2 || Power == -2);
    // The nonnegative rows, each its own scale.
    for (std::uint32_t r = equality_rows_; r < nonnegative_end_; ++r) {
        const double w = w_[r];
        out[r] = Power == 1 ? in[r] * w : Power == -1 ? in[r] / w : Power == 2 ? in[r] * (w * w) : in[r] / (w * w);
    }
    for (std::size_t bi = first_cone_; bi < blocks_.size(); ++bi) {
        const Block& block = blocks_[bi];
        const std::uint32_t r = block.row, d = block.dim;
        const double eta = eta_[bi];
        const double* w = w_.data() + r;
        const double* v = in + r;
        double* o = out + r;
        const double w1v1 = dot(w + 1, v + 1, d - 1);
        if constexpr (Power == 1) {
            const double c = v[0] + w1v1 / (1.0 + w[0]);
            o[0] = eta * (w[0] * v[0] + w1v1);
            for (std::uint32_t i = 1; i < d; ++i) o[i] = eta * (v[i] + c * w[i]);
        } else if constexpr (Power == -1) {
            const double c = v[0] - w1v1 / (1.0 + w[0]);
            o[0] = (w[0] * v[0] - w1v1) / eta;
            for (std::uint32_t i = 1; i < d; ++i) o[i] = (v[i] - c * w[i]) / eta;
        } else if constexpr (Power == 2) {
            const double t = w[0] * v[0] + w1v1, e2 = eta * eta;
            o[0] = e2 * (2.0 * w[0] * t - v[0]);
            for (std::uint32_t i = 1; i < d; ++i) o[i] = e2 * (2.0 * w[i] * t + v[i]);
        } else {
            const double t = w[0] * v[0] - w1v1, e2 = eta * eta;
            o[0] = (2.0 * w[0] * t - v[0]) / e2;
            for (std::uint32_t i = 1; i < d; ++i) o[i] = (v[i] - 2.0 * w[i] * t) / e2;
        }
    }
}

// The Nesterov-Todd scaling point of s and z, and lambda = W z = W^-1 s.
void StructuredSolver::scale() {
    for (std::size_t bi = 0; bi < blocks_.size(); ++bi) {
        const Block& block = blocks_[bi];
        const std::uint32_t r = block.row, d = block.dim;
        if (!block.soc) {
            w_[r] = std::sqrt(s_[r] / z_[r]);
            lambda_[r] = std::sqrt(s_[r] * z_[r]);
            continue;
        }
        const double* s = s_.data() + r;
        const double* z = z_.data() + r;
        const double s1 = std::sqrt(dot(s + 1, s + 1, d - 1)), z1 = std::sqrt(dot(z + 1, z + 1, d - 1));
        const double sn = std::sqrt((s[0] - s1) * (s[0] + s1)), zn = std::sqrt((z[0] - z1) * (z[0] + z1));
        const double gamma = std::sqrt(0.5 * (1.0 + dot(s, z, d) / (sn * zn)));
        double* w = w_.data() + r;
        w[0] = (s[0] / sn + z[0] / zn) / (2.0 * gamma);
        for (std::uint32_t i = 1; i < d; ++i) w[i] = (s[i] / sn - z[i] / zn) / (2.0 * gamma);
        eta_[bi] = std::sqrt(sn / zn);
        double* l = lambda_.data() + r;
        const double root = std::sqrt(sn * zn), s0 = s[0] / sn, z0 = z[0] / zn;
        l[0] = root * gamma;
        for (std::uint32_t i = 1; i < d; ++i) {
            l[i] = root * ((gamma + z0) * s[i] / sn + (gamma + s0) * z[i] / zn) / (s0 + z0 + 2.0 * gamma);
        }
    }
}

// The reduced matrix [H E'; E 0] (H the cones' W^-2 blocks), regularised,
// factored as L D L' in its envelope.
void StructuredSolver::factor() {
    std::fill(values_.begin(), values_.end(), 0.0);
    for (std::size_t bi = 0; bi < blocks_.size(); ++bi) {
        const Block& block = blocks_[bi];
        const std::uint32_t d = block.dim, k = block.columns;
        const double* dense = dense_.data() + block.dense_at;
        double* g = gram_.data();
        if (!block.soc) {
            for (std::uint32_t j = 0; j < k; ++j) g[j] = dense[j] / w_[block.row];
        } else {
            // W^-1 applied to each column of the block's rows.
            const double eta = eta_[bi];
            const double* w = w_.data() + block.row;
            for (std::uint32_t j = 0; j < k; ++j) {
                const double* v = dense + j * d;
                double* o = g + j * d;
                const double w1v1 = dot(w + 1, v + 1, d - 1);
                const double c = v[0] - w1v1 / (1.0 + w[0]);
                o[0] = (w[0] * v[0] - w1v1) / eta;
                for (std::uint32_t i = 1; i < d; ++i) o[i] = (v[i] - c * w[i]) / eta;
            }
        }
        const std::uint32_t* to = scatter_.data() + block.scatter_at;
        for (std::uint32_t i = 0; i < k; ++i) {
            for (std::uint32_t j = 0; j <= i; ++j) values_[*to++] += dot(g + i * d, g + j * d, d);
        }
    }
    for (std::uint64_t k = 0; k < nnz_; ++k) {
        if (equality_nz_[k] != kNone) values_[equality_nz_[k]] = a_[k];
    }
    const std::uint32_t size = order_size_;
    double largest = 0.0;
    for (std::uint32_t i = 0; i < size; ++i) largest = std::max(largest, std::abs(values_[start_[i] + i - first_[i]]));
    const double delta = regularization_ + std::numeric_limits<double>::epsilon() *
                                                               std::numeric_limits<double>::epsilon() * largest;
    for (std::uint32_t i = 0; i < size; ++i) values_[start_[i] + i - first_[i]] += sign_[i] * delta;

    // Row by row: row i's entries first become L D (a triangular solve
    // against the rows above), then L, and the pivot follows. Rows go in
    // pairs: the second's entries left of the first's pivot do not wait for
    // the first, so the two triangular solves run side by side.
    double* v = values_.data();
    const auto entry = [this, v](double* li, std::uint32_t fi, std::uint32_t j, double& previous) {
        // The last term of the sum waits for the entry just computed; the
        // rest does not, so it is summed first.
        const std::uint32_t k0 = std::max(fi, first_[j]);
        const double* lj = v + base_[j];
        double value = li[j];
        if (k0 < j) value -= dot2(li + k0, lj + k0, j - 1 - k0) + previous * lj[j - 1];
        li[j] = previous = value;
    };
    const auto pivot = [this](double* li, std::uint32_t fi, std::uint32_t i) {
        double d0 = li[i], d1 = 0.0;
        std::uint32_t j = fi;
        for (; j + 2 <= i; j += 2) {
            const double l0 = li[j] * inverse_diagonal_[j], l1 = li[j + 1] * inverse_diagonal_[j + 1];
            d0 -= l0 * li[j];
            d1 -= l1 * li[j + 1];
            li[j] = l0;
            li[j + 1] = l1;
        }
        if (j < i) {
            const double l = li[j] * inverse_diagonal_[j];
            d0 -= l * li[j];
            li[j] = l;
        }
        double d = d0 + d1;
        if (!(sign_[i] * d > kPivotFloor)) d = sign_[i] * kPivotReplacement;
        li[i] = d;
        inverse_diagonal_[i] = 1.0 / d;
    };
    std::uint32_t i = 0;
    for (; i + 1 < size; i += 2) {
        const std::uint32_t fa = first_[i], fb = first_[i + 1];
        double* la = v + base_[i];
        double* lb = v + base_[i + 1];
        double pa = 0.0, pb = 0.0;
        for (std::uint32_t j = std::min(fa, fb); j < i; ++j) {
            if (j >= fa) entry(la, fa, j, pa);
            if (j >= fb) entry(lb, fb, j, pb);
        }
        pivot(la, fa, i);
        if (fb <= i) entry(lb, fb, i, pb);
        pivot(lb, fb, i + 1);
    }
    if (i < size) {
        double* li = v + base_[i];
        double previous = 0.0;
        for (std::uint32_t j = first_[i]; j < i; ++j) entry(li, first_[i], j, previous);
        pivot(li, first_[i], i);
    }
}

// The triangular and diagonal solves of L D L' y = y for `count` (1 or 2)
// right-hand sides stored interleaved: two share every load of L, and their
// sums run side by side.
void StructuredSolver::triangular_solves(double* y, std::uint32_t count) const {
    const double* v = values_.data();
    const std::uint32_t size = order_size_;
    if (count == 1) {
        for (std::uint32_t i = 0, previous = 0; i < size; previous = i++) {
            // As in factor(): the term of the entry just computed comes last.
            const std::uint32_t fi = first_[i];
            if (fi < i) y[i] -= dot4(v + start_[i], y + fi, i - 1 - fi) + v[base_[i] + previous] * y[previous];
        }
        for (std::uint32_t i = 0; i < size; ++i) y[i] *= inverse_diagonal_[i];
        for (std::uint32_t i = size; i-- > 0;) axpy(y + first_[i], v + start_[i], y[i], i - first_[i]);
        return;
    }
    for (std::uint32_t i = 0; i < size; ++i) {
        const double* li = v + base_[i];
        double a0 = 0.0, a1 = 0.0, b0 = 0.0, b1 = 0.0;
        std::uint32_t k = first_[i];
        for (; k + 2 <= i; k += 2) {
            a0 += li[k] * y[2 * k];
            a1 += li[k] * y[2 * k + 1];
            b0 += li[k + 1] * y[2 * k + 2];
            b1 += li[k + 1] * y[2 * k + 3];
        }
        if (k < i) {
            a0 += li[k] * y[2 * k];
            a1 += li[k] * y[2 * k + 1];
        }
        y[2 * i] -= a0 + b0;
        y[2 * i + 1] -= a1 + b1;
    }
    for (std::uint32_t i = 0; i < size; ++i) {
        y[2 * i] *= inverse_diagonal_[i];
        y[2 * i + 1] *= inverse_diagonal_[i];
    }
    for (std::uint32_t i = size; i-- > 0;) {
        const double* li = v + base_[i];
        const double y0 = y[2 * i], y1 = y[2 * i + 1];
        double* __restrict out = y;
        for (std::uint32_t k = first_[i]; k < i; ++k) {
            out[2 * k] -= li[k] * y0;
            out[2 * k + 1] -= li[k] * y1;
        }
    }
}

// [0 A'; A -W^2] (dx, dz) = (rx, rz), the equality rows' block zero, through
// the factored reduced system, for each of `count` right-hand sides.
void StructuredSolver::solve_reduced(const Side* sides, std::uint32_t count) {
    double* y = perm_.data();
    for (std::uint32_t j = 0; j < count; ++j) {
        const Side& side = sides[j];
        double* wz = reduced_[j].data();
        apply_w<-2>(side.rz, wz);
        for (std::uint32_t c = 0; c < columns_; ++c) {
            double sum = side.rx[c];
            for (std::uint64_t k = split_[c]; k < colptr_[c + 1]; ++k) sum += a_[k] * wz[rowval_[k]];
            y[count * position_of_column_[c] + j] = sum;
        }
        for (std::uint32_t r = 0; r < equality_rows_; ++r) y[count * position_of_row_[r] + j] = side.rz[r];
    }
    triangular_solves(y, count);
    for (std::uint32_t j = 0; j < count; ++j) {
        const Side& side = sides[j];
        double* az = reduced_[j].data();  // A dx - rz on the inequality rows
        for (std::uint32_t r = equality_rows_; r < rows_; ++r) az[r] = -side.rz[r];
        for (std::uint32_t c = 0; c < columns_; ++c) {
            const double xc = y[count * position_of_column_[c] + j];
            side.dx[c] = xc;
            for (std::uint64_t k = split_[c]; k < colptr_[c + 1]; ++k) az[rowval_[k]] += a_[k] * xc;
        }
        for (std::uint32_t r = 0; r < equality_rows_; ++r) side.dz[r] = y[count * position_of_row_[r] + j];
        apply_w<-2>(az, side.dz);
    }
}

// solve_reduced, refined against the unregularised system (a fixed number
// of steps: one takes the residual from about the regularisation's 1e-8 to
// about 1e-13) unless `refine` is false.
void StructuredSolver::solve_kkt(const Side* sides, std::uint32_t count, bool refine) {
    solve_reduced(sides, count);
    Side fixes[2];
    for (std::uint32_t step = 0; refine && step < settings_.refinement_steps; ++step) {
        for (std::uint32_t j = 0; j < count; ++j) {
            // Residuals: ex = rx - A'dz, ez = rz - A dx + W^2 dz (inequality rows).
            const Side& side = sides[j];
            double* ex = residual_x_[j].data();
            double* ez = residual_z_[j].data();
            apply_w<2>(side.dz, ez);
            for (std::uint32_t r = 0; r < equality_rows_; ++r) ez[r] = side.rz[r];
            for (std::uint32_t r = equality_rows_; r < rows_; ++r) ez[r] += side.rz[r];
            for (std::uint32_t c = 0; c < columns_; ++c) {
                double sum = side.rx[c];
                const double xc = side.dx[c];
                for (std::uint64_t k = colptr_[c]; k < colptr_[c + 1]; ++k) {
                    sum -= a_[k] * side.dz[rowval_[k]];
                    ez[rowval_[k]] -= a_[k] * xc;
                }
                ex[c] = sum;
            }
            fixes[j] = Side{ex, ez, fix_x_[j].data(), fix_z_[j].data()};
        }
        solve_reduced(fixes, count);
        for (std::uint32_t j = 0; j < count; ++j) {
            for (std::uint32_t c = 0; c < columns_; ++c) sides[j].dx[c] += fixes[j].dx[c];
            for (std::uint32_t r = 0; r < rows_; ++r) sides[j].dz[r] += fixes[j].dz[r];
        }
    }
}

// The largest step keeping s, z, tau and kappa in their cones.
double StructuredSolver::step_to_boundary(const double* s, const double* ds, const double* z, const double* dz) const {
    double step = kInfinity;
    for (const Block& block : blocks_) {
        const std::uint32_t r = block.row;
        if (!block.soc) {
            if (ds[r] < 0.0) step = std::min(step, -s[r] / ds[r]);
            if (dz[r] < 0.0) step = std::min(step, -z[r] / dz[r]);
            continue;
        }
        step = std::min({step, soc_step(s + r, ds + r, block.dim), soc_step(z + r, dz + r, block.dim)});
    }
    return step;
}

// CVXOPT's starting point: the least-squares primal and least-norm dual,
// each moved into its cone.
void StructuredSolver::initial_point() {
    for (std::size_t bi = 0; bi < blocks_.size(); ++bi) {
        const Block& block = blocks_[bi];
        std::fill(w_.begin() + block.row, w_.begin() + block.row + block.dim, 0.0);
        w_[block.row] = 1.0;
        eta_[bi] = 1.0;
    }
    factor();
    // Both from one pair of solves: (x, -s) for (0, b), (., z) for (-q, 0).
    std::fill(rx_.begin(), rx_.end(), 0.0);
    std::fill(rz_.begin(), rz_.end(), 0.0);
    for (std::uint32_t c = 0; c < columns_; ++c) cx_[c] = -q_[c];
    const Side sides[2] = {{rx_.data(), b_.data(), x_.data(), s_.data()}, {cx_.data(), rz_.data(), dx_.data(), z_.data()}};
    solve_kkt(sides, 2, true);
    for (std::uint32_t r = 0; r < rows_; ++r) s_[r] = is_equality_[r] ? 0.0 : -s_[r];
    for (std::vector<double>* v : {&s_, &z_}) {
        double shift = -kInfinity;  // the least "eigenvalue", negated
        for (const Block& block : blocks_) {
            const double* e = v->data() + block.row;
            shift = std::max(shift, block.soc ? std::sqrt(dot(e + 1, e + 1, block.dim - 1)) - e[0] : -e[0]);
        }
        if (shift >= 0.0) {
            for (const Block& block : blocks_) (*v)[block.row] += 1.0 + shift;
        }
    }
    tau_ = kappa_ = 1.0;
}

const ConicSolution& StructuredSolver::solve(const StopCheck* stop) {
    ConicSolution& out = out_;
    out.success = out.solved = out.stopped = out.infeasible = false;
    out.iterations = 0;
    const std::uint32_t m = rows_, nc = columns_;
    const double tol = settings_.tolerance, tol_inf = settings_.infeasibility_tolerance;
    double norm_q = 0.0, norm_b = 0.0;  // in the program's own units
    for (std::uint32_t c = 0; c < nc; ++c) norm_q = std::max(norm_q, std::abs(q_[c]) / column_scale_[c]);
    for (std::uint32_t r = 0; r < m; ++r) norm_b = std::max(norm_b, std::abs(b_[r]) / row_scale_[r]);

    // Jordan products on the inequality rows: out = u o v, and out = lambda \ v.
    const auto jordan = [this](const double* u, const double* v, double* o) {
        for (const Block& block : blocks_) {
            const std::uint32_t r = block.row;
            if (!block.soc) {
                o[r] = u[r] * v[r];
                continue;
            }
            const double u0 = u[r], v0 = v[r];
            o[r] = dot(u + r, v + r, block.dim);
            for (std::uint32_t i = 1; i < block.dim; ++i) o[r + i] = u0 * v[r + i] + v0 * u[r + i];
        }
    };
    const auto lambda_divide = [this](const double* d, double* o) {
        for (const Block& block : blocks_) {
            const std::uint32_t r = block.row;
            const double* l = lambda_.data() + r;
            if (!block.soc) {
                o[r] = d[r] / l[0];
                continue;
            }
            const double l1 = std::sqrt(dot(l + 1, l + 1, block.dim - 1));
            const double rho = (l[0] - l1) * (l[0] + l1);
            const double u0 = (l[0] * d[r] - dot(l + 1, d + r + 1, block.dim - 1)) / rho;
            o[r] = u0;
            for (std::uint32_t i = 1; i < block.dim; ++i) o[r + i] = (d[r + i] - u0 * l[i]) / l[0];
        }
    };

    // The library's full and reduced ("almost") tolerances.
    const double tol_feasibility = settings_.feasibility_tolerance > 0.0 ? settings_.feasibility_tolerance : tol;
    const Tolerances full{tol, tol_feasibility, tol_inf, tol_inf, kKappaTauRatio};
    const Tolerances reduced{kReducedGap, kReducedFeasibility, kReducedInfeasibility, kReducedInfeasibilityAbsolute,
                             kReducedKappaTau};
    const char* status = "MaxIterations";
    // Records a verdict: the full tolerances' own, or an "almost" one.
    const auto settle = [&](Verdict v, bool almost) {
        if (v == Verdict::solved) {
            status = almost ? "AlmostSolved" : "Solved";
            out.success = true;
            out.solved = !almost;
        } else if (v == Verdict::infeasible) {
            status = almost ? "AlmostPrimalInfeasible" : "PrimalInfeasible";
            out.infeasible = true;
        } else if (v == Verdict::unbounded) {
            status = almost ? "AlmostDualInfeasible" : "DualInfeasible";
        }
    };
    double best_certificate = kInfinity;
    // Refinement of every direction, switched on for the rest of the solve
    // once a step reduces the residuals much less than an exact Newton step
    // would (the regularised solves' error showing), or toward a
    // certificate of infeasibility, where the scalings grow as 1/tau.
    bool refining = false;
    double expected_residual = kInfinity;
    std::uint32_t stalled = 0;
    Verdict last = Verdict::none;  // at the reduced tolerances, from the last iterate

    regularization_ = settings_.static_regularization;
    initial_point();
    for (std::uint32_t iteration = 0;; ++iteration) {
        // Residuals of the embedding.
        std::fill(rz_.begin(), rz_.end(), 0.0);
        for (std::uint32_t c = 0; c < nc; ++c) {
            double sum = q_[c] * tau_;
            for (std::uint64_t k = colptr_[c]; k < colptr_[c + 1]; ++k) {
                sum += a_[k] * z_[rowval_[k]];
                rz_[rowval_[k]] += a_[k] * x_[c];
            }
            rx_[c] = sum;
        }
        double norm_ax_s = 0.0, res_p = 0.0, res_d = 0.0;
        for (std::uint32_t r = 0; r < m; ++r) {
            rz_[r] += s_[r];
            norm_ax_s = std::max(norm_ax_s, std::abs(rz_[r]) / row_scale_[r]);
            rz_[r] -= b_[r] * tau_;
            res_p = std::max(res_p, std::abs(rz_[r]) / row_scale_[r]);
        }
        for (std::uint32_t c = 0; c < nc; ++c) res_d = std::max(res_d, std::abs(rx_[c]) / column_scale_[c]);
        {
            double residual = 0.0;  // of the embedding, as the Newton steps reduce it
            for (std::uint32_t c = 0; c < nc; ++c) residual = std::max(residual, std::abs(rx_[c]));
            for (std::uint32_t r = 0; r < m; ++r) residual = std::max(residual, std::abs(rz_[r]));
            if (residual > kRefineAbove * expected_residual) {
                refining = true;
                if (settings_.late_regularization > 0.0) regularization_ = settings_.late_regularization;
            }
            expected_residual = residual;  // scaled by the step below
        }
        res_p /= tau_;
        res_d /= tau_;
        const double qx = dot4(q_.data(), x_.data(), nc), bz = dot4(b_.data(), z_.data(), m);
        const double rtau = kappa_ + qx + bz;

        double norm_x = 0.0, norm_s = 0.0, norm_z = 0.0;
        for (std::uint32_t c = 0; c < nc; ++c) norm_x = std::max(norm_x, std::abs(x_[c]) * column_scale_[c]);
        for (std::uint32_t r = 0; r < m; ++r) {
            norm_s = std::max(norm_s, std::abs(s_[r]) / row_scale_[r]);
            norm_z = std::max(norm_z, std::abs(z_[r]) * row_scale_[r]);
        }
        if (!std::isfinite(norm_x + norm_s + norm_z + tau_ + kappa_)) {
            status = "NumericalError";
            break;
        }
        // The verdict these residuals allow at the given tolerances, if any
        // (b'z < 0 with A'z = 0 proves that no point satisfies the program;
        // q'x < 0 with A x + s = 0 that it is unbounded).
        double norm_atz = 0.0;
        for (std::uint32_t c = 0; c < nc; ++c) {
            norm_atz = std::max(norm_atz, std::abs(rx_[c] - q_[c] * tau_) / column_scale_[c]);
        }
        const auto verdict = [&](const Tolerances& t) -> Verdict {
            const double pcost = qx / tau_, dcost = -bz / tau_;
            const double gap = std::abs(qx + bz) / tau_;
            const double gap_rel = gap / std::max(1.0, std::min(std::abs(pcost), std::abs(dcost)));
            if (res_p <= t.feasibility * std::max(1.0, norm_b + (norm_x + norm_s) / tau_) &&
                res_d <= t.feasibility * std::max(1.0, norm_q + (norm_x + norm_z) / tau_) &&
                (gap <= t.gap || gap_rel <= t.gap) && kappa_ / tau_ <= t.kappa_tau) {
                return Verdict::solved;
            }
            if (bz < -t.infeasibility_absolute * std::max(1.0, norm_z) && norm_atz <= t.infeasibility * -bz) {
                return Verdict::infeasible;
            }
            if (qx < -t.infeasibility_absolute * std::max(1.0, norm_x) && norm_ax_s <= t.infeasibility * -qx) {
                return Verdict::unbounded;
            }
            return Verdict::none;
        };
        const Verdict now = verdict(full);
        if (now != Verdict::none) {
            settle(now, false);
            break;
        }
        // Toward a certificate the iterate shrinks with tau while the
        // cones' scalings grow as 1/tau; once the certificate stops
        // improving, the reduced tolerances decide.
        if (bz < 0.0 && tau_ < kStalledTau * kappa_) {
            const double quality = norm_atz / -bz;
            stalled = quality < 0.5 * best_certificate ? 0 : stalled + 1;
            best_certificate = std::min(best_certificate, quality);
            if (stalled >= kStalledIterations) {
                status = "InsufficientProgress";
                break;
            }
        }
        last = verdict(reduced);
        if (iteration >= settings_.max_iterations) break;
        if (stop && *stop && (*stop)()) {
            status = "CallbackTerminated";
            out.stopped = true;
            break;
        }
        ++out.iterations;

        scale();
        factor();
        // Each direction is (x2, z2) + dtau (x1, z1), where (x1, z1) solves
        // K (x1, z1) = (-q, b) and (x2, z2) the direction's own right-hand
        // side, built from the complementarity target d_s (on the inequality
        // rows) and the residuals weighted by `weight`.
        for (std::uint32_t c = 0; c < nc; ++c) ex_[c] = -q_[c];
        const Side tau_side{ex_.data(), b_.data(), x1_.data(), z1_.data()};
        const Side own_side{cx_.data(), cz_.data(), x2_.data(), z2_.data()};
        double denominator = 0.0;
        const auto direction = [&](double weight, const double* d_s, double d_kappa, bool with_tau, double& dtau,
                                   double& dkappa) {
            lambda_divide(d_s, t3_.data());
            apply_w<1>(t3_.data(), t4_.data());  // W (lambda \ d_s)
            for (std::uint32_t c = 0; c < nc; ++c) cx_[c] = -weight * rx_[c];
            for (std::uint32_t r = 0; r < m; ++r) cz_[r] = -weight * rz_[r] + (is_equality_[r] ? 0.0 : t4_[r]);
            // Unrefined while the regularised solves serve: convergence is
            // judged on the true residuals, and refining every solve changed
            // no iteration count of the bench table.
            const Side both[2] = {own_side, tau_side};
            solve_kkt(both, with_tau ? 2 : 1, refining || tau_ < kappa_);
            if (with_tau) {
                denominator = dot4(q_.data(), x1_.data(), nc) + dot4(b_.data(), z1_.data(), m) - kappa_ / tau_;
            }
            dtau = (-weight * rtau + d_kappa / tau_ - dot4(q_.data(), x2_.data(), nc) - dot4(b_.data(), z2_.data(), m)) /
                   denominator;
            for (std::uint32_t c = 0; c < nc; ++c) dx_[c] = x2_[c] + dtau * x1_[c];
            for (std::uint32_t r = 0; r < m; ++r) dz_[r] = z2_[r] + dtau * z1_[r];
            apply_w<2>(dz_.data(), t3_.data());
            for (std::uint32_t r = 0; r < m; ++r) ds_[r] = is_equality_[r] ? 0.0 : -t4_[r] - t3_[r];
            dkappa = (-d_kappa - kappa_ * dtau) / tau_;
        };
        const auto longest_step = [&](double dtau, double dkappa) {
            double step = step_to_boundary(s_.data(), ds_.data(), z_.data(), dz_.data());
            if (dtau < 0.0) step = std::min(step, -tau_ / dtau);
            if (dkappa < 0.0) step = std::min(step, -kappa_ / dkappa);
            return step;
        };

        // Predictor: d_s = lambda o lambda.
        jordan(lambda_.data(), lambda_.data(), target_.data());
        double dtau = 0.0, dkappa = 0.0;
        direction(1.0, target_.data(), kappa_ * tau_, true, dtau, dkappa);
        const double affine = std::min(1.0, longest_step(dtau, dkappa));
        double sz = tau_ * kappa_;
        for (const Block& block : blocks_) sz += dot(s_.data() + block.row, z_.data() + block.row, block.dim);
        const double mu = sz / (degree_ + 1);
        const double sigma = std::pow(1.0 - affine, 3);

        // Corrector: d_s = lambda o lambda + (W^-1 ds) o (W dz) - sigma mu e.
        apply_w<-1>(ds_.data(), t1_.data());
        apply_w<1>(dz_.data(), t2_.data());
        jordan(t1_.data(), t2_.data(), t3_.data());
        for (std::uint32_t r = 0; r < m; ++r) target_[r] += t3_[r];
        for (const Block& block : blocks_) target_[block.row] -= sigma * mu;
        const double d_kappa = kappa_ * tau_ + dkappa * dtau - sigma * mu;
        direction(1.0 - sigma, target_.data(), d_kappa, false, dtau, dkappa);
        const double step = std::min(1.0, settings_.max_step_fraction * longest_step(dtau, dkappa));
        if (!(step > kLeastStep)) {
            status = "InsufficientProgress";
            break;
        }
        for (std::uint32_t c = 0; c < nc; ++c) x_[c] += step * dx_[c];
        for (std::uint32_t r = 0; r < m; ++r) {
            s_[r] += step * ds_[r];
            z_[r] += step * dz_[r];
        }
        tau_ += step * dtau;
        kappa_ += step * dkappa;
        expected_residual *= 1.0 - step * (1.0 - sigma);
    }
    // Out of iterations or of progress: an "almost" verdict if the reduced
    // tolerances allow one.
    if (status == std::string_view("MaxIterations") || status == std::string_view("InsufficientProgress")) {
        settle(last, true);
    }
    out.status = status;
    if (out.success) {
        for (std::uint32_t c = 0; c < nc; ++c) out.x[c] = x_[c] * column_scale_[c] / tau_;
        for (std::uint32_t r = 0; r < m; ++r) out.z[r] = z_[r] * row_scale_[r] / tau_;
    }
    return out;
}

}  // namespace vexal
