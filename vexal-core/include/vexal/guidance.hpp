#pragma once
// Flying a plan: the thrust it commands over time.
#include "vexal/fixed_horizon.hpp"
#include "vexal/plant.hpp"

namespace vexal {

// The plan's thrust (u_k exp(z_k), N) at time t after `start`, held to
// first order between its nodes as the program's dynamics hold the thrust
// acceleration; before the first node the first, after the last none (the
// plan has landed: the engine is cut).
ThrustCommand planned_thrust(const Trajectory& plan, double start = 0.0);

}  // namespace vexal
