// The native part of the package zarnik: compiled tapes and compiled
// functions of inputs, with batches over NumPy arrays. It works on the
// Expression objects of _zarnik and shares the one copy of the symbolic core
// with it (both link the core's shared library), so that node ids stay
// unique whichever module makes nodes.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "compiled.hpp"
#include "conversions.hpp"
#include "native_classes.hpp"
#include "symbolic/symbolic.hpp"

namespace py = pybind11;
using namespace zarnik::symbolic;
using namespace zarnik::python;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// An Expression or a sequence of them.
std::vector<Value> values_of(const py::handle& object, const char* what) {
    if (py::isinstance<Value>(object)) {
        return {py::cast<Value>(object)};
    }
    if (!is_sequence(object)) {
        throw py::type_error(std::string(what) + " must be an Expression or a sequence of Expressions");
    }
    std::vector<Value> values;
    for (const py::handle& item : py::reinterpret_borrow<py::sequence>(object)) {
        if (!py::isinstance<Value>(item)) {
            throw py::type_error(std::string(what) + " must be an Expression or a sequence of Expressions");
        }
        values.push_back(py::cast<Value>(item));
    }
    return values;
}

// Whether the error being raised says nothing about the argument that was
// being converted: the user interrupted, memory ran out, the interpreter is
// exiting. Such an error propagates as itself through the package's
// conversions; any other is reported as the argument's.
bool raised_beyond_the_argument() {
    return PyErr_ExceptionMatches(PyExc_MemoryError) != 0 || PyErr_ExceptionMatches(PyExc_Exception) == 0;
}

// A number as _zarnik converts one (anything with __float__ or __index__,
// the same error otherwise), except for errors beyond the argument.
double input_double(const py::handle& object) {
    const double value = PyFloat_AsDouble(object.ptr());
    if (value != -1.0 || PyErr_Occurred() == nullptr) {
        return value;
    }
    if (raised_beyond_the_argument()) {
        throw py::error_already_set();
    }
    const bool wrong_type = PyErr_ExceptionMatches(PyExc_TypeError) != 0;
    PyErr_Clear();
    if (wrong_type && PyNumber_Check(object.ptr()) != 0) {
        const auto number = py::reinterpret_steal<py::object>(PyNumber_Float(object.ptr()));
        if (number && PyFloat_Check(number.ptr())) {
            return PyFloat_AS_DOUBLE(number.ptr());
        }
        if (!number && raised_beyond_the_argument()) {
            throw py::error_already_set();
        }
        PyErr_Clear();
    }
    throw py::cast_error("Unable to cast Python instance of type " +
                         py::str(py::type::handle_of(object)).cast<std::string>() + " to C++ type 'double'");
}

// The value of one input: a number (a 0-d array counts as the number it
// holds), or a sequence of 1..4 numbers.
SmallValue input_value(const py::handle& value, std::size_t k) {
    if (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() == 0) {
        return small_value(input_double(value[py::tuple()]));
    }
    const std::string label = "input " + std::to_string(k);
    return is_sequence(value) ? parse_small_value_sequence(value, label.c_str(), input_double)
                              : small_value(input_double(value));
}

std::vector<SmallValue> input_values(const PyFunction& self, const py::args& args) {
    if (args.size() != self.function.inputs().size()) {
        throw py::type_error("the function takes " + std::to_string(self.function.inputs().size()) +
                             " input values, not " + std::to_string(args.size()));
    }
    std::vector<SmallValue> values;
    for (std::size_t k = 0; k < args.size(); ++k) {
        values.push_back(input_value(args[k], k));
    }
    return values;
}

py::object answer(const PyFunction& self, const std::vector<SmallValue>& outputs) {
    if (self.single_output) {
        return small_value_tuple(outputs.front());
    }
    py::tuple all(outputs.size());
    for (std::size_t j = 0; j < outputs.size(); ++j) {
        all[j] = small_value_tuple(outputs[j]);
    }
    return all;
}

// The rows of a batch: one array per input, (rows,) or (rows, lanes).
struct Rows {
    std::vector<Array> arrays;
    std::vector<const double*> data;
    std::size_t count = 0;
};

// One input array of a batch: real numbers only (booleans, integers and
// floats; not complex numbers, strings, dates or objects, which a cast to
// floats would quietly reinterpret), as doubles at aligned addresses in C
// order, which the rows are read as (copied when the array is not that).
Array batch_array(const py::handle& object, std::size_t k) {
    using Api = py::detail::npy_api;
    const Api& api = Api::get();
    const auto array = py::reinterpret_steal<py::array>(
        api.PyArray_FromAny_(object.ptr(), nullptr, 0, 0, Api::NPY_ARRAY_ENSUREARRAY_, nullptr));
    if (!array) {
        if (raised_beyond_the_argument()) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        throw py::type_error("input array " + std::to_string(k) + " must be convertible to an array of floats");
    }
    const char kind = array.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
        throw py::type_error("input array " + std::to_string(k) +
                             " must hold real numbers (booleans, integers or floats), not " +
                             py::str(array.dtype()).cast<std::string>());
    }
    const int wanted = Api::NPY_ARRAY_ENSUREARRAY_ | Api::NPY_ARRAY_C_CONTIGUOUS_ | Api::NPY_ARRAY_ALIGNED_ |
                       Api::NPY_ARRAY_FORCECAST_;
    auto doubles = py::reinterpret_steal<Array>(
        api.PyArray_FromAny_(array.ptr(), py::dtype::of<double>().release().ptr(), 0, 0, wanted, nullptr));
    if (!doubles) {
        throw py::error_already_set();
    }
    return doubles;
}

Rows batch_rows(const PyFunction& self, const py::args& args) {
    const std::vector<Value>& inputs = self.function.inputs();
    if (args.size() != inputs.size()) {
        throw py::type_error("the function takes " + std::to_string(inputs.size()) + " input arrays, not " +
                             std::to_string(args.size()));
    }
    if (inputs.empty()) {
        throw py::type_error("a batch needs a function of at least one input");
    }
    Rows rows;
    for (std::size_t k = 0; k < args.size(); ++k) {
        Array array = batch_array(args[k], k);
        const auto lanes = static_cast<py::ssize_t>(inputs[k].dimension());
        const bool fits = (array.ndim() == 1 && lanes == 1) || (array.ndim() == 2 && array.shape(1) == lanes);
        if (!fits) {
            throw py::value_error("input array " + std::to_string(k) + " must have the shape " +
                                  (lanes == 1 ? std::string("(rows,) or (rows, 1)")
                                              : "(rows, " + std::to_string(lanes) + ")"));
        }
        const auto count = static_cast<std::size_t>(array.shape(0));
        if (k > 0 && count != rows.count) {
            throw py::value_error("input arrays must have the same number of rows");
        }
        rows.count = count;
        rows.data.push_back(array.data());
        rows.arrays.push_back(std::move(array));
    }
    return rows;
}

// Runs between blocks of a batch, which runs with the interpreter's lock
// released: every 20 ms it takes the lock back for a moment to run the
// signal handlers, and a handler's exception (KeyboardInterrupt) stops the
// batch. The arrays it was writing are then dropped unseen.
class SignalCheck {
public:
    void operator()() {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) {
            return;
        }
        next_ = now + std::chrono::milliseconds(20);
        const py::gil_scoped_acquire locked;
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }

private:
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
};

Array output_array(std::size_t rows, int lanes) {
    return lanes == 1 ? Array({static_cast<py::ssize_t>(rows)})
                      : Array({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(lanes)});
}

// --- derivatives ----------------------------------------------------------------------

const FunctionDerivatives& derivatives_of(const PyFunction& self) {
    if (!self.derivatives) {
        self.derivatives = std::make_shared<FunctionDerivatives>(self.function);
    }
    return *self.derivatives;
}

// The positions among the function's inputs that `wrt` names: all of them for
// None, else one input or a sequence of inputs, in that order.
std::vector<std::size_t> wrt_positions(const PyFunction& self, const py::object& wrt) {
    const std::vector<Value>& inputs = self.function.inputs();
    std::vector<std::size_t> positions;
    if (wrt.is_none()) {
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            positions.push_back(k);
        }
        return positions;
    }
    const auto position_of = [&inputs](const py::handle& item) {
        if (!py::isinstance<Value>(item)) {
            throw py::type_error(std::string("wrt must hold inputs of the function, not ") + Py_TYPE(item.ptr())->tp_name);
        }
        const Value leaf = py::cast<Value>(item);
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            if (inputs[k].same_node(leaf)) {
                return k;
            }
        }
        throw py::value_error("wrt must hold inputs of the function, and " + leaf.debug_string() + " is not one");
    };
    if (py::isinstance<Value>(wrt)) {
        positions.push_back(position_of(wrt));
        return positions;
    }
    if (!is_sequence(wrt)) {
        throw py::type_error(std::string("wrt must be None, an input of the function or a sequence of its inputs, not ") +
                             Py_TYPE(wrt.ptr())->tp_name);
    }
    for (const py::handle& item : py::reinterpret_borrow<py::sequence>(wrt)) {
        positions.push_back(position_of(item));
    }
    return positions;
}

// One value per input given as one sequence (values, tangents): each a
// number or a sequence of 1..4 numbers, as the arguments of a call.
std::vector<SmallValue> values_per_input(const PyFunction& self, const py::object& given, const char* what) {
    if (!is_sequence(given)) {
        throw py::type_error(std::string(what) + " must be a sequence of one value per input, not " +
                             Py_TYPE(given.ptr())->tp_name);
    }
    const auto sequence = py::reinterpret_borrow<py::sequence>(given);
    if (sequence.size() != self.function.inputs().size()) {
        throw py::type_error("the function takes " + std::to_string(self.function.inputs().size()) + " " + what +
                             ", not " + std::to_string(sequence.size()));
    }
    std::vector<SmallValue> values;
    for (std::size_t k = 0; k < sequence.size(); ++k) {
        values.push_back(input_value(sequence[k], k));
    }
    return values;
}

Array square(std::size_t lanes) {
    return Array({static_cast<py::ssize_t>(lanes), static_cast<py::ssize_t>(lanes)});
}

std::string describe_function(const PyFunction& self) {
    std::ostringstream text;
    text << "<zarnik.Function of " << self.function.inputs().size() << " inputs (" << self.function.input_lanes()
         << " lanes) to " << self.function.outputs().size() << " outputs (" << self.function.output_lanes()
         << " lanes)>";
    return text.str();
}

std::string describe_tape(const Tape& tape) {
    std::ostringstream text;
    text << "<zarnik.Tape of " << tape.size() << " nodes, " << tape.parameters().size() << " parameters, output "
         << tape.output().debug_string() << '>';
    return text.str();
}

}  // namespace

PYBIND11_MODULE(_compiled, m) {
    // Expression is _zarnik's: its type must be known before it is taken or returned.
    py::module_::import("_zarnik");

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
        .def_property_readonly("parameters",
                               [](const Tape& self) {
                                   const std::vector<Value>& all = self.parameters();
                                   py::tuple parameters(all.size());
                                   for (std::size_t i = 0; i < all.size(); ++i) {
                                       parameters[i] = py::cast(all[i]);
                                   }
                                   return parameters;
                               }, "The graph's parameters, in evaluation order.")
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

    py::class_<PyFunction> function_class(m, "Function", R"(Expressions compiled by zarnik.function() as a function of some of their leaves.

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
    function_class
        .def(
            "__call__",
            [](const PyFunction& self, const py::args& args) {
                return answer(self, self.function(input_values(self, args)));
            },
            "The outputs' lanes at one value per input (a number or a sequence of 1..4 numbers).")
        .def("jacobian",
             [](const PyFunction& self, const py::args& args) {
                 const std::vector<SmallValue> values = input_values(self, args);
                 Array jacobian({static_cast<py::ssize_t>(self.function.output_lanes()),
                                 static_cast<py::ssize_t>(self.function.input_lanes())});
                 self.function.jacobian(values, std::span<double>(jacobian.mutable_data(),
                                                                  static_cast<std::size_t>(jacobian.size())));
                 return jacobian;
             },
             "The Jacobian of all output lanes (rows) against all input lanes (columns), a NumPy array.")
        .def("value_and_grad",
             [](const PyFunction& self, const py::args& args) {
                 if (self.function.output_lanes() != 1) {
                     throw py::value_error("value_and_grad needs a function of one scalar output");
                 }
                 const std::vector<SmallValue> values = input_values(self, args);
                 Array gradient({static_cast<py::ssize_t>(self.function.input_lanes())});
                 SmallValue value;
                 self.function.jacobian(
                     values, std::span<double>(gradient.mutable_data(), static_cast<std::size_t>(gradient.size())),
                     std::span<SmallValue>(&value, 1));
                 return py::make_tuple(value.lanes[0], gradient);
             },
             "For one scalar output: its value and its gradient against all input lanes.")
        .def("batch",
             [](const PyFunction& self, const py::args& args) {
                 if (py::object lazy = lazy_rows("batch", self, args); !lazy.is_none()) {
                     return lazy;
                 }
                 const Rows rows = batch_rows(self, args);
                 const std::vector<Value>& outputs = self.function.outputs();
                 std::vector<Array> results;
                 std::vector<double*> data;
                 for (const Value& output : outputs) {
                     results.push_back(output_array(rows.count, output.dimension()));
                     data.push_back(results.back().mutable_data());
                 }
                 const std::vector<double> parameters = self.function.parameter_values();
                 {
                     const py::gil_scoped_release unlocked;
                     self.function.evaluate_rows(rows.count, rows.data, data, parameters, SignalCheck());
                 }
                 if (self.single_output) {
                     return py::object(results.front());
                 }
                 return py::object(py::cast(results));
             },
             R"(The outputs over many rows at once: one array per input, of shape (rows,) for a scalar input or
(rows, lanes), gives an array of shape (rows,) or (rows, lanes) per output (a list of them for
several outputs). Runs in C++ with the interpreter's lock released. Dask arrays chunked by
rows give lazy Dask arrays instead, computed chunk by chunk wherever Dask runs them.

>>> import numpy as np, zarnik as zk
>>> x = zk.Undefined(name="x")
>>> zk.function(x, x * 2).batch(np.arange(3.0)).tolist()
[0.0, 2.0, 4.0])")
        .def("batch_jacobian",
             [](const PyFunction& self, const py::args& args) -> py::object {
                 if (py::object lazy = lazy_rows("batch_jacobian", self, args); !lazy.is_none()) {
                     return lazy;
                 }
                 const Rows rows = batch_rows(self, args);
                 Array jacobians({static_cast<py::ssize_t>(rows.count),
                                  static_cast<py::ssize_t>(self.function.output_lanes()),
                                  static_cast<py::ssize_t>(self.function.input_lanes())});
                 double* const data = jacobians.mutable_data();
                 const std::vector<double> parameters = self.function.parameter_values();
                 {
                     const py::gil_scoped_release unlocked;
                     self.function.jacobian_rows(rows.count, rows.data, data, parameters, SignalCheck());
                 }
                 return jacobians;
             },
                          "The Jacobian of every row, an array of shape (rows, output lanes, input lanes); a lazy Dask array for "
             "Dask arrays chunked by rows.")
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
            [](const PyFunction& self, const py::args& args, const py::object& wrt) {
                const Rows rows = batch_rows(self, args);
                const std::shared_ptr<const Hessian> hessian = derivatives_of(self).hessian(wrt_positions(self, wrt));
                const auto lanes = static_cast<py::ssize_t>(hessian->lanes());
                Array hessians({static_cast<py::ssize_t>(rows.count), lanes, lanes});
                double* const data = hessians.mutable_data();
                const std::vector<double> parameters = hessian->parameter_values();
                {
                    const py::gil_scoped_release unlocked;
                    hessian->rows(rows.count, rows.data, data, parameters, SignalCheck());
                }
                return hessians;
            },
            py::arg("wrt") = py::none(),
            R"(The Hessian of every row, an array of shape (rows, lanes, lanes), from arrays as batch takes
them. Runs in C++ with the interpreter's lock released; Ctrl-C stops it between blocks of rows.

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
[4.0, 2.0])")
        .def_property_readonly("inputs",
                               [](const PyFunction& self) { return py::tuple(py::cast(self.function.inputs())); })
        .def_property_readonly("outputs",
                               [](const PyFunction& self) { return py::tuple(py::cast(self.function.outputs())); })
        .def_property_readonly("input_lanes", [](const PyFunction& self) { return self.function.input_lanes(); })
        .def_property_readonly("output_lanes", [](const PyFunction& self) { return self.function.output_lanes(); })
        .def("__repr__", &describe_function);
    // The stubs make Function generic in the shape of its answers; at run
    // time Function[...] gives the alias, as the standard library's generic
    // classes do.
    function_class.attr("__class_getitem__") = py::reinterpret_steal<py::object>(
        PyClassMethod_New(py::module_::import("types").attr("GenericAlias").ptr()));

    m.def(
        "function",
        [](const py::object& inputs, const py::object& outputs) {
            return PyFunction{Function(values_of(inputs, "inputs"), values_of(outputs, "outputs")),
                              py::isinstance<Value>(outputs)};
        },
        py::arg("inputs"), py::arg("outputs"),
        R"(Compiles `outputs` (an expression or a sequence of them) as a function of `inputs`
(placeholders and/or parameters of their graphs).

>>> import zarnik as zk
>>> x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
>>> f = zk.function([x, y], [x * y, x + y])
>>> f(2.0, 3.0)
((6.0,), (5.0,)))");

    // Makes a node in the core and gives its id: with one copy of the core in
    // the process, its ids interleave with _zarnik's in creation order.
    m.def("_new_node_id", [] { return constant(0.0).id(); });

    bind_serialization(m);
}
