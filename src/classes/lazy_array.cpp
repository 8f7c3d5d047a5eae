// LazyArray: a recorded chain of map and filter steps over a source object,
// run on demand.
//
// Building a chain touches neither the source nor the callables. Evaluation
// hands every step to the module's own "map" and "filter", looked up on the
// module by name each time, so a chained step behaves exactly like the direct
// call. The first successful result is kept and returned from then on.
#include "classes/access_state.hpp"
#include "classes/instance.hpp"
#include "core/pyapi.hpp"
#include "frame/entries.hpp"

#include <cstddef>
#include <vector>

namespace telvaran::classes {
namespace {

enum class OperationKind : unsigned char { Map = 0, Filter = 1 };

struct LazyOperation {
    OperationKind kind;
    Ref callable;
};

// Source and operations are fixed at construction; only the cached result is
// ever set. The collector's clear empties everything.
struct LazyState {
    Ref source;
    std::vector<LazyOperation> operations;
    Ref cached;
    AccessState access{};
};

using LazyObject = Instance<LazyState>;

LazyState& state_of(PyObject* self) { return LazyObject::of(self); }

Result<PyTypeObject*> lazy_type() {
    TV_ASSIGN(PyObject* type, lazy_array_type());
    return reinterpret_cast<PyTypeObject*>(type);
}

Result<Ref> create(PyTypeObject* type, Ref source, std::vector<LazyOperation> operations) {
    return create_instance<LazyState>(type, std::move(source), std::move(operations), Ref());
}

// map and filter: a new object with the same source and one more step.
template <OperationKind Kind>
Result<Ref> with_step(const Call& call) {
    LazyState& lazy = state_of(call.self);
    TV_ASSIGN(AccessState::Guard guard, lazy.access.shared());
    std::vector<LazyOperation> operations;
    operations.reserve(lazy.operations.size() + 1);
    for (const LazyOperation& op : lazy.operations) operations.push_back({op.kind, op.callable.clone()});
    operations.push_back({Kind, Ref::borrow(call.args.object(0))});
    TV_ASSIGN(PyTypeObject * type, lazy_type());
    return create(type, lazy.source.clone(), std::move(operations));
}

// The chain's result: the cached one, or a new evaluation that is then kept.
// The caller holds exclusive access.
Result<Ref> evaluate(LazyState& lazy) {
    if (lazy.cached) return lazy.cached.clone();
    TV_ASSIGN(Ref module, py::required_module(py::names.telvaran_module));
    Ref current = lazy.source ? lazy.source.clone() : Ref::borrow(Py_None);
    for (std::size_t k = 0; k < lazy.operations.size(); ++k) {
        const LazyOperation& op = lazy.operations[k];
        Ref callable = op.callable.clone();
        PyObject* name = op.kind == OperationKind::Map ? py::names.map : py::names.filter;
        TV_ASSIGN(Ref function, py::module_attr(module.get(), name));
        TV_ASSIGN(current, py::call(function.get(), current.get(), callable.get()));
    }
    lazy.cached = current.clone();
    return current;
}

Result<Ref> collect(PyObject* self) {
    LazyState& lazy = state_of(self);
    TV_ASSIGN(AccessState::Guard guard, lazy.access.exclusive());
    return evaluate(lazy);
}

// iter(): an ArrayIterator over the result, made while exclusive access is
// still held.
Result<Ref> iterate(PyObject* self) {
    LazyState& lazy = state_of(self);
    TV_ASSIGN(AccessState::Guard guard, lazy.access.exclusive());
    TV_ASSIGN(Ref result, evaluate(lazy));
    TV_ASSIGN(Ref module, py::required_module(py::names.telvaran_module));
    TV_ASSIGN(Ref make_iterator, py::module_attr(module.get(), py::names.array_iterator));
    return py::call(make_iterator.get(), result.get());
}

Result<Ref> source(PyObject* self) {
    LazyState& lazy = state_of(self);
    TV_ASSIGN(AccessState::Guard guard, lazy.access.shared());
    return lazy.source ? lazy.source.clone() : Ref::borrow(Py_None);
}

Result<Ref> length(PyObject* self) {
    LazyState& lazy = state_of(self);
    TV_ASSIGN(AccessState::Guard guard, lazy.access.shared());
    return made(PyLong_FromSize_t(lazy.operations.size()));
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    LazyState& lazy = state_of(self);
    Py_VISIT(lazy.source.get());
    for (const LazyOperation& op : lazy.operations) Py_VISIT(op.callable.get());
    Py_VISIT(lazy.cached.get());
    return 0;
}

// Each field is emptied before the references it held are dropped, so code
// run by those releases finds the object already cleared.
int clear(PyObject* self) noexcept {
    LazyState& lazy = state_of(self);
    lazy.source.reset();
    lazy.cached.reset();
    std::vector<LazyOperation> operations = std::move(lazy.operations);
    lazy.operations.clear();
    return 0;
}

constexpr std::size_t kRow = table::row_index("LazyArray");
static_assert(kRow < table::kRowCount);

// The method table, made from the class's method rows on first use.
template <std::size_t... K>
PyMethodDef* method_table(std::index_sequence<K...>) {
    constexpr auto rows = table::method_rows<sizeof...(K)>("LazyArray");
    static const std::string docs[] = {docstring(table::kRows[rows[K]])...};
    static PyMethodDef methods[] = {frame::method_def<rows[K]>(docs[K].c_str())..., {nullptr, nullptr, 0, nullptr}};
    return methods;
}

PyObject* g_type = nullptr;

Result<Ref> make_type() {
    using namespace frame;
    PyMethodDef* methods = method_table(std::make_index_sequence<table::method_count("LazyArray")>{});
    return make_class(table::kRows[kRow], static_cast<int>(sizeof(LazyObject)),
                      {
                          {Py_tp_new, as_slot(&new_entry<kRow>)},
                          {Py_tp_iter, as_slot(&slot_entry<iterate>)},
                          {Py_tp_methods, methods},
                          {Py_tp_traverse, as_slot(&traverse)},
                          {Py_tp_clear, as_slot(&clear)},
                          {Py_tp_dealloc, as_slot(&dealloc_instance<LazyState>)},
                      });
}

}  // namespace

Result<PyObject*> lazy_array_type() { return kept_class(g_type, make_type); }

// LazyArray(source), and lazy_array(array) through the same steps.
Result<Ref> new_lazy_array(const Call& call) {
    TV_ASSIGN(PyTypeObject * type, constructed_type(call, lazy_array_type));
    return create(type, Ref::borrow(call.args.object(0)), {});
}

Result<Ref> lazy_map(const Call& call) { return with_step<OperationKind::Map>(call); }
Result<Ref> lazy_filter(const Call& call) { return with_step<OperationKind::Filter>(call); }
Result<Ref> lazy_collect(const Call& call) { return collect(call.self); }
Result<Ref> lazy_source(const Call& call) { return source(call.self); }
Result<Ref> lazy_len(const Call& call) { return length(call.self); }

}  // namespace telvaran::classes
