#pragma once

// The terms and routines of argument conversion that both extension modules
// use: what counts as a number and as a sequence, lane vectors from host
// arguments and back, and the seed of a backward pass.

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "symbolic/symbolic.hpp"

namespace zarnik::python {

namespace py = pybind11;
using symbolic::small_value;
using symbolic::SmallValue;

// --- the terms of argument conversion ------------------------------------------

// Lists, tuples, ranges and bytearrays; never str or bytes.
inline bool is_sequence(const py::handle& object) {
    PyObject* raw = object.ptr();
    return PySequence_Check(raw) != 0 && !PyUnicode_Check(raw) && !PyBytes_Check(raw);
}

// int (bool included) and float, with their subclasses; nothing that merely
// behaves like a number.
inline bool is_plain_number(const py::handle& object) {
    return PyLong_Check(object.ptr()) || PyFloat_Check(object.ptr());
}

inline double to_double(const py::handle& object) { return py::cast<double>(object); }

inline std::string labelled(const char* label, const char* text) { return std::string(label) + text; }

// The lanes as they are, finite or not: a compiled function's inputs, which
// the function checks as it chose (its nonfinite).
inline SmallValue unchecked_small_value(const double (&lanes)[4], Py_ssize_t count) {
    SmallValue value;
    value.dimension = static_cast<std::int32_t>(count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        value.lanes[static_cast<std::size_t>(i)] = lanes[i];
    }
    return value;
}

inline SmallValue small_value_of(const double (&lanes)[4], Py_ssize_t count) {
    switch (count) {
        case 1: return small_value(lanes[0]);
        case 2: return small_value(lanes[0], lanes[1]);
        case 3: return small_value(lanes[0], lanes[1], lanes[2]);
        default: return small_value(lanes[0], lanes[1], lanes[2], lanes[3]);
    }
}

// --- the conversion routines -------------------------------------------------------

// `convert` turns one item into a lane; by default as _zarnik converts numbers.
inline SmallValue parse_small_value_sequence(const py::handle& object, const char* label,
                                             double (*convert)(const py::handle&) = to_double, bool checked = true) {
    if (!is_sequence(object)) {
        throw py::type_error(labelled(label, " must be a numeric sequence of length 1..4"));
    }
    const Py_ssize_t length = PySequence_Size(object.ptr());
    if (length < 0) {
        throw py::error_already_set();
    }
    if (length < 1 || length > 4) {
        throw py::value_error(labelled(label, " must contain 1..4 values"));
    }
    // Every item is converted before the lanes are checked for finiteness.
    double lanes[4] = {};
    for (Py_ssize_t i = 0; i < length; ++i) {
        const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(object.ptr(), i));
        if (!item) {
            throw py::error_already_set();
        }
        lanes[i] = convert(item);
    }
    return checked ? small_value_of(lanes, length) : unchecked_small_value(lanes, length);
}

inline SmallValue parse_small_value_args(const py::args& args, const char* label) {
    if (args.size() == 1 && is_sequence(args[0])) {
        return parse_small_value_sequence(args[0], label);
    }
    const std::size_t count = args.size();
    if (count < 1 || count > 4) {
        throw py::value_error(labelled(label, " expects 1..4 numeric values"));
    }
    double lanes[4] = {};
    for (std::size_t i = 0; i < count; ++i) {
        lanes[i] = to_double(args[i]);
    }
    return small_value_of(lanes, static_cast<Py_ssize_t>(count));
}

// An operand: an Expression (of the type `expression_type`, the bound class,
// which every operator call checks first), a number or a sequence of 1..4
// numbers, each of the last two a new constant.
inline symbolic::Value coerce_symbolic_value(const py::handle& object, const char* label,
                                             PyTypeObject* expression_type) {
    if (PyObject_TypeCheck(object.ptr(), expression_type)) {
        return *reinterpret_cast<py::detail::instance*>(object.ptr())
                    ->get_value_and_holder()
                    .value_ptr<symbolic::Value>();
    }
    if (is_plain_number(object)) {
        return symbolic::constant(to_double(object));
    }
    if (is_sequence(object)) {
        return symbolic::constant(parse_small_value_sequence(object, label));
    }
    throw py::type_error(labelled(label, " must be a symbolic value or numeric constant"));
}

inline py::tuple small_value_tuple(const SmallValue& value) {
    py::tuple lanes(static_cast<std::size_t>(value.dimension));
    for (int i = 0; i < value.dimension; ++i) {
        lanes[static_cast<std::size_t>(i)] = py::float_(value[i]);
    }
    return lanes;
}

// The seed of backward(seed=None): none for the scalar default, a one-lane
// seed for a plain number, otherwise a sequence of 1..4 numbers, each
// converted by `convert`.
inline std::optional<SmallValue> backward_seed(const py::object& seed,
                                               double (*convert)(const py::handle&) = to_double) {
    if (seed.is_none()) {
        return std::nullopt;
    }
    if (is_plain_number(seed)) {
        return small_value(convert(seed));
    }
    return parse_small_value_sequence(seed, "backward seed", convert);
}

}  // namespace zarnik::python
