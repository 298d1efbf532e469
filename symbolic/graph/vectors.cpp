#include "symbolic/vectors.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "symbolic/expression.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/graph/internal.hpp"

namespace zarnik::symbolic {

namespace {

void require_same_dimension(const Value& a, const Value& b, const char* what) {
    if (a.dimension() != b.dimension()) {
        throw std::invalid_argument(std::string(what) + " needs symbolic values of one dimension, not " +
                                    std::to_string(a.dimension()) + " and " + std::to_string(b.dimension()));
    }
}

}  // namespace

Value sum(Value v) {
    detail::require_valid(v, "sum operand");
    Value total = component(v, 0);
    for (int i = 1; i < v.dimension(); ++i) {
        total = std::move(total) + component(v, i);
    }
    return total;
}

Value dot(Value a, Value b) {
    detail::require_valid(a, "dot left operand");
    detail::require_valid(b, "dot right operand");
    require_same_dimension(a, b, "dot");
    return sum(std::move(a) * std::move(b));
}

Value squared_norm(Value v) {
    detail::require_valid(v, "squared_norm operand");
    return dot(v, v);
}

namespace {

// v as s * w, with s the largest |lane| and w = v / s, whose largest lane is
// +-1 (when it exceeds 2^-1000): the squares of w lie in [0, 1] and their sum
// in [1, 4], where v's own
// squares overflow from 1e154 and vanish below 1e-162 though its length is a
// double. s is at least 2^-1000, a normal number: dividing a subnormal lane
// by it is exact, the zero vector needs no case of its own (w is 0), and
// the gradient that reaches w (s times the length's) keeps its digits.
// Composed of the operations, so that it folds, compiles and differentiates
// as they do; s's part of the derivative cancels, as |v| = s |w| whatever s is.
struct Scaled {
    Value scale;
    Value unit_lanes;
};

Scaled scaled(const Value& v) {
    Value scale = constant(std::ldexp(1.0, -1000));
    for (int i = 0; i < v.dimension(); ++i) {
        scale = maximum(abs(component(v, i)), std::move(scale));
    }
    Value unit_lanes = v / scale;
    return {std::move(scale), std::move(unit_lanes)};
}

}  // namespace

Value norm(Value v) {
    detail::require_valid(v, "norm operand");
    const Scaled w = scaled(v);
    return sqrt(squared_norm(w.unit_lanes)) * w.scale;
}

Value normalize(Value v) {
    detail::require_valid(v, "normalize operand");
    const Scaled w = scaled(v);
    return w.unit_lanes / sqrt(squared_norm(w.unit_lanes));
}

Value cross(Value a, Value b) {
    detail::require_valid(a, "cross left operand");
    detail::require_valid(b, "cross right operand");
    if (a.dimension() != 3 || b.dimension() != 3) {
        throw std::invalid_argument("cross needs two symbolic values of 3 lanes, not " + std::to_string(a.dimension()) +
                                    " and " + std::to_string(b.dimension()));
    }
    const Value ax = component(a, 0), ay = component(a, 1), az = component(a, 2);
    const Value bx = component(b, 0), by = component(b, 1), bz = component(b, 2);
    return vec3(ay * bz - az * by, az * bx - ax * bz, ax * by - ay * bx);
}

}  // namespace zarnik::symbolic
