// The arguments of a compiled function's calls, converted and checked as
// _zarnik converts its own.

#include "call_arguments.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "conversions.hpp"

namespace zarnik::python {

using namespace symbolic;

namespace {

// The value of one input: a number (a 0-d array counts as the number it
// holds), or a sequence of 1..4 numbers. Not checked for finiteness here:
// the function checks its inputs as its choice of nonfinite says.
SmallValue input_value(const py::handle& value, std::size_t k) {
    if (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() == 0) {
        const double lanes[4] = {input_double(value[py::tuple()])};
        return unchecked_small_value(lanes, 1);
    }
    const std::string label = "input " + std::to_string(k);
    if (is_sequence(value)) {
        return parse_small_value_sequence(value, label.c_str(), input_double, false);
    }
    const double lanes[4] = {input_double(value)};
    return unchecked_small_value(lanes, 1);
}

}  // namespace

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

std::string naming_origin(const symbolic::Function& f, const std::string& text,
                          std::span<const symbolic::SmallValue> values) {
    constexpr std::string_view not_finite = "symbolic value lanes must be finite";
    if (!text.starts_with(not_finite) || f.nonfinite() != symbolic::NonFinite::raise) {
        return text;
    }
    const std::optional<symbolic::NonFiniteOrigin> origin = f.non_finite_origin(values);
    if (!origin) {
        return text;
    }
    const char* gave = std::isnan(origin->value) ? "nan" : origin->value > 0.0 ? "inf" : "-inf";
    return text + ": " + symbolic::to_string(origin->op) + " gave " + gave + " at node #" +
           std::to_string(origin->node);
}

}  // namespace zarnik::python
