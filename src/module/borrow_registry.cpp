// The read-borrow registry: finding or publishing the shared capsule, this module's own
// implementation of protocol version 1, and the ReadBorrow handle's withdrawal.
#include "module/borrow_registry.hpp"

#include <cstdint>
#include <iterator>
#include <new>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "module/call_guard.hpp"
#include "module/gil_once.hpp"
#include "module/numpy_api.hpp"
#include "platform/fault.hpp"

namespace vorlane::module {

namespace {

constexpr const char REGISTRY_FAULT[] = "Internal borrow checking API error";

// Returned by this module's registry when it fails unexpectedly; not a protocol code, so the
// caller reports it as an unexpected return code.
constexpr int REGISTRY_BROKEN = -99;

// The bytes an array can reach, [low, high), and its data address: two borrows with the same
// key are the same view and share one entry.
struct BorrowKey {
    std::uintptr_t low;
    std::uintptr_t high;
    std::uintptr_t data;

    bool operator==(const BorrowKey&) const = default;
    bool overlaps(const BorrowKey& other) const noexcept {
        return low < other.high && other.low < high;
    }
};

struct BorrowEntry {
    const PyObject* owner;  // the end of the array's base chain: the object owning the memory
    BorrowKey key;
    long count;  // number of read borrows, or -1 for the one write borrow
};

// Borrows are compared only within the object that owns their memory. A call holds a few
// borrows at a time, so one flat list scanned from its newest entry beats a hash map: no
// hashing, and once the list has grown no allocation per borrow.
class Registry {
  public:
    int acquire(PyObject* array, bool write) {
        const numpy::Api& np = numpy::api();
        if (write && (numpy::array_flags(array) & numpy::NPY_ARRAY_WRITEABLE) == 0) {
            return BORROW_NOT_WRITEABLE;
        }
        const BorrowKey key = key_of(np, array);
        const PyObject* owner = owner_of(np, array);
        BorrowEntry* same_view = nullptr;
        for (BorrowEntry& entry : entries_) {
            if (entry.owner != owner) continue;
            const bool writer_involved = write || entry.count < 0;
            if (writer_involved && (entry.key == key || entry.key.overlaps(key))) {
                return BORROW_ALREADY_BORROWED;
            }
            if (entry.key == key) same_view = &entry;
        }
        if (!write && same_view != nullptr) {
            ++same_view->count;
            return BORROW_OK;
        }
        // Made in place, not copied from a temporary: some compilers copy a temporary in
        // 16-byte halves straddling the 8-byte stores that wrote it, a stall on every call.
        entries_.emplace_back() = BorrowEntry{owner, key, write ? -1L : 1L};
        return BORROW_OK;
    }

    void release(PyObject* array, bool write) noexcept {
        const numpy::Api& np = numpy::api();  // made before any borrow could exist
        const PyObject* owner = owner_of(np, array);
        const BorrowKey key = key_of(np, array);
        // Borrows end in the reverse order they began, as a rule: the newest entry is first.
        for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
            if (entry->owner != owner || entry->key != key || (entry->count < 0) != write) {
                continue;
            }
            if (write || --entry->count == 0) entries_.erase(std::next(entry).base());
            return;
        }
    }

  private:
    static const PyObject* owner_of(const numpy::Api& np, PyObject* array) noexcept {
        PyObject* current = array;
        for (;;) {
            PyObject* base = numpy::array_base(current);
            if (base == nullptr) return current;
            if (!numpy::is_array(np, base)) return base;
            current = base;
        }
    }

    static BorrowKey key_of(const numpy::Api& np, const PyObject* array) noexcept {
        const auto data = reinterpret_cast<std::uintptr_t>(numpy::array_data(array));
        const int nd = numpy::array_ndim(array);
        const Py_ssize_t* dims = numpy::array_dimensions(array);
        const Py_ssize_t* strides = numpy::array_strides(array);
        std::intptr_t low = 0;
        std::intptr_t high = numpy::descr_item_size(np, numpy::array_descr(array));
        for (int axis = 0; axis < nd; ++axis) {
            if (dims[axis] == 0) return BorrowKey{data, data, data};
            const std::intptr_t extent = (dims[axis] - 1) * strides[axis];
            if (extent < 0) {
                low += extent;
            } else {
                high += extent;
            }
        }
        return BorrowKey{data + static_cast<std::uintptr_t>(low),
                         data + static_cast<std::uintptr_t>(high), data};
    }

    std::vector<BorrowEntry> entries_;
};

// Only touched with the interpreter lock held. Never destroyed: other modules may still
// release borrows while the process shuts down.
Registry& own_registry() {
    static Registry* const registry = new Registry();
    return *registry;
}

int acquire_checked(void* state, PyObject* array, bool write) noexcept {
    try {
        return static_cast<Registry*>(state)->acquire(array, write);
    } catch (const std::bad_alloc&) {
        return BORROW_OUT_OF_MEMORY;
    } catch (...) {
        return REGISTRY_BROKEN;
    }
}

extern "C" {
static int registry_acquire(void* state, PyObject* array) noexcept {
    return acquire_checked(state, array, false);
}
static int registry_acquire_mut(void* state, PyObject* array) noexcept {
    return acquire_checked(state, array, true);
}
static void registry_release(void* state, PyObject* array) noexcept {
    static_cast<Registry*>(state)->release(array, false);
}
static void registry_release_mut(void* state, PyObject* array) noexcept {
    static_cast<Registry*>(state)->release(array, true);
}
}

BorrowApi own_api{BORROW_PROTOCOL_VERSION, nullptr,          registry_acquire,
                  registry_acquire_mut,    registry_release, registry_release_mut};

[[noreturn]] void registry_fault(const std::string& cause,
                                 std::source_location where = std::source_location::current()) {
    raise_fault(std::string(REGISTRY_FAULT) + ": " + cause, where);
}

// Finds the registry on NumPy's multiarray module, publishing this module's own if none is
// there yet.
const BorrowApi* find_or_publish_registry() {
    const numpy::Api& np = numpy::api();
    PyRef name = PyRef::steal(PyUnicode_FromString((np.core_module + ".multiarray").c_str()));
    if (!name) registry_fault(take_pending_error_text());
    PyRef multiarray = PyRef::steal(PyImport_Import(name.get()));
    if (!multiarray) registry_fault(take_pending_error_text());

    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), BORROW_CAPSULE_NAME));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            registry_fault(take_pending_error_text());
        }
        PyErr_Clear();
        own_api.state = &own_registry();
        capsule = PyRef::steal(PyCapsule_New(&own_api, BORROW_CAPSULE_NAME, nullptr));
        if (!capsule) registry_fault(take_pending_error_text());
        if (PyObject_SetAttrString(multiarray.get(), BORROW_CAPSULE_NAME, capsule.get()) != 0) {
            registry_fault(take_pending_error_text());
        }
    }
    void* pointer = PyCapsule_GetPointer(capsule.get(), BORROW_CAPSULE_NAME);
    if (pointer == nullptr) registry_fault(take_pending_error_text());
    const auto* shared = static_cast<const BorrowApi*>(pointer);
    if (shared->version < 1) {
        registry_fault("the shared registry has version " + std::to_string(shared->version) +
                       ", below the required 1");
    }
    // The registry lives inside (or behind) the capsule: keep it for the rest of the process.
    (void)capsule.release();
    return shared;
}

GilOnce<const BorrowApi*> registry_once;

}  // namespace

void ReadBorrow::reset() noexcept {
    if (registry_ != nullptr) registry_->release(registry_->state, array_);
    registry_ = nullptr;
    array_ = nullptr;
}

ReadBorrow register_read_borrow(PyObject* array, const char* axis) {
    const BorrowApi* registry = *registry_once.get(
        []() -> std::optional<const BorrowApi*> { return find_or_publish_registry(); });
    const int code = registry->acquire(registry->state, array);
    switch (code) {
        case BORROW_OK:
            return ReadBorrow(registry, array);
        case BORROW_ALREADY_BORROWED:
            raise_fault(std::string(axis) +
                        " array cannot be read: it is borrowed for writing: AlreadyBorrowed");
        case BORROW_OUT_OF_MEMORY:
            throw std::bad_alloc();
        default:
            raise_fault("Unexpected return code " + std::to_string(code) +
                        " from borrow checking API");
    }
}

}  // namespace vorlane::module
