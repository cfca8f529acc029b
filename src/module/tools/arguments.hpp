// The arguments of vorlane_tools._native's functions, checked with messages that name each
// argument: coordinate pairs of one float width read in place at any stride, integer ids,
// the laser-on bytes and the tolerance.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <variant>

#include "module/call_guard.hpp"
#include "module/extracted_array.hpp"
#include "module/numpy_api.hpp"
#include "robust/robust_scanlines.hpp"

namespace vorlane::module::tools {

// x and y, accepted for reading: both float64 or both float32, of one length.
struct CoordinatePair {
    ExtractedArray x;
    ExtractedArray y;
    bool is_double;
    std::uint64_t size;
};

HostResult<CoordinatePair> coordinate_pair(const numpy::Api& np, PyObject* x, PyObject* y);

// ids of the same length as x, as an int32 or an int64 array (any stride).
struct IdArray {
    ExtractedArray ids;
    bool is_int64;
};

HostResult<IdArray> id_array(const numpy::Api& np, PyObject* ids, std::uint64_t size);

// laser_on: None (nullopt) or a contiguous 1-D bool or uint8 array of the given size.
HostResult<std::optional<ExtractedArray>> laser_bytes(const numpy::Api& np, PyObject* laser_on,
                                                      std::uint64_t size);

// tolerance: None (NaN, derive it) or a positive finite number.
HostResult<double> tolerance_value(PyObject* tolerance);

// The array's one axis as strided samples of T, read in place.
template <typename T>
robust::StridedSamples<T> samples_of(const ExtractedArray& extracted) noexcept {
    PyObject* array = extracted.array.get();
    return robust::StridedSamples<T>{
        reinterpret_cast<const unsigned char*>(numpy::array_data(array)),
        static_cast<std::uint64_t>(numpy::array_dimensions(array)[0]),
        static_cast<std::int64_t>(numpy::array_strides(array)[0])};
}

// Checks that exactly `expected` positional arguments were given (TypeError otherwise).
HostStatus check_arity(const char* function, Py_ssize_t given, Py_ssize_t expected);

}  // namespace vorlane::module::tools
