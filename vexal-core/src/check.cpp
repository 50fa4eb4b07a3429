#include "vexal/check.hpp"

#include <cmath>
#include <cstdio>

#include "vexal/guidance.hpp"
#include "vexal/json.hpp"
#include "vexal/planner.hpp"

namespace vexal {
namespace {

constexpr double kRadToDeg = 57.29577951308232;

// The configuration's own float format, but words where JSON would say null.
std::string text(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    std::string out;
    append_float(out, v);
    return out;
}

std::string text(const Vec3& v) {
    std::string out = "[";
    for (int j = 0; j < 3; ++j) {
        if (j) out += ", ";
        out += text(v[j]);
    }
    return out + "]";
}

std::string degrees(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

using Check = std::expected<void, std::string>;

Check positive(const char* field, double v) {
    if (std::isfinite(v) && v > 0.0) return {};
    return std::unexpected(std::string(field) + " must be a finite number greater than 0, got " + text(v));
}

Check fraction(const char* field, double v) {
    if (v >= 0.0 && v <= 1.0) return {};
    return std::unexpected(std::string(field) + " must be between 0 and 1, got " + text(v));
}

Check finite(const char* field, const Vec3& v) {
    if (std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2])) return {};
    return std::unexpected(std::string(field) + " must hold finite numbers, got " + text(v));
}

Check check_spacecraft(const Spacecraft& sc) {
    for (auto [field, v] : {std::pair{"spacecraft.wet_mass", sc.wet_mass},
                            {"spacecraft.real_max_thrust", sc.real_max_thrust},
                            {"spacecraft.fuel_consumption", sc.fuel_consumption},
                            {"spacecraft.max_velocity", sc.max_velocity}}) {
        if (auto ok = positive(field, v); !ok) return ok;
    }
    if (!(std::isfinite(sc.fuel) && sc.fuel >= 0.0 && sc.fuel < sc.wet_mass)) {
        return std::unexpected("spacecraft.fuel must be at least 0 and less than spacecraft.wet_mass (" +
                               text(sc.wet_mass) + "), got " + text(sc.fuel));
    }
    if (auto ok = fraction("spacecraft.min_thrust_pct", sc.min_thrust_pct); !ok) return ok;
    if (auto ok = fraction("spacecraft.max_thrust_pct", sc.max_thrust_pct); !ok) return ok;
    if (sc.min_thrust_pct > sc.max_thrust_pct) {
        return std::unexpected("spacecraft.min_thrust_pct (" + text(sc.min_thrust_pct) +
                               ") must not exceed spacecraft.max_thrust_pct (" + text(sc.max_thrust_pct) + ")");
    }
    for (auto [field, v] : {std::pair{"spacecraft.initial_position", &sc.initial_position},
                            {"spacecraft.initial_velocity", &sc.initial_velocity},
                            {"spacecraft.target_position", &sc.target_position},
                            {"spacecraft.target_velocity", &sc.target_velocity}}) {
        if (auto ok = finite(field, *v); !ok) return ok;
    }
    return {};
}

// The height is bounded by the ground (z >= 0), or with a glide slope by the
// cone of that elevation above the horizon with its apex at the origin.
Check check_start(const Spacecraft& sc, const Environment& env, bool nearest_landing) {
    if (auto ok = finite("environment.gravity", env.gravity); !ok) return ok;
    const Vec3& r = sc.initial_position;
    if (r[2] < 0.0) {
        return std::unexpected("spacecraft.initial_position is below the ground: height " + text(r[2]) + " m");
    }
    const double gamma = env.glide_slope_angle_deg;
    if (!std::isfinite(gamma) || gamma < 0.0 || gamma >= 90.0) {
        return std::unexpected("environment.glide_slope_angle_deg must be at least 0 and less than 90, got " +
                               text(gamma));
    }
    if (gamma > 0.0 && !nearest_landing) {
        const double range = norm(r);
        const double elevation = range > 0.0 ? std::asin(r[2] / range) * kRadToDeg : 90.0;
        if (elevation < gamma) {
            return std::unexpected("spacecraft.initial_position " + text(r) +
                                   " is outside the glide-slope cone: its elevation above the landing site is " +
                                   degrees(elevation) + " degrees, below environment.glide_slope_angle_deg (" +
                                   text(gamma) + ")");
        }
    }
    if (sc.target_position[2] > r[2]) {
        return std::unexpected("spacecraft.target_position " + text(sc.target_position) +
                               " is above the start: height " + text(sc.target_position[2]) + " m against " +
                               text(r[2]) + " m");
    }
    return {};
}

Check check_solver(Solver& s, const Spacecraft& sc) {
    if (s.time_of_flight) return positive("solver.time_of_flight", *s.time_of_flight);
    if (s.n < 2) {
        return std::unexpected("solver.n must be at least 2 to search for the time of flight, got " +
                               std::to_string(s.n));
    }
    if (s.tof_min) {
        if (auto ok = positive("solver.tof_min", *s.tof_min); !ok) return ok;
    }
    if (s.tof_max) {
        if (auto ok = positive("solver.tof_max", *s.tof_max); !ok) return ok;
    }
    if (!s.tof_min && !s.tof_max) return {};
    const auto [lower, upper] = auto_bracket(sc);
    const char* min_name = s.tof_min ? "solver.tof_min" : "the automatic lower end";
    const char* max_name = s.tof_max ? "solver.tof_max" : "the automatic upper end";
    if (!s.tof_min) s.tof_min = lower;
    if (!s.tof_max) s.tof_max = upper;
    if (*s.tof_min >= *s.tof_max) {
        return std::unexpected(std::string(min_name) + " (" + text(*s.tof_min) + ") must be less than " + max_name +
                               " (" + text(*s.tof_max) + ")");
    }
    return {};
}

}  // namespace

Result<void> check_rotation(const Vec3& rotation, const char* name) {
    if (auto ok = finite(name, rotation); !ok) return fail(ErrorKind::invalid_input, std::move(ok.error()));
    return {};
}

Result<Config> checked_for_planning(Config config, bool nearest_landing) {
    Check ok = check_spacecraft(config.spacecraft);
    if (ok) ok = check_start(config.spacecraft, config.environment, nearest_landing);
    if (ok) ok = check_solver(config.solver, config.spacecraft);
    if (!ok) return fail(ErrorKind::invalid_input, std::move(ok.error()));
    return config;
}

Result<bool> pointing_in_force(const Config& config, bool pointing) {
    const double theta = config.environment.max_angle_deg;
    if (pointing && !(theta >= 0.0)) {
        return fail(ErrorKind::invalid_input,
                    "max_angle_deg must be at least 0 for the pointing limit, got " + text(theta));
    }
    return pointing && theta < 180.0;
}

Result<void> check_tolerance(double tolerance) {
    if (tolerance > 0.0 && tolerance < 1.0) return {};
    return fail(ErrorKind::invalid_input, "tolerance must be greater than 0 and less than 1, got " + text(tolerance));
}

Result<void> check_landing_tolerance(double landing_tolerance) {
    if (landing_tolerance >= 0.0 && std::isfinite(landing_tolerance)) return {};
    return fail(ErrorKind::invalid_input,
                "landing_tolerance must be a finite number of metres, at least 0, got " + text(landing_tolerance));
}

Result<void> check_flight(const Config& config, const GuidanceOptions& options, const FlightErrors& errors) {
    const auto outside = [](const char* name, double value, double low, double high, const char* unit) {
        return fail(ErrorKind::invalid_input, std::string(name) + " must be from " + text(low) + " to " + text(high) +
                                                  unit + ", got " + text(value));
    };
    // The errors are modelled (and their flights end in bounded time) within
    // these ranges; the fuel load's error keeps it between none and twice
    // the nominal, the dry mass's within half of it.
    const double fuel = config.spacecraft.fuel, dry = config.spacecraft.wet_mass - fuel;
    struct Range {
        const char* name;
        double value, low, high;
        const char* unit;
    };
    for (const Range& r : {Range{"errors.thrust_bias", errors.thrust_bias, -0.2, 0.2, ""},
                           Range{"errors.thrust_noise", errors.thrust_noise, 0.0, 0.2, ""},
                           Range{"errors.misalignment_deg", errors.misalignment_deg, 0.0, 15.0, " degrees"},
                           Range{"errors.isp_error", errors.isp_error, -0.2, 0.2, ""},
                           Range{"errors.initial_mass_error", errors.initial_mass_error, -fuel, fuel, " kg"},
                           Range{"errors.gravity_error", errors.gravity_error, -0.1, 0.1, ""},
                           Range{"errors.position_noise", errors.position_noise, 0.0, 1000.0, " m"},
                           Range{"errors.velocity_noise", errors.velocity_noise, 0.0, 100.0, " m/s"},
                           Range{"errors.dry_mass_error", errors.dry_mass_error, -0.5 * dry, 0.5 * dry, " kg"},
                           Range{"errors.engine_lag", errors.engine_lag, 0.0, 1.0, " s"},
                           Range{"errors.thrust_loss", errors.thrust_loss, 0.0, 1.0, ""},
                           Range{"errors.thrust_loss_time", errors.thrust_loss_time, 0.0, 1e4, " s"}}) {
        if (!(r.value >= r.low && r.value <= r.high)) return outside(r.name, r.value, r.low, r.high, r.unit);
    }
    if (auto ok = finite("errors.rotation_error", errors.rotation_error); !ok) {
        return fail(ErrorKind::invalid_input, std::move(ok.error()));
    }
    // A re-plan takes tens of milliseconds: faster than this a flight would
    // take hours to fly.
    constexpr double kShortestReplanPeriod = 0.1;
    if (options.replan_period != 0.0 &&
        !(options.replan_period >= kShortestReplanPeriod && options.replan_period <= 1e6)) {
        return fail(ErrorKind::invalid_input, "replan_period must be 0 (no re-plans) or from " +
                                                  text(kShortestReplanPeriod) + " to 1e6 s, got " +
                                                  text(options.replan_period));
    }
    // The options' and instruments' numbers, as the bindings read them.
    GuidanceOptions given = options;
    for (const GuidanceNumber& f : kGuidanceNumbers) {
        const double v = f.field(given);
        if (!(v >= f.low && v <= f.high)) return outside(f.name, v, f.low, f.high, "");
    }
    for (const SensorNumber& f : kSensorNumbers) {
        const double v = f.field(given.sensors);
        if (v >= f.low && v <= f.high) continue;
        const std::string name = std::string("sensors.") + f.name;
        if (f.high == kUnbounded) {
            return fail(ErrorKind::invalid_input, name + " must be at least " + text(f.low) + ", got " + text(v));
        }
        return outside(name.c_str(), v, f.low, f.high, "");
    }
    for (const SensorSwitch& f : kSensorSwitches) {
        const Dropout& d = f.dropout(given.sensors);
        if (!(std::isfinite(d.from) && std::isfinite(d.to) && d.from <= d.to)) {
            return fail(ErrorKind::invalid_input, std::string("sensors.") + f.dropout_name +
                                                      " must be two finite times (from, to), from <= to, got (" +
                                                      text(d.from) + ", " + text(d.to) + ")");
        }
    }
    const LandingLimits& limits = options.limits;
    for (auto [name, value] : {std::pair{"limits.vertical_speed", limits.vertical_speed},
                               {"limits.horizontal_speed", limits.horizontal_speed},
                               {"limits.miss_radius", limits.miss_radius.value_or(1.0)}}) {
        if (auto ok = positive(name, value); !ok) return fail(ErrorKind::invalid_input, std::move(ok.error()));
    }
    return {};
}

}  // namespace vexal
