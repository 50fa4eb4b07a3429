#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "vexal/assemble.hpp"
#include "vexal/conic.hpp"
#include "vexal/planner.hpp"
#include "vexal/fixed_horizon.hpp"
#include "vexal/vexal.hpp"

namespace vexal {
namespace {

Config vehicle(std::uint64_t n = 100) {
    Config c;
    c.solver.n = n;
    return c;
}

// The decision vector rebuilt from a trajectory, in the solver's layout.
std::vector<double> decision_vector(const Trajectory& t) {
    const std::uint64_t n = t.z_values.size();
    const Layout at{n};
    std::vector<double> x(at.columns());
    for (std::uint64_t k = 0; k < n; ++k) {
        for (std::uint64_t j = 0; j < 3; ++j) {
            x[at.position(k, j)] = t.positions[k][j];
            x[at.velocity(k, j)] = t.velocities[k][j];
            x[at.thrust(k, j)] = t.u_values[k][j];
        }
        x[at.slack(k)] = t.s_values[k];
        x[at.log_mass(k)] = t.z_values[k];
    }
    return x;
}

// Checks what every successful solve must satisfy.
void expect_sound(const Config& config, double tof, const Trajectory& t) {
    const std::uint64_t n = config.solver.n;
    const Spacecraft& sc = config.spacecraft;
    EXPECT_TRUE(t.status == "Solved" || t.status == "AlmostSolved") << t.status;
    ASSERT_EQ(t.positions.size(), n);
    ASSERT_EQ(t.time_points.size(), n);
    EXPECT_EQ(t.time_of_flight, tof);
    for (std::uint64_t k = 0; k < n; ++k) EXPECT_EQ(t.time_points[k], static_cast<double>(k) * (tof / n));
    EXPECT_EQ(t.objective, t.z_values.back());
    EXPECT_EQ(t.final_mass, std::exp(t.objective));
    EXPECT_GT(t.final_mass, sc.wet_mass - sc.fuel - 1e-6);
    EXPECT_LT(t.final_mass, sc.wet_mass + 1e-6);

    // Every equality row (boundary conditions, dynamics) holds, relative to
    // the size of its terms.
    Config fixed = config;
    fixed.solver.time_of_flight = tof;
    const auto x = decision_vector(t);
    for (const Row& r : equality_rows(fixed, tof / static_cast<double>(n))) {
        double sum = 0.0, scale = std::abs(r.rhs);
        for (const auto& [c, w] : r.coeffs) {
            sum += w * x[c];
            scale += std::abs(w * x[c]);
        }
        EXPECT_LE(std::abs(sum - r.rhs), 1e-6 * std::max(scale, 1.0));
    }

    // The relaxation is tight: |u_k| = sigma_k wherever the engine burns
    // (a single node has no dynamics, so its slack is free).
    for (std::uint64_t k = 0; k < n; ++k) {
        const auto& u = t.u_values[k];
        const double norm = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
        if (n > 1 && t.s_values[k] > 1e-3) {
            EXPECT_NEAR(norm, t.s_values[k], 1e-4 * t.s_values[k]) << "node " << k;
        }
        EXPECT_NEAR(t.normalized_thrusts[k] * sc.real_max_thrust, t.thrusts[k], 1e-9 * sc.real_max_thrust);
    }
}

TEST(RealSolve, DefaultVehicle) {
    for (double tof : {50.0, 60.0}) {
        SCOPED_TRACE(tof);
        const Config c = vehicle();
        const auto t = solve_fixed(c, tof);
        ASSERT_TRUE(t.has_value()) << t.error().message;
        EXPECT_EQ(t->status, "Solved");
        expect_sound(c, tof, *t);
        EXPECT_FALSE(c.solver.time_of_flight.has_value());
    }
}

TEST(RealSolve, Variants) {
    struct Case {
        const char* name;
        std::uint64_t n;
        double tof;
        std::function<void(Config&)> change;
    };
    const Case cases[] = {
        {"glide slope 10 degrees", 50, 50.0, [](Config& c) { c.environment.glide_slope_angle_deg = 10.0; }},
        {"one node at its target", 1, 10.0,
         [](Config& c) {
             c.spacecraft.target_position = c.spacecraft.initial_position;
             c.spacecraft.target_velocity = c.spacecraft.initial_velocity;
         }},
        {"no throttle floor", 50, 50.0, [](Config& c) { c.spacecraft.min_thrust_pct = 0.0; }},
        {"pointing limit is not a constraint", 50, 50.0, [](Config& c) { c.environment.max_angle_deg = 1.0; }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        Config c = vehicle(k.n);
        k.change(c);
        const auto t = solve_fixed(c, k.tof);
        ASSERT_TRUE(t.has_value()) << t.error().message;
        expect_sound(c, k.tof, *t);
    }
}

TEST(RealSolve, RemovingTheThrottleFloorNeverCostsFuel) {
    Config c = vehicle(50);
    const auto with_floor = solve_fixed(c, 50.0);
    c.spacecraft.min_thrust_pct = 0.0;
    const auto without = solve_fixed(c, 50.0);
    ASSERT_TRUE(with_floor && without);
    EXPECT_GE(without->final_mass, with_floor->final_mass - 1e-6 * with_floor->final_mass);
}

TEST(RealSolve, MaxAngleChangesNothing) {
    Config c = vehicle(30);
    const auto a = solve_fixed(c, 45.0);
    c.environment.max_angle_deg = 3.0;
    const auto b = solve_fixed(c, 45.0);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->z_values, b->z_values);
    EXPECT_EQ(a->positions, b->positions);
}

TEST(RealSolve, InfeasibleHorizonIsAStatusErrorOfItsOwnKind) {
    const auto t = solve_fixed(vehicle(), 1.0);
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error().message, "solver status: PrimalInfeasible");
    EXPECT_EQ(t.error().kind, ErrorKind::infeasible);
}

// A solver's verdict carried unwritten through a search, then written.
TEST(SolveErrors, WrittenAsTheyLeave) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        Error error;
        const char* message;
    };
    const Case cases[] = {
        {{ErrorKind::infeasible, {}, "PrimalInfeasible"}, "solver status: PrimalInfeasible"},
        {{ErrorKind::solver_status, {}, "Solved", true, 2.5e-7},
         "solver status: Solved, but its point violates the program by 2.5e-07 (relative)"},
        {{ErrorKind::solver_status, {}, "AlmostSolved", true, nan},
         "solver status: AlmostSolved, but its point violates the program by nan (relative)"},
        {{ErrorKind::interrupted, "interrupted"}, "interrupted"},
    };
    for (const Case& k : cases) {
        const Error e = written(k.error);
        EXPECT_EQ(e.message, k.message);
        EXPECT_EQ(e.kind, k.error.kind);
        EXPECT_EQ(e.status, nullptr);
    }
}

TEST(RealSolve, DegenerateDataComeBackAsAValue) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        double tof;
        std::function<void(Config&)> change;
        const char* error;
    };
    const Case cases[] = {
        {"burns the whole wet mass", 250.0, [](Config&) {}, "solver status: NumericalError"},
        {"NaN horizon", nan, [](Config&) {}, "solver status: NumericalError"},
        {"infinite horizon", inf, [](Config&) {}, "solver status: NumericalError"},
        {"zero horizon", 0.0, [](Config&) {}, "solver status: PrimalInfeasible"},
        {"negative horizon", -10.0, [](Config&) {}, "solver status: PrimalInfeasible"},
        {"NaN wet mass", 50.0, [&](Config& c) { c.spacecraft.wet_mass = nan; }, "solver status: NumericalError"},
        {"negative masses", 50.0, [](Config& c) { c.spacecraft.wet_mass = -5.0; c.spacecraft.fuel = -1.0; },
         "solver status: NumericalError"},
        {"infinite gravity", 50.0, [&](Config& c) { c.environment.gravity = {0.0, 0.0, -inf}; },
         "solver status: NumericalError"},
        {"NaN glide slope", 50.0, [&](Config& c) { c.environment.glide_slope_angle_deg = nan; },
         "solver status: NumericalError"},
        {"no thrust at all", 50.0, [](Config& c) { c.spacecraft.real_max_thrust = 0.0; },
         "solver status: NumericalError"},
        {"negative speed limit", 50.0, [](Config& c) { c.spacecraft.max_velocity = -1.0; },
         "solver status: PrimalInfeasible"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        Config c = vehicle(20);
        k.change(c);
        // Plainly, and on the quick path with either solver: the same verdict.
        for (const auto solver : {std::optional<SolverChoice>{}, std::optional{SolverChoice::clarabel},
                                  std::optional{SolverChoice::structured}}) {
            SCOPED_TRACE(solver ? (*solver == SolverChoice::structured ? "structured" : "clarabel") : "plain");
            QuickSolves quick;
            if (solver) quick.solver = *solver;
            const auto t = solve_fixed(c, k.tof, nullptr, {}, solver ? &quick : nullptr);
            ASSERT_FALSE(t.has_value()) << "status " << t->status << ", final mass " << t->final_mass;
            EXPECT_EQ(t.error().message, k.error);
            const bool proven = std::string_view(k.error).ends_with("PrimalInfeasible");
            EXPECT_EQ(t.error().kind, proven ? ErrorKind::infeasible : ErrorKind::solver_status);
        }
    }
}

// A speed limit so large that it never binds once left the solver a cone
// slack of ~1e14 beside ones of order 1: it answered AlmostSolved with points
// that broke the program (more mass at touchdown than at ignition), or
// stalled. It must plan exactly what a speed limit of 1000 m/s plans.
TEST(RealSolve, HugeSpeedLimitPlansLikeAnyLimitThatNeverBinds) {
    for (const bool searched : {false, true}) {
        Config c = vehicle(50);
        if (!searched) c.solver.time_of_flight = 45.0;
        const auto reference = solve(c);
        ASSERT_TRUE(reference.has_value()) << reference.error().message;
        for (const double vmax : {1e11, 1e14, 1e16}) {
            SCOPED_TRACE(testing::Message() << "max_velocity " << vmax << (searched ? ", searched" : ", 45 s"));
            c.spacecraft.max_velocity = vmax;
            const auto t = solve(c);
            ASSERT_TRUE(t.has_value()) << t.error().message;
            expect_sound(c, t->time_of_flight, *t);
            EXPECT_NEAR(t->final_mass, reference->final_mass, 1e-6 * reference->final_mass);
            EXPECT_NEAR(t->time_of_flight, reference->time_of_flight, 1e-3);
        }
    }
}

// fastest_landing bounds the horizons that land from below: just under it
// no fixed-horizon solve lands, and it is no trivial bound either, for a
// start diving fast, a start far off the target, and a landing anywhere.
TEST(RealSearch, FastestLandingIsALowerBound) {
    struct Case {
        const char* name;
        Vec3 position, velocity;
        bool horizontal;
        double least;  // s: the bound is at least this
    };
    const Case cases[] = {
        {"the default start", {450.0, -330.0, 2400.0}, {-40.0, 10.0, -10.0}, true, 10.0},
        {"diving at 150 m/s", {0.0, 0.0, 2400.0}, {0.0, 0.0, -150.0}, true, 10.0},
        {"3 km off, drifting away", {3000.0, 0.0, 1500.0}, {60.0, 0.0, -20.0}, true, 14.0},
        {"diving, landing anywhere", {3000.0, 0.0, 2400.0}, {60.0, 0.0, -150.0}, false, 10.0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config c = vehicle(30);
        c.spacecraft.initial_position = k.position;
        c.spacecraft.initial_velocity = k.velocity;
        const double bound = fastest_landing(c, k.horizontal);
        EXPECT_GE(bound, k.least);
        ProgramOptions options;
        if (!k.horizontal) options.landing = Landing::anywhere;
        EXPECT_FALSE(solve_fixed(c, 0.999 * bound, nullptr, options).has_value());
    }
}

// The automatic bracket must hold the optimum. A deep-throttling engine
// once stretched it to thousands of seconds and the grid jumped over every
// feasible horizon; a lander throttled to 30-80 % has its optimum past the
// time its fuel lasts at full thrust.
TEST(RealSearch, AutomaticBracketHoldsTheOptimum) {
    struct Case {
        const char* name;
        std::function<void(Spacecraft&, Environment&)> change;
        double lo, hi;  // a hand-picked bracket around the optimum
    };
    const auto floor = [](double pct) {
        return [pct](Spacecraft& s, Environment&) { s.min_thrust_pct = pct; };
    };
    const Case cases[] = {
        {"no throttle floor", floor(0.0), 20.0, 80.0},
        {"floor 1 %", floor(0.01), 20.0, 80.0},
        {"floor 5 %", floor(0.05), 20.0, 80.0},
        {"floor 10 %", floor(0.10), 20.0, 80.0},
        {"Mars lander, 30-80 %",
         [](Spacecraft& s, Environment& e) {
             s = Spacecraft{1905.0, 400.0, 16572.72, 0.3, 0.8, 138.89, {2000.0, 0.0, 1500.0}, {80.0, 30.0, -75.0},
                            {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, 5.0863e-4};
             e.gravity = {0.0, 0.0, -3.7114};
             e.glide_slope_angle_deg = 4.0;
         },
         40.0, 100.0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        Config c = vehicle(30);
        k.change(c.spacecraft, c.environment);
        const auto automatic = solve(c);
        ASSERT_TRUE(automatic.has_value()) << automatic.error().message;
        c.solver.tof_min = k.lo;
        c.solver.tof_max = k.hi;
        const auto given = solve(c);
        ASSERT_TRUE(given.has_value()) << given.error().message;
        EXPECT_NEAR(automatic->final_mass, given->final_mass, 1e-6 * given->final_mass);
    }
    // A given bracket is not capped: its grid reaches past the cap.
    Config c = vehicle(30);
    c.solver.tof_min = 20.0;
    c.solver.tof_max = 400.0;
    int calls = 0;
    double longest = 0.0;
    (void)search(c, [&](const Config& cfg, double t) {
        ++calls;
        longest = std::max(longest, t);
        return solve_fixed(cfg, t);
    });
    EXPECT_EQ(calls, 36);
    EXPECT_EQ(longest, 400.0);
}

TEST(RealSearch, BeatsEveryGridPoint) {
    const Config c = vehicle(30);
    int calls = 0;
    const auto best = search(c, [&](const Config& cfg, double t) {
        ++calls;
        return solve_fixed(cfg, t);
    });
    ASSERT_TRUE(best.has_value()) << best.error().message;
    EXPECT_EQ(calls, 36);
    EXPECT_FALSE(c.solver.time_of_flight.has_value());
    expect_sound(c, best->time_of_flight, *best);
    const auto [lower, upper] = auto_bracket(c.spacecraft);
    const double h = (upper - lower) / 12;
    for (int i = 0; i <= 12; ++i) {
        const auto t = solve_fixed(c, lower + i * h);
        if (t) {
            EXPECT_GE(best->final_mass, t->final_mass) << "grid point " << i;
        }
    }
}

TEST(RealSearch, FixedTimeOfFlightIgnoresTheBracket) {
    Config c = vehicle(20);
    c.solver.time_of_flight = 40.0;
    c.solver.tof_min = 1000.0;
    c.solver.tof_max = 2000.0;
    const auto a = solve(c);
    const auto b = solve_fixed(c, 40.0);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->z_values, b->z_values);
    EXPECT_EQ(a->time_of_flight, 40.0);
}

// The front door: inputs refused before any solve, failures in plain words,
// a stop request honoured.
TEST(FrontDoor, RefusesAndFailsWithTheKindAndMessage) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        std::function<void(Config&, PlanOptions&, PlanHooks&)> change;
        ErrorKind kind;
        const char* message;
    };
    const Case cases[] = {
        {"negative fuel", [](Config& c, PlanOptions&, PlanHooks&) { c.spacecraft.fuel = -100.0; },
         ErrorKind::invalid_input,
         "spacecraft.fuel must be at least 0 and less than spacecraft.wet_mass (2000.0), got -100.0"},
        {"tolerance of 1", [](Config&, PlanOptions& o, PlanHooks&) { o.tolerance = 1.0; }, ErrorKind::invalid_input,
         "tolerance must be greater than 0 and less than 1, got 1.0"},
        {"landing tolerance NaN", [&](Config&, PlanOptions& o, PlanHooks&) { o.landing_tolerance = nan; },
         ErrorKind::invalid_input, "landing_tolerance must be a finite number of metres, at least 0, got nan"},
        {"pointing without an angle", [&](Config& c, PlanOptions&, PlanHooks&) { c.environment.max_angle_deg = nan; },
         ErrorKind::invalid_input, "max_angle_deg must be at least 0 for the pointing limit, got nan"},
        {"bracket too short",
         [](Config& c, PlanOptions&, PlanHooks&) {
             c.solver.tof_min = 5.0;
             c.solver.tof_max = 20.0;
         },
         ErrorKind::infeasible,
         "no trajectory reaches the target with a time of flight in [5.000 s, 20.000 s]; the nearest landing "
         "(PlanOptions::nearest_landing) comes as close as it can"},
        {"horizon too short", [](Config& c, PlanOptions&, PlanHooks&) { c.solver.time_of_flight = 5.0; },
         ErrorKind::infeasible, "no trajectory reaches the target in 5 s"},
        {"stopped", [](Config&, PlanOptions&, PlanHooks& h) { h.stop = [](bool) { return true; }; },
         ErrorKind::interrupted, "interrupted"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        Config c = vehicle(20);
        PlanOptions options;
        PlanHooks hooks;
        k.change(c, options, hooks);
        const auto p = plan(c, options, hooks);
        ASSERT_FALSE(p.has_value());
        EXPECT_EQ(p.error().kind, k.kind);
        EXPECT_EQ(p.error().message, k.message);
    }
}

// The golden search without the pointing limit is the reference entry's,
// bit for bit, and every solve is reported with the best mass so far.
TEST(FrontDoor, GoldenWithoutPointingIsTheEntrysPlan) {
    const Config c = vehicle(20);
    std::vector<double> best;
    PlanHooks hooks;
    hooks.progress = [&](unsigned solves, std::optional<double> mass) {
        EXPECT_EQ(solves, best.size() + 1);
        best.push_back(mass.value_or(0.0));
    };
    PlanOptions options;
    options.search = SearchMode::golden;
    options.pointing = false;
    const auto p = plan(c, options, hooks);
    const auto reference = solve(c);
    ASSERT_TRUE(p && reference);
    EXPECT_EQ(p->trajectory.z_values, reference->z_values);
    EXPECT_EQ(p->solves, 36u);
    EXPECT_EQ(best.size(), 36u);
    EXPECT_TRUE(std::is_sorted(best.begin(), best.end()));
    EXPECT_FALSE(p->pointing_limit);
    EXPECT_EQ(p->touchdown_time, reference->time_points.back());
}

// The quick path: its answers match the plain solve's to the solver's
// accuracy, a refused answer is the plain solve's own, and a kept solver is
// rebuilt once the horizon has moved too far.
TEST(QuickSolves, AnswersKeptSolversAndFallbacks) {
    struct Case {
        const char* name;
        SolverChoice solver;
        double first, second;    // horizons solved in turn on one QuickSolves
        double quick_violation;  // what the quick answer may violate
        std::uint32_t iterations;  // the structured solver's cap
        unsigned builds, fallbacks;
        unsigned retries = 0;  // structured solves that did not converge, tried again
    };
    const auto clarabel = SolverChoice::clarabel, structured = SolverChoice::structured;
    const Case cases[] = {
        {"updated within the threshold", clarabel, 40.0, 48.0, QuickSolves::kViolation, 50, 1, 0},
        {"rebuilt past it", clarabel, 40.0, 52.0, QuickSolves::kViolation, 50, 2, 0},
        {"no quick answer passes", clarabel, 40.0, 48.0, 0.0, 50, 1, 2},
        {"structured: built once for any horizon", structured, 40.0, 52.0, QuickSolves::kViolation, 50, 1, 0},
        {"structured: no answer passes", structured, 40.0, 48.0, 0.0, 50, 1, 2},
        {"structured: out of iterations", structured, 40.0, 48.0, QuickSolves::kViolation, 3, 1, 2, 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config c = vehicle(40);
        c.environment.glide_slope_angle_deg = 10.0;
        QuickSolves quick;
        quick.solver = k.solver;
        quick.structured_settings.max_iterations = k.iterations;
        quick.quick_violation = k.quick_violation;
        ASSERT_TRUE(solve_fixed(c, k.first, nullptr, {}, &quick));
        const auto kept = solve_fixed(c, k.second, nullptr, {}, &quick);
        const auto plain = solve_fixed(c, k.second);
        ASSERT_TRUE(kept && plain);
        EXPECT_EQ(quick.counts.solves, 2u);
        EXPECT_EQ(quick.counts.builds, k.builds);
        EXPECT_EQ(quick.counts.fallbacks, k.fallbacks);
        EXPECT_EQ(quick.counts.retries, k.retries);
        if (k.fallbacks) {
            EXPECT_EQ(kept->z_values, plain->z_values);  // the plain solve's answer, bit for bit
        } else {
            // To the solver's accuracy: a kept solver keeps the equilibration
            // of the horizon it was built at, and its last iterate differs.
            EXPECT_NEAR(kept->final_mass, plain->final_mass, 1e-7 * plain->final_mass);
        }
        // The slope the duals give against the final masses on either side.
        const double h = 1e-3 * k.second;
        const auto up = solve_fixed(c, k.second + h), down = solve_fixed(c, k.second - h);
        ASSERT_TRUE(up && down);
        EXPECT_NEAR(kept->mass_slope, (up->final_mass - down->final_mass) / (2.0 * h),
                    1e-2 * std::abs(kept->mass_slope) + 1e-6);
        EXPECT_TRUE(std::isnan(plain->mass_slope));
    }
    // A kept solver takes new values, never a new pattern.
    Config c = vehicle(10);
    auto solver = ConicSolver::build(assemble(c, 40.0), ConicSettings{0.0, false, true});
    ASSERT_TRUE(solver);
    solver->update(assemble(c, 45.0));
    EXPECT_THROW(solver->update(assemble(c, 45.0, ProgramOptions{true})), InternalError);
    EXPECT_THROW(solver->update(assemble(vehicle(11), 45.0)), InternalError);
    auto own = StructuredSolver::build(assemble(c, 40.0), Layout{10}.column_nodes());
    ASSERT_TRUE(own);
    own->update(assemble(c, 45.0));
    EXPECT_THROW(own->update(assemble(c, 45.0, ProgramOptions{true})), InternalError);
}

}  // namespace
}  // namespace vexal
