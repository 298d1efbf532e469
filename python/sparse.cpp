// Sparse Jacobians and Hessians of compiled functions, as SciPy sparse
// arrays. SciPy is imported when one is asked for, not with the package.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "batch_arguments.hpp"
#include "call_arguments.hpp"
#include "compiled.hpp"
#include "signal_checks.hpp"

namespace zarnik::python {

namespace {

using namespace symbolic;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Indices = py::array_t<std::int64_t>;

const SparseDerivatives& sparse_of(const PyFunction& self) {
    if (!self.sparse) {
        self.sparse = std::make_shared<SparseDerivatives>(self.function);
    }
    return *self.sparse;
}

py::module_ scipy_sparse() {
    try {
        return py::module_::import("scipy.sparse");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ImportError)) {
            throw;
        }
        throw py::import_error("sparse derivatives are SciPy sparse arrays: they need SciPy (pip install scipy)");
    }
}

Indices indices(const std::vector<std::size_t>& from) {
    Indices out(static_cast<py::ssize_t>(from.size()));
    std::int64_t* const data = out.mutable_data();
    for (std::size_t i = 0; i < from.size(); ++i) {
        data[i] = static_cast<std::int64_t>(from[i]);
    }
    return out;
}

// The format keyword: "csc" (the default) or "coo".
bool coordinates(const py::object& format) {
    if (py::isinstance<py::str>(format)) {
        const auto text = format.cast<std::string>();
        if (text == "csc" || text == "coo") {
            return text == "coo";
        }
    }
    throw py::value_error("format must be \"csc\" or \"coo\", not " + py::repr(format).cast<std::string>());
}

// The entries `data`, in the pattern's order, as a SciPy sparse array.
py::object sparse_array(const SparsityPattern& pattern, const py::array& data, bool coo) {
    const py::module_ sparse = scipy_sparse();
    const py::tuple shape = py::make_tuple(pattern.rows, pattern.columns);
    if (coo) {
        return sparse.attr("coo_array")(
            py::make_tuple(data, py::make_tuple(indices(pattern.row_indices), indices(pattern.column_indices))),
            py::arg("shape") = shape);
    }
    return sparse.attr("csc_array")(py::make_tuple(data, indices(pattern.row_indices), indices(pattern.column_starts)),
                                    py::arg("shape") = shape);
}

py::object pattern_array(const SparsityPattern& pattern) {
    py::array_t<bool> ones(static_cast<py::ssize_t>(pattern.entries()));
    std::fill_n(ones.mutable_data(), pattern.entries(), true);
    return sparse_array(pattern, ones, false);
}

std::span<double> room(Doubles& values) { return {values.mutable_data(), static_cast<std::size_t>(values.size())}; }

}  // namespace

void bind_sparse(py::class_<PyFunction>& function_class) {
    function_class
        .def(
            "jacobian_sparsity",
            [](const PyFunction& self, const py::object& wrt) {
                return pattern_array(sparse_of(self).jacobian(wrt_positions(self, wrt))->pattern());
            },
            py::arg("wrt") = py::none(),
            R"(The structural pattern of the Jacobian (output lanes by the lanes of the inputs in `wrt`,
every input when None), a SciPy CSC array of booleans: the entries that may be non-zero at
some value of the inputs, found lane by lane from the graph.

>>> import zarnik as zk
>>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
>>> f = zk.function([x, y], [x * y, zk.sin(y)])
>>> f.jacobian_sparsity().toarray().tolist()
[[True, True], [False, True]])")
        .def(
            "hessian_sparsity",
            [](const PyFunction& self, const py::object& wrt) {
                return pattern_array(sparse_of(self).hessian(wrt_positions(self, wrt))->pattern());
            },
            py::arg("wrt") = py::none(),
            R"(The structural pattern of the Hessian over the lanes of the inputs in `wrt` of the scalar
output, or of any weighted sum of the output lanes (a Lagrangian): a symmetric SciPy CSC array
of booleans. x * y couples x with y, x * x x with itself, x + y nothing.

>>> import zarnik as zk
>>> x, y, z = zk.Undefined(name="x"), zk.Undefined(name="y"), zk.Undefined(name="z")
>>> f = zk.function([x, y, z], x * y + z * z + x)
>>> f.hessian_sparsity().toarray().astype(int).tolist()
[[0, 1, 0], [1, 0, 0], [0, 0, 1]])")
        .def(
            "sparse_jacobian",
            [](const PyFunction& self, const py::args& args, const py::object& wrt, const py::object& format) {
                const bool coo = coordinates(format);
                const std::vector<SmallValue> values = input_values(self, args);
                const std::shared_ptr<const SparseJacobian> jacobian =
                    sparse_of(self).jacobian(wrt_positions(self, wrt));
                Doubles entries(static_cast<py::ssize_t>(jacobian->pattern().entries()));
                (*jacobian)(values, room(entries), check_signals);
                return sparse_array(jacobian->pattern(), entries, coo);
            },
            py::arg("wrt") = py::none(), py::arg("format") = "csc",
            R"(The Jacobian at the input values, a SciPy sparse array (CSC, or COO with format="coo")
whose entries are those of jacobian_sparsity(wrt), always in the same order. Computed in one
sweep per colour of the pattern: forward sweeps seeded along columns that share no row, or
reverse sweeps along rows that share no column, whichever are fewer; where a derivative on the
way is not finite, a ValueError, as jvp raises.

>>> import zarnik as zk
>>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
>>> f = zk.function([x, y], [x * y, y * y])
>>> f.sparse_jacobian(2.0, 3.0).toarray().tolist()
[[3.0, 2.0], [0.0, 6.0]])")
        .def(
            "sparse_hessian",
            [](const PyFunction& self, const py::args& args, const py::object& wrt, const py::object& weights,
               const py::object& format) {
                const bool coo = coordinates(format);
                const std::vector<SmallValue> values = input_values(self, args);
                std::vector<double> multipliers;
                if (weights.is_none()) {
                    if (self.function.output_lanes() != 1) {
                        throw py::value_error("sparse_hessian needs weights= (one per output lane) for a function of " +
                                              std::to_string(self.function.output_lanes()) + " output lanes");
                    }
                    multipliers.push_back(1.0);
                } else {
                    const Array given = real_array(weights, "weights");
                    if (given.ndim() != 1) {
                        throw py::value_error("weights must be one-dimensional, one number per output lane");
                    }
                    multipliers.assign(given.data(), given.data() + given.size());
                }
                const std::shared_ptr<const SparseHessian> hessian = sparse_of(self).hessian(wrt_positions(self, wrt));
                Doubles entries(static_cast<py::ssize_t>(hessian->pattern().entries()));
                (*hessian)(values, multipliers, room(entries), check_signals);
                return sparse_array(hessian->pattern(), entries, coo);
            },
            py::arg("wrt") = py::none(), py::arg("weights") = py::none(), py::arg("format") = "csc",
            R"(The Hessian over the lanes of the inputs in `wrt` of the scalar output, or with
weights= (one number per output lane) of the weighted sum of the output lanes: a symmetric
SciPy sparse array (CSC, or COO with format="coo") whose entries are those of
hessian_sparsity(wrt), always in the same order. One Hessian-vector product per colour of a
star colouring of the pattern.

>>> import zarnik as zk
>>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
>>> f = zk.function([x, y], [x * y, y * y * y])
>>> f.sparse_hessian(2.0, 3.0, weights=[1.0, 0.5]).toarray().tolist()
[[0.0, 1.0], [1.0, 9.0]])");
}

}  // namespace zarnik::python
