#include <stdexcept>
#include <utility>

#include "symbolic/graph/internal.hpp"

namespace zarnik::symbolic {

namespace {

Value leaf(ValueKind kind, SmallValue value, std::string name) {
    detail::require_finite(value);
    return Value(make_node(kind, value.dimension, value, std::nullopt, std::move(name)));
}

Value placeholder(SmallValue hint, std::string name) {
    detail::require_finite(hint);
    return Value(make_node(ValueKind::Undefined, hint.dimension, SmallValue{}, hint, std::move(name)));
}

}  // namespace

Value constant(SmallValue value) { return leaf(ValueKind::Constant, value, {}); }
Value constant(std::initializer_list<double> lanes) { return constant(small_value(lanes)); }
Value constant(double x) { return constant(small_value(x)); }
Value constant(double x, double y) { return constant(small_value(x, y)); }
Value constant(double x, double y, double z) { return constant(small_value(x, y, z)); }
Value constant(double x, double y, double z, double w) { return constant(small_value(x, y, z, w)); }
Value constant(const Vec<double, 1>& v) { return constant(small_value(v)); }
Value constant(const Vec<double, 2>& v) { return constant(small_value(v)); }
Value constant(const Vec<double, 3>& v) { return constant(small_value(v)); }
Value constant(const Vec<double, 4>& v) { return constant(small_value(v)); }

Value parameter(SmallValue value, std::string name) { return leaf(ValueKind::Parameter, value, std::move(name)); }
Value parameter(std::initializer_list<double> lanes, std::string name) {
    return parameter(small_value(lanes), std::move(name));
}
Value parameter(double x, std::string name) { return parameter(small_value(x), std::move(name)); }
Value parameter(double x, double y, std::string name) { return parameter(small_value(x, y), std::move(name)); }
Value parameter(double x, double y, double z, std::string name) {
    return parameter(small_value(x, y, z), std::move(name));
}
Value parameter(double x, double y, double z, double w, std::string name) {
    return parameter(small_value(x, y, z, w), std::move(name));
}
Value parameter(const Vec<double, 1>& v, std::string name) { return parameter(small_value(v), std::move(name)); }
Value parameter(const Vec<double, 2>& v, std::string name) { return parameter(small_value(v), std::move(name)); }
Value parameter(const Vec<double, 3>& v, std::string name) { return parameter(small_value(v), std::move(name)); }
Value parameter(const Vec<double, 4>& v, std::string name) { return parameter(small_value(v), std::move(name)); }

Value undefined(int dimension, std::string name) {
    detail::require_dimension(dimension);
    return Value(make_node(ValueKind::Undefined, dimension, SmallValue{}, std::nullopt, std::move(name)));
}

Value undefined_with_hint(SmallValue hint, std::string name) { return placeholder(hint, std::move(name)); }
Value undefined_with_hint(std::initializer_list<double> hint, std::string name) {
    return placeholder(small_value(hint), std::move(name));
}
Value undefined_with_hint(double x, std::string name) { return placeholder(small_value(x), std::move(name)); }
Value undefined_with_hint(double x, double y, std::string name) {
    return placeholder(small_value(x, y), std::move(name));
}
Value undefined_with_hint(double x, double y, double z, std::string name) {
    return placeholder(small_value(x, y, z), std::move(name));
}
Value undefined_with_hint(double x, double y, double z, double w, std::string name) {
    return placeholder(small_value(x, y, z, w), std::move(name));
}
Value undefined_with_hint(const Vec<double, 1>& v, std::string name) {
    return placeholder(small_value(v), std::move(name));
}
Value undefined_with_hint(const Vec<double, 2>& v, std::string name) {
    return placeholder(small_value(v), std::move(name));
}
Value undefined_with_hint(const Vec<double, 3>& v, std::string name) {
    return placeholder(small_value(v), std::move(name));
}
Value undefined_with_hint(const Vec<double, 4>& v, std::string name) {
    return placeholder(small_value(v), std::move(name));
}

}  // namespace zarnik::symbolic
