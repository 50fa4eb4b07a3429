// The module `_vexal`: its definition and execution step, `solve`, and the
// read-only result class PyTrajectory.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "objects.hpp"
#include "vexal/planner.hpp"

namespace vexal::py {
namespace {

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
