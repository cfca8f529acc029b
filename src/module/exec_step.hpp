// What every module of the package shares in its definition: the exec-step helper that creates
// one function object and registers it on the module and in its __all__, in the interpreter's
// order, and the guarded exec slot and module definition built around a module's exec step.
#pragma once

#include <Python.h>

#include "module/call_guard.hpp"

namespace vorlane::module {

// Creates the function of `definition` bound to `module` (its __module__ is the module's
// name), appends its __name__ to the module's __all__ (created when missing) and sets it as
// the module attribute of that name. A failed append is an internal fault.
HostStatus add_function(PyObject* module, PyMethodDef& definition);

// Entries of every calling convention are stored as PyCFunction; the detour through
// void (*)(void) is the documented way to make that cast without a warning.
template <auto Entry>
PyCFunction as_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Entry));
}

// A module's exec step under the call guard, as the interpreter calls an exec slot.
template <HostStatus (*ExecStep)(PyObject*)>
int guarded_exec_step(PyObject* module) noexcept {
    auto body = [module]() { return ExecStep(module); };
    return guard_exec(body);
}

// The slots of a module whose only slot is that guarded exec step.
template <HostStatus (*ExecStep)(PyObject*)>
inline PyModuleDef_Slot exec_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&guarded_exec_step<ExecStep>)},
    {0, nullptr},
};

// A multi-phase module definition with no per-module state and no static methods: the exec
// step adds the functions.
inline PyModuleDef module_definition(const char* name, const char* doc,
                                     PyModuleDef_Slot* slots) noexcept {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT,
        name,     // m_name
        doc,      // m_doc
        0,        // m_size
        nullptr,  // m_methods
        slots,    // m_slots
        nullptr,  // m_traverse
        nullptr,  // m_clear
        nullptr,  // m_free
    };
}

}  // namespace vorlane::module
