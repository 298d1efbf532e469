#include <atomic>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "symbolic/graph/graph_walk.hpp"
#include "symbolic/graph/internal.hpp"

namespace zarnik::symbolic {

namespace {

// The process-wide id counter: ids are unique, increase in creation order and
// are never reused.
std::atomic<std::uint64_t> g_next_value_id{1};

[[noreturn]] void throw_invalid_handle() { throw std::logic_error("invalid symbolic value handle"); }

}  // namespace

std::shared_ptr<ValueNode> detail::allocate_node() {
    auto node = std::make_shared<ValueNode>();
    node->id = g_next_value_id.fetch_add(1, std::memory_order_seq_cst);
    return node;
}

void detail::throw_invalid_walk_value() { throw std::invalid_argument("backward value is not a valid symbolic value"); }

void detail::require_valid(const Value& value, const char* label) {
    if (!value.same_node(Value{})) {
        return;
    }
    throw std::invalid_argument(std::string(label) + " is not a valid symbolic value");
}

ValueNode::~ValueNode() {
    // An input whose last owner is this node would otherwise be destroyed from
    // inside this destructor, one nested call per level of the graph. Such
    // inputs are moved onto a local stack instead and taken apart here, each
    // node's inputs before the next one's, slot 3 first: the order of the
    // nested release. Inputs that others still own are simply released; the
    // stack allocates only when a chain has to be taken apart.
    std::vector<Value> pending;
    const auto detach_inputs = [&pending](ValueNode& node) {
        for (Value& input : node.inputs) {
            if (input.node_.use_count() == 1) {
                pending.push_back(std::move(input));
            } else {
                input.node_.reset();
            }
        }
    };
    try {
        detach_inputs(*this);
        while (!pending.empty()) {
            Value next = std::move(pending.back());
            pending.pop_back();
            if (next.node_.use_count() == 1) {
                detach_inputs(*next.node_);
            }
        }
    } catch (...) {
        // Out of memory for the stack: whatever is left is released the nested way.
    }
}

std::shared_ptr<ValueNode> make_node(ValueKind kind, int dimension, SmallValue value, std::optional<SmallValue> hint,
                                     std::string name) {
    detail::require_dimension(dimension);
    if (value.dimension != 0) {
        detail::require_finite(value);
    }
    if (hint) {
        detail::require_finite(*hint);
        if (hint->dimension != dimension) {
            throw std::invalid_argument("symbolic hint dimension mismatch");
        }
    }
    auto node = detail::allocate_node();
    node->kind = kind;
    node->dimension = dimension;
    node->value = value;
    node->hint = hint.value_or(SmallValue{});
    node->name = std::move(name);
    return node;
}

const ValueNode& Value::node() const {
    if (!node_) {
        throw_invalid_handle();
    }
    return *node_;
}

ValueNode& Value::mutable_node() const {
    if (!node_) {
        throw_invalid_handle();
    }
    return *node_;
}

std::uint64_t Value::id() const { return node().id; }
ValueKind Value::kind() const { return node().kind; }
ExpressionOp Value::op() const { return node().op; }
int Value::dimension() const { return node().dimension; }
int Value::component_index() const { return node().component_index; }
const std::string& Value::name() const { return node().name; }

bool Value::is_constant() const { return kind() == ValueKind::Constant; }
bool Value::is_parameter() const { return kind() == ValueKind::Parameter; }
bool Value::is_undefined() const { return kind() == ValueKind::Undefined; }
bool Value::is_expression() const { return kind() == ValueKind::Expression; }
bool Value::is_leaf() const noexcept { return node_ && node_->kind != ValueKind::Expression; }

SmallValue Value::value() const {
    const ValueNode& n = node();
    if (n.kind == ValueKind::Undefined || n.kind == ValueKind::Expression) {
        throw std::logic_error("symbolic value has no direct numeric value");
    }
    return n.value;
}

bool Value::has_hint() const { return node().hint.dimension != 0; }

SmallValue Value::hint() const {
    const ValueNode& n = node();
    if (n.hint.dimension == 0) {
        throw std::logic_error("symbolic value has no hint");
    }
    return n.hint;
}

bool Value::has_grad() const { return node().grad.dimension != 0; }

SmallValue Value::grad() const {
    const ValueNode& n = node();
    if (n.grad.dimension == 0) {
        throw std::logic_error("symbolic value has no gradient");
    }
    return n.grad;
}

int Value::input_count() const { return node().input_count; }

const Value& Value::input(int index) const {
    const ValueNode& n = node();
    if (index < 0 || index >= n.input_count) {
        detail::raise_input_out_of_range();
    }
    return n.inputs[static_cast<std::size_t>(index)];
}

void Value::set_value(SmallValue value) const {
    detail::require_finite(value);
    ValueNode& n = mutable_node();
    if (n.kind != ValueKind::Parameter) {
        throw std::logic_error("set_value() is only valid for Parameter values");
    }
    if (value.dimension != n.dimension) {
        throw std::invalid_argument("set_value() dimension does not match Parameter dimension");
    }
    n.value = value;
}

std::string Value::debug_string() const {
    const ValueNode& n = node();
    std::ostringstream text;
    text << to_string(n.kind) << '<' << n.dimension << ">#" << n.id;
    if (!n.name.empty()) {
        text << '(' << n.name << ')';
    }
    if (n.kind == ValueKind::Expression) {
        text << " op=" << to_string(n.op);
    }
    return text.str();
}

const char* to_string(ValueKind kind) {
    switch (kind) {
        case ValueKind::Constant: return "Constant";
        case ValueKind::Parameter: return "Parameter";
        case ValueKind::Undefined: return "Undefined";
        case ValueKind::Expression: return "Expression";
    }
    return "Unknown";
}

}  // namespace zarnik::symbolic
