// A compiled function's calls at one value per input: its outputs, their
// Jacobian and a scalar output's gradient.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <span>
#include <vector>

#include "call_arguments.hpp"
#include "compiled.hpp"

namespace zarnik::python {

using namespace symbolic;

void bind_function_calls(py::class_<PyFunction>& function_class) {
    function_class
        .def(
            "__call__",
            [](const PyFunction& self, const py::args& args) {
                const std::vector<SmallValue> values = input_values(self, args);
                return answer(self, naming_failures(self, values, [&] { return self.function(values); }));
            },
            "The outputs' lanes at one value per input (a number or a sequence of 1..4 numbers).")
        .def(
            "jacobian",
            [](const PyFunction& self, const py::args& args, const py::object& wrt) {
                const std::vector<SmallValue> values = input_values(self, args);
                const std::vector<std::size_t> positions = wrt_positions(self, wrt);
                const std::size_t all = self.function.input_lanes();
                const std::size_t outputs = self.function.output_lanes();
                Array full({static_cast<py::ssize_t>(outputs), static_cast<py::ssize_t>(all)});
                naming_failures(self, values, [&] {
                    self.function.jacobian(
                        values, std::span<double>(full.mutable_data(), static_cast<std::size_t>(full.size())));
                });
                if (wrt.is_none()) {
                    return full;
                }
                // One reverse sweep per output lane gives every column at once: the
                // columns asked for cost nothing beyond them.
                std::vector<std::size_t> first(self.function.inputs().size());
                for (std::size_t k = 1; k < first.size(); ++k) {
                    first[k] = first[k - 1] + static_cast<std::size_t>(self.function.inputs()[k - 1].dimension());
                }
                const std::size_t width = lanes_of_inputs(self, positions);
                Array chosen({static_cast<py::ssize_t>(outputs), static_cast<py::ssize_t>(width)});
                double* to = chosen.mutable_data();
                for (std::size_t o = 0; o < outputs; ++o) {
                    for (const std::size_t k : positions) {
                        to = std::copy_n(full.data() + o * all + first[k], self.function.inputs()[k].dimension(), to);
                    }
                }
                return chosen;
            },
            py::arg("wrt") = py::none(),
            "The Jacobian of all output lanes (rows) against the lanes of the inputs `wrt` (positions or input "
            "Expressions, in that order; every input when None), a NumPy array.")
        .def(
            "value_and_grad",
            [](const PyFunction& self, const py::args& args) {
                if (self.function.output_lanes() != 1) {
                    throw py::value_error("value_and_grad needs a function of one scalar output");
                }
                const std::vector<SmallValue> values = input_values(self, args);
                Array gradient({static_cast<py::ssize_t>(self.function.input_lanes())});
                SmallValue value;
                naming_failures(self, values, [&] {
                    self.function.jacobian(
                        values, std::span<double>(gradient.mutable_data(), static_cast<std::size_t>(gradient.size())),
                        std::span<SmallValue>(&value, 1));
                });
                return py::make_tuple(value.lanes[0], gradient);
            },
            "For one scalar output: its value and its gradient against all input lanes.");
}

}  // namespace zarnik::python
