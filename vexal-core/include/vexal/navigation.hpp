#pragma once
// What guidance believes of the vehicle's state: a linear Kalman filter
// over position, velocity and the accelerometer's bias (each axis its own
// three states: no instrument couples the axes), propagated with the
// accelerometer's specific force every integration step and updated with
// the fixes. A fix whose innovation fails the chi-square test (99.9 %) is
// rejected: a biased or failing instrument is outvoted by the others and
// by the filter's own prediction. Without the filter, guidance takes a raw
// position and velocity reading whenever it asks (the old navigation).
#include <array>
#include <vector>

#include "vexal/sensors.hpp"

namespace vexal {

struct NavigationOptions {
    bool filter = true;  // false: a raw reading each time guidance asks, no filter
};

// The navigated state and its 1-sigma uncertainty per axis (the square
// root of the covariance's diagonal).
struct NavigatedState {
    Vec3 position{};
    Vec3 velocity{};
    Vec3 position_sigma{};
    Vec3 velocity_sigma{};
};

// What the filter did with the fixes, over the flight.
struct FixCounts {
    unsigned taken = 0;
    unsigned rejected = 0;
};

class Navigator {
public:
    // Starts from the true state at ignition as a first fix of each kind
    // gives it (the fixes' and the velocimeter's noise; exact without
    // them), believing in `gravity` and the planet's `rotation`.
    Navigator(const NavigationOptions& options, Instruments instruments, const Vec3& gravity, const Vec3& rotation,
              const PlantState& ignition, std::uint64_t seed);

    // Follows the vehicle along the true states `steps` (the first where it
    // was at the last call) in the true `world`.
    // One navigated state per step after the first is appended to `record`.
    void advance(const Planet& world, const std::vector<PlantState>& steps, std::vector<NavigatedState>& record);

    // The state guidance navigates by now: the filter's estimate, or
    // without the filter a fresh raw reading.
    NavigatedState read();
    // The state as recorded beside the truth: the estimate, or the truth
    // with the errors of the last raw reading.
    const NavigatedState& current() const { return current_; }

    // The planet's gravity as the filter has measured it. A steady force
    // the filter does not model is either the accelerometer's bias or an
    // error of the gravity believed, and no measurement tells them apart:
    // the estimate is shared between them as their uncertainties before the
    // flight are (an accelerometer's bias is known to mg, the local gravity
    // to percent). Without the filter, the gravity believed.
    Vec3 gravity() const;

    // The specific force over each step of the last advance, the
    // accelerometer's share of the estimated bias taken out, with the
    // step's start and length: what the engine gave, as the vehicle felt it.
    struct Felt {
        double t = 0.0, h = 0.0;
        Vec3 force{};
    };
    const std::vector<Felt>& felt() const { return felt_; }
    const FixCounts& counts() const { return counts_; }
    bool filtered() const { return options_.filter; }

private:
    using Square = std::array<std::array<double, 3>, 3>;  // (position, velocity, bias) of one axis
    void propagate(const Vec3& force, double h);
    bool update(const Reading& reading);
    void publish();

    NavigationOptions options_;
    Instruments instruments_;
    Vec3 gravity_, rotation_;
    PlantState truth_;  // the last true state: raw readings are taken of it
    std::array<std::array<double, 3>, 3> x_{};  // per axis: position, velocity, bias
    Vec3 gravity_share_{};  // per axis: the share of the bias state that is the gravity's error
    std::array<Square, 3> p_{};
    NavigatedState current_;
    std::vector<Felt> felt_;
    std::vector<Reading> readings_;
    FixCounts counts_;
    unsigned fixes_rejected_in_a_row_ = 0;
};

}  // namespace vexal
