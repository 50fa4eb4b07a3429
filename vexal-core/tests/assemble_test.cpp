#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <limits>
#include <numeric>
#include <optional>
#include <thread>
#include <tuple>

#include "vexal/assemble.hpp"
#include "vexal/dynamics.hpp"
#include "vexal/error.hpp"
#include "vexal/memory.hpp"
#include "vexal/planner.hpp"

namespace vexal {
namespace {

using Entries = std::vector<std::pair<std::uint64_t, double>>;

Config with_tof(double tof, std::uint64_t n = 100, double glide_deg = 0.0) {
    Config c;
    c.solver.n = n;
    c.solver.time_of_flight = tof;
    c.environment.glide_slope_angle_deg = glide_deg;
    return c;
}

double dt_of(const Config& c) { return *c.solver.time_of_flight / static_cast<double>(c.solver.n); }

Problem assembled(const Config& c) { return assemble(c, *c.solver.time_of_flight); }

// Rows of A read back from the CSC form, entries in column order.
std::vector<Entries> rows_of(const CscMatrix& a) {
    std::vector<Entries> rows(a.m);
    for (std::uint64_t c = 0; c < a.n; ++c) {
        for (std::uint64_t i = a.colptr[c]; i < a.colptr[c + 1]; ++i) rows[a.rowval[i]].emplace_back(c, a.nzval[i]);
    }
    return rows;
}

std::vector<std::uint64_t> columns_of(const Entries& e) {
    std::vector<std::uint64_t> cols;
    for (const auto& [c, w] : e) cols.push_back(c);
    return cols;
}

void expect_csc_invariants(const CscMatrix& a) {
    ASSERT_EQ(a.colptr.size(), a.n + 1);
    EXPECT_EQ(a.colptr.front(), 0u);
    EXPECT_EQ(a.colptr.back(), a.rowval.size());
    EXPECT_EQ(a.rowval.size(), a.nzval.size());
    for (std::uint64_t c = 0; c < a.n; ++c) {
        ASSERT_LE(a.colptr[c], a.colptr[c + 1]);
        for (std::uint64_t i = a.colptr[c]; i + 1 < a.colptr[c + 1]; ++i) EXPECT_LT(a.rowval[i], a.rowval[i + 1]);
    }
    for (auto r : a.rowval) EXPECT_LT(r, a.m);
}

// The time step is the horizon over n, and the configuration's own time of
// flight is not read.
TEST(Assemble, TimeStepIsTheHorizonOverTheNodeCount) {
    Config c = with_tof(1.0, 3);
    c.solver.time_of_flight.reset();
    const Problem p = assemble(c, 1.0);
    EXPECT_EQ(rows_of(p.a)[7][1], (std::pair<std::uint64_t, double>{3, -1.0 / 3.0}));  // -dt on v_0,0
    EXPECT_EQ(equality_rows(c, 1.0 / 3.0)[7].coeffs[2].second, -1.0 / 3.0);
}

struct SizeCase {
    std::uint64_t n;
    double glide_deg;
    std::uint64_t rows, stored, cones, zero, nonneg, soc4, soc3;
};

TEST(Assemble, SizesFollowTheNodeCount) {
    const SizeCase cases[] = {
        {1, 0.0, 27, 29, 5, 13, 3, 2, 1},          {1, 10.0, 30, 32, 6, 13, 2, 3, 1},
        {2, 0.0, 47, 75, 8, 20, 5, 4, 2},          {2, 10.0, 53, 81, 10, 20, 3, 6, 2},
        {3, 0.0, 67, 121, 11, 27, 7, 6, 3},        {3, 10.0, 76, 130, 14, 27, 4, 9, 3},
        {100, 0.0, 2007, 4583, 302, 706, 201, 200, 100}, {100, 10.0, 2307, 4883, 402, 706, 101, 300, 100},
    };
    for (const auto& sc : cases) {
        SCOPED_TRACE(testing::Message() << "n=" << sc.n << " glide=" << sc.glide_deg);
        const Problem p = assembled(with_tof(50.0, sc.n, sc.glide_deg));
        EXPECT_EQ(p.a.m, sc.rows);
        EXPECT_EQ(p.a.n, 11 * sc.n);
        EXPECT_EQ(p.a.rowval.size(), sc.stored);
        EXPECT_EQ(p.b.size(), sc.rows);
        ASSERT_EQ(p.cones.size(), sc.cones);
        EXPECT_EQ(p.cones[0], (Cone{ConeKind::Zero, sc.zero}));
        EXPECT_EQ(p.cones[1], (Cone{ConeKind::Nonnegative, sc.nonneg}));
        std::uint64_t soc4 = 0, soc3 = 0, sum = 0;
        for (const Cone& c : p.cones) {
            sum += c.dim;
            if (c.kind == ConeKind::SecondOrder) (c.dim == 4 ? soc4 : soc3)++;
        }
        EXPECT_EQ(soc4, sc.soc4);
        EXPECT_EQ(soc3, sc.soc3);
        EXPECT_EQ(sum, sc.rows);
        expect_csc_invariants(p.a);
        // Linear cost: empty P, q = -e_last.
        EXPECT_EQ(p.p.m, 11 * sc.n);
        EXPECT_EQ(p.p.colptr, std::vector<std::uint64_t>(11 * sc.n + 1, 0));
        EXPECT_TRUE(p.p.rowval.empty());
        ASSERT_EQ(p.q.size(), 11 * sc.n);
        EXPECT_EQ(p.q.back(), -1.0);
        EXPECT_EQ(std::count(p.q.begin(), p.q.end(), 0.0), static_cast<long>(11 * sc.n - 1));
    }
}

// The options add rows and cones to the literal program and change its
// objective; n = 3 with a 10-degree glide slope.
TEST(Assemble, OptionsChangeSizesAndObjective) {
    struct Case {
        const char* name;
        ProgramOptions options;
        std::uint64_t columns, rows, stored, zero, nonneg, soc4, soc3, objective_column;
        double objective;
    };
    const Case cases[] = {
        {"literal", {}, 33, 76, 130, 27, 4, 9, 3, 32, -1.0},
        {"pointing", {true}, 33, 79, 136, 27, 7, 9, 3, 32, -1.0},
        // Terminal x, y free (-2 rows); the last node's empty cone left out;
        // the distance cone (e, x_N - x_t, y_N - y_t); minimise e.
        {"nearest", {false, Landing::nearest}, 34, 73, 135, 25, 4, 8, 4, 33, 1.0},
        {"within", {true, Landing::within, 5.0}, 33, 76, 140, 25, 7, 8, 4, 32, -1.0},
        // Each step's six state rows dense: 13 pairs where 4 or 5 were.
        {"rotation", {false, Landing::target, 0.0, {0.0, 0.0, 7e-5}}, 33, 76, 232, 27, 4, 9, 3, 32, -1.0},
    };
    Problem reused;  // refilled case after case, over the last case's pattern
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config c = with_tof(50.0, 3, 10.0);
        c.environment.max_angle_deg = 30.0;
        const Problem p = assemble(c, 50.0, k.options);
        assemble_into(reused, c, 50.0, k.options);
        EXPECT_EQ(std::tie(reused.a.m, reused.a.n, reused.a.colptr, reused.a.rowval, reused.a.nzval, reused.b),
                  std::tie(p.a.m, p.a.n, p.a.colptr, p.a.rowval, p.a.nzval, p.b));
        EXPECT_EQ(std::tie(reused.q, reused.cones, reused.p.colptr, reused.p.rowval),
                  std::tie(p.q, p.cones, p.p.colptr, p.p.rowval));
        EXPECT_EQ(p.a.n, k.columns);
        EXPECT_EQ(p.a.m, k.rows);
        EXPECT_EQ(p.a.rowval.size(), k.stored);
        EXPECT_EQ(p.cones[0], (Cone{ConeKind::Zero, k.zero}));
        EXPECT_EQ(p.cones[1], (Cone{ConeKind::Nonnegative, k.nonneg}));
        std::uint64_t soc4 = 0, soc3 = 0;
        for (const Cone& cone : p.cones) {
            if (cone.kind == ConeKind::SecondOrder) (cone.dim == 4 ? soc4 : soc3)++;
        }
        EXPECT_EQ(soc4, k.soc4);
        EXPECT_EQ(soc3, k.soc3);
        expect_csc_invariants(p.a);
        ASSERT_EQ(p.q.size(), k.columns);
        EXPECT_EQ(p.q[k.objective_column], k.objective);
        EXPECT_EQ(std::count(p.q.begin(), p.q.end(), 0.0), static_cast<long>(k.columns - 1));
    }
}

TEST(Assemble, SingleNodeRowOrder) {
    // Columns: r 0..2, v 3..5, u 6..8, sigma 9, z 10.
    const std::vector<std::vector<std::uint64_t>> expected = {
        {0}, {1}, {2}, {3}, {4}, {5}, {10},  // initial state and log-mass
        {0}, {1}, {2}, {3}, {4}, {5},        // terminal state
        {2},                                  // ground
        {9, 10},                              // upper thrust bound
        {10},                                 // final-mass floor
        {}, {3}, {4}, {5},                    // velocity block
        {9}, {6}, {7}, {8},                   // thrust-slack block
        {9, 10}, {10}, {9, 10},               // lower thrust bound
    };
    const Problem p = assembled(with_tof(5.0, 1));
    const auto rows = rows_of(p.a);
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(columns_of(rows[i]), expected[i]) << "row " << i;
    const std::vector<Cone> cones = {{ConeKind::Zero, 13},
                                     {ConeKind::Nonnegative, 3},
                                     {ConeKind::SecondOrder, 4},
                                     {ConeKind::SecondOrder, 4},
                                     {ConeKind::SecondOrder, 3}};
    EXPECT_EQ(p.cones, cones);
    EXPECT_EQ(p.b[16], 1000.0);  // velocity head: max_velocity, no entry in A
}

TEST(Assemble, SingleNodeWithGlideSlopePutsItsBlockThird) {
    const Problem p = assembled(with_tof(5.0, 1, 30.0));
    const auto rows = rows_of(p.a);
    ASSERT_EQ(p.a.m, 30u);
    // Glide-slope block at rows 23..26: height head, then the full position.
    EXPECT_EQ(columns_of(rows[23]), (std::vector<std::uint64_t>{2}));
    EXPECT_EQ(columns_of(rows[24]), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(columns_of(rows[25]), (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(columns_of(rows[26]), (std::vector<std::uint64_t>{2}));
    EXPECT_EQ(rows[23][0].second, -1.0);
    EXPECT_DOUBLE_EQ(rows[24][0].second, -0.5);
    EXPECT_EQ(p.cones[4], (Cone{ConeKind::SecondOrder, 4}));
    EXPECT_EQ(p.cones[5], (Cone{ConeKind::SecondOrder, 3}));
}

TEST(Assemble, TwoNodeRowOrder) {
    const Problem p = assembled(with_tof(5.0, 2));
    const auto rows = rows_of(p.a);
    const std::vector<std::pair<std::uint64_t, std::vector<std::uint64_t>>> spot = {
        {10, {3, 9, 12, 15}},       // velocity step j=0
        {13, {18, 19, 20, 21}},     // log-mass step
        {14, {6}},  {19, {11}},     // terminal position / velocity
        {20, {2}},  {21, {8}},      // ground rows
        {22, {18, 20}}, {23, {19, 21}}, {24, {21}},  // upper rows, floor
        {25, {}},   {29, {}},       // velocity heads
        {33, {18}}, {37, {19}},     // thrust-slack heads
        {41, {18, 20}}, {42, {20}}, {43, {18, 20}}, {44, {19, 21}}, {46, {19, 21}},
    };
    for (const auto& [r, cols] : spot) EXPECT_EQ(columns_of(rows[r]), cols) << "row " << r;
    EXPECT_EQ(columns_of(rows[7]), (std::vector<std::uint64_t>{0, 3, 6, 12, 15}));  // position step j=0
    const std::vector<Cone> cones = {{ConeKind::Zero, 20},        {ConeKind::Nonnegative, 5},
                                     {ConeKind::SecondOrder, 4}, {ConeKind::SecondOrder, 4},
                                     {ConeKind::SecondOrder, 4}, {ConeKind::SecondOrder, 4},
                                     {ConeKind::SecondOrder, 3}, {ConeKind::SecondOrder, 3}};
    EXPECT_EQ(p.cones, cones);
}

TEST(Assemble, DefaultVehicleNumbers) {
    const Config c = with_tof(50.0);
    EXPECT_EQ(dt_of(c), 0.5);
    const ReferenceProfile prof = reference_profile(c, 0.5);
    EXPECT_EQ(prof.z0[0], std::log(2000.0));
    EXPECT_NEAR(prof.z0[99], std::log(1524.8), 1e-12);
    EXPECT_NEAR(prof.c2[0], 2000.0 / 19200.0, 1e-15);
    EXPECT_NEAR(prof.c1[0], 2000.0 / 4800.0, 1e-15);

    const Problem p = assembled(c);
    const auto rows = rows_of(p.a);
    struct Expect {
        std::uint64_t row;
        Entries entries;  // in column order
        double rhs;
    };
    const double cu0 = -0.25 / 3.0, cu1 = -0.25 / 6.0;
    const Expect table[] = {
        {6, {{1000, 1.0}}, std::log(2000.0)},
        {9, {{2, -1.0}, {5, -0.5}, {8, 1.0}, {602, cu0}, {605, cu1}}, -0.46375},  // first step, position z
        {12, {{5, -1.0}, {11, 1.0}, {602, -0.25}, {605, -0.25}}, -1.855},          // first step, velocity z
        {13, {{900, 1.25e-4}, {901, 1.25e-4}, {1000, -1.0}, {1001, 1.0}}, 0.0},  // first step, log-mass
        {706, {{2, -1.0}}, 0.0},                                                  // ground row of node 0
        {806, {{900, 2000.0 / 19200.0}, {1000, 1.0}}, 8.600902},                  // upper row of node 0
        {906, {{1099, -1.0}}, -5.703782},                                         // floor
        {907, {}, 1000.0},                                                        // first velocity head
        {1707, {{900, -0.8333333}, {1000, -2.0}}, -16.201805},                    // lower block of node 0
        {1708, {{1000, -2.0}}, -15.201805},
        {1709, {{900, -0.8333333}, {1000, -2.0}}, -18.201805},
    };
    for (const auto& e : table) {
        SCOPED_TRACE(testing::Message() << "row " << e.row);
        ASSERT_EQ(rows[e.row].size(), e.entries.size());
        for (std::size_t i = 0; i < e.entries.size(); ++i) {
            EXPECT_EQ(rows[e.row][i].first, e.entries[i].first);
            EXPECT_NEAR(rows[e.row][i].second, e.entries[i].second, 5e-7);
        }
        EXPECT_NEAR(p.b[e.row], e.rhs, 5e-7);
    }
}

TEST(Assemble, FirstVelocityHeadRowHasOnlyItsRightHandSide) {
    for (double glide : {0.0, 10.0}) {
        for (std::uint64_t n : {1, 2, 7}) {
            Config c = with_tof(20.0, n, glide);
            c.spacecraft.max_velocity = 123.5;
            const Problem p = assembled(c);
            const std::uint64_t head = (glide == 0.0 ? 9 : 8) * n + 7;
            EXPECT_EQ(p.b[head], 123.5);
            EXPECT_EQ(std::count(p.a.rowval.begin(), p.a.rowval.end(), head), 0);
        }
    }
}

TEST(Assemble, LastLogMassColumn) {
    for (std::uint64_t n : {1, 2, 5}) {
        SCOPED_TRACE(testing::Message() << "n=" << n);
        const Problem p = assembled(with_tof(10.0, n));
        const std::uint64_t c = 11 * n - 1, m = p.a.m;
        const std::uint64_t step = n == 1 ? 6 : 7 * n - 1;
        const std::vector<std::uint64_t> rows(p.a.rowval.begin() + p.a.colptr[c], p.a.rowval.begin() + p.a.colptr[c + 1]);
        const std::vector<double> vals(p.a.nzval.begin() + p.a.colptr[c], p.a.nzval.begin() + p.a.colptr[c + 1]);
        EXPECT_EQ(rows, (std::vector<std::uint64_t>{step, 9 * n + 5, 9 * n + 6, m - 3, m - 2, m - 1}));
        EXPECT_EQ(vals, (std::vector<double>{1.0, 1.0, -1.0, -2.0, -2.0, -2.0}));
    }
}

TEST(Assemble, GlideSlopeBranchesOnExactZeroSine) {
    struct Case {
        double deg;
        bool ground;
        double coeff;  // coefficient of row 1 of the glide blocks
    };
    const Case cases[] = {{0.0, true, 0},
                          {-0.0, true, 0},
                          {180.0, false, -std::sin(180.0 * 0.017453292519943295)},
                          {-30.0, false, 0.49999999999999994},
                          {std::numeric_limits<double>::quiet_NaN(), false, 0}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.deg);
        const Problem p = assembled(with_tof(20.0, 3, k.deg));
        EXPECT_EQ(p.a.m, k.ground ? 67u : 76u);
        if (k.ground) continue;
        const auto rows = rows_of(p.a);
        const double w = rows[27 + 4 + 24 + 1][0].second;  // node 0 glide block, row 1
        if (std::isnan(k.deg)) {
            EXPECT_TRUE(std::isnan(w));
        } else {
            EXPECT_EQ(w, k.coeff);
        }
    }
}

TEST(Assemble, ZeroThrottleFloorMakesTheLowerBoundVacuous) {
    for (auto zero_floor : {+[](Config& c) { c.spacecraft.min_thrust_pct = 0.0; },
                            +[](Config& c) { c.spacecraft.min_thrust_pct = -0.0; }}) {
        Config c = with_tof(40.0, 4);
        const Problem ref = assembled(c);
        zero_floor(c);
        const Problem p = assembled(c);
        EXPECT_EQ(p.a.m, ref.a.m);
        EXPECT_EQ(p.cones, ref.cones);
        const auto rows = rows_of(p.a), ref_rows = rows_of(ref.a);
        const std::uint64_t n = 4, first_lower = p.a.m - 3 * n;
        for (std::uint64_t i = 0; i < first_lower; ++i) {
            EXPECT_EQ(rows[i], ref_rows[i]) << "row " << i;
            EXPECT_EQ(p.b[i], ref.b[i]) << "row " << i;
        }
        for (std::uint64_t k = 0; k < n; ++k) {
            const std::uint64_t head = first_lower + 3 * k;
            EXPECT_EQ(rows[head], (Entries{{9 * n + k, -1.0}}));
            EXPECT_TRUE(rows[head + 1].empty());
            EXPECT_TRUE(rows[head + 2].empty());
            for (std::uint64_t i = head; i < head + 3; ++i) EXPECT_EQ(p.b[i], 0.0);
        }
        EXPECT_EQ(p.a.rowval.size(), ref.a.rowval.size() - 4 * n);
    }
    // A NaN floor is not zero: the expansion is built and carries the NaN.
    Config c = with_tof(40.0, 2);
    c.spacecraft.min_thrust_pct = std::numeric_limits<double>::quiet_NaN();
    const auto rows = rows_of(assembled(c).a);
    EXPECT_TRUE(std::isnan(rows[47 - 6][0].second));
}

TEST(Assemble, NonFiniteValuesPassThrough) {
    // 99 * dm reaches the wet mass: the last reference log-masses are not finite.
    const Problem p = assembled(with_tof(220.0));
    const ReferenceProfile prof = reference_profile(with_tof(220.0), 2.2);
    EXPECT_TRUE(std::isnan(prof.z0[99]));
    EXPECT_TRUE(std::isfinite(prof.z0[0]));
    EXPECT_EQ(p.a.m, 2007u);
    EXPECT_TRUE(std::isnan(p.b[806 + 99]));  // upper row of the last node
    EXPECT_TRUE(std::isnan(p.b.back()));

    // A zero horizon keeps the zero-valued dynamics coefficients stored.
    const Problem z = assembled(with_tof(0.0, 5));
    EXPECT_EQ(z.a.rowval.size(), 46u * 5 - 17);

    // No gravity: every step row has right-hand side zero.
    Config c = with_tof(10.0, 3);
    c.environment.gravity = {0.0, 0.0, 0.0};
    const Problem g = assembled(c);
    for (std::uint64_t i = 7; i < 7 + 7 * 2; ++i) EXPECT_EQ(g.b[i], 0.0);
}

// The entry refuses them before any assembly; assemble itself only guards
// against a zero count.
TEST(Assemble, RefusesNodeCountsWithoutAProgram) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "invalid node count: n must be at least 1 (got 0)"},
        {std::numeric_limits<std::uint64_t>::max(),
         "invalid node count: n = 18446744073709551615 is too large, the program's size overflows"},
        {std::uint64_t{1} << 40, "invalid node count: n = 1099511627776 is too large, the program needs about"},
    };
    for (const auto& [n, message] : cases) {
        Config c = with_tof(50.0, n);
        const auto t = solve(c);
        const auto reserved = reserve_memory(n);  // what the plans that may run at once ask
        for (const Error& error : {t.error(), reserved.error()}) {
            EXPECT_EQ(error.kind, ErrorKind::invalid_input);
            EXPECT_EQ(error.message.rfind(message, 0), 0u) << error.message;
        }
    }
    EXPECT_THROW(assemble(with_tof(50.0, 0), 50.0), InternalError);
}

constexpr std::uint64_t kLedgerNodes = 1000;
constexpr std::uint64_t kLedgerNeed = kLedgerNodes * kBytesPerNode;  // 31.25 MiB

MemoryLedger::Probe fixed_room(std::uint64_t bytes, std::atomic<int>* probes = nullptr) {
    return [=] {
        if (probes) ++*probes;
        return MemoryRoom{bytes, "the test's room has"};
    };
}

// Admitted while the need fits beside what others hold; refused at once when
// it cannot fit alone, or no program has that node count, however much is held.
TEST(MemoryLedger, AdmitsWhatFitsBesideTheReservationsHeld) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t room;
        int held;
        std::uint64_t n;
        std::optional<std::string> refusal;
        int kept = 0;  // of those held, kept workspaces: never waited for
    };
    const Case cases[] = {
        {kLedgerNeed, 0, kLedgerNodes, std::nullopt},
        {3 * kLedgerNeed, 2, kLedgerNodes, std::nullopt},
        {kLedgerNeed / 2, 0, kLedgerNodes,
         "invalid node count: n = 1000 is too large, the program needs about 31 MiB and the test's room has 15 MiB"},
        {kMax, 1, 0, check_node_count(0).error().message},
        {kMax, 1, kMax, check_node_count(kMax).error().message},
        {7 * kLedgerNeed / 2, 1, kLedgerNodes,
         "invalid node count: n = 1000 is too large beside the planners kept: the program needs about 31 MiB and the "
         "test's room has 109 MiB, less the 93 MiB reserved by the planners kept", 1},
    };
    for (const Case& c : cases) {
        MemoryLedger ledger(fixed_room(c.room));
        std::vector<MemoryReservation> held;
        for (int i = 0; i < c.held; ++i) {
            held.push_back(*ledger.reserve(kLedgerNodes, nullptr, i < c.kept ? Hold::kept : Hold::plan));
        }
        const std::uint64_t before = ledger.reserved();
        {
            const auto r = ledger.reserve(c.n);
            if (c.refusal) {
                ASSERT_FALSE(r.has_value());
                EXPECT_EQ(r.error().kind, ErrorKind::invalid_input);
                EXPECT_EQ(r.error().message, *c.refusal);
                EXPECT_EQ(ledger.reserved(), before);
            } else {
                ASSERT_TRUE(r.has_value()) << r.error().message;
                EXPECT_EQ(r->bytes(), c.n * kBytesPerNode);
                EXPECT_EQ(ledger.reserved(), before + r->bytes());
            }
        }
        EXPECT_EQ(ledger.reserved(), before);
        held.clear();
        EXPECT_EQ(ledger.reserved(), 0u);
    }
}

// One that does not fit beside another waits until that one is released, or
// until its own stop request ends it.
TEST(MemoryLedger, WaitsForRoomOrAStop) {
    for (const bool stopped : {false, true}) {
        std::atomic<int> probes = 0;
        MemoryLedger ledger(fixed_room(3 * kLedgerNeed / 2, &probes));
        auto first = ledger.reserve(kLedgerNodes);
        ASSERT_TRUE(first.has_value());
        std::atomic<bool> stop_now = false;
        const StopCheck stop = [&] { return stop_now.load(); };
        std::atomic<bool> returned = false;
        Result<MemoryReservation> second;
        std::thread waiter([&] {
            second = ledger.reserve(kLedgerNodes, &stop);
            returned = true;
        });
        // The first reservation's measure, then two of the waiter's: it
        // found no room, waited and found none again.
        while (probes < 3 && !returned) std::this_thread::yield();
        EXPECT_FALSE(returned);
        if (stopped) {
            stop_now = true;
        } else {
            *first = MemoryReservation();  // released by the assignment
        }
        waiter.join();
        if (stopped) {
            ASSERT_FALSE(second.has_value());
            EXPECT_EQ(second.error().kind, ErrorKind::interrupted);
            EXPECT_EQ(second.error().message, "interrupted");
        } else {
            ASSERT_TRUE(second.has_value()) << second.error().message;
        }
        EXPECT_EQ(ledger.reserved(), kLedgerNeed);
    }
}

// A program that would not fit under the process's limits is refused
// before anything is allocated, not left to fail inside the solver.
TEST(Assemble, RefusesNodeCountsBeyondTheMemoryLimits) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory fills the address space";
#endif
    const std::pair<int, const char*> limits[] = {
        {RLIMIT_AS, "the address-space limit (RLIMIT_AS) leaves"},
        {RLIMIT_DATA, "the data-size limit (RLIMIT_DATA) leaves"},
    };
    for (const auto& [resource, what] : limits) {
        rlimit saved{};
        ASSERT_EQ(getrlimit(resource, &saved), 0);
        std::ifstream statm("/proc/self/statm");
        std::uint64_t size = 0;
        statm >> size;
        // About 1 GiB of room above what is mapped now.
        rlimit low = saved;
        low.rlim_cur = size * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) + (std::uint64_t{1} << 30);
        ASSERT_EQ(setrlimit(resource, &low), 0);
        const auto big = check_node_count(100000);  // about 3 GiB
        const auto small = check_node_count(1000);
        const auto big_reserved = reserve_memory(100000);
        const bool small_reserved = reserve_memory(1000).has_value();
        ASSERT_EQ(setrlimit(resource, &saved), 0);
        ASSERT_FALSE(big.has_value());
        ASSERT_FALSE(big_reserved.has_value());
        for (const std::string& message : {big.error().message, big_reserved.error().message}) {
            EXPECT_EQ(
                message.rfind("invalid node count: n = 100000 is too large, the program needs about 3125 MiB and ", 0),
                0u)
                << message;
            EXPECT_NE(message.find(what), std::string::npos) << message;
        }
        EXPECT_TRUE(small.has_value());
        EXPECT_TRUE(small_reserved);
    }
}

TEST(EqualityRows, CountAndStoredPairs) {
    for (std::uint64_t n : {1, 2, 3, 50}) {
        const auto rows = equality_rows(with_tof(30.0, n), 30.0 / static_cast<double>(n));
        EXPECT_EQ(rows.size(), 7 * n + 6);
        const auto pairs = std::accumulate(rows.begin(), rows.end(), std::size_t{0},
                                           [](std::size_t s, const Row& r) { return s + r.coeffs.size(); });
        EXPECT_EQ(pairs, 31 * n - 18);
    }
    // The builder's own coefficient order on the first position step.
    const auto rows = equality_rows(with_tof(50.0), 0.5);
    EXPECT_EQ(columns_of(rows[9].coeffs), (std::vector<std::uint64_t>{8, 2, 5, 602, 605}));
    // A rotation of exactly zero, signed or not, is the still planet's program.
    ProgramOptions still;
    still.rotation = {0.0, -0.0, 0.0};
    const auto same = equality_rows(with_tof(50.0), 0.5, still);
    ASSERT_EQ(same.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(same[i].coeffs, rows[i].coeffs) << "row " << i;
        EXPECT_EQ(same[i].rhs, rows[i].rhs) << "row " << i;
    }
}

// A turning planet's rows keep one pattern at every horizon, so that a kept
// solver takes the new values; zero coefficients stay stored.
TEST(EqualityRows, RotationKeepsThePatternAcrossHorizons) {
    ProgramOptions options;
    options.rotation = {0.0, 0.0, 7.29e-5};  // x and z uncoupled: zeros in the blocks
    const Problem a = assemble(with_tof(40.0, 20), 40.0, options);
    const Problem b = assemble(with_tof(40.0, 20), 75.0, options);
    EXPECT_EQ(a.a.colptr, b.a.colptr);
    EXPECT_EQ(a.a.rowval, b.a.rowval);
    EXPECT_NE(a.a.nzval, b.a.nzval);
}

// The step of a turning planet against the closed form of a still one (a
// rotation far too slow to matter) and against a fine Runge-Kutta
// integration of r'' = u + g - 2 w x v - w x (w x r), u linear over the step.
TEST(StepMatrices, AgreeWithTheContinuousDynamics) {
    struct Case {
        const char* name;
        Vec3 rotation;
        double dt;
        double tolerance;  // relative to the state's size
    };
    const Case cases[] = {
        {"still", {1e-15, -1e-15, 1e-15}, 0.75, 1e-14},
        {"Mars", {2.53e-5, 0.0, 6.62e-5}, 0.75, 1e-12},
        {"fast", {0.02, -0.01, 0.03}, 2.0, 1e-12},
        {"many turns a step", {0.4, 0.3, -0.5}, 30.0, 1e-10},
    };
    const Vec3 r0{450.0, -330.0, 2400.0}, v0{-40.0, 10.0, -10.0}, u0{1.5, -2.0, 9.0}, u1{-0.5, 1.0, 7.0};
    const Vec3 g{0.1, 0.0, -3.71};
    const auto cross = [](const Vec3& a, const Vec3& b) {
        return Vec3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const double dt = k.dt;
        const StepMatrices m = step_matrices(k.rotation, g, dt);
        std::array<double, 6> x{r0[0], r0[1], r0[2], v0[0], v0[1], v0[2]}, stepped{};
        for (int i = 0; i < 6; ++i) {
            stepped[i] = m.gravity[i];
            for (int j = 0; j < 6; ++j) stepped[i] += m.phi[i][j] * x[j];
            for (int j = 0; j < 3; ++j) stepped[i] += m.gamma0[i][j] * u0[j] + m.gamma1[i][j] * u1[j];
        }
        std::array<double, 6> expected{};
        if (k.tolerance < 1e-13) {
            // Still: r + dt v + dt^2/3 u0 + dt^2/6 u1 + dt^2/2 g, v + dt/2 (u0 + u1) + dt g.
            for (int j = 0; j < 3; ++j) {
                expected[j] = r0[j] + dt * v0[j] + dt * dt / 3.0 * u0[j] + dt * dt / 6.0 * u1[j] + dt * dt / 2.0 * g[j];
                expected[3 + j] = v0[j] + dt / 2.0 * (u0[j] + u1[j]) + dt * g[j];
            }
        } else {
            const Vec3& w = k.rotation;
            const auto rate = [&](double t, const std::array<double, 6>& y) {
                const Vec3 r{y[0], y[1], y[2]}, v{y[3], y[4], y[5]};
                const Vec3 coriolis = cross(w, v), centrifugal = cross(w, cross(w, r));
                std::array<double, 6> d{};
                for (int j = 0; j < 3; ++j) {
                    d[j] = v[j];
                    d[3 + j] = u0[j] + (t / dt) * (u1[j] - u0[j]) + g[j] - 2.0 * coriolis[j] - centrifugal[j];
                }
                return d;
            };
            const int steps = 20000;
            const double h = dt / steps;
            std::array<double, 6> y = x;
            const auto plus = [](std::array<double, 6> a, const std::array<double, 6>& b, double f) {
                for (int i = 0; i < 6; ++i) a[i] += f * b[i];
                return a;
            };
            for (int s = 0; s < steps; ++s) {
                const double t = s * h;
                const auto k1 = rate(t, y), k2 = rate(t + h / 2, plus(y, k1, h / 2));
                const auto k3 = rate(t + h / 2, plus(y, k2, h / 2)), k4 = rate(t + h, plus(y, k3, h));
                for (int i = 0; i < 6; ++i) y[i] += h / 6.0 * (k1[i] + 2.0 * k2[i] + 2.0 * k3[i] + k4[i]);
            }
            expected = y;
        }
        for (int i = 0; i < 6; ++i) {
            EXPECT_NEAR(stepped[i], expected[i], k.tolerance * 2400.0) << "component " << i;
        }
    }
}

}  // namespace
}  // namespace vexal
