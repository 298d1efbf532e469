#include <cmath>
#include <limits>
#include <stdexcept>

#include "symbolic/graph/internal.hpp"

namespace zarnik::symbolic {

namespace {

template <std::size_t N>
SmallValue from_lanes(const double (&lanes)[N]) {
    SmallValue result;
    result.dimension = static_cast<std::int32_t>(N);
    for (std::size_t i = 0; i < N; ++i) {
        result.lanes[i] = lanes[i];
    }
    detail::require_finite(result);
    return result;
}

template <int N>
SmallValue from_vec(const Vec<double, N>& v) {
    return from_lanes(v.elements);
}

}  // namespace

double SmallValue::operator[](int index) const {
    if (index < 0 || index >= dimension) {
        detail::raise_lane_out_of_range();
    }
    return lanes[static_cast<std::size_t>(index)];
}

void detail::raise_not_finite() { throw std::invalid_argument("symbolic value lanes must be finite"); }

void detail::raise_lane_out_of_range() { throw std::out_of_range("symbolic value lane index out of range"); }

void detail::raise_input_out_of_range() { throw std::out_of_range("symbolic expression input index out of range"); }

void detail::require_dimension(int dimension) {
    if (dimension < 1 || dimension > 4) {
        throw std::invalid_argument("symbolic value dimension must be in 1..4");
    }
}

void detail::require_finite(const SmallValue& value) {
    require_dimension(value.dimension);
    for (int i = 0; i < value.dimension; ++i) {
        if (!detail::is_finite_lane(value.lanes[static_cast<std::size_t>(i)])) {
            raise_not_finite();
        }
    }
}

SmallValue small_value(std::initializer_list<double> lanes) {
    if (lanes.size() < 1 || lanes.size() > 4) {
        throw std::invalid_argument("symbolic value constructor expects 1..4 lanes");
    }
    SmallValue result;
    result.dimension = static_cast<std::int32_t>(lanes.size());
    std::size_t i = 0;
    for (const double lane : lanes) {
        result.lanes[i++] = lane;
    }
    detail::require_finite(result);
    return result;
}

SmallValue small_value(double x) { return from_lanes({x}); }
SmallValue small_value(double x, double y) { return from_lanes({x, y}); }
SmallValue small_value(double x, double y, double z) { return from_lanes({x, y, z}); }
SmallValue small_value(double x, double y, double z, double w) { return from_lanes({x, y, z, w}); }
SmallValue small_value(const Vec<double, 1>& v) { return from_vec(v); }
SmallValue small_value(const Vec<double, 2>& v) { return from_vec(v); }
SmallValue small_value(const Vec<double, 3>& v) { return from_vec(v); }
SmallValue small_value(const Vec<double, 4>& v) { return from_vec(v); }

}  // namespace zarnik::symbolic
