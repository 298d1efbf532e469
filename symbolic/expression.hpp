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
