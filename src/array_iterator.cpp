// ArrayIterator: yields an input's elements one at a time as Python numbers.
//
// The input is examined once, at creation. Between steps the iterator holds
// no view, so the input may be changed or resized freely; every step
// acquires a fresh view, reads the element's current value and releases it.
#include "access_state.hpp"
#include "buffer/access.hpp"
#include "class_support.hpp"
#include "classes.hpp"
#include "core/pyapi.hpp"

#include <cstddef>

namespace telvaran {
namespace {

struct IteratorState {
    Ref source;  // emptied only by the collector's clear
    std::size_t position = 0;
    std::size_t length = 0;  // the input's len() at creation; never updated
    ElementType type = ElementType::b;
    AccessState access{};
};

using IteratorObject = Instance<IteratorState>;

IteratorState& state_of(PyObject* self) { return IteratorObject::of(self); }

Result<Ref> create(PyTypeObject* type, PyObject* source) {
    TV_ASSIGN(SizedInput ex, examine_sized_input(source, Access::Read));
    return create_instance<IteratorState>(type, Ref::borrow(source), std::size_t{0},
                                          static_cast<std::size_t>(ex.length), ex.input.type);
}

Result<Ref> read_element(PyObject* source, ElementType type, std::size_t index) {
    TV_ASSIGN(NativeType native, select_native_type(source, type));
    return with_read_slice(source, native, [&]<class T>(std::span<const T> xs) -> Result<Ref> {
        // The input may have shrunk since the iterator was made.
        if (index >= xs.size()) return Error::raise(PyExc_IndexError, "ArrayIterator index out of range");
        return made(to_python(xs[index]));
    });
}

// One step: the next element's value, or an empty Ref when the iteration
// has ended.
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
    return read_element(source.get(), it.type, index);
}

PyObject* next_slot(PyObject* self) noexcept {
    CallScope scope;
    try {
        Result<Ref> value = step(self);
        if (!value) return frame::fail(std::move(value).error());
        // An empty value ends the iteration: null with no exception set.
        return (*value).release();
    } catch (...) {
        return frame::fail_from_exception();
    }
}

Result<Ref> iter_self(PyObject* self) {
    TV_ASSIGN(AccessState::Guard guard, state_of(self).access.shared());
    return Ref::borrow(self);
}

constexpr Signature kNew = make_signature("ArrayIterator.__new__()", {{"source"}});

Result<Ref> new_iterator(PyTypeObject* type, const Args& args) { return create(type, args.object(0)); }

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(state_of(self).source.get());
    return 0;
}

int clear(PyObject* self) {
    state_of(self).source.reset();
    return 0;
}

PyObject* g_type = nullptr;

Result<Ref> make_type() {
    return make_class(
        {"builtins.ArrayIterator", "ArrayIterator",
         "ArrayIterator - Efficient, natively optimised iterator for array types",
         static_cast<int>(sizeof(IteratorObject))},
        {
            {Py_tp_new, as_slot(&new_entry<kNew, new_iterator>)},
            {Py_tp_iter, as_slot(&unary_entry<iter_self>)},
            {Py_tp_iternext, as_slot(&next_slot)},
            {Py_tp_traverse, as_slot(&traverse)},
            {Py_tp_clear, as_slot(&clear)},
            {Py_tp_dealloc, as_slot(&dealloc_instance<IteratorState>)},
        });
}

}  // namespace

Result<PyObject*> array_iterator_type() { return kept_class(g_type, make_type); }

namespace ops {
Result<Ref> array_iterator(const Args& args) {
    TV_ASSIGN(PyObject* type, array_iterator_type());
    return create(reinterpret_cast<PyTypeObject*>(type), args.object(0));
}
}  // namespace ops

}  // namespace telvaran
