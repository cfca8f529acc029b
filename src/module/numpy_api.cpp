// Acquisition of NumPy's function table: the core-module name from NumPy's version, the
// _ARRAY_API capsule of its multiarray module, and the version and byte-order checks.
#include "module/numpy_api.hpp"

#include <cstdio>
#include <optional>
#include <source_location>

#include "module/call_guard.hpp"
#include "module/gil_once.hpp"
#include "module/py_ref.hpp"
#include "platform/fault.hpp"

namespace vorlane::module::numpy {

namespace {

constexpr const char CAPSULE_FAULT[] = "Failed to access NumPy array API capsule";

GilOnce<long> major_version_once;
GilOnce<Api> api_once;

[[noreturn]] void capsule_fault(const std::string& cause,
                                std::source_location where = std::source_location::current()) {
    raise_fault(std::string(CAPSULE_FAULT) + ": " + cause, where);
}

[[noreturn]] void capsule_fault_from_pending_error(
    std::source_location where = std::source_location::current()) {
    capsule_fault(take_pending_error_text(), where);
}

PyRef import_module(const char* name) {
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object) return PyRef();
    return PyRef::steal(PyImport_Import(name_object.get()));
}

// numpy.lib.NumpyVersion(numpy.__version__).major, as pybind11 and NumPy's own import do it.
std::optional<long> read_major_version() {
    PyRef numpy = import_module("numpy");
    if (!numpy) return std::nullopt;
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return std::nullopt;
    PyRef lib = import_module("numpy.lib");
    if (!lib) return std::nullopt;
    PyRef numpy_version = PyRef::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!numpy_version) return std::nullopt;
    PyRef arguments = PyRef::steal(PyTuple_Pack(1, version.get()));
    if (!arguments) return std::nullopt;
    PyRef parsed = PyRef::steal(PyObject_Call(numpy_version.get(), arguments.get(), nullptr));
    if (!parsed) return std::nullopt;
    PyRef major = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) return std::nullopt;
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
    if (value < 0 || value > 255) {
        PyErr_Format(PyExc_ValueError, "NumPy major version %ld is out of range", value);
        return std::nullopt;
    }
    return value;
}

template <typename Function>
Function table_function(void* const* table, int slot) noexcept {
    static_assert(sizeof(Function) == sizeof(void*));
    Function function;
    std::memcpy(&function, &table[slot], sizeof(Function));
    return function;
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

Api acquire_table() {
    const long* major = major_version_once.get(read_major_version);
    if (major == nullptr) capsule_fault_from_pending_error();
    Api numpy{};
    numpy.major_version = *major;
    numpy.core_module = *major >= 2 ? "numpy._core" : "numpy.core";

    PyRef multiarray = import_module((numpy.core_module + ".multiarray").c_str());
    if (!multiarray) capsule_fault_from_pending_error();
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) capsule_fault_from_pending_error();
    if (!PyCapsule_CheckExact(capsule.get())) capsule_fault("_ARRAY_API is not a capsule");
    void* pointer = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (pointer == nullptr) capsule_fault_from_pending_error();
    void* const* table = static_cast<void* const*>(pointer);

    const unsigned abi = table_function<unsigned (*)()>(table, SLOT_GET_NDARRAY_C_VERSION)();
    if (abi > ABI_VERSION) {
        capsule_fault("RuntimeError: module compiled against ABI version 0x" + hex(ABI_VERSION) +
                      " but this version of numpy is 0x" + hex(abi));
    }
    const unsigned feature =
        table_function<unsigned (*)()>(table, SLOT_GET_NDARRAY_C_FEATURE_VERSION)();
    if (feature < MIN_FEATURE_VERSION) {
        capsule_fault("RuntimeError: module was compiled against NumPy C-API version 0x" +
                      hex(MIN_FEATURE_VERSION) +
                      " (NumPy 1.15) but the running NumPy has C-API version 0x" + hex(feature));
    }
    if (table_function<int (*)()>(table, SLOT_GET_ENDIANNESS)() != NPY_CPU_LITTLE) {
        capsule_fault(
            "RuntimeError: module compiled as little endian, but detected different endianness "
            "at runtime");
    }

    numpy.array_type = static_cast<PyTypeObject*>(table[SLOT_ARRAY_TYPE]);
    numpy.descr_from_type = table_function<DescrFromTypeFn>(table, SLOT_DESCR_FROM_TYPE);
    numpy.new_from_descr = table_function<NewFromDescrFn>(table, SLOT_NEW_FROM_DESCR);
    numpy.equiv_types = table_function<EquivTypesFn>(table, SLOT_EQUIV_TYPES);
    // The table lives inside the capsule: keep it for the rest of the process.
    (void)capsule.release();
    return numpy;
}

}  // namespace

const Api& api() {
    return *api_once.get([]() -> std::optional<Api> { return acquire_table(); });
}

}  // namespace vorlane::module::numpy
