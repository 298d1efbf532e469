#include <cmath>
#include <cstddef>
#include <memory>
#include <memory_resource>
#include <stdexcept>
#include <unordered_map>
#include <vector>

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

// The call's arena: a bump allocator over blocks of one modest size. A call
// that needs more than its first block, which lives on the call's own stack,
// takes blocks that earlier calls on the same thread gave back, and gives its
// own back when it ends, up to a bound. Fresh pages from the operating system
// cost a fault each and arrive cold in the cache; on graphs of thousands of
// nodes they made a pass two to three times slower than reused blocks do.
// Requests too large for a block (the table's bucket array) go to the heap.
class CallArena final : public std::pmr::memory_resource {
public:
    CallArena() = default;
    CallArena(const CallArena&) = delete;
    CallArena& operator=(const CallArena&) = delete;
    ~CallArena() override {
        SpareBlocks& spare = spare_blocks();
        while (blocks_ != nullptr) {
            Block* const next = blocks_->next;
            spare.give_back(blocks_);
            blocks_ = next;
        }
        for (void* large : large_) {
            ::operator delete(large);
        }
    }

private:
    // Below the usual threshold (128 KiB) above which the C library maps and
    // unmaps every allocation on its own.
    static constexpr std::size_t block_size = 60 * 1024;
    // What one thread keeps between calls, 64 MiB: enough for graphs of about 350,000 nodes.
    static constexpr std::size_t max_spare_blocks = 1092;

    struct Block {
        Block* next;
    };

    class SpareBlocks {
    public:
        SpareBlocks() = default;
        SpareBlocks(const SpareBlocks&) = delete;
        SpareBlocks& operator=(const SpareBlocks&) = delete;
        ~SpareBlocks() {
            for (Block* block : blocks_) {
                ::operator delete(block);
            }
        }

        Block* take() {
            if (blocks_.empty()) {
                return static_cast<Block*>(::operator new(block_size));
            }
            Block* const block = blocks_.back();
            blocks_.pop_back();
            return block;
        }

        void give_back(Block* block) noexcept {
            if (blocks_.size() < max_spare_blocks) {
                try {
                    blocks_.push_back(block);
                    return;
                } catch (...) {
                }
            }
            ::operator delete(block);
        }

    private:
        std::vector<Block*> blocks_;
    };

    static SpareBlocks& spare_blocks() {
        thread_local SpareBlocks spare;
        return spare;
    }

    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        if (bytes > block_size / 4) {
            large_.push_back(nullptr);
            large_.back() = ::operator new(bytes);
            return large_.back();
        }
        void* p = cursor_;
        std::size_t space = static_cast<std::size_t>(end_ - cursor_);
        if (std::align(alignment, bytes, p, space) == nullptr) {
            Block* const block = spare_blocks().take();
            block->next = blocks_;
            blocks_ = block;
            p = reinterpret_cast<std::byte*>(block + 1);
            end_ = reinterpret_cast<std::byte*>(block) + block_size;
            space = static_cast<std::size_t>(end_ - static_cast<std::byte*>(p));
            std::align(alignment, bytes, p, space);
        }
        cursor_ = static_cast<std::byte*>(p) + bytes;
        return p;
    }

    void do_deallocate(void*, std::size_t, std::size_t) override {}

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    alignas(std::max_align_t) std::byte first_[8 * 1024];
    std::byte* cursor_ = first_;
    std::byte* end_ = first_ + sizeof first_;
    Block* blocks_ = nullptr;
    std::vector<void*> large_;
};

// What one call owns: an arena that every allocation of the table comes from
// and that is released at once when the call ends, the table, and the ends of
// the order. The entries refer to nodes in place; the start handle keeps every
// one of them alive for the whole call (inputs never change), so walking costs
// no reference-count traffic.
template <typename Payload>
struct CallTables {
    CallArena arena;
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
