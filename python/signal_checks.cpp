#include "signal_checks.hpp"

#include <pybind11/pybind11.h>

namespace zarnik::python {

namespace py = pybind11;

void SignalCheck::check_released() {
    const py::gil_scoped_acquire locked;
    check_signals();
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

}  // namespace zarnik::python
