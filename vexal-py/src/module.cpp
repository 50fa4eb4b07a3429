// The module `_vexal`: its definition and execution step, `solve`, and the
// read-only result class PyTrajectory with its NumPy array conversions.
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "vexal/search.hpp"

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

// ---------------------------------------------------------------------------
// PyTrajectory: eleven getter-only attributes over the held Trajectory.

PyObject* to_python(const std::vector<Vec3>& rows) { return nx3(rows); }
PyObject* to_python(const std::vector<double>& values) { return vec1(values); }
PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

struct AttributeDef {
    const char* name;
    const char* doc;
    PyObject* (*get)(const Trajectory& trajectory);
};

template <auto Member>
PyObject* read(const Trajectory& trajectory) {
    return to_python(trajectory.*Member);
}

#define VEXAL_ATTRIBUTE(member) AttributeDef{#member, nullptr, &read<&Trajectory::member>}

constexpr std::array kTrajectoryAttributes{
    VEXAL_ATTRIBUTE(positions),      VEXAL_ATTRIBUTE(velocities), VEXAL_ATTRIBUTE(u_values),
    VEXAL_ATTRIBUTE(thrusts),        VEXAL_ATTRIBUTE(normalized_thrusts),
    VEXAL_ATTRIBUTE(z_values),       VEXAL_ATTRIBUTE(s_values),   VEXAL_ATTRIBUTE(time_points),
    VEXAL_ATTRIBUTE(objective),      VEXAL_ATTRIBUTE(final_mass), VEXAL_ATTRIBUTE(status),
};

#undef VEXAL_ATTRIBUTE

PyObject* get_attribute(PyObject* self, void* closure) {
    auto* attribute = static_cast<const AttributeDef*>(closure);
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* obj = as_object<Trajectory>(self);
        SharedBorrow borrow(obj->borrow);
        if (!borrow) return nullptr;
        return attribute->get(obj->value);
    });
}

// ---------------------------------------------------------------------------
// solve(config)

constexpr const char* kSolveParams[] = {"config"};
constexpr Signature kSolveSignature{"solve()", kSolveParams, 1};

PyObject* solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* argument = nullptr;
        if (!bind(kSolveSignature, args, nargs, kwnames, &argument)) return nullptr;
        Object<Config>* config = downcast<Config>(argument);
        if (!config) {
            add_note("config");
            return nullptr;
        }
        // The record is read in place; the borrow and the reference end
        // with this scope, whatever the outcome.
        std::optional<SolveResult> result;
        {
            Ref held(Py_NewRef(argument));
            SharedBorrow borrow(config->borrow);
            if (!borrow) return nullptr;
            result.emplace(vexal::solve(config->value));
        }
        if (!*result) {
            raise_core_error(result->error());
            return nullptr;
        }
        return new_object(std::move(**result));
    });
}

PyMethodDef kSolveDef = {"solve", as_cfunction(&solve), METH_FASTCALL | METH_KEYWORDS,
                         "solve(config)\n--\n\n"};

// ---------------------------------------------------------------------------
// Module

// Appends `name` to the module's __all__ (created if missing) and sets it.
int add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    if (PyList_Append(all.get(), name) < 0) return -1;
    return PyObject_SetAttr(module, name, value);
}

template <class T>
int add_class(PyObject* module) {
    PyTypeObject* type = type_object<T>();
    if (!type) return -1;
    Ref name(PyUnicode_FromString(PyClass<T>::name));
    if (!name) return -1;
    return add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

int add_solve(PyObject* module) {
    Ref module_name(PyModule_GetNameObject(module));
    Ref function(module_name ? PyCFunction_NewEx(&kSolveDef, module, module_name.get()) : nullptr);
    Ref name(function ? PyObject_GetAttrString(function.get(), "__name__") : nullptr);
    if (!name) return -1;
    return add_to_module(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    return guard(-1, [&] {
        if (add_class<Config>(module) < 0 || add_class<Spacecraft>(module) < 0 ||
            add_class<Environment>(module) < 0 || add_class<Solver>(module) < 0 ||
            add_class<Trajectory>(module) < 0 || add_solve(module) < 0) {
            return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, as_slot(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_vexal",      // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: solve is added by the execution step
    kModuleSlots,  // m_slots
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

template <>
PyObject* create_type<Trajectory>() {
    static auto getset = getset_table(kTrajectoryAttributes, &get_attribute, nullptr);
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, as_slot(&dealloc<Trajectory>)},
        {Py_tp_getset, getset.data()},
        {0, nullptr},
    };
    // Instances come from solve only; not a base type.
    static PyType_Spec spec = {"builtins.PyTrajectory", static_cast<int>(sizeof(Object<Trajectory>)),
                               0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return PyType_FromSpec(&spec);
}

}  // namespace vexal::py

PyMODINIT_FUNC PyInit__vexal(void) {
    return PyModuleDef_Init(&vexal::py::kModuleDef);
}
