#pragma once
// Owned references, the per-object borrow flag, and the objects of the
// module's classes: their layout, type objects and creation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "vexal/config.hpp"
#include "vexal/fixed_horizon.hpp"

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

}  // namespace vexal::py
