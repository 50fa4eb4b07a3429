#pragma once
// The one argument binder of every entry point.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

namespace vexal::py {

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

}  // namespace vexal::py
