// Module entry: multi-phase initialisation of vantor.vantor.
//
// The module lives once per process: a second import returns the same
// object (even after it was dropped from sys.modules) and another
// interpreter is refused.
#include "config/service_settings.hpp"
#include "function_type.hpp"
#include "host/text.hpp"
#include "module_def.hpp"
#include "operation.hpp"

#include <cstdint>

namespace vantor {

namespace {

struct ModuleState {
    PyObject* function_type;
};

// The initialised module, kept for the life of the process, and its function
// type (borrowed: the module state owns it).
PyObject* the_module = nullptr;
PyObject* the_function_type = nullptr;
int64_t owning_interpreter = -1;

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

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
    // Facilities first, each bound right after its import, in this order.
    for (const char* name : {"json", "subprocess", "requests", "base64", "re", "time", "os"}) {
        bind(module, name, host::Ref::steal(PyImport_ImportModule(name)));
    }
    bind(module, "quote", import_from("urllib.parse", "quote"));

    ModuleState* state = state_of(module);
    state->function_type = create_function_type(module);
    if (state->function_type == nullptr) throw host::PyError{};

    for (const Operation* op : operations()) {
        bind(module, op->name, create_function(state->function_type, *op, "vantor.vantor"));
    }

    host::Ref doc = host::format(
        "Recap engine: cuts, narrates, joins and converts video segments into a vertical recap.\n\n"
        "Built for the download service at %s and the speech service at %s.",
        settings::download_api_base, settings::tts_host);
    host::check(PyModule_SetDocString(module, PyUnicode_AsUTF8(doc.get())));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return nullptr;
    if (owning_interpreter == -1) {
        owning_interpreter = current;
    } else if (owning_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "vantor.vantor can be loaded into one interpreter per process only");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    return host::guard<PyObject*>(nullptr, [&] {
        return PyModule_NewObject(host::Handle(spec).attr("name").get());
    });
}

int module_exec(PyObject* module) noexcept {
    if (module == the_module) {
        // Already initialised. A repeated import hands the module a fresh,
        // zeroed state and drops the pointer to the old one without freeing
        // it, so the old block's reference to the type can never be released
        // there: the new state takes that reference over instead of adding one.
        ModuleState* state = state_of(module);
        if (state != nullptr && state->function_type == nullptr) {
            state->function_type = the_function_type;
        }
        return 0;
    }
    return host::guard(-1, [&] {
        initialise(module);
        the_module = Py_NewRef(module);
        the_function_type = state_of(module)->function_type;
        return 0;
    });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    if (state != nullptr) Py_VISIT(state->function_type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state != nullptr) Py_CLEAR(state->function_type);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

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
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace vantor

PyMODINIT_FUNC PyInit_vantor(void) { return PyModuleDef_Init(&vantor::module_def); }
