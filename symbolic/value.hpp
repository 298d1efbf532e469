#pragma once

// Graph nodes, the handles that share them, and node ids.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "symbolic/small_value.hpp"

namespace zarnik::symbolic {

enum class ValueKind : std::uint8_t { Constant = 0, Parameter = 1, Undefined = 2, Expression = 3 };

enum class ExpressionOp : std::uint8_t {
    None = 0,
    Pack = 1,
    Component = 2,
    Add = 3,
    Subtract = 4,
    Multiply = 5,
    Divide = 6,
    Negate = 7,
    Sin = 8,
    Cos = 9,
    // The elementary functions leave 10..15 unnamed, so that those bytes stay
    // "Unknown"; the unary ones take 16.., the binary ones 32...
    Sqrt = 16,
    Exp = 17,
    Log = 18,
    Log1p = 19,
    Expm1 = 20,
    Tanh = 21,
    Sinh = 22,
    Cosh = 23,
    Tan = 24,
    Asin = 25,
    Acos = 26,
    Atan = 27,
    Abs = 28,
    // Derivative graphs are also made of these three (derivatives.hpp).
    Sign = 29,
    Cbrt = 30,
    // Comparisons and logic give 1.0 for true and 0.0 for false; any lane
    // that is not zero (NaN included) is true.
    LogicalNot = 31,
    Pow = 32,
    Atan2 = 33,
    Minimum = 34,
    Maximum = 35,
    Step = 36,
    Gate = 37,
    Less = 38,
    LessEqual = 39,
    Greater = 40,
    GreaterEqual = 41,
    Equal = 42,
    NotEqual = 43,
    LogicalAnd = 44,
    LogicalOr = 45,
    // Operations of three operands take 64...
    Where = 64,
};

const char* to_string(ValueKind kind);
const char* to_string(ExpressionOp op);

// What the core's one list of operations says of each operation, in the
// list's order: for tests and tools that check every operation has its
// builder, binding and documentation.
struct OperationEntry {
    ExpressionOp op;
    const char* name;
    int operands;       // 1, 2 or 3 (where) for the lane-wise operations, 0 for Pack and Component
    bool approximated;  // computed by vectorised kernels in approximate batches
};
std::vector<OperationEntry> operation_list();

struct ValueNode;

namespace detail {
struct NodeAccess;
}

// A shared handle to one graph node. Copying shares the node; a default or
// moved-from handle is empty. Every member is const: none re-seats the handle,
// although set_value, backward and zero_grad change the shared nodes.
class Value {
public:
    Value() = default;
    // Not explicit: `Value v = make_node(...)` takes the new node as any handle would.
    Value(std::shared_ptr<ValueNode> node) noexcept : node_(std::move(node)) {}

    const ValueNode& node() const;
    ValueNode& mutable_node() const;

    std::uint64_t id() const;
    ValueKind kind() const;
    ExpressionOp op() const;
    int dimension() const;
    int component_index() const;
    const std::string& name() const;

    bool is_constant() const;
    bool is_parameter() const;
    bool is_undefined() const;
    bool is_expression() const;
    bool is_leaf() const noexcept;

    SmallValue value() const;
    bool has_hint() const;
    SmallValue hint() const;
    bool has_grad() const;
    SmallValue grad() const;

    int input_count() const;
    const Value& input(int index) const;

    bool same_node(const Value& other) const noexcept { return node_ == other.node_; }

    void set_value(SmallValue value) const;
    std::string debug_string() const;

    // Recomputes the graph below this value and returns its lanes.
    SmallValue evaluate() const;
    // Adds d(output)/d(parameter), scaled by the seed, into every parameter below.
    void backward(SmallValue seed) const;
    // The scalar form: seed 1.0.
    void backward() const;
    // Removes the gradients of every parameter below this value.
    void zero_grad() const;

private:
    friend struct ValueNode;
    friend struct detail::NodeAccess;

    std::shared_ptr<ValueNode> node_;
};

// The graph node record. Built only by make_node and make_expression; every
// field except a parameter's `value` and `grad` is fixed after creation.
// The fields that every walk over a graph reads come first, so that a walk
// touches as few cache lines of a node as it can; the name and hint, which
// only their accessors read, come last. An absent gradient or hint is the
// empty value (no lanes); a present one has the node's lanes. This keeps the
// record 16 bytes smaller than std::optional's flags would, which is what
// keeps a node within one 272-byte heap block.
struct ValueNode {
    std::uint64_t id = 0;
    ValueKind kind = ValueKind::Constant;
    ExpressionOp op = ExpressionOp::None;
    std::int32_t dimension = 0;
    std::int32_t input_count = 0;
    std::int32_t component_index = -1;
    std::array<Value, 4> inputs{};
    SmallValue value{};
    SmallValue grad{};
    SmallValue hint{};
    std::string name;

    ValueNode() = default;
    ValueNode(const ValueNode&) = delete;
    ValueNode& operator=(const ValueNode&) = delete;
    // Releases the inputs without recursing, so that dropping the last handle
    // to a chain of any depth cannot overflow the stack.
    ~ValueNode();
};

// Creates a leaf node, taking the next node id. `value` is either the empty
// value or a value of `dimension` lanes.
std::shared_ptr<ValueNode> make_node(ValueKind kind, int dimension, SmallValue value, std::optional<SmallValue> hint,
                                     std::string name);

}  // namespace zarnik::symbolic
