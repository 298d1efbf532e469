#pragma once

// Building expressions: operators, functions, packing and components, with
// constant folding.

#include <array>

#include "symbolic/value.hpp"

namespace zarnik::symbolic {

// The raw constructor of expression nodes: checks only the dimension, the input
// count and the inputs in use, and never folds.
Value make_expression(ExpressionOp op, int dimension, std::array<Value, 4> inputs, int input_count,
                      int component_index);

Value operator-(Value operand);
Value sin(Value operand);
Value cos(Value operand);

// The elementary functions, lane by lane, each the C library's function of
// the same name on every lane. A result that is not finite (outside the
// domain, or overflowing) throws std::invalid_argument "symbolic value lanes
// must be finite": when built from constants, or at evaluation.
Value sqrt(Value operand);
Value exp(Value operand);
Value log(Value operand);
Value log1p(Value operand);
Value expm1(Value operand);
Value tanh(Value operand);
Value sinh(Value operand);
Value cosh(Value operand);
Value tan(Value operand);
Value asin(Value operand);
Value acos(Value operand);
Value atan(Value operand);
Value abs(Value operand);
Value cbrt(Value operand);

// Binary functions, lane by lane, with the dimension rule of + - * /.
// atan2(y, x) is the angle of the point (x, y); minimum and maximum give
// the first operand at a tie (maximum(+0.0, -0.0) is +0.0).
Value pow(Value base, Value exponent);
Value pow(Value base, double exponent);
Value pow(double base, Value exponent);
Value atan2(Value y, Value x);
Value atan2(Value y, double x);
Value atan2(double y, Value x);
Value minimum(Value left, Value right);
Value minimum(Value left, double right);
Value minimum(double left, Value right);
Value maximum(Value left, Value right);
Value maximum(Value left, double right);
Value maximum(double left, Value right);

// Comparisons and logic, lane by lane with the dimension rule of + - * /:
// 1.0 where the relation holds, 0.0 where it does not (NaN compares false,
// and unequal to everything). The logical ones take a lane that is not zero,
// NaN included, as true. Their derivatives are zero.
Value less(Value left, Value right);
Value less(Value left, double right);
Value less(double left, Value right);
Value less_equal(Value left, Value right);
Value less_equal(Value left, double right);
Value less_equal(double left, Value right);
Value greater(Value left, Value right);
Value greater(Value left, double right);
Value greater(double left, Value right);
Value greater_equal(Value left, Value right);
Value greater_equal(Value left, double right);
Value greater_equal(double left, Value right);
Value equal(Value left, Value right);
Value equal(Value left, double right);
Value equal(double left, Value right);
Value not_equal(Value left, Value right);
Value not_equal(Value left, double right);
Value not_equal(double left, Value right);
Value logical_and(Value left, Value right);
Value logical_and(Value left, double right);
Value logical_and(double left, Value right);
Value logical_or(Value left, Value right);
Value logical_or(Value left, double right);
Value logical_or(double left, Value right);
Value logical_not(Value operand);

// where(c, x, y): x on the lanes where the condition is true (not zero, NaN
// included) and y where it is zero, with the broadcasting of + - * / over all
// three. The branch a lane does not take may be anything, even not finite
// (log(x) where x is 0), without failing; the derivative goes to the branch
// taken only, and the other gets an exact zero. A constant condition that
// takes one branch on every lane gives that branch itself.
Value where(Value condition, Value x, Value y);
Value where(Value condition, Value x, double y);
Value where(Value condition, double x, Value y);
Value where(Value condition, double x, double y);

// The operations that derivatives are made of where a function is not
// smooth (derivatives.hpp), lane by lane; constants fold as everywhere.
// sign(x): -1 below 0, +1 at and above it (both zeros): the derivative of abs.
// step(a, b): 1 where a < b, 1/2 where a == b, 0 where a > b: the share of a
// tie that minimum and maximum give each operand.
// gate(c, v): v where c is not 0, and 0 where it is, whatever v is.
// Their own derivatives are zero, except gate's in v, which is gate(c, 1).
Value sign(Value operand);
Value step(Value left, Value right);
Value gate(Value condition, Value value);

Value component(Value value, int index);

Value vec2(Value x, Value y);
Value vec3(Value x, Value y, Value z);
Value vec4(Value x, Value y, Value z, Value w);

Value operator+(Value left, Value right);
Value operator-(Value left, Value right);
Value operator*(Value left, Value right);
Value operator/(Value left, Value right);
Value operator+(Value left, double right);
Value operator-(Value left, double right);
Value operator*(Value left, double right);
Value operator/(Value left, double right);
Value operator+(double left, Value right);
Value operator-(double left, Value right);
Value operator*(double left, Value right);
Value operator/(double left, Value right);

}  // namespace zarnik::symbolic
