// The native module zarnik._functions: the elementary functions, the binary
// functions and the vector helpers of the core, for the package zarnik. Their
// operands are converted as the operators of Expression convert theirs: an
// Expression, a number or a sequence of 1..4 numbers.

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "conversions.hpp"
#include "symbolic/symbolic.hpp"

namespace py = pybind11;
using namespace zarnik::symbolic;

namespace {

// The bound class of _zarnik, looked up once at import.
PyTypeObject* expression_type = nullptr;

Value operand(const py::handle& object, const std::string& label) {
    return zarnik::python::coerce_symbolic_value(object, label.c_str(), expression_type);
}

template <typename Function>
void def_unary(py::module_& m, const char* name, Function function, const char* doc) {
    const std::string label = std::string(name) + " value";
    m.def(
        name, [function, label](const py::object& value) { return function(operand(value, label)); }, py::arg("value"),
        doc);
}

// The right operand is converted first, as the operators of Expression do.
template <typename Function>
void def_binary(py::module_& m, const char* name, const char* left, const char* right, Function function,
                const char* doc) {
    const std::string left_label = std::string(name) + " " + left;
    const std::string right_label = std::string(name) + " " + right;
    m.def(
        name,
        [function, left_label, right_label](const py::object& a, const py::object& b) {
            Value vb = operand(b, right_label);
            Value va = operand(a, left_label);
            return function(std::move(va), std::move(vb));
        },
        py::arg(left), py::arg(right), doc);
}

// A leaf that grad differentiates by: a parameter or a placeholder.
Value leaf_of(const py::handle& object) {
    if (!PyObject_TypeCheck(object.ptr(), expression_type)) {
        throw py::type_error(std::string("grad's wrt must hold Expressions, not ") + Py_TYPE(object.ptr())->tp_name);
    }
    Value leaf = py::cast<Value>(object);
    if (!leaf.is_parameter() && !leaf.is_undefined()) {
        throw py::type_error(std::string("grad differentiates with respect to parameters and placeholders, not ") +
                             (leaf.is_constant() ? "a Constant" : "an Expression"));
    }
    return leaf;
}

py::object gradient_graphs(const py::object& y, const py::object& wrt) {
    if (!PyObject_TypeCheck(y.ptr(), expression_type)) {
        throw py::type_error(std::string("grad's y must be an Expression, not ") + Py_TYPE(y.ptr())->tp_name);
    }
    const bool single = PyObject_TypeCheck(wrt.ptr(), expression_type) != 0;
    if (!single && !zarnik::python::is_sequence(wrt)) {
        throw py::type_error(std::string("grad's wrt must be an Expression or a sequence of them, not ") +
                             Py_TYPE(wrt.ptr())->tp_name);
    }
    std::vector<Value> leaves;
    if (single) {
        leaves.push_back(leaf_of(wrt));
    } else {
        for (const py::handle& item : py::reinterpret_borrow<py::sequence>(wrt)) {
            leaves.push_back(leaf_of(item));
        }
    }
    std::vector<Value> gradients = gradient(py::cast<Value>(y), leaves);
    if (single) {
        return py::cast(std::move(gradients.front()));
    }
    py::list all;
    for (Value& g : gradients) {
        all.append(py::cast(std::move(g)));
    }
    return all;
}

}  // namespace

PYBIND11_MODULE(_functions, m) {
    // Expression is _zarnik's class: importing it registers the type.
    py::module_::import("_zarnik");
    expression_type = reinterpret_cast<PyTypeObject*>(py::type::of<Value>().ptr());

    def_unary(
        m, "sqrt", [](Value v) { return sqrt(std::move(v)); },
        "Square root, lane by lane.\n\n>>> import zarnik as zk\n>>> zk.sqrt(zk.Parameter(4.0, 9.0)).eval()\n(2.0, "
        "3.0)\n");
    def_unary(
        m, "exp", [](Value v) { return exp(std::move(v)); },
        "e to the power of each lane; above about 709.78 the result overflows and fails.\n\n>>> import math, zarnik as "
        "zk\n>>> zk.exp(zk.Parameter(1.0)).eval() == (math.exp(1.0),)\nTrue\n");
    def_unary(
        m, "log", [](Value v) { return log(std::move(v)); },
        "Natural logarithm, lane by lane; 0 and below fail.\n\n>>> import zarnik as zk\n>>> "
        "zk.log(zk.Parameter(1.0)).eval()\n(0.0,)\n");
    def_unary(
        m, "log1p", [](Value v) { return log1p(std::move(v)); },
        "log(1 + x), exact near 0, lane by lane.\n\n>>> import zarnik as zk\n>>> "
        "zk.log1p(zk.Parameter(1e-20)).eval()\n(1e-20,)\n");
    def_unary(
        m, "expm1", [](Value v) { return expm1(std::move(v)); },
        "exp(x) - 1, exact near 0, lane by lane.\n\n>>> import zarnik as zk\n>>> "
        "zk.expm1(zk.Parameter(1e-20)).eval()\n(1e-20,)\n");
    def_unary(
        m, "tanh", [](Value v) { return tanh(std::move(v)); },
        "Hyperbolic tangent, lane by lane.\n\n>>> import zarnik as zk\n>>> "
        "zk.tanh(zk.Parameter(0.0)).eval()\n(0.0,)\n");
    def_unary(
        m, "sinh", [](Value v) { return sinh(std::move(v)); },
        "Hyperbolic sine, lane by lane.\n\n>>> import zarnik as zk\n>>> zk.sinh(zk.Parameter(0.0)).eval()\n(0.0,)\n");
    def_unary(
        m, "cosh", [](Value v) { return cosh(std::move(v)); },
        "Hyperbolic cosine, lane by lane.\n\n>>> import zarnik as zk\n>>> zk.cosh(zk.Parameter(0.0)).eval()\n(1.0,)\n");
    def_unary(
        m, "tan", [](Value v) { return tan(std::move(v)); },
        "Tangent, lane by lane.\n\n>>> import zarnik as zk\n>>> zk.tan(zk.Parameter(0.0)).eval()\n(0.0,)\n");
    def_unary(
        m, "asin", [](Value v) { return asin(std::move(v)); },
        "Arc sine, lane by lane; outside [-1, 1] it fails.\n\n>>> import zarnik as zk\n>>> "
        "zk.asin(zk.Parameter(0.0)).eval()\n(0.0,)\n");
    def_unary(
        m, "acos", [](Value v) { return acos(std::move(v)); },
        "Arc cosine, lane by lane; outside [-1, 1] it fails.\n\n>>> import zarnik as zk\n>>> "
        "zk.acos(zk.Parameter(1.0)).eval()\n(0.0,)\n");
    def_unary(
        m, "atan", [](Value v) { return atan(std::move(v)); },
        "Arc tangent, lane by lane.\n\n>>> import zarnik as zk\n>>> zk.atan(zk.Parameter(0.0)).eval()\n(0.0,)\n");
    def_unary(
        m, "abs", [](Value v) { return abs(std::move(v)); },
        "Absolute value, lane by lane; its derivative at 0 is taken as +1.\n\n>>> import zarnik as zk\n>>> "
        "zk.abs(zk.Parameter(-2.0, 3.0)).eval()\n(2.0, 3.0)\n");

    def_unary(
        m, "cbrt", [](Value v) { return cbrt(std::move(v)); },
        "Cube root, lane by lane, negative lanes included (the C library's, within an ULP: cbrt(27) is "
        "3.0000000000000004); its derivative at 0 is +inf.\n\n>>> import zarnik as zk\n>>> "
        "zk.cbrt(zk.Parameter(-8.0, 64.0)).eval()\n(-2.0, 4.0)\n");

    def_binary(
        m, "pow", "base", "exponent", [](Value a, Value b) { return pow(std::move(a), std::move(b)); },
        "base to the power exponent, lane by lane, with the broadcasting of + - * /.\n\n>>> import zarnik as zk\n>>> "
        "zk.pow(zk.Parameter(2.0, 3.0), 2).eval()\n(4.0, 9.0)\n");
    def_binary(
        m, "atan2", "y", "x", [](Value a, Value b) { return atan2(std::move(a), std::move(b)); },
        "The angle of the point (x, y), lane by lane.\n\n>>> import zarnik as zk\n>>> zk.atan2(zk.Parameter(0.0), "
        "1.0).eval()\n(0.0,)\n");
    def_binary(
        m, "minimum", "a", "b", [](Value a, Value b) { return minimum(std::move(a), std::move(b)); },
        "The smaller of a and b, lane by lane; at a tie the gradient is shared evenly.\n\n>>> import zarnik as zk\n>>> "
        "zk.minimum(zk.Parameter(1.0, 5.0), 2.0).eval()\n(1.0, 2.0)\n");
    def_binary(
        m, "maximum", "a", "b", [](Value a, Value b) { return maximum(std::move(a), std::move(b)); },
        "The larger of a and b, lane by lane; at a tie the gradient is shared evenly.\n\n>>> import zarnik as zk\n>>> "
        "zk.maximum(zk.Parameter(1.0, 5.0), 2.0).eval()\n(2.0, 5.0)\n");

    def_binary(
        m, "less", "a", "b", [](Value a, Value b) { return less(std::move(a), std::move(b)); },
        "1.0 where a < b, 0.0 elsewhere, lane by lane with the broadcasting of + - * /; its derivative is "
        "zero.\n\n>>> import zarnik as zk\n>>> zk.less(zk.Parameter(1.0, 5.0), 2.0).eval()\n(1.0, 0.0)\n");
    def_binary(
        m, "less_equal", "a", "b", [](Value a, Value b) { return less_equal(std::move(a), std::move(b)); },
        "1.0 where a <= b, 0.0 elsewhere, lane by lane with the broadcasting of + - * /; its derivative is "
        "zero.\n\n>>> import zarnik as zk\n>>> zk.less_equal(zk.Parameter(1.0, 5.0), 2.0).eval()\n(1.0, 0.0)\n");
    def_binary(
        m, "greater", "a", "b", [](Value a, Value b) { return greater(std::move(a), std::move(b)); },
        "1.0 where a > b, 0.0 elsewhere, lane by lane with the broadcasting of + - * /; its derivative is "
        "zero.\n\n>>> import zarnik as zk\n>>> zk.greater(zk.Parameter(1.0, 5.0), 2.0).eval()\n(0.0, 1.0)\n");
    def_binary(
        m, "greater_equal", "a", "b", [](Value a, Value b) { return greater_equal(std::move(a), std::move(b)); },
        "1.0 where a >= b, 0.0 elsewhere, lane by lane with the broadcasting of + - * /; its derivative is "
        "zero.\n\n>>> import zarnik as zk\n>>> zk.greater_equal(zk.Parameter(1.0, 5.0), 2.0).eval()\n(0.0, 1.0)\n");
    def_binary(
        m, "equal", "a", "b", [](Value a, Value b) { return equal(std::move(a), std::move(b)); },
        "1.0 where a == b (+0.0 equals -0.0, NaN equals nothing), 0.0 elsewhere, lane by lane with the broadcasting of "
        "+ - * /; its derivative is "
        "zero.\n\n>>> import zarnik as zk\n>>> zk.equal(zk.Parameter(1.0, 5.0), 2.0).eval()\n(0.0, 0.0)\n");
    def_binary(
        m, "not_equal", "a", "b", [](Value a, Value b) { return not_equal(std::move(a), std::move(b)); },
        "1.0 where a != b (NaN differs from everything, itself included), 0.0 elsewhere, lane by lane with the "
        "broadcasting of + - * /; its derivative is "
        "zero.\n\n>>> import zarnik as zk\n>>> zk.not_equal(zk.Parameter(1.0, 5.0), 2.0).eval()\n(1.0, 1.0)\n");
    def_binary(
        m, "logical_and", "a", "b", [](Value a, Value b) { return logical_and(std::move(a), std::move(b)); },
        "1.0 where both a and b are true (not zero: NaN is true), 0.0 elsewhere, lane by lane; its derivative is "
        "zero.\n\n>>> import zarnik as zk\n>>> zk.logical_and(zk.Parameter(1.0, 0.0), 2.0).eval()\n(1.0, 0.0)\n");
    def_binary(
        m, "logical_or", "a", "b", [](Value a, Value b) { return logical_or(std::move(a), std::move(b)); },
        "1.0 where a or b is true (not zero: NaN is true), 0.0 elsewhere, lane by lane; its derivative is "
        "zero.\n\n>>> import zarnik as zk\n>>> zk.logical_or(zk.Parameter(1.0, 0.0), 0.0).eval()\n(1.0, 0.0)\n");
    def_unary(
        m, "logical_not", [](Value v) { return logical_not(std::move(v)); },
        "1.0 where a lane is zero (of either sign), 0.0 elsewhere (NaN is true, so not gives 0.0); its "
        "derivative is zero.\n\n>>> import zarnik as zk\n>>> zk.logical_not(zk.Parameter(0.0, 3.0)).eval()\n(1.0, "
        "0.0)\n");

    m.def(
        "where",
        [](const py::object& condition, const py::object& x, const py::object& y) {
            Value vy = operand(y, "where y");
            Value vx = operand(x, "where x");
            Value vc = operand(condition, "where condition");
            return where(std::move(vc), std::move(vx), std::move(vy));
        },
        py::arg("condition"), py::arg("x"), py::arg("y"),
        "x on the lanes where condition is true (not zero, NaN included) and y where it is zero, with the "
        "broadcasting of + - * / over all three. The branch a lane does not take may even be non-finite (log(0)) "
        "without failing, and its derivative there is an exact zero.\n\n>>> import zarnik as zk\n>>> x = "
        "zk.Parameter(0.0, 4.0)\n>>> zk.where(zk.greater(x, 0.0), zk.log(x), 0.0).eval()\n(0.0, "
        "1.3862943611198906)\n");

    def_unary(
        m, "sum", [](Value v) { return sum(std::move(v)); },
        "The sum of a value's lanes, a scalar.\n\n>>> import zarnik as zk\n>>> zk.sum(zk.Parameter(1.0, 2.0, "
        "3.0)).eval()\n(6.0,)\n");
    def_unary(
        m, "squared_norm", [](Value v) { return squared_norm(std::move(v)); },
        "dot(v, v), a scalar.\n\n>>> import zarnik as zk\n>>> zk.squared_norm(zk.Parameter(3.0, "
        "4.0)).eval()\n(25.0,)\n");
    def_unary(
        m, "norm", [](Value v) { return norm(std::move(v)); },
        "The Euclidean length of a value, a scalar; its gradient is not finite at the zero vector.\n\n>>> import "
        "zarnik as zk\n>>> zk.norm(zk.Parameter(3.0, 4.0)).eval()\n(5.0,)\n");
    def_unary(
        m, "normalize", [](Value v) { return normalize(std::move(v)); },
        "v / norm(v); the zero vector fails.\n\n>>> import zarnik as zk\n>>> zk.normalize(zk.Parameter(3.0, "
        "4.0)).eval()\n(0.6, 0.8)\n");
    def_binary(
        m, "dot", "a", "b", [](Value a, Value b) { return dot(std::move(a), std::move(b)); },
        "The dot product of two values of one dimension, a scalar.\n\n>>> import zarnik as zk\n>>> "
        "zk.dot(zk.Parameter(1.0, 2.0), [3.0, 4.0]).eval()\n(11.0,)\n");
    def_binary(
        m, "cross", "a", "b", [](Value a, Value b) { return cross(std::move(a), std::move(b)); },
        "The cross product of two 3-lane values.\n\n>>> import zarnik as zk\n>>> zk.cross(zk.Parameter(1.0, 0.0, 0.0), "
        "[0.0, 1.0, 0.0]).eval()\n(0.0, 0.0, 1.0)\n");

    // The core's list of operations, for the tests that check every place an
    // operation needs: (name, operands, computed by vectorised kernels in
    // approximate batches).
    m.def("_operations", [] {
        py::list entries;
        for (const OperationEntry& entry : operation_list()) {
            entries.append(py::make_tuple(entry.name, entry.operands, entry.approximated));
        }
        return entries;
    });

    m.def("grad", &gradient_graphs, py::arg("y"), py::arg("wrt"),
          R"(The gradient of the scalar expression `y` with respect to each leaf of `wrt` (parameters and
placeholders) as expressions: a list of one per leaf, of its dimension (the expression itself
for a single leaf). They are graphs like any other, which evaluate, compile and can be
differentiated again; their values are bit for bit what y.backward() adds into a cleared
gradient. A leaf that `y` does not depend on gets a constant zero.

>>> import zarnik as zk
>>> x, w = zk.Parameter(3.0, name="x"), zk.Parameter(2.0, name="w")
>>> dx, dw = zk.grad(w * x * x, [x, w])
>>> dx.eval(), dw.eval()
((12.0,), (9.0,))
>>> zk.grad(dx, x).eval()
(4.0,)
>>> zk.grad(x * x, zk.Parameter(1.0, 2.0)).is_constant
True
)");

    // The package takes these functions with `from zarnik._functions import *`:
    // __all__ names whatever public function was bound above, so that a new one
    // reaches the package with no second list to keep.
    py::list exported;
    for (const auto& [name, value] : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
        if (!name.cast<std::string>().starts_with('_')) {
            exported.append(name);
        }
    }
    m.attr("__all__") = exported;
}
