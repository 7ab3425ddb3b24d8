// PELORIX_MODULE, the entry point of a pelorix extension module.  A failure while the module body
// runs reaches the importer as it was raised, as it would from a module written in Python.
#pragma once

#include <nanobind/nanobind.h>

namespace pelorix {

// Runs a module body on the fresh module `m`: 0, or -1 with the body's Python exception set
// unchanged (a C++ exception is translated the way a native function's is).
int exec_module(PyObject* m, void (*body)(nanobind::module_)) noexcept;

}  // namespace pelorix

// PELORIX_MODULE(name, m) { ... } has NB_MODULE's shape and keeps all it does besides reporting
// errors: the same module definition (multi-phase initialisation with nanobind's slots) and the
// set-up of nanobind's internals for the module.  NB_MODULE wraps anything the body raises into
// "ImportError: Encountered an error while initializing the extension." with the cause only
// chained; here `ModuleNotFoundError: No module named 'numpy'`, or a sibling module's own error,
// is what the importer sees.  A failed import leaves nothing in sys.modules, so a later import
// runs the body again and fails (or succeeds) the same way.
#define PELORIX_MODULE(name, variable)                                                     \
    static void pelorix_module_body_##name(::nanobind::module_);                           \
    static int pelorix_module_exec_##name(PyObject* m) {                                   \
        ::nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);         \
        if (!::nanobind::detail::internals) return -1;                                     \
        return ::pelorix::exec_module(m, pelorix_module_body_##name);                      \
    }                                                                                      \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                   \
    extern "C" PyObject* PyInit_##name(void) {                                             \
        static PyObject* def = nullptr;                                                    \
        ::nanobind::detail::init_singletons();                                             \
        if (!::nanobind::detail::nb_backend_init(#name)) return nullptr;                   \
        if (!def)                                                                          \
            def = NB_CALL(module_new)(#name, nullptr,                                      \
                                      reinterpret_cast<void*>(pelorix_module_exec_##name), \
                                      NB_ABI_MINOR_TAG);                                   \
        return def;                                                                        \
    }                                                                                      \
    void pelorix_module_body_##name(::nanobind::module_ variable)
