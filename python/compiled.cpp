// The native part of the package zarnik: compiled tapes. It works on the
// Expression objects of _zarnik and shares the one copy of the symbolic core
// with it (both link the core's shared library), so that node ids stay
// unique whichever module makes nodes.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sstream>
#include <string>

#include "conversions.hpp"
#include "symbolic/symbolic.hpp"

namespace py = pybind11;
using namespace zarnik::symbolic;
using namespace zarnik::python;

namespace {

std::string describe(const Tape& tape) {
    std::ostringstream text;
    text << "<zarnik.Tape of " << tape.size() << " nodes, " << tape.parameters().size() << " parameters, output "
         << tape.output().debug_string() << '>';
    return text.str();
}

}  // namespace

PYBIND11_MODULE(_compiled, m) {
    // Expression is _zarnik's: its type must be known before it is taken or returned.
    py::module_::import("_zarnik");

    py::class_<Tape>(m, "Tape")
        .def("eval", [](const Tape& self) { return small_value_tuple(self.evaluate()); })
        .def(
            "backward",
            [](const Tape& self, const py::object& seed) {
                const std::optional<SmallValue> lanes = backward_seed(seed);
                return small_value_tuple(lanes ? self.backward(*lanes) : self.backward());
            },
            py::arg("seed") = py::none())
        .def("zero_grad", &Tape::zero_grad)
        .def_property_readonly("parameters",
                               [](const Tape& self) {
                                   const std::vector<Value>& all = self.parameters();
                                   py::tuple parameters(all.size());
                                   for (std::size_t i = 0; i < all.size(); ++i) {
                                       parameters[i] = py::cast(all[i]);
                                   }
                                   return parameters;
                               })
        .def_property_readonly("output", &Tape::output)
        .def_property_readonly("nbytes", &Tape::memory_bytes)
        .def("__len__", &Tape::size)
        .def("__repr__", &describe);

    m.def("compile", [](const Value& expression) { return Tape(expression); }, py::arg("expression"));

    // Makes a node in the core and gives its id: with one copy of the core in
    // the process, its ids interleave with _zarnik's in creation order.
    m.def("_new_node_id", [] { return constant(0.0).id(); });
}
