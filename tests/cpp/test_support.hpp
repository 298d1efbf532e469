#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

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
            return ::testing::AssertionFailure()
                   << "message \"" << error.what() << "\" instead of \"" << message << '"';
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

// Equal to the bit: NaN payloads and the sign of zero count, and so do a
// lane vector's spare lanes.
inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline bool same_bits(const SmallValue& a, const SmallValue& b) {
    return a.dimension == b.dimension && std::memcmp(a.lanes.data(), b.lanes.data(), sizeof a.lanes) == 0;
}

inline bool same_bits(const std::vector<SmallValue>& a, const std::vector<SmallValue>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

// What a call did: what it returned, or the type and text of what it threw.
template <typename Result>
struct Outcome {
    std::optional<Result> result;
    std::string thrown;

    bool operator==(const Outcome& other) const {
        return thrown == other.thrown && result.has_value() == other.result.has_value() &&
               (!result || same_bits(*result, *other.result));
    }
};

template <typename Call>
auto outcome_of(Call&& call) {
    using Result = std::decay_t<decltype(call())>;
    try {
        return Outcome<Result>{call(), {}};
    } catch (const std::exception& error) {
        return Outcome<Result>{std::nullopt, std::string(typeid(error).name()) + ": " + error.what()};
    }
}

// A fresh parameter has just taken the newest id: what any node made later must exceed.
inline std::uint64_t newest_id() { return parameter(0.0, "probe").id(); }

}  // namespace zarnik::symbolic::testing
