#include "boundary.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace vexal::py {

// ---------------------------------------------------------------------------
// Borrow flag

bool BorrowFlag::acquire_shared() noexcept {
    std::intptr_t state = state_.load(std::memory_order_relaxed);
    do {
        if (state < 0) return false;
    } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
}

bool BorrowFlag::acquire_exclusive() noexcept {
    std::intptr_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
}

template <bool Exclusive>
Borrow<Exclusive>::Borrow(BorrowFlag& flag) noexcept : flag_(&flag) {
    if (Exclusive ? flag.acquire_exclusive() : flag.acquire_shared()) return;
    flag_ = nullptr;
    PyErr_SetString(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
}

template class Borrow<false>;
template class Borrow<true>;

// ---------------------------------------------------------------------------
// Errors

namespace {

// The pending exception, normalised, taken out of the interpreter. The 3.11
// limited API has only the fetch/restore triple for this.
struct PendingError {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    void fetch() noexcept {
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value && traceback) PyException_SetTraceback(value, traceback);
    }
    void restore() noexcept {
        PyErr_Restore(type, value, traceback);
        type = value = traceback = nullptr;
    }
#pragma GCC diagnostic pop
};

const char kPanicDoc[] =
    "\n"
    "The exception raised when native code called from Python fails unexpectedly.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* g_panic_type = nullptr;  // created at first need, kept for the process

PyObject* panic_type() noexcept {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc("_vexal.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace

void raise_not_instance(PyObject* value, const char* expected) noexcept {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    PyObject* name = PyType_GetQualName(Py_TYPE(value));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
    Py_DECREF(name);
}

void add_note(const char* name) noexcept {
    PendingError error;
    error.fetch();
    if (error.value) {
        Ref note(PyUnicode_FromFormat("while processing '%s'", name));
        Ref method(note ? PyUnicode_FromString("add_note") : nullptr);
        Ref result(method ? PyObject_CallMethodObjArgs(error.value, method.get(), note.get(), nullptr)
                          : nullptr);
        if (!result) PyErr_Clear();
    }
    error.restore();
}

namespace {

void raise_text(PyObject* type, std::string_view message) noexcept {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace

void raise_core_error(std::string_view message) noexcept {
    raise_text(PyExc_ValueError, message);
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_type();
    if (!type) return;  // its creation's own error (memory) stands instead
    raise_text(type, message);
}

void raise_panic_from_pending(const char* prefix) noexcept {
    PendingError cause;
    cause.fetch();
    if (!cause.value) return;
    // Each step runs only while nothing has failed; a failure leaves its own
    // error pending instead of the panic.
    Ref name(PyType_GetQualName(Py_TYPE(cause.value)));
    Ref text(name ? PyObject_Str(cause.value) : nullptr);
    PyObject* type = text ? panic_type() : nullptr;
    Ref message(!type                              ? nullptr
                : PyUnicode_GetLength(text.get()) > 0 ? PyUnicode_FromFormat("%s: %U: %U", prefix, name.get(), text.get())
                                                  : PyUnicode_FromFormat("%s: %U", prefix, name.get()));
    Ref panic(message ? PyObject_CallFunctionObjArgs(type, message.get(), nullptr) : nullptr);
    if (panic) {
        PyException_SetCause(panic.get(), cause.value);  // steals the reference
        cause.value = nullptr;
        PyErr_SetObject(type, panic.get());
    }
    Py_XDECREF(cause.type);
    Py_XDECREF(cause.value);
    Py_XDECREF(cause.traceback);
}

void raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            raise_panic(e.what());
        } catch (...) {
            raise_panic("native code failed without a message");
        }
    } catch (...) {
        abort_at_boundary();
    }
}

void report_unraisable(PyObject* context) noexcept {
    PendingError pending;
    pending.fetch();
    raise_current_exception();
    PyErr_WriteUnraisable(context);
    pending.restore();
}

// ---------------------------------------------------------------------------
// Argument binding

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

// ---------------------------------------------------------------------------
// Value conversion

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
