#include "vexal/guidance.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace vexal {

ThrustCommand planned_thrust(const Trajectory& plan, double start) {
    auto nodes = std::make_shared<std::vector<Vec3>>();
    for (std::size_t k = 0; k < plan.u_values.size(); ++k) {
        const double mass = std::exp(plan.z_values[k]);
        const Vec3& u = plan.u_values[k];
        nodes->push_back({mass * u[0], mass * u[1], mass * u[2]});
    }
    const double dt = plan.time_points.size() > 1 ? plan.time_points[1] - plan.time_points[0] : 0.0;
    return [nodes, dt, start](double t) -> Vec3 {
        const std::vector<Vec3>& thrust = *nodes;
        if (thrust.empty()) return {};
        const double at = dt > 0.0 ? (t - start) / dt : 0.0;
        if (!(at > 0.0)) return thrust.front();
        const std::size_t k = static_cast<std::size_t>(at);
        if (k + 1 > thrust.size() || (k + 1 == thrust.size() && at != static_cast<double>(k))) return {};
        if (k + 1 == thrust.size()) return thrust.back();  // the last node itself
        const double f = at - static_cast<double>(k);
        const Vec3 &a = thrust[k], &b = thrust[k + 1];
        return {a[0] + f * (b[0] - a[0]), a[1] + f * (b[1] - a[1]), a[2] + f * (b[2] - a[2])};
    };
}

}  // namespace vexal
