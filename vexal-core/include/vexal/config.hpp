#pragma once
// The configuration records: plain values with a default for every field.
// Field order is binding (constructor parameters, JSON keys).
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

namespace vexal {

using Vec3 = std::array<double, 3>;

// The Euclidean length, summed in component order.
inline double norm(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

struct Spacecraft {
    double wet_mass = 2000.0;
    double fuel = 1700.0;
    double real_max_thrust = 24000.0;
    double min_thrust_pct = 0.2;
    double max_thrust_pct = 0.8;
    double max_velocity = 1000.0;
    Vec3 initial_position{450.0, -330.0, 2400.0};
    Vec3 initial_velocity{-40.0, 10.0, -10.0};
    Vec3 target_velocity{0.0, 0.0, 0.0};
    Vec3 target_position{0.0, 0.0, 0.0};
    double fuel_consumption = 0.0005;
};

struct Environment {
    Vec3 gravity{0.0, 0.0, -3.71};
    double glide_slope_angle_deg = 0.0;
    double max_angle_deg = 90.0;  // carried everywhere, constrains nothing
};

struct Solver {
    std::uint64_t n = 100;
    std::optional<double> time_of_flight;
    std::optional<double> tof_min;
    std::optional<double> tof_max;
};

struct Config {
    Spacecraft spacecraft;
    Environment environment;
    Solver solver;
};

}  // namespace vexal
