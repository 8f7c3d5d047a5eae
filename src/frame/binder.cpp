// Argument binding and conversion for every callable of the module.
#include "frame/signature.hpp"

#include "core/pyapi.hpp"

#include <string>

namespace telvaran {
namespace {

Error type_error(std::string message) { return Error::raise(PyExc_TypeError, std::move(message)); }

Error too_many_positional(const Signature& sig, Py_ssize_t nargs) {
    return type_error(sig.call_name() + " takes " + std::to_string(sig.positional) + " positional arguments but " +
                      std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::array<const char*, kMaxParams>& names, int count) {
    std::string text;
    for (int k = 0; k < count; ++k) {
        if (k > 0) text += (count == 2) ? " and " : (k == count - 1 ? ", and " : ", ");
        text += '\'';
        text += names[k];
        text += '\'';
    }
    return text;
}

bool name_equals(PyObject* name, const char* expected) {
    return PyUnicode_CompareWithASCIIString(name, expected) == 0;
}

Status convert(const Param& param, PyObject*& object, double& real, std::uint64_t& index) {
    switch (param.conversion) {
        case Conversion::Object:
            return {};
        case Conversion::OptionalObject:
            if (object == Py_None) object = nullptr;
            return {};
        case Conversion::Double: {
            auto value = py::as_double(object);
            if (!value) return std::move(value).error().with_argument_prefix(param.name);
            real = *value;
            return {};
        }
        case Conversion::OptionalIndex: {
            if (object == Py_None) {
                object = nullptr;
                return {};
            }
            auto value = py::as_u64(object);
            if (!value) return std::move(value).error().with_argument_prefix(param.name);
            index = *value;
            return {};
        }
    }
    return {};
}

}  // namespace

Status Binder::bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Args& out) {
    if (nargs > sig.positional) return too_many_positional(sig, nargs);
    for (Py_ssize_t k = 0; k < nargs; ++k) out.objects_[k] = args[k];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            TV_TRY(place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], out));
        }
    }
    return finish(sig, out);
}

Status Binder::bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) {
    Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return Error::fetch();
    if (nargs > sig.positional) return too_many_positional(sig, nargs);
    for (Py_ssize_t k = 0; k < nargs; ++k) out.objects_[k] = PyTuple_GetItem(args, k);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) TV_TRY(place_keyword(sig, key, value, out));
    }
    return finish(sig, out);
}

Status Binder::place_keyword(const Signature& sig, PyObject* name, PyObject* value, Args& out) {
    int slot = -1;
    int total = sig.positional + sig.keyword_only;
    for (int k = sig.positional; k < total && slot < 0; ++k)
        if (name_equals(name, sig.params[k].name)) slot = k;
    for (int k = 0; k < sig.positional && slot < 0; ++k)
        if (name_equals(name, sig.params[k].name)) slot = k;
    if (slot < 0) {
        auto text = py::utf8(name);
        std::string shown = text ? std::string(*text) : std::string("?");
        if (!text) PyErr_Clear();
        return type_error(sig.call_name() + " got an unexpected keyword argument '" + shown + "'");
    }
    if (out.objects_[slot]) {
        return type_error(sig.call_name() + " got multiple values for argument '" +
                          sig.params[slot].name + "'");
    }
    out.objects_[slot] = value;
    return {};
}

Status Binder::finish(const Signature& sig, Args& out) {
    std::array<const char*, kMaxParams> missing{};
    int missing_count = 0;
    for (int k = 0; k < sig.positional; ++k)
        if (!out.objects_[k]) missing[missing_count++] = sig.params[k].name;
    if (missing_count > 0) {
        return type_error(sig.call_name() + " missing " + std::to_string(missing_count) +
                          " required positional " + (missing_count == 1 ? "argument" : "arguments") + ": " +
                          quoted_list(missing, missing_count));
    }
    int total = sig.positional + sig.keyword_only;
    for (int k = 0; k < total; ++k) {
        if (!out.objects_[k]) continue;
        TV_TRY(convert(sig.params[k], out.objects_[k], out.reals_[k], out.indices_[k]));
    }
    return {};
}

std::string Signature::call_name() const {
    std::string text = owner ? std::string(owner) + "." : std::string();
    return text + name + "()";
}

std::string Signature::parameter_text() const {
    std::string text;
    for (int k = 0; k < positional + keyword_only; ++k) {
        if (k > 0) text += ", ";
        if (k == positional) text += "*, ";
        text += params[k].name;
        if (params[k].conversion == Conversion::OptionalObject) text += "=None";
    }
    return text;
}

}  // namespace telvaran

