// vorlane_tools._native as the interpreter sees it before the first call: PyInit__native, the
// module and function definitions, and the exec step. NumPy is not touched here.
#include <Python.h>

#include <utility>

#include "module/call_guard.hpp"
#include "module/exec_step.hpp"
#include "module/tools/entries.hpp"

namespace vorlane::module::tools {

namespace {

constexpr char MODULE_DOC[] =
    "Native part of vorlane_tools: robust scanline labelling and per-line vector fits.\n"
    "Call it through vorlane_tools, whose wrappers normalise the arguments.";

constexpr char ROBUST_DOC[] =
    "robust_scanlines(x, y, laser_on, tolerance, /)\n"
    "--\n"
    "\n"
    "Label the samples of a recorded path with hatch-line ids; returns (ids, info).\n"
    "x, y: 1-D float64 or float32 arrays of one length, any strides; laser_on: None or a\n"
    "contiguous bool or uint8 array of that length; tolerance: None or a positive number.";

constexpr char VECTORS_DOC[] =
    "scan_vectors(x, y, ids, /)\n"
    "--\n"
    "\n"
    "Fit one line per positive id; returns a structured array, one row per id ascending.\n"
    "x, y: 1-D float64 or float32 arrays of one length, any strides; ids: a 1-D int32 or\n"
    "int64 array of that length.";

PyMethodDef robust_scanlines_def = {"robust_scanlines", as_method<&robust_scanlines_entry>(),
                                    METH_FASTCALL, ROBUST_DOC};
PyMethodDef scan_vectors_def = {"scan_vectors", as_method<&scan_vectors_entry>(), METH_FASTCALL,
                                VECTORS_DOC};

#ifdef VORLANE_TEST_HOOKS
PyMethodDef pool_probe_def = {"_pool_probe", as_method<&pool_probe_entry>(), METH_FASTCALL,
                              "Test build only: run count tasks on the shared pool."};
#endif

HostStatus exec_step(PyObject* module) {
    if (HostStatus failed = add_function(module, robust_scanlines_def)) return failed;
#ifdef VORLANE_TEST_HOOKS
    if (HostStatus failed = add_function(module, pool_probe_def)) return failed;
#endif
    return add_function(module, scan_vectors_def);
}

PyModuleDef module_def =
    module_definition("vorlane_tools._native", MODULE_DOC, exec_slots<&exec_step>);

}  // namespace

}  // namespace vorlane::module::tools

// Marked noexcept: it only hands over the static definition and cannot fail.
PyMODINIT_FUNC PyInit__native(void) noexcept {
    return PyModuleDef_Init(&vorlane::module::tools::module_def);
}
