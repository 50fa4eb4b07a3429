#include "vexal/guidance.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>

#include "vexal/accuracy.hpp"
#include "vexal/assemble.hpp"
#include "vexal/check.hpp"
#include "vexal/planner.hpp"

namespace vexal {
namespace {

// The time between the plan's nodes (0 for a single node).
double node_spacing(const Trajectory& plan) {
    return plan.time_points.size() > 1 ? plan.time_points[1] - plan.time_points[0] : 0.0;
}

}  // namespace

namespace {

// The plan's thrust (N) `since` s after its start: the nodes' thrust held to
// first order between them, none past the last node.
Vec3 plan_thrust_at(const Trajectory& plan, double since) {
    const std::size_t nodes = plan.u_values.size();
    if (nodes == 0) return {};
    const auto thrust = [&plan](std::size_t k) {
        const double mass = std::exp(plan.z_values[k]);
        const Vec3& u = plan.u_values[k];
        return Vec3{mass * u[0], mass * u[1], mass * u[2]};
    };
    const double dt = node_spacing(plan);
    const double at = dt > 0.0 ? since / dt : 0.0;
    const double last = static_cast<double>(nodes - 1);
    if (!(at > 0.0)) return thrust(0);
    if (at > last) return {};  // past the last node the plan has landed: the engine is cut
    if (at == last) return thrust(nodes - 1);
    const std::size_t k = static_cast<std::size_t>(at);
    const double f = at - static_cast<double>(k);
    const Vec3 a = thrust(k), b = thrust(k + 1);
    return {a[0] + f * (b[0] - a[0]), a[1] + f * (b[1] - a[1]), a[2] + f * (b[2] - a[2])};
}

}  // namespace

ThrustCommand planned_thrust(const Trajectory& plan, double start) {
    return [plan = std::make_shared<const Trajectory>(plan), start](double t) {
        return plan_thrust_at(*plan, t - start);
    };
}

namespace {

// Re-plans keep the first plan's node spacing as far as it goes, at the
// least of these fifths of its node count that has as many nodes (and
// never fewer than kLeastNodes): near the ground the spacing shrinks with
// the time left, and a flight builds one solver of a kind per fifth.
constexpr std::uint64_t kLeastNodes = 15;
constexpr std::uint64_t kNodeFifths = 5;

std::uint64_t replan_nodes(double intervals, std::uint64_t n) {
    const auto wanted = static_cast<std::uint64_t>(std::llround(std::max(0.0, intervals))) + 1;
    const std::uint64_t most = std::max(n, kLeastNodes);
    for (std::uint64_t fifths = 1; fifths < kNodeFifths; ++fifths) {
        const std::uint64_t size = std::max(kLeastNodes, (fifths * n + kNodeFifths - 1) / kNodeFifths);
        if (size >= wanted || size >= most) return std::min(size, most);
    }
    return most;
}

// A searched re-plan looks between these multiples of the time left.
constexpr double kShortestReplan = 0.8;
constexpr double kLongestReplan = 1.25;
// When no landing comes in the time left, the nearest one is searched up to
// this multiple of it.
constexpr double kLongestFallback = 3.0;
// The terminal descent's command period without tracking (s).
constexpr double kTerminalPeriod = 0.1;
// The engine's thrust as a multiple of the command is read from the
// velocity change the vehicle feels against the change the command should
// give: each re-plan's reading is blended in with this weight, once the
// commanded change is large enough to read it by.
constexpr double kScaleWeight = 0.5;
constexpr double kLeastReadableChange = 1.0;  // m/s
// The least engine guidance believes in after a fault it is told of.
constexpr double kLeastScale = 0.05;
// An engine out is annunciated this long (s) after it happens.
constexpr double kFaultNotice = 0.2;
// The thrust noise is drawn anew at this period (s) of flight time: a clock
// of the world, not of guidance.
constexpr double kThrustNoisePeriod = 1.0;
// Below this height (m) a node other than the last is on the ground.
constexpr double kGroundClearance = 1e-3;

// The engine's thrust per command as guidance reads it after a period: the
// velocity change felt along the change expected of the `believed` engine
// (at the mass guidance believes), blended into its scale.
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

// The flight's end if it has not touched down by then: the plan in force's
// touchdown, twice the descent from its gate, and a margin.
double flight_time_limit(double touchdown, const GuidanceOptions& options) {
    const double descent = options.terminal_speed > 0.0 ? options.terminal_height / options.terminal_speed : 0.0;
    return touchdown + std::max(60.0, 0.5 * touchdown) + 2.0 * descent;
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

    // What the flight's plans work in, kept from plan to plan: every re-plan
    // has the first plan's node count, so that its solvers and arrays serve
    // them all and a re-plan allocates nothing once the first has run.
    QuickSolves quick;
    quick.solver = options.solver;
    quick.slopes = false;
    SolveBuffers buffers;
    SearchSpace space;
    Trajectory spare, nearest_spare;
    const auto solve_with = [&](const Config& c, double t, const ProgramOptions& p, Trajectory& out) {
        return solve_fixed_into(out, buffers, c, t, stop, p, &quick);
    };
    // The same without the dry-mass floor: a search whose grid lands
    // nowhere looks there for a fuel window narrower than its step.
    ProgramOptions loose = program;
    loose.dry_mass_floor = false;
    const auto loose_at = [&](const Config& c, double t, Trajectory& out) { return solve_with(c, t, loose, out); };
    const SolveInto without_floor = loose_at;

    // The time-of-flight search of a plan, over its configuration's
    // bracket; the answer in space.best.
    const auto searched = [&](const Config& c) {
        quick.slopes = true;  // only a search reads them
        const auto fixed = [&](const Config& cc, double t, Trajectory& out) { return solve_with(cc, t, program, out); };
        auto found = search_into(space, c, fixed, SearchOptions{SearchMode::fast}, nullptr, &without_floor);
        quick.slopes = false;
        return found;
    };

    // The nearest landing when none comes in the time left: an engine that
    // lost thrust brakes later and longer. The search over up to
    // kLongestFallback times that time, ranked by landing error, then fuel.
    const auto nearest_taking_longer = [&](Config c, double horizon) {
        c.solver.tof_min = horizon;
        c.solver.tof_max = kLongestFallback * horizon;
        const auto fixed = [&](const Config& cc, double t, Trajectory& out) {
            const auto stage = [&](const ProgramOptions& p, Trajectory& to) { return solve_with(cc, t, p, to); };
            return nearest_landing_into(out, nearest_spare, cc, program, stage);
        };
        ProgramOptions anywhere = loose;
        anywhere.landing = Landing::anywhere;
        const auto landing_anywhere = [&](const Config& cc, double t, Trajectory& out) {
            return solve_with(cc, t, anywhere, out);
        };
        const SolveInto loose_landing = landing_anywhere;
        SearchOptions nearest{SearchMode::fast};
        nearest.nearest_landing = true;
        quick.slopes = true;
        auto found = search_into(space, c, fixed, nearest, nullptr, &loose_landing);
        quick.slopes = false;
        return found;
    };

    // The world as it is.
    std::mt19937_64 world = seeded_stream(errors.seed, 0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 2.0 * std::acos(-1.0));
    Engine engine;
    engine.min_thrust = sc.min_thrust_pct * sc.real_max_thrust;
    engine.max_thrust = sc.max_thrust_pct * sc.real_max_thrust;
    engine.fuel_consumption = sc.fuel_consumption / (1.0 + errors.isp_error);
    engine.dry_mass = sc.wet_mass - sc.fuel + errors.dry_mass_error;
    engine.lag = errors.engine_lag;
    if (errors.thrust_loss > 0.0) engine.loss_time = errors.thrust_loss_time, engine.remaining = 1.0 - errors.thrust_loss;
    const double bearing = uniform(world);  // drawn whatever the angle, so that seeds keep their meaning
    engine.misalignment = errors.misalignment_deg * std::acos(-1.0) / 180.0;
    engine.misalignment_toward = {std::cos(bearing), std::sin(bearing), 0.0};
    const Vec3& g = config.environment.gravity;
    const Vec3& w = options.rotation;
    const Vec3& dw = errors.rotation_error;
    const Planet planet{{g[0] * (1.0 + errors.gravity_error), g[1] * (1.0 + errors.gravity_error),
                         g[2] * (1.0 + errors.gravity_error)},
                        {w[0] + dw[0], w[1] + dw[1], w[2] + dw[2]}};
    PlantState state;
    state.position = sc.initial_position;
    state.velocity = sc.initial_velocity;
    state.mass = sc.wet_mass + errors.initial_mass_error + errors.dry_mass_error;

    // What guidance knows of it: its instruments, through the filter.
    Navigator navigator(options.navigation,
                        Instruments(options.sensors, errors.position_noise, errors.velocity_noise, errors.seed), g, w,
                        state, errors.seed);
    NavigatedState navigated = navigator.read();

    // The plan at ignition, from where navigation puts the vehicle.
    planned.spacecraft.initial_position = navigated.position;
    planned.spacecraft.initial_velocity = navigated.velocity;
    const auto started = Clock::now();
    Trajectory plan;
    auto first = config.solver.time_of_flight ? solve_with(planned, *config.solver.time_of_flight, program, plan)
                                              : searched(planned);
    if (!first) {
        flight.outcome = first.error().kind == ErrorKind::interrupted ? FlightOutcome::interrupted
                                                                      : FlightOutcome::no_plan;
        flight.message = written(std::move(first.error())).message;
        return flight;
    }
    if (!config.solver.time_of_flight) std::swap(plan, space.best);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    flight.first_plan = plan;
    flight.planned_fuel = sc.wet_mass - plan.final_mass;
    flight.plans.push_back({0.0, PlanSource::searched, seconds, plan.time_points.back()});

    // The plan in force's thrust as planned (the engine's command without
    // tracking), divided by the engine guidance believed in when it was
    // taken: one command for the whole flight, that reads the plan in force.
    double plan_start = 0.0;
    double command_scale = 1.0;
    const ThrustCommand command = [&plan, &plan_start, &command_scale](double t) -> Vec3 {
        const Vec3 planned = plan_thrust_at(plan, t - plan_start);
        const double factor = 1.0 / command_scale;
        return {factor * planned[0], factor * planned[1], factor * planned[2]};
    };
    state.thrust = engine_thrust(engine, command(0.0), state.mass);  // lit before the flight starts
    flight.history.push_back(state);
    flight.navigation.push_back(navigator.current());

    const double dt = node_spacing(plan);
    Vec3 plan_gravity = g;  // the gravity the plan in force was made for
    double touchdown = plan.time_points.back();
    double time_limit = flight_time_limit(touchdown, options);
    if (options.replan_period > 0.0) {
        flight.plans.reserve(flight.plans.size() + static_cast<std::size_t>(time_limit / options.replan_period) + 2);
        // The target landing's solvers at every node count re-plans take,
        // built now rather than by the re-plans that first meet them.
        if (quick.solver == SolverChoice::structured) {
            for (std::uint64_t fifths = 1; fifths < kNodeFifths; ++fifths) {
                Config like = planned;
                like.solver.n = replan_nodes(static_cast<double>(fifths * config.solver.n) / kNodeFifths - 1.0,
                                             config.solver.n);
                const double horizon = plan.time_of_flight * static_cast<double>(like.solver.n) /
                                       static_cast<double>(config.solver.n);
                assemble_into(buffers.problem, like, horizon, program);
                program_scaling_into(buffers.scaling, like, horizon, buffers.problem, program);
                scaled_into(buffers.program, buffers.problem, buffers.scaling);
                (void)quick.structured_for(buffers.program, program, like.solver.n, 0.0);
            }
        }
    }

    // What guidance makes of its engine and mass: thrust = scale x command,
    // and the mass falls with the thrust it believes given. Plans are made
    // for an engine of scale times the rated thrust, and their thrust
    // commanded divided by it.
    double scale = 1.0;
    double mass = sc.wet_mass;
    Engine believed;  // the rated engine, none of the errors
    believed.min_thrust = engine.min_thrust;
    believed.max_thrust = engine.max_thrust;
    believed.fuel_consumption = sc.fuel_consumption;
    believed.dry_mass = sc.wet_mass - sc.fuel;
    // The velocity change the commands should have given since the last
    // reading of the engine, and the one felt.
    Vec3 expected{}, felt{};
    double read_at = 0.0;
    Vec3 read_velocity = navigated.velocity;
    const auto believe = [&](const ThrustCommand& thrust, const std::vector<PlantState>& steps) {
        believed.scale_error = scale - 1.0;
        for (std::size_t i = 1; i < steps.size(); ++i) {
            const double h = steps[i].t - steps[i - 1].t;
            const Vec3 given = engine_thrust(believed, thrust(steps[i - 1].t + 0.5 * h), mass);
            for (int j = 0; j < 3; ++j) expected[j] += h * given[j] / mass;
            if (mass > believed.dry_mass) mass -= h * believed.fuel_consumption * norm(given);
        }
        for (const Navigator::Felt& f : navigator.felt()) {
            for (int j = 0; j < 3; ++j) felt[j] += f.h * f.force[j];
        }
    };

    // Flies a command until `until`, the thrust noise drawn on the world's
    // clock, navigation following; true when it reached the ground.
    std::vector<double> thrust_noise;
    const auto flown = [&](const ThrustCommand& thrust, double until) {
        while (state.t < until) {
            const auto tick = static_cast<std::size_t>(std::floor(state.t / kThrustNoisePeriod));
            while (thrust_noise.size() <= tick) thrust_noise.push_back(normal(world));
            engine.scale_error = errors.thrust_bias + errors.thrust_noise * thrust_noise[tick];
            const double end = std::min(until, static_cast<double>(tick + 1) * kThrustNoisePeriod);
            const FlightSegment segment = fly(engine, planet, state, thrust, end, options.step);
            flight.history.insert(flight.history.end(), segment.states.begin() + 1, segment.states.end());
            navigator.advance(planet, segment.states, flight.navigation);
            believe(thrust, segment.states);
            state = flight.history.back();
            if (segment.end == FlightEnd::ground) return true;
        }
        return false;
    };

    // The thrust guidance may ask, as it believes the engine: the rated
    // range times the scale it reads (a strong engine gives more at full
    // throttle, as the plans made for it expect).
    const double kDegrees = std::acos(-1.0) / 180.0;
    const double max_angle = options.pointing ? config.environment.max_angle_deg * kDegrees : 2.0;
    const auto believed_limits = [&engine, max_angle](double k) {
        return ThrustLimits{k * engine.min_thrust, k * engine.max_thrust, max_angle};
    };
    const double period = options.control.rate > 0.0 ? 1.0 / options.control.rate : 0.0;
    // Flies the plan in force until `until`: tracked at the control rate
    // (the plan's thrust acceleration plus feedback held over each period),
    // or without tracking its thrust as planned.
    const auto follow = [&](double until) {
        if (!(period > 0.0)) return flown(command, until);
        while (state.t < until) {
            if (stopped()) return false;
            const NavigatedState now = navigator.read();
            const Vec3 feedback = tracking_feedback(plan_reference(plan, state.t - plan_start, plan_gravity, w), now,
                                                    options.control.bandwidth);
            const ThrustCommand tracked = [&plan, &plan_gravity, &w, feedback, start = plan_start, m = mass, k = scale,
                                           limits = believed_limits(scale)](double t) {
                const Vec3 u = plan_reference(plan, t - start, plan_gravity, w).acceleration;
                const Vec3 thrust = limited_thrust({u[0] + feedback[0], u[1] + feedback[1], u[2] + feedback[2]}, m,
                                                   limits);
                return Vec3{thrust[0] / k, thrust[1] / k, thrust[2] / k};
            };
            if (flown(tracked, std::min(until, state.t + period))) return true;
        }
        return false;
    };
    const auto ended = [&](FlightOutcome outcome) {
        if (outcome == FlightOutcome::landed) {
            flight.touchdown = touchdown_at(state, sc.target_position);
            if (!within(options.limits, *flight.touchdown)) outcome = FlightOutcome::hard_landing;
        }
        flight.outcome = outcome;
        flight.fixes = navigator.counts();
        return flight;
    };
    // An engine out is annunciated by the engines' health monitoring
    // kFaultNotice after it happens: guidance believes the engine that is
    // left from then on and re-plans at once.
    double notice = errors.thrust_loss > 0.0 ? errors.thrust_loss_time + kFaultNotice
                                             : std::numeric_limits<double>::infinity();
    // The last re-plan found nothing: behind its plan near the ground, the
    // vehicle cannot make the gate in the time left and every longer plan
    // dips below it. Until a plan is found again (or the engine changes),
    // re-plans try the time left and the nearest landing in it, not the
    // searches that found nothing.
    bool lost = false;
    const bool gated = options.terminal_height > 0.0 && options.terminal_speed > 0.0;
    std::uint64_t solved_n = config.solver.n;  // of the last plan's solves
    for (;;) {
        if (stopped()) return ended(FlightOutcome::interrupted);
        const bool replans = options.replan_period > 0.0 && touchdown - state.t > options.final_hold;
        double until = replans ? std::min(state.t + options.replan_period, touchdown) : touchdown;
        if (notice > state.t && notice < until) until = notice;
        if (follow(until)) return ended(FlightOutcome::landed);
        if (stopped()) return ended(FlightOutcome::interrupted);
        if (state.t >= touchdown) break;
        if (state.t >= notice) {
            notice = std::numeric_limits<double>::infinity();
            lost = false;  // another engine: the searches may find what they did not
            scale = std::max(kLeastScale, scale * (1.0 - errors.thrust_loss));
            expected = felt = Vec3{};  // the period's reading mixes both engines: none
        }
        // Through a gate, not with less than final_hold left (the period may
        // have run into it): that late the gate is out of reach of any plan,
        // and the terminal descent lands from where the plan in force ends.
        // On the ground a plan with a fraction of a second left still lands
        // softer than the one in force.
        if (!replans || (gated && !(touchdown - state.t > options.final_hold))) continue;

        // A new plan from what navigation says, to land when the current one does.
        const auto asked = Clock::now();
        navigated = navigator.read();
        Config c = planned;
        c.spacecraft.initial_position = navigated.position;
        c.spacecraft.initial_velocity = navigated.velocity;
        // The engine read by the velocity change: as the accelerometer felt
        // it (its bias as estimated taken out), or without the filter as
        // navigation's velocity moved, gravity taken out.
        if (!navigator.filtered()) {
            for (int j = 0; j < 3; ++j) {
                felt[j] = navigated.velocity[j] - read_velocity[j] - g[j] * (state.t - read_at);
            }
        }
        believed.scale_error = scale - 1.0;
        scale = read_engine(believed, felt, expected);
        expected = felt = Vec3{};
        read_at = state.t;
        read_velocity = navigated.velocity;
        c.spacecraft.real_max_thrust = scale * sc.real_max_thrust;
        c.spacecraft.wet_mass = mass;
        c.spacecraft.fuel = mass - (sc.wet_mass - sc.fuel);
        c.environment.gravity = navigator.gravity();
        // The first plan's node spacing, rounded up to one of a few node
        // counts, so that a solver and arrays built once serve every re-plan.
        const double remaining = touchdown - state.t;
        const std::uint64_t n = replan_nodes(remaining / dt, config.solver.n);
        // Clarabel's kept solvers are one per program kind, of one size.
        if (n != solved_n && quick.solver == SolverChoice::clarabel) quick.restart();
        solved_n = n;
        c.solver.n = n;
        const double horizon = remaining * static_cast<double>(n) / static_cast<double>(n - 1);
        c.solver.time_of_flight.reset();
        c.solver.tof_min = kShortestReplan * horizon;
        c.solver.tof_max = kLongestReplan * horizon;
        PlanSource source = PlanSource::kept;
        bool next = false;
        Trajectory& made = spare;
        const auto solve_one = [&](const ProgramOptions& p, Trajectory& out) { return solve_with(c, horizon, p, out); };
        // A plan that lands but dips below the gate first: the vehicle
        // cannot stop above the gate, and a longer horizon will not make it.
        bool dips = false;
        const auto take = [&](Result<void> r, Trajectory& t, PlanSource from) {
            if (!r) return;
            if (lands_early(t, c.spacecraft.target_position[2])) {
                dips = true;
                return;
            }
            if (&t != &made) std::swap(made, t);
            next = true, source = from;
        };
        const auto time_left_then_searched = [&](PlanSource from) {
            take(solve_one(program, made), made, from);
            if (!next && !stopped() && !lost && options.replan_horizon == ReplanHorizon::searched) {
                take(searched(c), space.best, from);
            }
        };
        if (checked_for_planning(c)) time_left_then_searched(PlanSource::replanned);
        // Behind the plan: the reserve is there to be spent (when there is
        // one), and if that is not enough, the time it takes to get back.
        if (!next && !stopped() && planned.spacecraft.max_thrust_pct < sc.max_thrust_pct) {
            c.spacecraft.max_thrust_pct = sc.max_thrust_pct;
            if (checked_for_planning(c)) time_left_then_searched(PlanSource::reserve);
        }
        c.spacecraft.max_thrust_pct = sc.max_thrust_pct;
        if (!next && !stopped() && checked_for_planning(c, true)) {
            take(nearest_landing_into(made, nearest_spare, c, program, solve_one), made, PlanSource::nearest);
            if (!next && !stopped() && !lost && !dips) {
                take(nearest_taking_longer(c, horizon), space.best, PlanSource::nearest);
            }
        }
        lost = !next;
        if (stopped()) return ended(FlightOutcome::interrupted);
        if (next) {
            std::swap(plan, made);
            plan_gravity = c.environment.gravity;
            plan_start = state.t;
            touchdown = plan_start + plan.time_points.back();
            time_limit = flight_time_limit(touchdown, options);
        }
        command_scale = scale;  // a kept plan is commanded at the new scale too
        const double took = std::chrono::duration<double>(Clock::now() - asked).count();
        flight.plans.push_back({state.t, source, took, touchdown, scale});
    }
    if (options.terminal_speed > 0.0) {
        // Behind the last plan, above the ground: straight down at the
        // terminal speed over where the plan ended, on the navigated state,
        // at the mass and engine guidance believes.
        flight.terminal_descent = state.t;
        TerminalDescent descent(options.terminal_speed, plan.positions.back(), navigator.gravity());
        const double tick = period > 0.0 ? period : kTerminalPeriod;
        while (state.t < time_limit) {
            if (stopped()) return ended(FlightOutcome::interrupted);
            const Vec3 wanted =
                limited_thrust(descent.acceleration(navigator.read(), tick), mass, believed_limits(scale), true);
            const Vec3 thrust{wanted[0] / scale, wanted[1] / scale, wanted[2] / scale};
            if (flown([thrust](double) { return thrust; }, std::min(state.t + tick, time_limit))) {
                return ended(FlightOutcome::landed);
            }
        }
        return ended(FlightOutcome::time_limit);
    }
    // The engine is cut: the vehicle comes down.
    return ended(flown([](double) { return Vec3{}; }, time_limit) ? FlightOutcome::landed : FlightOutcome::time_limit);
}

}  // namespace vexal
