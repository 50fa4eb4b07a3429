#pragma once
// The translational dynamics in the frame that turns with the planet:
// r'' = u + g - 2 w x r' - w x (w x r), w the planet's angular velocity,
// u the thrust acceleration held to first order between nodes. Over one
// step of length dt the state x = (r, v) moves exactly as
//   x_{k+1} = phi x_k + gamma0 u_k + gamma1 u_{k+1} + (gamma0 + gamma1) g.
#include <array>

#include "vexal/config.hpp"

namespace vexal {

struct StepMatrices {
    std::array<std::array<double, 6>, 6> phi{};     // rows: r then v; columns: r then v
    std::array<std::array<double, 3>, 6> gamma0{};  // weight of u_k
    std::array<std::array<double, 3>, 6> gamma1{};  // weight of u_{k+1}
    std::array<double, 6> gravity{};                // the constant term
};

// The step of length dt for angular velocity `rotation` (rad/s) and
// gravity g, from the matrix exponential of the system augmented with the
// thrust and its rate. Accurate to a few units of rounding for any finite
// w dt; w = 0 gives the closed form of the still planet up to rounding.
StepMatrices step_matrices(const Vec3& rotation, const Vec3& gravity, double dt);

// The planet's apparent acceleration at r moving at v: -2 w x v - w x (w x r).
Vec3 rotation_acceleration(const Vec3& rotation, const Vec3& position, const Vec3& velocity);

}  // namespace vexal
