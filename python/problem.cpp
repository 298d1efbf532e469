// The native half of zarnik.NLP: a nonlinear program's callbacks over one
// flat vector of variables, as solvers call them at every iteration, with
// the patterns of the constraints' Jacobian and the Lagrangian's Hessian
// found once. The solvers themselves are driven from Python (python/zarnik/_nlp.py).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "batch_arguments.hpp"
#include "compiled.hpp"
#include "native_classes.hpp"
#include "signal_checks.hpp"
#include "symbolic/problem.hpp"

namespace zarnik::python {

namespace {

using namespace symbolic;
using Indices = py::array_t<std::int32_t>;

// A one-dimensional array of `size` doubles, as the variables or the
// multipliers are given: real numbers only, as a batch takes them.
Array flat(const py::object& given, std::size_t size, const char* what) {
    Array array = real_array(given, what);
    if (array.ndim() != 1 || static_cast<std::size_t>(array.size()) != size) {
        throw py::value_error(std::string(what) + " must be a one-dimensional array of " + std::to_string(size) +
                              " numbers");
    }
    return array;
}

std::span<const double> read(const Array& array) { return {array.data(), static_cast<std::size_t>(array.size())}; }

Array room(std::size_t size) { return Array(static_cast<py::ssize_t>(size)); }

std::span<double> write(Array& array) { return {array.mutable_data(), static_cast<std::size_t>(array.size())}; }

// Row and column indices, 32-bit as interior-point solvers take them.
py::tuple structure(const SparsityPattern& pattern) {
    Indices rows(static_cast<py::ssize_t>(pattern.entries()));
    Indices columns(static_cast<py::ssize_t>(pattern.entries()));
    for (std::size_t k = 0; k < pattern.entries(); ++k) {
        rows.mutable_data()[k] = static_cast<std::int32_t>(pattern.row_indices[k]);
        columns.mutable_data()[k] = static_cast<std::int32_t>(pattern.column_indices[k]);
    }
    return py::make_tuple(rows, columns);
}

}  // namespace

void bind_problem(py::module_& m) {
    py::class_<NonlinearProblem> problem_class(
        m, "_NonlinearProblem",
        "A nonlinear program's callbacks over one flat vector of variables (zarnik.NLP holds one).");
    refuse_uninitialised_instances(problem_class);
    problem_class.def_property_readonly("variables", &NonlinearProblem::variables)
        .def_property_readonly("constraints", &NonlinearProblem::constraints)
        .def("jacobian_structure", [](const NonlinearProblem& self) { return structure(self.jacobian_pattern()); })
        .def("hessian_structure", [](const NonlinearProblem& self) { return structure(self.hessian_pattern()); })
        .def("objective", [](const NonlinearProblem& self,
                             const py::object& x) { return self.objective(read(flat(x, self.variables(), "x"))); })
        .def("gradient",
             [](const NonlinearProblem& self, const py::object& x) {
                 Array gradient = room(self.variables());
                 self.gradient(read(flat(x, self.variables(), "x")), write(gradient));
                 return gradient;
             })
        .def("constraint_values",
             [](const NonlinearProblem& self, const py::object& x) {
                 Array values = room(self.constraints());
                 self.constraint_values(read(flat(x, self.variables(), "x")), write(values));
                 return values;
             })
        .def("jacobian",
             [](const NonlinearProblem& self, const py::object& x) {
                 Array values = room(self.jacobian_pattern().entries());
                 self.jacobian(read(flat(x, self.variables(), "x")), write(values), check_signals);
                 return values;
             })
        .def("hessian",
             [](const NonlinearProblem& self, const py::object& x, double objective_factor,
                const py::object& multipliers) {
                 Array values = room(self.hessian_pattern().entries());
                 self.hessian(read(flat(x, self.variables(), "x")), objective_factor,
                              read(flat(multipliers, self.constraints(), "multipliers")), write(values), check_signals);
                 return values;
             })
        .def(
            "__reduce__",
            [](const NonlinearProblem& self) {
                const py::module_ compiled = py::module_::import("zarnik._compiled");
                return py::make_tuple(compiled.attr("_nonlinear_problem"),
                                      py::make_tuple(PyFunction{self.function(), false}));
            },
            "Pickles the problem as its function.");
    m.def(
        "_nonlinear_problem", [](const PyFunction& function) { return NonlinearProblem(function.function); },
        py::arg("function"),
        "The callbacks of the program whose objective is the function's first output (one lane) and whose "
        "constraints are the lanes of the others, over the lanes of its inputs.");
}

}  // namespace zarnik::python
