// ArrayIterator: yields an input's elements one at a time as Python numbers.
//
// The input is examined once, at creation. Between steps the iterator holds
// no view, so the input may be changed or resized freely; every step
// acquires a fresh view, reads the element's current value and releases it.
//
// Of an Arrow input a step reads only the array or chunk holding the
// element. pyarrow's own chunked arrays are immutable: their chunks are
// taken one at a time (`chunk(i)`), and the chunk the steps have reached is
// kept between steps, so that a step costs the same wherever its element
// is. Any other chunked producer offers only a stream, which each step
// exports afresh and walks from its first chunk to the element's (a cost
// that grows with the chunks before the element).
#include "buffer/arrow.hpp"
#include "buffer/genuine.hpp"
#include "buffer/prologue.hpp"
#include "classes/access_state.hpp"
#include "classes/instance.hpp"
#include "core/pyapi.hpp"
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
    // For one of pyarrow's own chunked arrays: its number of chunks, the
    // chunk the steps have reached (its position, the index of its first
    // element, and once taken the chunk itself, an immutable array, with its
    // length). `chunks` is 0 for every other input.
    std::size_t chunks = 0;
    std::size_t chunk = 0;
    std::size_t chunk_start = 0;
    Ref chunk_array;
    std::size_t chunk_length = 0;
};

using IteratorObject = Instance<IteratorState>;

IteratorState& state_of(PyObject* self) { return IteratorObject::of(self); }

Error out_of_range() { return Error::raise(PyExc_IndexError, "ArrayIterator index out of range"); }

Result<Ref> read_element(const SizedInput& input, std::size_t index) {
    return with_element(input, index, [&]<class T>(std::span<const T> xs, std::size_t k) -> Result<Ref> {
        // The input may have shrunk since the iterator was made.
        if (k >= xs.size()) return out_of_range();
        return made(to_python(xs[k]));
    });
}

// Element `index` of one of pyarrow's own chunked arrays, read from the
// chunk that holds it. Steps only move forwards, so the chunks before the
// one reached are never looked at again, and each chunk is taken once.
Result<Ref> read_from_chunks(IteratorState& it, PyObject* source, std::size_t index) {
    for (; it.chunk < it.chunks; ++it.chunk, it.chunk_array.reset()) {
        if (!it.chunk_array) {
            TV_ASSIGN(Ref position, made(PyLong_FromSize_t(it.chunk)));
            TV_ASSIGN(Ref chunk, py::call_method(source, py::names.chunk, position.get()));
            TV_ASSIGN(Py_ssize_t length, py::length(chunk.get()));
            it.chunk_array = std::move(chunk);
            it.chunk_length = static_cast<std::size_t>(length);
        }
        if (index - it.chunk_start < it.chunk_length) {
            Ref chunk = it.chunk_array.clone();
            const SizedInput piece{{chunk.get(), InputKind::Arrow, it.type}, static_cast<Py_ssize_t>(it.chunk_length)};
            return read_element(piece, index - it.chunk_start);
        }
        it.chunk_start += it.chunk_length;
    }
    return out_of_range();
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
    if (it.chunks) return read_from_chunks(it, source.get(), index);
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
    Py_VISIT(state_of(self).chunk_array.get());
    return 0;
}

int clear(PyObject* self) noexcept {
    state_of(self).source.reset();
    state_of(self).chunk_array.reset();
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

// The number of chunks of one of pyarrow's own non-empty chunked arrays,
// else 0.
Result<std::size_t> pyarrow_chunks(const SizedInput& input) {
    if (input.input.kind != InputKind::Arrow || input.length == 0) return std::size_t{0};
    if (!genuine::is_pyarrow_object(input.input.object, "ChunkedArray")) return std::size_t{0};
    TV_ASSIGN(Ref chunks, py::getattr(input.input.object, py::names.num_chunks));
    TV_ASSIGN(std::uint64_t count, py::as_u64(chunks.get()));
    return static_cast<std::size_t>(count);
}

}  // namespace

Result<PyObject*> array_iterator_type() { return kept_class(g_type, make_type); }

// ArrayIterator(source), and array_iterator(array) through the same steps.
Result<Ref> new_array_iterator(const Call& call) {
    TV_ASSIGN(PyTypeObject * type, constructed_type(call, array_iterator_type));
    TV_ASSIGN(SizedInput input, examine(call.args.object(0), Access::Read));
    TV_ASSIGN(std::size_t chunks, pyarrow_chunks(input));
    return create_instance<IteratorState>(type, Ref::borrow(input.input.object), std::size_t{0},
                                          static_cast<std::size_t>(input.length), input.input.kind,
                                          input.input.type, AccessState{}, chunks);
}

}  // namespace telvaran::classes
