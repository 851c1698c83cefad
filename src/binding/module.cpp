/*
 * The orvantile_cbor module: its initialisation function, its attributes and
 * the dumps binding.
 */

#include "dumps.h"
#include "errors.h"
#include "nesting.h"
#include "refused_arguments.h"
#include "value_caster.h"

#if defined(ORVANTILE_ALLOCATION_HOOKS)
#include "allocation.h"
#endif

#include <pybind11/pybind11.h>

#include <cstring>

#ifndef ORVANTILE_TARGET_PYTHON
#error "ORVANTILE_TARGET_PYTHON must name the Python version the module is built for, such as \"3.11\""
#endif

namespace py = pybind11;

namespace {
py::module_::module_def module_definition;

constexpr const char module_doc[] =
    "\n"
    "        Orvantile cbor\n"
    "        -----------------------\n"
    "\n"
    "        .. currentmodule:: orvantile_cbor\n"
    "\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "\n"
    "           dumps\n"
    "    ";

constexpr const char dumps_doc[] = "\n    Dump a Python object to cbor\n    ";

/* "3.1" must not accept a 3.10 interpreter, hence the test of the next character. */
bool interpreter_matches_target(const char *interpreter_version) {
    const size_t length = std::strlen(ORVANTILE_TARGET_PYTHON);
    const char next = interpreter_version[length];
    return std::strncmp(interpreter_version, ORVANTILE_TARGET_PYTHON, length) == 0 && !(next >= '0' && next <= '9');
}

/* The encoder's errors that Python already holds stay as they are: pybind11
 * returns null to the interpreter once a translator has handled one. */
void keep_pending_error(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const python_error_pending &) {
    }
}

void define_module(py::module_ &module) {
    py::register_local_exception_translator(keep_pending_error);
    module.doc() = module_doc;
    module.def(
        "dumps",
        [](const value_argument &value, indefinite_flag indefinite, depth_limit max_depth) {
            if (value.refused || indefinite.refused || max_depth.refused) return refused_call();
            return dumps_impl(value.value, indefinite.value, max_depth.value);
        },
        py::arg(dumps_parameters[0]), py::arg(dumps_parameters[1]) = true, py::arg(dumps_parameters[2]) = 0, dumps_doc);
    check_calls_of_dumps(module.attr("dumps"));
    module.attr("__version__") = "6.7.8";
    /* The importing thread, usually the one that calls dumps, finds its stack floor now rather than in its first call. */
    encoder_stack_floor();
#if defined(ORVANTILE_ALLOCATION_HOOKS)
    /* Test builds only: make the codec's nth allocation from now fail. */
    module.def("_fail_allocation_at", &cbor_fail_allocation_at, py::arg("n"));
    module.def("_allocation_count", &cbor_allocation_count);
#endif
}
}  // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_orvantile_cbor() {
    const char *interpreter_version = Py_GetVersion();
    if (!interpreter_matches_target(interpreter_version)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, "
                     "but the interpreter version is incompatible: %s.",
                     ORVANTILE_TARGET_PYTHON, interpreter_version);
        return nullptr;
    }
    PYBIND11_ENSURE_INTERNALS_READY

    py::module_ module;
    try {
        module = py::module_::create_extension_module("orvantile_cbor", nullptr, &module_definition);
    } catch (py::error_already_set &error) {
        error.restore();
        return nullptr;
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_ImportError, error.what());
        return nullptr;
    }

    try {
        define_module(module);
        return module.ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
}
