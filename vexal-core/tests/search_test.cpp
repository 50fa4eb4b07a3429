#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "vexal/planner.hpp"

namespace vexal {
namespace {

constexpr double kGolden = 0.618033988749895;

// A fixed-horizon solver driven by a score function of the time of flight;
// a NaN score stands for an infeasible candidate, -inf for one the stop
// request ended. It records every call.
struct ScriptedSolver {
    std::function<double(double)> score;
    std::vector<double> calls;
    bool sloped = false;  // gives the score's slope as the quick path does

    FixedSolver bind() {
        return [this](const Config&, double t) -> SolveResult {
            calls.push_back(t);
            const double s = score(t);
            if (std::isnan(s)) return fail(ErrorKind::solver_status, "solver status: PrimalInfeasible");
            if (s == -std::numeric_limits<double>::infinity()) {
                return fail(ErrorKind::interrupted, "solver status: CallbackTerminated");
            }
            Trajectory tr;
            tr.final_mass = s;
            tr.time_of_flight = t;
            if (sloped) {
                const double h = 1e-6 * std::max(t, 1.0);
                tr.mass_slope = (score(t + h) - score(t - h)) / (2.0 * h);
            }
            return tr;
        };
    }
};

Config bracketed(double lo, double hi) {
    Config c;
    c.solver.tof_min = lo;
    c.solver.tof_max = hi;
    return c;
}

double peak_at(double t, double centre) { return 1000.0 - (t - centre) * (t - centre); }

// Nearest landings: the least landing error wins over any fuel saving, and
// among landings on the target the most final mass wins; both modes agree.
// Within a landing tolerance of the least error, fuel decides.
TEST(Search, NearestLandingRanksErrorBeforeFuel) {
    struct Case {
        const char* name;
        std::function<double(double)> error;  // landing error (m) at a time of flight
        double expected_tof;
        double landing_tolerance = 0.0;
    };
    const auto ragged = [](double t) { return 300.0 + 2.0 * std::abs(std::sin(t / 3.0)) + 0.01 * std::abs(t - 70.0); };
    // The mass peaks at 40 s throughout.
    const Case cases[] = {
        {"least error at 55 s", [](double t) { return 300.0 + std::abs(t - 55.0) * 20.0; }, 55.0},
        {"on target from 45 s", [](double t) { return t < 45.0 ? (45.0 - t) * 50.0 : 0.0; }, 45.0},
        {"on target everywhere", [](double) { return 1e-9; }, 40.0},
        // 100 m over the least error at 50 s: the nearer horizons are no better.
        {"least error at 55 s, 100 m tolerance", [](double t) { return 300.0 + std::abs(t - 55.0) * 20.0; }, 50.0,
         100.0},
        {"least error at 55 s, 1 m tolerance", [](double t) { return 300.0 + std::abs(t - 55.0) * 20.0; }, 54.95, 1.0},
        // A tolerance never moves a landing on the target.
        {"on target from 45 s, 100 m tolerance", [](double t) { return t < 45.0 ? (45.0 - t) * 50.0 : 0.0; }, 45.0,
         100.0},
        // Ragged by 2 m, least at 3 pi k near 70 s: within 2.5 m every horizon
        // counts (the least near 40 s is 300.3 m).
        {"ragged, 2.5 m tolerance", ragged, 40.0, 2.5},
    };
    for (const Case& k : cases) {
        for (SearchMode mode : {SearchMode::golden, SearchMode::fast}) {
            SCOPED_TRACE(testing::Message() << k.name << (mode == SearchMode::fast ? ", fast" : ", golden"));
            const FixedSolver solver = [&](const Config&, double t) -> SolveResult {
                Trajectory tr;
                tr.final_mass = peak_at(t, 40.0);
                tr.landing_error = k.error(t);
                tr.time_of_flight = t;
                return tr;
            };
            const Config c = bracketed(20.0, 80.0);
            const auto plain = search(c, solver, SearchOptions{mode});
            const auto exact = search(c, solver, SearchOptions{mode, 2e-4, true});
            const auto nearest = search(c, solver, SearchOptions{mode, 2e-4, true, k.landing_tolerance});
            ASSERT_TRUE(plain && exact && nearest);
            EXPECT_NEAR(plain->time_of_flight, 40.0, 0.05);
            EXPECT_NEAR(nearest->time_of_flight, k.expected_tof, 0.05);
            // Never further than the tolerance beyond the exact answer, never more fuel.
            EXPECT_LE(nearest->landing_error, exact->landing_error + k.landing_tolerance);
            EXPECT_GE(nearest->final_mass, exact->final_mass);
        }
    }
}

// Fuel for a window 1.4 s wide between two grid points (or 1 s wide about
// one, missed by the golden refinement's first steps): the search finds it
// about the best horizon without the dry-mass floor, or proves that none
// lands when that program's best falls short of the dry mass.
TEST(Search, FindsAFuelWindowNarrowerThanTheGrid) {
    struct Case {
        const char* name;
        bool nearest;
        double peak;       // s: the loose final mass peaks there at 1000 kg
        double dry;        // kg
        double expected;   // time of flight found, NaN: infeasible
        std::size_t golden_calls;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {"to the target", false, 47.0, 999.5, 47.0, 13 + 36 + 1},
        {"nearest landing, least error at 47.4 s", true, 47.0, 999.5, 47.4, 0},
        {"about a grid point", false, 50.0, 999.75, 50.0, 36 + 36 + 1},
        {"too little fuel", false, 47.0, 1000.5, nan, 13 + 36},
        {"too little fuel, nearest", true, 47.0, 1000.5, nan, 13 + 36},
    };
    for (const Case& k : cases) {
        for (SearchMode mode : {SearchMode::golden, SearchMode::fast}) {
            SCOPED_TRACE(testing::Message() << k.name << (mode == SearchMode::fast ? ", fast" : ", golden"));
            Config c = bracketed(0.0, 120.0);
            c.spacecraft.fuel = c.spacecraft.wet_mass - k.dry;
            std::size_t calls = 0;
            const auto mass = [&k](double t) { return peak_at(t, k.peak); };
            const FixedSolver with_floor = [&](const Config&, double t) -> SolveResult {
                ++calls;
                if (mass(t) < k.dry) return fail(ErrorKind::infeasible, "solver status: PrimalInfeasible");
                Trajectory tr;
                tr.final_mass = mass(t);
                tr.landing_error = 300.0 + 20.0 * std::abs(t - 47.4);
                tr.time_of_flight = t;
                return tr;
            };
            const FixedSolver loose = [&](const Config&, double t) -> SolveResult {
                ++calls;
                Trajectory tr;
                tr.final_mass = mass(t);
                tr.time_of_flight = t;
                return tr;
            };
            const auto r = search(c, with_floor, SearchOptions{mode, 1e-4, k.nearest}, {}, loose);
            if (std::isnan(k.expected)) {
                ASSERT_FALSE(r.has_value());
                EXPECT_EQ(r.error().message, "infeasible: no feasible time-of-flight in [0.000, 120.000]");
            } else {
                ASSERT_TRUE(r.has_value());
                EXPECT_NEAR(r->time_of_flight, k.expected, 1e-4 * k.expected);
            }
            if (mode == SearchMode::golden && k.golden_calls) {
                EXPECT_EQ(calls, k.golden_calls);
            }
        }
    }
}

TEST(AutoBracket, DefaultsAndFloors) {
    struct Case {
        std::function<void(Spacecraft&)> change;
        double lower, upper;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        // The burn time at the throttle floor (708.3 s) is capped at the time
        // the program's reference mass would burn the whole wet mass.
        {[](Spacecraft&) {}, 1.0, 2000.0 / 9.6},
        {[](Spacecraft& s) { s.initial_velocity = {128.0, 0.0, 0.0}; }, 2.0, 2000.0 / 9.6},
        {[](Spacecraft& s) { s.min_thrust_pct = 0.0; }, 1.0, 2000.0 / 9.6},
        // Below the cap the burn time at the floor stands.
        {[](Spacecraft& s) { s.min_thrust_pct = 0.7; }, 1.0, 1700.0 / 8.4},
        // The cap never falls below the lower end.
        {[](Spacecraft& s) { s.real_max_thrust = 1e9; s.initial_velocity = {1e9, 0.0, 0.0}; },
         1e9 / (0.8e9 / 300.0), 1e9 / (0.8e9 / 300.0)},
        // No fuel flow at all: the flow floor gives an enormous burn time.
        {[](Spacecraft& s) { s.fuel_consumption = 0.0; }, 1.0, 1700.0 / 1e-9},
        // A burn time that is not a number falls back to four times the lower bound.
        {[&](Spacecraft& s) { s.fuel = nan; }, 1.0, 4.0},
        // A dry mass below the floor is raised to 1 kg; thrust that cannot
        // accelerate falls to the acceleration floor.
        {[](Spacecraft& s) { s.max_thrust_pct = 0.0; s.initial_velocity = {0.5, 0.0, 0.0}; }, 500.0, 2000.0},
    };
    for (const auto& k : cases) {
        Spacecraft s;
        k.change(s);
        const auto [lo, hi] = auto_bracket(s);
        EXPECT_DOUBLE_EQ(lo, k.lower);
        EXPECT_DOUBLE_EQ(hi, k.upper);
    }
}

TEST(Search, CallCounts) {
    // The solver without the dry-mass floor is never asked while a grid point lands.
    ScriptedSolver feasible{[](double t) { return peak_at(t, 300.0); }, {}};
    ScriptedSolver loose{[](double t) { return peak_at(t, 300.0); }, {}};
    EXPECT_TRUE(search(Config{}, feasible.bind(), {}, {}, loose.bind()).has_value());
    EXPECT_EQ(feasible.calls.size(), 36u);
    EXPECT_TRUE(loose.calls.empty());

    ScriptedSolver none{[](double) { return std::nan(""); }, {}};
    const auto r = search(Config{}, none.bind());
    EXPECT_EQ(none.calls.size(), 13u);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "infeasible: no feasible time-of-flight in [1.000, 208.333]");
    EXPECT_EQ(r.error().kind, ErrorKind::infeasible);
}

// The stages of a nearest landing: a failing later stage falls back on the
// landing already found, unless the stop request ended it. Every stage keeps
// the plan's pointing limit and rotation.
TEST(NearestLanding, FallsBackUnlessInterrupted) {
    struct Case {
        const char* name;
        double least_error;       // m, found by the first stage
        Landing failing;          // the stage that fails
        ErrorKind kind;           // and how
        bool planned;             // a trajectory comes back
        Landing answer;           // from this stage
    };
    const Case cases[] = {
        {"off target, fuel stage fails", 300.0, Landing::within, ErrorKind::solver_status, true, Landing::nearest},
        {"off target, fuel stage stopped", 300.0, Landing::within, ErrorKind::interrupted, false, Landing::nearest},
        {"on target, exact stage fails", 0.0, Landing::target, ErrorKind::solver_status, true, Landing::within},
        {"on target, exact stage stopped", 0.0, Landing::target, ErrorKind::interrupted, false, Landing::nearest},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ProgramOptions plan{true};
        plan.rotation = {2.53e-5, 0.0, 6.62e-5};
        const auto stage = [&](const ProgramOptions& program) -> SolveResult {
            EXPECT_TRUE(program.pointing);
            EXPECT_EQ(program.rotation, plan.rotation);
            if (program.landing == k.failing) return fail(k.kind, "stage failed");
            Trajectory t;
            t.landing_error = program.landing == Landing::nearest ? k.least_error : 0.0;
            t.objective = static_cast<double>(program.landing);  // which stage answered
            return t;
        };
        const auto r = nearest_landing(Config{}, plan, stage);
        ASSERT_EQ(r.has_value(), k.planned);
        if (k.planned) {
            EXPECT_EQ(r->objective, static_cast<double>(k.answer));
        } else {
            EXPECT_EQ(r.error().kind, ErrorKind::interrupted);
        }
    }
}

// Any other failing candidate only counts as infeasible; one the stop request
// ended ends the search with its error, whatever phase it is in.
TEST(Search, AnInterruptedCandidateEndsTheSearch) {
    // In the grid, and in the refinement (the fast search needs 7 calls here).
    const std::pair<SearchMode, std::size_t> cases[] = {
        {SearchMode::golden, 1}, {SearchMode::golden, 13}, {SearchMode::golden, 20}, {SearchMode::golden, 36},
        {SearchMode::fast, 1},   {SearchMode::fast, 4},    {SearchMode::fast, 6},
    };
    for (const auto& [mode, stop_at] : cases) {
        SCOPED_TRACE(testing::Message() << (mode == SearchMode::fast ? "fast, call " : "golden, call ") << stop_at);
        std::size_t calls = 0;
        ScriptedSolver s{[&](double t) {
                             return ++calls == stop_at ? -std::numeric_limits<double>::infinity()
                                                       : peak_at(t, 50.0);
                         },
                         {}};
        const auto r = search(bracketed(0.0, 120.0), s.bind(), SearchOptions{mode});
        EXPECT_EQ(s.calls.size(), stop_at);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind, ErrorKind::interrupted);
    }
}

TEST(Search, GridAndRefinementIntervals) {
    struct Case {
        const char* name;
        std::function<double(double)> score;
        double a, b;  // expected refinement interval on the bracket [0, 120], h = 10
    };
    const Case cases[] = {
        {"interior best", [](double t) { return peak_at(t, 52.0); }, 40.0, 60.0},
        {"best at index 0", [](double t) { return -t; }, 0.0, 10.0},
        {"best at index 12", [](double t) { return t; }, 110.0, 120.0},
        // Grid points 30 and 70 tie for best: the earlier one wins.
        {"grid tie", [](double t) { return t == 30.0 || t == 70.0 ? 5.0 : (t == 50.0 ? 1.0 : 0.0); }, 20.0, 40.0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedSolver s{k.score, {}};
        (void)search(bracketed(0.0, 120.0), s.bind());
        ASSERT_EQ(s.calls.size(), 36u);
        for (int i = 0; i <= 12; ++i) EXPECT_EQ(s.calls[i], 10.0 * i);
        EXPECT_EQ(s.calls[13], k.b - kGolden * (k.b - k.a));  // c, scored first
        EXPECT_EQ(s.calls[14], k.a + kGolden * (k.b - k.a));  // then d
    }
}

TEST(Search, RefinementFindsTheMaximum) {
    ScriptedSolver s{[](double t) { return peak_at(t, 52.0); }, {}};
    const auto r = search(bracketed(0.0, 120.0), s.bind());
    ASSERT_TRUE(r.has_value());
    EXPECT_NEAR(r->time_of_flight, 52.0, 0.01);
    EXPECT_EQ(r->time_of_flight, s.calls.back());
}

TEST(Search, TiesShrinkTowardsTheLowerEndAndChooseC) {
    // Flat score: every comparison ties, so each step keeps [a, d].
    ScriptedSolver s{[](double) { return 7.0; }, {}};
    (void)search(bracketed(0.0, 120.0), s.bind());
    double a = 0.0, b = 10.0, c = b - kGolden * (b - a), d = a + kGolden * (b - a);
    for (int i = 0; i < 20; ++i) {
        b = d;
        d = c;
        c = b - kGolden * (b - a);
        EXPECT_EQ(s.calls[15 + i], c);
    }
    EXPECT_EQ(s.calls.back(), c);
}

TEST(Search, AllRefinementCandidatesFailing) {
    // Only the grid points themselves are feasible.
    ScriptedSolver s{[](double t) { return std::fmod(t, 10.0) == 0.0 ? t : std::nan(""); }, {}};
    const auto r = search(bracketed(0.0, 120.0), s.bind());
    ASSERT_EQ(s.calls.size(), 36u);
    // Every score is -inf, so the interval shrinks towards a = 110 and the
    // last c is solved once more; its failure is the result.
    double a = 110.0, b = 120.0, c = b - kGolden * (b - a), d = a + kGolden * (b - a);
    for (int i = 0; i < 20; ++i) {
        b = d;
        d = c;
        c = b - kGolden * (b - a);
    }
    EXPECT_EQ(s.calls.back(), c);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "solver status: PrimalInfeasible");
}

TEST(Search, BracketRules) {
    struct Case {
        const char* name;
        std::optional<double> lo, hi;
        double first, last;  // first and last grid point
        const char* message;
    };
    const Case cases[] = {
        {"reversed", 120.0, 0.0, 120.0, 0.0, "infeasible: no feasible time-of-flight in [120.000, 0.000]"},
        {"equal", 42.0, 42.0, 42.0, 42.0, "infeasible: no feasible time-of-flight in [42.000, 42.000]"},
        {"lone min", 5.0, std::nullopt, 1.0, 2000.0 / 9.6, "infeasible: no feasible time-of-flight in [1.000, 208.333]"},
        {"lone max", std::nullopt, 5.0, 1.0, 2000.0 / 9.6, "infeasible: no feasible time-of-flight in [1.000, 208.333]"},
        // A given bracket is used as it is, however long.
        {"given, past the cap", 1.0, 5000.0, 1.0, 5000.0, "infeasible: no feasible time-of-flight in [1.000, 5000.000]"},
        // Three decimals, ties to even on the exact binary value, never exponents.
        {"rounding", 0.0625, 0.1875, 0.0625, 0.1875, "infeasible: no feasible time-of-flight in [0.062, 0.188]"},
        {"large", 1e20, -2.5e-4, std::nan(""), std::nan(""),
         "infeasible: no feasible time-of-flight in [100000000000000000000.000, -0.000]"},
        {"not a number", std::nan(""), 1.0, std::nan(""), std::nan(""), "infeasible: no feasible time-of-flight in [NaN, 1.000]"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        Config c;
        c.solver.tof_min = k.lo;
        c.solver.tof_max = k.hi;
        ScriptedSolver s{[](double) { return std::nan(""); }, {}};
        const auto r = search(c, s.bind());
        ASSERT_EQ(s.calls.size(), 13u);
        if (!std::isnan(k.first)) {
            EXPECT_DOUBLE_EQ(s.calls.front(), k.first);
            EXPECT_DOUBLE_EQ(s.calls.back(), k.last);
        }
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message, k.message);
    }
}

TEST(Search, EqualBoundsSolveThatTimeOnly) {
    ScriptedSolver s{[](double t) { return t; }, {}};
    const auto r = search(bracketed(42.0, 42.0), s.bind());
    ASSERT_TRUE(r.has_value());
    for (double t : s.calls) EXPECT_EQ(t, 42.0);
}

TEST(FastSearch, FindsTheMaximumWithFewSolves) {
    // Calls allowed without slopes (Brent on the merit) and with them (the
    // secant on the slopes).
    struct Case {
        const char* name;
        std::function<double(double)> score;
        double peak;
        std::size_t max_calls;
        std::size_t max_sloped_calls;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {"interior parabola", [](double t) { return peak_at(t, 52.3); }, 52.3, 9, 5},
        {"skewed peak", [](double t) { return 1000.0 - std::pow(std::abs(t - 71.7), 1.5) - 0.2 * t; },
         71.7 - (0.2 / 1.5) * (0.2 / 1.5), 20, 12},
        // A corner: the slope never vanishes, the mass bound ends the search.
        {"kink", [](double t) { return 1000.0 - 3.0 * std::abs(t - 33.3); }, 33.3, 30, 16},
        // Curved pieces that meet at a corner, as a coarse grid of nodes gives.
        {"lopsided corner", [](double t) { return t < 47.1 ? peak_at(t, 47.6) : peak_at(t, 46.9) - 0.21; }, 47.1, 30, 13},
        {"best at the lower end", [](double t) { return -t; }, 0.0, 20, 26},
        {"best at the upper end", [](double t) { return t; }, 120.0, 20, 26},
        // Only below 20 s is feasible: the coarse points 0 and 30 bound it.
        {"infeasible above", [&](double t) { return t < 20.0 ? peak_at(t, 12.0) : nan; }, 12.0, 20, 8},
        // Feasible only between 40 and 50: no coarse point lands there, the
        // fine grid does.
        {"narrow window", [&](double t) { return t >= 40.0 && t <= 50.0 ? peak_at(t, 47.0) : nan; }, 47.0, 30, 16},
    };
    for (const auto& k : cases) {
      for (bool sloped : {false, true}) {
        SCOPED_TRACE(std::string(k.name) + (sloped ? ", with slopes" : ""));
        ScriptedSolver s{k.score, {}, sloped};
        const auto r = search(bracketed(0.0, 120.0), s.bind(), {SearchMode::fast, 1e-4});
        ASSERT_TRUE(r.has_value());
        EXPECT_NEAR(r->time_of_flight, k.peak, 1e-3 * std::max(k.peak, 1.0));  // the goal set for the fast search
        EXPECT_GE(r->final_mass, k.score(k.peak) - 1e-6 * std::max(std::abs(k.score(k.peak)), 1.0));
        EXPECT_LE(s.calls.size(), sloped ? k.max_sloped_calls : k.max_calls);
        for (double t : s.calls) {
            EXPECT_GE(t, 0.0);
            EXPECT_LE(t, 120.0);
        }
      }
    }

    ScriptedSolver none{[](double) { return std::nan(""); }, {}};
    const auto r = search(Config{}, none.bind(), {SearchMode::fast, 1e-4});
    EXPECT_EQ(none.calls.size(), 14u);  // the whole grid, and the point solved beside its first
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "infeasible: no feasible time-of-flight in [1.000, 208.333]");
}

TEST(CoreSolve, RefusesNodeCountZeroBeforeSolving) {
    Config c;
    c.solver.n = 0;
    for (std::optional<double> tof : {std::optional<double>{}, std::optional<double>{50.0}}) {
        c.solver.time_of_flight = tof;
        const auto r = solve(c);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message, "invalid node count: n must be at least 1 (got 0)");
    }
}

}  // namespace
}  // namespace vexal
