#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>

#include "symbolic/symbolic.hpp"

namespace zarnik::symbolic::testing {

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf = std::numeric_limits<double>::infinity();

// Passes when `call` throws exactly `Expected` (not a subclass or a base)
// with exactly `message`.
template <typename Expected, typename Call>
::testing::AssertionResult throws(Call&& call, std::string_view message) {
    try {
        call();
    } catch (const std::exception& error) {
        if (typeid(error) != typeid(Expected)) {
            return ::testing::AssertionFailure() << "threw " << typeid(error).name() << " (\"" << error.what()
                                                 << "\") instead of " << typeid(Expected).name();
        }
        if (error.what() != message) {
            return ::testing::AssertionFailure() << "message \"" << error.what() << "\" instead of \"" << message
                                                 << '"';
        }
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "threw nothing";
}

// The core's three exception types, for tables of failure cases.
enum class Thrown { InvalidArgument, OutOfRange, LogicError };

template <typename Call>
::testing::AssertionResult throws(Thrown expected, Call&& call, std::string_view message) {
    switch (expected) {
        case Thrown::InvalidArgument: return throws<std::invalid_argument>(call, message);
        case Thrown::OutOfRange: return throws<std::out_of_range>(call, message);
        case Thrown::LogicError: break;
    }
    return throws<std::logic_error>(call, message);
}

// A row of a table of failure cases.
struct FailureCase {
    const char* what;
    std::function<void()> call;
    Thrown type;
    const char* message;
};

// Expects every lane below `expected.dimension` and the dimension itself to match exactly.
inline void expect_lanes(const SmallValue& actual, std::initializer_list<double> expected) {
    ASSERT_EQ(actual.dimension, static_cast<int>(expected.size()));
    int i = 0;
    for (const double lane : expected) {
        EXPECT_EQ(actual.lanes[static_cast<std::size_t>(i)], lane) << "lane " << i;
        ++i;
    }
}

// A fresh parameter has just taken the newest id: what any node made later must exceed.
inline std::uint64_t newest_id() { return parameter(0.0, "probe").id(); }

}  // namespace zarnik::symbolic::testing
