// A compiled function's batches over many rows: its outputs, their Jacobians,
// and a scalar output's sum and gradient, run with the interpreter's lock
// released, or made lazy over Dask arrays.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <vector>

#include "batch_arguments.hpp"
#include "call_arguments.hpp"
#include "compiled.hpp"
#include "signal_checks.hpp"
#include "symbolic/rows.hpp"

namespace zarnik::python {

using namespace symbolic;

void bind_function_batches(py::class_<PyFunction>& function_class) {
    function_class
        .def(
            "batch",
            [](const PyFunction& self, const py::args& args, const py::object& rows_given, const py::object& threads,
               const py::object& approximate) {
                if (py::object lazy = lazy_rows("batch", self, args, batch_keywords(rows_given, threads, approximate));
                    !lazy.is_none()) {
                    return lazy;
                }
                BatchSettings settings = batch_settings(self, threads, approximate);
                const Rows rows = batch_rows(self, args, rows_given);
                const std::vector<Value>& outputs = self.function.outputs();
                std::vector<Array> results;
                std::vector<double*> data;
                for (const Value& output : outputs) {
                    results.push_back(output_array(rows.count, output.dimension()));
                    data.push_back(results.back().mutable_data());
                }
                settings.options.parameter_values = settings.parameters;
                settings.options.check = SignalCheck();
                naming_failed_rows(self, rows, [&] {
                    const py::gil_scoped_release unlocked;
                    evaluate_rows(self.function, rows.count, rows.inputs, data, settings.options);
                });
                if (self.single_output) {
                    return py::object(results.front());
                }
                return py::object(py::cast(results));
            },
            py::arg("rows") = py::none(), py::arg("threads") = py::none(), py::arg("approximate") = false,
            R"(The outputs over many rows at once. Each input is given as rows, an array of shape (rows,) for a
scalar input or (rows, lanes), or as one value for every row: a number, its lanes (lanes,), or
(1, lanes). The inputs given as rows must agree on their number, or rows= says it when none is.
Gives an array of shape (rows,) or (rows, lanes) per output (a list of them for several outputs).
Runs in C++ with the interpreter's lock released, on `threads` threads (when None, as many cores as the work pays for,
and never more than the cores or the blocks of rows, whatever is asked; the results are the
same bits for any number); approximate=True computes the transcendental
functions with SLEEF's vectorised ones, within a few ULP of the exact mode, where the build has
them: zarnik.build_info()["approximate_kernels"] is None for a build without SLEEF, whose
approximate batches compute exactly, no faster. Dask arrays chunked by rows give lazy Dask arrays
instead, computed chunk by chunk wherever Dask runs them.

>>> import numpy as np, zarnik as zk
>>> x, a = zk.Undefined(name="x"), zk.Undefined(name="a")
>>> zk.function([x, a], x * a).batch(np.arange(3.0), 2.0).tolist()
[0.0, 2.0, 4.0])")
        .def(
            "batch_jacobian",
            [](const PyFunction& self, const py::args& args, const py::object& wrt, const py::object& rows_given,
               const py::object& threads, const py::object& approximate) -> py::object {
                const std::vector<std::size_t> positions = wrt_positions(self, wrt);
                py::dict keywords = batch_keywords(rows_given, threads, approximate);
                // As positions: an Expression would reach the workers as a node of its own.
                keywords["wrt"] = wrt.is_none() ? py::object(py::none()) : py::object(py::cast(positions));
                if (py::object lazy = lazy_rows("batch_jacobian", self, args, keywords); !lazy.is_none()) {
                    return lazy;
                }
                BatchSettings settings = batch_settings(self, threads, approximate);
                const Rows rows = batch_rows(self, args, rows_given);
                Array jacobians({static_cast<py::ssize_t>(rows.count),
                                 static_cast<py::ssize_t>(self.function.output_lanes()),
                                 static_cast<py::ssize_t>(lanes_of_inputs(self, positions))});
                double* const data = jacobians.mutable_data();
                settings.options.parameter_values = settings.parameters;
                settings.options.check = SignalCheck();
                naming_failed_rows(self, rows, [&] {
                    const py::gil_scoped_release unlocked;
                    jacobian_rows(self.function, rows.count, rows.inputs, positions, data, settings.options);
                });
                return jacobians;
            },
            py::arg("wrt") = py::none(), py::arg("rows") = py::none(), py::arg("threads") = py::none(),
            py::arg("approximate") = false,
            "The Jacobian of every row with respect to the inputs `wrt` (positions or input Expressions, in that "
            "order; every input when None), an array of shape (rows, output lanes, their lanes); inputs as batch "
            "takes them. Only those columns are computed: by forward sweeps when they are fewer than the output "
            "lanes (equal to jacobian's to rounding), else by reverse sweeps (its bits). A lazy Dask array for Dask "
            "arrays chunked by rows.")
        .def(
            "batch_value_and_grad",
            [](const PyFunction& self, const py::args& args, const py::object& wrt, const py::object& rows_given,
               const py::object& threads, const py::object& approximate) {
                if (self.function.output_lanes() != 1) {
                    throw py::value_error("batch_value_and_grad needs a function of one scalar output");
                }
                const std::vector<std::size_t> positions = wrt_positions(self, wrt);
                py::dict keywords = batch_keywords(rows_given, threads, approximate);
                // As positions: an Expression would reach the workers as a node of its own.
                keywords["wrt"] = wrt.is_none() ? py::object(py::none()) : py::object(py::cast(positions));
                if (py::object lazy = lazy_rows("batch_value_and_grad", self, args, keywords); !lazy.is_none()) {
                    return lazy;
                }
                BatchSettings settings = batch_settings(self, threads, approximate);
                const Rows rows = batch_rows(self, args, rows_given);
                std::vector<Array> gradients;
                std::vector<double*> data;
                for (const std::size_t k : positions) {
                    const int lanes = self.function.inputs()[k].dimension();
                    gradients.push_back(rows.inputs[k].every_row ? Array({static_cast<py::ssize_t>(lanes)})
                                                                 : output_array(rows.count, lanes));
                    data.push_back(gradients.back().mutable_data());
                }
                settings.options.parameter_values = settings.parameters;
                settings.options.check = SignalCheck();
                double value = 0.0;
                naming_failed_rows(self, rows, [&] {
                    const py::gil_scoped_release unlocked;
                    value =
                        value_and_grad_rows(self.function, rows.count, rows.inputs, positions, data, settings.options);
                });
                py::tuple all(gradients.size());
                for (std::size_t i = 0; i < gradients.size(); ++i) {
                    all[i] = gradients[i];
                }
                return py::object(py::make_tuple(value, all));
            },
            py::arg("wrt") = py::none(), py::arg("rows") = py::none(), py::arg("threads") = py::none(),
            py::arg("approximate") = false,
            R"(For one scalar output: its sum over the rows, and the gradient of that sum with respect to each
input in `wrt` (positions or input Expressions; every input when None), a tuple of arrays: for an
input given once for every row its summed gradient, shape (lanes,); for an input given as rows
each row's gradient, (rows,) or (rows, lanes). The value and gradient of a loss summed over data,
in one call; sums are taken in an order that does not depend on the number of threads. Dask
arrays chunked by rows give a lazy 0-d value and lazy gradients: each chunk sums its own rows,
and the chunks' sums are added in a tree.

>>> import numpy as np, zarnik as zk
>>> x, y, w = zk.Undefined(name="x"), zk.Undefined(name="y"), zk.Undefined(name="w")
>>> loss = zk.function([x, y, w], (w * x - y) * (w * x - y))
>>> value, (dw,) = loss.batch_value_and_grad([1.0, 2.0], [2.0, 4.0], 1.0, wrt=[w])
>>> value, dw.tolist()
(5.0, [-10.0]))");
}

}  // namespace zarnik::python
