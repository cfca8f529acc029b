// annotate_scanlines(x, y): binds the arguments, reads both as 1-D float64 arrays or else
// both as float32 arrays, and runs the core on views of them, which fills a new int32 array.
// Everything held (references, read borrows) is released by handles on every path.
#include "module/vorlane/entry.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "annotation/annotate.hpp"
#include "annotation/model/records.hpp"
#include "module/call_guard.hpp"
#include "module/extracted_array.hpp"
#include "module/numpy_api.hpp"
#include "module/py_ref.hpp"
#include "module/result_arrays.hpp"
#include "platform/fault.hpp"
#include "platform/test_hooks.hpp"

namespace vorlane::module {

namespace {

constexpr const char FULL_NAME[] = "annotate_scanlines()";
constexpr const char* PARAMETER_NAMES[] = {"x", "y"};
constexpr Py_ssize_t PARAMETER_COUNT = 2;
constexpr const char DISPATCH_MESSAGE[] =
    "x and y must both be 1D numpy arrays of float64 or float32 type";

// The interpreter's argument objects for x and y (borrowed for the call).
struct BoundArguments {
    PyObject* x;
    PyObject* y;
};

// Index of the parameter a keyword names, or -1; a name without UTF-8 text names none.
int parameter_index(PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (int index = 0; index < PARAMETER_COUNT; ++index) {
        if (size == 1 && text[0] == PARAMETER_NAMES[index][0]) return index;
    }
    return -1;
}

HostError type_error(std::string message) {
    return HostError::deferred(PyExc_TypeError, std::move(message));
}

HostResult<BoundArguments> bind_arguments(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    if (nargs > PARAMETER_COUNT) {
        return type_error(std::string(FULL_NAME) + " takes " + std::to_string(PARAMETER_COUNT) +
                          " positional arguments but " + std::to_string(nargs) + " were given");
    }
    PyObject* slots[PARAMETER_COUNT] = {nargs > 0 ? args[0] : nullptr,
                                        nargs > 1 ? args[1] : nullptr};
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(kwnames);
        if (count < 0) return HostError::fetch();
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* name = PyTuple_GetItem(kwnames, i);
            if (name == nullptr) return HostError::fetch();
            const int index = parameter_index(name);
            if (index < 0) {
                PyRef text = PyRef::steal(PyObject_Str(name));
                if (!text) return HostError::fetch();
                PyRef message = PyRef::steal(PyUnicode_FromFormat(
                    "%s got an unexpected keyword argument '%U'", FULL_NAME, text.get()));
                if (!message) return HostError::fetch();
                return HostError::deferred(PyExc_TypeError, std::move(message));
            }
            if (slots[index] != nullptr) {
                return type_error(std::string(FULL_NAME) + " got multiple values for argument '" +
                                  PARAMETER_NAMES[index] + "'");
            }
            slots[index] = args[nargs + i];
        }
    }
    int missing = 0;
    std::string names;
    for (int index = 0; index < PARAMETER_COUNT; ++index) {
        if (slots[index] != nullptr) continue;
        if (missing > 0) names += " and ";
        names += std::string("'") + PARAMETER_NAMES[index] + "'";
        ++missing;
    }
    if (missing > 0) {
        return type_error(std::string(FULL_NAME) + " missing " + std::to_string(missing) +
                          " required positional " + (missing == 1 ? "argument" : "arguments") +
                          ": " + names);
    }
    return BoundArguments{slots[0], slots[1]};
}

template <typename T>
constexpr int type_number = std::is_same_v<T, double> ? numpy::NPY_DOUBLE : numpy::NPY_FLOAT;

template <typename T>
std::optional<ExtractedArray> extract(const numpy::Api& np, PyObject* object, const char* axis) {
    std::optional<ExtractedArray> extracted;
    if (numpy::is_array(np, object) && numpy::array_ndim(object) == 1 &&
        has_element_type(np, object, type_number<T>)) {
        extracted.emplace(object, axis);
    }
    return extracted;
}

template <typename T>
CoordinateView<T> view_of(const ExtractedArray& extracted) {
    PyObject* array = extracted.array.get();
    const Py_ssize_t byte_stride = numpy::array_strides(array)[0];
    constexpr auto element_size = static_cast<Py_ssize_t>(sizeof(T));
    CoordinateView<T> view;
    view.data = numpy::array_data(array);
    view.count = static_cast<std::uint64_t>(numpy::array_dimensions(array)[0]);
    // A stride that is not a whole number of elements (a field of 12-byte records, say) must
    // fail the core's contiguity check, so it becomes 0, never a truncated 1.
    view.stride = byte_stride % element_size == 0 ? byte_stride / element_size : 0;
    return view;
}

// Thrown through the core when the result array cannot be made with a host error to raise.
struct ResultUnavailable {};

template <typename T>
HostResult<PyRef> run_core(const numpy::Api& np, const ExtractedArray& x, const ExtractedArray& y) {
    inject_fault("dispatch");
    // The core writes its ids straight into the new array's own buffer, which it asks for
    // only once the inputs have passed its checks: no intermediate vector, no copy.
    std::optional<HostResult<PyRef>> result;
    const auto request = [&](std::uint64_t n) -> std::span<std::int32_t> {
        result.emplace(new_int32_array(np, n));
        if (!result->ok()) throw ResultUnavailable{};
        // NumPy aligns the buffers it allocates for the element type.
        auto* data = reinterpret_cast<std::int32_t*>(numpy::array_data(result->value().get()));
        return {data, static_cast<std::size_t>(n)};
    };
    std::optional<AnnotatorError> error;
    try {
        error = annotate_scanlines_into<T>(view_of<T>(x), view_of<T>(y), request);
    } catch (const ResultUnavailable&) {
        return std::move(*result);
    }
    if (error) return HostError::deferred(PyExc_ValueError, std::move(error->message));
    return std::move(*result);
}

// Both arguments as arrays of T, each extraction tried whatever the other's outcome; nullopt
// when either does not fit, after releasing the one that did (y before x).
template <typename T>
std::optional<HostResult<PyRef>> try_width(const numpy::Api& np, const BoundArguments& bound) {
    std::optional<ExtractedArray> x = extract<T>(np, bound.x, "x");
    std::optional<ExtractedArray> y = extract<T>(np, bound.y, "y");
    if (!x.has_value() || !y.has_value()) return std::nullopt;
    return run_core<T>(np, *x, *y);
    // y is declared after x, so it is released first on every way out of this scope.
}

HostResult<PyRef> annotate_scanlines_body(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    HostResult<BoundArguments> bound = bind_arguments(args, nargs, kwnames);
    if (!bound.ok()) return std::move(bound.error());
    const numpy::Api& np = numpy::api();
    if (auto outcome = try_width<double>(np, bound.value())) return std::move(*outcome);
    if (auto outcome = try_width<float>(np, bound.value())) return std::move(*outcome);
    return type_error(DISPATCH_MESSAGE);
}

}  // namespace

PyObject* annotate_scanlines_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    auto body = [&]() { return annotate_scanlines_body(args, nargs, kwnames); };
    return guard_call(body);
}

}  // namespace vorlane::module
