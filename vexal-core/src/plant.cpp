#include "vexal/plant.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "vexal/dynamics.hpp"

namespace vexal {
namespace {

Vec3 operator+(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 operator*(double s, const Vec3& a) { return {s * a[0], s * a[1], s * a[2]}; }

// The state's rates: velocity, acceleration and mass flow under `given`,
// the engine's thrust at that moment.
struct Rates {
    Vec3 position, velocity;
    double mass;
};

Rates rates(const Engine& engine, const Planet& planet, const PlantState& s, const Vec3& given) {
    // Out of fuel, the engine gives nothing whatever its lag holds.
    const bool burning = s.mass > engine.dry_mass;
    const Vec3 acting = burning ? given : Vec3{};
    const Vec3 turning = rotation_acceleration(planet.rotation, s.position, s.velocity);  // zero on a still planet
    return {s.velocity, (1.0 / s.mass) * acting + planet.gravity + turning,
            burning ? -engine.fuel_consumption * norm(acting) : 0.0};
}

PlantState advanced(const PlantState& s, const Rates& r, double h) {
    return {s.t + h, s.position + h * r.position, s.velocity + h * r.velocity, s.mass + h * r.mass, s.thrust};
}

// The lagging engine's thrust over one step, in closed form: T' = (W - T) /
// lag with W the quadratic through the thrust the engine is asked for at
// the step's start, middle and end. Exact for that W whatever the lag, so
// that a lag far shorter than the step is as stable as none.
class LaggedThrust {
public:
    LaggedThrust(const Vec3& from, const Vec3& start, const Vec3& middle, const Vec3& end, double h, double lag)
        : lag_(lag) {
        for (int j = 0; j < 3; ++j) {
            w_[j] = start[j];
            b_[j] = (4.0 * middle[j] - 3.0 * start[j] - end[j]) / h;
            c_[j] = 2.0 * (start[j] - 2.0 * middle[j] + end[j]) / (h * h);
            // The forced response at 0, W - lag W' + lag^2 W'', and the
            // start's departure from it, which decays.
            gap_[j] = from[j] - (w_[j] - lag * b_[j] + 2.0 * lag * lag * c_[j]);
        }
    }

    Vec3 at(double tau) const {
        const double decay = std::exp(-tau / lag_);
        Vec3 out;
        for (int j = 0; j < 3; ++j) {
            const double wanted = w_[j] + b_[j] * tau + c_[j] * tau * tau;
            const double rate = b_[j] + 2.0 * c_[j] * tau;
            out[j] = wanted - lag_ * rate + 2.0 * lag_ * lag_ * c_[j] + gap_[j] * decay;
        }
        return out;
    }

private:
    double lag_;
    Vec3 w_{}, b_{}, c_{}, gap_{};
};

// The engine as it is at time t: after its loss, a share of itself.
Engine in_force(const Engine& engine, double t) {
    if (!(t >= engine.loss_time)) return engine;
    Engine out = engine;
    out.scale_error = (1.0 + engine.scale_error) * engine.remaining - 1.0;
    return out;
}

}  // namespace

Vec3 engine_thrust(const Engine& engine, const Vec3& command, double mass) {
    if (mass <= engine.dry_mass) return {};
    const double size = norm(command);
    if (!(size > 0.0)) return {};
    const double given = (1.0 + engine.scale_error) * std::clamp(size, engine.min_thrust, engine.max_thrust);
    const Vec3 along = (given / size) * command;
    return engine.misalignment != 0.0 ? misaligned(along, engine.misalignment, engine.misalignment_toward) : along;
}

Vec3 misaligned(const Vec3& thrust, double angle, const Vec3& toward) {
    const double size = norm(thrust);
    if (!(size > 0.0)) return thrust;
    const Vec3 d = (1.0 / size) * thrust;
    const double along = d[0] * toward[0] + d[1] * toward[1] + d[2] * toward[2];
    Vec3 side = toward + (-along) * d;
    double width = norm(side);
    if (width < 1e-9) {  // commanded along the body axis itself: tip toward up instead
        side = Vec3{0.0, 0.0, 1.0} + (-d[2]) * d;
        width = norm(side);
    }
    return (size * std::cos(angle)) * d + (size * std::sin(angle) / width) * side;
}

PlantState plant_step(const Engine& rated, const Planet& planet, const PlantState& s, const ThrustCommand& command,
                      double h) {
    const Engine engine = in_force(rated, s.t);
    const Vec3 start = command(s.t), middle = command(s.t + 0.5 * h), end = command(s.t + h);
    Vec3 given[3] = {engine_thrust(engine, start, s.mass), engine_thrust(engine, middle, s.mass),
                     engine_thrust(engine, end, s.mass)};
    std::optional<LaggedThrust> lagged;
    if (engine.lag > 0.0) {
        lagged.emplace(s.thrust, given[0], given[1], given[2], h, engine.lag);
        given[0] = s.thrust;
        given[1] = lagged->at(0.5 * h);
        given[2] = lagged->at(h);
    }
    const Rates k1 = rates(engine, planet, s, given[0]);
    const Rates k2 = rates(engine, planet, advanced(s, k1, 0.5 * h), given[1]);
    const Rates k3 = rates(engine, planet, advanced(s, k2, 0.5 * h), given[1]);
    const Rates k4 = rates(engine, planet, advanced(s, k3, h), given[2]);
    const auto sum = [](const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
        return (1.0 / 6.0) * (a + 2.0 * b + 2.0 * c + d);
    };
    PlantState next = advanced(s, {sum(k1.position, k2.position, k3.position, k4.position),
                                   sum(k1.velocity, k2.velocity, k3.velocity, k4.velocity),
                                   (k1.mass + 2.0 * k2.mass + 2.0 * k3.mass + k4.mass) / 6.0},
                               h);
    next.thrust = lagged ? given[2] : engine_thrust(engine, end, next.mass);
    return next;
}

namespace {

// The state at the ground crossing inside the step from a to b: the height
// is the cubic through both ends' heights and vertical speeds, its root
// found by bisection; the rest is interpolated along the step.
PlantState at_ground(const PlantState& a, const PlantState& b) {
    const double h = b.t - a.t;
    const auto height = [&](double f) {
        const double f2 = f * f, f3 = f2 * f;
        return (2 * f3 - 3 * f2 + 1) * a.position[2] + (f3 - 2 * f2 + f) * h * a.velocity[2] +
               (-2 * f3 + 3 * f2) * b.position[2] + (f3 - f2) * h * b.velocity[2];
    };
    double lo = 0.0, hi = 1.0;
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        (height(mid) > 0.0 ? lo : hi) = mid;
    }
    const double f = hi, g = 1.0 - f;
    const double f2 = f * f, f3 = f2 * f;
    PlantState out;
    out.t = a.t + f * h;
    for (int j = 0; j < 3; ++j) {
        // Cubic Hermite for the position, linear for the rest.
        out.position[j] = (2 * f3 - 3 * f2 + 1) * a.position[j] + (f3 - 2 * f2 + f) * h * a.velocity[j] +
                          (-2 * f3 + 3 * f2) * b.position[j] + (f3 - f2) * h * b.velocity[j];
        out.velocity[j] = g * a.velocity[j] + f * b.velocity[j];
        out.thrust[j] = g * a.thrust[j] + f * b.thrust[j];
    }
    out.position[2] = 0.0;
    out.mass = g * a.mass + f * b.mass;
    return out;
}

}  // namespace

FlightSegment fly(const Engine& engine, const Planet& planet, const PlantState& start, const ThrustCommand& command,
                  double until, double step) {
    FlightSegment out;
    out.states.push_back(start);
    if (start.position[2] <= 0.0) {
        out.end = FlightEnd::ground;
        return out;
    }
    while (out.states.back().t < until) {
        const PlantState& now = out.states.back();
        double h = std::min(step, until - now.t);
        // No step straddles the engine's loss either.
        if (now.t < engine.loss_time && now.t + h > engine.loss_time) h = engine.loss_time - now.t;
        PlantState next = plant_step(engine, planet, now, command, h);
        if (now.mass > engine.dry_mass && next.mass < engine.dry_mass) {
            // The tank runs dry inside the step: end the step there, where
            // the thrust stops, so that no step straddles the cut.
            for (int i = 0; i < 3 && next.mass != engine.dry_mass; ++i) {
                h *= (now.mass - engine.dry_mass) / (now.mass - next.mass);
                next = plant_step(engine, planet, now, command, h);
            }
            next.mass = engine.dry_mass;
            next.thrust = engine.lag > 0.0 ? next.thrust : Vec3{};
        }
        if (next.position[2] <= 0.0) {
            out.states.push_back(at_ground(now, next));
            out.end = FlightEnd::ground;
            return out;
        }
        // Land exactly on `until`, not a rounding short of it.
        if (until - next.t < 1e-12 * std::max(1.0, until)) next.t = until;
        out.states.push_back(next);
    }
    out.end = FlightEnd::time_limit;
    return out;
}

}  // namespace vexal
