// map, filter, reduce and map_inplace: a Python callable run over an input's
// elements, one call per element in index order, while the input's view is
// held.
//
// Every element is read from memory immediately before its call, never
// copied out in advance: the callable may write into the same input, and
// later calls must see what it wrote. The view stays held for the whole
// walk, so the input stays exported and cannot be resized underneath us.
#include "buffer/access.hpp"
#include "buffer/result.hpp"
#include "core/pyapi.hpp"
#include "operations/operations.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace telvaran::ops {
namespace {

Error no_initial_value() {
    return Error::raise(PyExc_ValueError, "reduce() of empty array with no initial value");
}

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

}  // namespace

Result<Ref> map(const Args& args) {
    PyObject* obj = args.object(0);
    PyObject* fn = args.object(1);
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::Read));
    if (ex.length == 0) return empty_result(ex.input.type, ex.input.kind);
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    TV_ASSIGN(Ref results, made(PyList_New(0)));
    TV_TRY(with_read_slice(obj, native, [&]<class T>(std::span<const T> xs) -> Status {
        for (std::size_t k = 0; k < xs.size(); ++k) {
            TV_ASSIGN(Ref value, value_of(xs[k]));
            TV_ASSIGN(Ref result, call_with(fn, value.get()));
            if (PyList_Append(results.get(), result.get()) < 0) return Error::api_failed();
        }
        return {};
    }));
    // The results are whatever fn returned: the output's constructor decides
    // whether they fit the element type.
    return result_from_list(ex.input.type, ex.input.kind, results.get());
}

Result<Ref> filter(const Args& args) {
    PyObject* obj = args.object(0);
    PyObject* predicate = args.object(1);
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::Read));
    if (ex.length == 0) return empty_result(ex.input.type, ex.input.kind);
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    return with_read_slice(obj, native, [&]<class T>(std::span<const T> xs) -> Result<Ref> {
        // The kept elements are the very values handed to the predicate, so
        // they are kept natively and the output is built from native memory.
        std::vector<T> kept;
        for (std::size_t k = 0; k < xs.size(); ++k) {
            T element = xs[k];
            TV_ASSIGN(Ref value, value_of(element));
            TV_ASSIGN(Ref verdict, call_with(predicate, value.get()));
            TV_ASSIGN(bool keep, py::as_strict_bool(verdict.get()));
            if (keep) kept.push_back(element);
        }
        return result_from_values(ex.input.type, ex.input.kind, std::span<const T>(kept));
    });
}

Result<Ref> reduce(const Args& args) {
    PyObject* obj = args.object(0);
    PyObject* fn = args.object(1);
    PyObject* initial = args.object(2);  // null when absent or None
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::Read));
    if (ex.length == 0) {
        if (initial) return Ref::borrow(initial);
        return no_initial_value();
    }
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    return with_read_slice(obj, native, [&]<class T>(std::span<const T> xs) -> Result<Ref> {
        Ref accumulator = Ref::borrow(initial);
        std::size_t start = 0;
        if (!initial) {
            // A non-empty object can still export no element (a memoryview of
            // shape (3, 0)): that is an empty input too.
            if (xs.empty()) return no_initial_value();
            TV_ASSIGN(accumulator, value_of(xs[0]));
            start = 1;
        }
        for (std::size_t k = start; k < xs.size(); ++k) {
            TV_ASSIGN(Ref value, value_of(xs[k]));
            TV_ASSIGN(accumulator, call_with(fn, accumulator.get(), value.get()));
        }
        return accumulator;
    });
}

Result<Ref> map_inplace(const Args& args) {
    PyObject* obj = args.object(0);
    PyObject* fn = args.object(1);
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::InPlace));
    if (ex.length == 0) return Ref::borrow(Py_None);
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    TV_TRY(with_write_slice(obj, native, [&]<class T>(std::span<T> xs) -> Status {
        // Each result is stored before the next element is read; a failure
        // leaves the elements already done holding their new values.
        for (std::size_t k = 0; k < xs.size(); ++k) {
            TV_ASSIGN(Ref value, value_of(xs[k]));
            TV_ASSIGN(Ref result, call_with(fn, value.get()));
            TV_ASSIGN(xs[k], element_from<T>(result.get()));
        }
        return {};
    }));
    return Ref::borrow(Py_None);
}

}  // namespace telvaran::ops
