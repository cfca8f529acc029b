// The body of annotate_scanlines(x, y) as the interpreter calls it: argument binding, the
// choice of float64 or float32, the core call and the int32 result array.
#pragma once

#include <Python.h>

namespace vorlane::module {

// Fast-call-with-keywords entry, wrapped in the call guard; `module` is unused.
PyObject* annotate_scanlines_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept;

}  // namespace vorlane::module
