#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "symbolic/graph/internal.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::expect_lanes;
using testing::newest_id;
using testing::throws;

using testing::nan;

TEST(Value, EmptyHandleRefusesEveryAccessor) {
    const Value empty;
    EXPECT_FALSE(empty.is_leaf());
    EXPECT_TRUE(empty.same_node(Value{}));
    EXPECT_FALSE(empty.same_node(constant(1.0)));
    EXPECT_FALSE(constant(1.0).same_node(empty));

    const std::function<void()> accessors[] = {
        [&] { (void)empty.node(); },
        [&] { (void)empty.mutable_node(); },
        [&] { (void)empty.id(); },
        [&] { (void)empty.kind(); },
        [&] { (void)empty.op(); },
        [&] { (void)empty.dimension(); },
        [&] { (void)empty.component_index(); },
        [&] { (void)empty.name(); },
        [&] { (void)empty.is_constant(); },
        [&] { (void)empty.is_parameter(); },
        [&] { (void)empty.is_undefined(); },
        [&] { (void)empty.is_expression(); },
        [&] { (void)empty.value(); },
        [&] { (void)empty.has_hint(); },
        [&] { (void)empty.hint(); },
        [&] { (void)empty.has_grad(); },
        [&] { (void)empty.grad(); },
        [&] { (void)empty.input_count(); },
        [&] { (void)empty.input(0); },
        [&] { (void)empty.debug_string(); },
        [&] { empty.set_value(small_value(1.0)); },
    };
    for (const auto& access : accessors) {
        EXPECT_TRUE(throws<std::logic_error>(access, "invalid symbolic value handle"));
    }
    EXPECT_TRUE(throws<std::invalid_argument>([&] { detail::require_valid(empty, "left operand"); },
                                              "left operand is not a valid symbolic value"));
    EXPECT_NO_THROW(detail::require_valid(constant(1.0), "left operand"));
}

TEST(Value, AbsentPayloadsAreReportedAsLogicErrors) {
    const Value placeholder = undefined(2, "u");
    const Value sum = parameter(1.0, "p") + parameter(2.0, "q");
    EXPECT_TRUE(
        throws<std::logic_error>([&] { (void)placeholder.value(); }, "symbolic value has no direct numeric value"));
    EXPECT_TRUE(throws<std::logic_error>([&] { (void)sum.value(); }, "symbolic value has no direct numeric value"));
    EXPECT_TRUE(throws<std::logic_error>([&] { (void)placeholder.hint(); }, "symbolic value has no hint"));
    EXPECT_TRUE(throws<std::logic_error>([&] { (void)parameter(1.0, "p").grad(); }, "symbolic value has no gradient"));
}

TEST(Value, InputIndexIsBoundedByTheInputCount) {
    const Value p = parameter(1.0, "p");
    const Value sum = p + 1.0;
    EXPECT_TRUE(throws<std::out_of_range>([&] { (void)p.input(0); }, "symbolic expression input index out of range"));
    EXPECT_TRUE(throws<std::out_of_range>([&] { (void)sum.input(sum.input_count()); },
                                          "symbolic expression input index out of range"));
    EXPECT_TRUE(
        throws<std::out_of_range>([&] { (void)sum.input(-1); }, "symbolic expression input index out of range"));
    EXPECT_TRUE(sum.input(0).same_node(p));
}

TEST(Value, CopiesShareTheNode) {
    const Value p = parameter(1.0, 2.0, "p");
    const Value copy = p;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_TRUE(copy.same_node(p));
    copy.set_value(small_value(5.0, 6.0));
    expect_lanes(p.value(), {5.0, 6.0});
    Value moved = p;
    const Value target = std::move(moved);
    EXPECT_TRUE(target.same_node(p));
    EXPECT_TRUE(moved.same_node(Value{}));  // NOLINT(bugprone-use-after-move): moved-from handles are empty
}

TEST(SetValue, ChecksTheValueBeforeTheNode) {
    const Value c = constant(1.0);
    const Value p = parameter(1.0, 2.0, "p");
    SmallValue five = small_value(1.0);
    five.dimension = 5;
    struct Case {
        const char* what;
        Value target;
        SmallValue value;
        const char* message;
    };
    const Case invalid_argument_cases[] = {
        {"NaN on a constant", c, SmallValue{1, {nan, 0.0, 0.0, 0.0}}, "symbolic value lanes must be finite"},
        {"dimension 0 on an empty handle", Value{}, SmallValue{}, "symbolic value dimension must be in 1..4"},
        {"dimension 5", p, five, "symbolic value dimension must be in 1..4"},
        {"wrong dimension", p, small_value(1.0, 2.0, 3.0), "set_value() dimension does not match Parameter dimension"},
    };
    for (const Case& test : invalid_argument_cases) {
        EXPECT_TRUE(throws<std::invalid_argument>([&] { test.target.set_value(test.value); }, test.message))
            << test.what;
    }
    EXPECT_TRUE(throws<std::logic_error>([&] { c.set_value(small_value(2.0)); },
                                         "set_value() is only valid for Parameter values"));
    EXPECT_TRUE(throws<std::logic_error>([&] { undefined(1, "u").set_value(small_value(2.0)); },
                                         "set_value() is only valid for Parameter values"));
    expect_lanes(p.value(), {1.0, 2.0});
    expect_lanes(c.value(), {1.0});
}

TEST(SetValue, ReplacesTheWholeValueAndKeepsIdNameAndGradient) {
    const Value p = parameter(1.0, 2.0, "p");
    const std::uint64_t id = p.id();
    p.mutable_node().grad = small_value(0.5, 0.25);
    SmallValue next = small_value(3.0, 4.0);
    next.lanes[3] = nan;  // spare lanes travel along unexamined
    p.set_value(next);
    expect_lanes(p.value(), {3.0, 4.0});
    EXPECT_TRUE(std::isnan(p.node().value.lanes[3]));
    EXPECT_EQ(p.id(), id);
    EXPECT_EQ(p.name(), "p");
    ASSERT_TRUE(p.has_grad());
    expect_lanes(p.grad(), {0.5, 0.25});
}

TEST(MakeNode, ChecksDimensionThenValueThenHintAndConsumesNoIdOnFailure) {
    const SmallValue hint2 = small_value(1.0, 2.0);
    struct Case {
        const char* what;
        int dimension;
        SmallValue value;
        std::optional<SmallValue> hint;
        const char* message;
    };
    const Case cases[] = {
        {"dimension 5 before a NaN value", 5, SmallValue{1, {nan, 0.0, 0.0, 0.0}}, std::nullopt,
         "symbolic value dimension must be in 1..4"},
        {"dimension 0", 0, SmallValue{}, std::nullopt, "symbolic value dimension must be in 1..4"},
        {"hint of another dimension", 3, SmallValue{}, hint2, "symbolic hint dimension mismatch"},
        {"hint of dimension 0", 3, SmallValue{}, SmallValue{}, "symbolic value dimension must be in 1..4"},
    };
    for (const Case& test : cases) {
        const std::uint64_t before = newest_id();
        EXPECT_TRUE(throws<std::invalid_argument>(
            [&] { make_node(ValueKind::Undefined, test.dimension, test.value, test.hint, "n"); }, test.message))
            << test.what;
        EXPECT_EQ(newest_id(), before + 1) << test.what << ": a failed make_node took an id";
    }
    SmallValue nan_value = small_value(1.0);
    nan_value.lanes[0] = nan;
    EXPECT_TRUE(throws<std::invalid_argument>([&] { make_node(ValueKind::Constant, 1, nan_value, std::nullopt, ""); },
                                              "symbolic value lanes must be finite"));
    // An empty value is not examined at all, whatever its lanes hold.
    const SmallValue empty_with_nan{0, {nan, nan, nan, nan}};
    EXPECT_NO_THROW(make_node(ValueKind::Undefined, 2, empty_with_nan, std::nullopt, ""));
}

TEST(MakeNode, FillsTheRecord) {
    const std::uint64_t before = newest_id();
    // A handle takes a new node by plain initialisation.
    const Value node = make_node(ValueKind::Undefined, 2, SmallValue{}, small_value(1.0, 2.0), "pos");
    EXPECT_EQ(node.id(), before + 1);
    EXPECT_EQ(node.kind(), ValueKind::Undefined);
    EXPECT_EQ(node.op(), ExpressionOp::None);
    EXPECT_EQ(node.dimension(), 2);
    EXPECT_EQ(node.component_index(), -1);
    EXPECT_EQ(node.input_count(), 0);
    EXPECT_EQ(node.name(), "pos");
    EXPECT_FALSE(node.has_grad());
    EXPECT_TRUE(node.is_leaf());
    for (const Value& slot : node.node().inputs) {
        EXPECT_TRUE(slot.same_node(Value{}));
    }
}

TEST(ToString, NamesValueKindsAndUnknownBytes) {
    EXPECT_STREQ(to_string(ValueKind::Constant), "Constant");
    EXPECT_STREQ(to_string(ValueKind::Parameter), "Parameter");
    EXPECT_STREQ(to_string(ValueKind::Undefined), "Undefined");
    EXPECT_STREQ(to_string(ValueKind::Expression), "Expression");
    EXPECT_STREQ(to_string(static_cast<ValueKind>(7)), "Unknown");
}

TEST(DebugString, ShowsKindDimensionIdNameAndOperation) {
    const Value c = constant(1.0);
    const Value x = parameter(1.0, 2.0, "x");
    const Value pos = undefined(4, "pos");
    const Value sum = parameter(1, 2, 3, "") + constant(1, 2, 3) * x.node().value.lanes[0];
    EXPECT_EQ(c.debug_string(), "Constant<1>#" + std::to_string(c.id()));
    EXPECT_EQ(x.debug_string(), "Parameter<2>#" + std::to_string(x.id()) + "(x)");
    EXPECT_EQ(pos.debug_string(), "Undefined<4>#" + std::to_string(pos.id()) + "(pos)");
    EXPECT_EQ(sum.debug_string(), "Expression<3>#" + std::to_string(sum.id()) + " op=Add");
    const Value odd = make_expression(static_cast<ExpressionOp>(12), 1, {c, {}, {}, {}}, 1, -1);
    EXPECT_EQ(odd.debug_string(), "Expression<1>#" + std::to_string(odd.id()) + " op=Unknown");
}

}  // namespace
}  // namespace zarnik::symbolic
