#include "vexal/assemble.hpp"

#include <algorithm>
#include <cmath>
#include <array>
#include <span>
#include <limits>
#include <string>

#include "vexal/dynamics.hpp"
#include "vexal/error.hpp"

namespace vexal {
namespace {

constexpr double kDegToRad = 0.017453292519943295;

using Entry = std::pair<std::uint64_t, double>;

// Where the row builders put the program's rows, in program order: a cone
// begins, then its rows. Sinks: the rows listed (equality_rows), the shape
// counted and the values written in place (assemble_into), so that one
// builder serves both and a kept program is refilled without allocating.
template <class Sink>
void put(Sink& sink, std::initializer_list<Entry> coeffs, double rhs) {
    sink.row(std::span<const Entry>(coeffs.begin(), coeffs.size()), rhs);
}

// The reference log-mass z0 and the thrust-bound scales c1, c2 of node k.
struct NodeReference {
    double z0, c1, c2;
};

NodeReference node_reference(const Spacecraft& sc, double dt, std::uint64_t k) {
    const double rho1 = sc.real_max_thrust * sc.min_thrust_pct;
    const double rho2 = sc.real_max_thrust * sc.max_thrust_pct;
    const double alpha = sc.fuel_consumption;
    const double dm = (alpha * dt) * rho2;
    const double z0 = std::log(sc.wet_mass - static_cast<double>(k) * dm);
    const double e = std::exp(-z0);
    return {z0, rho1 == 0.0 ? std::numeric_limits<double>::infinity() : 1.0 / (e * rho1), 1.0 / (rho2 * e)};
}

// Initial state and log-mass, dynamics, terminal state (one zero cone).
template <class Sink>
void put_equality_rows(Sink& sink, const Config& config, double dt, const ProgramOptions& options) {
    const Spacecraft& sc = config.spacecraft;
    const Vec3& g = config.environment.gravity;
    const std::uint64_t n = config.solver.n;
    if (n == 0) throw InternalError("equality_rows needs at least one node");
    const Layout at{n};

    const double d2 = dt * dt;
    const double cu0 = d2 / (-3.0);
    const double cu1 = d2 / (-6.0);
    const double cv = (-0.5) * dt;
    const double cm = (sc.fuel_consumption * dt) * 0.5;
    Vec3 bp, bv;
    for (int j = 0; j < 3; ++j) {
        bp[j] = (d2 * g[j]) * 0.5;
        bv[j] = g[j] * dt;
    }

    // A turning planet couples every component of the state: its step is
    // the matrix exponential's, written out in full so that the pattern is
    // the same at every dt (the kept solvers take new values only).
    const bool rotating = options.rotating();
    const StepMatrices step = rotating ? step_matrices(options.rotation, g, dt) : StepMatrices{};
    const auto state = [&at](std::uint64_t k, std::uint64_t i) {
        return i < 3 ? at.position(k, i) : at.velocity(k, i - 3);
    };

    sink.cone(ConeKind::Zero);
    for (std::uint64_t j = 0; j < 3; ++j) put(sink, {{at.position(0, j), 1.0}}, sc.initial_position[j]);
    for (std::uint64_t j = 0; j < 3; ++j) put(sink, {{at.velocity(0, j), 1.0}}, sc.initial_velocity[j]);
    put(sink, {{at.log_mass(0), 1.0}}, std::log(sc.wet_mass));
    for (std::uint64_t k = 0; k + 1 < n; ++k) {
        for (std::uint64_t i = 0; rotating && i < 6; ++i) {
            std::array<Entry, 13> r;
            std::size_t m = 0;
            r[m++] = {state(k + 1, i), 1.0};
            for (std::uint64_t j = 0; j < 6; ++j) r[m++] = {state(k, j), -step.phi[i][j]};
            for (std::uint64_t j = 0; j < 3; ++j) r[m++] = {at.thrust(k, j), -step.gamma0[i][j]};
            for (std::uint64_t j = 0; j < 3; ++j) r[m++] = {at.thrust(k + 1, j), -step.gamma1[i][j]};
            sink.row(r, step.gravity[i]);
        }
        for (std::uint64_t j = 0; !rotating && j < 3; ++j) {
            put(sink,
                {{at.position(k + 1, j), 1.0},
                 {at.position(k, j), -1.0},
                 {at.velocity(k, j), -dt},
                 {at.thrust(k, j), cu0},
                 {at.thrust(k + 1, j), cu1}},
                bp[j]);
        }
        for (std::uint64_t j = 0; !rotating && j < 3; ++j) {
            put(sink,
                {{at.velocity(k + 1, j), 1.0}, {at.velocity(k, j), -1.0}, {at.thrust(k, j), cv}, {at.thrust(k + 1, j), cv}},
                bv[j]);
        }
        put(sink, {{at.log_mass(k + 1), 1.0}, {at.log_mass(k), -1.0}, {at.slack(k), cm}, {at.slack(k + 1), cm}}, 0.0);
    }
    for (std::uint64_t j = options.landing == Landing::target ? 0 : 2; j < 3; ++j) {
        put(sink, {{at.position(n - 1, j), 1.0}}, sc.target_position[j]);
    }
    for (std::uint64_t j = 0; j < 3; ++j) put(sink, {{at.velocity(n - 1, j), 1.0}}, sc.target_velocity[j]);
}

// The cost-free parts, in program order: the nonnegative rows (ground when
// the glide slope is off, the upper thrust bounds and the floor, pointing),
// then the second-order cones (velocity, thrust slack, glide slope, lower
// thrust bound, landing off the target).
template <class Sink>
void put_cone_rows(Sink& sink, const Config& config, double dt, const ProgramOptions& options) {
    const Spacecraft& sc = config.spacecraft;
    const std::uint64_t n = config.solver.n;
    const Layout at = options.layout(n);
    const bool on_target = options.landing == Landing::target;
    const double rho1 = sc.real_max_thrust * sc.min_thrust_pct;
    const double z_dry = std::log(sc.wet_mass - sc.fuel);
    const double sin_gamma = std::sin(config.environment.glide_slope_angle_deg * kDegToRad);
    // Exactly one of ground rows and glide-slope cones bounds the height;
    // the choice is an exact comparison (NaN counts as a glide slope).
    const bool ground = sin_gamma == 0.0;

    sink.cone(ConeKind::Nonnegative);
    for (std::uint64_t k = 0; ground && k < n; ++k) put(sink, {{at.position(k, 2), -1.0}}, 0.0);
    // Upper bound: sigma <= rho2 e^-z, expanded to first order about z0 with
    // d = z - z0, is sigma <= mu2 (1 - d), i.e. z + sigma / mu2 <= z0 + 1.
    for (std::uint64_t k = 0; k < n; ++k) {
        const NodeReference ref = node_reference(sc, dt, k);
        put(sink, {{at.log_mass(k), 1.0}, {at.slack(k), ref.c2}}, ref.z0 + 1.0);
    }
    if (options.dry_mass_floor) put(sink, {{at.log_mass(n - 1), -1.0}}, -z_dry);
    if (options.pointing) {
        // n'u_k >= cos(theta) sigma_k with n the height axis.
        const double cos_theta = std::cos(config.environment.max_angle_deg * kDegToRad);
        for (std::uint64_t k = 0; k < n; ++k) put(sink, {{at.thrust(k, 2), -1.0}, {at.slack(k), cos_theta}}, 0.0);
    }

    for (std::uint64_t k = 0; k < n; ++k) {
        sink.cone(ConeKind::SecondOrder);
        put(sink, {}, sc.max_velocity);
        for (std::uint64_t j = 0; j < 3; ++j) put(sink, {{at.velocity(k, j), -1.0}}, 0.0);
    }
    for (std::uint64_t k = 0; k < n; ++k) {
        sink.cone(ConeKind::SecondOrder);
        put(sink, {{at.slack(k), -1.0}}, 0.0);
        for (std::uint64_t j = 0; j < 3; ++j) put(sink, {{at.thrust(k, j), -1.0}}, 0.0);
    }
    if (!ground) {
        const double g = -sin_gamma;
        if (on_target) {
            for (std::uint64_t k = 0; k < n; ++k) {
                sink.cone(ConeKind::SecondOrder);
                put(sink, {{at.position(k, 2), -1.0}}, 0.0);
                for (std::uint64_t j = 0; j < 3; ++j) put(sink, {{at.position(k, j), g}}, 0.0);
            }
        } else {
            // About the landing point r_N: z_k - z_N >= sin(gamma) |r_k - r_N|.
            // The last node's own cone is empty and left out.
            const std::uint64_t last = n - 1;
            for (std::uint64_t k = 0; k < last; ++k) {
                sink.cone(ConeKind::SecondOrder);
                put(sink, {{at.position(k, 2), -1.0}, {at.position(last, 2), 1.0}}, 0.0);
                for (std::uint64_t j = 0; j < 3; ++j) put(sink, {{at.position(k, j), g}, {at.position(last, j), sin_gamma}}, 0.0);
            }
        }
    }
    for (std::uint64_t k = 0; k < n; ++k) {
        sink.cone(ConeKind::SecondOrder);
        if (rho1 == 0.0) {
            // No throttle floor: the second-order expansion would carry an
            // infinite scale. Keep the block's shape but make it read
            // s = (sigma_k, 0, 0), which sigma_k >= |u_k| already implies.
            put(sink, {{at.slack(k), -1.0}}, 0.0);
            put(sink, {}, 0.0);
            put(sink, {}, 0.0);
            continue;
        }
        // Lower bound: sigma >= rho1 e^-z to second order is A sigma >= 1 - d + d^2/2
        // (A = 1 / mu1). With w = 2 A sigma + 2 d that is (w - 1)^2 >= (2d)^2 + (w - 3)^2
        // and w >= 1: the 3-cone (w - 1, 2d, w - 3) built below.
        const NodeReference ref = node_reference(sc, dt, k);
        const double two_a = ref.c1 * (-2.0);
        const double t = ref.z0 * (-2.0);
        put(sink, {{at.slack(k), two_a}, {at.log_mass(k), -2.0}}, t + (-1.0));
        put(sink, {{at.log_mass(k), -2.0}}, t);
        put(sink, {{at.slack(k), two_a}, {at.log_mass(k), -2.0}}, t + (-3.0));
    }
    if (options.landing == Landing::nearest || options.landing == Landing::within) {
        // (d, x_N - x_t, y_N - y_t): d the distance variable, or the radius.
        const Vec3& t = sc.target_position;
        sink.cone(ConeKind::SecondOrder);
        if (options.landing == Landing::nearest) {
            put(sink, {{at.landing_error(), -1.0}}, 0.0);
        } else {
            put(sink, {}, options.landing_radius);
        }
        put(sink, {{at.position(n - 1, 0), -1.0}}, -t[0]);
        put(sink, {{at.position(n - 1, 1), -1.0}}, -t[1]);
    }
}

// The rows listed, for the callers that read them one by one.
struct RowList {
    std::vector<Row> rows;
    void cone(ConeKind) {}
    void row(std::span<const Entry> coeffs, double rhs) { rows.push_back(Row{{coeffs.begin(), coeffs.end()}, rhs}); }
};

// The shape of the program: the cones, the rows and each column's count of
// stored entries (in colptr[c + 1]).
struct ShapeCount {
    Problem& problem;
    std::uint64_t rows = 0;
    void cone(ConeKind kind) { problem.cones.push_back({kind, 0}); }
    void row(std::span<const Entry> coeffs, double) {
        const std::uint64_t columns = problem.a.n;
        for (const auto& [c, w] : coeffs) {
            if (c >= columns) {
                throw InternalError("row " + std::to_string(rows) + " names column " + std::to_string(c) +
                                    ", past the " + std::to_string(columns) + " columns of the layout");
            }
            ++problem.a.colptr[c + 1];
        }
        ++problem.cones.back().dim;
        ++rows;
    }
};

// The values written where ShapeCount placed them: colptr[c] runs over
// column c as its entries arrive, in row order, and is shifted back after.
struct ValueFill {
    Problem& problem;
    std::uint64_t rows = 0;
    void cone(ConeKind) {}
    void row(std::span<const Entry> coeffs, double rhs) {
        for (const auto& [c, w] : coeffs) {
            const std::uint64_t at = problem.a.colptr[c]++;
            problem.a.rowval[at] = rows;
            problem.a.nzval[at] = w;
        }
        problem.b[rows++] = rhs;
    }
};

}  // namespace

ReferenceProfile reference_profile(const Config& config, double dt) {
    const std::uint64_t n = config.solver.n;
    ReferenceProfile p;
    p.z0.resize(n);
    p.c1.resize(n);
    p.c2.resize(n);
    for (std::uint64_t k = 0; k < n; ++k) {
        const NodeReference ref = node_reference(config.spacecraft, dt, k);
        p.z0[k] = ref.z0;
        p.c1[k] = ref.c1;
        p.c2[k] = ref.c2;
    }
    return p;
}

std::vector<Row> equality_rows(const Config& config, double dt, const ProgramOptions& options) {
    RowList list;
    list.rows.reserve(7 * config.solver.n + 6);
    put_equality_rows(list, config, dt, options);
    return std::move(list.rows);
}

void assemble_into(Problem& problem, const Config& config, double time_of_flight, const ProgramOptions& options) {
    const std::uint64_t n = config.solver.n;
    if (n == 0) throw InternalError("assemble: no program has zero nodes");
    const Layout at = options.layout(n);
    const std::uint64_t columns = at.columns();
    const double dt = time_of_flight / static_cast<double>(n);

    problem.q.assign(columns, 0.0);
    if (options.landing == Landing::nearest) {
        problem.q[at.landing_error()] = 1.0;
    } else {
        problem.q[at.log_mass(n - 1)] = -1.0;
    }
    problem.p.m = problem.p.n = columns;
    problem.p.colptr.assign(columns + 1, 0);
    problem.p.rowval.clear();
    problem.p.nzval.clear();

    // Two passes over the same builders: the shape, then the values.
    CscMatrix& a = problem.a;
    a.n = columns;
    a.colptr.assign(columns + 1, 0);
    problem.cones.clear();
    ShapeCount shape{problem};
    put_equality_rows(shape, config, dt, options);
    put_cone_rows(shape, config, dt, options);
    a.m = shape.rows;
    for (std::uint64_t c = 0; c < columns; ++c) a.colptr[c + 1] += a.colptr[c];
    a.rowval.resize(a.colptr[columns]);
    a.nzval.resize(a.colptr[columns]);
    problem.b.resize(a.m);
    ValueFill fill{problem};
    put_equality_rows(fill, config, dt, options);
    put_cone_rows(fill, config, dt, options);
    for (std::uint64_t c = columns; c > 0; --c) a.colptr[c] = a.colptr[c - 1];
    a.colptr[0] = 0;
}

Problem assemble(const Config& config, double time_of_flight, const ProgramOptions& options) {
    Problem problem;
    assemble_into(problem, config, time_of_flight, options);
    return problem;
}

}  // namespace vexal
