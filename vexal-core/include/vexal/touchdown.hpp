#pragma once
// The touchdown and its verdict: a flight that reaches the ground has
// landed only within the speeds (and, if asked, the distance) the lander
// is built for; outside them it is a hard landing, figures and all.
#include <optional>

#include "vexal/plant.hpp"

namespace vexal {

// What the lander survives. The defaults are of the order landers are
// specified for (lunar and planetary landers: about 2 m/s down, 0.5 to
// 1 m/s across); no miss radius by default: anywhere is a landing.
struct LandingLimits {
    double vertical_speed = 2.0;         // m/s downward, at most
    double horizontal_speed = 1.0;       // m/s, at most
    std::optional<double> miss_radius;   // m from the target, at most
};

// The state at the ground and its figures.
struct Touchdown {
    double t = 0.0;     // s of flight
    Vec3 position{};    // m; height 0
    Vec3 velocity{};    // m/s
    double mass = 0.0;  // kg
    double vertical_speed = 0.0;    // m/s, downward
    double horizontal_speed = 0.0;  // m/s
    double miss = 0.0;              // m, horizontal distance from the target
};

Touchdown touchdown_at(const PlantState& state, const Vec3& target);

// Whether the touchdown is within every limit.
bool within(const LandingLimits& limits, const Touchdown& touchdown);

}  // namespace vexal
