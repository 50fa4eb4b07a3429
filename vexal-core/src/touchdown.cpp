#include "vexal/touchdown.hpp"

#include <cmath>

namespace vexal {

Touchdown touchdown_at(const PlantState& state, const Vec3& target) {
    Touchdown out;
    out.t = state.t;
    out.position = state.position;
    out.velocity = state.velocity;
    out.mass = state.mass;
    out.vertical_speed = -state.velocity[2];
    out.horizontal_speed = std::hypot(state.velocity[0], state.velocity[1]);
    out.miss = std::hypot(state.position[0] - target[0], state.position[1] - target[1]);
    return out;
}

bool within(const LandingLimits& limits, const Touchdown& touchdown) {
    return touchdown.vertical_speed <= limits.vertical_speed &&
           touchdown.horizontal_speed <= limits.horizontal_speed &&
           (!limits.miss_radius || touchdown.miss <= *limits.miss_radius);
}

}  // namespace vexal
