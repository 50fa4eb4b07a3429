#pragma once
// The vehicle as it really flies: three translational degrees of freedom
// and a mass that falls with the thrust, under the thrust it is commanded,
// as its engine really gives it. Integrated by the classic fourth-order
// Runge-Kutta method; a flight ends at the ground, or at a time limit.
#include <functional>
#include <limits>
#include <vector>

#include "vexal/config.hpp"

namespace vexal {

// The engine as it is, not as the planner assumes it.
struct Engine {
    double min_thrust = 0.0;        // N, while it burns
    double max_thrust = 0.0;        // N
    double fuel_consumption = 0.0;  // kg/(N s), the true one
    double dry_mass = 0.0;          // kg: no thrust below it
    // The thrust given: the command held to the engine's rated range
    // [min_thrust, max_thrust] (the throttle's travel), times (1 +
    // scale_error) (an engine 2 % strong gives 2 % more than rated at full
    // throttle), turned `misalignment` (rad) off the command's direction
    // (see `misaligned`), and reached through a first-order lag of time
    // constant `lag` (s; 0: at once), integrated in closed form over each
    // step.
    double scale_error = 0.0;
    double misalignment = 0.0;
    Vec3 misalignment_toward{1.0, 0.0, 0.0};  // horizontal, unit
    double lag = 0.0;
    // A fault: from `loss_time` (s of flight) on, the engine gives only
    // `remaining` of its thrust, limits included (one of several engines
    // out).
    double loss_time = std::numeric_limits<double>::infinity();
    double remaining = 1.0;
};

// The world the vehicle flies in, in the frame of the configuration (x, y
// horizontal, z up at the target), which turns with the planet.
struct Planet {
    Vec3 gravity{};
    Vec3 rotation{};  // rad/s: adds -2 w x v - w x (w x r) to the acceleration
};

struct PlantState {
    double t = 0.0;
    Vec3 position{};  // m; the ground is height 0
    Vec3 velocity{};  // m/s
    double mass = 0.0;  // kg
    Vec3 thrust{};      // N, the engine's actual thrust: with a lag, where it starts from
};

// The thrust commanded at time t, N.
using ThrustCommand = std::function<Vec3(double t)>;

// `thrust` turned `angle` (rad) off its direction in a plane fixed in the
// vehicle: the vehicle points its engine where commanded and keeps its
// roll, so its body axis `toward` (a horizontal direction as the vehicle
// hangs upright) is the command's direction's perpendicular nearest to
// `toward`. The thrust is off the command by the angle whatever the command.
Vec3 misaligned(const Vec3& thrust, double angle, const Vec3& toward);

// What the engine gives for a command: clipped to its limits, scaled (none
// once the mass is down to the dry mass) and turned. Its loss is the
// flight's to apply (plant_step does).
Vec3 engine_thrust(const Engine& engine, const Vec3& command, double mass);

// One step of length h from `state`, the command read at the step's start,
// middle and end. (A step across the moment the tank runs dry is only first
// order accurate: fly() ends its step there.)
PlantState plant_step(const Engine& engine, const Planet& planet, const PlantState& state,
                      const ThrustCommand& command, double h);

enum class FlightEnd { ground, time_limit };

struct FlightSegment {
    std::vector<PlantState> states;  // the start, then one per step; the last at the end
    FlightEnd end = FlightEnd::time_limit;
};

// Flies from `start` until `until` (s) in steps of at most `step`, or until
// the vehicle reaches the ground (height 0, moving down): the last state is
// then interpolated to the crossing. A vehicle that starts on or below the
// ground has landed already.
FlightSegment fly(const Engine& engine, const Planet& planet, const PlantState& start, const ThrustCommand& command,
                  double until, double step);

}  // namespace vexal
