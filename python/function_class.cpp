// The class Function, expressions compiled as a function of some of their
// leaves, and zarnik.function, which makes one. Its methods are bound in
// groups, each by its own source file (compiled.hpp).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sstream>
#include <string>

#include "call_arguments.hpp"
#include "compiled.hpp"
#include "native_classes.hpp"

namespace zarnik::python {

using namespace symbolic;

namespace {

// The choice of `nonfinite`, by its name.
NonFinite nonfinite_of(const py::handle& name) {
    if (py::isinstance<py::str>(name)) {
        const std::string text = name.cast<std::string>();
        if (text == "raise") {
            return NonFinite::raise;
        }
        if (text == "propagate") {
            return NonFinite::propagate;
        }
    }
    throw py::value_error("nonfinite must be 'raise' or 'propagate', not " + py::repr(name).cast<std::string>());
}

// "1 input", "2 inputs".
std::string counted(std::size_t count, const char* what) {
    return std::to_string(count) + ' ' + what + (count == 1 ? "" : "s");
}

std::string describe_function(const PyFunction& self) {
    std::ostringstream text;
    text << "<zarnik.Function of " << counted(self.function.inputs().size(), "input") << " ("
         << counted(self.function.input_lanes(), "lane") << ") to " << counted(self.function.outputs().size(), "output")
         << " (" << counted(self.function.output_lanes(), "lane") << ")>";
    return text.str();
}

}  // namespace

void bind_function(py::module_& m) {
    py::class_<PyFunction> function_class(
        m, "Function", R"(Expressions compiled by zarnik.function() as a function of some of their leaves.

A call gives each input a value and touches no node: it sets no value and
writes no gradient. Parameters that are not inputs are read at each call.

>>> import zarnik as zk
>>> x = zk.Undefined(name="x")
>>> w = zk.Parameter(2.0, name="w")
>>> f = zk.function([x, w], w * x * x)
>>> f(3.0, 0.5)
(4.5,)
>>> f.jacobian(3.0, 0.5).tolist()
[[3.0, 9.0]])");
    refuse_uninitialised_instances(function_class);
    bind_function_calls(function_class);
    bind_function_batches(function_class);
    bind_function_derivative_methods(function_class);
    bind_sparse(function_class);
    bind_function_generate(function_class);
    function_class
        .def_property_readonly("inputs",
                               [](const PyFunction& self) { return py::tuple(py::cast(self.function.inputs())); })
        .def_property_readonly("outputs",
                               [](const PyFunction& self) { return py::tuple(py::cast(self.function.outputs())); })
        .def_property_readonly(
            "parameters", [](const PyFunction& self) { return py::tuple(py::cast(self.function.parameters())); },
            "The parameters below the outputs that are not inputs, each once, in the order of a walk over the "
            "outputs in turn that reaches each operand before its user: the values a batch reads once.")
        .def_property_readonly(
            "nonfinite",
            [](const PyFunction& self) {
                return self.function.nonfinite() == NonFinite::propagate ? "propagate" : "raise";
            },
            "'raise' (a value that is not finite fails the call) or 'propagate' (IEEE results, no check), as "
            "function() was given.")
        .def_property_readonly("input_lanes", [](const PyFunction& self) { return self.function.input_lanes(); })
        .def_property_readonly("output_lanes", [](const PyFunction& self) { return self.function.output_lanes(); })
        .def("__repr__", &describe_function);
    // The stubs make Function generic in the shape of its answers; at run
    // time Function[...] gives the alias, as the standard library's generic
    // classes do.
    function_class.attr("__class_getitem__") =
        py::reinterpret_steal<py::object>(PyClassMethod_New(py::module_::import("types").attr("GenericAlias").ptr()));

    m.def(
        "function",
        [](const py::object& inputs, const py::object& outputs, const py::handle& nonfinite) {
            const NonFinite mode = nonfinite_of(nonfinite);
            return PyFunction{Function(values_of(inputs, "inputs"), values_of(outputs, "outputs"), mode),
                              py::isinstance<Value>(outputs)};
        },
        py::arg("inputs"), py::arg("outputs"), py::kw_only(), py::arg("nonfinite") = "raise",
        R"(Compiles `outputs` (an expression or a sequence of them) as a function of `inputs`
(placeholders and/or parameters of their graphs).

`nonfinite="raise"` (the default): a value that is not finite, computed or
given, fails the call (and a batch, naming its row) with a ValueError, as
evaluation does, a branch of `where` that is not taken aside.
`nonfinite="propagate"`: IEEE results as NumPy and JAX give them: inf and
NaN flow on to the outputs and derivatives, with no check and no error.

>>> import zarnik as zk
>>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
>>> f = zk.function([x, y], [x * y, x + y])
>>> f(2.0, 3.0)
((6.0,), (5.0,))
>>> g = zk.function([x], zk.log(x), nonfinite="propagate")
>>> g(0.0), g(-1.0)[0] != g(-1.0)[0]
((-inf,), True))");
}

}  // namespace zarnik::python
