#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "vexal/check.hpp"
#include "vexal/guidance.hpp"
#include "vexal/planner.hpp"

namespace vexal {
namespace {

// The plan flown as it stands, every error off: to the plan's last node,
// then with the engine cut down to the ground. What it misses by is the
// discretisation's (measured 7.7, 3.1, 0.87, 0.23, 0.055 m at n = 25, 50,
// 100, 200, 400); halving the integration step moves the touchdown by far
// less. So on a planet that turns ten times as fast as the Earth, planned
// and flown with the rotation (a plan that ignores it misses by 37 m).
TEST(Guidance, AnErrorFreeFlightLandsWhereThePlanDoes) {
    struct Case {
        std::uint64_t n;
        double miss;  // m, at most
        Vec3 rotation;
    };
    for (const Case& k : {Case{50, 3.5, {}}, Case{100, 1.0, {}}, Case{100, 1.0, {5e-4, 0.0, 5e-4}}}) {
        SCOPED_TRACE(testing::Message() << k.n << " nodes, rotation " << k.rotation[0]);
        ProgramOptions program{true};
        program.rotation = k.rotation;
        Config c;
        c.solver.n = k.n;
        c.environment.glide_slope_angle_deg = 10.0;
        QuickSolves quick;
        const auto plan = search(
            c, [&](const Config& config, double t) { return solve_fixed(config, t, nullptr, program, &quick); },
            {SearchMode::fast});
        ASSERT_TRUE(plan);
        const Spacecraft& sc = c.spacecraft;
        Engine engine;
        engine.min_thrust = sc.min_thrust_pct * sc.real_max_thrust;
        engine.max_thrust = sc.max_thrust_pct * sc.real_max_thrust;
        engine.fuel_consumption = sc.fuel_consumption;
        engine.dry_mass = sc.wet_mass - sc.fuel;
        PlantState start;
        start.position = sc.initial_position;
        start.velocity = sc.initial_velocity;
        start.mass = sc.wet_mass;
        const ThrustCommand command = planned_thrust(*plan);
        PlantState landed[2];
        for (int halved : {0, 1}) {
            const double step = halved ? 0.01 : 0.02;
            const FlightSegment burn =
                fly(engine, Planet{c.environment.gravity, k.rotation}, start, command, plan->time_points.back(), step);
            ASSERT_EQ(burn.end, FlightEnd::time_limit);
            const FlightSegment fall = fly(engine, Planet{c.environment.gravity, k.rotation}, burn.states.back(),
                                           [](double) { return Vec3{}; }, plan->time_of_flight + 10.0, step);
            ASSERT_EQ(fall.end, FlightEnd::ground);
            landed[halved] = fall.states.back();
        }
        const double miss = std::hypot(landed[1].position[0], landed[1].position[1]);
        EXPECT_LT(miss, k.miss);
        EXPECT_LT(std::hypot(landed[1].position[0] - landed[0].position[0],
                             landed[1].position[1] - landed[0].position[1]),
                  0.1 * miss);
        const double planned_fuel = sc.wet_mass - plan->final_mass;
        EXPECT_NEAR(sc.wet_mass - landed[1].mass, planned_fuel, 1e-3 * planned_fuel);
        EXPECT_LT(norm(landed[1].velocity), 4.0);  // the fall from the last node's height
    }
}

double miss(const Flight& f) { return std::hypot(f.history.back().position[0], f.history.back().position[1]); }

// Guidance in the loop: re-planning from where the vehicle is corrects what
// the open loop cannot, a hopeless engine is a result and not an error, and
// a seed gives the same flight every time.
TEST(Guidance, ReplanningLandsWhatTheOpenLoopMisses) {
    Config c;
    c.solver.n = 50;
    c.environment.glide_slope_angle_deg = 10.0;
    GuidanceOptions closed, open;
    closed.thrust_margin = open.thrust_margin = 0.05;
    open.replan_period = 0.0;  // the plan as planned: no re-plan, no tracking, no gate
    open.control.rate = 0.0;
    open.terminal_height = 0.0;

    const Flight exact = simulate(c, closed);
    ASSERT_EQ(exact.outcome, FlightOutcome::landed);
    EXPECT_LT(miss(exact), 0.05);
    EXPECT_NEAR(-exact.history.back().velocity[2], closed.terminal_speed, 0.05);  // through the gate
    EXPECT_GT(exact.plans.size(), 20u);

    FlightErrors weak;
    weak.thrust_bias = -0.02;
    const Flight corrected = simulate(c, closed, weak), uncorrected = simulate(c, open, weak);
    ASSERT_EQ(corrected.outcome, FlightOutcome::landed);
    EXPECT_LT(miss(corrected), 0.2 * miss(uncorrected));
    EXPECT_GT(-uncorrected.history.back().velocity[2], 2.0);
    EXPECT_NEAR(-corrected.history.back().velocity[2], closed.terminal_speed, 0.05);
    // On Clarabel's quick path too, whose kept solvers have one node count
    // each while the re-plans change theirs.
    GuidanceOptions on_clarabel = closed;
    on_clarabel.solver = SolverChoice::clarabel;
    const Flight clarabel = simulate(c, on_clarabel, weak);
    ASSERT_EQ(clarabel.outcome, FlightOutcome::landed);
    EXPECT_LT(miss(clarabel), 0.2 * miss(uncorrected));

    FlightErrors hopeless;  // nine tenths of the engine lost early
    hopeless.thrust_loss = 0.9;
    hopeless.thrust_loss_time = 5.0;
    const Flight crash = simulate(c, closed, hopeless);
    EXPECT_EQ(crash.outcome, FlightOutcome::hard_landing);  // at a speed no vehicle survives, and said so
    ASSERT_TRUE(crash.touchdown.has_value());
    EXPECT_GT(crash.touchdown->vertical_speed, 20.0);
    EXPECT_EQ(crash.touchdown->velocity, crash.history.back().velocity);
    // Half of it lost at 10 s: no landing comes in the time left; guidance reads the loss at the next re-plan and
    // lands by the nearest landing over a longer time.
    FlightErrors half;
    half.thrust_loss = 0.5;
    half.thrust_loss_time = 10.0;
    const Flight limped = simulate(c, closed, half);
    EXPECT_EQ(limped.outcome, FlightOutcome::landed);
    EXPECT_TRUE(std::any_of(limped.plans.begin(), limped.plans.end(),
                            [](const PlanEvent& e) { return e.source == PlanSource::nearest; }));

    FlightErrors noisy;
    noisy.thrust_noise = 0.01;
    noisy.position_noise = 1.0;
    noisy.velocity_noise = 0.1;
    noisy.misalignment_deg = 0.5;
    noisy.seed = 7;
    const Flight a = simulate(c, closed, noisy), b = simulate(c, closed, noisy);
    ASSERT_EQ(a.history.size(), b.history.size());
    EXPECT_EQ(a.history.back().position, b.history.back().position);
    EXPECT_EQ(a.history.back().mass, b.history.back().mass);
    noisy.seed = 8;
    EXPECT_NE(simulate(c, closed, noisy).history.back().position, a.history.back().position);

    // Through a gate 3 m up, the touchdown is the terminal descent's, at
    // about its speed, whatever height navigation gave the last plan.
    GuidanceOptions gated = closed;
    gated.terminal_height = 3.0;
    const Flight through = simulate(c, gated, noisy);
    ASSERT_EQ(through.outcome, FlightOutcome::landed);
    ASSERT_TRUE(through.terminal_descent.has_value());
    EXPECT_NEAR(-through.history.back().velocity[2], gated.terminal_speed, 0.2);
    // From a gate 100 m up the descent holds its speed while the fuel burns
    // (it once sank from 0.99 to 0.61 m/s, and from 50 m never landed).
    gated.terminal_height = 100.0;
    const Flight tall = simulate(c, gated, noisy);
    ASSERT_EQ(tall.outcome, FlightOutcome::landed);
    EXPECT_NEAR(-tall.history.back().velocity[2], gated.terminal_speed, 0.05);
    EXPECT_LT(miss(tall), 0.5);
}

// The filter on a descent flown by a known thrust: its error stays within
// what its covariance claims (the normalised error's RMS near 1, none far
// out), whatever the suite; a biased altimeter is rejected, not believed;
// and with no noise anywhere it keeps to the truth.
TEST(Guidance, TheFilterIsConsistentAndRejectsABiasedAltimeter) {
    struct Case {
        const char* name;
        double position_noise, velocity_noise;
        Sensors sensors;
        double most_error;  // m, of the position at the end
        bool rejects;
    };
    Sensors biased, inertial, plain;
    biased.altimeter.bias = 100.0;
    biased.fixes.floor = 500.0;
    inertial.accelerometer = {0.003, 0.005};
    inertial.altimeter.noise = 0.02;
    inertial.velocimeter.ceiling = 800.0;
    inertial.fixes.dropout = {5.0, 25.0};
    for (const Case& k : {Case{"none", 0.0, 0.0, plain, 1e-3, false}, Case{"fixes", 1.0, 0.1, plain, 1.0, false},
                          Case{"inertial", 2.0, 0.2, inertial, 2.0, false},
                          Case{"biased altimeter", 1.0, 0.1, biased, 1.5, true}}) {
        SCOPED_TRACE(k.name);
        const Planet mars{{0.0, 0.0, -3.71}, {}};
        Engine engine;
        engine.max_thrust = 1e6;
        engine.fuel_consumption = 1e-4;
        PlantState s;
        s.position = {500.0, -200.0, 1500.0};
        s.velocity = {-20.0, 10.0, -60.0};
        s.mass = 1800.0;
        const ThrustCommand thrust = [](double t) { return Vec3{600.0, -300.0, 8000.0 + 50.0 * t}; };
        Navigator nav({}, Instruments(k.sensors, k.position_noise, k.velocity_noise, 11), mars.gravity, {}, s, 11);
        std::vector<NavigatedState> record;
        double squares = 0.0, worst = 0.0;
        int count = 0;
        for (int second = 0; second < 40; ++second) {
            const FlightSegment segment = fly(engine, mars, s, thrust, s.t + 1.0, 0.01);
            nav.advance(mars, segment.states, record);
            s = segment.states.back();
            const NavigatedState& e = nav.current();
            for (int j = 0; j < 3; ++j) {
                const double z = (e.position[j] - s.position[j]) / e.position_sigma[j];
                squares += z * z;
                worst = std::max(worst, std::abs(z));
                ++count;
            }
        }
        EXPECT_EQ(record.size(), 4000u);
        if (k.position_noise > 0.0) {
            EXPECT_NEAR(std::sqrt(squares / count), 1.0, 0.6);
        }
        EXPECT_LT(worst, 5.0);
        EXPECT_LT(norm(Vec3{nav.current().position[0] - s.position[0], nav.current().position[1] - s.position[1],
                            nav.current().position[2] - s.position[2]}),
                  k.most_error);
        EXPECT_EQ(nav.counts().rejected > 100, k.rejects);
    }
}

// Steady engine and gravity errors on a table of vehicles: guidance reads the engine from what it does, the
// gravity from what the filter measures, and lands softly on the target. (An Earth lander near its thrust limit once read its own
// clipped commands as a weak engine, and crashed with every error off.)
TEST(Guidance, SteadyEngineErrorsAreReadAndLandedThrough) {
    Config mars;
    mars.solver.n = 40;
    mars.environment.glide_slope_angle_deg = 10.0;
    Config earth;  // floor 33 %, top 92 % of a thrust-to-weight of 1.6
    earth.spacecraft = {13612.4, 2751.1, 213660.0, 0.3285, 0.9188, 1000.0, {630.9, -642.5, 2551.4},
                        {-18.6, 14.7, 7.1}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, 1.0 / (280.0 * 9.80665)};
    earth.environment.gravity = {0.0, 0.0, -9.81};
    earth.environment.glide_slope_angle_deg = 9.0;
    earth.solver.n = 49;
    Config moon = mars;
    moon.environment.gravity = {0.0, 0.0, -1.62};
    moon.spacecraft.real_max_thrust = 8000.0;
    struct Case {
        const char* name;
        double thrust_bias, isp_error, thrust_loss;  // the last at 10 s of flight
        double gravity_error = 0.0;  // once read as a weak engine: 10 % heavier crashed at 20 m/s with fuel left
    };
    Config floored = mars;  // its throttle floor outweighs it near the ground: no hover, so no steady descent lit
    floored.spacecraft.min_thrust_pct = 0.35;
    for (const Config& c : {mars, earth, moon, floored}) {
        for (const Case& k : {Case{"none", 0.0, 0.0, 0.0}, Case{"weak", -0.02, 0.0, 0.0},
                              Case{"strong", 0.02, 0.0, 0.0}, Case{"thirsty", 0.0, -0.03, 0.0},
                              Case{"an engine of six out", 0.0, 0.0, 1.0 / 6.0},
                              Case{"gravity 10 % heavier", 0.0, 0.0, 0.0, 0.1},
                              Case{"gravity 5 % lighter", 0.0, 0.0, 0.0, -0.05}}) {
            SCOPED_TRACE(std::string(k.name) + " g " + std::to_string(c.environment.gravity[2]));
            GuidanceOptions options;
            options.thrust_margin = 0.05;
            FlightErrors errors;
            errors.thrust_bias = k.thrust_bias;
            errors.isp_error = k.isp_error;
            errors.thrust_loss = k.thrust_loss;
            errors.thrust_loss_time = 10.0;
            errors.gravity_error = k.gravity_error;
            const Flight flight = simulate(*checked_for_planning(c), options, errors);
            ASSERT_EQ(flight.outcome, FlightOutcome::landed);
            EXPECT_LT(miss(flight), 0.1);
            const Vec3& v = flight.history.back().velocity;
            // The floored vehicle comes down with its engine on and off about
            // the descent's thrust: at touchdown anywhere in that cycle, never
            // much faster than the descent.
            if (c.spacecraft.min_thrust_pct == floored.spacecraft.min_thrust_pct) {
                EXPECT_GT(-v[2], 0.2);
                EXPECT_LT(-v[2], options.terminal_speed + 0.5);
            } else {
                EXPECT_NEAR(-v[2], options.terminal_speed, 0.05);
            }
            EXPECT_LT(std::hypot(v[0], v[1]), 0.05);
        }
    }
}

// Every ending judged: a touchdown within the limits has landed, outside
// any one of them it is a hard landing with its figures, and a flight that
// never reached the ground has none.
TEST(Guidance, TouchdownsAreJudgedByTheLimits) {
    Config c;
    c.solver.n = 30;
    c.environment.glide_slope_angle_deg = 10.0;
    struct Case {
        const char* name;
        LandingLimits limits;
        double thrust_bias;  // flown open loop: a strong engine leaves the vehicle too high to come down in time
        FlightOutcome outcome;
    };
    for (const Case& k : {Case{"defaults", {}, 0.0, FlightOutcome::landed},
                          Case{"vertical", {0.001, 1.0, {}}, 0.0, FlightOutcome::hard_landing},
                          Case{"horizontal", {2.0, 1e-9, {}}, 0.0, FlightOutcome::hard_landing},
                          Case{"miss", {2.0, 1.0, 1e-9}, 0.0, FlightOutcome::hard_landing},
                          Case{"never down", {}, 0.2, FlightOutcome::time_limit}}) {
        SCOPED_TRACE(k.name);
        GuidanceOptions options;
        options.limits = k.limits;
        options.thrust_margin = 0.05;
        if (k.thrust_bias != 0.0) options.replan_period = 0.0, options.control.rate = 0.0;
        FlightErrors errors;
        errors.thrust_bias = k.thrust_bias;
        ASSERT_TRUE(check_flight(c, options, errors));
        const Flight flight = simulate(c, options, errors);
        EXPECT_EQ(flight.outcome, k.outcome);
        EXPECT_EQ(flight.touchdown.has_value(), k.outcome != FlightOutcome::time_limit);
        if (flight.touchdown) {
            EXPECT_EQ(flight.touchdown->t, flight.history.back().t);
            EXPECT_LT(flight.touchdown->miss, 0.1);
        }
    }
}

// Values a flight is not modelled for are refused naming the field, so
// that no flight runs for ever or to NaN.
TEST(Guidance, FlightInputsOutOfRangeAreRefused) {
    const Config c;
    struct Case {
        void (*set)(GuidanceOptions&, FlightErrors&);
        const char* message;
    };
    for (const Case& k : {
             Case{[](GuidanceOptions&, FlightErrors& e) { e.thrust_bias = 2.0; },
                  "errors.thrust_bias must be from -0.2 to 0.2, got 2.0"},
             Case{[](GuidanceOptions&, FlightErrors& e) { e.isp_error = -1.0; },
                  "errors.isp_error must be from -0.2 to 0.2, got -1.0"},
             Case{[](GuidanceOptions&, FlightErrors& e) { e.misalignment_deg = 90.0; },
                  "errors.misalignment_deg must be from 0.0 to 15.0 degrees, got 90.0"},
             Case{[](GuidanceOptions&, FlightErrors& e) { e.initial_mass_error = -2000.0; },
                  "errors.initial_mass_error must be from -1700.0 to 1700.0 kg, got -2000.0"},
             Case{[](GuidanceOptions&, FlightErrors& e) { e.dry_mass_error = -200.0; },
                  "errors.dry_mass_error must be from -150.0 to 150.0 kg, got -200.0"},
             Case{[](GuidanceOptions&, FlightErrors& e) { e.thrust_loss = 1.5; },
                  "errors.thrust_loss must be from 0.0 to 1.0, got 1.5"},
             Case{[](GuidanceOptions&, FlightErrors& e) { e.thrust_noise = std::nan(""); },
                  "errors.thrust_noise must be from 0.0 to 0.2, got nan"},
             Case{[](GuidanceOptions& o, FlightErrors&) { o.replan_period = 1e-9; },
                  "replan_period must be 0 (no re-plans) or from 0.1 to 1e6 s, got 1e-9"},
             Case{[](GuidanceOptions& o, FlightErrors&) { o.limits.miss_radius = 0.0; },
                  "limits.miss_radius must be a finite number greater than 0, got 0.0"},
             Case{[](GuidanceOptions& o, FlightErrors&) { o.step = 0.0; }, "step must be from 0.0001 to 1.0, got 0.0"},
             Case{[](GuidanceOptions& o, FlightErrors&) { o.control.rate = -1.0; },
                  "control_rate must be from 0.0 to 1000.0, got -1.0"},
             Case{[](GuidanceOptions& o, FlightErrors&) { o.sensors.altimeter.rate = 0.0; },
                  "sensors.altimeter_rate must be from 0.001 to 1000.0, got 0.0"},
             Case{[](GuidanceOptions& o, FlightErrors&) { o.sensors.fixes.floor = std::nan(""); },
                  "sensors.fix_floor must be at least 0.0, got nan"},
             Case{[](GuidanceOptions& o, FlightErrors&) { o.sensors.velocimeter.dropout = {5.0, 1.0}; },
                  "sensors.velocimeter_dropout must be two finite times (from, to), from <= to, got (5.0, 1.0)"},
         }) {
        GuidanceOptions options;
        FlightErrors errors;
        k.set(options, errors);
        const auto checked = check_flight(c, options, errors);
        ASSERT_FALSE(checked);
        EXPECT_EQ(checked.error().kind, ErrorKind::invalid_input);
        EXPECT_EQ(checked.error().message, k.message);
    }
}

}  // namespace
}  // namespace vexal
