// Input kinds, validation, element types and item sizes.
#include "input.hpp"

#include "buffer/exported.hpp"
#include "buffer/genuine.hpp"
#include "buffer/arrow.hpp"
#include "buffer/producer.hpp"
#include "core/pyapi.hpp"

#include <array>
#include <new>
#include <string>
#include <string_view>

namespace telvaran {
namespace {

using py::names;

constexpr const char kSupportedList[] = "Supported: b, B, h, H, i, I, l, L, f, d";

Error type_error(std::string message) { return Error::raise(PyExc_TypeError, std::move(message)); }

// The outcome of one instance check during detection. `by_type` records that
// the object's type is a subtype of the class itself, which no later check
// in the same call can contradict: repeating that instance check runs no
// Python code and gives the same answer, so validation need not repeat it.
// Not repeating it saves about 420 instructions per input, a quarter of an
// 8-element sum (callgrind: 1,349 against 1,771 in the module's entry).
struct Match {
    bool found = false;
    bool by_type = false;
    bool exact = false;  // the object's type is the genuine class of its kind
};

// A class looked up in a loaded module, and whether it came from the
// module's own dict: then finding it again runs no Python code either.
struct Lookup {
    Ref cls;
    bool plain = false;
};

Result<Lookup> look_up_class(PyObject* module, PyObject* attr) {
    if (Ref cls = py::module_dict_entry(module, attr)) return Lookup{std::move(cls), true};
    TV_ASSIGN(Ref cls, py::getattr_or_empty(module, attr));
    return Lookup{std::move(cls), false};
}

// The instance check is answered by the type alone when the object's type is
// the class, or a subtype of a class whose metaclass is plain `type` (no
// __instancecheck__ of its own can then say otherwise). Against such a class
// a negative answer is the type's too when the object's type is a static C
// type: its __class__, all the check would read besides, is its type.
// Answering the checks that fail before a pyarrow array's by type saves
// about 1,300 instructions per call. Only a class found in the module's dict
// counts, since validation looks it up again.
Result<Match> check_class(PyObject* obj, const Lookup& lookup, InputKind kind) {
    PyObject* cls = lookup.cls.get();
    if (!cls) return Match{};  // a failing look-up is no match
    PyTypeObject* type = Py_TYPE(obj);
    if (lookup.plain) {
        if (reinterpret_cast<PyObject*>(type) == cls) return Match{true, true, genuine::is_genuine_class(kind, cls)};
        if (PyType_CheckExact(cls)) {
            if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) return Match{true, true, false};
            if (genuine::is_static_c_type(type)) return Match{};
        }
    }
    TV_ASSIGN(bool found, py::isinstance(obj, cls));
    return Match{found, false, false};
}

// Looks up `attr` on a loaded module and runs the instance check. A failing
// attribute look-up is no match; a raising instance check is an error.
Result<Match> match_class(PyObject* obj, PyObject* module, PyObject* attr, InputKind kind) {
    TV_ASSIGN(Lookup lookup, look_up_class(module, attr));
    return check_class(obj, lookup, kind);
}

// Like match_class, but both the attribute look-up and the instance check
// must succeed.
Result<bool> is_instance_strict(PyObject* obj, PyObject* module, PyObject* attr) {
    TV_ASSIGN(Ref cls, py::module_attr(module, attr));
    return py::isinstance(obj, cls.get());
}

Result<Match> match_arrow(PyObject* obj, PyObject* pyarrow) {
    for (PyObject* attr : {names.Buffer, names.Array, names.ChunkedArray}) {
        TV_ASSIGN(Match match, match_class(obj, pyarrow, attr, InputKind::Arrow));
        if (match.found) return match;
    }
    return Match{};
}

// Validation counts a failing look-up or a raising check as no match.
Result<bool> is_arrow_lenient(PyObject* obj, PyObject* pyarrow) {
    bool any = false;
    for (PyObject* attr : {names.Buffer, names.Array, names.ChunkedArray}) {
        TV_ASSIGN(Ref cls, py::module_attr_or_empty(pyarrow, attr));
        if (!cls) continue;
        int rc = PyObject_IsInstance(obj, cls.get());
        if (rc < 0) TV_TRY(py::discard_pending());
        any = any || rc == 1;
    }
    return any;
}

// The text of obj.<attr> as str() gives it.
Result<Ref> attribute_text(PyObject* obj, PyObject* attr) {
    TV_ASSIGN(Ref value, py::getattr(obj, attr));
    if (PyUnicode_CheckExact(value.get())) return value;  // str() of a str is itself
    return py::str(value.get());
}

Result<bool> read_bool_attribute(PyObject* obj, PyObject* attr) {
    TV_ASSIGN(Ref value, py::getattr(obj, attr));
    return py::as_strict_bool(value.get());
}

// The first character of UTF-8 text, decoded, as UTF-8 (for messages).
std::string_view first_character(std::string_view text) {
    std::size_t size = 1;
    unsigned char lead = static_cast<unsigned char>(text[0]);
    if (lead >= 0xF0) size = 4;
    else if (lead >= 0xE0) size = 3;
    else if (lead >= 0xC0) size = 2;
    return text.substr(0, size < text.size() ? size : text.size());
}

Result<ElementType> map_character(std::string_view character, const char* what) {
    ElementType type{};
    if (character.size() == 1 && element_type_of(character[0], type)) return type;
    return type_error(std::string("Unsupported ") + what + ": '" + std::string(character) + "'. " + kSupportedList);
}

Result<ElementType> resolve_array(PyObject* obj) {
    TV_ASSIGN(Ref text, attribute_text(obj, names.typecode));
    TV_ASSIGN(std::string_view code, py::utf8(text.get()));
    if (code.size() != 1) return type_error("Invalid typecode");
    return map_character(code, "typecode");
}

Result<ElementType> resolve_ndarray(PyObject* obj) {
    TV_ASSIGN(Ref dtype, py::getattr(obj, names.dtype));
    TV_ASSIGN(Ref text, attribute_text(dtype.get(), names.char_));
    TV_ASSIGN(std::string_view chars, py::utf8(text.get()));
    if (chars.empty()) return type_error("Could not extract dtype character from numpy.ndarray");
    return map_character(first_character(chars), "numpy dtype");
}

Result<ElementType> resolve_memoryview(PyObject* obj) {
    TV_ASSIGN(Ref text, attribute_text(obj, names.format));
    TV_ASSIGN(std::string_view format, py::utf8(text.get()));
    std::size_t start = format.find_first_not_of("<>!=");
    if (start == std::string_view::npos) return type_error("Could not parse memoryview format string");
    return map_character(first_character(format.substr(start)), "memoryview format");
}

// The order in which the Arrow type names are searched for in the type's
// text: within each width the unsigned names come first, because "uint16"
// contains "int16".
constexpr ElementType kArrowSearchOrder[] = {
    ElementType::B, ElementType::b, ElementType::H, ElementType::h, ElementType::I,
    ElementType::i, ElementType::L, ElementType::l, ElementType::f, ElementType::d,
};

// The element type named in the Arrow type's text; false when there is none
// or the text cannot be had.
Result<bool> arrow_type_from_text(PyObject* arrow_type, ElementType& out) {
    auto text = py::str(arrow_type);
    if (!text) return py::discard(std::move(text).error()).then(false);
    auto utf8 = py::utf8((*text).get());
    if (!utf8) return py::discard(std::move(utf8).error()).then(false);
    for (ElementType type : kArrowSearchOrder) {
        for (std::string_view name : facts(type).arrow_names) {
            if (!name.empty() && utf8->find(name) != std::string_view::npos) {
                out = type;
                return true;
            }
        }
    }
    return false;
}

Result<bool> arrow_type_from_id(PyObject* arrow_type, ElementType& out) {
    TV_ASSIGN(Ref id, py::getattr_or_empty(arrow_type, names.id));
    if (!id) return false;
    auto value = py::as_i32(id.get());
    if (!value) return py::discard(std::move(value).error()).then(false);
    for (int k = 0; k < kElementTypeCount; ++k) {
        if (kElementFacts[k].arrow_type_id == *value) {
            out = static_cast<ElementType>(k);
            return true;
        }
    }
    return false;
}

// Whether the Arrow type is exactly pyarrow's own DataType (the class of
// every primitive Arrow type there). Its text names the type its id gives,
// and reading either runs no Python code, so the id, one attribute read, may
// answer first: making the text costs about 1,800 instructions.
bool is_plain_arrow_type(PyObject* arrow_type) { return genuine::is_genuine_data_type(Py_TYPE(arrow_type)); }

// An Arrow array of the null type has no element whose type could matter
// when it has no elements at all: pyarrow.array([]), the empty result of
// unique, map and filter, is read as an empty input of int64, the type
// pyarrow gives to ints. Asked only when the type is otherwise refused.
Result<bool> is_empty_of_null_type(PyObject* obj, PyObject* arrow_type) {
    auto text = py::str(arrow_type);
    if (!text) return py::discard(std::move(text).error()).then(false);
    if (PyUnicode_EqualToUTF8((*text).get(), "null") != 1) return false;
    auto length = py::length(obj);
    if (!length) return py::discard(std::move(length).error()).then(false);
    return *length == 0;
}

Result<ElementType> resolve_arrow(PyObject* obj) {
    ElementType type{};
    TV_ASSIGN(Ref arrow_type, py::getattr_or_empty(obj, names.type));
    if (arrow_type) {
        if (is_plain_arrow_type(arrow_type.get())) {
            TV_ASSIGN(bool by_id, arrow_type_from_id(arrow_type.get(), type));
            if (by_id) return type;
        }
        TV_ASSIGN(bool by_text, arrow_type_from_text(arrow_type.get(), type));
        if (by_text) return type;
        TV_ASSIGN(bool by_id, arrow_type_from_id(arrow_type.get(), type));
        if (by_id) return type;
        TV_ASSIGN(bool empty, is_empty_of_null_type(obj, arrow_type.get()));
        if (empty) return ElementType::l;
    }
    return unsupported_arrow_type();
}

// Each kind's validation starts by repeating its own instance check.
Status check_array_instance(PyObject* obj) {
    TV_ASSIGN(Ref module, py::required_module(names.array));
    TV_ASSIGN(bool match, is_instance_strict(obj, module.get(), names.array));
    if (!match) return type_error("Expected array.array, numpy.ndarray, or memoryview");
    return {};
}

Status check_ndarray_instance(PyObject* obj) {
    TV_ASSIGN(Ref numpy, py::optional_module(names.numpy));
    if (!numpy) return type_error("Expected numpy.ndarray");  // no ndarray exists
    TV_ASSIGN(bool match, is_instance_strict(obj, numpy.get(), names.ndarray));
    if (!match) return type_error("Expected numpy.ndarray");
    return {};
}

Status check_memoryview_instance(PyObject* obj) {
    TV_ASSIGN(Ref builtins, py::required_module(names.builtins));
    TV_ASSIGN(bool match, is_instance_strict(obj, builtins.get(), names.memoryview));
    if (!match) return type_error("Expected memoryview");
    return {};
}

Status check_arrow_instance(PyObject* obj) {
    TV_ASSIGN(Ref pyarrow, py::optional_module(names.pyarrow));
    if (!pyarrow) return type_error("pyarrow module not available");
    TV_ASSIGN(bool arrow, is_arrow_lenient(obj, pyarrow.get()));
    if (!arrow) return type_error("Expected Arrow Buffer, Array, or ChunkedArray");
    return {};
}

Status check_producer(PyObject* obj) {
    TV_ASSIGN(bool exports, producer::exports_arrow(obj));
    if (!exports) return type_error("Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array");
    return {};
}

Status check_instance(PyObject* obj, InputKind kind) {
    switch (kind) {
        case InputKind::Array: return check_array_instance(obj);
        case InputKind::NdArray: return check_ndarray_instance(obj);
        case InputKind::MemoryView: return check_memoryview_instance(obj);
        case InputKind::Arrow: return check_arrow_instance(obj);
        case InputKind::ArrowProducer: return check_producer(obj);
    }
    return Error::panic("unknown input kind");
}

// The checks of each kind that follow its instance check.
Status validate_ndarray(PyObject* obj) {
    TV_ASSIGN(Ref ndim_value, py::getattr(obj, names.ndim));
    TV_ASSIGN(std::int32_t ndim, py::as_i32(ndim_value.get()));
    if (ndim != 1) return type_error("numpy.ndarray must be 1-dimensional (ndim == 1)");
    TV_ASSIGN(Ref flags, py::getattr(obj, names.flags));
    TV_ASSIGN(bool c_contiguous, read_bool_attribute(flags.get(), names.c_contiguous));
    TV_ASSIGN(bool f_contiguous, read_bool_attribute(flags.get(), names.f_contiguous));
    if (!c_contiguous && !f_contiguous)
        return type_error("numpy.ndarray must be contiguous (C_CONTIGUOUS or F_CONTIGUOUS)");
    return {};
}

Status validate_memoryview(PyObject* obj, Access access) {
    if (access == Access::InPlace) {
        TV_ASSIGN(bool readonly, read_bool_attribute(obj, names.readonly));
        if (readonly)
            return Error::raise(PyExc_ValueError,
                                "memoryview is read-only; in-place operations require writable memoryview");
    }
    return {};
}

Status validate_arrow(Access access) {
    if (access == Access::InPlace)
        return Error::raise(PyExc_ValueError, "Arrow buffers/arrays are immutable; in-place operations not supported");
    return {};
}

}  // namespace

namespace {

struct Detected {
    InputKind kind;
    bool by_type;
    bool exact;
};

Result<Detected> detect(PyObject* obj) {
    TV_ASSIGN(Ref array_module, py::required_module(names.array));
    TV_ASSIGN(Match array, match_class(obj, array_module.get(), names.array, InputKind::Array));
    if (array.found) return Detected{InputKind::Array, array.by_type, array.exact};

    TV_ASSIGN(Ref numpy, py::optional_module(names.numpy));
    if (numpy) {
        TV_ASSIGN(Match ndarray, match_class(obj, numpy.get(), names.ndarray, InputKind::NdArray));
        if (ndarray.found) return Detected{InputKind::NdArray, ndarray.by_type, ndarray.exact};
    }

    TV_ASSIGN(Ref builtins, py::required_module(names.builtins));
    TV_ASSIGN(Match memoryview, match_class(obj, builtins.get(), names.memoryview, InputKind::MemoryView));
    if (memoryview.found) return Detected{InputKind::MemoryView, memoryview.by_type, memoryview.exact};

    TV_ASSIGN(Ref pyarrow, py::optional_module(names.pyarrow));
    if (pyarrow) {
        TV_ASSIGN(Match arrow, match_arrow(obj, pyarrow.get()));
        if (arrow.found) return Detected{InputKind::Arrow, arrow.by_type, arrow.exact};
    }

    TV_ASSIGN(bool producer, producer::exports_arrow(obj));
    if (producer) return Detected{InputKind::ArrowProducer, true, false};
    return type_error("Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array");
}

Status validate_after_instance_check(PyObject* obj, InputKind kind, Access access) {
    switch (kind) {
        case InputKind::Array: return {};  // an array.array is always writable
        case InputKind::NdArray: return validate_ndarray(obj);  // read-only arrays fail at the write slice
        case InputKind::MemoryView: return validate_memoryview(obj, access);
        case InputKind::Arrow:
        case InputKind::ArrowProducer: return validate_arrow(access);
    }
    return Error::panic("unknown input kind");
}

}  // namespace

Result<InputKind> detect_input_kind(PyObject* obj) {
    TV_ASSIGN(Detected detected, detect(obj));
    return detected.kind;
}

Result<Detection> detect_input(PyObject* obj) {
    TV_ASSIGN(Detected detected, detect(obj));
    return Detection{detected.kind, detected.by_type, detected.exact};
}

Status validate_detected(PyObject* obj, const Detection& found, Access access) {
    if (found.by_type) return validate_after_instance_check(obj, found.kind, access);
    return validate_input(obj, found.kind, access);
}

Status validate_input(PyObject* obj, InputKind kind, Access access) {
    TV_TRY(check_instance(obj, kind));
    return validate_after_instance_check(obj, kind, access);
}

Result<ElementType> resolve_element_type(PyObject* obj, InputKind kind) {
    switch (kind) {
        case InputKind::Array: return resolve_array(obj);
        case InputKind::NdArray: return resolve_ndarray(obj);
        case InputKind::MemoryView: return resolve_memoryview(obj);
        case InputKind::Arrow: return resolve_arrow(obj);
        case InputKind::ArrowProducer: {
            ArrowView view;
            return view.acquire_any(obj);
        }
    }
    return Error::panic("unknown input kind");
}

Result<std::uint64_t> query_itemsize(PyObject* obj) {
    TV_ASSIGN(Ref value, py::getattr(obj, names.itemsize));
    return py::as_u64(value.get());
}

bool reads_arrow_export(const Input& input) {
    return input.kind == InputKind::ArrowProducer ||
           (input.kind == InputKind::Arrow && !PyObject_CheckBuffer(input.object));
}

Result<std::uint64_t> item_size(const Input& input) {
    if (input.known_itemsize) return input.known_itemsize;
    if (reads_arrow_export(input)) return std::uint64_t{facts(facts(input.type).native).width};
    return query_itemsize(input.object);
}

Result<NativeType> select_native_type(const Input& input) {
    const ElementType type = input.type;
    if (!has_variable_width(type)) return facts(type).native;
    TV_ASSIGN(std::uint64_t itemsize, item_size(input));
    return itemsize == 4 ? facts(type).narrow : facts(type).native;
}

// A producer's one export gives its element type and its elements.
Result<Input> read_producer(PyObject* obj) {
    std::unique_ptr<ArrowView> view(new (std::nothrow) ArrowView);
    if (!view) return out_of_memory();
    TV_ASSIGN(ElementType type, view->acquire_any(obj));
    Input input{obj, InputKind::ArrowProducer, type, 0, false, true};
    input.read_ahead = std::move(view);
    return input;
}

Result<Input> examine_input(PyObject* obj, Access access, BufferView* hold) {
    TV_ASSIGN(Detected detected, detect(obj));
    if (detected.exact) {
        if (auto known = exported_facts(obj, detected.kind, access, hold))
            return Input{obj, detected.kind, known->type, known->itemsize, true, true, known->held};
    }
    if (detected.by_type) {
        TV_TRY(validate_after_instance_check(obj, detected.kind, access));
    } else {
        TV_TRY(validate_input(obj, detected.kind, access));
    }
    if (detected.kind == InputKind::ArrowProducer) return read_producer(obj);
    TV_ASSIGN(ElementType type, resolve_element_type(obj, detected.kind));
    return Input{obj, detected.kind, type, 0, detected.exact && detected.kind != InputKind::Arrow, detected.by_type};
}

Result<Py_ssize_t> input_length(PyObject* obj, InputKind kind) {
    if (kind != InputKind::ArrowProducer || producer::has_length(obj)) return py::length(obj);
    ArrowView view;
    TV_ASSIGN(ElementType type, view.acquire_any(obj));
    (void)type;
    return static_cast<Py_ssize_t>(view.count());
}

Result<Py_ssize_t> input_length(const Input& input) {
    if (input.read_ahead && !producer::has_length(input.object))
        return static_cast<Py_ssize_t>(input.read_ahead->count());
    return input_length(input.object, input.kind);
}

Result<SizedInput> examine(PyObject* obj, Access access, BufferView* hold) {
    TV_ASSIGN(Input input, examine_input(obj, access, hold));
    TV_ASSIGN(Py_ssize_t length, input_length(input));
    return SizedInput{std::move(input), length};
}

}  // namespace telvaran
