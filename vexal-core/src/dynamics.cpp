#include "vexal/dynamics.hpp"

#include <algorithm>
#include <cmath>

namespace vexal {
namespace {

// The augmented state (x, u, u_{k+1} - u_k) over the step's fraction of
// time: 6 + 3 + 3.
constexpr int kSize = 12;
using Square = std::array<std::array<double, kSize>, kSize>;

Square product(const Square& a, const Square& b) {
    Square c{};
    for (int i = 0; i < kSize; ++i) {
        for (int k = 0; k < kSize; ++k) {
            if (a[i][k] == 0.0) continue;
            for (int j = 0; j < kSize; ++j) c[i][j] += a[i][k] * b[k][j];
        }
    }
    return c;
}

// exp(m) by scaling and squaring: the Taylor series of m / 2^s, whose
// norm is at most 1/2, to 18 terms (truncation below 1e-22), squared s times.
Square exponential(Square m) {
    double size = 0.0;  // the largest absolute row sum
    for (const auto& row : m) {
        double sum = 0.0;
        for (double v : row) sum += std::abs(v);
        size = std::max(size, sum);
    }
    int squarings = 0;
    if (std::isfinite(size) && size > 0.5) squarings = static_cast<int>(std::ceil(std::log2(size / 0.5)));
    const double scale = std::ldexp(1.0, -squarings);  // a power of two: exact
    for (auto& row : m) {
        for (double& v : row) v *= scale;
    }
    Square sum{}, term{};
    for (int i = 0; i < kSize; ++i) sum[i][i] = term[i][i] = 1.0;
    for (int k = 1; k <= 18; ++k) {
        term = product(term, m);
        for (auto& row : term) {
            for (double& v : row) v /= k;
        }
        for (int i = 0; i < kSize; ++i) {
            for (int j = 0; j < kSize; ++j) sum[i][j] += term[i][j];
        }
    }
    for (int s = 0; s < squarings; ++s) sum = product(sum, sum);
    return sum;
}

}  // namespace

Vec3 rotation_acceleration(const Vec3& w, const Vec3& r, const Vec3& v) {
    const auto cross = [](const Vec3& a, const Vec3& b) {
        return Vec3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    };
    const Vec3 coriolis = cross(w, v), centrifugal = cross(w, cross(w, r));
    return {-2.0 * coriolis[0] - centrifugal[0], -2.0 * coriolis[1] - centrifugal[1],
            -2.0 * coriolis[2] - centrifugal[2]};
}

StepMatrices step_matrices(const Vec3& rotation, const Vec3& gravity, double dt) {
    // d/dtau (x, u, d) = (dt (A x + B u), d, 0) with tau = t / dt and
    // d = u_{k+1} - u_k; its exponential's top rows are (phi, P, Q) and
    // x_{k+1} = phi x_k + (P - Q) u_k + Q u_{k+1}.
    Square m{};
    for (int j = 0; j < 3; ++j) {
        m[j][3 + j] = dt;      // r' = v
        m[3 + j][6 + j] = dt;  // v' = u + ...
        m[6 + j][9 + j] = 1.0;
        // The columns of A's lower rows: the apparent acceleration of a
        // unit position and of a unit velocity.
        Vec3 unit{};
        unit[j] = 1.0;
        const Vec3 of_position = rotation_acceleration(rotation, unit, Vec3{});
        const Vec3 of_velocity = rotation_acceleration(rotation, Vec3{}, unit);
        for (int i = 0; i < 3; ++i) {
            m[3 + i][j] = dt * of_position[i];
            m[3 + i][3 + j] = dt * of_velocity[i];
        }
    }
    const Square e = exponential(m);
    StepMatrices out;
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j) out.phi[i][j] = e[i][j];
        double g = 0.0;
        for (int j = 0; j < 3; ++j) {
            out.gamma0[i][j] = e[i][6 + j] - e[i][9 + j];
            out.gamma1[i][j] = e[i][9 + j];
            g += e[i][6 + j] * gravity[j];  // gamma0 + gamma1 = P
        }
        out.gravity[i] = g;
    }
    return out;
}

}  // namespace vexal
