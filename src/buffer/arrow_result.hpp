// Results of Arrow inputs: what pyarrow.array(list) gives for the values,
// made without the list when pyarrow is the real library.
//
// pyarrow.array(list) infers the Arrow type from the Python values: int64
// for ints, double for floats, the null type for an empty list. Inferring it
// costs tens of microseconds whatever the length. When pyarrow.array and
// pyarrow.Array are pyarrow's own, the same array is built here instead:
// the values are written into memory of ours and handed to pyarrow through
// the Arrow C data interface, whose importer takes them over without a
// copy. Unsigned 64-bit values of 2^63 and more, for which pyarrow.array
// refuses a list of ints, give a uint64 array. A stand-in pyarrow keeps the
// pyarrow.array(list) call.
#pragma once

#include "buffer/values.hpp"

#include <cstdint>
#include <span>
#include <type_traits>

namespace telvaran {

// The Arrow type of a result, by its C data interface format.
enum class ArrowResultType : unsigned char { Null, Int64, UInt64, Double };

// Writable memory for `count` values of one result type, handed to pyarrow
// by finish() and released by pyarrow (or here, on any failure before).
class ArrowResult {
public:
    ArrowResult() = default;
    ArrowResult(const ArrowResult&) = delete;
    ArrowResult& operator=(const ArrowResult&) = delete;
    ~ArrowResult();

    // False, with nothing allocated, when pyarrow is not the real library.
    Result<bool> allocate(ArrowResultType type, std::size_t count);
    template <class Out>
    Out* values() const noexcept {
        return static_cast<Out*>(values_);
    }
    Result<Ref> finish();

private:
    Ref importer_;  // pyarrow.Array._import_from_c_capsule
    ArrowResultType type_ = ArrowResultType::Null;
    std::size_t count_ = 0;
    void* block_ = nullptr;  // the buffers' pointers, then the values
    void* values_ = nullptr;
};

// pyarrow.array(list), or the same array made natively (see above).
Result<Ref> arrow_result_from_list(PyObject* list);

// pyarrow.array of the Python values of `values`.
template <class T>
Result<Ref> arrow_result_from_values(std::span<const T> values) {
    ArrowResultType type = values.empty() ? ArrowResultType::Null
                           : std::is_floating_point_v<T> ? ArrowResultType::Double
                                                         : ArrowResultType::Int64;
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        for (std::uint64_t v : values)
            if (v >> 63) type = ArrowResultType::UInt64;
    }
    ArrowResult out;
    TV_ASSIGN(bool native, out.allocate(type, values.size()));
    if (!native) {
        TV_ASSIGN(Ref list, list_from_values(values));
        return arrow_result_from_list(list.get());
    }
    using Out = std::conditional_t<std::is_floating_point_v<T>, double,
                                   std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>;
    Out* out_values = out.template values<Out>();
    for (std::size_t k = 0; k < values.size(); ++k) out_values[k] = static_cast<Out>(values[k]);
    return out.finish();
}

}  // namespace telvaran
