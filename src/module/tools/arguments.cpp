// Argument checks of vorlane_tools._native; each failure is a TypeError or ValueError whose
// message names the argument and what it got.
#include "module/tools/arguments.hpp"

#include <cmath>
#include <string>

#include "module/py_ref.hpp"

namespace vorlane::module::tools {

namespace {

constexpr char COORDINATE_KINDS[] = "a 1-D NumPy array of float64 or float32";

// "list", "2-D array", "array of int64": what an argument is, for a message. Rendering is
// best effort; an error while rendering leaves "object".
std::string described(const numpy::Api& np, PyObject* object) {
    std::string text = "object";
    if (numpy::is_array(np, object)) {
        const int ndim = numpy::array_ndim(object);
        PyRef dtype = PyRef::steal(PyObject_Str(numpy::array_descr(object)));
        const char* name = dtype ? PyUnicode_AsUTF8AndSize(dtype.get(), nullptr) : nullptr;
        text = ndim == 1 ? std::string("array") : std::to_string(ndim) + "-D array";
        if (name != nullptr) text += std::string(" of ") + name;
    } else {
        PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
        const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
        if (utf8 != nullptr) text = utf8;
    }
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    return text;
}

HostError error(PyObject* type, std::string message) {
    return HostError::deferred(type, std::move(message));
}

// 1: float64, 0: float32, nullopt: not a 1-D array of either.
std::optional<bool> float_width(const numpy::Api& np, PyObject* object) {
    if (!numpy::is_array(np, object) || numpy::array_ndim(object) != 1) return std::nullopt;
    if (has_element_type(np, object, numpy::NPY_DOUBLE)) return true;
    if (has_element_type(np, object, numpy::NPY_FLOAT)) return false;
    return std::nullopt;
}

std::uint64_t length_of(PyObject* array) {
    return static_cast<std::uint64_t>(numpy::array_dimensions(array)[0]);
}

}  // namespace

HostStatus check_arity(const char* function, Py_ssize_t given, Py_ssize_t expected) {
    if (given == expected) return std::nullopt;
    return error(PyExc_TypeError, std::string(function) + "() takes exactly " +
                                      std::to_string(expected) + " arguments (" +
                                      std::to_string(given) + " given)");
}

HostResult<CoordinatePair> coordinate_pair(const numpy::Api& np, PyObject* x, PyObject* y) {
    const std::optional<bool> x_double = float_width(np, x);
    if (!x_double) {
        return error(PyExc_TypeError,
                     std::string("x must be ") + COORDINATE_KINDS + ", not " + described(np, x));
    }
    const std::optional<bool> y_double = float_width(np, y);
    if (!y_double) {
        return error(PyExc_TypeError,
                     std::string("y must be ") + COORDINATE_KINDS + ", not " + described(np, y));
    }
    if (*x_double != *y_double) {
        return error(PyExc_TypeError,
                     std::string("x and y must both be float64 or both float32, "
                                 "not ") +
                         (*x_double ? "float64 and float32" : "float32 and float64"));
    }
    if (length_of(x) != length_of(y)) {
        return error(PyExc_ValueError, "x and y must have the same length, not " +
                                           std::to_string(length_of(x)) + " and " +
                                           std::to_string(length_of(y)));
    }
    return CoordinatePair{ExtractedArray(x, "x"), ExtractedArray(y, "y"), *x_double, length_of(x)};
}

HostResult<IdArray> id_array(const numpy::Api& np, PyObject* ids, std::uint64_t size) {
    bool is_int64 = false;
    bool fits = numpy::is_array(np, ids) && numpy::array_ndim(ids) == 1;
    if (fits) {
        is_int64 = has_element_type(np, ids, numpy::NPY_LONG) ||
                   has_element_type(np, ids, numpy::NPY_LONGLONG);
        fits = is_int64 || has_element_type(np, ids, numpy::NPY_INT);
    }
    if (!fits) {
        return error(PyExc_TypeError,
                     "ids must be a 1-D NumPy array of int32 or int64, not " + described(np, ids));
    }
    if (length_of(ids) != size) {
        return error(PyExc_ValueError, "ids must have the same length as x and y, not " +
                                           std::to_string(length_of(ids)) + " and " +
                                           std::to_string(size));
    }
    return IdArray{ExtractedArray(ids, "ids"), is_int64};
}

HostResult<std::optional<ExtractedArray>> laser_bytes(const numpy::Api& np, PyObject* laser_on,
                                                      std::uint64_t size) {
    if (laser_on == Py_None) return std::optional<ExtractedArray>();
    const bool fits = numpy::is_array(np, laser_on) && numpy::array_ndim(laser_on) == 1 &&
                      (has_element_type(np, laser_on, numpy::NPY_BOOL) ||
                       has_element_type(np, laser_on, numpy::NPY_UBYTE)) &&
                      (length_of(laser_on) < 2 || numpy::array_strides(laser_on)[0] == 1);
    if (!fits) {
        return error(PyExc_TypeError,
                     "laser_on must be None or a contiguous 1-D NumPy array of bool or uint8, "
                     "not " +
                         described(np, laser_on));
    }
    if (length_of(laser_on) != size) {
        return error(PyExc_ValueError, "laser_on must have the same length as x and y, not " +
                                           std::to_string(length_of(laser_on)) + " and " +
                                           std::to_string(size));
    }
    return std::optional<ExtractedArray>(std::in_place, laser_on, "laser_on");
}

HostResult<double> tolerance_value(PyObject* tolerance) {
    if (tolerance == Py_None) return std::nan("");
    const bool is_number = PyFloat_Check(tolerance) || PyLong_Check(tolerance);
    if (!is_number || PyBool_Check(tolerance)) {
        PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(tolerance)));
        const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
        if (utf8 == nullptr) return HostError::fetch();
        return error(PyExc_TypeError,
                     std::string("tolerance must be None or a number, not ") + utf8);
    }
    const double value = PyFloat_AsDouble(tolerance);
    if (value == -1.0 && PyErr_Occurred() != nullptr) return HostError::fetch();
    if (!std::isfinite(value) || !(value > 0)) {
        PyRef text = PyRef::steal(PyObject_Repr(tolerance));
        const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (utf8 == nullptr) return HostError::fetch();
        return error(PyExc_ValueError,
                     std::string("tolerance must be a positive finite number, not ") + utf8);
    }
    return value;
}

}  // namespace vorlane::module::tools
