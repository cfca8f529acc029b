// _pool_probe(count), in the test build only: runs `count` short tasks on the shared pool and
// returns its size, so that tests can see both modules start threads on one pool.
#include <chrono>
#include <thread>

#include "module/call_guard.hpp"
#include "module/tools/arguments.hpp"
#include "module/tools/entries.hpp"
#include "platform/pool.hpp"

namespace vorlane::module::tools {

namespace {

HostResult<PyRef> pool_probe_body(PyObject* const* args, Py_ssize_t nargs) {
    if (HostStatus arity = check_arity("_pool_probe", nargs, 1)) return std::move(*arity);
    const Py_ssize_t count = PyLong_AsSsize_t(args[0]);
    if (count == -1 && PyErr_Occurred() != nullptr) return HostError::fetch();
    if (count < 0) return HostError::deferred(PyExc_ValueError, "count must not be negative");
    pool_run(static_cast<std::size_t>(count),
             [](std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    PyRef size = PyRef::steal(PyLong_FromSize_t(pool_size()));
    if (!size) return HostError::fetch();
    return size;
}

}  // namespace

PyObject* pool_probe_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
    auto body = [&]() { return pool_probe_body(args, nargs); };
    return guard_call(body);
}

}  // namespace vorlane::module::tools
