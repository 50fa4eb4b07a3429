#include "vexal/search.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "vexal/assemble.hpp"

namespace vexal {
namespace {

constexpr int kGridIntervals = 12;
constexpr int kGoldenSteps = 20;
constexpr double kGolden = 0.618033988749895;

// max(x, floor) that yields floor when x is not a number.
double at_least(double x, double floor) { return std::isnan(x) || x < floor ? floor : x; }

// Fixed point with three decimals, correctly rounded (ties to even on the
// exact binary value).
std::string three_decimals(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[400];  // the largest double has 309 integer digits
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
    return std::string(buf, r.ptr);
}

}  // namespace

std::pair<double, double> auto_bracket(const Spacecraft& sc) {
    const double dry = at_least(sc.wet_mass - sc.fuel, 1.0);
    const double accel = at_least(sc.max_thrust_pct * sc.real_max_thrust / dry, 0.001);
    const Vec3& v0 = sc.initial_velocity;
    const double speed = std::sqrt(v0[0] * v0[0] + v0[1] * v0[1] + v0[2] * v0[2]);
    const double lower = at_least(speed / accel, 1.0);
    const double min_flow = at_least(sc.real_max_thrust * sc.min_thrust_pct * sc.fuel_consumption, 1e-9);
    const double burn_time = sc.fuel / min_flow;
    const double upper = at_least(burn_time, 4.0 * lower);
    // The program's reference mass burns at full thrust; past the time that
    // burns all the fuel it falls below the dry mass and then through zero,
    // and the program stops describing the vehicle. A deep-throttling engine
    // would otherwise stretch the bracket far beyond every feasible horizon.
    const double max_flow = at_least(sc.real_max_thrust * sc.max_thrust_pct * sc.fuel_consumption, 1e-9);
    const double full_burn_time = sc.fuel / max_flow;
    return {lower, at_least(full_burn_time < upper ? full_burn_time : upper, lower)};
}

SolveResult search(const Config& config, const FixedSolver& fixed_solver) {
    const Solver& s = config.solver;
    const auto [lower, upper] =
        s.tof_min && s.tof_max ? std::pair{*s.tof_min, *s.tof_max} : auto_bracket(config.spacecraft);

    // Coarse grid; the earliest of equal scores stays best.
    const double h = (upper - lower) / kGridIntervals;
    int best = -1;
    double best_mass = 0.0;
    for (int i = 0; i <= kGridIntervals; ++i) {
        const auto candidate = fixed_solver(config, lower + i * h);
        if (candidate && (best < 0 || candidate->final_mass > best_mass)) {
            best = i;
            best_mass = candidate->final_mass;
        }
    }
    if (best < 0) {
        return std::unexpected("infeasible: no feasible time-of-flight in [" + three_decimals(lower) + ", " +
                               three_decimals(upper) + "]");
    }

    // Golden-section refinement over the neighbouring grid steps.
    const auto score = [&](double t) {
        const auto r = fixed_solver(config, t);
        return r ? r->final_mass : -std::numeric_limits<double>::infinity();
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
    return fixed_solver(config, fc >= fd ? c : d);
}

SolveResult solve_fixed_plain(const Config& config, double time_of_flight) {
    return solve_fixed(config, time_of_flight);
}

SolveResult solve(const Config& config) {
    if (auto ok = check_node_count(config.solver.n); !ok) return std::unexpected(std::move(ok.error()));
    if (config.solver.time_of_flight) return solve_fixed(config, *config.solver.time_of_flight);
    return search(config, solve_fixed_plain);
}

}  // namespace vexal
