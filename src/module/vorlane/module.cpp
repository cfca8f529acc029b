// The module as the interpreter sees it before the first call: PyInit_vorlane, the static
// module and function definitions, and the exec step that puts annotate_scanlines on the
// module and into its __all__. NumPy is not touched here.
#include <Python.h>

#include "module/call_guard.hpp"
#include "module/exec_step.hpp"
#include "module/vorlane/entry.hpp"

namespace vorlane::module {

namespace {

constexpr char MODULE_DOC[] =
    "A library for processing and annotating raster scanlines in powder bed fusion data.";

// The first line, "--" and an empty line form the text signature CPython recognises.
constexpr char FUNCTION_DOC[] =
    "annotate_scanlines(x, y)\n"
    "--\n"
    "\n"
    "Annotate in-memory scanline data from 1D x and y coordinate arrays.\n"
    "\n"
    "Args:\n"
    "    x (ndarray): 1D numpy array of x-coordinates (float32 or float64).\n"
    "    y (ndarray): 1D numpy array of y-coordinates (float32 or float64).\n"
    "\n"
    "Returns:\n"
    "    ndarray: 1D numpy array of scanline_id assignments (int32).";
static_assert(sizeof(FUNCTION_DOC) - 1 == 319, "the docstring must stay exactly as written");

PyMethodDef annotate_scanlines_def = {
    "annotate_scanlines",
    as_method<&annotate_scanlines_entry>(),
    METH_FASTCALL | METH_KEYWORDS,
    FUNCTION_DOC,
};

HostStatus exec_step(PyObject* module) { return add_function(module, annotate_scanlines_def); }

PyModuleDef module_def = module_definition("vorlane", MODULE_DOC, exec_slots<&exec_step>);

}  // namespace

}  // namespace vorlane::module

// Marked noexcept: it only hands over the static definition and cannot fail.
PyMODINIT_FUNC PyInit_vorlane(void) noexcept {
    return PyModuleDef_Init(&vorlane::module::module_def);
}
