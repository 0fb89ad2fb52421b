// The module definition: multi-phase initialisation, whose exec slot creates
// the function objects from one table, in the table's order.

// This translation unit holds NumPy's API table and fills it in the exec slot.
#define TEMBREL_NUMPY_IMPORT
#include "numpy_api.hpp"

#include "docstrings.hpp"
#include "entries.hpp"
#include "pyutil.hpp"
#include "version.hpp"

namespace tembrel::py {

namespace {

PyObject* version(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyUnicode_FromString(tembrel::version());
}

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef noargs(const char* name, PyCFunction function, const char* doc) {
    return {name, function, METH_NOARGS, doc};
}

PyMethodDef fastcall(const char* name, FastcallFunction function, const char* doc) {
    // CPython stores every kind of C function as a PyCFunction and calls it
    // through the signature that the flags name.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The functions in registration order, which is the order they appear in the
// module's namespace. The function objects keep pointers to these entries, so
// the table lives as long as the process.
PyMethodDef FUNCTIONS[] = {
    noargs("version", version, VERSION_DOC),
    fastcall("sarimax_loglike", sarimax_loglike, SARIMAX_LOGLIKE_DOC),
};

int add_function(PyObject* module, PyRef function, const char* name) {
#if PY_VERSION_HEX >= 0x030A0000
    return PyModule_AddObjectRef(module, name, function.get());
#else
    // PyModule_AddObject steals the reference only when it succeeds.
    if (PyModule_AddObject(module, name, function.get()) < 0) return -1;
    [[maybe_unused]] PyObject* added = function.release();
    return 0;
#endif
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "tembrel: the exec slot expects a module object");
        return -1;
    }
    if (_import_array() < 0) return -1;
    if (!init_panic_type()) return -1;
    PyRef name = PyRef::steal(PyModule_GetNameObject(module));
    if (!name) return -1;
    // One at a time: the first failure stops the sequence and fails the import.
    for (PyMethodDef& def : FUNCTIONS) {
        PyRef function = PyRef::steal(PyCMethod_New(&def, module, name.get(), nullptr));
        if (!function) return -1;
        if (add_function(module, std::move(function), def.ml_name) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Nothing here relies on the interpreter lock for its own state.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "tembrel",                    // m_name
    "Python module definition.",  // m_doc
    0,                            // m_size: no per-module state
    nullptr,                      // m_methods: created by the exec slot instead
    SLOTS,                        // m_slots
    nullptr,                      // m_traverse
    nullptr,                      // m_clear
    nullptr,                      // m_free
};

}  // namespace

}  // namespace tembrel::py

PyMODINIT_FUNC PyInit_tembrel(void) { return PyModuleDef_Init(&tembrel::py::MODULE_DEF); }
