#pragma once
// An interior-point solver for this planner's programs that exploits their
// shape: the dynamics couple node k to node k + 1 only and every cone lives
// on one node (the nearest landing's glide-slope cones also reach the last
// node, which is ordered last). Every cone is eliminated into a small block
// on its node's columns, and the remaining system (the columns and the
// equality rows, ordered by node) is factored as an envelope LDL': fill stays
// inside a band a few nodes wide, so an iteration costs O(n).
//
// The method: the homogeneous self-dual embedding (which detects
// infeasibility), Nesterov-Todd scaling, Mehrotra's predictor-corrector.
// Everything is sized when the solver is built from a program's pattern;
// update() and solve() allocate nothing.
#include <cstdint>
#include <vector>

#include "vexal/assemble.hpp"
#include "vexal/conic.hpp"
#include "vexal/error.hpp"

namespace vexal {

struct StructuredSettings {
    double tolerance = 1e-8;  // gap (absolute and relative) and feasibility
    double feasibility_tolerance = 0.0;  // positive: feasibility's own, apart from the gap's
    double infeasibility_tolerance = 1e-8;
    std::uint32_t max_iterations = 50;
    double max_step_fraction = 0.99;
    double static_regularization = 1e-8;
    // Positive: the static regularisation from the iteration on which the
    // regularised solves' error shows (refinement switched on). On long
    // horizons 1e-8 puts a floor under the accuracy of the directions: the
    // dual residual stalls and the iterates creep to the iteration limit.
    double late_regularization = 0.0;
    std::uint32_t refinement_steps = 1;
};

class StructuredSolver {
public:
    // Sized for the pattern of `problem` (its cost must be linear; a program
    // this solver cannot take is the error kind solver_construction).
    // `column_nodes[c]` is the node of column c.
    static Result<StructuredSolver> build(const Problem& problem, const std::vector<std::uint32_t>& column_nodes,
                                          const StructuredSettings& settings = {});

    // New values of q, A and b for the same pattern (anything else throws
    // InternalError). Allocates nothing.
    void update(const Problem& problem);

    // Solves the program last given. The status names and flags are those of
    // ConicSolution; the answer lives in the solver until the next solve.
    // Allocates nothing.
    const ConicSolution& solve(const StopCheck* stop = nullptr);

    // Whether `problem` has the pattern this solver was built for.
    bool fits(const Problem& problem) const;

    void set_tolerance(double tolerance) { settings_.tolerance = tolerance; }
    const StructuredSettings& settings() const { return settings_; }
    void set_settings(const StructuredSettings& settings) { settings_ = settings; }

private:
    struct Block {  // one second-order cone, or one nonnegative row
        std::uint32_t row;       // its first row
        std::uint32_t dim;       // 1 for a nonnegative row
        bool soc;
        std::uint32_t columns;   // distinct columns its rows touch
        std::uint32_t column_at; // into block_columns_
        std::uint32_t dense_at;  // into dense_ / dense_nz_ (dim x columns, by column)
        std::uint32_t scatter_at;  // into scatter_ (the lower triangle of its columns' block)
    };

    // The linear algebra of one iteration.
    void factor();
    struct Side {  // one right-hand side (rx, rz) and where its solution goes
        const double* rx;
        const double* rz;
        double* dx;
        double* dz;
    };
    void triangular_solves(double* y, std::uint32_t count) const;
    void solve_reduced(const Side* sides, std::uint32_t count);
    void solve_kkt(const Side* sides, std::uint32_t count, bool refine);
    template <int Power>
    void apply_w(const double* in, double* out) const;  // W^Power on the inequality rows

    void equilibrate();
    void scale();
    double step_to_boundary(const double* s, const double* ds, const double* z, const double* dz) const;
    void initial_point();

    StructuredSettings settings_;
    std::uint32_t columns_ = 0, rows_ = 0, equality_rows_ = 0;
    std::uint64_t nnz_ = 0;
    std::vector<std::uint64_t> colptr_, rowval_;  // the pattern of A, checked at update
    std::vector<Cone> cones_;
    std::vector<double> q_, a_, b_;  // equilibrated: E A D, E b, D q
    std::vector<double> column_scale_, row_scale_;  // D and E
    std::vector<char> is_equality_;  // the equality rows come first
    std::vector<std::uint64_t> split_;  // each column's first stored entry on an inequality row

    std::vector<Block> blocks_;  // the nonnegative rows, then the second-order cones
    std::size_t first_cone_ = 0;
    std::uint32_t nonnegative_end_ = 0;  // the row after the last nonnegative one
    std::vector<std::uint32_t> block_columns_;
    std::vector<double> dense_;
    std::vector<std::int64_t> dense_nz_;  // the stored entry of each dense value, or -1
    std::vector<std::uint32_t> scatter_;
    std::vector<double> gram_;             // scratch: W^-1 times a block's dense rows
    std::vector<std::uint32_t> equality_nz_;  // each stored entry of an equality row -> envelope slot (or ~0u)

    // The reduced system, permuted: columns and equality rows by node.
    std::uint32_t order_size_ = 0;
    std::vector<std::uint32_t> position_of_column_, position_of_row_;  // ~0u: not in the reduced system
    std::vector<std::uint32_t> first_;  // first column of each row's envelope
    std::vector<std::uint64_t> start_;  // each row's envelope in values_ (its diagonal at start_ + i - first_)
    std::vector<std::int64_t> base_;  // start_ - first_: row i's entry j at values_[base_[i] + j]
    std::vector<double> values_, inverse_diagonal_;
    std::vector<signed char> sign_;  // +1 column, -1 equality row

    // Iterates and work vectors. w_ holds each inequality row's scaling: a
    // nonnegative row's sqrt(s/z), a cone's Nesterov-Todd point (eta_ its
    // scale); lambda_ = W z.
    std::vector<double> x_, s_, z_, dx_, ds_, dz_, x1_, z1_, x2_, z2_, rx_, rz_, lambda_, w_, eta_;
    std::vector<double> t1_, t2_, t3_, t4_, ex_, cx_, cz_, perm_;
    std::vector<double> target_;  // the complementarity target d_s of a direction
    std::vector<double> reduced_[2], residual_x_[2], residual_z_[2], fix_x_[2], fix_z_[2];  // per right-hand side
    double tau_ = 1.0, kappa_ = 1.0;
    double regularization_ = 0.0;  // static, of this iteration's factorisation
    std::uint32_t degree_ = 0;  // of the cone: the nonnegative rows plus one per second-order cone

    ConicSolution out_;
};

}  // namespace vexal
