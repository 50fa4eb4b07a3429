// The four configuration classes. Each is one field table; the getters,
// setters and the keyword constructor are generated from it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <span>
#include <string>

#include "arguments.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "objects.hpp"
#include "vexal/json.hpp"

namespace vexal::py {
namespace {

// One property: the record member behind it, reached through the functions
// that FieldOps generates for that member.
struct FieldDef {
    const char* name;
    const char* doc;
    PyObject* (*get)(PyObject* self);
    int (*set)(PyObject* self, PyObject* value, const char* name);
    bool (*init)(void* record, PyObject* value, const char* name);
    void (*default_text)(std::string& out);  // the record's default, as the signature shows it
};

// How a signature shows a default: numbers as Python would read them back
// (small magnitudes in exponent form, "5e-4"), everything composite as "...".
void append_default(std::string& out, double v) {
    if (v != 0.0 && std::fabs(v) < 1e-3) {
        char buf[32];
        const auto end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
        std::string text(buf, end);
        const auto e = text.find("e-0");
        if (e != std::string::npos) text.erase(e + 2, 1);  // "5e-04" -> "5e-4"
        out += text;
    } else {
        append_float(out, v);
    }
}
void append_default(std::string& out, std::uint64_t v) { out += std::to_string(v); }
void append_default(std::string& out, const std::optional<double>& v) {
    if (v) append_default(out, *v);
    else out += "None";
}
template <class T>
void append_default(std::string& out, const T&) {
    out += "...";
}

template <auto Member>
struct MemberOf;
template <class R, class T, T R::*Member>
struct MemberOf<Member> {
    using Record = R;
    using Type = T;
};

template <auto Member>
struct FieldOps {
    using R = typename MemberOf<Member>::Record;
    using T = typename MemberOf<Member>::Type;

    // The value is copied out under the borrow and converted after it, so
    // no Python code runs while the borrow is held.
    static PyObject* get(PyObject* self) {
        auto* obj = as_object<R>(self);
        T value;
        {
            SharedBorrow borrow(obj->borrow);
            if (!borrow) return nullptr;
            value = obj->value.*Member;
        }
        return Convert<T>::to_py(value);
    }

    // All or nothing: convert first, store only a fully converted value.
    static int set(PyObject* self, PyObject* value, const char* name) {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            return -1;
        }
        T converted{};
        if (!convert_arg(value, converted, name)) return -1;
        auto* obj = as_object<R>(self);
        ExclusiveBorrow borrow(obj->borrow);
        if (!borrow) return -1;
        obj->value.*Member = converted;
        return 0;
    }

    static bool init(void* record, PyObject* value, const char* name) {
        return convert_arg(value, static_cast<R*>(record)->*Member, name);
    }

    static void default_text(std::string& out) { append_default(out, R{}.*Member); }
};

template <auto Member>
constexpr FieldDef field(const char* name, const char* doc = nullptr) {
    return {name, doc, &FieldOps<Member>::get, &FieldOps<Member>::set, &FieldOps<Member>::init,
            &FieldOps<Member>::default_text};
}

#define VEXAL_FIELD(R, member, ...) field<&R::member>(#member __VA_OPT__(, ) __VA_ARGS__)

constexpr std::array kSpacecraftFields{
    VEXAL_FIELD(Spacecraft, wet_mass),
    VEXAL_FIELD(Spacecraft, fuel),
    VEXAL_FIELD(Spacecraft, real_max_thrust),
    VEXAL_FIELD(Spacecraft, min_thrust_pct),
    VEXAL_FIELD(Spacecraft, max_thrust_pct),
    VEXAL_FIELD(Spacecraft, max_velocity),
    VEXAL_FIELD(Spacecraft, initial_position),
    VEXAL_FIELD(Spacecraft, initial_velocity),
    VEXAL_FIELD(Spacecraft, target_velocity),
    VEXAL_FIELD(Spacecraft, target_position),
    VEXAL_FIELD(Spacecraft, fuel_consumption),
};

constexpr std::array kEnvironmentFields{
    VEXAL_FIELD(Environment, gravity),
    VEXAL_FIELD(Environment, glide_slope_angle_deg),
    VEXAL_FIELD(Environment, max_angle_deg),
};

constexpr std::array kSolverFields{
    VEXAL_FIELD(Solver, n),
    VEXAL_FIELD(Solver, time_of_flight,
                "Discretization horizon. `None` \xe2\x87\x92 `solve` searches for the fuel-optimal\n"
                "time-of-flight (see [`crate::search`])."),
    VEXAL_FIELD(Solver, tof_min,
                "Lower bound for the time-of-flight search. `None` \xe2\x87\x92 auto-bracket."),
    VEXAL_FIELD(Solver, tof_max,
                "Upper bound for the time-of-flight search. `None` \xe2\x87\x92 auto-bracket."),
};

constexpr std::array kConfigFields{
    VEXAL_FIELD(Config, spacecraft),
    VEXAL_FIELD(Config, environment),
    VEXAL_FIELD(Config, solver),
};

#undef VEXAL_FIELD

// ---------------------------------------------------------------------------
// Config's methods

PyObject* config_to_json(PyObject* self, PyObject*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* obj = as_object<Config>(self);
        std::string text;
        {
            SharedBorrow borrow(obj->borrow);
            if (!borrow) return nullptr;
            text = to_json(obj->value);
        }
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

constexpr const char* kFromJsonParams[] = {"s"};
constexpr Signature kFromJsonSignature{"Config.from_json()", kFromJsonParams, 1};

PyObject* config_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* s = nullptr;
        if (!bind(kFromJsonSignature, args, nargs, kwnames, &s)) return nullptr;
        std::string_view text;
        if (!convert_arg(s, text, "s")) return nullptr;
        auto config = from_json(text);
        if (!config) {
            raise_core_error(config.error());
            return nullptr;
        }
        return new_object(std::move(*config));
    });
}

PyMethodDef kConfigMethods[] = {
    {"to_json", as_cfunction(&config_to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_json", as_cfunction(&config_from_json), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_json(s)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

// ---------------------------------------------------------------------------
// Per-class description: the table, the texts and the methods.

template <class R>
struct RecordClass;

// The class texts all derive from the record's name, and the signature from
// its field table and defaults.
#define VEXAL_RECORD_CLASS(R, FIELDS, METHODS)                            \
    template <>                                                          \
    struct RecordClass<R> {                                              \
        static constexpr const char* name = #R;                          \
        static constexpr const char* type_name = "builtins." #R;         \
        static constexpr const char* constructor = #R ".__new__()";      \
        static constexpr const auto& fields = FIELDS;                    \
        static constexpr PyMethodDef* methods = METHODS;                 \
    }

VEXAL_RECORD_CLASS(Spacecraft, kSpacecraftFields, kNoMethods);
VEXAL_RECORD_CLASS(Environment, kEnvironmentFields, kNoMethods);
VEXAL_RECORD_CLASS(Solver, kSolverFields, kNoMethods);
VEXAL_RECORD_CLASS(Config, kConfigFields, kConfigMethods);

#undef VEXAL_RECORD_CLASS

// ---------------------------------------------------------------------------
// What the tables generate

PyObject* get_field(PyObject* self, void* closure) {
    auto* f = static_cast<const FieldDef*>(closure);
    return guard<PyObject*>(nullptr, [&] { return f->get(self); });
}

int set_field(PyObject* self, PyObject* value, void* closure) {
    auto* f = static_cast<const FieldDef*>(closure);
    return guard(-1, [&] { return f->set(self, value, f->name); });
}

template <std::size_t N>
constexpr std::array<const char*, N> field_names(const std::array<FieldDef, N>& fields) {
    std::array<const char*, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = fields[i].name;
    return names;
}

// Keyword constructor: every parameter optional, defaults from the record.
template <class R>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        constexpr const auto& fields = RecordClass<R>::fields;
        static constexpr auto names = field_names(fields);
        static constexpr Signature signature{RecordClass<R>::constructor, names, 0};
        std::array<PyObject*, fields.size()> values{};
        if (!bind(signature, args, kwargs, values.data())) return nullptr;
        R record{};
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (values[i] && !fields[i].init(&record, values[i], fields[i].name)) return nullptr;
        }
        return new_instance(type, std::move(record));
    });
}

// "Name(field=default, ...)\n--\n\n": Python reports the signature and no
// further text.
template <class R>
std::string class_doc() {
    std::string doc = RecordClass<R>::name;
    doc += '(';
    for (const FieldDef& f : RecordClass<R>::fields) {
        if (doc.back() != '(') doc += ", ";
        doc += f.name;
        doc += '=';
        f.default_text(doc);
    }
    doc += ")\n--\n\n";
    return doc;
}

template <class R>
PyObject* create_record_type() {
    static auto getset = getset_table(RecordClass<R>::fields, &get_field, &set_field);
    static const std::string doc = class_doc<R>();
    static PyType_Slot slots[] = {
        {Py_tp_new, as_slot(&construct<R>)},
        {Py_tp_dealloc, as_slot(&dealloc<R>)},
        {Py_tp_getset, getset.data()},
        {Py_tp_methods, RecordClass<R>::methods},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {0, nullptr},
    };
    // No Py_TPFLAGS_BASETYPE: the classes cannot be subclassed.
    static PyType_Spec spec = {RecordClass<R>::type_name, static_cast<int>(sizeof(Object<R>)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
}

}  // namespace

template <>
PyObject* create_type<Spacecraft>() {
    return create_record_type<Spacecraft>();
}
template <>
PyObject* create_type<Environment>() {
    return create_record_type<Environment>();
}
template <>
PyObject* create_type<Solver>() {
    return create_record_type<Solver>();
}
template <>
PyObject* create_type<Config>() {
    return create_record_type<Config>();
}

}  // namespace vexal::py
