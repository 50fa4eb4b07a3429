#include "convert.hpp"

#include <string>

namespace vexal::py {

bool Convert<double>::from_py(PyObject* value, double& out) {
    double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) return false;
    out = x;
    return true;
}

bool Convert<Vec3>::from_py(PyObject* value, Vec3& out) {
    if (!PySequence_Check(value)) {
        raise_not_instance(value, "Sequence");
        return false;
    }
    Py_ssize_t size = PySequence_Size(value);
    if (size < 0) return false;
    if (size != 3) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)",
                     static_cast<Py_ssize_t>(3), size);
        return false;
    }
    Vec3 result{};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* index = PyLong_FromSsize_t(i);
        if (!index) return false;
        PyObject* item = PyObject_GetItem(value, index);
        Py_DECREF(index);
        if (!item) return false;
        bool ok = Convert<double>::from_py(item, result[static_cast<std::size_t>(i)]);
        Py_DECREF(item);
        if (!ok) return false;
    }
    out = result;
    return true;
}

PyObject* Convert<Vec3>::to_py(const Vec3& value) {
    PyObject* list = PyList_New(3);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* item = PyFloat_FromDouble(value[static_cast<std::size_t>(i)]);
        if (!item || PyList_SetItem(list, i, item) < 0) {  // SetItem steals item
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

bool Convert<std::uint64_t>::from_py(PyObject* value, std::uint64_t& out) {
    PyObject* index = PyNumber_Index(value);
    if (!index) return false;
    unsigned long long n = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = n;
    return true;
}

bool Convert<std::optional<double>>::from_py(PyObject* value, std::optional<double>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    double x = 0.0;
    if (!Convert<double>::from_py(value, x)) return false;
    out = x;
    return true;
}

PyObject* Convert<std::optional<double>>::to_py(const std::optional<double>& value) {
    if (!value) Py_RETURN_NONE;
    return PyFloat_FromDouble(*value);
}

bool Convert<std::string_view>::from_py(PyObject* value, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        raise_not_instance(value, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (!text) return false;
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

}  // namespace vexal::py
