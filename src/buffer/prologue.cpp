// The empty-input rules of the prologue.
#include "buffer/prologue.hpp"

#include "buffer/result.hpp"

namespace telvaran {

Error empty_input(const Call& call) { return Error::raise(PyExc_ValueError, call.row.empty_message); }

Result<Ref> settle_empty(const Call& call, const Input& input) {
    switch (call.row.empty) {
        case OnEmpty::Zero:
            // The item size is asked for as it would be for a non-empty
            // input, so that its failure is reported here too.
            if (has_variable_width(input.type)) TV_TRY(item_size(input));
            return made(is_float(input.type) ? PyFloat_FromDouble(0.0) : PyLong_FromLong(0));
        case OnEmpty::None:
            return Ref::none();
        case OnEmpty::EmptyArray:
            return empty_result(input.type, input.kind);
        case OnEmpty::Refuse:
            return empty_input(call);
        case OnEmpty::Initial:
            // `initial` is the keyword-only parameter that follows the
            // positional ones; None counts as not given.
            if (PyObject* initial = call.args.object(call.row.signature.positional)) return Ref::borrow(initial);
            return empty_input(call);
        case OnEmpty::Proceed:
            break;
    }
    return Error::panic(std::string(call.row.name()) + " has no rule for an empty input");
}

}  // namespace telvaran
