// The native part of the package zarnik: compiled tapes and compiled
// functions of inputs, with batches over NumPy arrays. It works on the
// Expression objects of _zarnik and shares the one copy of the symbolic core
// with it (both link the core's shared library), so that node ids stay
// unique whichever module makes nodes.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <optional>
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

// The inputs of a batch: for each input its rows, or one value for every
// row, with the arrays they lie in kept alive, and the number of rows.
struct Rows {
    std::vector<Array> arrays;
    std::vector<RowInput> inputs;
    std::size_t count = 0;
};

std::string shapes_for(std::size_t k, py::ssize_t lanes) {
    const std::string prefix = "input array " + std::to_string(k) + " must have the shape ";
    if (lanes == 1) {
        return prefix + "(rows,) or (rows, 1), or be one number for every row";
    }
    const std::string n = std::to_string(lanes);
    return prefix + "(rows, " + n + "), or (" + n + ",) or (1, " + n + ") for one value for every row";
}

// A count given by keyword: None, or an integer of at least `least`.
std::optional<std::size_t> count_argument(const py::object& given, const char* name, std::size_t least) {
    if (given.is_none()) {
        return std::nullopt;
    }
    if (PyBool_Check(given.ptr()) || PyIndex_Check(given.ptr()) == 0) {
        throw py::type_error(std::string(name) + " must be an integer or None");
    }
    const auto value = py::reinterpret_steal<py::object>(PyNumber_Index(given.ptr()));
    if (!value) {
        throw py::error_already_set();
    }
    const long long number = PyLong_AsLongLong(value.ptr());
    if (number == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        throw py::value_error(std::string(name) + " is out of range");
    }
    if (number < static_cast<long long>(least)) {
        throw py::value_error(std::string(name) + " must be at least " + std::to_string(least) + ", not " +
                              std::to_string(number));
    }
    return static_cast<std::size_t>(number);
}

// Each input as rows ((rows,) or (rows, 1) for one lane, (rows, lanes)
// otherwise) or as one value for every row (a number, a 0-d array, the
// lanes (lanes,) of an input, or (1, lanes)). The rows are those of
// the inputs given as rows, which must agree, or `rows`; with neither, a
// batch of values given as (1, lanes) has one row, as NumPy broadcasts them.
Rows batch_rows(const PyFunction& self, const py::args& args, const py::object& rows_given) {
    const std::vector<Value>& inputs = self.function.inputs();
    if (args.size() != inputs.size()) {
        throw py::type_error("the function takes " + std::to_string(inputs.size()) + " input arrays, not " +
                             std::to_string(args.size()));
    }
    if (inputs.empty()) {
        throw py::type_error("a batch needs a function of at least one input");
    }
    const std::optional<std::size_t> rows_asked = count_argument(rows_given, "rows", 0);
    Rows rows;
    std::optional<std::size_t> giver;  // the first input given as rows
    bool one_row = false;              // an input given as (1, lanes)
    for (std::size_t k = 0; k < args.size(); ++k) {
        Array array = batch_array(args[k], k);
        const auto lanes = static_cast<py::ssize_t>(inputs[k].dimension());
        bool once = false;
        if (array.ndim() == 0 && lanes == 1) {
            once = true;
        } else if (array.ndim() == 1 && array.shape(0) == lanes) {
            // A one-lane input's lanes, (1,), broadcast as NumPy broadcasts them: alone they are one row.
            once = true;
            one_row = one_row || lanes == 1;
        } else if (array.ndim() == 2 && array.shape(1) == lanes && array.shape(0) == 1) {
            once = true;
            one_row = true;
        } else if (!((array.ndim() == 1 && lanes == 1) || (array.ndim() == 2 && array.shape(1) == lanes))) {
            throw py::value_error(shapes_for(k, lanes));
        }
        if (once) {
            rows.inputs.push_back(RowInput::once(array.data()));
        } else {
            const auto count = static_cast<std::size_t>(array.shape(0));
            if (rows_asked && count != *rows_asked) {
                throw py::value_error("input array " + std::to_string(k) + " has " + std::to_string(count) +
                                      " rows, not rows=" + std::to_string(*rows_asked));
            }
            if (giver && count != rows.count) {
                throw py::value_error("input arrays " + std::to_string(*giver) + " and " + std::to_string(k) +
                                      " have different numbers of rows (" + std::to_string(rows.count) + " and " +
                                      std::to_string(count) + ")");
            }
            if (!giver) {
                giver = k;
                rows.count = count;
            }
            rows.inputs.push_back(RowInput::per_row(array.data()));
        }
        rows.arrays.push_back(std::move(array));
    }
    if (!giver) {
        if (rows_asked) {
            rows.count = *rows_asked;
        } else if (one_row) {
            rows.count = 1;
        } else {
            throw py::value_error("a batch needs rows: an input array of rows, or rows= the number of rows");
        }
    }
    return rows;
}

// How a batch runs, from its keywords; the parameters' values are read here,
// while the interpreter's lock is held.
struct BatchSettings {
    RowOptions options;
    std::vector<double> parameters;
};

// The keywords threads= and approximate=, checked.
RowOptions batch_options(const py::object& threads, const py::object& approximate) {
    if (!PyBool_Check(approximate.ptr())) {
        throw py::type_error("approximate must be True or False");
    }
    RowOptions options;
    options.threads = count_argument(threads, "threads", 1).value_or(0);
    options.approximate = approximate.ptr() == Py_True;
    return options;
}

BatchSettings batch_settings(const PyFunction& self, const py::object& threads, const py::object& approximate) {
    return {batch_options(threads, approximate), self.function.parameter_values()};
}

// The positions of the inputs `wrt` names, in its order: None for every
// input, else one input expression or a sequence of input positions or
// input expressions.
std::vector<std::size_t> wrt_positions(const PyFunction& self, const py::object& wrt) {
    const std::vector<Value>& inputs = self.function.inputs();
    std::vector<std::size_t> positions;
    if (wrt.is_none()) {
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            positions.push_back(k);
        }
        return positions;
    }
    // An Expression indexes its lanes, but names one input, not a sequence of them.
    const bool one = py::isinstance<Value>(wrt);
    if (!one && !is_sequence(wrt)) {
        throw py::type_error(
            "wrt must be None, an input Expression or a sequence of input positions or input "
            "Expressions");
    }
    const py::sequence items = one ? py::sequence(py::make_tuple(wrt)) : py::reinterpret_borrow<py::sequence>(wrt);
    std::vector<bool> seen(inputs.size(), false);
    for (const py::handle& item : items) {
        std::size_t k = 0;
        if (py::isinstance<Value>(item)) {
            const Value& value = py::cast<const Value&>(item);
            const auto found = std::find_if(inputs.begin(), inputs.end(),
                                            [&](const Value& input) { return input.id() == value.id(); });
            if (found == inputs.end()) {
                throw py::value_error("wrt names " + value.debug_string() + ", which is not an input of the function");
            }
            k = static_cast<std::size_t>(found - inputs.begin());
        } else if (!PyBool_Check(item.ptr()) && PyIndex_Check(item.ptr()) != 0) {
            const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
            if (!index) {
                throw py::error_already_set();
            }
            const long long position = PyLong_AsLongLong(index.ptr());
            if ((position == -1 && PyErr_Occurred() != nullptr) || position < 0 ||
                static_cast<unsigned long long>(position) >= inputs.size()) {
                PyErr_Clear();
                throw py::value_error("wrt names input " + py::str(item).cast<std::string>() + " of a function of " +
                                      std::to_string(inputs.size()) + " inputs");
            }
            k = static_cast<std::size_t>(position);
        } else {
            throw py::type_error(
                "wrt must be None, an input Expression or a sequence of input positions or input "
                "Expressions");
        }
        if (seen[k]) {
            throw py::value_error("wrt names input " + std::to_string(k) + " twice");
        }
        seen[k] = true;
        positions.push_back(k);
    }
    return positions;
}

std::size_t lanes_of_inputs(const PyFunction& self, const std::vector<std::size_t>& positions) {
    std::size_t lanes = 0;
    for (const std::size_t k : positions) {
        lanes += static_cast<std::size_t>(self.function.inputs()[k].dimension());
    }
    return lanes;
}

// The keywords a batch passes on to the batches of a Dask array's chunks,
// checked as the batch checks them, before anything is made lazy.
py::dict batch_keywords(const py::object& rows, const py::object& threads, const py::object& approximate) {
    batch_options(threads, approximate);
    const std::optional<std::size_t> count = count_argument(rows, "rows", 0);
    py::dict keywords;
    keywords["rows"] = count ? py::cast(*count) : py::none();
    keywords["threads"] = threads;
    keywords["approximate"] = approximate;
    return keywords;
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

Array square(std::size_t lanes) { return Array({static_cast<py::ssize_t>(lanes), static_cast<py::ssize_t>(lanes)}); }

std::string describe_function(const PyFunction& self) {
    std::ostringstream text;
    const auto counted = [](std::size_t count, const char* what) {
        return std::to_string(count) + ' ' + what + (count == 1 ? "" : "s");
    };
    text << "<zarnik.Function of " << counted(self.function.inputs().size(), "input") << " ("
         << counted(self.function.input_lanes(), "lane") << ") to " << counted(self.function.outputs().size(), "output")
         << " (" << counted(self.function.output_lanes(), "lane") << ")>";
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
    function_class
        .def(
            "__call__",
            [](const PyFunction& self, const py::args& args) {
                return answer(self, self.function(input_values(self, args)));
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
                self.function.jacobian(values,
                                       std::span<double>(full.mutable_data(), static_cast<std::size_t>(full.size())));
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
                self.function.jacobian(
                    values, std::span<double>(gradient.mutable_data(), static_cast<std::size_t>(gradient.size())),
                    std::span<SmallValue>(&value, 1));
                return py::make_tuple(value.lanes[0], gradient);
            },
            "For one scalar output: its value and its gradient against all input lanes.")
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
                {
                    const py::gil_scoped_release unlocked;
                    evaluate_rows(self.function, rows.count, rows.inputs, data, settings.options);
                }
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
Runs in C++ with the interpreter's lock released, on `threads` threads (every core when None,
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
                {
                    const py::gil_scoped_release unlocked;
                    jacobian_rows(self.function, rows.count, rows.inputs, positions, data, settings.options);
                }
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
                {
                    const py::gil_scoped_release unlocked;
                    value =
                        value_and_grad_rows(self.function, rows.count, rows.inputs, positions, data, settings.options);
                }
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
(5.0, [-10.0]))")
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
[4.0, 2.0])")
        .def_property_readonly("inputs",
                               [](const PyFunction& self) { return py::tuple(py::cast(self.function.inputs())); })
        .def_property_readonly("outputs",
                               [](const PyFunction& self) { return py::tuple(py::cast(self.function.outputs())); })
        .def_property_readonly(
            "parameters", [](const PyFunction& self) { return py::tuple(py::cast(self.function.parameters())); },
            "The parameters below the outputs that are not inputs, each once, in the order of a walk over the "
            "outputs in turn that reaches each operand before its user: the values a batch reads once.")
        .def_property_readonly("input_lanes", [](const PyFunction& self) { return self.function.input_lanes(); })
        .def_property_readonly("output_lanes", [](const PyFunction& self) { return self.function.output_lanes(); })
        .def("__repr__", &describe_function);
    bind_sparse(function_class, {&input_values, &wrt_positions});
    // The stubs make Function generic in the shape of its answers; at run
    // time Function[...] gives the alias, as the standard library's generic
    // classes do.
    function_class.attr("__class_getitem__") =
        py::reinterpret_steal<py::object>(PyClassMethod_New(py::module_::import("types").attr("GenericAlias").ptr()));

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

    // What zarnik.build_info() reports of the approximate batches.
    m.def("_approximate_kernels", [] { return std::string(approximate_kernels()); });

    bind_serialization(m);
}
