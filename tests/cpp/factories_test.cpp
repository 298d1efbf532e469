#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::expect_lanes;
using testing::newest_id;
using testing::throws;

using testing::inf;
using testing::nan;

TEST(Factories, ConstantHoldsItsValueAndNothingElse) {
    const Value c = constant(2.5);
    EXPECT_EQ(c.kind(), ValueKind::Constant);
    EXPECT_EQ(c.dimension(), 1);
    expect_lanes(c.value(), {2.5});
    EXPECT_EQ(c.node().value.lanes, (std::array<double, 4>{2.5, 0, 0, 0}));
    EXPECT_EQ(c.name(), "");
    EXPECT_FALSE(c.has_hint());
    EXPECT_FALSE(c.has_grad());
    EXPECT_TRUE(c.is_leaf());
    EXPECT_EQ(c.input_count(), 0);
}

TEST(Factories, EveryInputFormOfEveryFamilyMakesTheSameNode) {
    struct Family {
        const char* what;
        ValueKind kind;
        std::function<Value(SmallValue)> from_small_value;
        std::function<Value()> from_list;
        std::function<Value()> from_doubles;
        std::function<Value()> from_vec;
    };
    const Family families[] = {
        {"constant", ValueKind::Constant, [](SmallValue v) { return constant(v); },
         [] { return constant({1.0, 2.0, 3.0}); }, [] { return constant(1.0, 2.0, 3.0); },
         [] { return constant(Vec<double, 3>{1.0, 2.0, 3.0}); }},
        {"parameter", ValueKind::Parameter, [](SmallValue v) { return parameter(v, "n"); },
         [] { return parameter({1.0, 2.0, 3.0}, "n"); }, [] { return parameter(1.0, 2.0, 3.0, "n"); },
         [] { return parameter(Vec<double, 3>{1.0, 2.0, 3.0}, "n"); }},
        {"undefined_with_hint", ValueKind::Undefined, [](SmallValue v) { return undefined_with_hint(v, "n"); },
         [] { return undefined_with_hint({1.0, 2.0, 3.0}, "n"); },
         [] { return undefined_with_hint(1.0, 2.0, 3.0, "n"); },
         [] { return undefined_with_hint(Vec<double, 3>{1.0, 2.0, 3.0}, "n"); }},
    };
    for (const Family& family : families) {
        for (const Value& made : {family.from_small_value(small_value(1.0, 2.0, 3.0)), family.from_list(),
                                  family.from_doubles(), family.from_vec()}) {
            EXPECT_EQ(made.kind(), family.kind) << family.what;
            EXPECT_EQ(made.dimension(), 3) << family.what;
            EXPECT_EQ(made.name(), family.kind == ValueKind::Constant ? "" : "n") << family.what;
            const SmallValue lanes = family.kind == ValueKind::Undefined ? made.hint() : made.value();
            expect_lanes(lanes, {1.0, 2.0, 3.0});
            if (family.kind == ValueKind::Undefined) {
                EXPECT_TRUE(throws<std::logic_error>([&] { (void)made.value(); },
                                                     "symbolic value has no direct numeric value"));
            } else {
                EXPECT_FALSE(made.has_hint());
            }
        }
    }
    // Every arity, down to one lane and up to four.
    EXPECT_EQ(constant(1.0).dimension(), 1);
    EXPECT_EQ(parameter(1.0, 2.0, "p").dimension(), 2);
    EXPECT_EQ(undefined_with_hint(1.0, 2.0, 3.0, 4.0, "u").dimension(), 4);
    EXPECT_EQ(parameter(Vec<double, 1>{1.0}, "p").dimension(), 1);
    EXPECT_EQ(constant(Vec<double, 4>{1, 2, 3, 4}).dimension(), 4);
    EXPECT_EQ(undefined_with_hint(Vec<double, 2>{1, 2}, "u").dimension(), 2);
}

TEST(Factories, FailuresCreateNothingAndTakeNoId) {
    SmallValue five = small_value(1.0);
    five.dimension = 5;
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* message;
    };
    const Case cases[] = {
        {"parameter of the empty value", [] { parameter(SmallValue{}, "p"); },
         "symbolic value dimension must be in 1..4"},
        {"constant of dimension 5", [&] { constant(five); }, "symbolic value dimension must be in 1..4"},
        {"undefined_with_hint of dimension 0", [] { undefined_with_hint(SmallValue{}, "u"); },
         "symbolic value dimension must be in 1..4"},
        {"constant of an empty list", [] { constant({}); }, "symbolic value constructor expects 1..4 lanes"},
        {"constant of five lanes", [] { constant({1, 2, 3, 4, 5}); }, "symbolic value constructor expects 1..4 lanes"},
        {"parameter of five lanes", [] { parameter({1, 2, 3, 4, 5}, "p"); },
         "symbolic value constructor expects 1..4 lanes"},
        {"constant of infinity", [] { constant(inf); }, "symbolic value lanes must be finite"},
        {"parameter of Vec (0, NaN)", [] { parameter(Vec<double, 2>{0.0, nan}, "p"); },
         "symbolic value lanes must be finite"},
        {"undefined_with_hint of 1, NaN", [] { undefined_with_hint(1.0, nan, "u"); },
         "symbolic value lanes must be finite"},
        {"constant of a NaN SmallValue", [] { constant(SmallValue{2, {1.0, nan, 0, 0}}); },
         "symbolic value lanes must be finite"},
        {"undefined of dimension 0", [] { undefined(0, "u"); }, "symbolic value dimension must be in 1..4"},
        {"undefined of dimension 5", [] { undefined(5, "u"); }, "symbolic value dimension must be in 1..4"},
    };
    for (const Case& test : cases) {
        const std::uint64_t before = newest_id();
        EXPECT_TRUE(throws<std::invalid_argument>(test.call, test.message)) << test.what;
        EXPECT_EQ(newest_id(), before + 1) << test.what;
    }
}

TEST(Factories, UndefinedWithAndWithoutHint) {
    const Value plain = undefined(3, "");
    EXPECT_EQ(plain.kind(), ValueKind::Undefined);
    EXPECT_EQ(plain.dimension(), 3);
    EXPECT_FALSE(plain.has_hint());
    EXPECT_TRUE(throws<std::logic_error>([&] { (void)plain.value(); }, "symbolic value has no direct numeric value"));

    const Value hinted = undefined_with_hint(Vec<double, 2>{0.5, 1.5}, "h");
    EXPECT_EQ(hinted.dimension(), 2);
    ASSERT_TRUE(hinted.has_hint());
    EXPECT_EQ(hinted.hint().lanes, (std::array<double, 4>{0.5, 1.5, 0, 0}));
    EXPECT_EQ(hinted.node().value.dimension, 0);
}

TEST(Factories, SpareLanesOfASmallValuePassUnexaminedAndAreKept) {
    const SmallValue value{1, {4.0, nan, nan, nan}};
    const Value c = constant(value);
    expect_lanes(c.value(), {4.0});
    EXPECT_TRUE(std::isnan(c.node().value.lanes[1]));
}

TEST(Factories, NamesAreKeptVerbatimAndEveryCallMakesANewNode) {
    const std::string long_name(100, 'n');
    EXPECT_EQ(parameter(1.0, long_name).name(), long_name);
    EXPECT_EQ(undefined(1, "").name(), "");
    const Value first = constant(1.0);
    const Value second = constant(1.0);
    EXPECT_EQ(second.id(), first.id() + 1);
    EXPECT_FALSE(first.same_node(second));
}

}  // namespace
}  // namespace zarnik::symbolic
