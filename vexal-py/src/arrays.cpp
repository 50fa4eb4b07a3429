#include "arrays.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "errors.hpp"

namespace vexal::py {
namespace {

// ---------------------------------------------------------------------------
// NumPy's C API, located at the first array conversion.
//
// No NumPy headers are needed to build: the few table slots and constants
// used here are NumPy's ABI, unchanged from 1.15 (C-API feature version 0xc)
// through 2.x, which is exactly the range the checks in load_numpy_api admit.
namespace np {
constexpr int kGetNDArrayCVersion = 0;
constexpr int kArrayType = 2;
constexpr int kDescrFromType = 45;
constexpr int kNewFromDescr = 94;
constexpr int kGetEndianness = 210;
constexpr int kGetNDArrayCFeatureVersion = 211;
constexpr int kSetBaseObject = 282;

constexpr int kDouble = 12;               // NPY_DOUBLE
constexpr int kArrayWriteable = 0x0400;   // NPY_ARRAY_WRITEABLE
constexpr int kCpuLittle = 1;             // NPY_CPU_LITTLE
constexpr unsigned kMinFeatureVersion = 0xc;
constexpr unsigned kMaxAbiVersion = 0x2000000;

using VersionFn = unsigned (*)();
using EndiannessFn = int (*)();
using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                     const Py_ssize_t*, void*, int, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

template <class F>
F slot(void** table, int index) {
    return reinterpret_cast<F>(table[index]);
}
}  // namespace np

// "numpy._core" from NumPy 2 on, "numpy.core" before; chosen once.
const char* g_numpy_core = nullptr;
// The table, once loaded; the capsule that owns it is kept with it.
std::atomic<void**> g_numpy_api{nullptr};
PyObject* g_numpy_capsule = nullptr;
std::mutex g_numpy_loading;

const char* numpy_core_name() {
    if (g_numpy_core) return g_numpy_core;
    Ref numpy(PyImport_ImportModule("numpy"));
    Ref version(numpy ? PyObject_GetAttrString(numpy.get(), "__version__") : nullptr);
    Ref lib(version ? PyImport_ImportModule("numpy.lib") : nullptr);
    Ref parse(lib ? PyObject_GetAttrString(lib.get(), "NumpyVersion") : nullptr);
    Ref parsed(parse ? PyObject_CallFunctionObjArgs(parse.get(), version.get(), nullptr) : nullptr);
    Ref major(parsed ? PyObject_GetAttrString(parsed.get(), "major") : nullptr);
    if (!major) return nullptr;
    long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 0 || value > 255) {
        PyErr_Format(PyExc_OverflowError, "NumPy major version %ld out of range", value);
        return nullptr;
    }
    g_numpy_core = value >= 2 ? "numpy._core" : "numpy.core";
    return g_numpy_core;
}

void** load_numpy_api() {
    const char* core = numpy_core_name();
    if (!core) return nullptr;
    Ref module(PyImport_ImportModule((std::string(core) + ".multiarray").c_str()));
    Ref capsule(module ? PyObject_GetAttrString(module.get(), "_ARRAY_API") : nullptr);
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return nullptr;
    }
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) return nullptr;
    unsigned abi = np::slot<np::VersionFn>(table, np::kGetNDArrayCVersion)();
    if (abi > np::kMaxAbiVersion) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     np::kMaxAbiVersion, abi);
        return nullptr;
    }
    unsigned feature = np::slot<np::VersionFn>(table, np::kGetNDArrayCFeatureVersion)();
    if (feature < np::kMinFeatureVersion) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against NumPy C-API version 0x%x but the running NumPy has "
                     "C-API version 0x%x",
                     np::kMinFeatureVersion, feature);
        return nullptr;
    }
    if (np::slot<np::EndiannessFn>(table, np::kGetEndianness)() != np::kCpuLittle) {
        PyErr_SetString(PyExc_RuntimeError,
                        "module compiled as little endian, but detected different endianness at "
                        "runtime");
        return nullptr;
    }
    g_numpy_capsule = capsule.release();
    return table;
}

// The table, or nullptr with the reason pending. A failure is not kept: the
// next conversion tries again. Loading runs Python code (imports) that may
// switch threads, so another thread waiting for it does so without the GIL.
void** numpy_api() {
    if (void** table = g_numpy_api.load(std::memory_order_acquire)) return table;
    // A read from code that the loading itself runs (a finalizer during the
    // import) must not wait for its own thread.
    thread_local bool loading = false;
    if (loading) {
        PyErr_SetString(PyExc_ImportError, "NumPy is being imported by this thread");
        return nullptr;
    }
    std::unique_lock lock(g_numpy_loading, std::try_to_lock);
    if (!lock) {
        Py_BEGIN_ALLOW_THREADS
        lock.lock();
        Py_END_ALLOW_THREADS
    }
    if (void** table = g_numpy_api.load(std::memory_order_acquire)) return table;
    loading = true;
    void** table = load_numpy_api();
    loading = false;
    if (table) g_numpy_api.store(table, std::memory_order_release);
    return table;
}

// ---------------------------------------------------------------------------
// Arrays: a fresh float64 buffer per read, owned by a capsule that becomes
// the array's base.

const char kBufferName[] = "vexal.array_buffer";

void free_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, kBufferName));
}

// `fill` writes `count` doubles into the new buffer.
template <class Fill>
PyObject* new_array(std::size_t count, int ndim, const Py_ssize_t* dims, const Py_ssize_t* strides,
                    Fill fill) {
    // Never zero bytes: a capsule cannot hold a null pointer.
    auto* buffer = static_cast<double*>(std::malloc(count ? count * sizeof(double) : 1));
    if (!buffer) return PyErr_NoMemory();
    fill(buffer);
    Ref base(PyCapsule_New(buffer, kBufferName, &free_buffer));
    if (!base) {
        std::free(buffer);
        raise_panic_from_pending("Failed to create slice container");
        return nullptr;
    }
    void** api = numpy_api();
    if (!api) {
        raise_panic_from_pending("Failed to access NumPy array API capsule");
        return nullptr;
    }
    PyObject* descr = np::slot<np::DescrFromTypeFn>(api, np::kDescrFromType)(np::kDouble);
    if (!descr) return nullptr;
    auto* array_type = static_cast<PyTypeObject*>(api[np::kArrayType]);
    // Steals descr. Only WRITEABLE is asked for; NumPy derives contiguity
    // and alignment from the strides and the pointer.
    PyObject* array = np::slot<np::NewFromDescrFn>(api, np::kNewFromDescr)(
        array_type, descr, ndim, dims, strides, buffer, np::kArrayWriteable, nullptr);
    if (!array) return nullptr;
    // Steals the base, also on failure.
    if (np::slot<np::SetBaseObjectFn>(api, np::kSetBaseObject)(array, base.release()) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace

// n triples as an (n, 3) C-order array.
PyObject* nx3(std::span<const Vec3> rows) {
    const auto n = static_cast<Py_ssize_t>(rows.size());
    const Py_ssize_t dims[2] = {n, 3};
    const Py_ssize_t row_stride = n == 0 ? 0 : 3 * static_cast<Py_ssize_t>(sizeof(double));
    const Py_ssize_t strides[2] = {row_stride, n == 0 ? 0 : static_cast<Py_ssize_t>(sizeof(double))};
    return new_array(3 * rows.size(), 2, dims, strides, [&](double* out) {
        for (const Vec3& row : rows) {
            for (double x : row) *out++ = x;
        }
    });
}

// n numbers as an (n,) array.
PyObject* vec1(std::span<const double> values) {
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
    const Py_ssize_t strides[1] = {static_cast<Py_ssize_t>(sizeof(double))};
    return new_array(values.size(), 1, dims, strides, [&](double* out) {
        if (!values.empty()) std::memcpy(out, values.data(), values.size_bytes());
    });
}

}  // namespace vexal::py
