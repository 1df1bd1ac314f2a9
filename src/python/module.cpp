// The _vorl extension module: multi-phase initialisation whose single exec
// slot registers the five functions and lists them in __all__; a second slot
// keeps the module to the main interpreter.
#include <Python.h>

#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/handle.hpp"

namespace pyvorl {
namespace {

template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

constexpr int FAST_WITH_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

// Registration order; it is also the order of __all__. The text up to "--" is
// the signature that inspect reads.
PyMethodDef function_defs[] = {
    {"set_local_zone", as_method(&set_local_zone), FAST_WITH_KEYWORDS, "set_local_zone(tz)\n--\n\n"},
    {"get_local_offset", as_method(&get_local_offset), METH_NOARGS, "get_local_offset()\n--\n\n"},
    {"check_table_frame", as_method(&check_table_frame), FAST_WITH_KEYWORDS,
     "check_table_frame(buffer, /)\n--\n\nChecks if the buffer is a table frame.\n\n"
     "Returns the frame size if it is a table frame."},
    {"parse_table_frame", as_method(&parse_table_frame), FAST_WITH_KEYWORDS,
     "parse_table_frame(buffer, /)\n--\n\nParses a table frame.\n\n"
     "Returns the a tuple of (object name, table), where table is a dict of (column name, numpy array)."},
    {"pack_table_frame", as_method(&pack_table_frame), FAST_WITH_KEYWORDS,
     "pack_table_frame(obj, columns, decimal_fields=None, /)\n--\n\nPack columns into a table frame.\n\n"
     "obj: the object name, must not be empty\ncolumns: a list of (column name, numpy array)\n"
     "Returns the packed table frame"},
};

// The module's __all__, created empty when it has none yet.
PyRef all_names(PyObject* module) {
    PyRef names(PyObject_GetAttrString(module, "__all__"));
    if (names || !PyErr_ExceptionMatches(PyExc_AttributeError)) return names;
    PyErr_Clear();
    names = PyRef(PyList_New(0));
    if (names && PyModule_AddObjectRef(module, "__all__", names.get()) < 0) return PyRef();
    return names;
}

bool add_function(PyObject* module, PyMethodDef& def) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!function || PyModule_AddObjectRef(module, def.ml_name, function.get()) < 0) return false;
    PyRef names = all_names(module);
    if (!names) return false;
    PyRef name(PyUnicode_FromString(def.ml_name));
    return name && PyList_Append(names.get(), name.get()) == 0;
}

int exec_module(PyObject* module) noexcept {
    return run_guarded([&]() -> int {
        for (PyMethodDef& def : function_defs) {
            if (!add_function(module, def)) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_multiple_interpreters
    // NumPy's interface table and the container type are process-wide, and
    // objects of one interpreter must not reach another through them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vorl",
    "Checksummed binary table frames for NumPy columns.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pyvorl

PyMODINIT_FUNC PyInit__vorl(void) { return PyModuleDef_Init(&pyvorl::module_def); }
