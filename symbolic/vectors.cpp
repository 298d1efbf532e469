#include "symbolic/vectors.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include "detail/internal.hpp"
#include "symbolic/expression.hpp"

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

Value norm(Value v) {
    detail::require_valid(v, "norm operand");
    return sqrt(squared_norm(std::move(v)));
}

Value normalize(Value v) {
    detail::require_valid(v, "normalize operand");
    Value length = norm(v);
    return std::move(v) / std::move(length);
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
