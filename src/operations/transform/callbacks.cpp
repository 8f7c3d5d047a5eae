// map, filter, reduce and map_inplace: a Python callable run over an input's
// elements, one call per element in index order, while the input's view is
// held.
//
// Every element is read from memory immediately before its call, never
// copied out in advance: the callable may write into the same input, and
// later calls must see what it wrote. The view stays held for the whole
// walk, so the input stays exported and cannot be resized underneath us.
#include "buffer/prologue.hpp"
#include "buffer/result.hpp"
#include "core/pyapi.hpp"
#include "operations/table.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace telvaran {
namespace {

// Calls with a free slot before the arguments, so that a bound method can
// put its self there instead of copying the arguments.
Result<Ref> call_with(PyObject* fn, PyObject* a) {
    PyObject* slots[] = {nullptr, a};
    return checked(PyObject_Vectorcall(fn, slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Result<Ref> call_with(PyObject* fn, PyObject* a, PyObject* b) {
    PyObject* slots[] = {nullptr, a, b};
    return checked(PyObject_Vectorcall(fn, slots + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The Python value of one element, made from what memory holds now.
template <class T>
Result<Ref> value_of(T element) {
    return made(to_python(element));
}

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "double-to-float rounding relies on IEEE 754 (overflow gives infinity)");

// A callable's result as a native element, by the interpreter's integer or
// float conversion. Narrow integers go through long long and a range check
// of their own; 64-bit ones keep the interpreter's own overflow errors.
template <class T>
Result<T> element_from(PyObject* obj) {
    if constexpr (std::is_floating_point_v<T>) {
        TV_ASSIGN(double value, py::as_double(obj));
        return static_cast<T>(value);  // rounds to nearest; beyond float range: infinity
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return py::as_u64(obj);
    } else {
        long long value = PyLong_AsLongLong(obj);
        if (value == -1 && PyErr_Occurred()) return Error::fetch();
        if (!std::in_range<T>(value))
            return Error::raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        return static_cast<T>(value);
    }
}

// The results of map for an array.array output, turned into native items
// as they arrive rather than all at the end: a million result objects kept
// alive in one list and converted afterwards cost far more (cache misses,
// then a million deallocations at once) than results freed as they come.
// Integer items go through array.array itself, a chunk at a time, so the
// values and errors are the constructor's own; it converts each item on
// its own, in order, and fails at the first bad one, so chunk after chunk
// gives what one call over the whole list gives. Float items are converted
// here exactly as the constructor converts them, so each result is freed
// before the next call and its memory reused at once.
//
// Only results whose conversion runs no Python code (exact int, bool and
// float) are converted early. From the first other result on, everything
// is kept, and converted after the last call once the input's view is
// released, exactly when the whole list would have been: its __index__ or
// __float__ may watch the calls, touch the input, or must not run at all
// when an earlier item has already failed.
class ArrayResults {
public:
    static constexpr Py_ssize_t kChunk = 4096;

    explicit ArrayResults(ElementType type) : type_(type) {}

    void expect(std::size_t count) { items_.reserve(count * facts(facts(type_).native).width); }

    // Takes one result of fn, in index order.
    Status add(Ref result) {
        if (!pending_ && !converts_natively(result.get())) {
            TV_TRY(convert_chunk());
            TV_ASSIGN(pending_, made(PyList_New(0)));
        }
        if (pending_) return append(pending_.get(), result.get());
        if (is_float(type_)) {
            take_float(result.get());
            return {};
        }
        if (!chunk_) {
            TV_ASSIGN(chunk_, made(PyList_New(0)));
        }
        TV_TRY(append(chunk_.get(), result.get()));
        return PyList_Size(chunk_.get()) >= kChunk ? convert_chunk() : Status{};
    }

    // The output, built once every result has been added and the input's
    // view is released; the first conversion error if there was one.
    Result<Ref> finish() && {
        Ref last = chunk_ ? std::move(chunk_) : std::move(pending_);
        // Nothing converted yet: the last list is all there is.
        if (items_.empty() && !failure_ && last) return result_from_list(type_, InputKind::Array, last.get());
        if (last) TV_TRY(take_native(last.get()));
        if (failure_) return std::move(*failure_);
        return visit_native(facts(type_).native, [&]<class Out>(Tag<Out>) {
            std::span<const Out> values(reinterpret_cast<const Out*>(items_.data()), items_.size() / sizeof(Out));
            return result_from_values(type_, InputKind::Array, values);
        });
    }

private:
    static bool converts_natively(PyObject* obj) {
        return PyLong_CheckExact(obj) || PyBool_Check(obj) || PyFloat_CheckExact(obj);
    }
    static Status append(PyObject* list, PyObject* item) {
        return PyList_Append(list, item) < 0 ? Status(Error::api_failed()) : Status{};
    }

    Status convert_chunk() {
        Ref chunk = std::move(chunk_);
        return chunk ? take_native(chunk.get()) : Status{};
    }

    template <class T>
    void put(T value) {
        auto bytes = std::as_bytes(std::span<const T, 1>(&value, 1));
        items_.insert(items_.end(), bytes.begin(), bytes.end());
    }

    // What the constructor does for a float item: PyFloat_AsDouble, then a
    // plain cast for 'f'. After a failure later results are only dropped.
    void take_float(PyObject* number) {
        if (failure_) return;
        double value = PyFloat_AsDouble(number);
        if (value == -1.0 && PyErr_Occurred()) failure_.emplace(Error::fetch());
        else if (type_ == ElementType::f) put(static_cast<float>(value));
        else put(value);
    }

    // Converts `list` unless a conversion has failed already.
    Status take_native(PyObject* list) {
        if (failure_) return {};
        Result<Ref> converted = result_from_list(type_, InputKind::Array, list);
        if (!converted) {
            failure_.emplace(std::move(converted).error());
            return {};
        }
        BufferView view;
        TV_TRY(view.acquire(converted->get(), facts(type_).native));
        TV_ASSIGN(std::span<const std::byte> bytes, view.read_bytes());
        items_.insert(items_.end(), bytes.begin(), bytes.end());
        return {};
    }

    ElementType type_;
    std::vector<std::byte> items_;  // in the output's own width
    Ref chunk_;    // exact numbers awaiting conversion
    Ref pending_;  // everything from the first other result on
    std::optional<Error> failure_;
};

// Every result in one list, converted by the output's library at the end.
struct ListResults {
    Ref list;

    void expect(std::size_t) {}
    Status add(Ref result) {
        return PyList_Append(list.get(), result.get()) < 0 ? Status(Error::api_failed()) : Status{};
    }
};

// Calls fn on each element in index order and hands every result to
// `results`; the view is held for the calls only.
template <class Results>
Status call_each(const SizedInput& input, PyObject* fn, Results& results) {
    return with_elements(input, [&]<class T>(Runs<T> xs) -> Status {
        results.expect(xs.size());
        return xs.each([&](T x) -> Status {
            TV_ASSIGN(Ref value, value_of(x));
            TV_ASSIGN(Ref result, call_with(fn, value.get()));
            return results.add(std::move(result));
        });
    });
}

}  // namespace

namespace ops {

Result<Ref> map(const Call& call) {
    PyObject* fn = call.args.object(1);
    TV_ASSIGN(SizedInput input, examine(call.args.object(0), call.row.access));
    if (input.length == 0) return settle_empty(call, input.input);
    const ElementType type = input.input.type;
    bool native = false;
    if (output_kind(input.input.kind) == InputKind::Array) {
        TV_ASSIGN(native, builds_natively(InputKind::Array));
    }
    if (native) {
        ArrayResults results(type);
        TV_TRY(call_each(input, fn, results));
        return std::move(results).finish();
    }
    // numpy and pyarrow decide the output from the whole list at once, and
    // so does an array.array that is not the array module's own.
    TV_ASSIGN(Ref list, made(PyList_New(0)));
    ListResults results{std::move(list)};
    TV_TRY(call_each(input, fn, results));
    return result_from_list(type, input.input.kind, results.list.get());
}

Result<Ref> filter(const Call& call) {
    PyObject* predicate = call.args.object(1);
    return run(call, [&]<class T>(Runs<T> xs, const SizedInput& input) -> Result<Ref> {
        // The kept elements are the very values handed to the predicate, so
        // they are kept natively and the output is built from native memory.
        std::vector<T> kept;
        TV_TRY(xs.each([&](T element) -> Status {
            TV_ASSIGN(Ref value, value_of(element));
            TV_ASSIGN(Ref verdict, call_with(predicate, value.get()));
            TV_ASSIGN(bool keep, py::as_strict_bool(verdict.get()));
            if (keep) kept.push_back(element);
            return {};
        }));
        return result_from_values(input.input.type, input.input.kind, std::span<const T>(kept));
    });
}

Result<Ref> reduce(const Call& call) {
    PyObject* fn = call.args.object(1);
    PyObject* initial = call.args.object(2);  // null when absent or None
    return run(call, [&]<class T>(Runs<T> xs) -> Result<Ref> {
        Ref accumulator = Ref::borrow(initial);
        // A non-empty object can still export no element (a memoryview of
        // shape (3, 0)): that is an empty input too.
        if (!initial && xs.empty()) return empty_input(call);
        TV_TRY(xs.each([&](T x) -> Status {
            TV_ASSIGN(Ref value, value_of(x));
            if (!accumulator) {  // the fold starts from the first element
                accumulator = std::move(value);
                return {};
            }
            TV_ASSIGN(Ref folded, call_with(fn, accumulator.get(), value.get()));
            accumulator = std::move(folded);
            return {};
        }));
        return accumulator;
    });
}

Result<Ref> map_inplace(const Call& call) {
    PyObject* fn = call.args.object(1);
    return run(call, [&]<class T>(std::span<T> xs) -> Result<Ref> {
        // Each result is stored before the next element is read; a failure
        // leaves the elements already done holding their new values.
        for (std::size_t k = 0; k < xs.size(); ++k) {
            TV_ASSIGN(Ref value, value_of(xs[k]));
            TV_ASSIGN(Ref result, call_with(fn, value.get()));
            TV_ASSIGN(xs[k], element_from<T>(result.get()));
        }
        return Ref::none();
    });
}

}  // namespace ops
}  // namespace telvaran
