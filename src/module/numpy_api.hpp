// All the module knows of NumPy's binary interface, without NumPy's headers: the type
// numbers, the array and descriptor field layouts, the function-table slots it calls, and the
// acquisition of that table (from the _ARRAY_API capsule, on first need, never at import).
// NumPy 1.x and 2.x share every number and field used here except the descriptor's element
// size, whose offset is chosen by the running NumPy's major version.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vorlane::module::numpy {

// Type numbers (enum NPY_TYPES), the same in 1.x and 2.x.
inline constexpr int NPY_BOOL = 0;      // one byte, 0 or 1
inline constexpr int NPY_UBYTE = 2;     // unsigned 8-bit integer
inline constexpr int NPY_INT = 5;       // signed 32-bit integer on the LP64 platforms served
inline constexpr int NPY_LONG = 7;      // signed 64-bit integer on LP64 (numpy.int64)
inline constexpr int NPY_LONGLONG = 9;  // signed 64-bit integer (numpy.longlong)
inline constexpr int NPY_FLOAT = 11;    // IEEE 754 binary32
inline constexpr int NPY_DOUBLE = 12;   // IEEE 754 binary64

// Array flag bits (NPY_ARRAY_*).
inline constexpr int NPY_ARRAY_WRITEABLE = 0x0400;

// Mirror of the leading fields of NumPy's array object (PyArrayObject_fields), unchanged
// since NumPy 1.7. Used only for field offsets; never allocated or sized.
struct ArrayObjectFields {
    PyObject ob_base;
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// Mirrors of the descriptor (PyArray_Descr): the fields up to type_num are shared, the element
// size is an int after a one-byte flags field in 1.x and an npy_intp after a 64-bit flags field
// in 2.x.
struct Descr1Fields {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char flags;
    int type_num;
    int elsize;
};
struct Descr2Fields {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
    std::uint64_t flags;
    Py_ssize_t elsize;
};

// Function-table slots (numpy/_core/code_generators/numpy_api.py; the same in 1.x and 2.x).
// unsigned PyArray_GetNDArrayCVersion(void): the ABI version of the running NumPy.
inline constexpr int SLOT_GET_NDARRAY_C_VERSION = 0;
// PyArray_Type: the address of the numpy.ndarray type object itself, not a function.
inline constexpr int SLOT_ARRAY_TYPE = 2;
// PyArray_Descr* PyArray_DescrFromType(int type_num): a new reference.
inline constexpr int SLOT_DESCR_FROM_TYPE = 45;
// PyObject* PyArray_NewFromDescr(subtype, descr, nd, dims, strides, data, flags, base): takes
// over the descr reference, also when it fails.
inline constexpr int SLOT_NEW_FROM_DESCR = 94;
// npy_bool PyArray_EquivTypes(PyArray_Descr*, PyArray_Descr*).
inline constexpr int SLOT_EQUIV_TYPES = 182;
// int PyArray_GetEndianness(void): 1 for little-endian (NPY_CPU_LITTLE).
inline constexpr int SLOT_GET_ENDIANNESS = 210;
// unsigned PyArray_GetNDArrayCFeatureVersion(void): the C-API feature level.
inline constexpr int SLOT_GET_NDARRAY_C_FEATURE_VERSION = 211;

// Limits the module was written against: it reads the 2.x ABI and needs the 1.15 C-API.
inline constexpr unsigned ABI_VERSION = 0x2000000;
inline constexpr unsigned MIN_FEATURE_VERSION = 0xc;
inline constexpr int NPY_CPU_LITTLE = 1;

using DescrFromTypeFn = PyObject* (*)(int type_num);
using NewFromDescrFn = PyObject* (*)(PyTypeObject* subtype, PyObject* descr, int nd,
                                     const Py_ssize_t* dims, const Py_ssize_t* strides, void* data,
                                     int flags, PyObject* base);
using EquivTypesFn = unsigned char (*)(PyObject* first, PyObject* second);

// The parts of the table the module uses after the checks.
struct Api {
    PyTypeObject* array_type;
    DescrFromTypeFn descr_from_type;
    NewFromDescrFn new_from_descr;
    EquivTypesFn equiv_types;
    long major_version;       // of the running NumPy, for the descriptor layout
    std::string core_module;  // "numpy._core" (2.x) or "numpy.core" (1.x)
};

// The table, acquired on first need. Any failure is the fault "Failed to access NumPy array
// API capsule: ..."; a failed attempt is not kept, so the next call tries again.
const Api& api();

// The PyArray_Check test: an instance of numpy.ndarray or of a subclass.
inline bool is_array(const Api& numpy, PyObject* object) noexcept {
    return PyObject_TypeCheck(object, numpy.array_type) != 0;
}

template <typename Field>
Field read_field(const PyObject* object, std::size_t offset) noexcept {
    Field value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(object) + offset, sizeof(Field));
    return value;
}

// Field readers for an object known to be an array.
inline char* array_data(const PyObject* a) noexcept {
    return read_field<char*>(a, offsetof(ArrayObjectFields, data));
}
inline int array_ndim(const PyObject* a) noexcept {
    return read_field<int>(a, offsetof(ArrayObjectFields, nd));
}
inline const Py_ssize_t* array_dimensions(const PyObject* a) noexcept {
    return read_field<Py_ssize_t*>(a, offsetof(ArrayObjectFields, dimensions));
}
inline const Py_ssize_t* array_strides(const PyObject* a) noexcept {
    return read_field<Py_ssize_t*>(a, offsetof(ArrayObjectFields, strides));
}
inline PyObject* array_base(const PyObject* a) noexcept {
    return read_field<PyObject*>(a, offsetof(ArrayObjectFields, base));
}
inline PyObject* array_descr(const PyObject* a) noexcept {
    return read_field<PyObject*>(a, offsetof(ArrayObjectFields, descr));
}
inline int array_flags(const PyObject* a) noexcept {
    return read_field<int>(a, offsetof(ArrayObjectFields, flags));
}

// Element size in bytes of a descriptor of the running NumPy.
inline Py_ssize_t descr_item_size(const Api& numpy, const PyObject* descr) noexcept {
    if (numpy.major_version >= 2)
        return read_field<Py_ssize_t>(descr, offsetof(Descr2Fields, elsize));
    return read_field<int>(descr, offsetof(Descr1Fields, elsize));
}

}  // namespace vorlane::module::numpy
