#pragma once
// Everything that stands between the interpreter and the core: argument
// binding, value conversion, error translation and the per-object borrow
// flag. Each mechanism exists once; the classes and `solve` are tables over it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "vexal/config.hpp"
#include "vexal/solve.hpp"

namespace vexal::py {

// An owned (strong) reference, released at scope exit.
class Ref {
public:
    explicit Ref(PyObject* object = nullptr) noexcept : object_(object) {}
    ~Ref() { Py_XDECREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_;
};

// ---------------------------------------------------------------------------
// Borrow flag: a count of shared borrows, or -1 for one exclusive borrow.

class BorrowFlag {
public:
    bool acquire_shared() noexcept;
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    bool acquire_exclusive() noexcept;
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::intptr_t> state_{0};
};

// A scoped borrow; a failed one has raised RuntimeError and tests false.
template <bool Exclusive>
class Borrow {
public:
    explicit Borrow(BorrowFlag& flag) noexcept;
    ~Borrow() {
        if (!flag_) return;
        if constexpr (Exclusive) {
            flag_->release_exclusive();
        } else {
            flag_->release_shared();
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// ---------------------------------------------------------------------------
// Objects and their classes.

// Layout of every instance: the header, the borrow flag and one value.
template <class T>
struct Object {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

template <class T>
Object<T>* as_object(PyObject* self) noexcept {
    return reinterpret_cast<Object<T>*>(self);
}

// Name and process-wide type object of the class that wraps T.
template <class T>
struct PyClass;

#define VEXAL_PY_CLASS(T, NAME)                           \
    template <>                                           \
    struct PyClass<T> {                                   \
        static constexpr const char* name = NAME;         \
        static inline PyObject* type = nullptr;           \
    }

VEXAL_PY_CLASS(Spacecraft, "Spacecraft");
VEXAL_PY_CLASS(Environment, "Environment");
VEXAL_PY_CLASS(Solver, "Solver");
VEXAL_PY_CLASS(Config, "Config");
VEXAL_PY_CLASS(Trajectory, "PyTrajectory");
#undef VEXAL_PY_CLASS

// Builds the type object from its spec; defined beside each class.
template <class T>
PyObject* create_type();
template <>
PyObject* create_type<Spacecraft>();
template <>
PyObject* create_type<Environment>();
template <>
PyObject* create_type<Solver>();
template <>
PyObject* create_type<Config>();
template <>
PyObject* create_type<Trajectory>();

// The type object, created at first need and kept for the process.
template <class T>
PyTypeObject* type_object() {
    if (!PyClass<T>::type) PyClass<T>::type = create_type<T>();
    return reinterpret_cast<PyTypeObject*>(PyClass<T>::type);
}

// A new instance of `type` holding `value`; nullptr with an exception set.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    auto* obj = as_object<std::remove_cvref_t<T>>(self);
    new (&obj->borrow) BorrowFlag();
    new (&obj->value) std::remove_cvref_t<T>(std::forward<T>(value));
    return self;
}

template <class T>
PyObject* new_object(T&& value) {
    PyTypeObject* type = type_object<std::remove_cvref_t<T>>();
    if (!type) return nullptr;
    return new_instance(type, std::forward<T>(value));
}

// A class's getset table from its attribute table (entries with `name` and
// `doc`); each entry is the closure handed to the shared getter and setter.
template <class Def, std::size_t N>
std::array<PyGetSetDef, N + 1> getset_table(const std::array<Def, N>& defs, getter get,
                                            setter set) {
    std::array<PyGetSetDef, N + 1> table{};  // zeroed sentinel last
    for (std::size_t i = 0; i < N; ++i) {
        table[i] = {defs[i].name, get, set, defs[i].doc, const_cast<Def*>(&defs[i])};
    }
    return table;
}

// ---------------------------------------------------------------------------
// Errors.

// TypeError "'{type}' object is not an instance of '{expected}'", or
// "'None' is not an instance of '{expected}'".
void raise_not_instance(PyObject* value, const char* expected) noexcept;

// The checked downcast of `value` to an instance of T's class.
template <class T>
Object<T>* downcast(PyObject* value) {
    PyTypeObject* type = type_object<T>();
    if (!type) return nullptr;
    if (!PyObject_TypeCheck(value, type)) {
        raise_not_instance(value, PyClass<T>::name);
        return nullptr;
    }
    return as_object<T>(value);
}

// Attaches "while processing '{name}'" to the pending exception; a missing
// or failing add_note leaves the exception as it was.
void add_note(const char* name) noexcept;

// A core error message as ValueError, the text unchanged.
void raise_core_error(std::string_view message) noexcept;

// Raises PanicException with `message` (invalid UTF-8 is replaced).
void raise_panic(std::string_view message) noexcept;

// Replaces the pending exception by PanicException "{prefix}: {Type}: {text}",
// chained to it as its cause.
void raise_panic_from_pending(const char* prefix) noexcept;

// Turns the C++ exception being handled into the Python one.
void raise_current_exception() noexcept;

// Runs `body` so that no C++ exception reaches the interpreter: on one,
// the matching Python exception is set and `failure` returned.
template <class R, class F>
R guard(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return failure;
    }
}

// Deallocation cannot raise: a failure goes to the unraisable hook, with
// any exception already pending kept intact.
void report_unraisable(PyObject* context) noexcept;

template <class F>
void guard_dealloc(PyObject* self, F&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_unraisable(self);
    }
}

// Deallocation shared by every class: destroy the value, free, drop the type.
template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    guard_dealloc(self, [&] { as_object<T>(self)->value.~T(); });
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Function pointers of other signatures travel through the method and slot
// tables as these; the detour through void(*)() keeps the cast explicit.
template <class F>
PyCFunction as_cfunction(F* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}
template <class F>
void* as_slot(F* fn) noexcept {
    return reinterpret_cast<void*>(fn);
}

// ---------------------------------------------------------------------------
// Argument binding.

struct Signature {
    const char* function;                  // "solve()", "Spacecraft.__new__()"
    std::span<const char* const> params;   // positional-or-keyword, in order
    std::size_t required;                  // how many leading ones must be given
};

// Fills out[i] (borrowed, nullptr when omitted) for every parameter.
// Fast-call form: positional array plus a tuple of keyword names.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);
// Classic form: argument tuple plus keyword dictionary (may be null).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// ---------------------------------------------------------------------------
// Value conversion: from_py converts or raises; to_py builds a new object.

template <class T>
struct Convert;

template <>
struct Convert<double> {
    static bool from_py(PyObject* value, double& out);
    static PyObject* to_py(double value) { return PyFloat_FromDouble(value); }
};

template <>
struct Convert<Vec3> {
    static bool from_py(PyObject* value, Vec3& out);
    static PyObject* to_py(const Vec3& value);
};

template <>
struct Convert<std::uint64_t> {
    static bool from_py(PyObject* value, std::uint64_t& out);
    static PyObject* to_py(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
};

template <>
struct Convert<std::optional<double>> {
    static bool from_py(PyObject* value, std::optional<double>& out);
    static PyObject* to_py(const std::optional<double>& value);
};

// A record field of Config: an instance of the record's class, copied.
template <class R>
    requires requires { PyClass<R>::name; }
struct Convert<R> {
    static bool from_py(PyObject* value, R& out) {
        Object<R>* source = downcast<R>(value);
        if (!source) return false;
        SharedBorrow borrow(source->borrow);
        if (!borrow) return false;
        out = source->value;
        return true;
    }
    static PyObject* to_py(const R& value) { return new_object(R(value)); }
};

// Text parameters: a str (or subclass) as its UTF-8 bytes, valid while the
// object lives.
template <>
struct Convert<std::string_view> {
    static bool from_py(PyObject* value, std::string_view& out);
};

// Converts the value of the parameter or attribute `name`; a failure keeps
// its exception and gains the note.
template <class T>
bool convert_arg(PyObject* value, T& out, const char* name) {
    if (Convert<T>::from_py(value, out)) return true;
    add_note(name);
    return false;
}

}  // namespace vexal::py
