// The functions of vorlane_tools._native as the interpreter calls them (positional fast calls,
// each wrapped in the call guard).
#pragma once

#include <Python.h>

namespace vorlane::module::tools {

// robust_scanlines(x, y, laser_on, tolerance) -> (ids, info)
PyObject* robust_scanlines_entry(PyObject* module, PyObject* const* args,
                                 Py_ssize_t nargs) noexcept;

// scan_vectors(x, y, ids) -> structured array, one row per positive id
PyObject* scan_vectors_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// _pool_probe(count) -> pool size, test build only (pool_probe.cpp)
PyObject* pool_probe_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace vorlane::module::tools
