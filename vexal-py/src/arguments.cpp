#include "arguments.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "objects.hpp"

namespace vexal::py {

namespace {

// Compares a keyword with the parameter names by its UTF-8 text; a name that
// has none (lone surrogates) matches nothing.
std::ptrdiff_t param_index(const Signature& sig, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return -1;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (name == sig.params[i]) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    if (sig.required != sig.params.size()) {
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                     sig.function, static_cast<Py_ssize_t>(sig.required), count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     sig.function, count, given, verb);
    }
}

// "... missing 2 required positional arguments: 'a' and 'b'"
void raise_missing(const Signature& sig, PyObject* const* out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!out[i]) missing.push_back(sig.params[i]);
    }
    std::string msg = std::string(sig.function) + " missing " + std::to_string(missing.size()) +
                      " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                      ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) msg += missing.size() > 2 ? (i + 1 == missing.size() ? ", and " : ", ") : " and ";
        msg += '\'';
        msg += missing[i];
        msg += '\'';
    }
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

// The one binder: positional values first, then keywords in the order given,
// then the check for required parameters. `keyword(i, name, value)` yields
// the i-th keyword pair (borrowed).
template <class KeywordAt>
bool bind_impl(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw,
               KeywordAt keyword, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = nullptr;
    if (nargs > count) {
        raise_too_many_positional(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        if (!keyword(k, name, value)) return false;
        std::ptrdiff_t i = param_index(sig, name);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                         sig.function, name);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                         sig.params[static_cast<std::size_t>(i)]);
            return false;
        }
        out[i] = value;
    }
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            raise_missing(sig, out);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    if (nkw < 0) return false;
    return bind_impl(sig, args, nargs, nkw,
                     [&](Py_ssize_t k, PyObject*& name, PyObject*& value) {
                         name = PyTuple_GetItem(kwnames, k);
                         value = args[nargs + k];
                         return name != nullptr;
                     },
                     out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    // Only as many items as there are parameters are ever read.
    std::vector<PyObject*> positional(
        static_cast<std::size_t>(std::min<Py_ssize_t>(nargs, static_cast<Py_ssize_t>(sig.params.size()))));
    for (std::size_t i = 0; i < positional.size(); ++i) {
        positional[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
    if (nkw < 0) return false;
    Py_ssize_t pos = 0;
    return bind_impl(sig, positional.data(), nargs, nkw,
                     [&](Py_ssize_t, PyObject*& name, PyObject*& value) {
                         return PyDict_Next(kwargs, &pos, &name, &value) != 0;
                     },
                     out);
}

}  // namespace vexal::py
