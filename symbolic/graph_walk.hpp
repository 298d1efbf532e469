#pragma once

// Ordering the graph below a value: every node once, after all of its inputs,
// inputs in index order, each node at the place of its first visit. This is
// the order of the natural recursive walk, found without recursion, so that
// a graph of any depth is walked in constant call-stack space.

#include <cstdint>
#include <vector>

#include "internal.hpp"
#include "visited_table.hpp"

namespace zarnik::symbolic::detail {

// The walk's working memory, kept by a thread between calls.
struct WalkStack {
    std::vector<ValueNode*> nodes;        // nodes whose inputs are being walked
    std::vector<std::uint8_t> progress;   // per node: the next input to walk, and whether it is in `visited`
    std::vector<std::uint32_t> operands;  // places of walked inputs that wait for their user
    VisitedTable visited;

    static constexpr std::uint8_t in_table = 0x80;
    static constexpr std::uint8_t next_input = 0x0F;

    std::size_t capacity_bytes() const {
        return nodes.capacity() * sizeof(ValueNode*) + progress.capacity() + operands.capacity() * 4 +
               visited.capacity_bytes();
    }
};

// Walks the graph below `start` and calls `recorder.complete(node, inputs)`
// once per distinct node, in the order above, with the places that the
// recorder gave the node's inputs; returns the start node's place.
//
// The visited set is keyed by node id. A node whose owners are all slots of
// the one node the walk comes from (or the caller's handle, for the start)
// can be met through that node only, so it needs no entry; only nodes with
// other owners go into the table. The owners cannot drop below the slots of
// this graph while it is walked, since the start handle keeps the graph
// alive; the count may only be higher, which costs a lookup.
// Asks for a node's first cache lines: its owner count, which the
// make_shared layout keeps just before it, and the fields a walk reads.
inline void prefetch_node(const ValueNode* node) noexcept {
    __builtin_prefetch(reinterpret_cast<const char*>(node) - 16);
    __builtin_prefetch(reinterpret_cast<const char*>(node) + 48);
}

template <typename Recorder>
std::uint32_t walk(const Value& start, WalkStack& stack, Recorder& recorder) {
    require_valid(start, "backward value");
    stack.nodes.clear();
    stack.progress.clear();
    stack.operands.clear();
    stack.visited.start();

    // Places a node reached through input slot `index` of `user` (the start
    // has no user): a node seen before or a leaf is placed at once; any other
    // node is pushed to have its inputs walked.
    const auto reach = [&stack, &recorder](const ValueNode* user, int index, const Value& input) {
        require_valid(input, "backward value");
        ValueNode* const node = NodeAccess::node(input);
        // The user's own slots may hold the node more than once (x * x): an
        // earlier slot has placed it already, on top of the operands.
        long own_slots = 1;
        if (user != nullptr) {
            for (int i = 0; i < user->input_count; ++i) {
                if (i != index && NodeAccess::node(user->inputs[static_cast<std::size_t>(i)]) == node) {
                    if (i < index) {
                        const std::size_t first = stack.operands.size() - static_cast<std::size_t>(index);
                        stack.operands.push_back(stack.operands[first + static_cast<std::size_t>(i)]);
                        return;
                    }
                    ++own_slots;
                }
            }
        }
        std::uint8_t state = 0;
        std::uint32_t* entry = nullptr;
        if (NodeAccess::owners(input) > own_slots) {
            const auto [found, inserted] = stack.visited.find_or_insert(node->id);
            if (!inserted) {
                stack.operands.push_back(found);  // a node's inputs are all placed before it
                return;
            }
            entry = &found;
            state = WalkStack::in_table;
        }
        if (node->input_count == 0) {
            const std::uint32_t place = recorder.complete(*node, nullptr);
            if (entry != nullptr) {
                *entry = place;
            }
            stack.operands.push_back(place);
            return;
        }
        // Its inputs are the next nodes the walk reads.
        for (int i = 1; i < node->input_count; ++i) {
            prefetch_node(NodeAccess::node(node->inputs[static_cast<std::size_t>(i)]));
        }
        // Nodes made one after the other lie one after the other, and a node's
        // inputs were made before it: what the walk reads after them tends to
        // lie just below. Asking ahead keeps several reads in flight.
        for (int line = 2; line <= 9; ++line) {
            __builtin_prefetch(reinterpret_cast<const char*>(node) - 64 * line);
        }
        stack.nodes.push_back(node);
        stack.progress.push_back(state);
    };

    reach(nullptr, 0, start);
    while (!stack.nodes.empty()) {
        ValueNode* const user = stack.nodes.back();
        const int next = stack.progress.back() & WalkStack::next_input;
        if (next < user->input_count) {
            ++stack.progress.back();
            reach(user, next, user->inputs[static_cast<std::size_t>(next)]);
            continue;
        }
        // All inputs are placed, on top of the operands in index order.
        const auto count = static_cast<std::size_t>(user->input_count);
        const std::size_t first = stack.operands.size() - count;
        const std::uint32_t place = recorder.complete(*user, stack.operands.data() + first);
        if ((stack.progress.back() & WalkStack::in_table) != 0) {
            stack.visited.at(user->id) = place;
        }
        stack.operands.resize(first);
        stack.operands.push_back(place);
        stack.nodes.pop_back();
        stack.progress.pop_back();
        // The walk comes back to the nodes below on the stack, which it left
        // long ago when a deep input was walked: ask for the next two now, and
        // for the input that the nearer one walks next.
        const std::size_t depth = stack.nodes.size();
        if (depth >= 3) {
            prefetch_node(stack.nodes[depth - 3]);
        }
        if (depth >= 2) {
            const ValueNode* const below = stack.nodes[depth - 2];
            const int pending = stack.progress[depth - 2] & WalkStack::next_input;
            if (pending < below->input_count) {
                prefetch_node(NodeAccess::node(below->inputs[static_cast<std::size_t>(pending)]));
            }
        }
    }
    return stack.operands.back();
}

}  // namespace zarnik::symbolic::detail
