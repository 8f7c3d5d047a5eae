// What the prologue can learn from a buffer instead of from attributes.
#pragma once

#include "buffer/input.hpp"
#include "buffer/view.hpp"

#include <cstdint>
#include <optional>

namespace telvaran {

struct ExportedFacts {
    ElementType type;
    std::uint64_t itemsize;
    BufferView* held;  // `hold`, when it keeps the buffer; else null
};

// For an object whose type is exactly array.array, the built-in memoryview
// or numpy.ndarray (`kind` says which; Arrow inputs give nothing), the element
// type and item size, read from the buffer the object exports, when they
// settle validation and resolution the usual way: a valid, supported
// input. Anything else gives nothing and the prologue asks the attributes,
// whose answers (and errors) are then the object's own. With `hold`, a
// buffer that settles them stays requested there for the view.
std::optional<ExportedFacts> exported_facts(PyObject* obj, InputKind kind, Access access, BufferView* hold);

}  // namespace telvaran
