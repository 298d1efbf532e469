// A compiled function's derivatives beyond its Jacobian: Hessians, of one
// value per input or of every row, and the products jvp and hvp, compiled
// on first use and kept with the function.

#include <pybind11/pybind11.h>

#include <memory>
#include <span>
#include <vector>

#include "batch_arguments.hpp"
#include "call_arguments.hpp"
#include "compiled.hpp"
#include "signal_checks.hpp"

namespace zarnik::python {

using namespace symbolic;

namespace {

const FunctionDerivatives& derivatives_of(const PyFunction& self) {
    if (!self.derivatives) {
        self.derivatives = std::make_shared<FunctionDerivatives>(self.function);
    }
    return *self.derivatives;
}

Array square(std::size_t lanes) { return Array({static_cast<py::ssize_t>(lanes), static_cast<py::ssize_t>(lanes)}); }

}  // namespace

void bind_function_derivative_methods(py::class_<PyFunction>& function_class) {
    function_class
        .def(
            "hessian",
            [](const PyFunction& self, const py::args& args, const py::object& wrt) {
                const std::vector<SmallValue> values = input_values(self, args);
                const std::shared_ptr<const Hessian> hessian = derivatives_of(self).hessian(wrt_positions(self, wrt));
                Array result = square(hessian->lanes());
                (*hessian)(values, std::span<double>(result.mutable_data(), static_cast<std::size_t>(result.size())));
                return result;
            },
            py::arg("wrt") = py::none(),
            R"(For one scalar output: the matrix of its second derivatives over the lanes of the inputs in
`wrt` (all inputs by default; an input or a sequence of them, in that order), a symmetric
NumPy array. Compiled on first use for each `wrt`: by default as one graph of the lower
triangle's entries, the gradient graph's derivatives in the direction of each lane
(forward-over-reverse), evaluated in one forward sweep; where that graph would cost more
than a reverse sweep per lane, as the Jacobian of the compiled gradient.

>>> import zarnik as zk
>>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
>>> f = zk.function([x, y], x * x * y + y * y * y)
>>> f.hessian(1.0, 2.0).tolist()
[[4.0, 2.0], [2.0, 12.0]]
>>> f.hessian(1.0, 2.0, wrt=y).tolist()
[[12.0]])")
        .def(
            "batch_hessian",
            [](const PyFunction& self, const py::args& args, const py::object& wrt, const py::object& rows_given) {
                const Rows rows = batch_rows(self, args, rows_given);
                const std::shared_ptr<const Hessian> hessian = derivatives_of(self).hessian(wrt_positions(self, wrt));
                const auto lanes = static_cast<py::ssize_t>(hessian->lanes());
                Array hessians({static_cast<py::ssize_t>(rows.count), lanes, lanes});
                double* const data = hessians.mutable_data();
                const std::vector<double> parameters = hessian->parameter_values();
                {
                    const py::gil_scoped_release unlocked;
                    hessian->rows(rows.count, rows.inputs, data, parameters, SignalCheck());
                }
                return hessians;
            },
            py::arg("wrt") = py::none(), py::arg("rows") = py::none(),
            R"(The Hessian of every row, an array of shape (rows, lanes, lanes), from inputs as batch takes
them (rows, or one value for every row). Runs in C++ with the interpreter's lock released;
Ctrl-C stops it between blocks of rows.

>>> import numpy as np, zarnik as zk
>>> x = zk.Undefined(name="x")
>>> zk.function(x, x * x * x).batch_hessian(np.array([1.0, 2.0])).tolist()
[[[6.0]], [[12.0]]])")
        .def(
            "jvp",
            [](const PyFunction& self, const py::object& values, const py::object& tangents) {
                const std::vector<SmallValue> at = values_per_input(self, values, "values");
                const std::vector<SmallValue> directions = values_per_input(self, tangents, "tangents");
                std::vector<SmallValue> outputs(self.function.outputs().size());
                std::vector<SmallValue> derivatives(outputs.size());
                derivatives_of(self).jvp(at, directions, outputs, derivatives);
                return py::make_tuple(answer(self, outputs), answer(self, derivatives));
            },
            py::arg("values"), py::arg("tangents"),
            R"(The outputs at `values` and their derivatives in the direction `tangents` (each a sequence of
one value per input), in one forward sweep: a pair of answers shaped as a call's.

>>> import zarnik as zk
>>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
>>> f = zk.function([x, y], x * y)
>>> f.jvp([2.0, 3.0], [1.0, 0.5])
((6.0,), (4.0,)))")
        .def(
            "hvp",
            [](const PyFunction& self, const py::object& values, const py::object& vector) {
                const std::vector<SmallValue> at = values_per_input(self, values, "values");
                const Array direction = batch_array(vector, 0);
                if (direction.ndim() != 1) {
                    throw py::value_error("the vector must be one-dimensional, one value per input lane");
                }
                Array product({static_cast<py::ssize_t>(self.function.input_lanes())});
                derivatives_of(self).hvp(
                    at, std::span<const double>(direction.data(), static_cast<std::size_t>(direction.size())),
                    std::span<double>(product.mutable_data(), static_cast<std::size_t>(product.size())));
                return product;
            },
            py::arg("values"), py::arg("vector"),
            R"(For one scalar output: its Hessian at `values` (a sequence of one value per input) times
`vector` (one number per input lane), without forming the Hessian: the gradient graph's
derivative in that direction, in one forward sweep.

>>> import zarnik as zk
>>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
>>> f = zk.function([x, y], x * x * y + y * y * y)
>>> f.hvp([1.0, 2.0], [1.0, 0.0]).tolist()
[4.0, 2.0])");
}

}  // namespace zarnik::python
