#include "function_type.hpp"

#include "arguments.hpp"
#include "host/text.hpp"
#include "module_def.hpp"

#include <array>
#include <cstddef>

namespace vantor {

using host::Ref;

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Operation* op;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* weakrefs;  // weakref.ref() works on it, as on the host's functions
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// The object members, for traverse and dealloc.
std::array<PyObject**, 6> members(FunctionObject* fn) {
    return {&fn->name, &fn->qualname, &fn->module_name, &fn->doc, &fn->annotations, &fn->defaults};
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return host::guard<PyObject*>(nullptr, [&] {
        FunctionObject* fn = as_function(self);
        BoundArgs bound;
        bind_arguments(*fn->op, fn->defaults, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);  // borrowed
        if (module == nullptr) throw host::PyError{};
        return fn->op->invoke(host::Namespace(PyModule_GetDict(module)), bound).release();
    });
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject** member : members(as_function(self))) Py_VISIT(*member);
    return 0;
}

// Only the annotations dict is mutable, so only it can close a reference
// cycle, and only it is cleared: a function the collector cleared keeps its
// name, defaults and the rest, and can still be shown and called.
int function_clear(PyObject* self) {
    Py_CLEAR(as_function(self)->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    for (PyObject** member : members(fn)) Py_CLEAR(*member);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->op->name, self);
}

// inspect.signature() reads __signature__ first, so the real parameter
// list, defaults and annotations show in help() and editors.
PyObject* function_signature(PyObject* self, void*) noexcept {
    return host::guard<PyObject*>(nullptr, [&] {
        FunctionObject* fn = as_function(self);
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        Ref parameter_type = inspect.attr("Parameter");
        Ref kind = parameter_type.attr("POSITIONAL_OR_KEYWORD");
        Ref parameters = Ref::steal(PyList_New(0));
        std::span<const Param> params = fn->op->params();
        for (std::size_t j = 0; j < params.size(); ++j) {
            Ref name = host::text(params[j].name);
            // A function the collector cleared has no annotations left.
            host::Handle annotations = fn->annotations;
            Ref annotation = annotations ? annotations[params[j].name] : parameter_type.attr("empty");
            Ref parameter;
            if (PyObject* value = default_value(*fn->op, fn->defaults, j)) {
                parameter = parameter_type(name, kind, host::Kw{"default", value}, host::Kw{"annotation", annotation});
            } else {
                parameter = parameter_type(name, kind, host::Kw{"annotation", annotation});
            }
            host::check(PyList_Append(parameters.get(), parameter.get()));
        }
        Ref returns = host::text(fn->op->return_annotation);
        return inspect.attr("Signature")(parameters, host::Kw{"return_annotation", returns}).release();
    });
}

// Stored on a class it stays unbound, as a built-in function does. Having
// __get__ makes it a routine to inspect.isroutine(), which is what help()
// and pydoc go by to show it as a function with its signature, not as data.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

// Pickled by reference, like a module-level Python function.
PyObject* function_reduce(PyObject* self, PyObject*) { return PyUnicode_FromString(as_function(self)->op->name); }

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module_name), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vantor.vantor.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref annotations_of(const Operation& op) {
    Ref annotations = Ref::steal(PyDict_New());
    for (const Param& param : op.params()) {
        host::check(PyDict_SetItemString(annotations.get(), param.name, host::text(param.annotation()).get()));
    }
    host::check(PyDict_SetItemString(annotations.get(), "return", host::text(op.return_annotation).get()));
    return annotations;
}

// __defaults__: a tuple of the trailing parameters' defaults, or None.
Ref defaults_of(const Operation& op) {
    std::span<const Param> params = op.params();
    if (op.required == params.size()) return host::Handle(Py_None).new_ref();
    Ref defaults = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(params.size() - op.required)));
    for (std::size_t j = op.required; j < params.size(); ++j) {
        PyTuple_SET_ITEM(defaults.get(), j - op.required, host::text(params[j].default_text).release());
    }
    return defaults;
}

}  // namespace

Ref create_function_type(PyObject* module) {
    return Ref::steal(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
}

Ref create_function(host::Handle function_type, const Operation& op, const char* module_name) {
    Ref name = host::text(op.name);
    Ref module = host::text(module_name);
    Ref doc = host::text(op.doc);
    Ref annotations = annotations_of(op);
    Ref defaults = defaults_of(op);

    auto* type = reinterpret_cast<PyTypeObject*>(function_type.get());
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, type)));
    // Every field is set straight after allocation, before anything can run
    // that might traverse, clear or free the object.
    FunctionObject* fn = as_function(self.get());
    fn->vectorcall = function_vectorcall;
    fn->op = &op;
    fn->name = Py_NewRef(name.get());
    fn->qualname = name.release();
    fn->module_name = module.release();
    fn->doc = doc.release();
    fn->annotations = annotations.release();
    fn->defaults = defaults.release();
    fn->weakrefs = nullptr;
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace vantor
