// Owning handles for what a call holds: one strong reference to a host object, and one read
// borrow registered for an array. Both are move-only and release in their destructors, so
// every early return and every exception gives back what it must.
#pragma once

#include <Python.h>

#include <utility>

namespace vorlane::module {

class PyRef {
  public:
    PyRef() noexcept = default;

    // Takes over a new reference (the result of a C-API call that returns one); null allowed.
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }

    // Takes a new reference to an object the caller only borrows.
    static PyRef new_ref(PyObject* object) noexcept {
        if (object != nullptr) _Py_IncRef(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller (for a return value the interpreter takes over).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept {
        if (PyObject* old = std::exchange(object_, nullptr)) _Py_DecRef(old);
    }

  private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

struct BorrowApi;  // the shared read-borrow registry, borrow_registry.hpp

// One read borrow of an array, registered in the shared registry; withdrawn on destruction.
// The array itself is kept alive by a PyRef held beside this handle.
class ReadBorrow {
  public:
    ReadBorrow() noexcept = default;
    ReadBorrow(const BorrowApi* registry, PyObject* array) noexcept
        : registry_(registry), array_(array) {}

    ReadBorrow(ReadBorrow&& other) noexcept
        : registry_(std::exchange(other.registry_, nullptr)),
          array_(std::exchange(other.array_, nullptr)) {}
    ReadBorrow& operator=(ReadBorrow&& other) noexcept {
        if (this != &other) {
            reset();
            registry_ = std::exchange(other.registry_, nullptr);
            array_ = std::exchange(other.array_, nullptr);
        }
        return *this;
    }
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;
    ~ReadBorrow() { reset(); }

    void reset() noexcept;  // borrow_registry.cpp

  private:
    const BorrowApi* registry_ = nullptr;
    PyObject* array_ = nullptr;
};

}  // namespace vorlane::module
