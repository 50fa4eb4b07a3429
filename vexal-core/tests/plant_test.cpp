#include <gtest/gtest.h>

#include <cmath>

#include "vexal/plant.hpp"

namespace vexal {
namespace {

const Planet kMars{{0.0, 0.0, -3.71}};

Engine engine(double min_thrust = 0.0, double max_thrust = 30000.0) {
    Engine e;
    e.min_thrust = min_thrust;
    e.max_thrust = max_thrust;
    e.fuel_consumption = 5e-4;
    e.dry_mass = 300.0;
    return e;
}

PlantState at(double height, double vz, double mass) {
    PlantState s;
    s.position = {10.0, -5.0, height};
    s.velocity = {2.0, 1.0, vz};
    s.mass = mass;
    return s;
}

// Against closed forms: a free fall lands when the parabola says; a
// vertical burn follows the rocket equation, to fourth order in the step;
// a burn that empties the tank stops at the dry mass.
TEST(Plant, AgreesWithClosedForms) {
    const ThrustCommand off = [](double) { return Vec3{}; };
    {
        const FlightSegment fall = fly(engine(), kMars, at(100.0, -10.0, 1000.0), off, 60.0, 0.5);
        ASSERT_EQ(fall.end, FlightEnd::ground);
        const double t = (-10.0 + std::sqrt(100.0 + 2.0 * 3.71 * 100.0)) / 3.71;  // 0 = 100 - 10 t - g t^2 / 2
        EXPECT_NEAR(fall.states.back().t, t, 1e-9);
        EXPECT_NEAR(fall.states.back().position[0], 10.0 + 2.0 * t, 1e-9);
        EXPECT_NEAR(fall.states.back().velocity[2], -10.0 - 3.71 * t, 1e-6);
        EXPECT_EQ(fall.states.back().position[2], 0.0);
    }
    const double thrust = 8000.0, alpha = 5e-4, m0 = 1000.0;
    const ThrustCommand up = [&](double) { return Vec3{0.0, 0.0, thrust}; };
    const double t = 20.0;
    const double exact = -5.0 - 3.71 * t + std::log(m0 / (m0 - alpha * thrust * t)) / alpha;
    double previous = 0.0;
    for (double step : {2.0, 1.0, 0.5}) {
        const FlightSegment burn = fly(engine(), kMars, at(5000.0, -5.0, m0), up, t, step);
        const PlantState& end = burn.states.back();
        EXPECT_EQ(end.t, t);
        EXPECT_NEAR(end.mass, m0 - alpha * thrust * t, 1e-9);
        const double error = std::abs(end.velocity[2] - exact);
        if (previous > 0.0) {
            EXPECT_LT(error, previous / 12.0) << "step " << step;  // 16 for fourth order
        }
        previous = error;
    }
    EXPECT_LT(previous, 1e-6);
    // 8 kN burns 4 kg/s: the 700 kg of fuel last 175 s, then the vehicle coasts.
    const FlightSegment empty = fly(engine(), kMars, at(1e6, 0.0, m0), up, 200.0, 0.5);
    EXPECT_EQ(empty.states.back().mass, 300.0);
    const double speed_at_burnout = -3.71 * 175.0 + std::log(m0 / 300.0) / alpha;
    EXPECT_NEAR(empty.states.back().velocity[2], speed_at_burnout - 3.71 * 25.0, 0.05);

    // On a turning planet a body left alone moves on a straight line in the
    // still frame: r(t) is the start plus (v0 + w x r0) t, turned back by w t.
    const Vec3 w{0.03, -0.02, 0.05};
    const FlightSegment coast = fly(engine(), Planet{{}, w}, at(1e6, 0.0, m0), off, 40.0, 0.05);
    const PlantState& s0 = coast.states.front();
    const Vec3 rw{s0.position[0] + 40.0 * (s0.velocity[0] + w[1] * s0.position[2] - w[2] * s0.position[1]),
                  s0.position[1] + 40.0 * (s0.velocity[1] + w[2] * s0.position[0] - w[0] * s0.position[2]),
                  s0.position[2] + 40.0 * (s0.velocity[2] + w[0] * s0.position[1] - w[1] * s0.position[0])};
    // Rodrigues' rotation by -|w| t about w.
    const double speed = norm(w), angle = -speed * 40.0;
    const Vec3 axis{w[0] / speed, w[1] / speed, w[2] / speed};
    const double along = axis[0] * rw[0] + axis[1] * rw[1] + axis[2] * rw[2];
    const Vec3 across{axis[1] * rw[2] - axis[2] * rw[1], axis[2] * rw[0] - axis[0] * rw[2],
                      axis[0] * rw[1] - axis[1] * rw[0]};
    for (int j = 0; j < 3; ++j) {
        const double turned =
            rw[j] * std::cos(angle) + across[j] * std::sin(angle) + axis[j] * along * (1.0 - std::cos(angle));
        EXPECT_NEAR(coast.states.back().position[j], turned, 1e-6 * 1e6) << "component " << j;
    }
}

// The engine's own errors: its limits, a scale error, a misalignment and a lag.
TEST(Plant, EngineGivesWhatItCan) {
    Engine e = engine(2000.0, 20000.0);
    EXPECT_EQ(engine_thrust(e, {0.0, 0.0, 50000.0}, 1000.0), (Vec3{0.0, 0.0, 20000.0}));
    EXPECT_EQ(engine_thrust(e, {0.0, 0.0, 100.0}, 1000.0), (Vec3{0.0, 0.0, 2000.0}));
    EXPECT_EQ(engine_thrust(e, {0.0, 0.0, 10000.0}, 300.0), (Vec3{}));  // no fuel left
    e.scale_error = -0.02;
    EXPECT_NEAR(engine_thrust(e, {0.0, 6000.0, 8000.0}, 1000.0)[2], 0.98 * 8000.0, 1e-9);
    // The error is the engine's own: at full throttle a strong one gives more than rated, at the floor a weak
    // one less.
    EXPECT_NEAR(engine_thrust(e, {0.0, 0.0, 100.0}, 1000.0)[2], 0.98 * 2000.0, 1e-9);
    e.scale_error = 0.02;
    EXPECT_NEAR(engine_thrust(e, {0.0, 0.0, 50000.0}, 1000.0)[2], 1.02 * 20000.0, 1e-9);
    e.scale_error = -0.02;
    e.misalignment = 0.01;  // fixed in the body: off every command by the angle, toward x when upright
    const Vec3 turned = engine_thrust(e, {0.0, 0.0, 10000.0}, 1000.0);
    EXPECT_NEAR(std::atan2(turned[0], turned[2]), 0.01, 1e-12);
    EXPECT_NEAR(norm(turned), 9800.0, 1e-9);
    for (const Vec3& command : {Vec3{0.0, 6000.0, 8000.0}, Vec3{-7000.0, 0.0, 7000.0}, Vec3{5000.0, 0.0, 100.0}}) {
        const Vec3 given = engine_thrust(e, command, 1000.0);
        const double cosine = (given[0] * command[0] + given[1] * command[1] + given[2] * command[2]) /
                              (norm(given) * norm(command));
        EXPECT_NEAR(std::acos(std::min(cosine, 1.0)), 0.01, 1e-6) << command[0] << " " << command[1];
    }

    // The lag in closed form: from rest toward a step, 1 - e^(-t/lag) of it, whatever the step, and a lag far
    // shorter than the step (once 6e154 N at 3.5 ms) follows a ramp a lag behind.
    const ThrustCommand up = [](double) { return Vec3{0.0, 0.0, 10000.0}; };
    const ThrustCommand ramp = [](double t) { return Vec3{0.0, 0.0, 5000.0 + 1000.0 * t}; };
    struct Lag {
        double lag, step;
        const ThrustCommand* command;
        double expected;  // N, at 0.5 s
    };
    for (const Lag& k : {Lag{0.5, 0.01, &up, 10000.0 * (1.0 - std::exp(-1.0))},
                         Lag{0.5, 0.25, &up, 10000.0 * (1.0 - std::exp(-1.0))},
                         Lag{0.003, 0.01, &ramp, 5500.0 - 3.0}, Lag{1e-6, 0.5, &ramp, 5500.0 - 1e-3}}) {
        Engine lagging = engine();
        lagging.lag = k.lag;
        const FlightSegment burn = fly(lagging, kMars, at(5000.0, 0.0, 1000.0), *k.command, 0.5, k.step);
        EXPECT_NEAR(burn.states.back().thrust[2], k.expected, 1e-6 * k.expected) << k.lag << " s, step " << k.step;
    }

    // One engine of four out at 1.005 s: the step ends there, and from then on three quarters of the thrust
    // (the limits too) burn three quarters of the fuel.
    Engine out = engine(2000.0, 20000.0);
    out.loss_time = 1.005;
    out.remaining = 0.75;
    const FlightSegment lost = fly(out, kMars, at(5000.0, 0.0, 1000.0), up, 2.0, 0.01);
    EXPECT_EQ(lost.states[101].t, 1.005);
    EXPECT_NEAR(lost.states.back().mass, 1000.0 - 5e-4 * 10000.0 * (1.005 + 0.75 * 0.995), 1e-9);
    EXPECT_EQ(engine_thrust(out, {0.0, 0.0, 50000.0}, 1000.0)[2], 20000.0);  // the loss is the flight's to apply
}

}  // namespace
}  // namespace vexal
