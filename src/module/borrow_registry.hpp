// The read-borrow registry: a process-wide record of which array memory extension modules are
// reading or writing, shared between cooperating modules through a capsule attribute of
// NumPy's multiarray module. The first module that needs it creates it; later ones use the one
// found there. This module only ever registers read borrows.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/py_ref.hpp"

namespace vorlane::module {

// Attribute of NumPy's multiarray module holding the capsule, and the capsule's name.
inline constexpr char BORROW_CAPSULE_NAME[] = "_VORLANE_BORROW_CHECKING_API";
inline constexpr std::uint64_t BORROW_PROTOCOL_VERSION = 1;

// Results of the two acquire operations; anything else is a broken registry.
inline constexpr int BORROW_OK = 0;
inline constexpr int BORROW_ALREADY_BORROWED = -1;  // conflicting borrow of overlapping memory
inline constexpr int BORROW_NOT_WRITEABLE = -2;     // write borrow of a read-only array
inline constexpr int BORROW_OUT_OF_MEMORY = -3;     // the registry could not record the borrow

extern "C" {
// Protocol version 1, a plain C layout so that modules written in any language can share it.
// Every operation takes `state` and an ndarray and must be called with the interpreter lock
// held. Read borrows of overlapping memory coexist; a write borrow excludes every other
// borrow of overlapping memory. A release must name an array whose borrow it registered.
struct BorrowApi {
    std::uint64_t version;
    void* state;
    int (*acquire)(void* state, PyObject* array);
    int (*acquire_mut)(void* state, PyObject* array);
    void (*release)(void* state, PyObject* array);
    void (*release_mut)(void* state, PyObject* array);
};
}

// Registers a read borrow of `array` (an ndarray), finding or creating the shared registry on
// first need. Faults when the array is write-borrowed ("... AlreadyBorrowed") or the registry
// is unusable ("Internal borrow checking API error ...", "Unexpected return code ...").
// `axis` ("x" or "y") names the argument in the conflict message.
ReadBorrow register_read_borrow(PyObject* array, const char* axis);

}  // namespace vorlane::module
