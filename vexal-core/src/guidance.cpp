#include "vexal/guidance.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <random>

#include "vexal/check.hpp"
#include "vexal/planner.hpp"

namespace vexal {
namespace {

// The time between the plan's nodes (0 for a single node).
double node_spacing(const Trajectory& plan) {
    return plan.time_points.size() > 1 ? plan.time_points[1] - plan.time_points[0] : 0.0;
}

// The rotation by `angle` (rad) about the unit vector `axis`, rows first.
std::array<Vec3, 3> rotation(const Vec3& axis, double angle) {
    const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    const double x = axis[0], y = axis[1], z = axis[2];
    return {Vec3{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
            Vec3{t * x * y + s * z, t * y * y + c, t * y * z - s * x},
            Vec3{t * x * z - s * y, t * y * z + s * x, t * z * z + c}};
}

}  // namespace

ThrustCommand planned_thrust(const Trajectory& plan, double start) {
    auto nodes = std::make_shared<std::vector<Vec3>>();
    for (std::size_t k = 0; k < plan.u_values.size(); ++k) {
        const double mass = std::exp(plan.z_values[k]);
        const Vec3& u = plan.u_values[k];
        nodes->push_back({mass * u[0], mass * u[1], mass * u[2]});
    }
    const double dt = node_spacing(plan);
    return [nodes, dt, start](double t) -> Vec3 {
        const std::vector<Vec3>& thrust = *nodes;
        if (thrust.empty()) return {};
        const double at = dt > 0.0 ? (t - start) / dt : 0.0;
        const double last = static_cast<double>(thrust.size() - 1);
        if (!(at > 0.0)) return thrust.front();
        if (at > last) return {};  // past the last node the plan has landed: the engine is cut
        if (at == last) return thrust.back();
        const std::size_t k = static_cast<std::size_t>(at);
        const double f = at - static_cast<double>(k);
        const Vec3 &a = thrust[k], &b = thrust[k + 1];
        return {a[0] + f * (b[0] - a[0]), a[1] + f * (b[1] - a[1]), a[2] + f * (b[2] - a[2])};
    };
}

namespace {

// The plan's mass at time t after its start: its log held to first order.
double planned_mass(const Trajectory& plan, double t) {
    const std::vector<double>& z = plan.z_values;
    const double dt = node_spacing(plan);
    const double at = dt > 0.0 ? std::clamp(t / dt, 0.0, static_cast<double>(z.size() - 1)) : 0.0;
    const std::size_t k = std::min(static_cast<std::size_t>(at), z.size() - 1);
    const double f = at - static_cast<double>(k);
    return std::exp(k + 1 < z.size() ? z[k] + f * (z[k + 1] - z[k]) : z[k]);
}

// Re-plans keep the first plan's node spacing, but never fewer nodes than
// this: near the ground the spacing shrinks with the time left.
constexpr std::uint64_t kLeastNodes = 15;
// A searched re-plan looks between these multiples of the time left.
constexpr double kShortestReplan = 0.8;
constexpr double kLongestReplan = 1.25;
// The terminal descent: its velocity error is corrected over this time
// constant (s), with the command renewed at this period (s).
constexpr double kTerminalResponse = 1.0;
constexpr double kTerminalPeriod = 0.1;
// The engine's thrust as a multiple of the command is estimated from the
// velocity change navigation sees: each period's reading is blended in with
// this weight, once the commanded change is large enough to read it by.
constexpr double kScaleWeight = 0.5;
constexpr double kLeastReadableChange = 1.0;  // m/s
constexpr double kScaleStep = 0.05;           // s, the quadrature of the commanded change
// Below this height (m) a node other than the last is on the ground.
constexpr double kGroundClearance = 1e-3;

// The velocity change guidance expects of the command over [from, to] (s of
// flight): the thrust of the engine it believes in (its limits clip the
// command) at the mass the plan expects, gravity aside.
Vec3 expected_change(const Engine& believed, const ThrustCommand& command, const Trajectory& plan, double plan_start,
                     double from, double to) {
    Vec3 sum{};
    const int steps = std::max(1, static_cast<int>(std::ceil((to - from) / kScaleStep)));
    const double h = (to - from) / steps;
    for (int i = 0; i <= steps; ++i) {
        const double t = from + i * h;
        const Vec3 thrust = engine_thrust(believed, command(t), planned_mass(plan, t - plan_start));
        const double weight = (i == 0 || i == steps ? 0.5 : 1.0) * h / planned_mass(plan, t - plan_start);
        for (int j = 0; j < 3; ++j) sum[j] += weight * thrust[j];
    }
    return sum;
}

// The engine's thrust per command as guidance reads it after a period: the
// velocity change seen (gravity's taken out) along the change expected of
// the `believed` engine, blended into its scale. At the engine's limits the
// expectation is the limit whatever the scale, and the reading leaves the
// scale as it is.
double read_engine(const Engine& believed, const Vec3& seen, const Vec3& expected) {
    const double scale = 1.0 + believed.scale_error;
    const double size = norm(expected);
    if (size < kLeastReadableChange) return scale;
    const double along = seen[0] * expected[0] + seen[1] * expected[1] + seen[2] * expected[2];
    const double reading = std::clamp(scale * along / (size * size), 0.5, 1.5);
    return (1.0 - kScaleWeight) * scale + kScaleWeight * reading;
}

// Whether a plan is on the ground before its last node: it would skim the
// ground there, a touchdown between nodes early and off the target, and is
// no landing plan (a horizon longer than the descent needs can give one).
bool lands_early(const Trajectory& plan, double ground) {
    const std::vector<Vec3>& r = plan.positions;
    return std::any_of(r.begin(), r.end() - (r.empty() ? 0 : 1),
                       [ground](const Vec3& p) { return p[2] - ground < kGroundClearance; });
}

// A command scaled by `factor`.
ThrustCommand scaled(ThrustCommand command, double factor) {
    return [command = std::move(command), factor](double t) {
        const Vec3 thrust = command(t);
        return Vec3{factor * thrust[0], factor * thrust[1], factor * thrust[2]};
    };
}

}  // namespace

Flight simulate(const Config& config, const GuidanceOptions& options, const FlightErrors& errors) {
    using Clock = std::chrono::steady_clock;
    const Spacecraft& sc = config.spacecraft;
    ProgramOptions program{options.pointing};
    program.rotation = options.rotation;
    const StopCheck* stop = options.stop;
    const auto stopped = [stop] { return stop && (*stop)(); };
    Flight flight;

    // The vehicle as the plans see it: its top thrust less the reserve.
    Config planned = config;
    planned.spacecraft.max_thrust_pct =
        std::max(sc.min_thrust_pct, sc.max_thrust_pct * (1.0 - options.thrust_margin));
    if (options.terminal_height > 0.0 && options.terminal_speed > 0.0) {
        planned.spacecraft.target_position[2] += options.terminal_height;
        planned.spacecraft.target_velocity = {0.0, 0.0, -options.terminal_speed};
    }

    // The time-of-flight search of a plan, over its configuration's bracket.
    const auto searched = [&](const Config& c, QuickSolves& quick) {
        quick.slopes = true;
        const FixedSolver fixed = [&](const Config& cc, double t) { return solve_fixed(cc, t, stop, program, &quick); };
        return search(c, fixed, SearchOptions{SearchMode::fast});
    };

    // The plan at ignition.
    const auto started = Clock::now();
    QuickSolves quick;
    quick.solver = options.solver;
    auto first = config.solver.time_of_flight
                     ? solve_fixed(planned, *config.solver.time_of_flight, stop, program, &quick)
                     : searched(planned, quick);
    if (!first) {
        flight.outcome = first.error().kind == ErrorKind::interrupted ? FlightOutcome::interrupted
                                                                      : FlightOutcome::no_plan;
        flight.message = first.error().message;
        return flight;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Trajectory plan = std::move(*first);
    flight.first_plan = plan;
    flight.planned_fuel = sc.wet_mass - plan.final_mass;
    flight.plans.push_back({0.0, PlanSource::searched, seconds, plan.time_points.back()});

    // The world as it is.
    std::mt19937_64 random(errors.seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 2.0 * std::acos(-1.0));
    Engine engine;
    engine.min_thrust = sc.min_thrust_pct * sc.real_max_thrust;
    engine.max_thrust = sc.max_thrust_pct * sc.real_max_thrust;
    engine.fuel_consumption = sc.fuel_consumption / (1.0 + errors.isp_error);
    engine.dry_mass = sc.wet_mass - sc.fuel;
    engine.lag = errors.engine_lag;
    const double bearing = uniform(random);  // drawn whatever the angle, so that seeds keep their meaning
    const double misalignment = errors.misalignment_deg * std::acos(-1.0) / 180.0;
    engine.misalignment = rotation({std::cos(bearing), std::sin(bearing), 0.0}, misalignment);
    const Vec3& g = config.environment.gravity;
    const Vec3& w = options.rotation;
    const Vec3& dw = errors.rotation_error;
    const Planet planet{{g[0] * (1.0 + errors.gravity_error), g[1] * (1.0 + errors.gravity_error),
                         g[2] * (1.0 + errors.gravity_error)},
                        {w[0] + dw[0], w[1] + dw[1], w[2] + dw[2]}};

    PlantState state;
    state.position = sc.initial_position;
    state.velocity = sc.initial_velocity;
    state.mass = sc.wet_mass + errors.initial_mass_error;
    ThrustCommand command = planned_thrust(plan, 0.0);
    state.thrust = engine_thrust(engine, command(0.0), state.mass);  // lit before the flight starts
    flight.history.push_back(state);

    const double dt = node_spacing(plan);
    double plan_start = 0.0;
    double touchdown = plan.time_points.back();
    const double time_limit = touchdown + std::max(60.0, 0.5 * touchdown);
    // Flies a segment; true when it reached the ground.
    const auto flown = [&](const ThrustCommand& thrust, double until) {
        const FlightSegment segment = fly(engine, planet, state, thrust, until, options.step);
        flight.history.insert(flight.history.end(), segment.states.begin() + 1, segment.states.end());
        state = flight.history.back();
        return segment.end == FlightEnd::ground;
    };
    // What guidance makes of the engine: thrust = scale x command. Plans
    // are made for an engine of scale times the rated thrust, and their
    // thrust commanded divided by it.
    double scale = 1.0;
    double seen_at = 0.0;
    Vec3 seen_velocity = sc.initial_velocity;
    const auto ended = [&](FlightOutcome outcome) {
        flight.outcome = outcome;
        return flight;
    };
    for (;;) {
        if (stopped()) return ended(FlightOutcome::interrupted);
        const bool replans = options.replan_period > 0.0 && touchdown - state.t > options.final_hold;
        const double until = replans ? std::min(state.t + options.replan_period, touchdown) : touchdown;
        engine.scale_error = errors.thrust_bias + errors.thrust_noise * normal(random);
        if (flown(command, until)) return ended(FlightOutcome::landed);
        if (state.t >= touchdown) break;
        if (!replans) continue;

        // A new plan from what navigation says, to land when the current one does.
        const auto asked = Clock::now();
        Config c = planned;
        for (int j = 0; j < 3; ++j) {
            c.spacecraft.initial_position[j] = state.position[j] + errors.position_noise * normal(random);
            c.spacecraft.initial_velocity[j] = state.velocity[j] + errors.velocity_noise * normal(random);
        }
        Vec3 seen_change;
        for (int j = 0; j < 3; ++j) {
            seen_change[j] = c.spacecraft.initial_velocity[j] - seen_velocity[j] - g[j] * (state.t - seen_at);
        }
        Engine believed = engine;  // the rated limits, none of the errors
        believed.scale_error = scale - 1.0;
        believed.misalignment = Engine{}.misalignment;
        const Vec3 expected = expected_change(believed, command, plan, plan_start, seen_at, state.t);
        scale = read_engine(believed, seen_change, expected);
        seen_at = state.t;
        seen_velocity = c.spacecraft.initial_velocity;
        c.spacecraft.real_max_thrust = scale * sc.real_max_thrust;
        const double mass = planned_mass(plan, state.t - plan_start);
        c.spacecraft.wet_mass = mass;
        c.spacecraft.fuel = mass - (sc.wet_mass - sc.fuel);
        const double remaining = touchdown - state.t;
        const auto n = std::clamp<std::uint64_t>(static_cast<std::uint64_t>(std::llround(remaining / dt)) + 1,
                                                 kLeastNodes, std::max(config.solver.n, kLeastNodes));
        c.solver.n = n;
        const double horizon = remaining * static_cast<double>(n) / static_cast<double>(n - 1);
        c.solver.time_of_flight.reset();
        c.solver.tof_min = kShortestReplan * horizon;
        c.solver.tof_max = kLongestReplan * horizon;
        PlanSource source = PlanSource::kept;
        std::optional<Trajectory> next;
        QuickSolves replan_solves;
        replan_solves.solver = options.solver;
        const auto solve_one = [&](const ProgramOptions& p) {
            return solve_fixed(c, horizon, stop, p, &replan_solves);
        };
        const auto take = [&](SolveResult r, PlanSource from) {
            if (r && !lands_early(*r, c.spacecraft.target_position[2])) next = std::move(*r), source = from;
        };
        if (checked_for_planning(c)) {
            take(solve_one(program), PlanSource::replanned);
            if (!next && !stopped() && options.replan_horizon == ReplanHorizon::searched) {
                take(searched(c, replan_solves), PlanSource::replanned);
            }
        }
        if (!next && !stopped()) {
            // Behind the plan: the reserve is there to be spent, and if
            // that is not enough, the time it takes to get back.
            c.spacecraft.max_thrust_pct = sc.max_thrust_pct;
            if (checked_for_planning(c)) {
                take(solve_one(program), PlanSource::reserve);
                if (!next && !stopped()) take(searched(c, replan_solves), PlanSource::reserve);
            }
        }
        if (!next && !stopped() && checked_for_planning(c, true)) {
            take(nearest_landing(c, program, solve_one), PlanSource::nearest);
        }
        if (stopped()) return ended(FlightOutcome::interrupted);
        if (next) {
            plan = std::move(*next);
            plan_start = state.t;
            touchdown = plan_start + plan.time_points.back();
        }
        // A kept plan is commanded at the new scale too.
        command = scaled(planned_thrust(plan, plan_start), 1.0 / scale);
        const double took = std::chrono::duration<double>(Clock::now() - asked).count();
        flight.plans.push_back({state.t, source, took, touchdown});
    }
    if (options.terminal_speed > 0.0) {
        // Behind the last plan, above the ground: straight down at the
        // terminal speed, the velocity navigation gives fed back, the mass
        // the plan expects.
        flight.terminal_descent = state.t;
        const double mass = std::exp(plan.z_values.back());
        while (state.t < time_limit) {
            if (stopped()) return ended(FlightOutcome::interrupted);
            Vec3 thrust;
            for (int j = 0; j < 3; ++j) {
                const double wanted = j == 2 ? -options.terminal_speed : 0.0;
                const double seen = state.velocity[j] + errors.velocity_noise * normal(random);
                thrust[j] = mass * ((wanted - seen) / kTerminalResponse - g[j]);
            }
            engine.scale_error = errors.thrust_bias + errors.thrust_noise * normal(random);
            if (flown([thrust](double) { return thrust; }, std::min(state.t + kTerminalPeriod, time_limit))) {
                return ended(FlightOutcome::landed);
            }
        }
        return ended(FlightOutcome::time_limit);
    }
    // The engine is cut: the vehicle comes down.
    return ended(flown([](double) { return Vec3{}; }, time_limit) ? FlightOutcome::landed : FlightOutcome::time_limit);
}

}  // namespace vexal
