#pragma once

// Vector helpers, built from the lane-wise operations, components and
// packing: their results fold, evaluate, compile and differentiate like any
// other expression. Each accepts 1..4 lanes (a scalar counts as a vector of
// one lane) unless it says otherwise.

#include "symbolic/value.hpp"

namespace zarnik::symbolic {

// The lanes added in order: ((v.x + v.y) + v.z) + v.w; a scalar itself.
Value sum(Value v);
// sum(a * b); `a` and `b` must have one dimension (std::invalid_argument).
Value dot(Value a, Value b);
// dot(v, v).
Value squared_norm(Value v);
// sqrt(squared_norm(v)): its gradient is not finite at the zero vector.
Value norm(Value v);
// v / norm(v): the zero vector has no direction, and fails as 0 / 0 does.
Value normalize(Value v);
// The cross product of two 3-lane vectors (std::invalid_argument otherwise).
Value cross(Value a, Value b);

}  // namespace zarnik::symbolic
