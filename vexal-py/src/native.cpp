// The module `vexal._native`: planning for the `vexal` package. Unlike
// `_vexal.solve` it checks its inputs, offers the fast search, the pointing
// limit and the nearest landing, releases the interpreter lock while it
// plans and gives way to Ctrl-C. The checks and the planning are the core's
// front door (vexal/vexal.hpp); this module reads the arguments and brings
// the interrupts and the progress callback to it.
//
// A `_vexal.Config` is read through its properties, field by field: its
// JSON text would turn NaN and infinities into null, which the checks must
// see. JSON text is read too, for work sent between processes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cmath>
#include <chrono>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "arrays.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "objects.hpp"
#include "vexal/check.hpp"
#include "vexal/guidance.hpp"
#include "vexal/json.hpp"
#include "vexal/memory.hpp"
#include "vexal/planner.hpp"
#include "vexal/vexal.hpp"

namespace vexal::py {
namespace {

// ---------------------------------------------------------------------------
// Interrupts. The planning asks between solves and at every solver
// iteration; a pending signal's handler runs on the main thread with the
// lock held, and the exception it raises is kept for the return to the
// interpreter. stop_all() ends every plan in progress on any thread (the
// thread pool of solve_many after Ctrl-C): it moves the stop generation on,
// and a plan stops once the generation differs from the one it began in.

std::atomic<std::uint64_t> g_stop_generation{0};

class Interrupt {
public:
    // Built with the lock held, for a plan that began in `generation`.
    explicit Interrupt(std::uint64_t generation) : generation_(generation) {
        Ref threading(PyImport_ImportModule("threading"));
        Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
        Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
        if (ident) {
            main_thread_ = PyLong_AsUnsignedLong(ident.get()) == PyThread_get_thread_ident();
        }
        if (!PyErr_Occurred()) return;
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();  // not knowing means not asking: the solve goes on
            return;
        }
        // A signal's handler ran in the calls above (KeyboardInterrupt): the
        // plan ends before it starts.
        fetch();
    }
    ~Interrupt() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Without the lock, from any thread of the plan. Signals are delivered
    // to the main thread only, so other threads never take the lock here;
    // the main thread, when it plans, takes it at most once per kMinGap,
    // which bounds the cost on small, fast solves.
    bool requested(bool now = false) noexcept {
        if (raised_) return true;
        if (g_stop_generation.load(std::memory_order_relaxed) != generation_) return raised_ = true;
        if (!main_thread_ || std::this_thread::get_id() != planner_) return false;
        const auto t = std::chrono::steady_clock::now();
        if (!now && t < next_) return false;
        next_ = t + kMinGap;
        PyGILState_STATE gil = PyGILState_Ensure();
        if (PyErr_CheckSignals() < 0) fetch();
        PyGILState_Release(gil);
        return raised_;
    }

    // With the lock: keeps the pending exception (one the caller's progress
    // callback raised) as the interrupt that ends the plan.
    void keep_pending() noexcept { fetch(); }

    // With the lock: puts the kept exception back; false when there is none.
    bool restore() noexcept {
        if (!raised_) return false;
        if (!type_) {  // stopped by stop_all: vexal.Interrupted, a KeyboardInterrupt
            Ref interrupted(package_error_class("Interrupted"));
            PyErr_SetNone(interrupted ? interrupted.get() : PyExc_KeyboardInterrupt);
            return true;
        }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        PyErr_Restore(type_, value_, traceback_);
#pragma GCC diagnostic pop
        type_ = value_ = traceback_ = nullptr;
        return true;
    }

private:
    // With the lock: keeps the pending exception as the interrupt.
    void fetch() noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        PyErr_Fetch(&type_, &value_, &traceback_);
#pragma GCC diagnostic pop
        raised_ = true;
    }

    static constexpr std::chrono::milliseconds kMinGap{2};
    std::uint64_t generation_;
    std::thread::id planner_ = std::this_thread::get_id();
    bool main_thread_ = false;
    std::atomic<bool> raised_ = false;
    std::chrono::steady_clock::time_point next_{};
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The lock released for a scope; back on every way out, exceptions included.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

// The caller's progress(solves, best_final_mass) after each solve: the
// solves made so far and the greatest final mass of a plan so far (None
// before the first; the landing-error stage of a nearest landing is no
// plan). It runs on the planning thread, with the lock taken for the call;
// an exception it raises ends the plan.
class Progress {
public:
    explicit Progress(PyObject* callback) noexcept : callback_(callback) {}

    // Without the lock.
    void report(unsigned solves, std::optional<double> best_final_mass, Interrupt& interrupt) noexcept {
        if (!callback_) return;
        PyGILState_STATE gil = PyGILState_Ensure();
        {  // the references go before the lock does
            Ref best(best_final_mass ? PyFloat_FromDouble(*best_final_mass) : Py_NewRef(Py_None));
            Ref done(best ? PyObject_CallFunction(callback_, "IO", solves, best.get()) : nullptr);
            if (!done) interrupt.keep_pending();
        }
        PyGILState_Release(gil);
    }

private:
    PyObject* callback_;  // borrowed from the call's arguments; None is none
};

// ---------------------------------------------------------------------------
// The result: a dict of plain values and NumPy arrays.

PyObject* to_python(const std::vector<Vec3>& rows) { return nx3(rows); }
PyObject* to_python(const std::vector<double>& values) { return vec1(values); }
PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }
PyObject* to_python(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

struct FieldDef {
    const char* name;
    PyObject* (*get)(const Trajectory& trajectory);
};

template <auto Member>
PyObject* read(const Trajectory& trajectory) {
    return to_python(trajectory.*Member);
}

#define VEXAL_FIELD(member) FieldDef{#member, &read<&Trajectory::member>}
constexpr FieldDef kResultFields[] = {
    VEXAL_FIELD(positions),  VEXAL_FIELD(velocities),     VEXAL_FIELD(u_values),
    VEXAL_FIELD(thrusts),    VEXAL_FIELD(normalized_thrusts), VEXAL_FIELD(z_values),
    VEXAL_FIELD(s_values),   VEXAL_FIELD(time_points),    VEXAL_FIELD(status),
    VEXAL_FIELD(objective),  VEXAL_FIELD(final_mass),     VEXAL_FIELD(time_of_flight),
    VEXAL_FIELD(iterations), VEXAL_FIELD(landing_error),
};
#undef VEXAL_FIELD

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* result_dict(const Trajectory& trajectory, unsigned solves, unsigned fallbacks) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const FieldDef& field : kResultFields) {
        if (!set_item(dict.get(), field.name, field.get(trajectory))) return nullptr;
    }
    if (!set_item(dict.get(), "solves", PyLong_FromUnsignedLong(solves))) return nullptr;
    if (!set_item(dict.get(), "fallbacks", PyLong_FromUnsignedLong(fallbacks))) return nullptr;
    return dict.release();
}

// ---------------------------------------------------------------------------
// plan(config, search="fast", tolerance=2e-4, pointing=False, landing="target", progress=None, threads=None,
//      rotation=None, solver=DEFAULT_SOLVER, landing_tolerance=DEFAULT_LANDING_TOLERANCE)

// An option spelled as one of two names: the name read into `out`, or a
// ValueError "<field> must be 'a' or 'b', got ...".
template <class T>
struct Named {
    std::string_view name;
    T value;
};

template <class T>
bool read_named(PyObject* value, const Named<T> (&names)[2], const char* field, T& out) {
    std::string_view name;
    if (!convert_arg(value, name, field)) return false;
    for (const Named<T>& n : names) {
        if (n.name == name) {
            out = n.value;
            return true;
        }
    }
    const std::string first(names[0].name), second(names[1].name);
    raise_input_error("%s must be '%s' or '%s', got %R", field, first.c_str(), second.c_str(), value);
    return false;
}

constexpr Named<SearchMode> kSearchNames[] = {{"golden", SearchMode::golden}, {"fast", SearchMode::fast}};
constexpr Named<SolverChoice> kSolverNames[] = {{"clarabel", SolverChoice::clarabel},
                                                {"structured", SolverChoice::structured}};

bool read_search(PyObject* value, PlanOptions& options) {
    return read_named(value, kSearchNames, "search", options.search);
}

bool read_solver(PyObject* value, SolverChoice& solver) {
    return read_named(value, kSolverNames, "solver", solver);
}

bool read_tolerance(PyObject* value, PlanOptions& options) {
    if (PyBool_Check(value) || !PyNumber_Check(value)) {
        raise_not_instance(value, "float");
        add_note("tolerance");
        return false;
    }
    if (!convert_arg(value, options.tolerance, "tolerance")) return false;
    if (auto ok = check_tolerance(options.tolerance); !ok) {
        raise_planning_error(ok.error());
        return false;
    }
    return true;
}

bool read_landing_tolerance(PyObject* value, PlanOptions& options) {
    if (PyBool_Check(value) || !PyNumber_Check(value)) {
        raise_not_instance(value, "float");
        add_note("landing_tolerance");
        return false;
    }
    if (!convert_arg(value, options.landing_tolerance, "landing_tolerance")) return false;
    if (auto ok = check_landing_tolerance(options.landing_tolerance); !ok) {
        raise_planning_error(ok.error());
        return false;
    }
    return true;
}

bool read_pointing(PyObject* value, bool& pointing) {
    if (!PyBool_Check(value)) {
        raise_not_instance(value, "bool");
        add_note("pointing");
        return false;
    }
    pointing = value == Py_True;
    return true;
}

bool read_landing(PyObject* value, PlanOptions& options) {
    std::string_view name;
    if (!convert_arg(value, name, "landing")) return false;
    if (name != "target" && name != "nearest") {
        raise_input_error("landing must be 'target' or 'nearest', got %R", value);
        return false;
    }
    options.nearest_landing = name == "nearest";
    return true;
}

// `name`: None (a still planet) or the planet's angular velocity, three
// finite numbers in rad/s. A sequence of numbers of another length or with
// a non-finite one is a bad value (kind invalid_input); anything else, a
// bad type.
bool read_rotation(PyObject* value, Vec3& rotation, const char* name) {
    if (value == Py_None) return true;
    if (!convert_arg(value, rotation, name)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        Ref message(PyUnicode_FromFormat("%s must be three numbers (wx, wy, wz) in rad/s, got %R", name, value));
        raise_planning_error(ErrorKind::invalid_input, message.get());
        return false;
    }
    if (auto ok = check_rotation(rotation, name); !ok) {
        raise_planning_error(ok.error());
        return false;
    }
    return true;
}

// One field of a record of Config, read from the record object's property.
struct ConfigField {
    const char* record;
    const char* name;
    bool (*assign)(PyObject* value, Config& config);
};

template <auto Record, auto Field>
bool assign(PyObject* value, Config& config) {
    auto& target = (config.*Record).*Field;
    return Convert<std::remove_cvref_t<decltype(target)>>::from_py(value, target);
}

#define VEXAL_FIELD(record, name) \
    ConfigField { #record, #name, &assign<&Config::record, &decltype(Config::record)::name> }
constexpr ConfigField kConfigFields[] = {
    VEXAL_FIELD(spacecraft, wet_mass),          VEXAL_FIELD(spacecraft, fuel),
    VEXAL_FIELD(spacecraft, real_max_thrust),   VEXAL_FIELD(spacecraft, min_thrust_pct),
    VEXAL_FIELD(spacecraft, max_thrust_pct),    VEXAL_FIELD(spacecraft, max_velocity),
    VEXAL_FIELD(spacecraft, initial_position),  VEXAL_FIELD(spacecraft, initial_velocity),
    VEXAL_FIELD(spacecraft, target_velocity),   VEXAL_FIELD(spacecraft, target_position),
    VEXAL_FIELD(spacecraft, fuel_consumption),  VEXAL_FIELD(environment, gravity),
    VEXAL_FIELD(environment, glide_slope_angle_deg), VEXAL_FIELD(environment, max_angle_deg),
    VEXAL_FIELD(solver, n),                     VEXAL_FIELD(solver, time_of_flight),
    VEXAL_FIELD(solver, tof_min),               VEXAL_FIELD(solver, tof_max),
};
#undef VEXAL_FIELD

std::optional<Config> config_from_properties(PyObject* value) {
    Config config;
    Ref record;
    const char* record_name = nullptr;
    for (const ConfigField& field : kConfigFields) {
        if (record_name != field.record) {
            record_name = field.record;
            record = Ref(PyObject_GetAttrString(value, record_name));
            if (!record) return std::nullopt;
        }
        Ref item(PyObject_GetAttrString(record.get(), field.name));
        if (!item || !field.assign(item.get(), config)) {
            add_note(field.name);
            return std::nullopt;
        }
    }
    return config;
}

// A configuration: a Config's properties or JSON text, as given.
std::optional<Config> read_config(PyObject* value) {
    std::optional<Config> config;
    if (PyUnicode_Check(value)) {
        std::string_view json;
        if (!convert_arg(value, json, "config")) return std::nullopt;
        auto parsed = from_json(json);
        if (!parsed) {
            raise_planning_error(parsed.error());
            return std::nullopt;
        }
        config = std::move(*parsed);
    } else {
        if (!PyObject_HasAttrString(value, "spacecraft")) {
            raise_not_instance(value, "Config");
            add_note("config");
            return std::nullopt;
        }
        config = config_from_properties(value);
    }
    return config;
}

// A configuration to plan, checked.
std::optional<Config> read_checked_config(PyObject* value, bool nearest_landing = false) {
    std::optional<Config> config = read_config(value);
    if (!config) return std::nullopt;
    auto checked = checked_for_planning(std::move(*config), nearest_landing);
    if (!checked) {
        raise_planning_error(checked.error());
        return std::nullopt;
    }
    return std::move(*checked);
}

// threads: None (from the cores) or a positive count of grid threads.
bool read_threads(PyObject* value, unsigned& threads) {
    if (value == Py_None) return true;
    if (PyBool_Check(value) || !PyLong_Check(value)) {
        raise_not_instance(value, "int");
        add_note("threads");
        return false;
    }
    const long long count = PyLong_AsLongLong(value);
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    if (!(count >= 1 && count <= 1024)) {
        raise_input_error("threads must be None or from 1 to 1024, got %R", value);
        return false;
    }
    threads = static_cast<unsigned>(count);
    return true;
}

constexpr const char* kPlanParams[] = {"config",   "search",  "tolerance", "pointing", "landing",
                                       "progress", "threads", "rotation",  "solver",   "landing_tolerance"};
constexpr Signature kPlanSignature{"plan()", kPlanParams, 1};

PyObject* plan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // First of all: a stop_all() that returns before this line leaves the
    // plan alone, any later one ends it.
    const std::uint64_t generation = g_stop_generation.load();
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* arg[10] = {};
        if (!bind(kPlanSignature, args, nargs, kwnames, arg)) return nullptr;
        PyObject* callback = arg[5] && arg[5] != Py_None ? arg[5] : nullptr;
        if (callback && !PyCallable_Check(callback)) {
            raise_not_instance(callback, "Callable");
            add_note("progress");
            return nullptr;
        }
        PlanOptions options;
        options.pointing = false;
        if (arg[6] && !read_threads(arg[6], options.threads)) return nullptr;
        if (arg[1] && !read_search(arg[1], options)) return nullptr;
        if (arg[2] && !read_tolerance(arg[2], options)) return nullptr;
        if (arg[3] && !read_pointing(arg[3], options.pointing)) return nullptr;
        if (arg[4] && !read_landing(arg[4], options)) return nullptr;
        if (arg[7] && !read_rotation(arg[7], options.rotation, "rotation")) return nullptr;
        if (arg[8] && !read_solver(arg[8], options.solver)) return nullptr;
        if (arg[9] && !read_landing_tolerance(arg[9], options)) return nullptr;
        // Read here, checked by the core's plan.
        const std::optional<Config> config = read_config(arg[0]);
        if (!config) return nullptr;

        Interrupt interrupt(generation);
        Progress progress(callback);
        PlanHooks hooks;
        hooks.stop = [&interrupt](bool now) { return interrupt.requested(now); };
        hooks.progress = [&](unsigned solves, std::optional<double> best) {
            progress.report(solves, best, interrupt);
        };
        hooks.nearest_landing_option = "landing='nearest', --nearest";
        std::optional<Result<Plan>> planned;
        {
            Unlocked unlocked;
            planned.emplace(vexal::plan(*config, options, hooks));
        }
        if (interrupt.restore()) return nullptr;
        if (!*planned) {
            raise_planning_error((*planned).error());
            return nullptr;
        }
        const Plan& result = **planned;
        return result_dict(result.trajectory, result.solves, result.fallbacks);
    });
}

// checked(config, landing="target") -> None, or ValueError naming the first field that no
// descent can have.
PyObject* checked(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr const char* params[] = {"config", "landing"};
        static constexpr Signature signature{"checked()", params, 1};
        PyObject* arg[2] = {};
        if (!bind(signature, args, nargs, kwnames, arg)) return nullptr;
        PlanOptions options;
        if (arg[1] && !read_landing(arg[1], options)) return nullptr;
        if (!read_checked_config(arg[0], options.nearest_landing)) return nullptr;
        return Py_NewRef(Py_None);
    });
}

// ---------------------------------------------------------------------------
// simulate(config, replan_period=2.0, pointing=True, thrust_margin=0.05,
//          step=0.01, errors=None, seed=0, rotation=None, replan_horizon="searched",
//          terminal_speed=1.0, terminal_height=0.0, limits=(2.0, 1.0, None), solver=DEFAULT_SOLVER):
// a descent flown under guidance.

struct ErrorField {
    const char* name;
    double FlightErrors::*error;
};
constexpr ErrorField kErrorFields[] = {
    {"thrust_bias", &FlightErrors::thrust_bias},
    {"thrust_noise", &FlightErrors::thrust_noise},
    {"misalignment_deg", &FlightErrors::misalignment_deg},
    {"isp_error", &FlightErrors::isp_error},
    {"initial_mass_error", &FlightErrors::initial_mass_error},
    {"gravity_error", &FlightErrors::gravity_error},
    {"position_noise", &FlightErrors::position_noise},
    {"velocity_noise", &FlightErrors::velocity_noise},
    {"engine_lag", &FlightErrors::engine_lag},
    {"dry_mass_error", &FlightErrors::dry_mass_error},
    {"thrust_loss", &FlightErrors::thrust_loss},
    {"thrust_loss_time", &FlightErrors::thrust_loss_time},
};

// A number (not a bool) for the option `name`; its range is checked later.
bool read_float(PyObject* value, double& out, const char* name) {
    if (PyBool_Check(value) || !PyNumber_Check(value)) {
        raise_not_instance(value, "float");
        add_note(name);
        return false;
    }
    return convert_arg(value, out, name);
}

// A finite number for the option `name`, within [low, high].
bool read_number(PyObject* value, double& out, const char* name, double low, double high) {
    if (!read_float(value, out, name)) return false;
    if (!(out >= low && out <= high)) {
        constexpr double kMax = std::numeric_limits<double>::max();
        Ref low_value(PyFloat_FromDouble(low)), high_value(PyFloat_FromDouble(high));
        if (!low_value || !high_value) return false;
        if (high == kMax && low == -kMax) {
            raise_input_error("%s must be a finite number, got %R", name, value);
        } else if (high == kMax) {
            raise_input_error("%s must be at least %R, got %R", name, low_value.get(), value);
        } else {
            raise_input_error("%s must be from %R to %R, got %R", name, low_value.get(), high_value.get(), value);
        }
        return false;
    }
    return true;
}

// The errors a dict gives by name; a name it does not know is refused.
bool read_errors(PyObject* value, FlightErrors& errors) {
    if (value == Py_None) return true;
    if (!PyDict_Check(value)) {
        raise_not_instance(value, "dict");
        add_note("errors");
        return false;
    }
    PyObject *key = nullptr, *item = nullptr;
    for (Py_ssize_t at = 0; PyDict_Next(value, &at, &key, &item);) {
        std::string_view name;
        if (!convert_arg(key, name, "errors")) return false;
        if (name == "rotation_error") {  // the one vector among them, rad/s
            if (!read_rotation(item, errors.rotation_error, "rotation_error")) return false;
            continue;
        }
        const ErrorField* field = nullptr;
        for (const ErrorField& f : kErrorFields) {
            if (name == f.name) field = &f;
        }
        if (!field) {
            raise_input_error("errors: no error named %R", key);
            return false;
        }
        if (!read_float(item, errors.*(field->error), field->name)) return false;  // ranged by check_flight
    }
    return true;
}

// The sensor suite by flat names (kSensorNumbers, kSensorSwitches): numbers
// within their ranges, the instruments fitted or not, and dropout windows
// (from, to) in s.
bool read_sensors(PyObject* value, Sensors& sensors) {
    if (value == Py_None) return true;
    if (!PyDict_Check(value)) {
        raise_not_instance(value, "dict");
        add_note("sensors");
        return false;
    }
    PyObject *key = nullptr, *item = nullptr;
    for (Py_ssize_t at = 0; PyDict_Next(value, &at, &key, &item);) {
        std::string_view name;
        if (!convert_arg(key, name, "sensors")) return false;
        bool known = false;
        for (const SensorNumber& f : kSensorNumbers) {
            if (name != f.name) continue;
            if (!read_number(item, f.field(sensors), f.name, f.low, f.high)) return false;
            known = true;
        }
        for (const SensorSwitch& f : kSensorSwitches) {
            if (name == f.name) {
                if (!PyBool_Check(item)) {
                    raise_not_instance(item, "bool");
                    add_note(f.name);
                    return false;
                }
                f.fitted(sensors) = item == Py_True;
                known = true;
            } else if (name == f.dropout_name) {
                std::array<double, 2> window{NAN, NAN};
                Ref items(PySequence_Check(item) && !PyUnicode_Check(item) ? PySequence_Tuple(item) : nullptr);
                if (!items) PyErr_Clear();
                for (Py_ssize_t i = 0; items && PyTuple_Size(items.get()) == 2 && i < 2; ++i) {
                    PyObject* end = PyTuple_GetItem(items.get(), i);
                    if (PyBool_Check(end) || !PyNumber_Check(end)) break;
                    window[static_cast<std::size_t>(i)] = PyFloat_AsDouble(end);
                    if (PyErr_Occurred()) return false;
                }
                if (!(std::isfinite(window[0]) && std::isfinite(window[1]) && window[0] <= window[1])) {
                    raise_input_error("%s must be two finite times (from, to), from <= to, got %R",
                                 std::string(name).c_str(), item);
                    return false;
                }
                f.dropout(sensors) = {window[0], window[1]};
                known = true;
            }
        }
        if (!known) {
            raise_input_error("sensors: no setting named %R", key);
            return false;
        }
    }
    return true;
}

// How guidance navigates, by name.
bool read_navigation(PyObject* value, NavigationOptions& navigation) {
    std::string_view name;
    if (!convert_arg(value, name, "navigation")) return false;
    if (name == "filter" || name == "raw") {
        navigation.filter = name == "filter";
        return true;
    }
    raise_input_error("navigation must be 'filter' or 'raw', got %R", value);
    return false;
}

// What guidance believed at every step and its 1-sigma uncertainty.
PyObject* navigation_dict(const Flight& flight) {
    std::vector<Vec3> position, velocity, position_sigma, velocity_sigma;
    for (const NavigatedState& s : flight.navigation) {
        position.push_back(s.position);
        velocity.push_back(s.velocity);
        position_sigma.push_back(s.position_sigma);
        velocity_sigma.push_back(s.velocity_sigma);
    }
    Ref dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "position", nx3(position)) || !set_item(dict.get(), "velocity", nx3(velocity)) ||
        !set_item(dict.get(), "position_sigma", nx3(position_sigma)) ||
        !set_item(dict.get(), "velocity_sigma", nx3(velocity_sigma)) ||
        !set_item(dict.get(), "fixes_taken", to_python(static_cast<double>(flight.fixes.taken))) ||
        !set_item(dict.get(), "fixes_rejected", to_python(static_cast<double>(flight.fixes.rejected)))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* states_dict(const std::vector<PlantState>& states) {
    std::vector<double> t, mass;
    std::vector<Vec3> position, velocity, thrust;
    for (const PlantState& s : states) {
        t.push_back(s.t);
        mass.push_back(s.mass);
        position.push_back(s.position);
        velocity.push_back(s.velocity);
        thrust.push_back(s.thrust);
    }
    Ref dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "t", vec1(t)) || !set_item(dict.get(), "position", nx3(position)) ||
        !set_item(dict.get(), "velocity", nx3(velocity)) || !set_item(dict.get(), "mass", vec1(mass)) ||
        !set_item(dict.get(), "thrust", nx3(thrust))) {
        return nullptr;
    }
    return dict.release();
}

constexpr const char* kPlanSourceNames[] = {"searched", "replanned", "reserve", "nearest", "kept"};
constexpr const char* kOutcomeNames[] = {"landed", "time_limit", "no_plan", "interrupted", "hard_landing"};

// The landing limits as (vertical_speed, horizontal_speed, miss_radius or None).
bool read_limits(PyObject* value, LandingLimits& limits) {
    if (!PyTuple_Check(value) || PyTuple_Size(value) != 3) {
        PyErr_Format(PyExc_TypeError, "limits must be a tuple (vertical_speed, horizontal_speed, miss_radius)");
        return false;
    }
    if (!read_float(PyTuple_GetItem(value, 0), limits.vertical_speed, "limits.vertical_speed") ||
        !read_float(PyTuple_GetItem(value, 1), limits.horizontal_speed, "limits.horizontal_speed")) {
        return false;
    }
    PyObject* radius = PyTuple_GetItem(value, 2);
    if (radius == Py_None) return true;
    double r = 0.0;
    if (!read_float(radius, r, "limits.miss_radius")) return false;
    limits.miss_radius = r;
    return true;
}

// The touchdown's figures, or None for a flight that never touched down.
PyObject* touchdown_dict(const std::optional<Touchdown>& touchdown) {
    if (!touchdown) return Py_NewRef(Py_None);
    const Touchdown& d = *touchdown;
    return Py_BuildValue("{s:d,s:(ddd),s:(ddd),s:d,s:d,s:d,s:d}", "t", d.t, "position", d.position[0],
                         d.position[1], d.position[2], "velocity", d.velocity[0], d.velocity[1], d.velocity[2],
                         "mass", d.mass, "vertical_speed", d.vertical_speed, "horizontal_speed", d.horizontal_speed,
                         "miss", d.miss);
}

PyObject* flight_dict(const Flight& flight) {
    Ref dict(PyDict_New());
    Ref plans(PyList_New(0));
    if (!dict || !plans) return nullptr;
    for (const PlanEvent& e : flight.plans) {
        Ref item(Py_BuildValue("{s:d,s:s,s:d,s:d,s:d}", "t", e.t, "source",
                               kPlanSourceNames[static_cast<int>(e.source)], "seconds", e.seconds, "touchdown_time",
                               e.touchdown_time, "engine", e.engine));
        if (!item || PyList_Append(plans.get(), item.get()) < 0) return nullptr;
    }
    if (!set_item(dict.get(), "outcome", to_python(std::string(kOutcomeNames[static_cast<int>(flight.outcome)]))) ||
        !set_item(dict.get(), "message", to_python(flight.message)) ||
        !set_item(dict.get(), "history", states_dict(flight.history)) ||
        !set_item(dict.get(), "navigation", navigation_dict(flight)) ||
        !set_item(dict.get(), "plans", plans.release()) ||
        !set_item(dict.get(), "terminal_descent",
                  flight.terminal_descent ? to_python(*flight.terminal_descent) : Py_NewRef(Py_None)) ||
        !set_item(dict.get(), "planned_fuel", to_python(flight.planned_fuel)) ||
        !set_item(dict.get(), "touchdown", touchdown_dict(flight.touchdown))) {
        return nullptr;
    }
    if (flight.outcome != FlightOutcome::no_plan &&
        !set_item(dict.get(), "first_plan", result_dict(flight.first_plan, 0, 0))) {
        return nullptr;
    }
    return dict.release();
}

// One of the options' numbers (kGuidanceNumbers), within its range.
bool read_option(PyObject* value, GuidanceOptions& options, std::string_view name) {
    for (const GuidanceNumber& f : kGuidanceNumbers) {
        if (name == f.name) return read_number(value, f.field(options), f.name, f.low, f.high);
    }
    throw std::logic_error("no option named " + std::string(name));
}

// A re-plan's horizon by name.
bool read_replan_horizon(PyObject* value, ReplanHorizon& horizon) {
    std::string_view name;
    if (!convert_arg(value, name, "replan_horizon")) return false;
    if (name == "searched" || name == "fixed") {
        horizon = name == "fixed" ? ReplanHorizon::fixed : ReplanHorizon::searched;
        return true;
    }
    raise_input_error("replan_horizon must be 'searched' or 'fixed', got %R", value);
    return false;
}

PyObject* simulate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const std::uint64_t generation = g_stop_generation.load();  // as plan(): stop_all() from here on ends it
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr const char* params[] = {"config", "replan_period", "pointing",       "thrust_margin",
                                                 "step",   "errors",        "seed",           "rotation",
                                                 "replan_horizon", "terminal_speed", "terminal_height",
                                                 "sensors", "navigation", "control_rate", "limits",
                                                 "solver"};
        static constexpr Signature signature{"simulate()", params, 1};
        PyObject* arg[16] = {};
        if (!bind(signature, args, nargs, kwnames, arg)) return nullptr;
        GuidanceOptions options;
        options.thrust_margin = 0.05;
        FlightErrors errors;
        if (arg[1] && !read_float(arg[1], options.replan_period, "replan_period")) return nullptr;
        if (arg[2] && !read_pointing(arg[2], options.pointing)) return nullptr;
        if (arg[3] && !read_option(arg[3], options, "thrust_margin")) return nullptr;
        if (arg[4] && !read_option(arg[4], options, "step")) return nullptr;
        if (arg[5] && !read_errors(arg[5], errors)) return nullptr;
        if (arg[6] && !convert_arg(arg[6], errors.seed, "seed")) return nullptr;
        if (arg[7] && !read_rotation(arg[7], options.rotation, "rotation")) return nullptr;
        if (arg[8] && !read_replan_horizon(arg[8], options.replan_horizon)) return nullptr;
        if (arg[9] && !read_option(arg[9], options, "terminal_speed")) return nullptr;
        if (arg[10] && !read_option(arg[10], options, "terminal_height")) return nullptr;
        if (arg[11] && !read_sensors(arg[11], options.sensors)) return nullptr;
        if (arg[12] && !read_navigation(arg[12], options.navigation)) return nullptr;
        if (arg[13] && !read_option(arg[13], options, "control_rate")) return nullptr;
        if (arg[14] && !read_limits(arg[14], options.limits)) return nullptr;
        if (arg[15] && !read_solver(arg[15], options.solver)) return nullptr;
        const std::optional<Config> config = read_checked_config(arg[0]);
        if (!config) return nullptr;
        if (auto ok = check_flight(*config, options, errors); !ok) {
            raise_planning_error(ok.error());
            return nullptr;
        }
        const auto in_force = pointing_in_force(*config, options.pointing);
        if (!in_force) {
            raise_planning_error(in_force.error());
            return nullptr;
        }
        options.pointing = *in_force;
        if (auto ok = check_node_count(config->solver.n); !ok) {
            raise_planning_error(ok.error());
            return nullptr;
        }
        Interrupt interrupt(generation);
        const StopCheck stop = [&interrupt] { return interrupt.requested(); };
        options.stop = &stop;
        std::optional<Flight> flight;
        {
            Unlocked unlocked;
            flight.emplace(vexal::simulate(*config, options, errors));
        }
        if (interrupt.restore()) return nullptr;
        return flight_dict(*flight);
    });
}

// stop_all(stop=True): ends every plan in progress with KeyboardInterrupt.
// stop_all(False) is accepted from older callers and does nothing.
PyObject* stop_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr const char* params[] = {"stop"};
        static constexpr Signature signature{"stop_all()", params, 0};
        PyObject* arg = nullptr;
        if (!bind(signature, args, nargs, kwnames, &arg)) return nullptr;
        const int stop = arg ? PyObject_IsTrue(arg) : 1;
        if (stop < 0) return nullptr;
        if (stop) g_stop_generation.fetch_add(1);
        return Py_NewRef(Py_None);
    });
}

PyMethodDef kMethods[] = {
    {"stop_all", as_cfunction(&stop_all), METH_FASTCALL | METH_KEYWORDS,
     "stop_all(stop=True)\n--\n\nEnds every plan in progress at the moment of the call with KeyboardInterrupt; "
     "plans started afterwards run normally. stop_all(False) does nothing."},
    {"plan", as_cfunction(&plan), METH_FASTCALL | METH_KEYWORDS,
     "plan(config, search='fast', tolerance=2e-4, pointing=False, landing='target', progress=None, "
     "threads=None, rotation=None, solver=DEFAULT_SOLVER, landing_tolerance=DEFAULT_LANDING_TOLERANCE)\n--\n\n"
     "Plans the descent with the lock released; returns a dict of its data. progress(solves, best_final_mass) "
     "is called after each solve. threads: the fast search's grid threads (None: from the cores). rotation: the "
     "planet's angular velocity (wx, wy, wz), rad/s (None: a still planet). solver: the quick path's, "
     "'clarabel' or 'structured'. landing_tolerance: m, the landing errors within it of the least that a nearest "
     "landing's search counts as equal (0: the least exactly)."},
    {"simulate", as_cfunction(&simulate), METH_FASTCALL | METH_KEYWORDS,
     "simulate(config, replan_period=2.0, pointing=True, thrust_margin=0.05, step=0.01, errors=None, seed=0, "
     "rotation=None, replan_horizon='searched', terminal_speed=1.0, terminal_height=5.0, sensors=None, "
     "navigation='filter', control_rate=10.0, limits=(2.0, 1.0, None), solver=DEFAULT_SOLVER)\n--\n\nFlies the "
     "descent under guidance with the lock released; returns a dict of the flight. solver: the plans' quick "
     "path's, 'clarabel' or 'structured'."},
    {"checked", as_cfunction(&checked), METH_FASTCALL | METH_KEYWORDS,
     "checked(config, landing='target')\n--\n\nRaises ValueError naming a field no descent can have."},
    {nullptr, nullptr, 0, nullptr},
};

// DEFAULT_SOLVER: the name of PlanOptions{}.solver, and
// DEFAULT_LANDING_TOLERANCE its landing_tolerance: the one default of every
// front door.
int exec_module(PyObject* module) {
    return guard(-1, [&] {
        PyObject* tolerance = PyFloat_FromDouble(PlanOptions{}.landing_tolerance);
        const int added = tolerance ? PyModule_AddObjectRef(module, "DEFAULT_LANDING_TOLERANCE", tolerance) : -1;
        Py_XDECREF(tolerance);
        if (added < 0) return -1;
        for (const Named<SolverChoice>& s : kSolverNames) {
            if (s.value == PlanOptions{}.solver) {
                return PyModule_AddStringConstant(module, "DEFAULT_SOLVER", std::string(s.name).c_str());
            }
        }
        throw InternalError("the default solver has no name");
    });
}

PyModuleDef_Slot kSlots[] = {{Py_mod_exec, as_slot(&exec_module)}, {0, nullptr}};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "vexal._native", "", 0, kMethods, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vexal::py

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&vexal::py::kModuleDef);
}
