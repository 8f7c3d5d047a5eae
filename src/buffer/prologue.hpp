// The input prologue: the fixed steps by which every operation examines an
// array argument before it touches memory, and the runner that takes an
// operation's row through them to its kernel.
//
//   1-3. detect the kind, validate it for the row's access, resolve the
//        element type                                  examine_input
//   4.   take the Python length                        examine
//   5.   settle an empty input by the row's rule       settle_empty
//   6.   for 'l' and 'L', the item size picks the width (an Arrow
//        object read through its Arrow export: its Arrow type)
//   7-8. acquire the typed view, take its slice        with_elements
//
// `run` does all of it for the common operation on one array. Operations
// that need something else (two arrays, the mean first, a check between the
// length and the view) compose the same pieces.
#pragma once

#include "buffer/input.hpp"
#include "buffer/view.hpp"
#include "operations/row.hpp"

#include <span>
#include <string>
#include <type_traits>
#include <utility>

namespace telvaran {

// An empty input settled by the row's empty-input rule (any rule but Proceed).
Result<Ref> settle_empty(const Call& call, const Input& input);

// The ValueError of the row's Refuse rule, for an input found empty later
// (a Python length that is not 0 over a buffer without elements).
Error empty_input(const Call& call);

// Fills `view` with `input`'s memory as T, for operations that hold views
// of their own (two inputs at once): its buffer, or an Arrow object's
// export. With `around`, an Arrow input may be read only in the chunk that
// holds that element (the view's first_index() says where it starts).
template <class T>
[[gnu::always_inline]] inline Status acquire_view(TypedBufferView<T>& view, const Input& input, const std::size_t* around = nullptr) {
    if (input.read_ahead) return view.use_arrow(*input.read_ahead);
    if (reads_arrow_export(input)) return view.acquire_arrow(input.object, input.type, around);
    if (input.exported && input.exported->held()) return view.use(*input.exported);
    return view.acquire(input.object);
}

namespace detail {
// A kernel that accepts a writable span writes in place; one that accepts
// Runs walks the elements where they lie, run by run; one that takes a span
// of const elements reads them in one piece.
template <class Kernel, class T>
inline constexpr bool writes = std::is_invocable_v<Kernel&, std::span<T>, const SizedInput&> ||
                               std::is_invocable_v<Kernel&, std::span<T>>;
template <class Kernel, class T>
inline constexpr bool walks = std::is_invocable_v<Kernel&, Runs<T>, const SizedInput&> ||
                              std::is_invocable_v<Kernel&, Runs<T>>;

template <class Kernel, class Elements>
decltype(auto) call_kernel(Kernel& kernel, Elements elements, const SizedInput& input) {
    if constexpr (std::is_invocable_v<Kernel&, Elements, const SizedInput&>) return kernel(elements, input);
    else return kernel(elements);
}

template <class Kernel>
using Probe = std::conditional_t<writes<Kernel, std::int8_t>, std::span<std::int8_t>,
                                 std::conditional_t<walks<Kernel, std::int8_t>, Runs<std::int8_t>,
                                                    std::span<const std::int8_t>>>;
}  // namespace detail

// Steps 6 to 8: picks the machine type, acquires the view and runs the
// kernel over the elements: kernel(Runs<T>) over their runs (a buffer is one
// run, a chunked Arrow input one per chunk), kernel(std::span<const T>) over
// them in one piece (several chunks are gathered into a scratch copy), or,
// for a kernel taking a writable span, kernel(std::span<T>). The view is
// dropped on every path. The kernel may also take the SizedInput as a second
// argument.
template <class Kernel>
[[gnu::always_inline]] inline auto with_elements(const SizedInput& input, Kernel&& kernel) {
    using R = decltype(detail::call_kernel(kernel, std::declval<detail::Probe<Kernel>>(), input));
    return [&]() -> R {
        TV_ASSIGN(NativeType native, select_native_type(input.input));
        return visit_native(native, [&]<class T>(Tag<T>) -> R {
            TypedBufferView<T> view;
            TV_TRY(acquire_view(view, input.input));
            if constexpr (detail::writes<Kernel, T>) {
                TV_ASSIGN(std::span<T> elements, view.write_slice());
                return detail::call_kernel(kernel, elements, input);
            } else if constexpr (detail::walks<Kernel, T>) {
                TV_ASSIGN(Runs<T> elements, view.read_runs());
                return detail::call_kernel(kernel, elements, input);
            } else {
                TV_ASSIGN(std::span<const T> elements, view.read_slice());
                return detail::call_kernel(kernel, elements, input);
            }
        });
    }();
}

// Steps 6 to 8 for the one element `index`: runs kernel(xs, k) with
// std::span<const T> xs and xs[k] the element, or k >= xs.size() when the
// input has no such element. A buffer is acquired whole; of an Arrow input
// only the array or chunk that holds the element is read, so that the cost
// does not grow with the input's length.
template <class Kernel>
auto with_element(const SizedInput& input, std::size_t index, Kernel&& kernel) {
    using R = decltype(kernel(std::span<const std::int8_t>{}, std::size_t{}));
    return [&]() -> R {
        TV_ASSIGN(NativeType native, select_native_type(input.input));
        return visit_native(native, [&]<class T>(Tag<T>) -> R {
            TypedBufferView<T> view;
            TV_TRY(acquire_view(view, input.input, &index));
            TV_ASSIGN(std::span<const T> elements, view.read_slice());
            return kernel(elements, index - view.first_index());
        });
    }();
}

// A check between the empty-input rule and the item size (clip's bounds).
// The default checks nothing.
struct NoCheck {
    Status operator()(const SizedInput&) const { return {}; }
};

// The whole prologue of the row's one array argument, then the kernel.
template <class Kernel, class Check = NoCheck>
[[gnu::always_inline]] inline Result<Ref> run(const Call& call, Kernel&& kernel, Check&& check = {}) {
    // The row's access decides validation, the kernel's span the slice taken.
    if (detail::writes<Kernel, std::int8_t> != (call.row.access == Access::InPlace))
        return Error::panic(std::string(call.row.name()) + ": the kernel's access differs from its row's");
    // An exact memoryview or numpy array answers the prologue from one
    // buffer, which the view then uses. Nothing between the two can run
    // Python code (its length is the type's own), unless a check is given.
    BufferView held;
    constexpr bool hold = std::is_same_v<std::remove_cvref_t<Check>, NoCheck>;
    TV_ASSIGN(SizedInput input, examine(call.args.object(0), call.row.access, hold ? &held : nullptr));
    if (input.length == 0 && call.row.empty != OnEmpty::Proceed) {
        held.release();
        return settle_empty(call, input.input);
    }
    TV_TRY(check(input));
    return with_elements(input, std::forward<Kernel>(kernel));
}

}  // namespace telvaran
