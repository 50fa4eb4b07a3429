#include "vexal/accuracy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vexal/error.hpp"
#include "vexal/hypot.hpp"

namespace vexal {
namespace {

// The power of two nearest to the largest usable candidate, or 1 when none
// is finite and positive.
double power_of_two_scale(std::initializer_list<double> candidates) {
    double best = 0.0;
    for (double c : candidates) {
        if (std::isfinite(c) && c > best) best = c;
    }
    if (!(best > 0.0)) return 1.0;
    const double scale = std::exp2(std::round(std::log2(best)));
    return std::isfinite(scale) && scale > 0.0 ? scale : 1.0;
}

}  // namespace

void program_scaling_into(Scaling& scaling, const Config& config, double time_of_flight, const Problem& problem,
                          const ProgramOptions& options) {
    const Spacecraft& sc = config.spacecraft;
    const double length = power_of_two_scale({norm(sc.initial_position), norm(sc.target_position)});
    const double speed = power_of_two_scale(
        {norm(sc.initial_velocity), norm(sc.target_velocity), length / time_of_flight});
    const double accel =
        power_of_two_scale({sc.real_max_thrust * sc.max_thrust_pct / sc.wet_mass, norm(config.environment.gravity)});

    const std::uint64_t n = config.solver.n;
    const Layout at = options.layout(n);
    if (problem.a.n != at.columns()) throw InternalError("program does not match its configuration");
    scaling.columns.assign(at.columns(), 1.0);
    for (std::uint64_t k = 0; k < n; ++k) {
        for (std::uint64_t j = 0; j < 3; ++j) {
            scaling.columns[at.position(k, j)] = length;
            scaling.columns[at.velocity(k, j)] = speed;
            scaling.columns[at.thrust(k, j)] = accel;
        }
        scaling.columns[at.slack(k)] = accel;
    }
    if (at.extra) scaling.columns[at.landing_error()] = length;

    // A second-order cone whose head row is a constant c says |rest| <= c. A
    // huge c (a speed limit that never binds) leaves the solver a slack of
    // that size beside ones of order 1, and it stalls or stops short;
    // dividing the whole cone by c keeps its meaning and removes the spread.
    // The row scales mark the rows with entries first (1; 0 for none), so
    // that nothing else is needed.
    //
    // The nearest landing's cones about the landing point (the glide slope's
    // and the landing error's) measure metres, and at a divert's optimum
    // they bind with both slack and dual large (the landing error; the start
    // on the glide slope's boundary): in the solver's units of order 100,
    // where the distance to the boundary that its tolerance asks falls below
    // the slack's own rounding, and the iterates break down. They are
    // divided by `length` (their rows marked 2 on the way: on the landing
    // point, which the landing error's cone holds too).
    std::vector<double>& rows = scaling.rows;
    rows.assign(problem.a.m, 0.0);
    for (std::uint64_t r : problem.a.rowval) rows[r] = 1.0;
    if (options.landing == Landing::nearest || options.landing == Landing::within) {
        for (std::uint64_t c : {at.position(n - 1, 0), at.position(n - 1, 1), at.position(n - 1, 2)}) {
            for (std::uint64_t i = problem.a.colptr[c]; i < problem.a.colptr[c + 1]; ++i) rows[problem.a.rowval[i]] = 2.0;
        }
    }
    std::uint64_t row = 0;
    for (const Cone& cone : problem.cones) {
        if (cone.kind == ConeKind::SecondOrder && cone.dim > 0 && rows[row] == 0.0) {
            const double radius = power_of_two_scale({std::abs(problem.b[row])});
            for (std::uint64_t r = row; r < row + cone.dim; ++r) rows[r] = -1.0 / radius;
        } else if (cone.kind == ConeKind::SecondOrder &&
                   std::find(rows.begin() + row, rows.begin() + row + cone.dim, 2.0) != rows.begin() + row + cone.dim) {
            for (std::uint64_t r = row; r < row + cone.dim; ++r) rows[r] = -1.0 / length;
        }
        row += cone.dim;
    }
    for (double& r : rows) r = r < 0.0 ? -r : 1.0;
}

Scaling program_scaling(const Config& config, double time_of_flight, const Problem& problem,
                        const ProgramOptions& options) {
    Scaling scaling;
    program_scaling_into(scaling, config, time_of_flight, problem, options);
    return scaling;
}

void scaled_into(Problem& out, const Problem& problem, const Scaling& scaling) {
    if (scaling.columns.size() != problem.a.n || scaling.rows.size() != problem.a.m) {
        throw InternalError("scaling does not match the program");
    }
    out = problem;  // into the arrays out has
    CscMatrix& a = out.a;
    for (std::uint64_t c = 0; c < a.n; ++c) {
        for (std::uint64_t i = a.colptr[c]; i < a.colptr[c + 1]; ++i) {
            a.nzval[i] *= scaling.rows[a.rowval[i]] * scaling.columns[c];
        }
        out.q[c] *= scaling.columns[c];
    }
    for (std::uint64_t r = 0; r < a.m; ++r) out.b[r] *= scaling.rows[r];
}

Problem scaled(const Problem& problem, const Scaling& scaling) {
    Problem out;
    scaled_into(out, problem, scaling);
    return out;
}

double program_violation(const Problem& problem, const std::vector<double>& x) {
    std::vector<double> scratch;
    return program_violation(problem, x, scratch);
}

double program_violation(const Problem& problem, const std::vector<double>& x, std::vector<double>& scratch) {
    const CscMatrix& a = problem.a;
    if (x.size() != a.n || problem.b.size() != a.m) throw InternalError("point does not match the program");

    // Slack s = b - A x of every row, and the size of the row's terms.
    scratch.resize(2 * a.m);
    double* const s = scratch.data();
    double* const size = s + a.m;
    std::copy(problem.b.begin(), problem.b.end(), s);
    for (std::uint64_t r = 0; r < a.m; ++r) size[r] = std::abs(problem.b[r]);
    for (std::uint64_t c = 0; c < a.n; ++c) {
        for (std::uint64_t i = a.colptr[c]; i < a.colptr[c + 1]; ++i) {
            const double term = a.nzval[i] * x[c];
            s[a.rowval[i]] -= term;
            size[a.rowval[i]] += std::abs(term);
        }
    }

    double worst = 0.0;
    bool not_a_number = false;
    const auto record = [&](double violation, double scale) {
        const double relative = violation / std::max(scale, 1.0);
        if (std::isnan(relative)) not_a_number = true;
        worst = std::max(worst, relative);
    };
    std::uint64_t row = 0;
    for (const Cone& cone : problem.cones) {
        const std::uint64_t end = row + cone.dim;
        switch (cone.kind) {
            case ConeKind::Zero:
                for (; row < end; ++row) record(std::abs(s[row]), size[row]);
                break;
            case ConeKind::Nonnegative:
                for (; row < end; ++row) record(std::max(-s[row], 0.0), size[row]);
                break;
            case ConeKind::SecondOrder: {
                double tail = 0.0, scale = size[row];
                for (std::uint64_t r = row + 1; r < end; ++r) {
                    tail = vexal::hypot(tail, s[r]);
                    scale = std::max(scale, size[r]);
                }
                record(std::max(tail - s[row], 0.0), scale);
                row = end;
                break;
            }
        }
    }
    return not_a_number ? std::numeric_limits<double>::quiet_NaN() : worst;
}

}  // namespace vexal
