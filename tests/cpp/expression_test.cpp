#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::expect_lanes;
using testing::newest_id;
using testing::throws;

using testing::nan;

// The fields every builder sets on the node it makes.
void expect_node(const Value& node, ExpressionOp op, int dimension, std::initializer_list<Value> inputs,
                 int component_index = -1) {
    EXPECT_EQ(node.kind(), ValueKind::Expression);
    EXPECT_EQ(node.op(), op);
    EXPECT_EQ(node.dimension(), dimension);
    EXPECT_EQ(node.component_index(), component_index);
    EXPECT_EQ(node.node().value.dimension, 0);
    EXPECT_FALSE(node.has_hint());
    EXPECT_FALSE(node.has_grad());
    EXPECT_EQ(node.name(), "");
    ASSERT_EQ(node.input_count(), static_cast<int>(inputs.size()));
    int i = 0;
    for (const Value& input : inputs) {
        EXPECT_TRUE(node.input(i).same_node(input)) << "input " << i;
        ++i;
    }
    for (std::size_t slot = inputs.size(); slot < 4; ++slot) {
        EXPECT_TRUE(node.node().inputs[slot].same_node(Value{})) << "slot " << slot;
    }
}

TEST(ExpressionOpNames, AreTheEnumeratorNames) {
    const char* names[] = {"None",     "Pack",   "Component", "Add", "Subtract",
                           "Multiply", "Divide", "Negate",    "Sin", "Cos"};
    for (std::uint8_t code = 0; code < 10; ++code) {
        EXPECT_STREQ(to_string(static_cast<ExpressionOp>(code)), names[code]);
    }
    EXPECT_STREQ(to_string(static_cast<ExpressionOp>(10)), "Unknown");
    EXPECT_STREQ(to_string(static_cast<ExpressionOp>(255)), "Unknown");
}

TEST(MakeExpression, ChecksDimensionThenCountThenInputsAndNeverFolds) {
    const Value c = constant(1.0);
    EXPECT_TRUE(throws<std::invalid_argument>([&] { make_expression(ExpressionOp::Add, 5, {c, c, {}, {}}, 0, -1); },
                                              "symbolic value dimension must be in 1..4"));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { make_expression(ExpressionOp::Add, 1, {c, c, {}, {}}, 0, -1); },
                                              "symbolic expression input count must be in 1..4"));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { make_expression(ExpressionOp::Add, 1, {c, c, {}, {}}, 5, -1); },
                                              "symbolic expression input count must be in 1..4"));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { make_expression(ExpressionOp::Add, 1, {c, {}, {}, {}}, 2, -1); },
                                              "expression input is not a valid symbolic value"));

    const Value d = constant(2.0);
    const Value sum = make_expression(ExpressionOp::Add, 1, {c, d, {}, {}}, 2, -1);
    expect_node(sum, ExpressionOp::Add, 1, {c, d});
    EXPECT_GT(sum.id(), d.id());
}

TEST(UnaryBuilders, BuildNodesOverNonConstantsAndFoldConstants) {
    const Value p = parameter(1.0, 2.0, "p");
    expect_node(-p, ExpressionOp::Negate, 2, {p});
    expect_node(sin(p), ExpressionOp::Sin, 2, {p});
    expect_node(cos(p), ExpressionOp::Cos, 2, {p});
    const Value u = undefined(3, "u");
    expect_node(sin(u), ExpressionOp::Sin, 3, {u});

    const Value negated_zero = -constant(0.0);
    EXPECT_TRUE(negated_zero.is_constant());
    EXPECT_TRUE(std::signbit(negated_zero.value().lanes[0]));
    EXPECT_TRUE(cos(constant(0.0, 0.0)).is_constant());
    expect_lanes(cos(constant(0.0, 0.0)).value(), {1.0, 1.0});

    for (const auto& build : {std::function<Value(Value)>([](Value v) { return -std::move(v); }),
                              std::function<Value(Value)>([](Value v) { return sin(std::move(v)); }),
                              std::function<Value(Value)>([](Value v) { return cos(std::move(v)); })}) {
        EXPECT_TRUE(
            throws<std::invalid_argument>([&] { build(Value{}); }, "unary operand is not a valid symbolic value"));
    }
}

TEST(Component, TakesItsShortcutsInOrder) {
    const Value triple = constant(1.0, 2.0, 3.0);
    const Value lane = component(triple, 1);
    EXPECT_TRUE(lane.is_constant());
    EXPECT_FALSE(lane.same_node(triple));
    expect_lanes(lane.value(), {2.0});

    const Value p = parameter(1.0, "p");
    const Value q = parameter(2.0, "q");
    const Value r = parameter(3.0, "r");
    EXPECT_TRUE(component(vec3(p, q, r), 2).same_node(r));

    // Lane 0 of any scalar is the scalar itself, a scalar constant included.
    for (const Value& scalar : {constant(4.0), p, undefined(1, "u"), p + q}) {
        EXPECT_EQ(component(scalar, 0).id(), scalar.id());
    }
}

TEST(Component, BuildsANodeOverEverythingElse) {
    const Value v = parameter(1, 2, 3, 4, "v");
    expect_node(component(v, 3), ExpressionOp::Component, 1, {v}, 3);
    const Value p = parameter(1, 2, "p");
    const Value sum = p + parameter(3, 4, "q");
    expect_node(component(sum, 1), ExpressionOp::Component, 1, {sum}, 1);
    const Value u = undefined(2, "u");
    expect_node(component(u, 0), ExpressionOp::Component, 1, {u}, 0);
}

TEST(Component, ChecksTheHandleThenTheIndex) {
    const Value v = parameter(1, 2, 3, 4, "v");
    for (const int index : {4, -1, 100}) {
        EXPECT_TRUE(throws<std::out_of_range>([&] { component(v, index); }, "symbolic component index out of range"));
    }
    EXPECT_TRUE(
        throws<std::out_of_range>([] { component(constant(1.0), 1); }, "symbolic component index out of range"));
    EXPECT_TRUE(
        throws<std::invalid_argument>([] { component(Value{}, -1); }, "component value is not a valid symbolic value"));
}

TEST(Pack, FoldsConstantsAndOtherwiseKeepsEveryArgumentAsAnInput) {
    const Value folded = vec2(constant(1.0), constant(2.0));
    EXPECT_TRUE(folded.is_constant());
    expect_lanes(folded.value(), {1.0, 2.0});
    expect_lanes(vec4(constant(1.0), constant(2.0), constant(3.0), constant(4.0)).value(), {1.0, 2.0, 3.0, 4.0});

    const Value p = parameter(1.0, "p");
    const Value two = constant(2.0);
    expect_node(vec2(p, two), ExpressionOp::Pack, 2, {p, two});
    const Value q = parameter(2.0, "q");
    expect_node(vec3(p, q, two), ExpressionOp::Pack, 3, {p, q, two});
    expect_node(vec4(p, q, two, p), ExpressionOp::Pack, 4, {p, q, two, p});
}

TEST(Pack, ChecksEveryHandleBeforeAnyDimension) {
    const Value s = parameter(1.0, "s");
    const Value pair = parameter(1.0, 2.0, "pair");
    const Value triple = parameter(1.0, 2.0, 3.0, "triple");
    struct Case {
        std::function<void()> call;
        const char* message;
    };
    const Case cases[] = {
        {[&] { vec2(triple, Value{}); }, "vec2 y is not a valid symbolic value"},
        {[&] { vec2(Value{}, s); }, "vec2 x is not a valid symbolic value"},
        {[&] { vec3(s, s, Value{}); }, "vec3 z is not a valid symbolic value"},
        {[&] { vec3(Value{}, pair, Value{}); }, "vec3 x is not a valid symbolic value"},
        {[&] { vec4(s, Value{}, s, s); }, "vec4 y is not a valid symbolic value"},
        {[&] { vec4(s, s, s, Value{}); }, "vec4 w is not a valid symbolic value"},
        {[&] { vec2(s, pair); }, "vec2 expression inputs must be scalar symbolic values"},
        {[&] { vec3(s, pair, s); }, "vec3 expression inputs must be scalar symbolic values"},
        {[&] { vec4(constant(1.0), constant(2.0), constant(3.0), constant(1.0, 2.0)); },
         "vec4 expression inputs must be scalar symbolic values"},
    };
    for (const Case& test : cases) {
        EXPECT_TRUE(throws<std::invalid_argument>(test.call, test.message));
    }
}

TEST(BinaryBuilders, ApplyTheDimensionRule) {
    const Value s = parameter(1.0, "s");
    const Value pair = parameter(1.0, 2.0, "pair");
    const Value triple = parameter(1.0, 2.0, 3.0, "triple");
    const Value quad = parameter(1, 2, 3, 4, "quad");
    expect_node(triple - s, ExpressionOp::Subtract, 3, {triple, s});
    expect_node(s - quad, ExpressionOp::Subtract, 4, {s, quad});
    expect_node(pair * pair, ExpressionOp::Multiply, 2, {pair, pair});
    expect_node(s / s, ExpressionOp::Divide, 1, {s, s});
    EXPECT_TRUE(throws<std::invalid_argument>([&] { pair + triple; },
                                              "cannot combine symbolic values with dimensions 2 and 3"));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { triple + pair; },
                                              "cannot combine symbolic values with dimensions 3 and 2"));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { quad / constant(1.0, 2.0); },
                                              "cannot combine symbolic values with dimensions 4 and 2"));
    // Validity of both operands comes before dimensions.
    EXPECT_TRUE(
        throws<std::invalid_argument>([&] { Value{} * Value{}; }, "left operand is not a valid symbolic value"));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { pair* Value{}; }, "right operand is not a valid symbolic value"));
}

TEST(BinaryBuilders, FoldOnlyWhenBothOperandsAreConstants) {
    const Value folded = constant(1.0, 2.0, 3.0) * constant(2.0);
    EXPECT_TRUE(folded.is_constant());
    expect_lanes(folded.value(), {2.0, 4.0, 6.0});
    EXPECT_TRUE(
        throws<std::invalid_argument>([] { constant(1.0) / constant(0.0); }, "symbolic value lanes must be finite"));
    EXPECT_TRUE(throws<std::invalid_argument>([] { 1.0 / constant(0.0); }, "symbolic value lanes must be finite"));

    // No algebraic shortcuts: dividing a parameter by zero builds a node and only
    // evaluation can fail.
    const Value p = parameter(1.0, "p");
    const Value zero = constant(0.0);
    expect_node(p / zero, ExpressionOp::Divide, 1, {p, zero});
    EXPECT_EQ((p / 0.0).op(), ExpressionOp::Divide);
    EXPECT_EQ((p * 0.0).op(), ExpressionOp::Multiply);
    EXPECT_EQ((p - p).op(), ExpressionOp::Subtract);
    expect_node(p + p, ExpressionOp::Add, 1, {p, p});
}

TEST(BinaryBuilders, ANumberOperandBecomesAConstantFirst) {
    const Value p = parameter(1.0, "p");
    const Value product = p * 1.0;
    ASSERT_EQ(product.op(), ExpressionOp::Multiply);
    EXPECT_TRUE(product.input(0).same_node(p));
    EXPECT_TRUE(product.input(1).is_constant());
    expect_lanes(product.input(1).value(), {1.0});
    EXPECT_EQ(product.input(1).id() + 1, product.id());

    const Value difference = 2.0 - p;
    EXPECT_EQ(difference.op(), ExpressionOp::Subtract);
    expect_lanes(difference.input(0).value(), {2.0});
    EXPECT_TRUE(difference.input(1).same_node(p));

    const struct {
        const char* what;
        std::function<Value()> build;
        ExpressionOp op;
        bool number_on_the_left;
    } forms[] = {
        {"p + d", [&] { return p + 3.0; }, ExpressionOp::Add, false},
        {"p - d", [&] { return p - 3.0; }, ExpressionOp::Subtract, false},
        {"p / d", [&] { return p / 3.0; }, ExpressionOp::Divide, false},
        {"d + p", [&] { return 3.0 + p; }, ExpressionOp::Add, true},
        {"d * p", [&] { return 3.0 * p; }, ExpressionOp::Multiply, true},
        {"d / p", [&] { return 3.0 / p; }, ExpressionOp::Divide, true},
    };
    for (const auto& form : forms) {
        const Value node = form.build();
        EXPECT_EQ(node.op(), form.op) << form.what;
        EXPECT_TRUE(node.input(form.number_on_the_left ? 1 : 0).same_node(p)) << form.what;
        EXPECT_TRUE(node.input(form.number_on_the_left ? 0 : 1).is_constant()) << form.what;
    }
}

TEST(BinaryBuilders, ANumberOperandTakesItsIdEvenWhenTheOperatorFails) {
    const std::uint64_t before = newest_id();
    EXPECT_TRUE(throws<std::invalid_argument>([] { 2.0 - Value{}; }, "right operand is not a valid symbolic value"));
    EXPECT_EQ(newest_id(), before + 2);
    EXPECT_TRUE(
        throws<std::invalid_argument>([] { parameter(1.0, "p") + nan; }, "symbolic value lanes must be finite"));
}

TEST(Builders, FailuresTakeNoId) {
    const Value pair = parameter(1.0, 2.0, "pair");
    const Value triple = parameter(1.0, 2.0, 3.0, "triple");
    const Value one = constant(1.0);
    const Value zero = constant(0.0);
    const std::function<void()> failing[] = {
        [&] { pair + triple; },
        [&] { component(pair, 2); },
        [&] { vec2(pair, pair); },
        [&] { sin(Value{}); },
        [&] { make_expression(ExpressionOp::Add, 1, {}, 2, -1); },
        [&] { one / zero; },
    };
    for (const auto& call : failing) {
        const std::uint64_t before = newest_id();
        EXPECT_ANY_THROW(call());
        EXPECT_EQ(newest_id(), before + 1);
    }
}

}  // namespace
}  // namespace zarnik::symbolic
