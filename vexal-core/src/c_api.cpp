// The C interface: plain structs converted to the core's records and back,
// vexal::plan run on them, and every failure, thrown or returned, turned
// into a code and a message at this boundary.
#include "c_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vexal/json.hpp"
#include "vexal/memory.hpp"

// The workspace, sized when created, and whether it holds a plan.
struct vexal_planner {
    vexal::PlanWorkspace workspace;
    bool planned = false;
};

namespace vexal::c_api {
namespace {

constexpr ErrorKind kKinds[] = {ErrorKind::invalid_input,       ErrorKind::infeasible, ErrorKind::solver_status,
                                ErrorKind::solver_construction, ErrorKind::json,       ErrorKind::interrupted};

void copy3(double (&to)[3], const Vec3& from) { std::copy(from.begin(), from.end(), to); }
Vec3 vec3(const double (&from)[3]) { return {from[0], from[1], from[2]}; }

// Every field of a configuration: `visit(core's, C struct's)` for each pair,
// in the records' order; an optional pairs with its C flag and value. The
// two conversions below are this one table read in each direction.
template <class Visit>
void each_field(Config& core, vexal_config& c, Visit&& visit) {
    Spacecraft& s = core.spacecraft;
    vexal_spacecraft& cs = c.spacecraft;
    visit(s.wet_mass, cs.wet_mass);
    visit(s.fuel, cs.fuel);
    visit(s.real_max_thrust, cs.real_max_thrust);
    visit(s.min_thrust_pct, cs.min_thrust_pct);
    visit(s.max_thrust_pct, cs.max_thrust_pct);
    visit(s.max_velocity, cs.max_velocity);
    visit(s.initial_position, cs.initial_position);
    visit(s.initial_velocity, cs.initial_velocity);
    visit(s.target_velocity, cs.target_velocity);
    visit(s.target_position, cs.target_position);
    visit(s.fuel_consumption, cs.fuel_consumption);
    visit(core.environment.gravity, c.environment.gravity);
    visit(core.environment.glide_slope_angle_deg, c.environment.glide_slope_angle_deg);
    visit(core.environment.max_angle_deg, c.environment.max_angle_deg);
    visit(core.solver.n, c.solver.n);
    visit(core.solver.time_of_flight, c.solver.has_time_of_flight, c.solver.time_of_flight);
    visit(core.solver.tof_min, c.solver.has_tof_min, c.solver.tof_min);
    visit(core.solver.tof_max, c.solver.has_tof_max, c.solver.tof_max);
}

struct IntoCore {
    template <class T>
    void operator()(T& core, const T& c) const { core = c; }
    void operator()(Vec3& core, const double (&c)[3]) const { core = vec3(c); }
    void operator()(std::optional<double>& core, std::int32_t has, double value) const {
        core = has ? std::optional<double>(value) : std::nullopt;
    }
};

struct OutOfCore {
    template <class T>
    void operator()(const T& core, T& c) const { c = core; }
    void operator()(const Vec3& core, double (&c)[3]) const { copy3(c, core); }
    void operator()(const std::optional<double>& core, std::int32_t& has, double& value) const {
        has = core.has_value();
        value = core.value_or(0.0);
    }
};

int ok(vexal_error* error) noexcept { return report(error, VEXAL_OK, ""); }

int failed(vexal_error* error, const Error& e) noexcept { return report(error, code_of(e.kind), e.message); }

int null_argument(vexal_error* error, const char* name) noexcept {
    char text[64];
    std::snprintf(text, sizeof text, "%s is NULL", name);
    return report(error, VEXAL_ERROR_NULL_ARGUMENT, text);
}

// Runs one entry's body; an exception ends here as a code, never crossing
// into the caller's C frames.
template <class Body>
int guarded(vexal_error* error, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return report(error, VEXAL_ERROR_OUT_OF_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return report(error, VEXAL_ERROR_INTERNAL, e.what());
    } catch (...) {
        return report(error, VEXAL_ERROR_INTERNAL, "an unknown exception");
    }
}

std::int32_t status_of(const std::string& status) {
    if (status == "Solved") return VEXAL_STATUS_SOLVED;
    if (status == "AlmostSolved") return VEXAL_STATUS_ALMOST_SOLVED;
    throw InternalError("a plan with the status " + status);
}

}  // namespace

Config to_core(const vexal_config& c) {
    Config out;
    vexal_config in = c;  // each_field takes both sides by reference; the caller's stays untouched
    each_field(out, in, IntoCore{});
    return out;
}

vexal_config from_core(const Config& c) {
    vexal_config out{};
    Config in = c;
    each_field(in, out, OutOfCore{});
    return out;
}

Result<PlanOptions> to_core(const vexal_plan_options& o) {
    PlanOptions out;
    if (o.search == VEXAL_SEARCH_FAST) {
        out.search = SearchMode::fast;
    } else if (o.search == VEXAL_SEARCH_GOLDEN) {
        out.search = SearchMode::golden;
    } else {
        return fail(ErrorKind::invalid_input, "search must be VEXAL_SEARCH_FAST (0) or VEXAL_SEARCH_GOLDEN (1), got " +
                                                  std::to_string(o.search));
    }
    out.tolerance = o.tolerance;
    out.pointing = o.pointing != 0;
    out.nearest_landing = o.nearest_landing != 0;
    out.landing_tolerance = o.landing_tolerance;
    out.threads = o.threads;
    out.rotation = vec3(o.rotation);
    if (o.solver == VEXAL_SOLVER_CLARABEL) {
        out.solver = SolverChoice::clarabel;
    } else if (o.solver == VEXAL_SOLVER_STRUCTURED) {
        out.solver = SolverChoice::structured;
    } else {
        return fail(ErrorKind::invalid_input,
                    "solver must be VEXAL_SOLVER_CLARABEL (0) or VEXAL_SOLVER_STRUCTURED (1), got " +
                        std::to_string(o.solver));
    }
    return out;
}

int code_of(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::invalid_input: return VEXAL_ERROR_INVALID_INPUT;
        case ErrorKind::infeasible: return VEXAL_ERROR_INFEASIBLE;
        case ErrorKind::solver_status: return VEXAL_ERROR_SOLVER_STATUS;
        case ErrorKind::solver_construction: return VEXAL_ERROR_SOLVER_CONSTRUCTION;
        case ErrorKind::json: return VEXAL_ERROR_JSON;
        case ErrorKind::interrupted: return VEXAL_ERROR_INTERRUPTED;
    }
    return VEXAL_ERROR_INTERNAL;
}

int report(vexal_error* error, int code, std::string_view message) noexcept {
    if (!error) return code;
    error->code = code;
    std::size_t size = std::min(message.size(), sizeof error->message - 1);
    // Cut before a UTF-8 sequence the buffer cannot hold whole, so the text
    // stays valid for callers that decode it.
    if (size < message.size()) {
        while (size > 0 && (static_cast<unsigned char>(message[size]) & 0xC0) == 0x80) --size;
    }
    std::memcpy(error->message, message.data(), size);
    error->message[size] = '\0';
    return code;
}

}  // namespace vexal::c_api

using namespace vexal::c_api;

extern "C" {

const char* vexal_code_name(int code) {
    switch (code) {
        case VEXAL_OK: return "ok";
        case VEXAL_ERROR_NULL_ARGUMENT: return "null_argument";
        case VEXAL_ERROR_CAPACITY: return "capacity";
        case VEXAL_ERROR_NODE_COUNT: return "node_count";
        case VEXAL_ERROR_NO_PLAN: return "no_plan";
        case VEXAL_ERROR_OUT_OF_MEMORY: return "out_of_memory";
        case VEXAL_ERROR_INTERNAL: return "internal";
        default: break;
    }
    for (vexal::ErrorKind kind : kKinds) {
        if (code_of(kind) == code) return vexal::kind_name(kind);
    }
    return "unknown";
}

const char* vexal_status_name(int status) {
    switch (status) {
        case VEXAL_STATUS_SOLVED: return "Solved";
        case VEXAL_STATUS_ALMOST_SOLVED: return "AlmostSolved";
        default: return "unknown";
    }
}

void vexal_config_default(vexal_config* config) {
    if (config) *config = from_core(vexal::Config{});
}

int vexal_config_from_json(const char* text, vexal_config* out, vexal_error* error) {
    return guarded(error, [&] {
        if (!text) return null_argument(error, "text");
        if (!out) return null_argument(error, "out");
        const auto read = vexal::from_json(text);
        if (!read) return failed(error, read.error());
        *out = from_core(*read);
        return ok(error);
    });
}

void vexal_plan_options_default(vexal_plan_options* options) {
    if (!options) return;
    const vexal::PlanOptions d;
    *options = vexal_plan_options{};
    options->search = d.search == vexal::SearchMode::golden ? VEXAL_SEARCH_GOLDEN : VEXAL_SEARCH_FAST;
    options->tolerance = d.tolerance;
    options->pointing = d.pointing;
    options->nearest_landing = d.nearest_landing;
    options->landing_tolerance = d.landing_tolerance;
    options->threads = d.threads;
    copy3(options->rotation, d.rotation);
    options->solver = d.solver == vexal::SolverChoice::structured ? VEXAL_SOLVER_STRUCTURED : VEXAL_SOLVER_CLARABEL;
}

vexal_planner* vexal_planner_create(uint64_t n, vexal_error* error) {
    vexal_planner* made = nullptr;
    guarded(error, [&] {
        auto workspace = vexal::PlanWorkspace::build(n);
        if (!workspace) return failed(error, workspace.error());
        made = new vexal_planner{std::move(*workspace), false};
        return ok(error);
    });
    return made;
}

void vexal_planner_destroy(vexal_planner* planner) { delete planner; }

int vexal_plan(vexal_planner* planner, const vexal_config* config, const vexal_plan_options* options,
               vexal_plan_summary* summary, vexal_error* error) {
    if (!planner) return null_argument(error, "planner");
    // Whatever happens below, no earlier plan is left to be read as this one's.
    planner->planned = false;
    return guarded(error, [&] {
        if (!config) return null_argument(error, "config");
        const std::uint64_t n = planner->workspace.n;
        if (config->solver.n != n) {
            char text[160];
            std::snprintf(text, sizeof text, "solver.n is %llu but the planner is for %llu nodes",
                          static_cast<unsigned long long>(config->solver.n),
                          static_cast<unsigned long long>(n));
            return report(error, VEXAL_ERROR_NODE_COUNT, text);
        }
        vexal_plan_options defaults;
        vexal_plan_options_default(&defaults);
        const auto plan_options = to_core(options ? *options : defaults);
        if (!plan_options) return failed(error, plan_options.error());
        vexal::PlanHooks hooks;
        hooks.nearest_landing_option = "vexal_plan_options.nearest_landing";
        if (options && options->stop) {
            hooks.stop = [stop = options->stop, user = options->user](bool) { return stop(user) != 0; };
        }
        if (options && options->progress) {
            hooks.progress = [progress = options->progress, user = options->user](unsigned solves,
                                                                                std::optional<double> best) {
                progress(user, solves, best.has_value(), best.value_or(0.0));
            };
        }
        const auto planned = vexal::plan(to_core(*config), *plan_options, hooks, planner->workspace);
        if (!planned) return failed(error, planned.error());
        const vexal::Trajectory& t = (*planned)->trajectory;
        vexal_plan_summary s{};
        s.status = status_of(t.status);
        s.final_mass = t.final_mass;
        s.time_of_flight = t.time_of_flight;
        s.touchdown_time = (*planned)->touchdown_time;
        s.solves = (*planned)->solves;
        s.fallbacks = (*planned)->fallbacks;
        s.pointing_limit = (*planned)->pointing_limit;
        s.landing_error = t.landing_error;
        s.n = t.time_points.size();
        planner->planned = true;
        if (summary) *summary = s;
        return ok(error);
    });
}

int vexal_planner_read(const vexal_planner* planner, double* time, double* position, double* velocity,
                       double* thrust_acceleration, double* mass, uint64_t capacity, vexal_error* error) {
    return guarded(error, [&] {
        if (!planner) return null_argument(error, "planner");
        if (!planner->planned) return report(error, VEXAL_ERROR_NO_PLAN, "the planner holds no plan");
        const vexal::Trajectory& t = planner->workspace.plan.trajectory;
        const std::uint64_t n = t.time_points.size();
        if (capacity < n) {
            char text[160];
            std::snprintf(text, sizeof text, "the arrays hold %llu nodes but the plan has %llu",
                          static_cast<unsigned long long>(capacity), static_cast<unsigned long long>(n));
            return report(error, VEXAL_ERROR_CAPACITY, text);
        }
        const auto rows = [n](double* to, const std::vector<vexal::Vec3>& from) {
            if (!to) return;
            for (std::uint64_t k = 0; k < n; ++k) std::copy(from[k].begin(), from[k].end(), to + 3 * k);
        };
        if (time) std::copy(t.time_points.begin(), t.time_points.end(), time);
        rows(position, t.positions);
        rows(velocity, t.velocities);
        rows(thrust_acceleration, t.u_values);
        if (mass) {
            // The mass the final_mass is: exp of the log-mass, node by node.
            for (std::uint64_t k = 0; k < n; ++k) mass[k] = std::exp(t.z_values[k]);
        }
        return ok(error);
    });
}

}  // extern "C"
