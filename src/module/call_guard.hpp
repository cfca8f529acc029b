// The call guard that wraps every entry from the interpreter into the module, the host
// errors the boundary hands to it, and the PanicException class that reports internal faults.
// The guard is the one place that catches: a body returns its host error as a value (raised
// only after the body's cleanup has run) and lets faults propagate as C++ exceptions.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "module/py_ref.hpp"

namespace vorlane::module {

// A host exception not yet raised: either deferred (a class and its one constructor argument,
// turned into an exception object only when raised) or fetched from the interpreter.
class HostError {
  public:
    // `type` is one of the interpreter's static exception classes (PyExc_TypeError, ...).
    static HostError deferred(PyObject* type, std::string message);
    static HostError deferred(PyObject* type, PyRef argument);
    // Takes the interpreter's pending exception, leaving no error set.
    static HostError fetch() noexcept;

    // Sets the exception in the interpreter (builds the deferred one now).
    void raise() &&;

  private:
    struct Deferred {
        PyObject* type;
        std::string message;
        PyRef argument;  // used instead of `message` when set
    };
    struct Fetched {
        PyRef type;
        PyRef value;
        PyRef traceback;
    };
    explicit HostError(Deferred&& d) : error_(std::move(d)) {}
    explicit HostError(Fetched&& f) : error_(std::move(f)) {}

    std::variant<Deferred, Fetched> error_;
};

// The outcome of a body: a value, or a host error for the guard to raise. Two optionals, not
// a variant: a result is moved several times on its way out of every call, and some standard
// libraries move and destroy a variant through a table of functions, an indirect call each
// time, where an optional only tests a flag.
template <typename T>
class [[nodiscard]] HostResult {
  public:
    HostResult(T value) : value_(std::move(value)) {}
    HostResult(HostError error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    T& value() noexcept { return *value_; }
    HostError& error() noexcept { return *error_; }

  private:
    std::optional<T> value_;
    std::optional<HostError> error_;
};

// Success, or the host error to raise.
using HostStatus = std::optional<HostError>;

// Takes the interpreter's pending exception and renders it as "TypeName: text" for a fault
// message; leaves no error set. Gives "unknown error" when nothing is pending.
std::string take_pending_error_text();

// Non-owning reference to a callable returning R, so the guard itself need not be a template.
template <typename R>
class BodyRef {
  public:
    template <typename F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, BodyRef> && std::is_invocable_r_v<R, F&>)
    BodyRef(F& body) noexcept
        : object_(&body), call_([](void* object) -> R { return (*static_cast<F*>(object))(); }) {}

    R operator()() const { return call_(object_); }

  private:
    void* object_;
    R (*call_)(void*);
};

// Function form: the body's new reference, or null with an exception set.
PyObject* guard_call(BodyRef<HostResult<PyRef>> body) noexcept;

// Exec form: 0, or -1 with an exception set.
int guard_exec(BodyRef<HostStatus> body) noexcept;

// The PanicException class (made on first need; null with an exception set if that fails).
PyObject* panic_exception_class();

}  // namespace vorlane::module
