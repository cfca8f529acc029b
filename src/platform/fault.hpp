// Internal faults: unrecoverable conditions in the system's own code. A fault is reported on
// standard error where it starts (thread name, source location, message) and then thrown as
// InternalFault; only the call guard at the host boundary catches it.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace vorlane {

class InternalFault : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Writes the fault report and throws InternalFault carrying `message`.
[[noreturn]] void raise_fault(const std::string& message,
                              std::source_location where = std::source_location::current());

}  // namespace vorlane
