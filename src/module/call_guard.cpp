// The call guard (function and exec forms), host-error raising and the PanicException class.
#include "module/call_guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>

#include "module/gil_once.hpp"
#include "module/test_sites.hpp"

namespace vorlane::module {

namespace {

constexpr const char PANIC_EXCEPTION_NAME[] = "vorlane_runtime.PanicException";
constexpr const char PANIC_EXCEPTION_DOC[] =
    "Raised when the internal code of the vorlane extension faults while called from Python.\n"
    "\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so that it is not\n"
    "caught by 'except Exception' handlers and normally propagates through the whole stack and\n"
    "ends the interpreter.";

GilOnce<PyObject*> panic_class_once;

// Armed for the whole of a guard: a fault that escapes the catching region (while a failure
// is being raised) ends the process instead of unwinding into the interpreter.
class FaultTrap {
  public:
    FaultTrap() noexcept = default;
    FaultTrap(const FaultTrap&) = delete;
    FaultTrap& operator=(const FaultTrap&) = delete;
    ~FaultTrap() {
        if (armed_) fire();
    }

    void disarm() noexcept { armed_ = false; }

    [[noreturn]] void fire() noexcept {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::fflush(stderr);
        std::abort();
    }

  private:
    bool armed_ = true;
};

// Raises PanicException(message). Throws if the class cannot be made, which fires the trap.
void raise_panic(const char* message) {
    PyObject* panic_class = panic_exception_class();
    if (panic_class == nullptr) throw std::runtime_error("PanicException could not be created");
    HostError::deferred(panic_class, std::string(message)).raise();
}

// Turns the fault that left a body into the host exception it stands for.
void raise_caught_fault(const std::exception_ptr& fault) {
    // A fault abandons whatever host error the failing code may have left behind.
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    try {
        std::rethrow_exception(fault);
    } catch (const std::bad_alloc&) {
        // Memory exhaustion is the caller's to handle, not a reason to lose the interpreter.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
}

// Raises the body's failure (a caught fault, else its host error) and disarms the trap. This
// runs outside the catching region: anything thrown here fires the trap.
void raise_failure(FaultTrap& trap, const std::exception_ptr& fault,
                   std::optional<HostError>& error) noexcept {
    try {
        if (fault) {
            raise_caught_fault(fault);
        } else {
            std::move(*error).raise();
        }
    } catch (...) {
        trap.fire();
    }
    trap.disarm();
}

}  // namespace

HostError HostError::deferred(PyObject* type, std::string message) {
    return HostError(Deferred{type, std::move(message), PyRef()});
}

HostError HostError::deferred(PyObject* type, PyRef argument) {
    return HostError(Deferred{type, std::string(), std::move(argument)});
}

HostError HostError::fetch() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    return HostError(Fetched{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)});
}

void HostError::raise() && {
    if (auto* fetched = std::get_if<Fetched>(&error_)) {
        PyErr_Restore(fetched->type.release(), fetched->value.release(),
                      fetched->traceback.release());
        return;
    }
    auto& deferred = *std::get_if<Deferred>(&error_);
    PyRef argument = std::move(deferred.argument);
    if (!argument) {
        // Fault texts come from C++ exceptions and need not be valid UTF-8.
        argument = PyRef::steal(PyUnicode_DecodeUTF8(
            deferred.message.data(), static_cast<Py_ssize_t>(deferred.message.size()), "replace"));
        if (!argument) return;
    }
    PyRef arguments = PyRef::steal(PyTuple_New(1));
    if (!arguments) return;
    if (PyTuple_SetItem(arguments.get(), 0, argument.release()) != 0) return;
    PyRef instance = PyRef::steal(PyObject_Call(deferred.type, arguments.get(), nullptr));
    if (!instance) return;  // the constructor's own error is left set
    PyErr_SetObject(deferred.type, instance.get());
}

std::string take_pending_error_text() {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    if (raw_type == nullptr) return "unknown error";
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    PyRef type = PyRef::steal(raw_type);
    PyRef value = PyRef::steal(raw_value);
    PyRef traceback = PyRef::steal(raw_traceback);

    auto utf8 = [](PyObject* text) -> std::optional<std::string> {
        if (text == nullptr) return std::nullopt;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data == nullptr) return std::nullopt;
        return std::string(data, static_cast<std::size_t>(size));
    };
    std::optional<std::string> name;
    if (PyType_Check(type.get())) {
        PyRef name_object =
            PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type.get())));
        name = utf8(name_object.get());
    }
    std::optional<std::string> text;
    if (value) {
        PyRef text_object = PyRef::steal(PyObject_Str(value.get()));
        text = utf8(text_object.get());
    }
    // Rendering is best effort: a failure here must not replace the error being described.
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    std::string rendered = name.value_or("<unprintable exception type>");
    if (text.has_value() && !text->empty()) rendered += ": " + *text;
    return rendered;
}

PyObject* panic_exception_class() {
    PyObject* const* made = panic_class_once.get([]() -> std::optional<PyObject*> {
        if (test_site_selected("panic_class")) {
            PyErr_SetString(PyExc_RuntimeError, "injected failure of PyErr_NewExceptionWithDoc");
            return std::nullopt;
        }
        PyObject* created = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) return std::nullopt;
        return created;  // kept for the life of the process
    });
    return made == nullptr ? nullptr : *made;
}

PyObject* guard_call(BodyRef<HostResult<PyRef>> body) noexcept {
    FaultTrap trap;
    std::exception_ptr fault;
    std::optional<HostError> error;
    try {
        HostResult<PyRef> outcome = body();
        if (outcome.ok()) {
            trap.disarm();
            return outcome.value().release();
        }
        error.emplace(std::move(outcome.error()));
    } catch (...) {
        fault = std::current_exception();
    }
    raise_failure(trap, fault, error);
    return nullptr;
}

int guard_exec(BodyRef<HostStatus> body) noexcept {
    FaultTrap trap;
    std::exception_ptr fault;
    std::optional<HostError> error;
    try {
        HostStatus status = body();
        if (!status.has_value()) {
            trap.disarm();
            return 0;
        }
        error.emplace(std::move(*status));
    } catch (...) {
        fault = std::current_exception();
    }
    raise_failure(trap, fault, error);
    return -1;
}

}  // namespace vorlane::module
