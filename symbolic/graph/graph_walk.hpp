#pragma once

// Ordering the graph below a value: every node once, after all of its inputs,
// inputs in index order, each node at the place of its first visit. This is
// the order of the natural recursive walk, found without recursion, so that
// a graph of any depth is walked in constant call-stack space.

#include <cstdint>
#include <vector>

#include "symbolic/graph/internal.hpp"
#include "symbolic/graph/visited_table.hpp"

namespace zarnik::symbolic::detail {

// The walk's working memory, kept by a thread between calls.
struct WalkStack {
    std::vector<ValueNode*> nodes;        // nodes whose inputs are being walked
    std::vector<std::uint8_t> progress;   // per node: the next input to walk, and whether it is in `visited`
    std::vector<std::uint32_t> operands;  // places of walked inputs that wait for their user
    VisitedTable visited;

    static constexpr std::uint8_t in_table = 0x80;
    static constexpr std::uint8_t next_input = 0x0F;

    // Coming back up a deep graph, the stack gives back what it no longer
    // uses, while the program it records grows.
    void shrink_if_sparse() {
        if (nodes.capacity() > (std::size_t{1} << 16U) && nodes.size() * 4 < nodes.capacity()) {
            nodes.shrink_to_fit();
            progress.shrink_to_fit();
        }
    }

    // Gives back the stacks' memory once a walk is done when a deep graph
    // has made them large: the rest of the call no longer needs them.
    void trim() {
        constexpr std::size_t large = std::size_t{1} << 20U;
        if (nodes.capacity() > large) {
            std::vector<ValueNode*>().swap(nodes);
            std::vector<std::uint8_t>().swap(progress);
        }
        if (operands.capacity() > large) {
            std::vector<std::uint32_t>().swap(operands);
        }
    }

    std::size_t capacity_bytes() const {
        return nodes.capacity() * sizeof(ValueNode*) + progress.capacity() + operands.capacity() * 4 +
               visited.capacity_bytes();
    }
};

// Asks for a node's first cache lines: its owner count, which the
// make_shared layout keeps just before it, and the fields a walk reads.
inline void prefetch_node(const ValueNode* node) noexcept {
    __builtin_prefetch(reinterpret_cast<const char*>(node) - 16);
    __builtin_prefetch(reinterpret_cast<const char*>(node) + 48);
}

// Throws std::invalid_argument for an empty handle met in a walk.
[[noreturn]] void throw_invalid_walk_value();

// Forgets what earlier walks visited, before walk_more's first start.
inline void begin_walks(WalkStack& stack) {
    stack.nodes.clear();
    stack.progress.clear();
    stack.operands.clear();
    stack.visited.start();
}

// Continues the walks begun with begin_walks from one more start: nodes that
// an earlier start reached are not completed again. (A node reached from two
// starts has two owners, or one owner reached from both, so the walks meet
// at an entry of the table.)
template <typename Recorder>
std::uint32_t walk_more(const Value& start, WalkStack& stack, Recorder& recorder);

// Walks the graph below `start` and calls `recorder.complete(node, inputs,
// handle)` once per distinct node, in the order above, with the places that
// the recorder gave the node's inputs and, for a leaf or the start, a handle
// to the node (null otherwise); returns the start node's place.
//
// The visited set is keyed by node id. A node whose owners are all slots of
// the one node the walk comes from (or the caller's handle, for the start)
// can be met through that node only, so it needs no entry; only nodes with
// other owners go into the table. The owners cannot drop below the slots of
// this graph while it is walked, since the start handle keeps the graph
// alive; the count may only be higher, which costs a lookup.
template <typename Recorder>
std::uint32_t walk(const Value& start, WalkStack& stack, Recorder& recorder) {
    begin_walks(stack);
    return walk_more(start, stack, recorder);
}

template <typename Recorder>
std::uint32_t walk_more(const Value& start, WalkStack& stack, Recorder& recorder) {
    stack.operands.clear();

    // Places a node reached through input slot `index` of `user` (the start
    // has no user): a node seen before or a leaf is placed at once; any other
    // node is pushed to have its inputs walked.
    const auto reach = [&stack, &recorder](const ValueNode* user, int index, const Value& input) {
        ValueNode* const node = NodeAccess::node(input);
        if (node == nullptr) [[unlikely]] {
            throw_invalid_walk_value();
        }
        std::uint8_t state = 0;
        std::uint32_t* entry = nullptr;
        if (const long owners = NodeAccess::owners(input); owners > 1) {
            // The user's own slots may hold the node more than once (x * x):
            // an earlier slot has placed it already, on top of the operands.
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
            if (owners > own_slots) {
                const auto [found, inserted] = stack.visited.find_or_insert(node->id);
                if (!inserted) {
                    stack.operands.push_back(found);  // a node's inputs are all placed before it
                    return;
                }
                entry = &found;
                state = WalkStack::in_table;
            }
        }
        if (node->input_count == 0) {
            const std::uint32_t place = recorder.complete(*node, nullptr, &input);
            if (entry != nullptr) {
                *entry = place;
            }
            stack.operands.push_back(place);
            return;
        }
        // Its inputs are the next nodes the walk reads. Beyond them: nodes
        // made one after the other lie one after the other, and a node's
        // inputs were made before it, so what the walk reads after them tends
        // to lie just below. Asking ahead keeps several reads in flight.
        for (int i = 1; i < node->input_count; ++i) {
            prefetch_node(NodeAccess::node(node->inputs[static_cast<std::size_t>(i)]));
        }
        const char* const below = reinterpret_cast<const char*>(node);
        __builtin_prefetch(below - 128);
        __builtin_prefetch(below - 256);
        __builtin_prefetch(below - 384);
        __builtin_prefetch(below - 512);
        stack.nodes.push_back(node);
        stack.progress.push_back(state);
    };

    reach(nullptr, 0, start);
    while (!stack.nodes.empty()) {
        ValueNode* const user = stack.nodes.back();
        std::uint8_t& progress = stack.progress.back();
        const int next = progress & WalkStack::next_input;
        if (next < user->input_count) {
            ++progress;
            reach(user, next, user->inputs[static_cast<std::size_t>(next)]);
            continue;
        }
        // All inputs are placed, on top of the operands in index order.
        const std::size_t first = stack.operands.size() - static_cast<std::size_t>(user->input_count);
        const std::uint32_t place =
            recorder.complete(*user, stack.operands.data() + first, stack.nodes.size() == 1 ? &start : nullptr);
        if ((progress & WalkStack::in_table) != 0) {
            stack.visited.at(user->id) = place;
        }
        stack.operands.resize(first + 1);
        stack.operands[first] = place;
        stack.nodes.pop_back();
        stack.progress.pop_back();
        stack.shrink_if_sparse();
        // The walk comes back to the nodes below on the stack, which it left
        // long ago when a deep input was walked: ask for the next two now, and
        // for the input that the nearer one walks next.
        const std::size_t depth = stack.nodes.size();
        if (depth >= 2) {
            const ValueNode* const waiting = stack.nodes[depth - 2];
            const int pending = stack.progress[depth - 2] & WalkStack::next_input;
            if (pending < waiting->input_count) {
                prefetch_node(NodeAccess::node(waiting->inputs[static_cast<std::size_t>(pending)]));
            }
            if (depth >= 3) {
                prefetch_node(stack.nodes[depth - 3]);
            }
        }
    }
    return stack.operands.back();
}

}  // namespace zarnik::symbolic::detail
