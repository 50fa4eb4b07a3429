#include "vexal/control.hpp"

#include <algorithm>
#include <cmath>

#include "vexal/dynamics.hpp"

namespace vexal {
namespace {

// The terminal descent's gains: the velocity error is taken out over
// kResponse (s), its integral at kIntegral (1/s^2, bounded to
// kMostIntegral m/s^2 against wind-up), and the horizontal position error at
// kHold (1/s), asking no more than kMostHoldSpeed (m/s) across.
constexpr double kResponse = 1.0;
constexpr double kIntegral = 0.25;
constexpr double kMostIntegral = 1.0;
constexpr double kHold = 0.3;
constexpr double kMostHoldSpeed = 0.5;

}  // namespace

Reference plan_reference(const Trajectory& plan, double t, const Vec3& gravity, const Vec3& rotation) {
    Reference out;
    const std::size_t nodes = plan.positions.size();
    if (nodes == 0) return out;
    const double dt = nodes > 1 ? plan.time_points[1] - plan.time_points[0] : 0.0;
    const double at = dt > 0.0 ? std::clamp(t / dt, 0.0, static_cast<double>(nodes - 1)) : 0.0;
    const std::size_t k = std::min(static_cast<std::size_t>(at), nodes - 1);
    const Vec3 &r = plan.positions[k], &v = plan.velocities[k], &u = plan.u_values[k];
    if (k + 1 == nodes) return {r, v, u};
    const double s = (at - static_cast<double>(k)) * dt;
    const Vec3& next = plan.u_values[k + 1];
    const Vec3 turning = rotation_acceleration(rotation, r, v);
    for (int j = 0; j < 3; ++j) {
        const double a0 = u[j] + gravity[j] + turning[j], jerk = (next[j] - u[j]) / dt;
        out.position[j] = r[j] + v[j] * s + 0.5 * a0 * s * s + jerk * s * s * s / 6.0;
        out.velocity[j] = v[j] + a0 * s + 0.5 * jerk * s * s;
        out.acceleration[j] = u[j] + jerk * s;
    }
    return out;
}

Vec3 tracking_feedback(const Reference& reference, const NavigatedState& navigated, double bandwidth) {
    const double kp = bandwidth * bandwidth, kd = std::sqrt(2.0) * bandwidth;
    Vec3 a;
    for (int j = 0; j < 3; ++j) {
        a[j] = -kp * (navigated.position[j] - reference.position[j]) -
               kd * (navigated.velocity[j] - reference.velocity[j]);
    }
    return a;
}

Vec3 limited_thrust(const Vec3& acceleration, double mass, const ThrustLimits& limits, bool may_cut) {
    Vec3 thrust{mass * acceleration[0], mass * acceleration[1], mass * acceleration[2]};
    if (limits.max_angle < 0.5 * std::acos(-1.0)) {
        const double across = std::hypot(thrust[0], thrust[1]);
        const double most = std::tan(limits.max_angle) * std::max(thrust[2], 0.0);
        if (across > most) {
            const double cut = across > 0.0 ? most / across : 0.0;
            thrust[0] *= cut;
            thrust[1] *= cut;
        }
    }
    const double size = norm(thrust);
    if (may_cut && !(size >= 0.5 * limits.min_thrust)) return {};
    if (!(size > 0.0)) return {0.0, 0.0, limits.min_thrust};
    const double given = std::clamp(size, limits.min_thrust, limits.max_thrust);
    for (double& f : thrust) f *= given / size;
    return thrust;
}

Vec3 TerminalDescent::acceleration(const NavigatedState& navigated, double period) {
    Vec3 wanted{};
    for (int j = 0; j < 2; ++j) {
        wanted[j] = std::clamp(-kHold * (navigated.position[j] - target_[j]), -kMostHoldSpeed, kMostHoldSpeed);
    }
    wanted[2] = -speed_;
    Vec3 a;
    for (int j = 0; j < 3; ++j) {
        const double error = wanted[j] - navigated.velocity[j];
        integral_[j] = std::clamp(integral_[j] + kIntegral * error * period, -kMostIntegral, kMostIntegral);
        a[j] = error / kResponse + integral_[j] - gravity_[j];
    }
    return a;
}

}  // namespace vexal
