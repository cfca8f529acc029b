// The new NumPy arrays the modules return: one-dimensional, C-contiguous, writeable and owning
// their data, of int32 or of any descriptor (a structured record type, say).
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/call_guard.hpp"
#include "module/numpy_api.hpp"
#include "module/py_ref.hpp"

namespace vorlane::module {

// A new array of n elements of `descr` (a new reference, taken over also on failure) and
// `item_size` bytes each. Memory exhaustion is the host error MemoryError; any other failure
// is reported through PyErr_WriteUnraisable and becomes the fault "PyObject pointer is null".
HostResult<PyRef> new_result_array(const numpy::Api& np, PyObject* descr, std::uint64_t n,
                                   std::uint64_t item_size);

// A new int32 array of n elements.
HostResult<PyRef> new_int32_array(const numpy::Api& np, std::uint64_t n);

}  // namespace vorlane::module
