#include "vexal/planner.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <span>

#include "text_format.hpp"
#include "vexal/assemble.hpp"
#include "vexal/hypot.hpp"
#include "vexal/memory.hpp"

namespace vexal {
namespace {

constexpr int kGoldenSteps = 20;
constexpr double kGolden = 0.618033988749895;

// max(x, floor) that yields floor when x is not a number.
double at_least(double x, double floor) { return std::isnan(x) || x < floor ? floor : x; }

}  // namespace

std::pair<double, double> auto_bracket(const Spacecraft& sc) {
    const double dry = at_least(sc.wet_mass - sc.fuel, 1.0);
    const double accel = at_least(sc.max_thrust_pct * sc.real_max_thrust / dry, 0.001);
    const Vec3& v0 = sc.initial_velocity;
    const double speed = norm(v0);
    const double lower = at_least(speed / accel, 1.0);
    const double min_flow = at_least(sc.real_max_thrust * sc.min_thrust_pct * sc.fuel_consumption, 1e-9);
    const double burn_time = sc.fuel / min_flow;
    const double upper = at_least(burn_time, 4.0 * lower);
    // The program's reference mass burns at full thrust from ignition; by the
    // time that would burn the whole wet mass its logarithm leaves the reals
    // and no program exists. A deep-throttling engine would otherwise stretch
    // the bracket far beyond every horizon the program can represent. (The
    // reference may fall below the dry mass well before: optima lie there,
    // e.g. an engine throttled to 30-80 % whose best flight is longer than
    // its fuel lasts at full thrust.)
    const double max_flow = at_least(sc.real_max_thrust * sc.max_thrust_pct * sc.fuel_consumption, 1e-9);
    const double wet_burn_time = sc.wet_mass / max_flow;
    return {lower, at_least(wet_burn_time < upper ? wet_burn_time : upper, lower)};
}

namespace {

// The least time for x'' in [lo, hi] to go from (x0, v0) to (x1, v1): full
// thrust one way, then the other (either may take no time). 0 when neither
// order reaches it.
double fastest_on_axis(double x0, double v0, double x1, double v1, double lo, double hi) {
    double best = std::numeric_limits<double>::infinity();
    for (const auto& [a1, a2] : {std::pair{hi, lo}, std::pair{lo, hi}}) {
        if (a1 == 0.0 || a2 == 0.0) continue;
        // The speed at the switch: the distances of the two arcs add up.
        const double squared =
            ((x1 - x0) + v0 * v0 / (2.0 * a1) - v1 * v1 / (2.0 * a2)) / (1.0 / (2.0 * a1) - 1.0 / (2.0 * a2));
        if (!(squared >= 0.0)) continue;
        for (const double v : {std::sqrt(squared), -std::sqrt(squared)}) {
            const double t1 = (v - v0) / a1, t2 = (v1 - v) / a2;
            if (t1 >= 0.0 && t2 >= 0.0) best = std::min(best, t1 + t2);
        }
    }
    return std::isfinite(best) ? best : 0.0;
}

}  // namespace

double fastest_landing(const Config& config, bool horizontal) {
    const Spacecraft& sc = config.spacecraft;
    const double dry = sc.wet_mass - sc.fuel;
    const double thrust = sc.real_max_thrust * sc.max_thrust_pct / dry;
    if (!(dry > 0.0) || !std::isfinite(thrust)) return 0.0;
    double least = 0.0;
    for (int j = horizontal ? 0 : 2; j < 3; ++j) {
        const double g = config.environment.gravity[j];
        const double t = fastest_on_axis(sc.initial_position[j], sc.initial_velocity[j], sc.target_position[j],
                                         sc.target_velocity[j], g - thrust, g + thrust);
        if (std::isfinite(t)) least = std::max(least, t);
    }
    // The last node lands at (n - 1)/n of the time of flight; a hair less
    // for rounding.
    return least * (1.0 - 1e-9);
}

double landing_scale(const Config& config) {
    const Vec3& r0 = config.spacecraft.initial_position;
    const Vec3& t = config.spacecraft.target_position;
    return at_least(vexal::hypot(r0[0] - t[0], r0[1] - t[1]), 1.0);
}

double reach_tolerance(const Config& config) { return std::max(kReachedFraction * landing_scale(config), kReached); }

double search_merit(const Trajectory& trajectory, const Config& config, const SearchOptions& options) {
    if (!options.nearest_landing) return trajectory.final_mass;
    const double reach = reach_tolerance(config);
    const double excess = std::max(trajectory.landing_error - std::max(reach, options.landing_allowance), 0.0);
    return trajectory.final_mass - config.spacecraft.wet_mass * (excess / reach);
}

Result<void> nearest_landing_into(Trajectory& out, Trajectory& spare, const Config& config,
                                  const ProgramOptions& program, ProgramSolveInto solve_one, double allowance) {
    const auto stage = [&program](Landing landing, double radius) {
        ProgramOptions options = program;
        options.landing = landing;
        options.landing_radius = radius;
        return options;
    };
    auto nearest = solve_one(stage(Landing::nearest, 0.0), out);
    if (!nearest) return nearest;
    const double scale = landing_scale(config);
    if (out.landing_error <= reach_tolerance(config)) {
        auto exact = solve_one(stage(Landing::target, 0.0), spare);
        if (exact) std::swap(out, spare);
        if (exact || exact.error().kind == ErrorKind::interrupted) return exact;
    }
    const double margin = std::max(kLandingMargin, kLandingMarginFraction * scale);
    const double radius = std::max(out.landing_error + margin, allowance - margin);
    auto within = solve_one(stage(Landing::within, radius), spare);
    if (within) std::swap(out, spare);
    // Never give up a landing found: the error stage's own point is a plan.
    return within || within.error().kind == ErrorKind::interrupted ? within : nearest;
}

namespace {

// A trajectory solved by value, moved into `out`.
Result<void> moved_into(SolveResult solved, Trajectory& out) {
    if (!solved) return std::unexpected(std::move(solved.error()));
    out = std::move(*solved);
    return {};
}

}  // namespace

SolveResult nearest_landing(const Config& config, const ProgramOptions& program, const ProgramSolver& solve_one,
                            double allowance) {
    Trajectory out, spare;
    const auto into = [&solve_one](const ProgramOptions& options, Trajectory& t) {
        return moved_into(solve_one(options), t);
    };
    auto found = nearest_landing_into(out, spare, config, program, into, allowance);
    if (!found) return std::unexpected(std::move(found.error()));
    return out;
}

namespace {

std::unexpected<Error> no_feasible_time(double lower, double upper) {
    return fail(ErrorKind::infeasible, "infeasible: no feasible time-of-flight in [" +
                                           text_format::three_decimals(lower) + ", " +
                                           text_format::three_decimals(upper) + "]");
}

// How a search missed the horizons that land, if it did: no grid point
// landed, or (golden) a grid point did but no refinement point nor the
// final solve (a window narrower than the refinement's first steps).
enum class Missed { none, grid, refinement };

// Thrown by the judge of candidates to end a search the stop request ended.
struct SearchStopped {
    Error error;
};

// A time of flight solved: the search's merit there (minus infinity when
// no trajectory exists) and the slope of the final mass in the time of
// flight (NaN when the solve gave none: a nearest landing off the target).
struct Probe {
    double t;
    double merit;
    double slope;
};

// The probes of one fast search: the grid, the point ahead, the steps.
class Probes {
public:
    static constexpr std::size_t kMost = kGridIntervals + 2 + 64;
    void push_back(const Probe& p) {
        if (size_ == kMost) throw InternalError("more probes than a search makes");
        items_[size_++] = p;
    }
    const Probe* begin() const { return items_.data(); }
    const Probe* end() const { return items_.data() + size_; }

private:
    std::array<Probe, kMost> items_;
    std::size_t size_ = 0;
};

// Where the cubic through the values and slopes at p and q peaks (NaN
// where it has no peak): exact for a parabola, and between two points
// that bracket a peak it comes close to a corner too, where the slope
// jumps as it does between the active sets of a coarse grid of nodes.
double cubic_peak(const Probe& p, const Probe& q) {
    const double width = q.t - p.t;
    const double g0 = p.slope * width, g1 = q.slope * width;  // the slopes in s = (t - p.t) / width
    // The slope g(s) = g0 + (g1 - g0 + c) s - c s^2 integrates to the rise.
    const double c = 6.0 * ((q.merit - p.merit) - 0.5 * (g0 + g1));
    const double qa = -c, qb = g1 - g0 + c, qc = g0;
    double s = std::numeric_limits<double>::quiet_NaN();
    if (std::abs(qa) <= 1e-12 * (std::abs(qb) + std::abs(qc))) {
        if (qb < 0.0) s = -qc / qb;
    } else if (const double disc = qb * qb - 4.0 * qa * qc; disc >= 0.0) {
        const double h = -0.5 * (qb + std::copysign(std::sqrt(disc), qb));
        for (double r : {h / qa, h != 0.0 ? qc / h : h / qa}) {
            if (2.0 * qa * r + qb < 0.0) s = r;  // the root where the slope falls
        }
    }
    return p.t + s * width;
}

// The fast search's refinement when each solve also gives the slope of the
// final mass in the time of flight: the optimum lies between the last
// point whose slope rises and the first whose slope falls (or a time with
// no trajectory, or the bracket's end). Each step is the peak of the cubic
// through both ends when both have a slope, else the secant of the slopes
// at the best point and its nearest neighbour (a Newton step), kept inside
// the interval, and halves it instead whenever two steps in a row have not;
// it ends when the interval, or the step the secant asks for, is below the
// tolerance on the time. The best trajectory solved is the answer.
void refine_with_slopes(SearchSpace& space, const Config& config, SolveInto fixed_solver, Probes& probes,
                        double lower, double upper, double h, const SearchOptions& options) {
    const double relative_tolerance = options.relative_tolerance;
    constexpr int kMaxSteps = 60;
    // What the best point may fall short of the optimum's final mass, as a
    // fraction of it, once the time is known to the tolerance.
    constexpr double kMassTolerance = 1e-7;
    const auto better = [](const Probe& p, const Probe& q) { return p.merit > q.merit; };
    Probe x = *std::min_element(probes.begin(), probes.end(), better);
    std::optional<Probe> left, right;  // the interval's ends, when solved
    double a = lower, b = upper;
    const auto narrow = [&](const Probe& p) {
        const bool past = std::isfinite(p.merit) && std::isfinite(p.slope) ? p.slope < 0.0 : p.t > x.t;
        if (past && p.t < b) b = p.t, right = p;
        if (!past && p.t > a) a = p.t, left = p;
    };
    for (const Probe& p : probes) narrow(p);
    const auto sloped = [](const std::optional<Probe>& end) {
        return end && std::isfinite(end->merit) && std::isfinite(end->slope);
    };
    // Under a concave final mass, the tangents at the ends bound every mass
    // between them: what the best point may still be short of.
    const auto corner = [&] {
        return std::clamp(
            (right->merit - left->merit + left->slope * a - right->slope * b) / (left->slope - right->slope), a, b);
    };
    const auto shortfall = [&] {
        if (sloped(left) && sloped(right) && left->slope > right->slope) {
            const double t = corner();
            return std::min(left->merit + left->slope * (t - a), right->merit + right->slope * (t - b)) - x.merit;
        }
        double bound = std::numeric_limits<double>::infinity();
        for (const std::optional<Probe>& end : {left, right}) {
            if (sloped(end)) bound = std::min(bound, end->merit + std::abs(end->slope) * (b - a) - x.merit);
        }
        return bound;
    };
    int slow_steps = 0;
    for (int step = 0; step < kMaxSteps; ++step) {
        const double tol = relative_tolerance * std::max(std::abs(x.t), h);
        const double width = b - a;
        const bool close_enough = shortfall() <= kMassTolerance * x.merit;
        if (width <= 2.0 * tol && (close_enough || width <= 1e-3 * tol)) break;
        // The secant of the slopes at the best point and the nearest other
        // point that has one.
        double u = std::numeric_limits<double>::quiet_NaN();
        const Probe* other = nullptr;
        for (const Probe& p : probes) {
            if (p.t == x.t || !std::isfinite(p.merit) || !std::isfinite(p.slope)) continue;
            if (!other || std::abs(p.t - x.t) < std::abs(other->t - x.t)) other = &p;
        }
        if (other && std::isfinite(x.slope) && other->slope != x.slope) {
            u = x.t - x.slope * (x.t - other->t) / (x.slope - other->slope);
            // A step this small, from a secant this local and a point this
            // flat, or from a point whose own tangent leaves no mass to gain
            // anywhere in the interval: the best point is the optimum.
            const bool local =
                std::abs(other->t - x.t) <= 20.0 * tol && std::abs(x.slope) * tol <= kMassTolerance * x.merit;
            const bool level = std::abs(x.slope) * width <= 0.01 * kMassTolerance * x.merit;
            if (std::abs(u - x.t) <= tol && (local || level)) break;
        }
        const bool bracketed = sloped(left) && sloped(right);
        // Between ends that both have a slope, the cubic through the best
        // point and its neighbour, unless it leaves the interval: then the
        // cubic through the ends.
        if (bracketed && other && std::isfinite(x.slope)) {
            const bool before = other->t < x.t;
            const double local = cubic_peak(before ? *other : x, before ? x : *other);
            u = local > a && local < b ? local : cubic_peak(*left, *right);
        } else if (bracketed) {
            u = cubic_peak(*left, *right);
        }
        // The time known, only the mass bound is left: where the tangents
        // at the ends meet it is highest, and a corner lies about there.
        const bool at_corner = bracketed && width <= 2.0 * tol && left->slope > right->slope;
        if (at_corner) u = corner();
        // Steps keep clear of the ends and of the best point, by the
        // tolerance while the interval is wide, by a share of it after.
        const double clear = at_corner ? 0.01 * width : std::min(tol, 0.25 * width);
        const double margin = std::max(clear, 0.01 * width);
        // A secant that leaps across most of the interval extrapolates a
        // curve that bends too much: halving is surer.
        if (!std::isfinite(u) || (!bracketed && (u <= a + margin || u >= b - margin)) ||
            (!bracketed && std::abs(u - x.t) > 0.5 * width) || (slow_steps >= 2 && !at_corner)) {
            u = 0.5 * (a + b);
        }
        // A peak this close to an end of the interval: the step a margin
        // inside it closes the interval on that side.
        u = std::clamp(u, a + margin, b - margin);
        if (std::abs(u - x.t) < clear) u = x.t + std::copysign(clear, u - x.t);
        const auto r = fixed_solver(config, u, space.current);
        Probe p{u, r ? search_merit(space.current, config, options) : -std::numeric_limits<double>::infinity(),
                r ? space.current.mass_slope : std::numeric_limits<double>::quiet_NaN()};
        if (r && p.merit > x.merit) {
            x = p;
            std::swap(space.best, space.current);
        }
        probes.push_back(p);
        narrow(p);
        slow_steps = (b - a) > 0.5 * width ? slow_steps + 1 : 0;
    }
}

// A few points of the golden search's grid, then the refinement: with the
// slope of the final mass at the best point, refine_with_slopes; without,
// Brent's method on -search_merit, started from the best grid point with its
// nearest solved neighbours as the bracket and the points of the first
// parabola. Each evaluation is one fixed solve; the best trajectory seen is
// the answer, never re-solved (left in space.best).
Result<void> search_fast(SearchSpace& space, const Config& config, SolveInto fixed_solver, BatchInto batch,
                         double lower, double upper, const SearchOptions& options, Missed& missed) {
    const double relative_tolerance = options.relative_tolerance;
    constexpr double kInfeasible = std::numeric_limits<double>::infinity();
    const double h = (upper - lower) / kGridIntervals;
    // Below this no time of flight lands: grid points there are not solved.
    const double earliest = std::max(lower, std::min(options.earliest, upper));
    std::array<double, kGridIntervals + 1> cost, slope;
    cost.fill(std::numeric_limits<double>::quiet_NaN());  // NaN: not solved
    slope.fill(std::numeric_limits<double>::quiet_NaN());
    int best_index = -1;
    // A point off the grid solved beside the first grid point, and whether
    // space.ahead holds its plan.
    std::optional<Probe> ahead;
    bool ahead_plan = false;
    // Solves the listed grid points together (and `off_grid`, a time off
    // the grid, when given); ties go to the earliest listed.
    const auto grid_points = [&](std::span<const int> points, std::optional<double> off_grid = std::nullopt) {
        std::array<double, kGridIntervals + 2> times;
        std::array<int, kGridIntervals + 1> solved;
        std::size_t count = 0;
        for (int i : points) {
            if (lower + i * h < earliest) {
                cost[i] = kInfeasible;  // lands no sooner than the bound
                continue;
            }
            solved[count] = i;
            times[count++] = lower + i * h;
        }
        const std::size_t grid_count = count;
        if (off_grid) times[count++] = *off_grid;
        if (count == 0) return;
        batch(config, std::span(times.data(), count), std::span(space.points.data(), count),
              std::span(space.outcomes.data(), count));
        if (off_grid) {
            const Result<void>& r = space.outcomes[count - 1];
            Trajectory& plan = space.points[count - 1];
            ahead = Probe{*off_grid, r ? search_merit(plan, config, options) : -kInfeasible,
                          r ? plan.mass_slope : std::numeric_limits<double>::quiet_NaN()};
            if (r) {
                std::swap(space.ahead, plan);
                ahead_plan = true;
            }
        }
        for (std::size_t j = 0; j < grid_count; ++j) {
            const int i = solved[j];
            const Result<void>& r = space.outcomes[j];
            Trajectory& plan = space.points[j];
            cost[i] = r ? -search_merit(plan, config, options) : kInfeasible;
            if (r) slope[i] = plan.mass_slope;
            if (r && (best_index < 0 || cost[i] < cost[best_index])) {
                best_index = i;
                std::swap(space.best, plan);
            }
        }
    };
    // Every third point of the search's grid, the ends only when the best
    // inner point is next to them; all the rest only when none of those is
    // feasible, so a narrow feasible window is found as the grid finds it.
    // With the slope of the final mass at each point, the best point's slope
    // says on which side the optimum lies: no end is needed, and when the
    // mass falls at the first point no later one either (most optima lie
    // below it: the bracket's upper end is generous).
    const auto sloped = [&] { return best_index >= 0 && std::isfinite(slope[best_index]); };
    // Planning to the target, every solve has its slope, and when the mass
    // falls at the first grid point the refinement's first step halves the
    // interval below it: that point is solved at once, beside the first.
    if (options.nearest_landing) {
        grid_points(std::array{3});
    } else if (const double t3 = lower + 3 * h; earliest < t3) {
        grid_points(std::array{3}, earliest > lower ? 0.5 * (earliest + t3) : lower + 1.5 * h);
    } else {
        grid_points(std::array{3});
    }
    const auto falls = [&](int i) { return std::isfinite(slope[i]) && slope[i] < 0.0; };
    if (options.nearest_landing) {
        if (!sloped() || !falls(3)) grid_points(std::array{6, 9});
    } else if (!falls(3)) {
        // The mass falling at the second point puts the optimum below it.
        grid_points(std::array{6});
        if (!falls(6)) grid_points(std::array{9});
    }
    if (!sloped() && (best_index < 0 || best_index == 3)) grid_points(std::array{0});
    if (!sloped() && (best_index < 0 || best_index == 9)) grid_points(std::array{kGridIntervals});
    if (best_index < 0) {
        std::array<int, kGridIntervals + 1> rest;
        std::size_t count = 0;
        for (int i = 0; i <= kGridIntervals; ++i) {
            if (std::isnan(cost[i])) rest[count++] = i;
        }
        // With slopes, the first point that lands shows the way to the
        // optimum: the rest go a few at a time, the earliest first.
        const std::size_t chunk = options.nearest_landing ? count : 3;
        for (std::size_t from = 0; from < count && best_index < 0; from += chunk) {
            grid_points(std::span(rest.data() + from, std::min(chunk, count - from)));
        }
    }
    if (best_index < 0) {
        missed = Missed::grid;
        return no_feasible_time(lower, upper);
    }
    if (sloped()) {
        Probes probes;
        for (int i = 0; i <= kGridIntervals; ++i) {
            if (!std::isnan(cost[i])) probes.push_back({lower + i * h, -cost[i], slope[i]});
        }
        if (ahead) {
            probes.push_back(*ahead);
            if (ahead_plan && ahead->merit > -cost[best_index]) std::swap(space.best, space.ahead);
        }
        refine_with_slopes(space, config, fixed_solver, probes, earliest, upper, h, options);
        return {};
    }
    // Towards a coarse neighbour that is infeasible, the fine-grid
    // neighbour narrows the bracket; towards a feasible one the curve is
    // already known well enough for a parabola.
    const int centre = best_index;
    std::array<int, 2> fine;
    std::size_t fine_count = 0;
    for (int side : {-1, 1}) {
        const int i = centre + side, coarse = centre + 3 * side;
        if (i < 0 || i > kGridIntervals || !std::isnan(cost[i])) continue;
        if (coarse >= 0 && coarse <= kGridIntervals && std::isfinite(cost[coarse])) continue;
        fine[fine_count++] = i;
    }
    if (fine_count > 0) grid_points(std::span(fine.data(), fine_count));

    // The nearest solved grid points on either side bound the refinement.
    int left = best_index, right = best_index;
    while (left > 0 && (left == best_index || std::isnan(cost[left]))) --left;
    while (right < kGridIntervals && (right == best_index || std::isnan(cost[right]))) ++right;
    double a = lower + left * h, b = lower + right * h;
    double x = lower + best_index * h, fx = cost[best_index];
    double w = a, fw = std::isnan(cost[left]) ? kInfeasible : cost[left];
    double v = b, fv = std::isnan(cost[right]) ? kInfeasible : cost[right];
    if (fv < fw) {
        std::swap(v, w);
        std::swap(fv, fw);
    }
    constexpr double kShrink = 1.0 - kGolden;  // 0.381966...
    double d = 0.0;
    double e = b - a;  // lets the first step be parabolic
    // A bound, not a budget: on a bracket the checks admit, the tolerance
    // ends the loop long before.
    constexpr int kMaxBrentSteps = 60;
    for (int step = 0; step < kMaxBrentSteps; ++step) {
        const double xm = 0.5 * (a + b);
        // Relative to the time itself, but never finer than that fraction of a
        // grid step (a time near zero would otherwise ask for nanoseconds).
        const double tol1 = relative_tolerance * std::max(std::abs(x), h);
        const double tol2 = 2.0 * tol1;
        if (std::abs(x - xm) <= tol2 - 0.5 * (b - a)) break;
        bool parabolic = false;
        if (std::abs(e) > tol1 && std::isfinite(fw) && std::isfinite(fv) && w != v && w != x && v != x) {
            const double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0) p = -p;
            q = std::abs(q);
            const double previous = e;
            if (std::abs(p) < std::abs(0.5 * q * previous) && p > q * (a - x) && p < q * (b - x)) {
                // A parabola through three close points of a smooth curve
                // places its top far better than the bracket does: once the
                // points are close, a step below the tolerance would not
                // move the answer.
                if (std::abs(p) < q * tol1 && std::abs(x - w) < 8.0 * tol1 && std::abs(x - v) < 8.0 * tol1) break;
                e = d;
                d = p / q;
                const double u = x + d;
                if (u - a < tol2 || b - u < tol2) d = std::copysign(tol1, xm - x);
                parabolic = true;
            }
        }
        if (!parabolic) {
            e = (x >= xm ? a : b) - x;
            d = kShrink * e;
        }
        const double u = std::abs(d) >= tol1 ? x + d : x + std::copysign(tol1, d);
        const auto r = fixed_solver(config, u, space.current);
        const double fu = r ? -search_merit(space.current, config, options) : kInfeasible;
        if (fu < fx) {
            (u >= x ? a : b) = x;
            v = w, fv = fw;
            w = x, fw = fx;
            x = u, fx = fu;
            std::swap(space.best, space.current);
        } else {
            (u < x ? a : b) = u;
            if (fu <= fw || w == x) {
                v = w, fv = fw;
                w = u, fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u, fv = fu;
            }
        }
    }
    return {};
}

// 13-point grid, then golden-section steps over the best point's
// neighbouring grid steps, then one final solve at the better inner point.
Result<void> search_golden(SearchSpace& space, const Config& config, SolveInto fixed_solver, double lower,
                           double upper, const SearchOptions& options, Missed& missed) {
    // Coarse grid; the earliest of equal scores stays best.
    const double h = (upper - lower) / kGridIntervals;
    int best = -1;
    double best_merit = 0.0;
    for (int i = 0; i <= kGridIntervals; ++i) {
        const auto candidate = fixed_solver(config, lower + i * h, space.current);
        if (candidate && (best < 0 || search_merit(space.current, config, options) > best_merit)) {
            best = i;
            best_merit = search_merit(space.current, config, options);
        }
    }
    if (best < 0) {
        missed = Missed::grid;
        return no_feasible_time(lower, upper);
    }

    // Golden-section refinement over the neighbouring grid steps.
    bool landed = false;
    const auto score = [&](double t) {
        const auto r = fixed_solver(config, t, space.current);
        landed = landed || r.has_value();
        return r ? search_merit(space.current, config, options) : -std::numeric_limits<double>::infinity();
    };
    double a = lower + h * (best > 0 ? best - 1 : 0);
    double b = lower + h * (best < kGridIntervals ? best + 1 : kGridIntervals);
    double c = b - kGolden * (b - a);
    double d = a + kGolden * (b - a);
    double fc = score(c);
    double fd = score(d);
    for (int step = 0; step < kGoldenSteps; ++step) {
        if (fc >= fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - kGolden * (b - a);
            fc = score(c);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + kGolden * (b - a);
            fd = score(d);
        }
    }
    auto chosen = fixed_solver(config, fc >= fd ? c : d, space.best);
    if (!chosen && !landed) missed = Missed::refinement;
    return chosen;
}

}  // namespace

namespace {

// How far the loose program's final mass may fall short of the dry mass,
// relative, and its horizon still be tried: the solver's accuracy (the
// program with its floor decides).
constexpr double kDryMassSlack = 1e-7;

// One of a search's two modes over [lower, upper], and whether it missed.
Result<void> run_search(SearchSpace& space, const Config& config, SolveInto judge, BatchInto judge_all,
                        double lower, double upper, const SearchOptions& options, Missed& missed) {
    missed = Missed::none;
    return options.mode == SearchMode::fast
               ? search_fast(space, config, judge, judge_all, lower, upper, options, missed)
               : search_golden(space, config, judge, lower, upper, options, missed);
}

// The end of the horizons that land, from `in` (where one does) towards
// `end`, judged by the loose program's final mass less the dry mass: the
// first grid point past `in` where none lands (a step further while one
// does), then regula falsi (Illinois) between, halving where the loose
// program has no answer or the interval shrinks too slowly. Returns the
// last time known to land.
double landing_edge(const Config& config, SolveInto loose, Trajectory& scratch, double in, double f_in,
                    double out, double step, double end, double dry) {
    const auto excess = [&](double t) {
        const auto r = loose(config, t, scratch);
        return r ? scratch.final_mass - dry : std::numeric_limits<double>::quiet_NaN();
    };
    double f_out = excess(out);
    while (f_out >= 0.0) {
        if (out == end) return end;
        in = out, f_in = f_out;
        out = step > 0.0 ? std::min(out + step, end) : std::max(out + step, end);
        f_out = excess(out);
    }
    constexpr int kMaxSteps = 60;
    int side = 0;  // which end kept its value last (Illinois halves that one's)
    for (int i = 0; i < kMaxSteps; ++i) {
        if (std::abs(out - in) <= 1e-7 * std::max(std::abs(in), 1.0)) break;
        double u = 0.5 * (in + out);
        if (std::isfinite(f_out) && f_in > f_out && i % 3 != 2) {
            u = in + (out - in) * (f_in / (f_in - f_out));
            const double clear = 1e-3 * (out - in);
            u = std::clamp(u, std::min(in + clear, out - clear), std::max(in + clear, out - clear));
        }
        const double f = excess(u);
        if (f >= 0.0) {
            in = u, f_in = f;
            if (side == 1) f_out *= 0.5;
            side = 1;
        } else {
            out = u, f_out = f;
            if (side == -1) f_in *= 0.5;
            side = -1;
        }
    }
    return in;
}

// No grid point lands. Without the dry-mass floor the fuel closes no
// horizon, and wherever that loose program's final mass reaches the dry
// mass the floor does not bind: there both programs have the same optimum.
// So a window of horizons that land, however narrow, lies about the loose
// program's best horizon, and when its final mass falls short of the dry
// mass no horizon lands. To the target the loose best is the answer (solved
// with the floor); a nearest landing (the loose program landing anywhere)
// finds the window's ends between the grid points about it and searches
// there.
Result<void> fuel_window(SearchSpace& space, const Config& config, SolveInto judge, BatchInto judge_all,
                         SolveInto loose, double lower, double upper, const SearchOptions& options) {
    SearchOptions least_fuel = options;
    least_fuel.nearest_landing = false;
    least_fuel.earliest = 0.0;  // a bound that holds with the floor only
    const auto loose_all = [&loose](const Config& c, std::span<const double> times, std::span<Trajectory> out,
                                    std::span<Result<void>> results) {
        for (std::size_t i = 0; i < times.size(); ++i) results[i] = loose(c, times[i], out[i]);
    };
    Missed missed = Missed::none;
    const double dry = config.spacecraft.wet_mass - config.spacecraft.fuel;
    const auto best = run_search(space, config, loose, loose_all, lower, upper, least_fuel, missed);
    if (!best || !(space.best.final_mass >= dry * (1.0 - kDryMassSlack))) return no_feasible_time(lower, upper);
    const double t = space.best.time_of_flight;
    if (!options.nearest_landing) {
        auto planned = judge(config, t, space.best);
        if (planned || planned.error().kind == ErrorKind::interrupted) return planned;
        return no_feasible_time(lower, upper);
    }
    // The window lies about t, between the grid points either side of it
    // (further out only when those land).
    const double lo = std::min(lower, upper), hi = std::max(lower, upper);
    const double step = (hi - lo) / kGridIntervals;
    double below = step > 0.0 ? std::clamp(lo + std::floor((t - lo) / step) * step, lo, t) : t;
    if (below == t) below = std::max(t - step, lo);
    const double above = std::min(below + step, hi);
    const double f = space.best.final_mass - dry;
    const double left = below < t ? landing_edge(config, loose, space.current, t, f, below, -step, lo, dry) : t;
    const double right = above > t ? landing_edge(config, loose, space.current, t, f, above, step, hi, dry) : t;
    Config window = config;
    window.solver.tof_min = left;
    window.solver.tof_max = right;
    auto found = run_search(space, window, judge, judge_all, left, right, options, missed);
    if (found || found.error().kind == ErrorKind::interrupted) return found;
    return no_feasible_time(lower, upper);
}

}  // namespace

Result<void> search_into(SearchSpace& space, const Config& config, SolveInto fixed_solver, const SearchOptions& options,
                         const BatchInto* batch, const SolveInto* without_floor) {
    const Solver& s = config.solver;
    const auto [lower, upper] =
        s.tof_min && s.tof_max ? std::pair{*s.tof_min, *s.tof_max} : auto_bracket(config.spacecraft);
    const auto judge = [&fixed_solver](const Config& c, double t, Trajectory& out) {
        auto r = fixed_solver(c, t, out);
        if (!r && r.error().kind == ErrorKind::interrupted) throw SearchStopped{std::move(r.error())};
        return r;
    };
    const auto judge_all = [&](const Config& c, std::span<const double> times, std::span<Trajectory> out,
                               std::span<Result<void>> results) {
        if (batch) {
            (*batch)(c, times, out, results);
            for (Result<void>& r : results) {
                if (!r && r.error().kind == ErrorKind::interrupted) throw SearchStopped{std::move(r.error())};
            }
        } else {
            for (std::size_t i = 0; i < times.size(); ++i) results[i] = judge(c, times[i], out[i]);
        }
    };
    // The search proper; with a landing tolerance, first for the least error.
    const auto searched = [&](const SearchOptions& how) -> Result<void> {
        Missed missed = Missed::none;
        auto found = run_search(space, config, judge, judge_all, lower, upper, how, missed);
        if (missed == Missed::none || !without_floor) return found;
        const auto loose = [without_floor](const Config& c, double t, Trajectory& out) {
            auto r = (*without_floor)(c, t, out);
            if (!r && r.error().kind == ErrorKind::interrupted) throw SearchStopped{std::move(r.error())};
            return r;
        };
        auto window = fuel_window(space, config, judge, judge_all, loose, lower, upper, how);
        // A grid point landed: where the window is not found either, the
        // search's own answer stands.
        if (window || window.error().kind == ErrorKind::interrupted || missed == Missed::grid) return window;
        return found;
    };
    space.landing_allowance = 0.0;
    try {
        SearchOptions least_error = options;
        least_error.landing_tolerance = 0.0;
        auto found = searched(least_error);
        if (!found || !options.nearest_landing || !(options.landing_tolerance > 0.0) ||
            space.best.landing_error <= reach_tolerance(config)) {
            return found;
        }
        // The least error is ragged in the time of flight: metres of it may
        // cost a great deal of fuel. Within the tolerance, fuel decides.
        const double allowance = space.best.landing_error + options.landing_tolerance;
        std::swap(space.least, space.best);
        SearchOptions within = least_error;
        within.landing_allowance = allowance;
        space.landing_allowance = allowance;
        auto cheaper = searched(within);
        space.landing_allowance = 0.0;
        if (!cheaper && cheaper.error().kind == ErrorKind::interrupted) return cheaper;
        if (!cheaper || !(space.best.landing_error <= allowance) ||
            !(space.best.final_mass > space.least.final_mass)) {
            std::swap(space.least, space.best);
        }
        return {};
    } catch (SearchStopped& stopped) {
        space.landing_allowance = 0.0;
        return std::unexpected(std::move(stopped.error));
    }
}

SolveResult search(const Config& config, const FixedSolver& fixed_solver, const SearchOptions& options,
                   const BatchSolver& batch, const FixedSolver& without_floor) {
    const auto into = [&fixed_solver](const Config& c, double t, Trajectory& out) {
        return moved_into(fixed_solver(c, t), out);
    };
    const auto batch_into = [&batch](const Config& c, std::span<const double> times, std::span<Trajectory> out,
                                     std::span<Result<void>> results) {
        std::vector<SolveResult> solved = batch(c, std::vector<double>(times.begin(), times.end()));
        for (std::size_t i = 0; i < times.size(); ++i) results[i] = moved_into(std::move(solved[i]), out[i]);
    };
    const auto loose_into = [&without_floor](const Config& c, double t, Trajectory& out) {
        return moved_into(without_floor(c, t), out);
    };
    const BatchInto batched = batch_into;
    const SolveInto loose = loose_into;
    auto space = std::make_unique<SearchSpace>();
    auto found = search_into(*space, config, into, options, batch ? &batched : nullptr,
                             without_floor ? &loose : nullptr);
    if (!found) return std::unexpected(std::move(found.error()));
    return std::move(space->best);
}

SolveResult solve_fixed_plain(const Config& config, double time_of_flight) {
    return solve_fixed(config, time_of_flight);
}

SolveResult solve_fixed_without_floor(const Config& config, double time_of_flight) {
    ProgramOptions loose;
    loose.dry_mass_floor = false;
    return solve_fixed(config, time_of_flight, nullptr, loose);
}

SolveResult solve(const Config& config) {
    if (auto ok = check_node_count(config.solver.n); !ok) return std::unexpected(std::move(ok.error()));
    if (config.solver.time_of_flight) return solve_fixed(config, *config.solver.time_of_flight);
    return search(config, solve_fixed_plain, {}, {}, solve_fixed_without_floor);
}

}  // namespace vexal

