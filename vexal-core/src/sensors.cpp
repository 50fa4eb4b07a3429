#include "vexal/sensors.hpp"

#include <cmath>

#include "vexal/dynamics.hpp"

namespace vexal {
namespace {

// Whether a reading at `rate` (Hz) falls due in (from, to]: one at every
// multiple of its period.
bool due(double rate, double from, double to) {
    return rate > 0.0 && std::floor(to * rate) > std::floor(from * rate);
}

}  // namespace

std::mt19937_64 seeded_stream(std::uint64_t seed, std::uint32_t number) {
    std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32), number};
    return std::mt19937_64(sequence);
}

Instruments::Instruments(const Sensors& sensors, double position_noise, double velocity_noise, std::uint64_t seed)
    : sensors_(sensors),
      position_noise_(position_noise),
      velocity_noise_(velocity_noise),
      accelerometer_(seeded_stream(seed, 1)),
      altimeter_(seeded_stream(seed, 2)),
      velocimeter_(seeded_stream(seed, 3)),
      fixes_(seeded_stream(seed, 4)),
      raw_(seeded_stream(seed, 5)) {
    for (double& b : bias_) b = sensors.accelerometer.bias * normal_(accelerometer_);
}

Vec3 Instruments::specific_force(const Planet& world, const PlantState& a, const PlantState& b) {
    const double h = b.t - a.t;
    Vec3 mid_r, mid_v;
    for (int j = 0; j < 3; ++j) {
        mid_r[j] = 0.5 * (a.position[j] + b.position[j]);
        mid_v[j] = 0.5 * (a.velocity[j] + b.velocity[j]);
    }
    const Vec3 turning = rotation_acceleration(world.rotation, mid_r, mid_v);
    // The noise of a velocity random walk, as the mean over the step.
    const double sigma = h > 0.0 ? sensors_.accelerometer.noise / std::sqrt(h) : 0.0;
    Vec3 f;
    for (int j = 0; j < 3; ++j) {
        const double felt = h > 0.0 ? (b.velocity[j] - a.velocity[j]) / h - world.gravity[j] - turning[j] : 0.0;
        f[j] = felt + bias_[j] + sigma * normal_(accelerometer_);
    }
    return f;
}

void Instruments::fixes(const PlantState& a, const PlantState& b, std::vector<Reading>& out) {
    const double height = b.position[2];
    const Altimeter& alt = sensors_.altimeter;
    if (alt.fitted && due(alt.rate, a.t, b.t)) {
        const double noise = alt.noise * std::abs(height) * normal_(altimeter_);  // drawn whether used or not
        if (!alt.dropout.covers(b.t) && height <= alt.range) {
            out.push_back({Reading::Kind::height, {0.0, 0.0, height + alt.bias + noise},
                           std::max(alt.noise * std::abs(height), 0.0)});
        }
    }
    const Velocimeter& vel = sensors_.velocimeter;
    if (vel.fitted && due(vel.rate, a.t, b.t)) {
        Vec3 v;
        for (int j = 0; j < 3; ++j) v[j] = b.velocity[j] + vel.bias + velocity_noise_ * normal_(velocimeter_);
        if (!vel.dropout.covers(b.t) && height <= vel.ceiling) {
            out.push_back({Reading::Kind::velocity, v, velocity_noise_});
        }
    }
    const PositionFixes& fix = sensors_.fixes;
    if (fix.fitted && due(fix.rate, a.t, b.t)) {
        Vec3 r;
        for (int j = 0; j < 3; ++j) r[j] = b.position[j] + fix.bias + position_noise_ * normal_(fixes_);
        if (!fix.dropout.covers(b.t) && height >= fix.floor) out.push_back({Reading::Kind::position, r, position_noise_});
    }
}

void Instruments::raw(const PlantState& s, Vec3& position, Vec3& velocity) {
    for (int j = 0; j < 3; ++j) {
        position[j] = s.position[j] + position_noise_ * normal_(raw_);
        velocity[j] = s.velocity[j] + velocity_noise_ * normal_(raw_);
    }
}

}  // namespace vexal
