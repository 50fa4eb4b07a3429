#pragma once
// Value conversion between Python objects and the core's values, with the
// "while processing" note on failure.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors.hpp"
#include "objects.hpp"

namespace vexal::py {

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
