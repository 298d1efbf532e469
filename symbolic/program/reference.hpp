#pragma once

// The evaluator of any graph, whatever its nodes hold: one step per node over
// whole lane vectors, checking each node as it is reached. Programs
// (program.hpp) cover the graphs that the builders make; this covers the
// rest, the nodes made directly with make_expression that break the
// builders' invariants (extra inputs, mismatched dimensions, a Pack of more
// inputs than lanes), where spare lanes and unread inputs become visible.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "symbolic/value.hpp"

namespace zarnik::symbolic::detail {

// The graph's nodes in evaluation order, each with its inputs' positions.
struct ReferenceOrder {
    std::vector<ValueNode*> nodes;
    std::vector<std::array<std::uint32_t, 4>> inputs;

    void clear() {
        nodes.clear();
        inputs.clear();
    }
    std::size_t capacity_bytes() const { return nodes.capacity() * sizeof(ValueNode*) + inputs.capacity() * 16; }
};

// Builds the order as a graph walk completes its nodes (graph_walk.hpp).
class ReferenceRecorder {
public:
    explicit ReferenceRecorder(ReferenceOrder& order) : order_(order) {}
    std::uint32_t complete(ValueNode& node, const std::uint32_t* inputs, const Value* = nullptr);

private:
    ReferenceOrder& order_;
};

// Every node's value, in order; throws what the first failing node throws.
// A leaf at position i takes the value `given[i]` instead of its own when
// that is not null (the inputs of a compiled function).
void reference_forward(const ReferenceOrder& order, std::vector<SmallValue>& values,
                       std::span<const SmallValue* const> given = {});

// The reverse sweep from the last node with `seed`, after reference_forward:
// every node's gradient slot (dimension 0 where none was made). Writes nothing.
void reference_sweep(const ReferenceOrder& order, const std::vector<SmallValue>& values, const SmallValue& seed,
                     std::vector<SmallValue>& slots);

// The backward pass: the sweep, then the slots added into the parameters'
// gradients once the whole sweep has succeeded.
void reference_backward(const ReferenceOrder& order, const std::vector<SmallValue>& values, const SmallValue& seed,
                        std::vector<SmallValue>& slots);

}  // namespace zarnik::symbolic::detail
