#include "vexal/assemble.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>

#include "vexal/dynamics.hpp"
#include "vexal/error.hpp"

namespace vexal {
namespace {

constexpr double kDegToRad = 0.017453292519943295;

Row row(std::initializer_list<std::pair<std::uint64_t, double>> coeffs, double rhs) {
    return Row{std::vector<std::pair<std::uint64_t, double>>(coeffs), rhs};
}

// Rows of the cost-free parts, in program order: nonnegative rows, then blocks.
struct ConeRows {
    std::vector<Row> ground;  // empty when the glide slope is on
    std::vector<Row> upper;   // n upper thrust-bound rows, then the floor row
    std::vector<Row> pointing;  // empty without the pointing limit
    std::vector<SocBlock> velocity;
    std::vector<SocBlock> thrust_slack;
    std::vector<SocBlock> glide_slope;  // empty when the glide slope is off
    std::vector<SocBlock> lower_thrust;
    std::vector<SocBlock> landing;  // the horizontal distance to the target, off it
};

ConeRows cone_rows(const Config& config, const ReferenceProfile& profile, const ProgramOptions& options) {
    const Spacecraft& sc = config.spacecraft;
    const std::uint64_t n = config.solver.n;
    const Layout at = options.layout(n);
    const bool on_target = options.landing == Landing::target;
    const double rho1 = sc.real_max_thrust * sc.min_thrust_pct;
    const double z_dry = std::log(sc.wet_mass - sc.fuel);
    const double sin_gamma = std::sin(config.environment.glide_slope_angle_deg * kDegToRad);

    ConeRows out;
    // Exactly one of ground rows and glide-slope cones bounds the height;
    // the choice is an exact comparison (NaN counts as a glide slope).
    if (sin_gamma == 0.0) {
        out.ground.reserve(n);
        for (std::uint64_t k = 0; k < n; ++k) out.ground.push_back(row({{at.position(k, 2), -1.0}}, 0.0));
    } else {
        const double g = -sin_gamma;
        out.glide_slope.reserve(n);
        if (on_target) {
            for (std::uint64_t k = 0; k < n; ++k) {
                out.glide_slope.push_back(SocBlock{{row({{at.position(k, 2), -1.0}}, 0.0),
                                                    row({{at.position(k, 0), g}}, 0.0),
                                                    row({{at.position(k, 1), g}}, 0.0),
                                                    row({{at.position(k, 2), g}}, 0.0)},
                                                   4});
            }
        } else {
            // About the landing point r_N: z_k - z_N >= sin(gamma) |r_k - r_N|.
            // The last node's own cone is empty and left out.
            const std::uint64_t last = n - 1;
            for (std::uint64_t k = 0; k < last; ++k) {
                out.glide_slope.push_back(
                    SocBlock{{row({{at.position(k, 2), -1.0}, {at.position(last, 2), 1.0}}, 0.0),
                              row({{at.position(k, 0), g}, {at.position(last, 0), sin_gamma}}, 0.0),
                              row({{at.position(k, 1), g}, {at.position(last, 1), sin_gamma}}, 0.0),
                              row({{at.position(k, 2), g}, {at.position(last, 2), sin_gamma}}, 0.0)},
                             4});
            }
        }
    }

    if (options.pointing) {
        // n'u_k >= cos(theta) sigma_k with n the height axis.
        const double cos_theta = std::cos(config.environment.max_angle_deg * kDegToRad);
        out.pointing.reserve(n);
        for (std::uint64_t k = 0; k < n; ++k) {
            out.pointing.push_back(row({{at.thrust(k, 2), -1.0}, {at.slack(k), cos_theta}}, 0.0));
        }
    }

    if (!on_target) {
        // (d, x_N - x_t, y_N - y_t): d the distance variable, or the radius.
        const Vec3& t = sc.target_position;
        Row head = options.landing == Landing::nearest ? row({{at.landing_error(), -1.0}}, 0.0)
                                                       : row({}, options.landing_radius);
        out.landing.push_back(SocBlock{{std::move(head), row({{at.position(n - 1, 0), -1.0}}, -t[0]),
                                        row({{at.position(n - 1, 1), -1.0}}, -t[1])},
                                       3});
    }

    // Upper bound: sigma <= rho2 e^-z, expanded to first order about z0 with
    // d = z - z0, is sigma <= mu2 (1 - d), i.e. z + sigma / mu2 <= z0 + 1.
    out.upper.reserve(n + 1);
    for (std::uint64_t k = 0; k < n; ++k) {
        out.upper.push_back(row({{at.log_mass(k), 1.0}, {at.slack(k), profile.c2[k]}}, profile.z0[k] + 1.0));
    }
    out.upper.push_back(row({{at.log_mass(n - 1), -1.0}}, -z_dry));

    out.velocity.reserve(n);
    out.thrust_slack.reserve(n);
    out.lower_thrust.reserve(n);
    for (std::uint64_t k = 0; k < n; ++k) {
        out.velocity.push_back(SocBlock{{row({}, sc.max_velocity),
                                         row({{at.velocity(k, 0), -1.0}}, 0.0),
                                         row({{at.velocity(k, 1), -1.0}}, 0.0),
                                         row({{at.velocity(k, 2), -1.0}}, 0.0)},
                                        4});
    }
    for (std::uint64_t k = 0; k < n; ++k) {
        out.thrust_slack.push_back(SocBlock{{row({{at.slack(k), -1.0}}, 0.0),
                                             row({{at.thrust(k, 0), -1.0}}, 0.0),
                                             row({{at.thrust(k, 1), -1.0}}, 0.0),
                                             row({{at.thrust(k, 2), -1.0}}, 0.0)},
                                            4});
    }
    for (std::uint64_t k = 0; k < n; ++k) {
        if (rho1 == 0.0) {
            // No throttle floor: the second-order expansion would carry an
            // infinite scale. Keep the block's shape but make it read
            // s = (sigma_k, 0, 0), which sigma_k >= |u_k| already implies.
            out.lower_thrust.push_back(SocBlock{{row({{at.slack(k), -1.0}}, 0.0), row({}, 0.0), row({}, 0.0)}, 3});
            continue;
        }
        // Lower bound: sigma >= rho1 e^-z to second order is A sigma >= 1 - d + d^2/2
        // (A = 1 / mu1). With w = 2 A sigma + 2 d that is (w - 1)^2 >= (2d)^2 + (w - 3)^2
        // and w >= 1: the 3-cone (w - 1, 2d, w - 3) built below.
        const double two_a = profile.c1[k] * (-2.0);
        const double t = profile.z0[k] * (-2.0);
        out.lower_thrust.push_back(SocBlock{{row({{at.slack(k), two_a}, {at.log_mass(k), -2.0}}, t + (-1.0)),
                                             row({{at.log_mass(k), -2.0}}, t),
                                             row({{at.slack(k), two_a}, {at.log_mass(k), -2.0}}, t + (-3.0))},
                                            3});
    }
    return out;
}

// Rows in, CSC out: one pass over the coefficient pairs into per-column
// lists, then one pass over the columns.
CscMatrix to_csc(const std::vector<Row>& rows, std::uint64_t columns) {
    std::vector<std::vector<std::pair<std::uint64_t, double>>> by_column(columns);
    std::uint64_t stored = 0;
    for (std::uint64_t i = 0; i < rows.size(); ++i) {
        for (const auto& [c, w] : rows[i].coeffs) {
            if (c >= columns) {
                throw InternalError("row " + std::to_string(i) + " names column " + std::to_string(c) +
                                    ", past the " + std::to_string(columns) + " columns of the layout");
            }
            by_column[c].emplace_back(i, w);
        }
        stored += rows[i].coeffs.size();
    }

    CscMatrix a;
    a.m = rows.size();
    a.n = columns;
    a.colptr.reserve(columns + 1);
    a.rowval.reserve(stored);
    a.nzval.reserve(stored);
    a.colptr.push_back(0);
    const auto by_row = [](const auto& x, const auto& y) { return x.first < y.first; };
    for (auto& entries : by_column) {
        // Rows were visited in order, so this is a check more than a sort.
        if (!std::is_sorted(entries.begin(), entries.end(), by_row)) {
            std::stable_sort(entries.begin(), entries.end(), by_row);
        }
        for (const auto& [r, w] : entries) {
            a.rowval.push_back(r);
            a.nzval.push_back(w);
        }
        a.colptr.push_back(a.rowval.size());
        std::vector<std::pair<std::uint64_t, double>>().swap(entries);
    }
    return a;
}

template <class T>
void append_moved(std::vector<T>& to, std::vector<T>& from) {
    std::move(from.begin(), from.end(), std::back_inserter(to));
    std::vector<T>().swap(from);
}

}  // namespace

ReferenceProfile reference_profile(const Config& config, double dt) {
    const Spacecraft& sc = config.spacecraft;
    const std::uint64_t n = config.solver.n;
    const double rho1 = sc.real_max_thrust * sc.min_thrust_pct;
    const double rho2 = sc.real_max_thrust * sc.max_thrust_pct;
    const double alpha = sc.fuel_consumption;
    const double dm = (alpha * dt) * rho2;

    ReferenceProfile p;
    p.z0.resize(n);
    p.c1.resize(n);
    p.c2.resize(n);
    for (std::uint64_t k = 0; k < n; ++k) {
        const double z0 = std::log(sc.wet_mass - static_cast<double>(k) * dm);
        const double e = std::exp(-z0);
        p.z0[k] = z0;
        p.c2[k] = 1.0 / (rho2 * e);
        p.c1[k] = rho1 == 0.0 ? std::numeric_limits<double>::infinity() : 1.0 / (e * rho1);
    }
    return p;
}

std::vector<Row> equality_rows(const Config& config, double dt, const ProgramOptions& options) {
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

    std::vector<Row> rows;
    rows.reserve(7 * n + 6);
    for (std::uint64_t j = 0; j < 3; ++j) rows.push_back(row({{at.position(0, j), 1.0}}, sc.initial_position[j]));
    for (std::uint64_t j = 0; j < 3; ++j) rows.push_back(row({{at.velocity(0, j), 1.0}}, sc.initial_velocity[j]));
    rows.push_back(row({{at.log_mass(0), 1.0}}, std::log(sc.wet_mass)));
    for (std::uint64_t k = 0; k + 1 < n; ++k) {
        for (std::uint64_t i = 0; rotating && i < 6; ++i) {
            Row r{{{state(k + 1, i), 1.0}}, step.gravity[i]};
            r.coeffs.reserve(13);
            for (std::uint64_t j = 0; j < 6; ++j) r.coeffs.emplace_back(state(k, j), -step.phi[i][j]);
            for (std::uint64_t j = 0; j < 3; ++j) r.coeffs.emplace_back(at.thrust(k, j), -step.gamma0[i][j]);
            for (std::uint64_t j = 0; j < 3; ++j) r.coeffs.emplace_back(at.thrust(k + 1, j), -step.gamma1[i][j]);
            rows.push_back(std::move(r));
        }
        for (std::uint64_t j = 0; !rotating && j < 3; ++j) {
            rows.push_back(row({{at.position(k + 1, j), 1.0},
                                {at.position(k, j), -1.0},
                                {at.velocity(k, j), -dt},
                                {at.thrust(k, j), cu0},
                                {at.thrust(k + 1, j), cu1}},
                               bp[j]));
        }
        for (std::uint64_t j = 0; !rotating && j < 3; ++j) {
            rows.push_back(row({{at.velocity(k + 1, j), 1.0},
                                {at.velocity(k, j), -1.0},
                                {at.thrust(k, j), cv},
                                {at.thrust(k + 1, j), cv}},
                               bv[j]));
        }
        rows.push_back(row({{at.log_mass(k + 1), 1.0}, {at.log_mass(k), -1.0}, {at.slack(k), cm}, {at.slack(k + 1), cm}},
                           0.0));
    }
    for (std::uint64_t j = options.landing == Landing::target ? 0 : 2; j < 3; ++j) {
        rows.push_back(row({{at.position(n - 1, j), 1.0}}, sc.target_position[j]));
    }
    for (std::uint64_t j = 0; j < 3; ++j) rows.push_back(row({{at.velocity(n - 1, j), 1.0}}, sc.target_velocity[j]));
    return rows;
}

Problem assemble(const Config& config, double time_of_flight, const ProgramOptions& options) {
    const std::uint64_t n = config.solver.n;
    if (n == 0) throw InternalError("assemble: no program has zero nodes");
    const Layout at = options.layout(n);
    const std::uint64_t columns = at.columns();
    const double dt = time_of_flight / static_cast<double>(n);

    const ReferenceProfile profile = reference_profile(config, dt);

    Problem problem;
    problem.q.assign(columns, 0.0);
    if (options.landing == Landing::nearest) {
        problem.q[at.landing_error()] = 1.0;
    } else {
        problem.q[at.log_mass(n - 1)] = -1.0;
    }
    problem.p = CscMatrix{columns, columns, std::vector<std::uint64_t>(columns + 1, 0), {}, {}};

    std::vector<Row> joined = equality_rows(config, dt, options);
    ConeRows groups = cone_rows(config, profile, options);

    const std::uint64_t blocks4 = groups.velocity.size() + groups.thrust_slack.size() + groups.glide_slope.size();
    joined.reserve(joined.size() + groups.ground.size() + groups.upper.size() + groups.pointing.size() +
                   4 * blocks4 + 3 * (groups.lower_thrust.size() + groups.landing.size()));
    problem.cones.reserve(2 + blocks4 + groups.lower_thrust.size() + groups.landing.size());
    problem.cones.push_back({ConeKind::Zero, joined.size()});
    problem.cones.push_back(
        {ConeKind::Nonnegative, groups.ground.size() + groups.upper.size() + groups.pointing.size()});
    append_moved(joined, groups.ground);
    append_moved(joined, groups.upper);
    append_moved(joined, groups.pointing);
    for (std::vector<SocBlock>* blocks : {&groups.velocity, &groups.thrust_slack, &groups.glide_slope,
                                          &groups.lower_thrust, &groups.landing}) {
        for (SocBlock& block : *blocks) {
            problem.cones.push_back({ConeKind::SecondOrder, block.dim});
            append_moved(joined, block.rows);
        }
        std::vector<SocBlock>().swap(*blocks);
    }

    problem.b.reserve(joined.size());
    for (const Row& r : joined) problem.b.push_back(r.rhs);
    problem.a = to_csc(joined, columns);
    return problem;
}

}  // namespace vexal
