// The exec-step helper every module of the package uses: it creates one function object of
// the module and registers it on the module and in its __all__, in the interpreter's order.
#pragma once

#include <Python.h>

#include "module/call_guard.hpp"

namespace vorlane::module {

// Creates the function of `definition` bound to `module` (its __module__ is the module's
// name), appends its __name__ to the module's __all__ (created when missing) and sets it as
// the module attribute of that name. A failed append is an internal fault.
HostStatus add_function(PyObject* module, PyMethodDef& definition);

}  // namespace vorlane::module
