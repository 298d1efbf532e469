#pragma once

// What the source files of the package's native module share.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "symbolic/derivatives.hpp"
#include "symbolic/function.hpp"
#include "symbolic/sparsity.hpp"

namespace zarnik::python {

namespace py = pybind11;

// The arrays the package takes and gives: doubles in C order.
using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A compiled function as Python sees it: one output given alone answers with
// its lanes, a sequence of outputs with a tuple of lanes per output.
struct PyFunction {
    symbolic::Function function;
    bool single_output;
    // Its derivatives (Hessians, jvp, hvp), compiled on first use and kept;
    // made under the interpreter's lock.
    mutable std::shared_ptr<symbolic::FunctionDerivatives> derivatives = nullptr;
    // Its sparse derivatives' patterns and sweeps, likewise.
    mutable std::shared_ptr<symbolic::SparseDerivatives> sparse = nullptr;
};

// The module's parts, each bound by its own source file: the class Tape and
// zarnik.compile (tape_class.cpp); the class Function and zarnik.function
// (function_class.cpp), whose methods come in groups: a call, its Jacobian and
// gradient (function_calls.cpp), the batches over rows (function_batches.cpp),
// Hessians, jvp and hvp (function_derivative_methods.cpp), and sparse
// Jacobians and Hessians with their patterns (sparse.cpp), C code generated
// from the function (function_generate.cpp); zarnik.save's and
// zarnik.load's native halves, and the pickling and copying of Tape and
// Function (serialization.cpp); the callbacks of a nonlinear program
// (problem.cpp).
void bind_tape(py::module_& module);
void bind_function(py::module_& module);
void bind_function_calls(py::class_<PyFunction>& function_class);
void bind_function_batches(py::class_<PyFunction>& function_class);
void bind_function_derivative_methods(py::class_<PyFunction>& function_class);
void bind_sparse(py::class_<PyFunction>& function_class);
void bind_problem(py::module_& module);
void bind_function_generate(py::class_<PyFunction>& function_class);
void bind_serialization(py::module_& module);

// The lazy result of a batch method given a Dask array among its arguments,
// or None when there is none (lazy_rows.cpp): Dask is imported only then.
// `keywords` are the method's own, passed on to the batch of every chunk.
py::object lazy_rows(const char* method, const PyFunction& function, const py::args& arrays, const py::dict& keywords);

}  // namespace zarnik::python
