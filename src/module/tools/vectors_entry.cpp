// scan_vectors(x, y, ids): the checked arguments, the per-line fit of the core, and its rows
// copied into a new NumPy array of a record type made once per process.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "module/call_guard.hpp"
#include "module/gil_once.hpp"
#include "module/numpy_api.hpp"
#include "module/py_ref.hpp"
#include "module/result_arrays.hpp"
#include "module/tools/arguments.hpp"
#include "module/tools/entries.hpp"
#include "platform/test_hooks.hpp"
#include "robust/scan_vectors.hpp"

namespace vorlane::module::tools {

namespace {

using robust::ScanVector;

// The record type's fields, in the order and at the offsets of ScanVector.
static_assert(sizeof(ScanVector) == 88 && offsetof(ScanVector, count) == 24 &&
                  offsetof(ScanVector, x0) == 32 && offsetof(ScanVector, rms) == 80,
              "ScanVector must be packed as the record type declares it");

GilOnce<PyObject*> record_descr_once;

// numpy.dtype([("id", "i8"), ...]), made once and kept for the life of the process.
PyObject* record_descr() {
    PyObject* const* made = record_descr_once.get([]() -> std::optional<PyObject*> {
        PyRef numpy_module = PyRef::steal(PyImport_ImportModule("numpy"));
        if (!numpy_module) return std::nullopt;
        PyRef dtype = PyRef::steal(PyObject_GetAttrString(numpy_module.get(), "dtype"));
        if (!dtype) return std::nullopt;
        PyRef fields = PyRef::steal(
            Py_BuildValue("([(ss)(ss)(ss)(ss)(ss)(ss)(ss)(ss)(ss)(ss)(ss)])", "id", "i8", "first",
                          "i8", "last", "i8", "count", "i8", "x0", "f8", "y0", "f8", "x1", "f8",
                          "y1", "f8", "length", "f8", "angle_deg", "f8", "rms", "f8"));
        if (!fields) return std::nullopt;
        PyObject* descr = PyObject_Call(dtype.get(), fields.get(), nullptr);
        if (descr == nullptr) return std::nullopt;
        return descr;  // kept for the life of the process
    });
    return made == nullptr ? nullptr : *made;
}

template <typename T>
std::vector<ScanVector> fit(const CoordinatePair& pair, const IdArray& ids) {
    if (ids.is_int64) {
        return robust::scan_vectors<T, std::int64_t>(samples_of<T>(pair.x), samples_of<T>(pair.y),
                                                     samples_of<std::int64_t>(ids.ids));
    }
    return robust::scan_vectors<T, std::int32_t>(samples_of<T>(pair.x), samples_of<T>(pair.y),
                                                 samples_of<std::int32_t>(ids.ids));
}

HostResult<PyRef> scan_vectors_body(PyObject* const* args, Py_ssize_t nargs) {
    if (HostStatus arity = check_arity("scan_vectors", nargs, 3)) return std::move(*arity);
    const numpy::Api& np = numpy::api();
    HostResult<CoordinatePair> pair = coordinate_pair(np, args[0], args[1]);
    if (!pair.ok()) return std::move(pair.error());
    HostResult<IdArray> ids = id_array(np, args[2], pair.value().size);
    if (!ids.ok()) return std::move(ids.error());
    PyObject* descr = record_descr();
    if (descr == nullptr) return HostError::fetch();
    inject_fault("vectors_dispatch");

    const std::vector<ScanVector> rows = pair.value().is_double
                                             ? fit<double>(pair.value(), ids.value())
                                             : fit<float>(pair.value(), ids.value());
    _Py_IncRef(descr);  // the new array takes over one reference
    HostResult<PyRef> table = new_result_array(np, descr, rows.size(), sizeof(ScanVector));
    if (!table.ok()) return std::move(table.error());
    if (!rows.empty()) {
        std::memcpy(numpy::array_data(table.value().get()), rows.data(),
                    rows.size() * sizeof(ScanVector));
    }
    return std::move(table.value());
}

}  // namespace

PyObject* scan_vectors_entry(PyObject* /*module*/, PyObject* const* args,
                             Py_ssize_t nargs) noexcept {
    auto body = [&]() { return scan_vectors_body(args, nargs); };
    return guard_call(body);
}

}  // namespace vorlane::module::tools
