#include <cmath>
#include <memory_resource>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "call_arena.hpp"
#include "internal.hpp"

namespace zarnik::symbolic {

namespace {

// Every call of evaluate, backward and zero_grad works on one hash table keyed
// by node id. Finding a node in it is the walk's visited test; the node's entry
// holds its evaluation-cache value and, for backward, its gradient slot. The
// table is node-based, so entries stay in place while others are added: the
// walk resolves every key once, links the entries into the topological order
// and points each entry at its inputs' entries. Evaluation and the backward
// sweep then follow those links and never hash again, and everything a call
// needs about a node sits in one allocation of the call's arena.
template <typename Payload>
struct Entry {
    ValueNode* node = nullptr;
    std::array<Entry*, 4> inputs{};
    Entry* previous = nullptr;  // in the order; during the walk, the entry that reached this one
    Entry* next = nullptr;      // in the order
    int next_input = 0;         // the walk's progress through the inputs
    Payload payload{};
};

template <typename Payload>
using Table = std::pmr::unordered_map<std::uint64_t, Entry<Payload>>;

// What one call owns: an arena that every allocation of the table comes from
// and that is released at once when the call ends, the table, and the ends of
// the order. The entries refer to nodes in place; the start handle keeps every
// one of them alive for the whole call (inputs never change), so walking costs
// no reference-count traffic.
template <typename Payload>
struct CallTables {
    detail::CallArena arena;
    Table<Payload> table{&arena};
    Entry<Payload>* first = nullptr;
    Entry<Payload>* last = nullptr;
};

// Orders the graph below `start`: each node once, at its first visit, after
// all of its inputs, inputs in index order. The walk's stack is the chain of
// `previous` links of the entries in progress, so a graph of any depth is
// ordered without recursion and without a stack of its own; it yields exactly
// the order of the natural recursive walk.
template <typename Payload>
void build_topology(const Value& start, CallTables<Payload>& tables) {
    const auto visit = [&tables](const Value& value) {
        detail::require_valid(value, "backward value");
        ValueNode& node = value.mutable_node();
        const auto [found, first_visit] = tables.table.try_emplace(node.id);
        Entry<Payload>* entry = &found->second;
        entry->node = &node;
        return std::pair{entry, first_visit};
    };
    auto [current, first] = visit(start);
    if (!first) {
        return;
    }
    while (current != nullptr) {
        const ValueNode& node = *current->node;
        if (current->next_input < node.input_count) {
            const auto index = static_cast<std::size_t>(current->next_input++);
            const auto [input, first_visit] = visit(node.inputs[index]);
            current->inputs[index] = input;
            if (first_visit) {
                input->previous = current;
                current = input;
            }
            continue;
        }
        // All inputs are in the order: append this node and go back up.
        Entry<Payload>* const caller = current->previous;
        current->previous = tables.last;
        if (tables.last != nullptr) {
            tables.last->next = current;
        } else {
            tables.first = current;
        }
        tables.last = current;
        current = caller;
    }
}

// The entry of input `index`, with the check that Value::input makes.
template <typename Payload>
Entry<Payload>& input_entry(const Entry<Payload>& entry, int index) {
    if (index < 0 || index >= entry.node->input_count) {
        throw std::out_of_range("symbolic expression input index out of range");
    }
    return *entry.inputs[static_cast<std::size_t>(index)];
}

struct Forward {
    SmallValue value;
};

// A node's forward value and its gradient slot. A slot of dimension 0 does not exist yet.
struct Backward {
    SmallValue value;
    SmallValue grad;
};

struct Visited {};

template <typename Payload>
const SmallValue& input_value(const Entry<Payload>& entry, int index) {
    return input_entry(entry, index).payload.value;
}

template <typename Payload>
SmallValue evaluate_node(const Entry<Payload>& entry) {
    const ValueNode& node = *entry.node;
    switch (node.kind) {
        case ValueKind::Constant:
        case ValueKind::Parameter: return node.value;
        case ValueKind::Undefined: throw std::logic_error("cannot evaluate symbolic graph with Undefined values");
        case ValueKind::Expression: break;
    }
    switch (node.op) {
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos: return detail::unary_constant(node.op, input_value(entry, 0));
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: {
            const SmallValue& right = input_value(entry, 1);
            const SmallValue& left = input_value(entry, 0);
            return detail::binary_constant(node.op, left, right, node.dimension);
        }
        case ExpressionOp::Pack: {
            if (node.dimension < 1 || node.dimension > 4) {
                throw std::invalid_argument("symbolic value dimension must be in 1..4");
            }
            SmallValue result;
            result.dimension = node.dimension;
            for (int i = 0; i < node.input_count; ++i) {
                const SmallValue& input = input_value(entry, i);
                if (input.dimension != 1) {
                    throw std::logic_error("Pack input is not scalar");
                }
                result.lanes[static_cast<std::size_t>(i)] = input.lanes[0];
            }
            return result;
        }
        case ExpressionOp::Component: {
            const SmallValue& input = input_value(entry, 0);
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

template <typename Payload>
void evaluate_topology(const CallTables<Payload>& tables) {
    for (Entry<Payload>* entry = tables.first; entry != nullptr; entry = entry->next) {
        entry->payload.value = evaluate_node(*entry);
    }
}

// --- gradients --------------------------------------------------------------------

// The gradient slot of input `index`, created as zeros of the input's dimension on first need.
SmallValue& grad_slot(const Entry<Backward>& entry, int index) {
    Entry<Backward>& input = input_entry(entry, index);
    SmallValue& slot = input.payload.grad;
    if (slot.dimension == 0) {
        const int dimension = input.node->dimension;
        if (dimension < 1 || dimension > 4) {
            throw std::invalid_argument("symbolic value dimension must be in 1..4");
        }
        slot.dimension = dimension;
    }
    return slot;
}

// A one-lane operand or slot pairs every lane of the node with its lane 0.
std::size_t lane_of(const SmallValue& value, std::size_t lane) noexcept { return value.dimension == 1 ? 0 : lane; }

void backward_binary(const Entry<Backward>& entry, const SmallValue& g) {
    const SmallValue& a = input_value(entry, 0);
    const SmallValue& b = input_value(entry, 1);
    SmallValue& slot_a = grad_slot(entry, 0);
    SmallValue& slot_b = grad_slot(entry, 1);
    const ExpressionOp op = entry.node->op;
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

void backward_unary(const Entry<Backward>& entry, const SmallValue& g) {
    const SmallValue& x = input_value(entry, 0);
    SmallValue& slot = grad_slot(entry, 0);
    const ExpressionOp op = entry.node->op;
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

void backward_pack(const Entry<Backward>& entry, const SmallValue& g) {
    for (int k = 0; k < entry.node->input_count; ++k) {
        SmallValue& slot = grad_slot(entry, k);
        slot.lanes[0] = slot.lanes[0] + g[k];
    }
}

void backward_component(const Entry<Backward>& entry, const SmallValue& g) {
    SmallValue& slot = grad_slot(entry, 0);
    const double g0 = g[0];
    // The forward pass has checked the index against the input's lanes.
    double& lane = slot.lanes[static_cast<std::size_t>(entry.node->component_index)];
    lane = lane + g0;
}

void backward_node(const Entry<Backward>& entry, const SmallValue& g) {
    switch (entry.node->op) {
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos: backward_unary(entry, g); return;
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: backward_binary(entry, g); return;
        case ExpressionOp::Pack: backward_pack(entry, g); return;
        case ExpressionOp::Component: backward_component(entry, g); return;
        case ExpressionOp::None: break;
    }
    throw std::logic_error("unsupported symbolic backward op");
}

// Adds each parameter's slot into its gradient. Everything that could fail is
// checked before the first gradient is touched, so a pass changes either all
// the parameters it reached or none.
void write_back(const CallTables<Backward>& tables) {
    for (const Entry<Backward>* entry = tables.first; entry != nullptr; entry = entry->next) {
        const ValueNode& node = *entry->node;
        if (node.kind != ValueKind::Parameter || entry->payload.grad.dimension == 0) {
            continue;
        }
        if (node.dimension < 1 || node.dimension > 4) {
            throw std::invalid_argument("symbolic value dimension must be in 1..4");
        }
        if (entry->payload.grad.dimension < node.dimension) {
            throw std::out_of_range("symbolic value lane index out of range");
        }
    }
    for (const Entry<Backward>* entry = tables.first; entry != nullptr; entry = entry->next) {
        ValueNode& node = *entry->node;
        if (node.kind != ValueKind::Parameter || entry->payload.grad.dimension == 0) {
            continue;
        }
        if (!node.grad) {
            SmallValue zero;
            zero.dimension = node.dimension;
            node.grad = zero;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(node.dimension); ++i) {
            node.grad->lanes[i] = node.grad->lanes[i] + entry->payload.grad.lanes[i];
        }
    }
}

}  // namespace

SmallValue Value::evaluate() const {
    CallTables<Forward> tables;
    build_topology(*this, tables);
    evaluate_topology(tables);
    return tables.last->payload.value;
}

void Value::backward(SmallValue seed) const {
    detail::require_valid(*this, "backward value");
    detail::require_finite(seed);
    if (seed.dimension != dimension()) {
        throw std::invalid_argument("backward seed dimension does not match output dimension");
    }
    CallTables<Backward> tables;
    build_topology(*this, tables);
    evaluate_topology(tables);
    tables.last->payload.grad = seed;
    for (const Entry<Backward>* entry = tables.last; entry != nullptr; entry = entry->previous) {
        if (entry->payload.grad.dimension == 0 || entry->node->kind != ValueKind::Expression) {
            continue;
        }
        backward_node(*entry, entry->payload.grad);
    }
    write_back(tables);
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
    for (const Entry<Visited>* entry = tables.first; entry != nullptr; entry = entry->next) {
        if (entry->node->kind == ValueKind::Parameter) {
            entry->node->grad.reset();
        }
    }
}

}  // namespace zarnik::symbolic
