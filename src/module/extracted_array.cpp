// Holding an accepted array for a call, and the element-type test.
#include "module/extracted_array.hpp"

#include <string>

#include "module/borrow_registry.hpp"
#include "module/call_guard.hpp"
#include "platform/fault.hpp"

namespace vorlane::module {

ExtractedArray::ExtractedArray(PyObject* object, const char* name)
    : array(PyRef::new_ref(object)), borrow(register_read_borrow(object, name)) {}

bool has_element_type(const numpy::Api& np, PyObject* array, int type_num) {
    PyRef wanted = PyRef::steal(np.descr_from_type(type_num));
    if (!wanted) {
        raise_fault("PyArray_DescrFromType(" + std::to_string(type_num) +
                    ") failed: " + take_pending_error_text());
    }
    PyObject* descr = numpy::array_descr(array);
    if (descr == wanted.get()) return true;
    // Descriptors of different element sizes are never equivalent, and NumPy's own test looks
    // up a cast to say so: the float32 arguments of a call meet the float64 test first.
    if (numpy::descr_item_size(np, descr) != numpy::descr_item_size(np, wanted.get())) {
        return false;
    }
    return np.equiv_types(descr, wanted.get()) != 0;
}

}  // namespace vorlane::module
