#pragma once
// Error translation at the boundary: the module's exceptions and messages,
// the guard that keeps C++ exceptions out of the interpreter, and the
// deallocation that must not raise.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "objects.hpp"
#include "vexal/error.hpp"

namespace vexal::py {

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

// A new str of UTF-8 text, invalid bytes replaced; null with an exception set.
PyObject* text_object(std::string_view text) noexcept;

// A core error as ValueError, its message unchanged (the kind is not shown).
void raise_core_error(const Error& error) noexcept;

// A failed plan of the vexal package: the exception of the package's
// `vexal.errors` for the failure's kind, a ValueError with the kind as its
// attribute `kind` ("invalid_input", "infeasible", "solver_status",
// "solver_construction", "json"), so that callers branch on the class or
// the kind rather than on the text.
void raise_planning_error(const Error& error) noexcept;
// The same for a message already made; a null one leaves its own error.
void raise_planning_error(ErrorKind kind, PyObject* message) noexcept;
// An input no plan can take (vexal.InputError), its message formatted as
// by PyUnicode_FromFormat.
void raise_input_error(const char* format, ...) noexcept;

// A new reference to the attribute `name` of the package's `vexal.errors`,
// or null with an exception set.
PyObject* package_error_class(const char* name) noexcept;

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

}  // namespace vexal::py
