#include <cmath>
#include <memory_resource>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "internal.hpp"

namespace zarnik::symbolic {

namespace {

// Every call of evaluate, backward and zero_grad works on one table keyed by
// node id. Finding a node in it is the walk's visited test, and its entry is
// the node's evaluation-cache entry and, for backward, its gradient-table
// entry. The table is node-based, so entries stay in place while others are
// added; the walk resolves every key once and records, for each node of the
// order, pointers to its own entry and to its inputs' entries. Evaluation and
// the backward sweep then follow pointers and never hash again.
template <typename Entry>
using Table = std::pmr::unordered_map<std::uint64_t, Entry>;

template <typename Entry>
struct Step {
    ValueNode* node;
    Entry* self;
    std::array<Entry*, 4> inputs;
};

template <typename Entry>
using Order = std::vector<Step<Entry>>;

// What one call owns: an arena that all the table's allocations come from and
// that is released at once when the call ends, the table and the order. The
// order refers to nodes in place; the start handle keeps every one of them
// alive for the whole call (inputs never change), so walking costs no
// reference-count traffic.
template <typename Entry>
struct CallTables {
    std::pmr::monotonic_buffer_resource arena{64 * 1024};
    Table<Entry> table{&arena};
    Order<Entry> order;
};

// Orders the graph below `start`: each node once, at its first visit, after
// all of its inputs, inputs in index order. The walk keeps its own stack, so a
// graph of any depth is ordered without deep recursion; it yields exactly the
// order of the natural recursive walk.
template <typename Entry>
void build_topology(const Value& start, CallTables<Entry>& tables) {
    struct Frame {
        ValueNode* node;
        Entry* self;
        int next_input;
        std::array<Entry*, 4> inputs;
    };
    const auto visit = [&tables](const Value& value) {
        detail::require_valid(value, "backward value");
        ValueNode& node = value.mutable_node();
        const auto [entry, first_visit] = tables.table.try_emplace(node.id);
        return std::tuple{&node, &entry->second, first_visit};
    };
    const auto [start_node, start_entry, first] = visit(start);
    if (!first) {
        return;
    }
    std::vector<Frame> stack{{start_node, start_entry, 0, {}}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_input < top.node->input_count) {
            const auto index = static_cast<std::size_t>(top.next_input++);
            const auto [input_node, input_entry, first_visit] = visit(top.node->inputs[index]);
            top.inputs[index] = input_entry;
            if (first_visit) {
                stack.push_back({input_node, input_entry, 0, {}});
            }
        } else {
            tables.order.push_back({top.node, top.self, top.inputs});
            stack.pop_back();
        }
    }
}

// The entry of input `index`, with the check that Value::input makes.
template <typename Entry>
Entry& input_entry(const Step<Entry>& step, int index) {
    if (index < 0 || index >= step.node->input_count) {
        throw std::out_of_range("symbolic expression input index out of range");
    }
    return *step.inputs[static_cast<std::size_t>(index)];
}

// Forward values are reached through `value_of`, so evaluation works for any
// entry type that holds one.
template <typename Entry, typename ValueOf>
SmallValue evaluate_node(const Step<Entry>& step, ValueOf value_of) {
    const ValueNode& node = *step.node;
    switch (node.kind) {
        case ValueKind::Constant:
        case ValueKind::Parameter: return node.value;
        case ValueKind::Undefined: throw std::logic_error("cannot evaluate symbolic graph with Undefined values");
        case ValueKind::Expression: break;
    }
    switch (node.op) {
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos: return detail::unary_constant(node.op, value_of(input_entry(step, 0)));
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: {
            const SmallValue& right = value_of(input_entry(step, 1));
            const SmallValue& left = value_of(input_entry(step, 0));
            return detail::binary_constant(node.op, left, right, node.dimension);
        }
        case ExpressionOp::Pack: {
            if (node.dimension < 1 || node.dimension > 4) {
                throw std::invalid_argument("symbolic value dimension must be in 1..4");
            }
            SmallValue result;
            result.dimension = node.dimension;
            for (int i = 0; i < node.input_count; ++i) {
                const SmallValue& input = value_of(input_entry(step, i));
                if (input.dimension != 1) {
                    throw std::logic_error("Pack input is not scalar");
                }
                result.lanes[static_cast<std::size_t>(i)] = input.lanes[0];
            }
            return result;
        }
        case ExpressionOp::Component: {
            const SmallValue& input = value_of(input_entry(step, 0));
            const int index = node.component_index;
            if (index < 0 || index >= input.dimension) {
                throw std::out_of_range("symbolic value lane index out of range");
            }
            SmallValue result;
            result.dimension = 1;
            result.lanes[0] = input.lanes[static_cast<std::size_t>(index)];
            detail::require_finite(result);
            return result;
        }
        case ExpressionOp::None: break;
    }
    throw std::logic_error("unsupported symbolic expression op");
}

template <typename Entry, typename ValueOf>
void evaluate_topology(const Order<Entry>& order, ValueOf value_of) {
    for (const Step<Entry>& step : order) {
        value_of(*step.self) = evaluate_node(step, value_of);
    }
}

// --- gradients --------------------------------------------------------------------

// A node's entry in a backward pass: its forward value and its gradient slot.
// A slot of dimension 0 does not exist yet.
struct GradEntry {
    SmallValue value;
    SmallValue grad;
};

SmallValue& forward_value(GradEntry& entry) { return entry.value; }

// The gradient slot of an input, created as zeros of the input's dimension on first need.
SmallValue& grad_slot(GradEntry& entry, const ValueNode& node) {
    if (entry.grad.dimension == 0) {
        if (node.dimension < 1 || node.dimension > 4) {
            throw std::invalid_argument("symbolic value dimension must be in 1..4");
        }
        entry.grad.dimension = node.dimension;
    }
    return entry.grad;
}

const ValueNode& input_node(const ValueNode& node, int index) { return node.inputs[static_cast<std::size_t>(index)].node(); }

// A one-lane operand or slot pairs every lane of the node with its lane 0.
std::size_t lane_of(const SmallValue& value, std::size_t lane) noexcept { return value.dimension == 1 ? 0 : lane; }

void backward_binary(const Step<GradEntry>& step, const SmallValue& g) {
    GradEntry& left = input_entry(step, 0);
    GradEntry& right = input_entry(step, 1);
    const SmallValue& a = left.value;
    const SmallValue& b = right.value;
    SmallValue& slot_a = grad_slot(left, input_node(*step.node, 0));
    SmallValue& slot_b = grad_slot(right, input_node(*step.node, 1));
    const ExpressionOp op = step.node->op;
    for (std::size_t i = 0; i < static_cast<std::size_t>(g.dimension); ++i) {
        const double gi = g.lanes[i];
        const double ai = a.lanes[lane_of(a, i)];
        const double bi = b.lanes[lane_of(b, i)];
        double& da = slot_a.lanes[lane_of(slot_a, i)];
        switch (op) {
            case ExpressionOp::Add:
            case ExpressionOp::Subtract: da = da + gi; break;
            case ExpressionOp::Multiply: da = da + bi * gi; break;
            default: da = da + gi / bi; break;
        }
        // Taken only now: for p * p both slots are one, and both updates land in it.
        double& db = slot_b.lanes[lane_of(slot_b, i)];
        switch (op) {
            case ExpressionOp::Add: db = db + gi; break;
            case ExpressionOp::Subtract: db = db - gi; break;
            case ExpressionOp::Multiply: db = db + gi * ai; break;
            default: db = db + (-gi * ai) / (bi * bi); break;
        }
    }
}

void backward_unary(const Step<GradEntry>& step, const SmallValue& g) {
    GradEntry& input = input_entry(step, 0);
    const SmallValue& x = input.value;
    SmallValue& slot = grad_slot(input, input_node(*step.node, 0));
    const ExpressionOp op = step.node->op;
    for (int i = 0; i < g.dimension; ++i) {
        const double xi = x[i];
        const double gi = g.lanes[static_cast<std::size_t>(i)];
        double& dx = slot.lanes[static_cast<std::size_t>(i)];
        switch (op) {
            case ExpressionOp::Negate: dx = dx - gi; break;
            case ExpressionOp::Sin: dx = std::cos(xi) * gi + dx; break;
            default: dx = (-std::sin(xi)) * gi + dx; break;
        }
    }
}

void backward_pack(const Step<GradEntry>& step, const SmallValue& g) {
    for (int k = 0; k < step.node->input_count; ++k) {
        SmallValue& slot = grad_slot(input_entry(step, k), input_node(*step.node, k));
        slot.lanes[0] = slot.lanes[0] + g[k];
    }
}

void backward_component(const Step<GradEntry>& step, const SmallValue& g) {
    SmallValue& slot = grad_slot(input_entry(step, 0), input_node(*step.node, 0));
    const double g0 = g[0];
    // The forward pass has checked the index against the input's lanes.
    double& lane = slot.lanes[static_cast<std::size_t>(step.node->component_index)];
    lane = lane + g0;
}

void backward_node(const Step<GradEntry>& step, const SmallValue& g) {
    switch (step.node->op) {
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos: backward_unary(step, g); return;
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: backward_binary(step, g); return;
        case ExpressionOp::Pack: backward_pack(step, g); return;
        case ExpressionOp::Component: backward_component(step, g); return;
        case ExpressionOp::None: break;
    }
    throw std::logic_error("unsupported symbolic backward op");
}

// Adds each parameter's slot into its gradient. Everything that could fail is
// checked before the first gradient is touched, so a pass changes either all
// the parameters it reached or none.
void write_back(const Order<GradEntry>& order) {
    std::vector<const Step<GradEntry>*> updates;
    for (const Step<GradEntry>& step : order) {
        const ValueNode& node = *step.node;
        if (node.kind != ValueKind::Parameter || step.self->grad.dimension == 0) {
            continue;
        }
        if (node.dimension < 1 || node.dimension > 4) {
            throw std::invalid_argument("symbolic value dimension must be in 1..4");
        }
        if (step.self->grad.dimension < node.dimension) {
            throw std::out_of_range("symbolic value lane index out of range");
        }
        updates.push_back(&step);
    }
    for (const Step<GradEntry>* step : updates) {
        ValueNode& node = *step->node;
        if (!node.grad) {
            SmallValue zero;
            zero.dimension = node.dimension;
            node.grad = zero;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(node.dimension); ++i) {
            node.grad->lanes[i] = node.grad->lanes[i] + step->self->grad.lanes[i];
        }
    }
}

struct Visited {};

}  // namespace

SmallValue Value::evaluate() const {
    CallTables<SmallValue> tables;
    build_topology(*this, tables);
    evaluate_topology(tables.order, [](SmallValue& entry) -> SmallValue& { return entry; });
    return *tables.order.back().self;
}

void Value::backward(SmallValue seed) const {
    detail::require_valid(*this, "backward value");
    detail::require_finite(seed);
    if (seed.dimension != dimension()) {
        throw std::invalid_argument("backward seed dimension does not match output dimension");
    }
    CallTables<GradEntry> tables;
    build_topology(*this, tables);
    evaluate_topology(tables.order, forward_value);
    tables.order.back().self->grad = seed;
    for (auto step = tables.order.rbegin(); step != tables.order.rend(); ++step) {
        if (step->self->grad.dimension == 0 || step->node->kind != ValueKind::Expression) {
            continue;
        }
        backward_node(*step, step->self->grad);
    }
    write_back(tables.order);
}

void Value::backward() const {
    if (dimension() != 1) {
        throw std::invalid_argument("backward() without seed requires scalar output");
    }
    backward(small_value(1.0));
}

void Value::zero_grad() const {
    CallTables<Visited> tables;
    build_topology(*this, tables);
    for (const Step<Visited>& step : tables.order) {
        if (step.node->kind == ValueKind::Parameter) {
            step.node->grad.reset();
        }
    }
}

}  // namespace zarnik::symbolic
