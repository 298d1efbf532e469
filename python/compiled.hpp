#pragma once

// What the source files of the package's native module share.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "symbolic/symbolic.hpp"

namespace zarnik::python {

namespace py = pybind11;

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

// The argument conversions of Function's methods (compiled.cpp) that the
// sparse derivatives' methods share: the input values of a call, and the
// positions of the inputs that wrt= names.
struct FunctionArguments {
    std::vector<symbolic::SmallValue> (*values)(const PyFunction&, const py::args&);
    std::vector<std::size_t> (*wrt)(const PyFunction&, const py::object&);
};

// Function's sparse_jacobian, sparse_hessian and their patterns (sparse.cpp).
void bind_sparse(py::class_<PyFunction>& function_class, const FunctionArguments& arguments);

// zarnik.save's and zarnik.load's native halves, and the pickling and copying
// of Tape and Function (serialization.cpp).
void bind_serialization(py::module_& module);

// The lazy result of a batch method given a Dask array among its arguments,
// or None when there is none (lazy_rows.cpp): Dask is imported only then.
// `keywords` are the method's own, passed on to the batch of every chunk.
py::object lazy_rows(const char* method, const PyFunction& function, const py::args& arrays, const py::dict& keywords);

}  // namespace zarnik::python
