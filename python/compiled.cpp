// The native part of the package zarnik: compiled tapes and compiled
// functions of inputs, with batches over NumPy arrays. It works on the
// Expression objects of _zarnik and shares the one copy of the symbolic core
// with it (both link the core's shared library), so that node ids stay
// unique whichever module makes nodes. Each part is bound by a source file
// of its own (compiled.hpp).

#include <pybind11/pybind11.h>

#include <string>

#include "compiled.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/generate.hpp"
#include "symbolic/rows.hpp"

namespace py = pybind11;
using namespace zarnik::symbolic;
using namespace zarnik::python;

PYBIND11_MODULE(_compiled, m) {
    // Expression is _zarnik's: its type must be known before it is taken or returned.
    py::module_::import("_zarnik");

    bind_tape(m);
    bind_function(m);
    bind_problem(m);

    // Makes a node in the core and gives its id: with one copy of the core in
    // the process, its ids interleave with _zarnik's in creation order.
    m.def("_new_node_id", [] { return constant(0.0).id(); });

    // What zarnik.build_info() reports of the approximate batches.
    m.def("_approximate_kernels", [] { return std::string(approximate_kernels()); });

    bind_serialization(m);

    // How generated C code computes each operation of the core's list, for
    // the test that every operation has its C form.
    m.def("_c_operation_forms", [] {
        py::dict forms;
        for (const auto& [name, form] : c_operation_forms()) {
            forms[py::str(name)] = form;
        }
        return forms;
    });
}
