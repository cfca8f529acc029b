// An argument accepted as a NumPy array for the length of a call (a new reference and a read
// borrow of it), and the element-type test every module's dispatch uses.
#pragma once

#include <Python.h>

#include "module/numpy_api.hpp"
#include "module/py_ref.hpp"

namespace vorlane::module {

// Members are destroyed in reverse order, so the borrow is withdrawn before the reference is
// dropped.
struct ExtractedArray {
    // Takes a new reference to `object` (an ndarray) and registers a read borrow of it; `name`
    // names the argument in a borrow-conflict fault. The borrow is registered straight into
    // its member: a borrow moved just after it was made is read back in one 16-byte load from
    // two 8-byte stores, which stalls, and every call makes two.
    ExtractedArray(PyObject* object, const char* name);

    PyRef array;
    ReadBorrow borrow;
};

// Whether the array's element descriptor is that of `type_num` or one NumPy reports as
// equivalent (native byte order only).
bool has_element_type(const numpy::Api& np, PyObject* array, int type_num);

}  // namespace vorlane::module
