#include "symbolic/program/reference.hpp"

#include <stdexcept>

#include "symbolic/graph/internal.hpp"
#include "symbolic/graph/operations.hpp"
#include "symbolic/program/program.hpp"

namespace zarnik::symbolic::detail {

namespace {

// Input `index` of node `position`, with the check that Value::input makes.
std::uint32_t input_of(const ReferenceOrder& order, std::size_t position, int index) {
    if (index < 0 || index >= order.nodes[position]->input_count) {
        raise_input_out_of_range();
    }
    return order.inputs[position][static_cast<std::size_t>(index)];
}

SmallValue evaluate_node(const ReferenceOrder& order, std::size_t position, const std::vector<SmallValue>& values) {
    const ValueNode& node = *order.nodes[position];
    const auto input = [&](int index) -> const SmallValue& { return values[input_of(order, position, index)]; };
    switch (node.kind) {
        case ValueKind::Constant:
        case ValueKind::Parameter: return node.value;
        case ValueKind::Undefined: raise(Failure::UndefinedValue);
        case ValueKind::Expression: break;
    }
    switch (shape_of(node.op)) {
        case Shape::Unary: return unary_constant(node.op, input(0));
        case Shape::Binary: {
            const SmallValue& right = input(1);
            const SmallValue& left = input(0);
            return binary_constant(node.op, left, right, node.dimension);
        }
        case Shape::Select: {
            // Every operand is evaluated and checked here: this evaluator
            // serves graphs that break the builders' invariants, and keeps
            // no guarded branches.
            const SmallValue& second = input(2);
            const SmallValue& first = input(1);
            return select_constant(input(0), first, second, node.dimension);
        }
        case Shape::Pack: {
            require_dimension(node.dimension);
            SmallValue result;
            result.dimension = node.dimension;
            for (int i = 0; i < node.input_count; ++i) {
                const SmallValue& lanes = input(i);
                if (lanes.dimension != 1) {
                    raise(Failure::PackInputNotScalar);
                }
                result.lanes[static_cast<std::size_t>(i)] = lanes.lanes[0];
            }
            return result;
        }
        case Shape::Component: {
            const SmallValue& lanes = input(0);
            const int index = node.component_index;
            if (index < 0 || index >= lanes.dimension) {
                raise_lane_out_of_range();
            }
            SmallValue result;
            result.dimension = 1;
            result.lanes[0] = lanes.lanes[static_cast<std::size_t>(index)];
            require_finite(result);
            return result;
        }
        case Shape::Leaf:
        case Shape::Unsupported: break;
    }
    raise(Failure::UnsupportedOp);
}

// The slot of input `index` of node `position`, created as zeros of the
// input node's dimension on first need. A slot of dimension 0 does not exist.
SmallValue& grad_slot(const ReferenceOrder& order, std::size_t position, int index, std::vector<SmallValue>& slots) {
    const std::uint32_t input = input_of(order, position, index);
    SmallValue& slot = slots[input];
    if (slot.dimension == 0) {
        const int dimension = order.nodes[input]->dimension;
        require_dimension(dimension);
        slot.dimension = dimension;
    }
    return slot;
}

void backward_node(const ReferenceOrder& order, std::size_t position, const std::vector<SmallValue>& values,
                   std::vector<SmallValue>& slots) {
    const ValueNode& node = *order.nodes[position];
    const SmallValue& g = slots[position];
    const auto value = [&](int index) -> const SmallValue& { return values[input_of(order, position, index)]; };
    switch (shape_of(node.op)) {
        case Shape::Binary: {
            const SmallValue& a = value(0);
            const SmallValue& b = value(1);
            const SmallValue& y = values[position];
            SmallValue& slot_a = grad_slot(order, position, 0, slots);
            SmallValue& slot_b = grad_slot(order, position, 1, slots);
            with_rule(node.op, [&]<typename R>(R) {
                if constexpr (R::shape == Shape::Binary) {
                    for (std::size_t i = 0; i < static_cast<std::size_t>(g.dimension); ++i) {
                        R::backward(a.lanes[broadcast_lane(a.dimension, i)], b.lanes[broadcast_lane(b.dimension, i)],
                                    y.lanes[i], g.lanes[i], slot_a.lanes[broadcast_lane(slot_a.dimension, i)],
                                    slot_b.lanes[broadcast_lane(slot_b.dimension, i)]);
                    }
                }
            });
            return;
        }
        case Shape::Unary: {
            const SmallValue& x = value(0);
            const SmallValue& y = values[position];
            SmallValue& slot = grad_slot(order, position, 0, slots);
            with_rule(node.op, [&]<typename R>(R) {
                if constexpr (R::shape == Shape::Unary) {
                    for (int i = 0; i < g.dimension; ++i) {
                        const auto lane = static_cast<std::size_t>(i);
                        R::backward(x[i], y.lanes[lane], g.lanes[lane], slot.lanes[lane]);
                    }
                }
            });
            return;
        }
        case Shape::Select: {
            const SmallValue& c = value(0);
            SmallValue& slot_a = grad_slot(order, position, 1, slots);
            SmallValue& slot_b = grad_slot(order, position, 2, slots);
            for (std::size_t i = 0; i < static_cast<std::size_t>(g.dimension); ++i) {
                Rule<ExpressionOp::Where>::backward(c.lanes[broadcast_lane(c.dimension, i)], g.lanes[i],
                                                    slot_a.lanes[broadcast_lane(slot_a.dimension, i)],
                                                    slot_b.lanes[broadcast_lane(slot_b.dimension, i)]);
            }
            return;
        }
        case Shape::Pack:
            for (int k = 0; k < node.input_count; ++k) {
                SmallValue& slot = grad_slot(order, position, k, slots);
                slot.lanes[0] = slot.lanes[0] + g[k];
            }
            return;
        case Shape::Component: {
            SmallValue& slot = grad_slot(order, position, 0, slots);
            const double g0 = g[0];
            // The forward pass has checked the index against the input's lanes.
            double& lane = slot.lanes[static_cast<std::size_t>(node.component_index)];
            lane = lane + g0;
            return;
        }
        case Shape::Leaf:
        case Shape::Unsupported: break;
    }
    throw std::logic_error("unsupported symbolic backward op");
}

}  // namespace

std::uint32_t ReferenceRecorder::complete(ValueNode& node, const std::uint32_t* inputs, const Value*) {
    std::array<std::uint32_t, 4> positions{};
    for (std::size_t i = 0; i < static_cast<std::size_t>(node.input_count); ++i) {
        positions[i] = inputs[i];
    }
    order_.nodes.push_back(&node);
    order_.inputs.push_back(positions);
    return static_cast<std::uint32_t>(order_.nodes.size() - 1);
}

void reference_forward(const ReferenceOrder& order, std::vector<SmallValue>& values,
                       std::span<const SmallValue* const> given) {
    values.resize(order.nodes.size());
    for (std::size_t position = 0; position < order.nodes.size(); ++position) {
        values[position] = position < given.size() && given[position] != nullptr
                               ? *given[position]
                               : evaluate_node(order, position, values);
    }
}

void reference_sweep(const ReferenceOrder& order, const std::vector<SmallValue>& values, const SmallValue& seed,
                     std::vector<SmallValue>& slots) {
    slots.assign(order.nodes.size(), SmallValue{});
    slots.back() = seed;
    for (std::size_t position = order.nodes.size(); position-- > 0;) {
        if (slots[position].dimension == 0 || order.nodes[position]->kind != ValueKind::Expression) {
            continue;
        }
        backward_node(order, position, values, slots);
    }
}

void reference_backward(const ReferenceOrder& order, const std::vector<SmallValue>& values, const SmallValue& seed,
                        std::vector<SmallValue>& slots) {
    reference_sweep(order, values, seed, slots);
    // Everything that could fail is checked before the first gradient is
    // touched, so a pass changes either all the parameters it reached or none.
    for (std::size_t position = 0; position < order.nodes.size(); ++position) {
        const ValueNode& node = *order.nodes[position];
        if (node.kind != ValueKind::Parameter || slots[position].dimension == 0) {
            continue;
        }
        require_dimension(node.dimension);
        if (slots[position].dimension < node.dimension) {
            raise_lane_out_of_range();
        }
    }
    for (std::size_t position = 0; position < order.nodes.size(); ++position) {
        ValueNode& node = *order.nodes[position];
        if (node.kind != ValueKind::Parameter || slots[position].dimension == 0) {
            continue;
        }
        if (node.grad.dimension == 0) {
            node.grad = SmallValue{};
            node.grad.dimension = node.dimension;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(node.dimension); ++i) {
            node.grad.lanes[i] = node.grad.lanes[i] + slots[position].lanes[i];
        }
    }
}

}  // namespace zarnik::symbolic::detail
