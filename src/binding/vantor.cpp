// Module entry: multi-phase initialisation of vantor.vantor.
//
// The module lives once per process: a second import returns the same
// object (even after it was dropped from sys.modules) and another
// interpreter is refused. So the module is held here for the life of the
// process, and it has no state of its own: its function type is owned by the
// functions, as any heap type is by its instances.
#include "config/service_settings.hpp"
#include "function_type.hpp"
#include "host/namespace.hpp"
#include "host/static_text.hpp"
#include "host/text.hpp"
#include "module_def.hpp"
#include "operation.hpp"

#include <cstdint>

namespace vantor {

namespace {

constexpr auto module_doc = host::join(
    "Recap engine: cuts, narrates, joins and converts video segments into a vertical recap.\n\n"
    "Built for the download service at ",
    settings::download_api_base, " and the speech service at ", settings::tts_host, ".");

// The initialised module (a strong reference, never released) and the
// interpreter it belongs to.
PyObject* the_module = nullptr;
int64_t owning_interpreter = -1;

// `from urllib.parse import quote`, with the ImportError that statement gives.
host::Ref import_from(const char* module_name, const char* name) {
    host::Ref module = host::Ref::steal(PyImport_ImportModule(module_name));
    PyObject* value = nullptr;
    if (host::check(PyObject_GetOptionalAttrString(module.get(), name, &value)) == 0) {
        host::raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
    }
    return host::Ref::steal(value);
}

void bind(PyObject* module, const char* name, host::Ref value) {
    host::check(PyModule_Add(module, name, value.release()));
}

void initialise(PyObject* module) {
    // The per-run bindings' context variable, where the Python layer's
    // `vantor.engine_run` finds it; the engine itself holds its own reference,
    // so rebinding this name changes nothing for the lookups.
    host::create_run_bindings("vantor.vantor.run_bindings");
    bind(module, "__run_bindings__", host::Handle(host::run_bindings()).new_ref());
    // Facilities next, each bound right after its import, in this order.
    for (const char* name : {"json", "subprocess", "requests", "base64", "re", "time", "os"}) {
        bind(module, name, host::Ref::steal(PyImport_ImportModule(name)));
    }
    bind(module, "quote", import_from("urllib.parse", "quote"));

    host::Ref function_type = create_function_type(module);
    for (const Operation* op : operations()) {
        bind(module, op->name, create_function(function_type, *op, "vantor.vantor"));
    }
    host::check(PyModule_SetDocString(module, module_doc.c_str()));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    return host::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current < 0) throw host::PyError{};
        if (owning_interpreter == -1) {
            owning_interpreter = current;
        } else if (owning_interpreter != current) {
            host::raise_format(PyExc_ImportError, "vantor.vantor can be loaded into one interpreter per process only");
        }
        if (the_module != nullptr) return Py_NewRef(the_module);
        return PyModule_NewObject(host::Handle(spec).attr("name").get());
    });
}

int module_exec(PyObject* module) noexcept {
    if (module == the_module) return 0;  // a repeated import: initialised already
    return host::guard(-1, [&] {
        initialise(module);
        the_module = Py_NewRef(module);
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantor.vantor",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace vantor

PyMODINIT_FUNC PyInit_vantor(void) { return PyModuleDef_Init(&vantor::module_def); }
