// The CPython extension module _zarnik: a thin layer over the symbolic core.
// Its own work is converting arguments and results; every rule about values,
// graphs and gradients lives in the core.

#include <pybind11/pybind11.h>

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "conversions.hpp"
#include "native_classes.hpp"
#include "symbolic/symbolic.hpp"

namespace py = pybind11;
using namespace zarnik::symbolic;
using namespace zarnik::python;

namespace {

// A name is stored as the bytes it was given; bytes that are not UTF-8 would
// make the node's name and repr unreadable, so they are refused before any
// node is made.
std::string node_name(const py::handle& value) {
    auto name = py::cast<std::string>(value);
    const auto decoded = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    if (!decoded) {
        PyErr_Clear();
        throw py::value_error("name must be valid UTF-8 text");
    }
    return name;
}

// The keyword rules of Parameter and Undefined: each of `names` is looked up
// in that order and handed to `take` as soon as it is found, so that its
// value is converted before anything else is checked; any other keyword is
// refused afterwards. A failing lookup or size query raises the host's error.
template <std::size_t N, typename Take>
void read_keywords(const py::kwargs& kwargs, const std::array<const char*, N>& names, Take&& take) {
    if (!kwargs) {
        return;
    }
    std::size_t recognised = 0;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* const value = PyDict_GetItemWithError(kwargs.ptr(), py::str(names[i]).ptr());
        if (value == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                throw py::error_already_set();
            }
            continue;
        }
        take(i, py::reinterpret_borrow<py::object>(value));
        ++recognised;
    }
    if (kwargs.size() != recognised) {
        throw py::type_error("unknown keyword argument");
    }
}

std::string pop_optional_name(const py::kwargs& kwargs) {
    std::string name;
    read_keywords<1>(kwargs, {"name"}, [&name](std::size_t, const py::object& value) { name = node_name(value); });
    return name;
}

// The bound class, looked up once at registration: every operator call asks
// whether an operand is an Expression, and the binding library's general
// lookup by C++ type costs more than the rest of the test.
PyTypeObject* expression_type = nullptr;

Value coerce_symbolic_value(const py::handle& object, const char* label) {
    return zarnik::python::coerce_symbolic_value(object, label, expression_type);
}

py::object optional_hint_tuple(const Value& value) {
    return value.has_hint() ? py::object(small_value_tuple(value.hint())) : py::object(py::none());
}

py::object optional_grad_tuple(const Value& value) {
    return value.has_grad() ? py::object(small_value_tuple(value.grad())) : py::object(py::none());
}

// --- module functions with their own argument rules ---------------------------------

Value make_undefined(const py::args& args, const py::kwargs& kwargs) {
    if (args.size() != 0) {
        throw py::type_error("Undefined expects keyword arguments: hint=..., dim=..., name=...");
    }
    py::object hint = py::none();
    std::optional<int> dim;
    std::string name;
    read_keywords<3>(kwargs, {"hint", "dim", "name"}, [&](std::size_t which, const py::object& value) {
        switch (which) {
            case 0: hint = value; break;
            case 1: dim = py::cast<int>(value); break;
            default: name = node_name(value); break;
        }
    });
    if (hint.is_none()) {
        return undefined(dim.value_or(1), std::move(name));
    }
    const SmallValue lanes =
        is_plain_number(hint) ? small_value(to_double(hint)) : parse_small_value_sequence(hint, "hint");
    // A given dim is compared with the hint only; its own range is not checked here.
    if (dim && *dim != lanes.dimension) {
        throw py::value_error("Undefined hint dimension does not match dim");
    }
    return undefined_with_hint(lanes, std::move(name));
}

// The operator methods and their reflected forms. The host's left operand is
// always the core operator's left operand: `other` is the right operand of
// `self op other` and the left one of `other op self`, and its label says so.
template <typename Operator>
void def_operator(py::class_<Value>& cls, const char* name, const char* reflected_name, Operator op) {
    cls.def(
        name,
        [op](const Value& self, const py::object& other) {
            return op(self, coerce_symbolic_value(other, "right operand"));
        },
        py::is_operator());
    cls.def(
        reflected_name,
        [op](const Value& self, const py::object& other) {
            return op(coerce_symbolic_value(other, "left operand"), self);
        },
        py::is_operator());
}

// The binding library gives every bound class one common base class that
// holds no C++ value. Making an instance of it, or of a Python subclass of it
// alone, makes the library's allocator throw a C++ exception through the
// interpreter's C frames, which aborts the process. Pickle protocols 0 and 1
// reach it too: copyreg's reduce for them calls the first base class with a
// __new__ of its own, and that is the common base, with the object to pickle.
// Its allocation slot is wrapped, so that no attribute of the base class or of
// Expression changes: classes with a bound C++ type are allocated as before,
// anything else is refused with a TypeError, and the pickling call with the
// text that protocols 2 and up give.
newfunc binding_library_new = nullptr;

PyObject* common_base_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!py::detail::all_type_info(type).empty()) {
        return binding_library_new(type, args, kwargs);
    }
    const bool pickling = args != nullptr && PyTuple_GET_SIZE(args) == 1 &&
                          (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) &&
                          !py::detail::all_type_info(Py_TYPE(PyTuple_GET_ITEM(args, 0))).empty();
    if (pickling) {
        return PyErr_Format(PyExc_TypeError, "cannot pickle '%T' object", PyTuple_GET_ITEM(args, 0));
    }
    return PyErr_Format(PyExc_TypeError, "%N: No constructor defined!", type);
}

// The base class is the library's, one per process for every module built
// with the same library version; a second import finds it wrapped already.
void refuse_the_common_base_class() {
    auto* const base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    if (base->tp_new == common_base_new) {
        return;
    }
    binding_library_new = base->tp_new;
    base->tp_new = common_base_new;
    PyType_Modified(base);
}

}  // namespace

PYBIND11_MODULE(_zarnik, m) {
    m.attr("__version__") = py::str(zarnik::version.data(), zarnik::version.size());

    py::class_<Value> expression(m, "Expression");
    expression_type = reinterpret_cast<PyTypeObject*>(expression.ptr());
    expression.def_property_readonly("id", &Value::id)
        .def_property_readonly("kind", [](const Value& self) { return to_string(self.kind()); })
        .def_property_readonly("op", [](const Value& self) { return to_string(self.op()); })
        .def_property_readonly("dim", &Value::dimension)
        .def_property_readonly("dimension", &Value::dimension)
        .def_property_readonly("name", &Value::name)
        .def_property_readonly("is_constant", &Value::is_constant)
        .def_property_readonly("is_parameter", &Value::is_parameter)
        .def_property_readonly("is_undefined", &Value::is_undefined)
        .def_property_readonly("is_expression", &Value::is_expression)
        .def_property_readonly("is_leaf", &Value::is_leaf)
        .def_property_readonly("value", [](const Value& self) { return small_value_tuple(self.value()); })
        .def_property_readonly("hint", &optional_hint_tuple)
        .def_property_readonly("grad", &optional_grad_tuple)
        .def_property_readonly("inputs",
                               [](const Value& self) {
                                   const int count = self.input_count();
                                   py::tuple inputs(static_cast<std::size_t>(count));
                                   for (int i = 0; i < count; ++i) {
                                       inputs[static_cast<std::size_t>(i)] = py::cast(self.input(i));
                                   }
                                   return inputs;
                               })
        .def_property_readonly("x", [](const Value& self) { return component(self, 0); })
        .def_property_readonly("y", [](const Value& self) { return component(self, 1); })
        .def_property_readonly("z", [](const Value& self) { return component(self, 2); })
        .def_property_readonly("w", [](const Value& self) { return component(self, 3); })
        .def("__getitem__", [](const Value& self, int index) { return component(self, index); })
        .def("eval", [](const Value& self) { return small_value_tuple(self.evaluate()); })
        .def("set_value",
             [](const Value& self, const py::args& args) { self.set_value(parse_small_value_args(args, "set_value")); })
        .def(
            "backward",
            [](const Value& self, const py::object& seed) {
                if (const std::optional<SmallValue> lanes = backward_seed(seed)) {
                    self.backward(*lanes);
                } else {
                    self.backward();
                }
            },
            py::arg("seed") = py::none())
        .def("zero_grad", &Value::zero_grad)
        .def("__repr__", &Value::debug_string);
    def_operator(expression, "__add__", "__radd__", [](Value a, Value b) { return std::move(a) + std::move(b); });
    def_operator(expression, "__sub__", "__rsub__", [](Value a, Value b) { return std::move(a) - std::move(b); });
    def_operator(expression, "__mul__", "__rmul__", [](Value a, Value b) { return std::move(a) * std::move(b); });
    def_operator(expression, "__truediv__", "__rtruediv__",
                 [](Value a, Value b) { return std::move(a) / std::move(b); });
    expression.def("__neg__", [](const Value& self) { return -self; }, py::is_operator());
    refuse_uninitialised_instances(expression);
    refuse_the_common_base_class();

    m.def("Constant", [](const py::args& args, const py::kwargs& kwargs) {
        if (kwargs.size() != 0) {
            throw py::type_error("Constant does not accept keyword arguments");
        }
        return constant(parse_small_value_args(args, "Constant"));
    });
    m.def("Parameter", [](const py::args& args, const py::kwargs& kwargs) {
        std::string name = pop_optional_name(kwargs);
        return parameter(parse_small_value_args(args, "Parameter"), std::move(name));
    });
    m.def("Undefined", &make_undefined);
    // The arguments are converted last to first.
    m.def("vec2", [](const py::object& x, const py::object& y) {
        Value vy = coerce_symbolic_value(y, "vec2 y");
        Value vx = coerce_symbolic_value(x, "vec2 x");
        return vec2(std::move(vx), std::move(vy));
    });
    m.def("vec3", [](const py::object& x, const py::object& y, const py::object& z) {
        Value vz = coerce_symbolic_value(z, "vec3 z");
        Value vy = coerce_symbolic_value(y, "vec3 y");
        Value vx = coerce_symbolic_value(x, "vec3 x");
        return vec3(std::move(vx), std::move(vy), std::move(vz));
    });
    m.def("vec4", [](const py::object& x, const py::object& y, const py::object& z, const py::object& w) {
        Value vw = coerce_symbolic_value(w, "vec4 w");
        Value vz = coerce_symbolic_value(z, "vec4 z");
        Value vy = coerce_symbolic_value(y, "vec4 y");
        Value vx = coerce_symbolic_value(x, "vec4 x");
        return vec4(std::move(vx), std::move(vy), std::move(vz), std::move(vw));
    });
    m.def("sin", [](const py::object& value) { return sin(coerce_symbolic_value(value, "sin value")); });
    m.def("cos", [](const py::object& value) { return cos(coerce_symbolic_value(value, "cos value")); });
}
