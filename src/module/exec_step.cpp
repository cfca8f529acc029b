// add_function: the interned names it looks up, __all__ found or made, and the checked
// sequence of interpreter calls that puts one function on a module.
#include "module/exec_step.hpp"

#include <optional>
#include <string>

#include "module/gil_once.hpp"
#include "module/py_ref.hpp"
#include "module/test_sites.hpp"
#include "platform/fault.hpp"

namespace vorlane::module {

namespace {

GilOnce<PyObject*> name_string_once;
GilOnce<PyObject*> all_string_once;

// An interned string made on first use and kept for the life of the process; null with an
// exception set when it cannot be made.
PyObject* interned(GilOnce<PyObject*>& once, const char* text) {
    PyObject* const* made = once.get([text]() -> std::optional<PyObject*> {
        PyObject* string = PyUnicode_FromStringAndSize(
            text, static_cast<Py_ssize_t>(std::char_traits<char>::length(text)));
        if (string == nullptr) return std::nullopt;
        PyUnicode_InternInPlace(&string);
        return string;
    });
    return made == nullptr ? nullptr : *made;
}

// The interpreter's error for an object of the wrong type.
HostError type_mismatch(PyObject* object, const char* expected) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!type_name) return HostError::fetch();
    PyRef message = PyRef::steal(
        PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", type_name.get(), expected));
    if (!message) return HostError::fetch();
    return HostError::deferred(PyExc_TypeError, std::move(message));
}

// The module's __all__ list, created empty if the module has none yet.
HostResult<PyRef> module_all(PyObject* module, PyObject* all_name) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (all) {
        if (!PyList_Check(all.get())) return type_mismatch(all.get(), "list");
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return HostError::fetch();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return HostError::fetch();
    if (PyObject_SetAttr(module, all_name, all.get()) != 0) return HostError::fetch();
    return all;
}

}  // namespace

HostStatus add_function(PyObject* module, PyMethodDef& definition) {
    PyObject* name_key = interned(name_string_once, "__name__");
    if (name_key == nullptr) return HostError::fetch();
    PyObject* all_key = interned(all_string_once, "__all__");
    if (all_key == nullptr) return HostError::fetch();

    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return HostError::fetch();
    PyRef function = PyRef::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
    module_name.reset();
    if (!function) return HostError::fetch();

    PyRef function_name = PyRef::steal(PyObject_GetAttr(function.get(), name_key));
    if (!function_name) return HostError::fetch();
    if (!PyUnicode_Check(function_name.get())) return type_mismatch(function_name.get(), "str");

    HostResult<PyRef> all = module_all(module, all_key);
    if (!all.ok()) return std::move(all.error());
    if (test_site_selected("exec_append")) {
        PyErr_SetString(PyExc_RuntimeError, "injected failure of PyList_Append");
        raise_fault("could not append __name__ to __all__: " + take_pending_error_text());
    }
    if (PyList_Append(all.value().get(), function_name.get()) != 0) {
        raise_fault("could not append __name__ to __all__: " + take_pending_error_text());
    }

    if (PyObject_SetAttr(module, function_name.get(), function.get()) != 0) {
        return HostError::fetch();
    }
    return std::nullopt;
}

}  // namespace vorlane::module
