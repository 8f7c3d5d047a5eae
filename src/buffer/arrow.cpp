// Reading Arrow exports: taking the structs out of their capsules, checking
// schema and arrays against an element type, refusing nulls, taking the
// chunks of a stream in order.
//
// What a producer declares is trusted as far as it can be checked: a
// length, offset or null count cannot be verified against the memory behind
// it, so only values no array can have (negative ones, sums that overflow,
// a missing values buffer) are refused, and nothing is read beyond
// offset + length elements of the values (and bits of the validity bitmap).
#include "arrow.hpp"

#include "core/call_scope.hpp"
#include "core/pyapi.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>

namespace telvaran {
namespace arrow {
namespace {

// Runs the release callbacks of structs not released yet, under the
// interpreter lock. Any exception already pending is set aside meanwhile,
// and one that a callback's own Python code leaves behind is reported as
// unraisable: a release cannot fail.
template <class S>
void release_structs(S* structs, std::size_t count) noexcept {
    std::size_t k = 0;
    while (k < count && !structs[k].release) ++k;
    if (k == count) return;
    const bool locked = inside_call();  // a thread inside a call holds the lock
    PyGILState_STATE state{};
    if (!locked) state = PyGILState_Ensure();
    PyObject* pending = PyErr_GetRaisedException();
    for (; k < count; ++k) {
        S& s = structs[k];
        if (!s.release) continue;
        auto* callback = s.release;
        callback(&s);
        // The callback marks the struct released itself; this makes sure
        // that a careless one is never called twice.
        s.release = nullptr;
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    }
    if (pending) PyErr_SetRaisedException(pending);
    if (!locked) PyGILState_Release(state);
}

template <class S>
void release_struct(S& s) noexcept {
    release_structs(&s, 1);
}

}  // namespace

void release(Schema& s) noexcept { release_struct(s); }
void release(Array& a) noexcept { release_struct(a); }
void release(Array* arrays, std::size_t count) noexcept { release_structs(arrays, count); }
void release(Stream& s) noexcept { release_struct(s); }

}  // namespace arrow

Error unsupported_arrow_type(const char* hint) {
    return Error::raise(PyExc_TypeError,
                        std::string("Could not determine Arrow buffer/array type. Supported types: Int8, UInt8, Int16, "
                                    "UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64") +
                            hint);
}

namespace {

constexpr const char kArrayCapsules[] =
    "__arrow_c_array__() must return a tuple of two capsules named 'arrow_schema' and 'arrow_array'";
constexpr const char kStreamCapsule[] = "__arrow_c_stream__() must return a capsule named 'arrow_array_stream'";

// A struct owned for the span of a scope, released when the scope ends
// unless handed on with take().
template <class S>
struct Owned {
    S value{};
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { arrow::release(value); }

    S take() noexcept {
        S moved = value;
        value.release = nullptr;
        return moved;
    }
};

Error malformed(const char* what) {
    return Error::raise(PyExc_BufferError, std::string("Arrow export is malformed: ") + what);
}

Error not_compatible(NativeType native) {
    return Error::raise(PyExc_BufferError,
                        "buffer contents are not compatible with " + std::string(facts(native).name));
}

Error has_nulls(std::uint64_t count) {
    return Error::raise(PyExc_ValueError, "Arrow input has " + std::to_string(count) +
                                              (count == 1 ? " null value" : " null values") +
                                              "; use fill_null() or drop_null() first");
}

// The struct a capsule of the given name points to.
template <class S>
Result<S*> capsule_struct(PyObject* capsule, const char* name, const char* refusal) {
    if (!PyCapsule_IsValid(capsule, name)) return Error::raise(PyExc_TypeError, refusal);
    void* pointer = PyCapsule_GetPointer(capsule, name);
    if (!pointer) return Error::fetch();
    return static_cast<S*>(pointer);
}

// Moves the struct out of its capsule: a bitwise copy, after which the
// capsule's struct counts as released (the interface allows structs to be
// moved so). From here on it is ours to release, and the capsule's
// destructor leaves it alone.
template <class S>
Status take(S* exported, S& into, const char* released) {
    if (!exported->release) return malformed(released);
    into = *exported;
    exported->release = nullptr;
    return {};
}

// A producer callback that ran Python code may have left an exception.
Status after_callback() {
    if (PyErr_Occurred()) return Error::fetch();
    return {};
}

// The element type's Arrow format, exactly: a dictionary-encoded array has
// its indices' format, and a nested type has children.
Status check_schema(const arrow::Schema& schema, ElementType type, NativeType native) {
    if (!schema.format || std::string_view(schema.format) != facts(type).arrow_format || schema.dictionary ||
        schema.n_children != 0)
        return not_compatible(native);
    return {};
}

// The element type a producer's schema names: one of the ten formats,
// plain (no dictionary, no children), or the null type, read as int64 if
// it holds no element. A struct is a table's columns.
Status settle_schema(const arrow::Schema& schema, ArrowView::Expected& expected) {
    if (!expected.any) return check_schema(schema, expected.type, facts(expected.type).native);
    if (!schema.format) return malformed("a schema without a format");
    const std::string_view format(schema.format);
    if (format == "+s")
        return unsupported_arrow_type(
            " (this object holds a table of columns: pass one column, for example df[\"x\"] of a polars "
            "DataFrame or table.column(\"x\") of a pyarrow Table)");
    if (schema.dictionary || schema.n_children != 0) return unsupported_arrow_type();
    if (format == "n") {
        expected.type = ElementType::l;
        expected.null_type = true;
        return {};
    }
    for (int k = 0; k < kElementTypeCount; ++k) {
        if (kElementFacts[k].arrow_format == format) {
            expected.type = static_cast<ElementType>(k);
            return {};
        }
    }
    return unsupported_arrow_type();
}

// An array of the null type has no values to read; only an empty one is
// an input.
Status check_null_array(const arrow::Array& a) {
    if (a.length < 0 || a.offset < 0) return malformed("negative length or offset");
    return a.length == 0 ? Status{} : Status(unsupported_arrow_type());
}

// The checks that need nothing but the struct: what the values of a
// primitive array of `width`-byte elements must satisfy to be addressable.
Status check_structure(const arrow::Array& a, unsigned width) {
    if (a.length < 0 || a.offset < 0) return malformed("negative length or offset");
    if (a.null_count < -1) return malformed("negative null count");
    if (a.n_buffers != 2 || !a.buffers) return malformed("a primitive array has two buffers");
    constexpr std::int64_t kMax = std::numeric_limits<std::ptrdiff_t>::max();
    if (a.offset > kMax - a.length || a.offset + a.length > kMax / width)
        return malformed("offset and length beyond the address space");
    if (a.length == 0) return {};
    const void* values = a.buffers[1];
    if (!values) return malformed("no values buffer");
    const auto end = static_cast<std::uintptr_t>(a.offset + a.length) * width;
    if (reinterpret_cast<std::uintptr_t>(values) > std::numeric_limits<std::uintptr_t>::max() - end)
        return malformed("offset and length beyond the address space");
    return {};
}

// The values of an array that passed check_structure.
std::span<const std::byte> values_of(const arrow::Array& a, unsigned width) {
    if (a.length == 0) return {};
    const auto* values = static_cast<const std::byte*>(a.buffers[1]);
    return {values + static_cast<std::size_t>(a.offset) * width, static_cast<std::size_t>(a.length) * width};
}

// The clear bits among `length` bits of a validity bitmap (least significant
// bit first) from bit `first` on.
std::uint64_t clear_bits(const std::uint8_t* bitmap, std::uint64_t first, std::uint64_t length) {
    std::uint64_t set = 0;
    std::uint64_t k = first;
    const std::uint64_t end = first + length;
    for (; k < end && (k & 7) != 0; ++k) set += (bitmap[k >> 3] >> (k & 7)) & 1u;
    for (; end - k >= 64; k += 64) {
        std::uint64_t word = 0;
        std::memcpy(&word, bitmap + (k >> 3), sizeof word);
        set += static_cast<std::uint64_t>(std::popcount(word));
    }
    for (; end - k >= 8; k += 8) set += static_cast<std::uint64_t>(std::popcount(bitmap[k >> 3]));
    for (; k < end; ++k) set += (bitmap[k >> 3] >> (k & 7)) & 1u;
    return length - set;
}

// The nulls of an array that passed check_structure: the producer's count,
// or when it left it to the consumer (-1), the bitmap's. Without a bitmap
// there are none.
std::uint64_t null_count(const arrow::Array& a) {
    if (a.null_count >= 0) return static_cast<std::uint64_t>(a.null_count);
    const auto* bitmap = static_cast<const std::uint8_t*>(a.buffers[0]);
    if (!bitmap || a.length == 0) return 0;
    return clear_bits(bitmap, static_cast<std::uint64_t>(a.offset), static_cast<std::uint64_t>(a.length));
}

Status check_aligned(std::span<const std::byte> values, NativeType native) {
    const unsigned width = facts(native).width;  // a power of two
    if ((reinterpret_cast<std::uintptr_t>(values.data()) & (width - 1)) != 0)
        return Error::raise(PyExc_BufferError,
                            "buffer contents are insufficiently aligned for " + std::string(facts(native).name));
    return {};
}

// Everything that makes one array readable in place; its values on success.
Result<std::span<const std::byte>> readable_values(const arrow::Array& a, NativeType native) {
    const unsigned width = facts(native).width;
    TV_TRY(check_structure(a, width));
    if (std::uint64_t nulls = null_count(a)) return has_nulls(nulls);
    std::span<const std::byte> values = values_of(a, width);
    TV_TRY(check_aligned(values, native));
    return values;
}

Error stream_failed(arrow::Stream& stream, int code) {
    std::string message = "Arrow stream failed (error " + std::to_string(code) + ")";
    const char* detail = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    if (PyErr_Occurred()) return Error::fetch();
    if (detail) message += std::string(": ") + detail;
    return Error::raise(PyExc_BufferError, std::move(message));
}

// The stream's next array into `out`; false at the end of the stream. On a
// failure `out` is not ours: the producer did not hand it over.
Result<bool> next_chunk(arrow::Stream& stream, arrow::Array& out) {
    const int code = stream.get_next(&stream, &out);
    if (code != 0) {
        out.release = nullptr;
        if (PyErr_Occurred()) return Error::fetch();
        return stream_failed(stream, code);
    }
    TV_TRY(after_callback());
    return out.release != nullptr;
}

// A method set to None is no method.
Result<Ref> optional_method(PyObject* obj, PyObject* name) {
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &method) < 0) return Error::fetch();
    Ref found = Ref::steal(method);
    if (found.get() == Py_None) found.reset();
    return found;
}

// An object with neither interface: the buffer request's own refusal, as
// for any object that exports no buffer.
Error no_export(PyObject* obj) {
    Py_buffer probe;
    if (PyObject_GetBuffer(obj, &probe, PyBUF_SIMPLE) == 0) {
        PyBuffer_Release(&probe);
        return Error::panic("an Arrow object that exports no buffer exported one");
    }
    return Error::fetch();
}

}  // namespace

void ArrowView::release() noexcept {
    arrow::release(arrays_.data(), arrays_.size());
    arrays_.clear();
    runs_.clear();
    arrow::release(stream_);
    gathered_.reset();
    count_ = 0;
    start_ = 0;
    held_ = false;
}

Status ArrowView::acquire(PyObject* obj, ElementType type, NativeType native, const std::size_t* around) {
    if (facts(type).native != native) return Error::panic("an Arrow element type is read at its own width");
    Expected expected{type};
    return read(obj, expected, around);
}

Result<ElementType> ArrowView::acquire_any(PyObject* obj) {
    Expected expected{ElementType::l, true};
    TV_TRY(read(obj, expected, nullptr));
    return expected.type;
}

Status ArrowView::read(PyObject* obj, Expected& expected, const std::size_t* around) {
    release();
    held_ = true;
    Status status = [&]() -> Status {
        TV_ASSIGN(Ref method, optional_method(obj, py::names.__arrow_c_array__));
        if (method) return read_array(method.get(), expected);
        TV_ASSIGN(method, optional_method(obj, py::names.__arrow_c_stream__));
        if (method) return read_stream(method.get(), expected, around);
        return no_export(obj);
    }();
    if (!status) release();
    return status;
}

// Stores a checked array as ours, with its values as a run unless it has
// none. The array stays the caller's until it is stored: room is made first.
Status ArrowView::keep(arrow::Array& chunk, NativeType native) {
    const unsigned width = facts(native).width;
    TV_TRY(arrays_.reserve_one());
    TV_TRY(runs_.reserve_one());
    std::span<const std::byte> values = values_of(chunk, width);
    arrays_.push(chunk);
    chunk.release = nullptr;
    if (!values.empty()) runs_.push(Run{values.data(), values.size() / width});
    count_ += values.size() / width;
    return {};
}

// One array, read in place. It holds every element, so it is also the chunk
// around any index.
Status ArrowView::read_array(PyObject* method, Expected& expected) {
    TV_ASSIGN(Ref pair, checked(PyObject_CallNoArgs(method)));
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2)
        return Error::raise(PyExc_TypeError, kArrayCapsules);
    TV_ASSIGN(arrow::Schema * schema_export,
              capsule_struct<arrow::Schema>(PyTuple_GetItem(pair.get(), 0), "arrow_schema", kArrayCapsules));
    TV_ASSIGN(arrow::Array * array_export,
              capsule_struct<arrow::Array>(PyTuple_GetItem(pair.get(), 1), "arrow_array", kArrayCapsules));
    Owned<arrow::Schema> schema;
    Owned<arrow::Array> array;
    TV_TRY(take(schema_export, schema.value, "the schema was released already"));
    TV_TRY(take(array_export, array.value, "the array was released already"));
    TV_TRY(settle_schema(schema.value, expected));
    if (expected.null_type) return check_null_array(array.value);
    const NativeType native = facts(expected.type).native;
    TV_TRY(readable_values(array.value, native));
    return keep(array.value, native);
}

Status ArrowView::read_stream(PyObject* method, Expected& expected, const std::size_t* around) {
    TV_ASSIGN(Ref capsule, checked(PyObject_CallNoArgs(method)));
    TV_ASSIGN(arrow::Stream * exported,
              capsule_struct<arrow::Stream>(capsule.get(), "arrow_array_stream", kStreamCapsule));
    TV_TRY(take(exported, stream_, "the stream was released already"));
    if (!stream_.get_schema || !stream_.get_next) return malformed("a stream without get_schema or get_next");
    {
        Owned<arrow::Schema> schema;
        const int code = stream_.get_schema(&stream_, &schema.value);
        if (code != 0) {
            schema.value.release = nullptr;
            if (PyErr_Occurred()) return Error::fetch();
            return stream_failed(stream_, code);
        }
        TV_TRY(after_callback());
        if (!schema.value.release) return malformed("the stream's schema was released already");
        TV_TRY(settle_schema(schema.value, expected));
    }
    if (around && !expected.null_type) return read_chunk_around(facts(expected.type).native, *around);
    return read_chunks(expected);
}

// Every chunk is taken and checked before any element is read: nulls
// anywhere refuse the whole input (with their total count), and a chunk
// that fails refuses it, before any work on the elements. Empty chunks are
// released at once.
Status ArrowView::read_chunks(const Expected& expected) {
    const NativeType native = facts(expected.type).native;
    const unsigned width = facts(native).width;
    const std::size_t max_count = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / width;
    std::uint64_t nulls = 0;
    for (;;) {
        Owned<arrow::Array> chunk;
        TV_ASSIGN(bool more, next_chunk(stream_, chunk.value));
        if (!more) break;
        if (expected.null_type) {
            TV_TRY(check_null_array(chunk.value));
            continue;
        }
        TV_TRY(check_structure(chunk.value, width));
        const std::uint64_t chunk_nulls = null_count(chunk.value);
        nulls = chunk_nulls > UINT64_MAX - nulls ? UINT64_MAX : nulls + chunk_nulls;
        const auto length = static_cast<std::size_t>(chunk.value.length);
        if (length == 0) continue;
        if (length > max_count - count_) return malformed("chunks beyond the address space");
        TV_TRY(keep(chunk.value, native));
    }
    if (nulls) return has_nulls(nulls);
    for (std::size_t k = 0; k < runs_.size(); ++k) {
        const Run& run = runs_.data()[k];
        TV_TRY(check_aligned({static_cast<const std::byte*>(run.data), run.count * width}, native));
    }
    return {};
}

// Only the chunk that holds element `index` is read; the chunks before it
// are skipped by their lengths, and the stream is not read past it.
Status ArrowView::read_chunk_around(NativeType native, std::size_t index) {
    const unsigned width = facts(native).width;
    std::size_t first = 0;  // the index of the current chunk's first element
    for (;;) {
        Owned<arrow::Array> chunk;
        TV_ASSIGN(bool more, next_chunk(stream_, chunk.value));
        if (!more) break;
        TV_TRY(check_structure(chunk.value, width));
        const auto length = static_cast<std::size_t>(chunk.value.length);
        if (index - first >= length) {
            first += length;  // at most index: the sum cannot overflow
            continue;
        }
        TV_TRY(readable_values(chunk.value, native));
        start_ = first;
        return keep(chunk.value, native);
    }
    // No such element: no run, starting at the index.
    start_ = index;
    return {};
}

Result<std::span<const std::byte>> ArrowView::contiguous(NativeType native) {
    const unsigned width = facts(native).width;
    if (runs_.size() == 0) return std::span<const std::byte>();
    if (runs_.size() == 1) {
        const Run& run = runs_.data()[0];
        return std::span<const std::byte>(static_cast<const std::byte*>(run.data), run.count * width);
    }
    if (!gathered_) {
        gathered_.reset(new (std::nothrow) std::byte[count_ * width]);
        if (!gathered_) return out_of_memory();
        std::byte* out = gathered_.get();
        for (std::size_t k = 0; k < runs_.size(); ++k) {
            const Run& run = runs_.data()[k];
            std::memcpy(out, run.data, run.count * width);
            out += run.count * width;
        }
    }
    return std::span<const std::byte>(gathered_.get(), count_ * width);
}

}  // namespace telvaran
