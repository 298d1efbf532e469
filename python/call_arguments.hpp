#pragma once

// The arguments of a compiled function's calls: the values of its inputs,
// the inputs `wrt` names, and the answer shaped as the call was asked.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "compiled.hpp"

namespace zarnik::python {

// An Expression or a sequence of them.
std::vector<symbolic::Value> values_of(const py::handle& object, const char* what);

// Whether the error being raised says nothing about the argument that was
// being converted: the user interrupted, memory ran out, the interpreter is
// exiting. Such an error propagates as itself through the package's
// conversions; any other is reported as the argument's.
bool raised_beyond_the_argument();

// A number as _zarnik converts one (anything with __float__ or __index__,
// the same error otherwise), except for errors beyond the argument.
double input_double(const py::handle& object);

// One value per input given as the call's arguments: each a number (a 0-d
// array counts as the number it holds) or a sequence of 1..4 numbers.
std::vector<symbolic::SmallValue> input_values(const PyFunction& self, const py::args& args);

// One value per input given as one sequence (values, tangents): each a
// number or a sequence of 1..4 numbers, as the arguments of a call.
std::vector<symbolic::SmallValue> values_per_input(const PyFunction& self, const py::object& given, const char* what);

// The outputs' lanes: a tuple of floats for a function of one output given
// alone, a tuple of them per output for a sequence.
py::object answer(const PyFunction& self, const std::vector<symbolic::SmallValue>& outputs);

// A count given by keyword: None, or an integer of at least `least`.
std::optional<std::size_t> count_argument(const py::object& given, const char* name, std::size_t least);

// The positions of the inputs `wrt` names, in its order: None for every
// input, else one input expression or a sequence of input positions or
// input expressions.
std::vector<std::size_t> wrt_positions(const PyFunction& self, const py::object& wrt);

// The lanes of the inputs at `positions`, together.
std::size_t lanes_of_inputs(const PyFunction& self, const std::vector<std::size_t>& positions);

// A failure's text, naming for a value that was not finite where it was made:
// "symbolic value lanes must be finite: Exp gave inf at node #12", the node's
// id as Expression.id and its repr give it. `values` are the call's inputs.
std::string naming_origin(const symbolic::Function& f, const std::string& text,
                          std::span<const symbolic::SmallValue> values);

// Runs `body`, a call at `values`, and raises what it throws as a ValueError
// naming the origin of a value that was not finite.
template <typename Body>
decltype(auto) naming_failures(const PyFunction& self, std::span<const symbolic::SmallValue> values, Body&& body) {
    try {
        return body();
    } catch (const std::invalid_argument& error) {
        throw py::value_error(naming_origin(self.function, error.what(), values));
    }
}

}  // namespace zarnik::python
