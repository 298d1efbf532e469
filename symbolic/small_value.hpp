#pragma once

// Lane vectors: the numeric payload of the whole library.

#include <array>
#include <cstdint>
#include <initializer_list>

#include "symbolic/vec.hpp"

namespace zarnik::symbolic {

// One to four double lanes. Lanes at and beyond `dimension` are spare and hold
// 0.0 in every value this library makes; a value-initialised SmallValue is the
// empty value (dimension 0).
struct SmallValue {
    std::int32_t dimension = 0;
    std::array<double, 4> lanes{};

    // The lane at `index`; throws std::out_of_range unless 0 <= index < dimension.
    double operator[](int index) const;
};

SmallValue small_value(std::initializer_list<double> lanes);
SmallValue small_value(double x);
SmallValue small_value(double x, double y);
SmallValue small_value(double x, double y, double z);
SmallValue small_value(double x, double y, double z, double w);
SmallValue small_value(const Vec<double, 1>& v);
SmallValue small_value(const Vec<double, 2>& v);
SmallValue small_value(const Vec<double, 3>& v);
SmallValue small_value(const Vec<double, 4>& v);

}  // namespace zarnik::symbolic
