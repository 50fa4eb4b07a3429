#pragma once
// Result arrays: NumPy's C API, located at the first conversion (never at
// import), and fresh float64 arrays that own a copy of their data.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

#include "vexal/config.hpp"

namespace vexal::py {

// n triples as an (n, 3) C-order array; nullptr with an exception set.
PyObject* nx3(std::span<const Vec3> rows);

// n numbers as an (n,) array; nullptr with an exception set.
PyObject* vec1(std::span<const double> values);

}  // namespace vexal::py
