// robust_scanlines(x, y, laser_on, tolerance): the checked arguments, the core's labelling
// written straight into a new int32 array, and its diagnostics as a dict.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "module/call_guard.hpp"
#include "module/numpy_api.hpp"
#include "module/py_ref.hpp"
#include "module/result_arrays.hpp"
#include "module/tools/arguments.hpp"
#include "module/tools/entries.hpp"
#include "platform/test_hooks.hpp"
#include "robust/robust_scanlines.hpp"

namespace vorlane::module::tools {

namespace {

// Sets dict[key] = value, taking over `value` (a new reference or null with an error set).
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* angle_list(const std::vector<double>& angles) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (double angle : angles) {
        PyRef item = PyRef::steal(PyFloat_FromDouble(angle));
        if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
    }
    return list.release();
}

PyObject* rejection_dict(const std::vector<std::pair<std::string, std::uint64_t>>& rejected) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [reason, count] : rejected) {
        PyRef key = PyRef::steal(
            PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
        PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) {
            return nullptr;
        }
    }
    return dict.release();
}

HostResult<PyRef> info_dict(const robust::RobustInfo& info) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return HostError::fetch();
    PyObject* d = dict.get();
    const bool made = set_item(d, "noise", PyFloat_FromDouble(info.noise)) &&
                      set_item(d, "tolerance", PyFloat_FromDouble(info.tolerance)) &&
                      set_item(d, "sample_step", PyFloat_FromDouble(info.sample_step)) &&
                      set_item(d, "line_spacing", PyFloat_FromDouble(info.line_spacing)) &&
                      set_item(d, "angles_deg", angle_list(info.angles_deg)) &&
                      set_item(d, "window", PyLong_FromUnsignedLongLong(info.window)) &&
                      set_item(d, "lines", PyLong_FromUnsignedLongLong(info.lines)) &&
                      set_item(d, "rejected", rejection_dict(info.rejected));
    if (!made) return HostError::fetch();
    return dict;
}

template <typename T>
robust::RobustInfo label(const CoordinatePair& pair, const std::uint8_t* laser_on,
                         const robust::RobustOptions& options, std::span<std::int32_t> ids) {
    return robust::robust_scanlines<T>(samples_of<T>(pair.x), samples_of<T>(pair.y), laser_on,
                                       options, ids);
}

HostResult<PyRef> robust_scanlines_body(PyObject* const* args, Py_ssize_t nargs) {
    if (HostStatus arity = check_arity("robust_scanlines", nargs, 4)) return std::move(*arity);
    const numpy::Api& np = numpy::api();
    HostResult<CoordinatePair> pair = coordinate_pair(np, args[0], args[1]);
    if (!pair.ok()) return std::move(pair.error());
    const std::uint64_t n = pair.value().size;
    HostResult<std::optional<ExtractedArray>> laser = laser_bytes(np, args[2], n);
    if (!laser.ok()) return std::move(laser.error());
    HostResult<double> tolerance = tolerance_value(args[3]);
    if (!tolerance.ok()) return std::move(tolerance.error());
    inject_fault("robust_dispatch");

    HostResult<PyRef> ids = new_int32_array(np, n);
    if (!ids.ok()) return std::move(ids.error());
    // NumPy aligns the buffers it allocates for the element type.
    std::span<std::int32_t> id_span(
        reinterpret_cast<std::int32_t*>(numpy::array_data(ids.value().get())),
        static_cast<std::size_t>(n));
    const std::uint8_t* laser_on =
        laser.value()
            ? reinterpret_cast<const std::uint8_t*>(numpy::array_data(laser.value()->array.get()))
            : nullptr;
    robust::RobustOptions options;
    options.tolerance = tolerance.value();
    const robust::RobustInfo info = pair.value().is_double
                                        ? label<double>(pair.value(), laser_on, options, id_span)
                                        : label<float>(pair.value(), laser_on, options, id_span);

    HostResult<PyRef> dict = info_dict(info);
    if (!dict.ok()) return std::move(dict.error());
    PyRef result = PyRef::steal(PyTuple_Pack(2, ids.value().get(), dict.value().get()));
    if (!result) return HostError::fetch();
    return result;
}

}  // namespace

PyObject* robust_scanlines_entry(PyObject* /*module*/, PyObject* const* args,
                                 Py_ssize_t nargs) noexcept {
    auto body = [&]() { return robust_scanlines_body(args, nargs); };
    return guard_call(body);
}

}  // namespace vorlane::module::tools
