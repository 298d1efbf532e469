// The class Tape, a graph recorded once, and zarnik.compile, which makes one.

#include <pybind11/pybind11.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "call_arguments.hpp"
#include "compiled.hpp"
#include "conversions.hpp"
#include "native_classes.hpp"
#include "symbolic/tape.hpp"

namespace zarnik::python {

using namespace symbolic;

namespace {

// "1 node", "2 nodes".
std::string counted(std::size_t count, const char* what) {
    return std::to_string(count) + ' ' + what + (count == 1 ? "" : "s");
}

std::string describe_tape(const Tape& tape) {
    std::ostringstream text;
    text << "<zarnik.Tape of " << counted(tape.size(), "node") << ", " << counted(tape.parameters().size(), "parameter")
         << ", output " << tape.output().debug_string() << '>';
    return text.str();
}

}  // namespace

void bind_tape(py::module_& m) {
    py::class_<Tape> tape_class(m, "Tape", R"(The graph below one expression, recorded once by zarnik.compile().

Each call reads the parameters' current values and gives exactly what the
expression's own calls give (lanes, errors and gradients), without walking
the graph again.

>>> import zarnik as zk
>>> p = zk.Parameter(3.0, name="p")
>>> tape = zk.compile(p * p + 1)
>>> tape.eval(), tape.backward(), p.grad
((10.0,), (10.0,), (6.0,)))");
    refuse_uninitialised_instances(tape_class);
    tape_class
        .def(
            "eval", [](const Tape& self) { return small_value_tuple(self.evaluate()); },
            "The output's lanes, from the parameters' current values.")
        .def(
            "backward",
            [](const Tape& self, const py::object& seed) {
                const std::optional<SmallValue> lanes = backward_seed(seed, input_double);
                return small_value_tuple(lanes ? self.backward(*lanes) : self.backward());
            },
            py::arg("seed") = py::none(),
            "Adds the gradients into the parameters as Expression.backward does, and returns the output's lanes.")
        .def("zero_grad", &Tape::zero_grad, "Removes the gradients of the graph's parameters.")
        .def_property_readonly(
            "parameters",
            [](const Tape& self) {
                const std::vector<Value>& all = self.parameters();
                py::tuple parameters(all.size());
                for (std::size_t i = 0; i < all.size(); ++i) {
                    parameters[i] = py::cast(all[i]);
                }
                return parameters;
            },
            "The graph's parameters, in evaluation order.")
        .def_property_readonly("output", &Tape::output, "The expression the tape was made from.")
        .def_property_readonly("nbytes", &Tape::memory_bytes, "The bytes the tape holds beyond the graph's nodes.")
        .def("__len__", &Tape::size, "The number of distinct nodes recorded.")
        .def("__repr__", &describe_tape);

    m.def(
        "compile", [](const Value& expression) { return Tape(expression); }, py::arg("expression"),
        R"(Records the graph below `expression` once, into a Tape whose calls skip the walk over it.

>>> import zarnik as zk
>>> a = zk.Parameter(2.0, name="a")
>>> zk.compile(zk.sin(a) * 0).eval()
(0.0,))");
}

}  // namespace zarnik::python
