#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "vexal/assemble.hpp"
#include "vexal/search.hpp"
#include "vexal/solve.hpp"

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
    for (const Row& r : equality_rows(fixed)) {
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
        ASSERT_TRUE(t.has_value()) << t.error();
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
        ASSERT_TRUE(t.has_value()) << t.error();
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

TEST(RealSolve, InfeasibleHorizonIsAStatusError) {
    const auto t = solve_fixed(vehicle(), 1.0);
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error().rfind("solver status: ", 0), 0u) << t.error();
}

TEST(RealSolve, DegenerateDataComeBackAsAValue) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        double tof;
        std::function<void(Config&)> change;
    };
    const Case cases[] = {
        {"burns the whole wet mass", 250.0, [](Config&) {}},
        {"NaN horizon", nan, [](Config&) {}},
        {"infinite horizon", inf, [](Config&) {}},
        {"zero horizon", 0.0, [](Config&) {}},
        {"negative horizon", -10.0, [](Config&) {}},
        {"NaN wet mass", 50.0, [&](Config& c) { c.spacecraft.wet_mass = nan; }},
        {"negative masses", 50.0, [](Config& c) { c.spacecraft.wet_mass = -5.0; c.spacecraft.fuel = -1.0; }},
        {"infinite gravity", 50.0, [&](Config& c) { c.environment.gravity = {0.0, 0.0, -inf}; }},
        {"NaN glide slope", 50.0, [&](Config& c) { c.environment.glide_slope_angle_deg = nan; }},
        {"no thrust at all", 50.0, [](Config& c) { c.spacecraft.real_max_thrust = 0.0; }},
        {"negative speed limit", 50.0, [](Config& c) { c.spacecraft.max_velocity = -1.0; }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        Config c = vehicle(20);
        k.change(c);
        const auto t = solve_fixed(c, k.tof);
        if (t) {
            EXPECT_EQ(t->z_values.size(), 20u);
            std::printf("  %-36s -> trajectory, status %s, final mass %g\n", k.name, t->status.c_str(),
                        t->final_mass);
        } else {
            EXPECT_FALSE(t.error().empty());
            std::printf("  %-36s -> %s\n", k.name, t.error().c_str());
        }
    }
}

TEST(RealSearch, BeatsEveryGridPoint) {
    const Config c = vehicle(30);
    const auto best = solve(c);
    ASSERT_TRUE(best.has_value()) << best.error();
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

}  // namespace
}  // namespace vexal
