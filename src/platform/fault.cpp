// The fault reporter: one diagnostic on standard error at the point where a fault starts.
#include "platform/fault.hpp"

#include <pthread.h>

#include <array>
#include <cstdio>

namespace vorlane {

void raise_fault(const std::string& message, std::source_location where) {
    std::array<char, 32> name{};
    if (pthread_getname_np(pthread_self(), name.data(), name.size()) != 0 || name[0] == '\0') {
        std::snprintf(name.data(), name.size(), "<unnamed>");
    }
    std::fprintf(stderr, "thread '%s' faulted at %s:%u:%u:\n%s\n", name.data(), where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 message.c_str());
    throw InternalFault(message);
}

}  // namespace vorlane
