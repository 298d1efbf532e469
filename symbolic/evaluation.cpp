#include <cmath>
#include <memory_resource>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal.hpp"

namespace zarnik::symbolic {

namespace {

// The per-call tables. Every node of the order gets one entry in each; they
// all die with the call, so their nodes come from one arena that is released
// at once instead of node by node.
using IdSet = std::pmr::unordered_set<std::uint64_t>;
using Table = std::pmr::unordered_map<std::uint64_t, SmallValue>;

// The order refers to the handles in place: the start handle and the input
// slots of the nodes below it, all kept alive by the start handle for the
// whole call (a node's inputs never change), so walking and evaluating costs
// no reference-count traffic.
using Order = std::vector<const Value*>;

struct CallTables {
    explicit CallTables(std::size_t expected_nodes)
        : arena(expected_nodes * 160 + 1024), visited(&arena) {}

    std::pmr::monotonic_buffer_resource arena;
    IdSet visited;
    Order order;
};

// Appends every node reachable from `start` to `order`, each once, inputs in
// index order, every node after its inputs. The walk keeps its own stack, so a
// graph of any depth is ordered without deep recursion; it visits exactly as
// the natural recursive walk does.
void build_topology(const Value& start, Order& order, IdSet& visited) {
    struct Frame {
        const Value* value;
        int next_input;
    };
    const auto first_visit = [&visited](const Value& value) {
        detail::require_valid(value, "backward value");
        return visited.insert(value.node().id).second;
    };
    if (!first_visit(start)) {
        return;
    }
    std::vector<Frame> stack{{&start, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_input < top.value->input_count()) {
            const Value& input = top.value->input(top.next_input++);
            if (first_visit(input)) {
                stack.push_back({&input, 0});
            }
        } else {
            order.push_back(top.value);
            stack.pop_back();
        }
    }
}

const SmallValue& evaluate_from_cache(const Value& value, const Table& cache) {
    const auto found = cache.find(value.node().id);
    if (found == cache.end()) {
        throw std::logic_error("missing symbolic evaluation cache entry");
    }
    return found->second;
}

SmallValue evaluate_pack(const ValueNode& node, const Value& handle, const Table& cache) {
    if (node.dimension < 1 || node.dimension > 4) {
        throw std::invalid_argument("symbolic value dimension must be in 1..4");
    }
    SmallValue result;
    result.dimension = node.dimension;
    for (int i = 0; i < node.input_count; ++i) {
        const SmallValue& input = evaluate_from_cache(handle.input(i), cache);
        if (input.dimension != 1) {
            throw std::logic_error("Pack input is not scalar");
        }
        result.lanes[static_cast<std::size_t>(i)] = input.lanes[0];
    }
    return result;
}

SmallValue evaluate_component(const ValueNode& node, const Value& handle, const Table& cache) {
    const SmallValue& input = evaluate_from_cache(handle.input(0), cache);
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

SmallValue evaluate_node(const Value& handle, const Table& cache) {
    const ValueNode& node = handle.node();
    switch (node.kind) {
        case ValueKind::Constant:
        case ValueKind::Parameter: return node.value;
        case ValueKind::Undefined: throw std::logic_error("cannot evaluate symbolic graph with Undefined values");
        case ValueKind::Expression: break;
    }
    switch (node.op) {
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos: return detail::unary_constant(node.op, evaluate_from_cache(handle.input(0), cache));
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: {
            const SmallValue& right = evaluate_from_cache(handle.input(1), cache);
            const SmallValue& left = evaluate_from_cache(handle.input(0), cache);
            return detail::binary_constant(node.op, left, right, node.dimension);
        }
        case ExpressionOp::Pack: return evaluate_pack(node, handle, cache);
        case ExpressionOp::Component: return evaluate_component(node, handle, cache);
        case ExpressionOp::None: break;
    }
    throw std::logic_error("unsupported symbolic expression op");
}

Table evaluate_topology(const Order& order, std::pmr::memory_resource* arena) {
    Table cache(arena);
    cache.reserve(order.size());
    for (const Value* handle : order) {
        cache.try_emplace(handle->node().id, evaluate_node(*handle, cache));
    }
    return cache;
}

SmallValue& grad_slot(Table& grads, const Value& value) {
    const ValueNode& node = value.node();
    if (node.dimension < 1 || node.dimension > 4) {
        throw std::invalid_argument("symbolic value dimension must be in 1..4");
    }
    SmallValue zero;
    zero.dimension = node.dimension;
    return grads.try_emplace(node.id, zero).first->second;
}

// A one-lane slot or operand pairs every lane of the node with its lane 0.
std::size_t lane_of(const SmallValue& value, std::size_t lane) noexcept { return value.dimension == 1 ? 0 : lane; }

void backward_binary(ExpressionOp op, const Value& handle, const SmallValue& g, const Table& cache, Table& grads) {
    const Value& left = handle.input(0);
    const Value& right = handle.input(1);
    const SmallValue& a = evaluate_from_cache(left, cache);
    const SmallValue& b = evaluate_from_cache(right, cache);
    SmallValue& slot_a = grad_slot(grads, left);
    SmallValue& slot_b = grad_slot(grads, right);
    for (std::size_t i = 0; i < static_cast<std::size_t>(g.dimension); ++i) {
        const double gi = g.lanes[i];
        const double ai = a.lanes[lane_of(a, i)];
        const double bi = b.lanes[lane_of(b, i)];
        double& da = slot_a.lanes[lane_of(slot_a, i)];
        switch (op) {
            case ExpressionOp::Add: da = da + gi; break;
            case ExpressionOp::Subtract: da = da + gi; break;
            case ExpressionOp::Multiply: da = da + bi * gi; break;
            default: da = da + gi / bi; break;
        }
        // Read the slot only now: for p * p both slots are one, and both updates land in it.
        double& db = slot_b.lanes[lane_of(slot_b, i)];
        switch (op) {
            case ExpressionOp::Add: db = db + gi; break;
            case ExpressionOp::Subtract: db = db - gi; break;
            case ExpressionOp::Multiply: db = db + gi * ai; break;
            default: db = db + (-gi * ai) / (bi * bi); break;
        }
    }
}

void backward_unary(ExpressionOp op, const Value& handle, const SmallValue& g, const Table& cache, Table& grads) {
    const Value& input = handle.input(0);
    const SmallValue& x = evaluate_from_cache(input, cache);
    SmallValue& slot = grad_slot(grads, input);
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

void backward_pack(const Value& handle, const SmallValue& g, Table& grads) {
    for (int k = 0; k < handle.input_count(); ++k) {
        SmallValue& slot = grad_slot(grads, handle.input(k));
        slot.lanes[0] = slot.lanes[0] + g[k];
    }
}

void backward_component(const Value& handle, const SmallValue& g, Table& grads) {
    SmallValue& slot = grad_slot(grads, handle.input(0));
    const double g0 = g[0];
    // The forward pass has checked the index against the input's lanes.
    double& lane = slot.lanes[static_cast<std::size_t>(handle.node().component_index)];
    lane = lane + g0;
}

void backward_node(const Value& handle, const SmallValue& g, const Table& cache, Table& grads) {
    const ExpressionOp op = handle.node().op;
    switch (op) {
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos: backward_unary(op, handle, g, cache, grads); return;
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: backward_binary(op, handle, g, cache, grads); return;
        case ExpressionOp::Pack: backward_pack(handle, g, grads); return;
        case ExpressionOp::Component: backward_component(handle, g, grads); return;
        case ExpressionOp::None: break;
    }
    throw std::logic_error("unsupported symbolic backward op");
}

// Adds each parameter's entry into its gradient. Everything that could fail is
// checked before the first gradient is touched, so a pass changes either all
// the parameters it reached or none.
void write_back(const Order& order, const Table& grads) {
    std::vector<std::pair<ValueNode*, const SmallValue*>> updates;
    for (const Value* handle : order) {
        ValueNode& node = handle->mutable_node();
        if (node.kind != ValueKind::Parameter) {
            continue;
        }
        const auto found = grads.find(node.id);
        if (found == grads.end()) {
            continue;
        }
        if (node.dimension < 1 || node.dimension > 4) {
            throw std::invalid_argument("symbolic value dimension must be in 1..4");
        }
        if (found->second.dimension < node.dimension) {
            throw std::out_of_range("symbolic value lane index out of range");
        }
        updates.emplace_back(&node, &found->second);
    }
    for (const auto& [node, g] : updates) {
        if (!node->grad) {
            SmallValue zero;
            zero.dimension = node->dimension;
            node->grad = zero;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(node->dimension); ++i) {
            node->grad->lanes[i] = node->grad->lanes[i] + g->lanes[i];
        }
    }
}

}  // namespace

SmallValue Value::evaluate() const {
    CallTables tables(0);
    build_topology(*this, tables.order, tables.visited);
    const Table cache = evaluate_topology(tables.order, &tables.arena);
    return evaluate_from_cache(*this, cache);
}

void Value::backward(SmallValue seed) const {
    detail::require_valid(*this, "backward value");
    detail::require_finite(seed);
    if (seed.dimension != dimension()) {
        throw std::invalid_argument("backward seed dimension does not match output dimension");
    }
    CallTables tables(0);
    build_topology(*this, tables.order, tables.visited);
    const Table cache = evaluate_topology(tables.order, &tables.arena);

    Table grads(&tables.arena);
    grads.reserve(tables.order.size());
    grads.try_emplace(id(), seed);
    for (auto it = tables.order.rbegin(); it != tables.order.rend(); ++it) {
        const Value& handle = **it;
        const ValueNode& node = handle.node();
        const auto found = grads.find(node.id);
        if (found == grads.end() || node.kind != ValueKind::Expression) {
            continue;
        }
        backward_node(handle, found->second, cache, grads);
    }
    write_back(tables.order, grads);
}

void Value::backward() const {
    if (dimension() != 1) {
        throw std::invalid_argument("backward() without seed requires scalar output");
    }
    backward(small_value(1.0));
}

void Value::zero_grad() const {
    CallTables tables(0);
    build_topology(*this, tables.order, tables.visited);
    for (const Value* handle : tables.order) {
        ValueNode& node = handle->mutable_node();
        if (node.kind == ValueKind::Parameter) {
            node.grad.reset();
        }
    }
}

}  // namespace zarnik::symbolic
