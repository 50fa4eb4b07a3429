#include "vexal/navigation.hpp"

#include <cmath>

#include "vexal/dynamics.hpp"

namespace vexal {
namespace {

// The least uncertainty the filter grants a fix (1 sigma), so that a
// perfect instrument does not freeze it: m, m/s.
constexpr double kLeastPositionSigma = 0.01;
constexpr double kLeastVelocitySigma = 0.001;
// What the filter's model leaves out (the planet's gravity and rotation
// as believed, the step's constant force), as a white acceleration,
// m/s^2 per sqrt(Hz); and the bias's random walk, m/s^2 per sqrt(s).
constexpr double kModelNoise = 0.01;
constexpr double kBiasWalk = 1e-4;
// The bias's uncertainty at ignition is at least this (m/s^2).
constexpr double kLeastBiasSigma = 0.01;
// How well the planet's gravity is known before the flight: 1 sigma, a
// share of each of its components. The bias state takes a steady force the
// filter does not model, and this much of it is allowed for a gravity error.
constexpr double kGravitySigma = 0.05;
// The position fixes are the one absolute reference: after this many of
// them rejected in a row the filter, not the fixes, is taken to be wrong (a
// velocimeter bias of a few sigma can pull it off), and its position and
// velocity uncertainty is widened to take the next.
constexpr unsigned kMostFixesRejected = 5;
// The chi-square test's bounds at 99.9 %, for one and three degrees of freedom.
constexpr double kGate1 = 10.828;
constexpr double kGate3 = 16.266;

}  // namespace

Navigator::Navigator(const NavigationOptions& options, Instruments instruments, const Vec3& gravity,
                     const Vec3& rotation, const PlantState& ignition, std::uint64_t seed)
    : options_(options), instruments_(std::move(instruments)), gravity_(gravity), rotation_(rotation),
      truth_(ignition) {
    std::mt19937_64 random = seeded_stream(seed, 6);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double sr = instruments_.position_noise(), sv = instruments_.velocity_noise();
    const double sb = std::max(instruments_.sensors().accelerometer.bias, kLeastBiasSigma);
    for (int j = 0; j < 3; ++j) {
        x_[j] = {ignition.position[j] + sr * normal(random), ignition.velocity[j] + sv * normal(random), 0.0};
        p_[j] = {};
        p_[j][0][0] = std::max(sr, kLeastPositionSigma) * std::max(sr, kLeastPositionSigma);
        p_[j][1][1] = std::max(sv, kLeastVelocitySigma) * std::max(sv, kLeastVelocitySigma);
        const double sg = kGravitySigma * gravity[j];
        p_[j][2][2] = sb * sb + sg * sg;
        gravity_share_[j] = sg * sg / (sb * sb + sg * sg);
    }
    publish();
}

Vec3 Navigator::gravity() const {
    if (!options_.filter) return gravity_;
    Vec3 g;
    // The filter's model: acceleration = force - bias + gravity believed.
    for (int j = 0; j < 3; ++j) g[j] = gravity_[j] - gravity_share_[j] * x_[j][2];
    return g;
}

void Navigator::publish() {
    for (int j = 0; j < 3; ++j) {
        current_.position[j] = x_[j][0];
        current_.velocity[j] = x_[j][1];
        current_.position_sigma[j] = std::sqrt(p_[j][0][0]);
        current_.velocity_sigma[j] = std::sqrt(p_[j][1][1]);
    }
}

void Navigator::propagate(const Vec3& force, double h) {
    Vec3 r, v;
    for (int j = 0; j < 3; ++j) r[j] = x_[j][0], v[j] = x_[j][1];
    const Vec3 turning = rotation_acceleration(rotation_, r, v);
    const double q = kModelNoise * kModelNoise + std::pow(instruments_.sensors().accelerometer.noise, 2);
    for (int j = 0; j < 3; ++j) {
        auto& x = x_[j];
        const double a = force[j] - x[2] + gravity_[j] + turning[j];
        x[0] += h * x[1] + 0.5 * h * h * a;
        x[1] += h * a;
        // P <- F P F' + Q, F = [1 h -h^2/2; 0 1 -h; 0 0 1].
        const Square f{{{1.0, h, -0.5 * h * h}, {0.0, 1.0, -h}, {0.0, 0.0, 1.0}}};
        const Square& p = p_[j];
        Square fp{}, next{};
        for (int a1 = 0; a1 < 3; ++a1) {
            for (int b = 0; b < 3; ++b) {
                for (int k = 0; k < 3; ++k) fp[a1][b] += f[a1][k] * p[k][b];
            }
        }
        for (int a1 = 0; a1 < 3; ++a1) {
            for (int b = 0; b < 3; ++b) {
                for (int k = 0; k < 3; ++k) next[a1][b] += fp[a1][k] * f[b][k];
            }
        }
        next[0][0] += q * h * h * h / 3.0;
        next[0][1] += q * h * h / 2.0;
        next[1][0] += q * h * h / 2.0;
        next[1][1] += q * h;
        next[2][2] += kBiasWalk * kBiasWalk * h;
        p_[j] = next;
    }
}

bool Navigator::update(const Reading& reading) {
    const int state = reading.kind == Reading::Kind::velocity ? 1 : 0;
    const int first = reading.kind == Reading::Kind::height ? 2 : 0;
    const double least = state == 1 ? kLeastVelocitySigma : kLeastPositionSigma;
    const double r = std::max(reading.sigma, least) * std::max(reading.sigma, least);
    double nis = 0.0;
    Vec3 innovation{}, spread{};
    for (int j = first; j < 3; ++j) {
        innovation[j] = reading.value[j] - x_[j][state];
        spread[j] = p_[j][state][state] + r;
        nis += innovation[j] * innovation[j] / spread[j];
    }
    if (reading.kind == Reading::Kind::position && !(nis <= kGate3) &&
        ++fixes_rejected_in_a_row_ >= kMostFixesRejected) {
        for (int j = 0; j < 3; ++j) {
            Square& p = p_[j];
            const double widened = innovation[j] * innovation[j] + r;
            const double scale = widened > p[0][0] ? std::sqrt(widened / p[0][0]) : 1.0;
            for (int k = 0; k < 2; ++k) {
                for (int m = 0; m < 3; ++m) {
                    p[k][m] *= scale;
                    p[m][k] *= scale;
                }
            }
            spread[j] = p[0][0] + r;
        }
        nis = 0.0;  // taken
    }
    if (!(nis <= (first == 2 ? kGate1 : kGate3))) return false;
    if (reading.kind == Reading::Kind::position) fixes_rejected_in_a_row_ = 0;
    for (int j = first; j < 3; ++j) {
        Square& p = p_[j];
        std::array<double, 3> gain{};
        for (int k = 0; k < 3; ++k) gain[k] = p[k][state] / spread[j];
        const std::array<double, 3> row = p[state];
        for (int k = 0; k < 3; ++k) {
            x_[j][k] += gain[k] * innovation[j];
            for (int m = 0; m < 3; ++m) p[k][m] -= gain[k] * row[m];
        }
        for (int k = 0; k < 3; ++k) {
            for (int m = 0; m < k; ++m) p[k][m] = p[m][k] = 0.5 * (p[k][m] + p[m][k]);
        }
    }
    return true;
}

void Navigator::advance(const Planet& world, const std::vector<PlantState>& steps,
                        std::vector<NavigatedState>& record) {
    felt_.clear();
    for (std::size_t i = 1; i < steps.size(); ++i) {
        const PlantState &a = steps[i - 1], &b = steps[i];
        if (!options_.filter) {
            // The last reading's errors, carried along with the truth.
            for (int j = 0; j < 3; ++j) {
                current_.position[j] += b.position[j] - truth_.position[j];
                current_.velocity[j] += b.velocity[j] - truth_.velocity[j];
            }
            truth_ = b;
            record.push_back(current_);
            continue;
        }
        truth_ = b;
        const double h = b.t - a.t;
        const Vec3 force = instruments_.specific_force(world, a, b);
        Vec3 felt;
        for (int j = 0; j < 3; ++j) felt[j] = force[j] - (1.0 - gravity_share_[j]) * x_[j][2];
        felt_.push_back({a.t, h, felt});
        if (h > 0.0) propagate(force, h);
        readings_.clear();
        instruments_.fixes(a, b, readings_);
        for (const Reading& reading : readings_) ++(update(reading) ? counts_.taken : counts_.rejected);
        publish();
        record.push_back(current_);
    }
}

NavigatedState Navigator::read() {
    if (options_.filter) return current_;
    instruments_.raw(truth_, current_.position, current_.velocity);
    current_.position_sigma.fill(instruments_.position_noise());
    current_.velocity_sigma.fill(instruments_.velocity_noise());
    return current_;
}

}  // namespace vexal
