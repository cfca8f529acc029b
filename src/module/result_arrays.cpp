// Creation of the result arrays through NumPy's PyArray_NewFromDescr, with the failure sites
// the test build can select.
#include "module/result_arrays.hpp"

#include "module/test_sites.hpp"
#include "platform/fault.hpp"

namespace vorlane::module {

namespace {

// Asks NumPy for the new array; null with the interpreter's error set when that fails.
PyRef request_array(const numpy::Api& np, PyObject* descr, Py_ssize_t n, Py_ssize_t item_size) {
    if (descr == nullptr) return PyRef();
    if (test_site_selected("result_array")) {
        PyRef::steal(descr).reset();
        PyErr_SetString(PyExc_RuntimeError, "injected failure of PyArray_NewFromDescr");
        return PyRef();
    }
    if (test_site_selected("result_array:no_memory")) {
        PyRef::steal(descr).reset();
        PyErr_NoMemory();
        return PyRef();
    }
    const Py_ssize_t dims[1] = {n};
    const Py_ssize_t strides[1] = {n == 0 ? 0 : item_size};
    // PyArray_NewFromDescr takes over the descriptor reference, also when it fails.
    return PyRef::steal(
        np.new_from_descr(np.array_type, descr, 1, dims, strides, nullptr, 0, nullptr));
}

}  // namespace

HostResult<PyRef> new_result_array(const numpy::Api& np, PyObject* descr, std::uint64_t n,
                                   std::uint64_t item_size) {
    PyRef array =
        request_array(np, descr, static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(item_size));
    if (!array) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return HostError::fetch();
        if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
        raise_fault("PyObject pointer is null");
    }
    return array;
}

HostResult<PyRef> new_int32_array(const numpy::Api& np, std::uint64_t n) {
    return new_result_array(np, np.descr_from_type(numpy::NPY_INT), n, sizeof(std::int32_t));
}

}  // namespace vorlane::module
