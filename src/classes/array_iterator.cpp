// ArrayIterator: yields an input's elements one at a time as Python numbers.
//
// The input is examined once, at creation. Between steps the iterator holds
// no view, so the input may be changed or resized freely; every step
// acquires a fresh view, reads the element's current value and releases it.
// Of an Arrow input a step reads only the array or chunk holding the element.
#include "buffer/prologue.hpp"
#include "classes/access_state.hpp"
#include "classes/instance.hpp"
#include "frame/entries.hpp"

#include <cstddef>

namespace telvaran::classes {
namespace {

struct IteratorState {
    Ref source;  // emptied only by the collector's clear
    std::size_t position = 0;
    std::size_t length = 0;  // the input's len() at creation; never updated
    InputKind kind = InputKind::Array;
    ElementType type = ElementType::b;
    AccessState access{};
};

using IteratorObject = Instance<IteratorState>;

IteratorState& state_of(PyObject* self) { return IteratorObject::of(self); }

Result<Ref> read_element(const SizedInput& input, std::size_t index) {
    return with_element(input, index, [&]<class T>(std::span<const T> xs, std::size_t k) -> Result<Ref> {
        // The input may have shrunk since the iterator was made.
        if (k >= xs.size()) return Error::raise(PyExc_IndexError, "ArrayIterator index out of range");
        return made(to_python(xs[k]));
    });
}

// One step: the next element's value, or an empty Ref when the iteration
// has ended (null with no exception set, for the interpreter).
Result<Ref> step(PyObject* self) {
    IteratorState& it = state_of(self);
    TV_ASSIGN(AccessState::Guard guard, it.access.exclusive());
    if (it.position >= it.length || !it.source) return Ref();
    // The index is used up before anything is read: a failing step does not
    // make the next one retry the same element.
    std::size_t index = it.position++;
    // Our own reference, in case Python code run while reading the buffer
    // drops the last other one.
    Ref source = it.source.clone();
    const SizedInput input{{source.get(), it.kind, it.type}, static_cast<Py_ssize_t>(it.length)};
    return read_element(input, index);
}

Result<Ref> iter_self(PyObject* self) {
    TV_ASSIGN(AccessState::Guard guard, state_of(self).access.shared());
    return Ref::borrow(self);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(state_of(self).source.get());
    return 0;
}

int clear(PyObject* self) noexcept {
    state_of(self).source.reset();
    return 0;
}

constexpr std::size_t kRow = table::row_index("ArrayIterator");
static_assert(kRow < table::kRowCount);

PyObject* g_type = nullptr;

Result<Ref> make_type() {
    using namespace frame;
    return make_class(table::kRows[kRow], static_cast<int>(sizeof(IteratorObject)),
                      {
                          {Py_tp_new, as_slot(&new_entry<kRow>)},
                          {Py_tp_iter, as_slot(&slot_entry<iter_self>)},
                          {Py_tp_iternext, as_slot(&slot_entry<step>)},
                          {Py_tp_traverse, as_slot(&traverse)},
                          {Py_tp_clear, as_slot(&clear)},
                          {Py_tp_dealloc, as_slot(&dealloc_instance<IteratorState>)},
                      });
}

}  // namespace

Result<PyObject*> array_iterator_type() { return kept_class(g_type, make_type); }

// ArrayIterator(source), and array_iterator(array) through the same steps.
Result<Ref> new_array_iterator(const Call& call) {
    TV_ASSIGN(PyTypeObject * type, constructed_type(call, array_iterator_type));
    TV_ASSIGN(SizedInput input, examine(call.args.object(0), Access::Read));
    return create_instance<IteratorState>(type, Ref::borrow(input.input.object), std::size_t{0},
                                          static_cast<std::size_t>(input.length), input.input.kind,
                                          input.input.type);
}

}  // namespace telvaran::classes
