#pragma once
// Flying a plan: the thrust it commands over time.
#include "vexal/control.hpp"
#include "vexal/fixed_horizon.hpp"
#include "vexal/navigation.hpp"
#include "vexal/plant.hpp"
#include "vexal/sensors.hpp"
#include "vexal/touchdown.hpp"

namespace vexal {

// The plan's thrust (u_k exp(z_k), N) at time t after `start`, held to
// first order between its nodes as the program's dynamics hold the thrust
// acceleration; before the first node the first, after the last none (the
// plan has landed: the engine is cut).
ThrustCommand planned_thrust(const Trajectory& plan, double start = 0.0);

}  // namespace vexal

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexal {

// What the world does differently from what the planner assumes; every
// error is off by default and drawn from `seed`.
struct FlightErrors {
    double thrust_bias = 0.0;         // fraction of the commanded thrust (-0.02: 2 % short)
    double thrust_noise = 0.0;        // 1-sigma fraction, drawn anew every second of flight
    double misalignment_deg = 0.0;    // thrust direction off the command, about an axis fixed in the body
    double isp_error = 0.0;           // fraction: the true specific impulse is (1 + isp_error) times the planned
    double initial_mass_error = 0.0;  // kg of fuel more than the planner assumes (the fuel load's error)
    double dry_mass_error = 0.0;      // kg of dry mass more than the planner assumes
    double gravity_error = 0.0;       // fraction: the true gravity is (1 + gravity_error) times the planned
    // m, 1 sigma per axis of each position fix (and of the estimate at
    // ignition); without the filter, of the position guidance reads.
    double position_noise = 0.0;
    double velocity_noise = 0.0;      // m/s, likewise of the velocimeter
    double engine_lag = 0.0;          // s, the engine's first-order time constant
    // An engine fault: at thrust_loss_time (s of flight) the engine loses
    // this share of its thrust, its limits included (0.25: one engine of
    // four out). The engines' health monitoring tells guidance 0.2 s later
    // (it re-plans at once); a loss it is not told of (a weaker engine) it
    // reads from what the accelerometer feels.
    double thrust_loss = 0.0;
    double thrust_loss_time = 0.0;
    Vec3 rotation_error{};            // rad/s: the planet turns at the plans' rotation plus this
    std::uint64_t seed = 0;
};

// How a re-plan takes its time of flight.
enum class ReplanHorizon {
    fixed,     // the time the plan in force has left
    searched,  // that time, and if no plan lands in it, the best between 0.8
               // and 1.25 times it (the fast search) before the reserve is spent
};

struct GuidanceOptions {
    double replan_period = 2.0;  // s between re-plans; 0: fly the first plan open loop
    bool pointing = true;        // the pointing limit in every plan
    double step = 0.01;          // s, the plant's integration step
    // No re-plan with less than this left of the current plan (s): the last
    // seconds are flown as planned.
    double final_hold = 2.0;
    // The share of the engine's top thrust every plan leaves in reserve, for
    // the guidance to make up what the engine falls short of.
    double thrust_margin = 0.0;
    // The planet's angular velocity, rad/s, in the configuration's frame:
    // every plan and the plant have it (the plant's is off by
    // FlightErrors::rotation_error).
    Vec3 rotation{};
    // A re-plan that fails is tried again with the reserve spent (at the
    // time left, then searched), then as the nearest landing. A plan that
    // reaches the ground before its last node counts as failed.
    ReplanHorizon replan_horizon = ReplanHorizon::searched;
    // Still above the ground when the last plan has run out (behind it):
    // descend at this speed (m/s) under velocity feedback until touchdown
    // rather than fall; 0 cuts the engine at the plan's end.
    double terminal_speed = 1.0;
    // A gate this high (m) above the target: the plans end there, moving
    // down at terminal_speed, and the terminal descent lands from it, so
    // that the touchdown's speed is the descent's whatever the height
    // navigation gave the last plan. 0: the plans end on the ground.
    double terminal_height = 5.0;
    // The instruments, the filter, and the control between re-plans.
    Sensors sensors;
    NavigationOptions navigation;
    ControlOptions control;
    // Asked between steps of the flight and inside its solves; true ends
    // the flight (outcome interrupted).
    const StopCheck* stop = nullptr;
    // The plans' solver (on the quick path, with its fallbacks).
    SolverChoice solver = kDefaultSolver;
    // What the touchdown is judged by: within them the flight has landed,
    // outside them it is a hard landing.
    LandingLimits limits;
};

// The options' numbers by name, each within the range it is modelled for
// (check_flight): the flight then ends in bounded time.
struct GuidanceNumber {
    const char* name;
    double& (*field)(GuidanceOptions&);
    double low, high;
};
inline constexpr GuidanceNumber kGuidanceNumbers[] = {
    {"step", [](GuidanceOptions& o) -> double& { return o.step; }, 1e-4, 1.0},
    {"final_hold", [](GuidanceOptions& o) -> double& { return o.final_hold; }, 0.0, 1e6},
    {"thrust_margin", [](GuidanceOptions& o) -> double& { return o.thrust_margin; }, 0.0, 0.5},
    {"terminal_speed", [](GuidanceOptions& o) -> double& { return o.terminal_speed; }, 0.0, 100.0},
    {"terminal_height", [](GuidanceOptions& o) -> double& { return o.terminal_height; }, 0.0, 1000.0},
    {"control_rate", [](GuidanceOptions& o) -> double& { return o.control.rate; }, 0.0, 1000.0},
    {"control_bandwidth", [](GuidanceOptions& o) -> double& { return o.control.bandwidth; }, 1e-3, 100.0},
};

// How a plan of the flight was made.
enum class PlanSource {
    searched,  // at ignition: the time-of-flight search
    replanned, // from the navigated state (replan_horizon says over what time)
    reserve,   // that failed; with the thrust reserve spent (the time left, then searched)
    nearest,   // that failed; the nearest landing over the time the current plan has left
    kept,      // that failed too; the current plan flown on
};

struct PlanEvent {
    double t = 0.0;             // s, flight time at which it was asked for
    PlanSource source = PlanSource::searched;
    double seconds = 0.0;       // wall time it took
    double touchdown_time = 0;  // s, flight time of the plan's last node
    double engine = 1.0;        // the engine's thrust per command as guidance read it then
};

// landed: on the ground within the limits; hard_landing: on the ground
// outside them; the others never touched down.
enum class FlightOutcome { landed, time_limit, no_plan, interrupted, hard_landing };

struct Flight {
    FlightOutcome outcome = FlightOutcome::no_plan;
    std::string message;              // why there was no plan at ignition
    std::vector<PlantState> history;  // the true state, every integration step
    // What guidance believed at each of those steps, and its uncertainty.
    std::vector<NavigatedState> navigation;
    FixCounts fixes;                  // the fixes the filter took and rejected
    std::vector<PlanEvent> plans;
    Trajectory first_plan;            // the plan made at ignition
    double planned_fuel = 0.0;        // kg, of the first plan
    // s, flight time at which the terminal descent began (behind the last
    // plan), if it did.
    std::optional<double> terminal_descent;
    // The state at the ground and its figures: only when the flight
    // touched down (landed or hard_landing).
    std::optional<Touchdown> touchdown;
};

// Flies the descent of `config` under guidance: plans at ignition from the
// navigated state (the fast search, or the configured time of flight),
// tracks the plan in force at the control rate, and every replan_period
// re-plans from the navigated state with the time the current plan has left
// and the mass guidance believes, falling back to the nearest landing and
// then to the plan in force; behind the last plan (at the gate) the terminal
// descent lands. Guidance sees the vehicle only through its instruments.
// Deterministic for a given seed.
// Precondition: the configuration passed checked_for_planning.
Flight simulate(const Config& config, const GuidanceOptions& options = {}, const FlightErrors& errors = {});

// The flight's options and errors, each within the range it is modelled for
// (see FlightErrors), else an error of kind invalid_input naming the field.
// Every value that passes flies to an end in bounded time.
Result<void> check_flight(const Config& config, const GuidanceOptions& options, const FlightErrors& errors);

}  // namespace vexal
