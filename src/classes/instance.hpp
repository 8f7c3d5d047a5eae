// What the module's two classes share: the instance layout, creation and
// release of instances on the limited API, and the making of a type object
// from its slots.
//
// An instance is the interpreter's object header followed by one C++ state
// object, constructed in place right after allocation and destroyed in the
// dealloc slot. Both classes take part in cyclic garbage collection, so
// instances come from the type's tp_alloc (which tracks them) and are
// untracked before their state is torn down.
#pragma once

#include "core/result.hpp"
#include "operations/row.hpp"

#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace telvaran {

template <class State>
struct Instance {
    PyObject_HEAD
    State state;

    static State& of(PyObject* self) { return reinterpret_cast<Instance*>(self)->state; }
};

// A new instance of `type` holding a State built from `args`. Nothing between
// the allocation and the construction of the state can run Python code, so
// the collector never sees an instance whose state is not yet built.
template <class State, class... A>
Result<Ref> create_instance(PyTypeObject* type, A&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    TV_ASSIGN(Ref self, checked(alloc(type, 0)));
    new (&Instance<State>::of(self.get())) State{std::forward<A>(args)...};
    return self;
}

namespace detail {
// Releasing an instance's references can free another instance, whose
// release frees the next: LazyArray(LazyArray(...)) a few hundred thousand
// deep would overflow the C stack. Past a fixed nesting depth, instances are
// queued instead and finished one after another by the outermost release.
struct PendingDealloc {
    PyObject* self;
    void (*finish)(PyObject*) noexcept;
};
inline constexpr int kMaxDeallocDepth = 200;
inline thread_local int t_dealloc_depth = 0;
inline thread_local std::vector<PendingDealloc> t_pending_deallocs;

template <class State>
void finish_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Instance<State>::of(self).~State();
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}
}  // namespace detail

template <class State>
void dealloc_instance(PyObject* self) noexcept {
    using namespace detail;
    PyObject_GC_UnTrack(self);
    if (t_dealloc_depth >= kMaxDeallocDepth) {
        try {
            t_pending_deallocs.push_back({self, &finish_dealloc<State>});
            return;
        } catch (...) {  // NOLINT(bugprone-empty-catch): handled below
            // No memory for the queue: finish it here, deeper on the stack.
        }
    }
    ++t_dealloc_depth;
    finish_dealloc<State>(self);
    if (t_dealloc_depth == 1) {
        while (!t_pending_deallocs.empty()) {
            PendingDealloc next = t_pending_deallocs.back();
            t_pending_deallocs.pop_back();
            next.finish(next.self);
        }
    }
    --t_dealloc_depth;
}

// Makes the type object of a class row from its slots: named
// "builtins.Name", so that its __module__ reads "builtins", with the row's
// docstring, which the interpreter copies. Returns a new reference.
inline Result<Ref> make_class(const Row& row, int basicsize, std::initializer_list<PyType_Slot> slots) {
    const std::string doc = docstring(row);
    if (doc.find('\0') != std::string::npos)
        return Error::raise(PyExc_ValueError, "class doc cannot contain nul bytes");
    const std::string type_name = std::string("builtins.") + row.name();
    std::vector<PyType_Slot> all(slots);
    // The slot record is untyped; the interpreter copies the text and never
    // writes to it.
    all.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});  // NOLINT(cppcoreguidelines-pro-type-const-cast)
    all.push_back({0, nullptr});
    PyType_Spec type_spec{
        type_name.c_str(),
        basicsize,
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
        all.data(),
    };
    return checked(PyType_FromSpec(&type_spec));
}

// The class that a constructor row's call makes an instance of: the type
// being constructed, or for the module's helper function (lazy_array,
// array_iterator) the class itself.
inline Result<PyTypeObject*> constructed_type(const Call& call, TypeObject class_type) {
    if (call.row.kind == RowKind::Class) return reinterpret_cast<PyTypeObject*>(call.self);
    TV_ASSIGN(PyObject * type, class_type());
    return reinterpret_cast<PyTypeObject*>(type);
}

// The type object kept in `cell`, made by `make` on first use.
template <class Make>
Result<PyObject*> kept_class(PyObject*& cell, Make make) {
    if (!cell) {
        TV_ASSIGN(Ref type, make());
        cell = type.release();  // kept for the life of the process
    }
    return cell;
}

}  // namespace telvaran
