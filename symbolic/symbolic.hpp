#pragma once

// The public interface of the symbolic core: lane vectors, graph nodes and the
// handles that refer to them, leaf factories, expression builders, evaluation
// and reverse-mode gradients.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "symbolic/version.hpp"
#include "vec.hpp"

namespace zarnik::symbolic {

// ---------------------------------------------------------------------------
// Lane vectors

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

// ---------------------------------------------------------------------------
// Nodes and handles

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
};

const char* to_string(ValueKind kind);
const char* to_string(ExpressionOp op);

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
std::shared_ptr<ValueNode> make_node(ValueKind kind, int dimension, SmallValue value,
                                     std::optional<SmallValue> hint, std::string name);

// ---------------------------------------------------------------------------
// Leaf factories

Value constant(SmallValue value);
Value constant(std::initializer_list<double> lanes);
Value constant(double x);
Value constant(double x, double y);
Value constant(double x, double y, double z);
Value constant(double x, double y, double z, double w);
Value constant(const Vec<double, 1>& v);
Value constant(const Vec<double, 2>& v);
Value constant(const Vec<double, 3>& v);
Value constant(const Vec<double, 4>& v);

Value parameter(SmallValue value, std::string name);
Value parameter(std::initializer_list<double> lanes, std::string name);
Value parameter(double x, std::string name);
Value parameter(double x, double y, std::string name);
Value parameter(double x, double y, double z, std::string name);
Value parameter(double x, double y, double z, double w, std::string name);
Value parameter(const Vec<double, 1>& v, std::string name);
Value parameter(const Vec<double, 2>& v, std::string name);
Value parameter(const Vec<double, 3>& v, std::string name);
Value parameter(const Vec<double, 4>& v, std::string name);

Value undefined(int dimension, std::string name);

Value undefined_with_hint(SmallValue hint, std::string name);
Value undefined_with_hint(std::initializer_list<double> hint, std::string name);
Value undefined_with_hint(double x, std::string name);
Value undefined_with_hint(double x, double y, std::string name);
Value undefined_with_hint(double x, double y, double z, std::string name);
Value undefined_with_hint(double x, double y, double z, double w, std::string name);
Value undefined_with_hint(const Vec<double, 1>& v, std::string name);
Value undefined_with_hint(const Vec<double, 2>& v, std::string name);
Value undefined_with_hint(const Vec<double, 3>& v, std::string name);
Value undefined_with_hint(const Vec<double, 4>& v, std::string name);

// ---------------------------------------------------------------------------
// Expression builders. Handles are taken by value and moved into the new node.

// The raw constructor of expression nodes: checks only the dimension, the input
// count and the inputs in use, and never folds.
Value make_expression(ExpressionOp op, int dimension, std::array<Value, 4> inputs, int input_count,
                      int component_index);

Value operator-(Value operand);
Value sin(Value operand);
Value cos(Value operand);

Value component(Value value, int index);

Value vec2(Value x, Value y);
Value vec3(Value x, Value y, Value z);
Value vec4(Value x, Value y, Value z, Value w);

Value operator+(Value left, Value right);
Value operator-(Value left, Value right);
Value operator*(Value left, Value right);
Value operator/(Value left, Value right);
Value operator+(Value left, double right);
Value operator-(Value left, double right);
Value operator*(Value left, double right);
Value operator/(Value left, double right);
Value operator+(double left, Value right);
Value operator-(double left, Value right);
Value operator*(double left, Value right);
Value operator/(double left, Value right);

}  // namespace zarnik::symbolic
