#pragma once
// Control between plans: tracking the plan in force with feedback on the
// navigated error from the plan's state, and the terminal descent from the
// gate to the ground. Both give a thrust acceleration; `limited_thrust`
// makes it a thrust the engine can give within the pointing limit.
#include "vexal/fixed_horizon.hpp"
#include "vexal/navigation.hpp"

namespace vexal {

struct ControlOptions {
    // Hz: the command is renewed at this rate. 0: between re-plans the
    // plan's thrust is flown as planned, without feedback (the terminal
    // descent then runs at 10 Hz).
    double rate = 10.0;
    // rad/s: the tracking loop's natural frequency w. The gains are the
    // LQR's on the double integrator e'' = a with cost e^2 w^4 + a^2:
    // a = -w^2 e_r - sqrt(2) w e_v per axis, damping 0.707. At 0.5 rad/s a
    // 1 m error asks 0.25 m/s^2, a few percent of the thrust, and the loop
    // settles in about 12 s, slower than the filter and than re-planning's
    // 2 s so that it follows the plan rather than the noise.
    double bandwidth = 0.5;
};

// The plan's position, velocity and thrust acceleration `t` s after its
// start, the thrust acceleration held to first order between nodes as the
// program's dynamics hold it (the planet's turning taken at the node);
// before the first node the first, after the last the last.
struct Reference {
    Vec3 position{};
    Vec3 velocity{};
    Vec3 acceleration{};
};
Reference plan_reference(const Trajectory& plan, double t, const Vec3& gravity, const Vec3& rotation);

// The feedback acceleration on the navigated error from the reference.
Vec3 tracking_feedback(const Reference& reference, const NavigatedState& navigated, double bandwidth);

// The engine's range as guidance believes it (N, of the thrust given) and
// the pointing limit (rad from vertical; pi/2 or more: none).
struct ThrustLimits {
    double min_thrust = 0.0;
    double max_thrust = 0.0;
    double max_angle = 2.0;
};

// The thrust (N) that gives the thrust acceleration `acceleration` at
// `mass`, turned no further from vertical than the pointing limit (its
// vertical part kept, the horizontal cut) and held in the engine's range.
// With `may_cut`, a thrust asked below the engine's floor is the floor if
// it is at least half of it, else none (the engine cut): a vehicle whose
// floor outweighs it can still come down, the engine on and off about the
// thrust asked.
Vec3 limited_thrust(const Vec3& acceleration, double mass, const ThrustLimits& limits, bool may_cut = false);

// From the gate to the ground: straight down at `speed` (m/s), the
// horizontal velocity nulled and the vehicle held over `target`. The
// velocity is controlled by proportional and integral feedback (the
// integral takes up what the mass and engine estimates leave), the
// horizontal position by a slower outer loop.
class TerminalDescent {
public:
    TerminalDescent(double speed, const Vec3& target, const Vec3& gravity) : speed_(speed), target_(target),
        gravity_(gravity) {}
    // The thrust acceleration to hold over the next `period` s.
    Vec3 acceleration(const NavigatedState& navigated, double period);

private:
    double speed_;
    Vec3 target_, gravity_;
    Vec3 integral_{};
};

}  // namespace vexal
