#include "errors.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace vexal::py {

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

PyObject* text_object(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

namespace {

void raise_text(PyObject* type, std::string_view message) noexcept {
    Ref text(text_object(message));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

void raise_core_error(const Error& error) noexcept {
    raise_text(PyExc_ValueError, error.message);
}

PyObject* package_error_class(const char* name) noexcept {
    Ref module(PyImport_ImportModule("vexal.errors"));
    return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

// On any failure on the way, that failure's exception stands instead.
void raise_planning_error(ErrorKind kind, PyObject* message) noexcept {
    if (!message) return;
    Ref make(package_error_class("error"));
    Ref error(make ? PyObject_CallFunction(make.get(), "sO", kind_name(kind), message) : nullptr);
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

void raise_planning_error(const Error& error) noexcept {
    Ref message(text_object(error.message));
    raise_planning_error(error.kind, message.get());
}

void raise_input_error(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    Ref message(PyUnicode_FromFormatV(format, args));
    va_end(args);
    raise_planning_error(ErrorKind::invalid_input, message.get());
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

}  // namespace vexal::py
