#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "vexal/accuracy.hpp"
#include "vexal/hypot.hpp"

namespace vexal {
namespace {

// Rows: 0 (zero cone) x0 = zero_rhs; 1 (nonnegative) x0 + x1 <= nonneg_rhs;
// 2..4 (second-order) slack (head_rhs - x1, 0, 0).
Problem small_program(double zero_rhs, double nonneg_rhs, double head_rhs) {
    Problem p;
    p.q = {0.0, 0.0};
    p.a = CscMatrix{5, 2, {0, 2, 4}, {0, 1, 1, 2}, {1.0, 1.0, 1.0, 1.0}};
    p.b = {zero_rhs, nonneg_rhs, head_rhs, 0.0, 0.0};
    p.cones = {{ConeKind::Zero, 1}, {ConeKind::Nonnegative, 1}, {ConeKind::SecondOrder, 3}};
    return p;
}

TEST(ProgramViolation, MeasuresEachConeRelativeToItsRow) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        double zero_rhs, nonneg_rhs, head_rhs;
        std::vector<double> x;
        double expected;
    };
    // The cone block is (head_rhs - x1, 0, 0): inside when x1 <= head_rhs.
    const Case cases[] = {
        {"satisfied", 1.0, 3.0, 5.0, {1.0, 2.0}, 0.0},
        {"equality off by 0.5, terms of size 1.5", 0.5, 3.0, 5.0, {1.0, 2.0}, 0.5 / 1.5},
        {"equality off, relative to large terms", 1000.0, 2000.0, 5.0, {1001.0, 2.0}, 1.0 / 2001.0},
        {"nonnegative slack -1, terms of size 4", 1.0, 2.0, 5.0, {1.0, 2.0}, 1.0 / 5.0},
        {"cone head below its tail", 1.0, 3.0, 1.0, {1.0, 2.0}, 1.0 / 3.0},
        {"not a number", 1.0, 3.0, 5.0, {nan, 2.0}, nan},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        const double v = program_violation(small_program(k.zero_rhs, k.nonneg_rhs, k.head_rhs), k.x);
        if (std::isnan(k.expected)) {
            EXPECT_TRUE(std::isnan(v));
        } else {
            EXPECT_DOUBLE_EQ(v, k.expected);
        }
    }
}

// Expected values are the correctly rounded ones, worked out exactly; the
// last two are inputs on which glibc 2.36's hypot is one unit off.
TEST(Hypot, IsCorrectlyRoundedWithoutOverflowOrUnderflow) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double x, y, expected;
    };
    const Case cases[] = {
        {3.0, 4.0, 5.0},
        {450.0, -330.0, 0x1.170421006fd1dp+9},
        {0.1, 0.2, 0x1.c9f25c5bfeddap-3},
        {1e300, 1e300, 0x1.0e4d50f99b211p+997},     // the squares overflow
        {1e-300, 3e-300, 0x1.0f1297202ba7fp-995},   // the squares underflow
        {1.0, 0x1p-30, 1.0},
        {-0.0, 0.0, 0.0},
        {-0x1.7572afe9293f6p+7, 0x1.5f5f134695e8cp+8, 0x1.8de775a60a9a1p+8},
        {-0x1.0a0fb8d177439p+4, -0x1.38d5b464a48e9p+2, 0x1.155168cba2acfp+4},
        {inf, nan, inf},
        {nan, -inf, inf},
        {nan, 1.0, nan},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.x << ", " << k.y);
        for (const double got : {vexal::hypot(k.x, k.y), vexal::hypot(k.y, k.x)}) {
            if (std::isnan(k.expected)) {
                EXPECT_TRUE(std::isnan(got));
            } else {
                EXPECT_EQ(got, k.expected);
            }
        }
    }
}

TEST(ProgramScaling, IsExactAndKeepsEachConeWhole) {
    Config c;
    c.solver.n = 3;
    c.spacecraft.max_velocity = 1e14;
    Config fixed = c;
    fixed.solver.time_of_flight = 50.0;
    const Problem problem = assemble(fixed, 50.0);
    const Scaling s = program_scaling(c, 50.0, problem);
    const Problem t = scaled(problem, s);
    for (double d : s.columns) EXPECT_EQ(std::exp2(std::round(std::log2(d))), d);
    // Only the speed-limit cones (constant head) are scaled, as a whole.
    std::uint64_t row = 0, scaled_rows = 0;
    for (const Cone& cone : problem.cones) {
        for (std::uint64_t r = row; r < row + cone.dim; ++r) {
            EXPECT_EQ(s.rows[r], s.rows[row]);
            if (s.rows[r] != 1.0) {
                ++scaled_rows;
                EXPECT_EQ(t.b[row], problem.b[row] * s.rows[r]);
            }
        }
        row += cone.dim;
    }
    EXPECT_EQ(scaled_rows, 4u * 3u);
    EXPECT_NEAR(t.b[9 * 3 + 7], 1.0, 0.5);  // the first speed-limit head, radius ~1
    // Degenerate quantities scale by 1.
    c.spacecraft.initial_position = {0.0, 0.0, 0.0};
    c.spacecraft.target_position = {0.0, 0.0, 0.0};
    c.spacecraft.wet_mass = std::numeric_limits<double>::quiet_NaN();
    c.environment.gravity = {0.0, 0.0, 0.0};
    const Scaling d = program_scaling(c, std::numeric_limits<double>::quiet_NaN(), problem);
    const Layout at{3};
    EXPECT_EQ(d.columns[at.position(1, 0)], 1.0);
    EXPECT_EQ(d.columns[at.thrust(1, 0)], 1.0);
    EXPECT_EQ(d.columns[at.velocity(1, 0)], 32.0);  // |initial velocity| = 42.4
}

}  // namespace
}  // namespace vexal
