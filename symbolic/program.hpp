#pragma once

// A graph recorded as a flat program: the instructions of its expression
// nodes in evaluation order, over one array of lanes that holds every node's
// value. Evaluate, backward and zero_grad record the graph below their value
// on every call; a Tape records it once and keeps the program.
//
// A program covers graphs whose nodes keep the invariants that the builders
// establish (each operand of the dimension the operation expects). Nodes that
// break them can only come from make_expression; graphs holding such nodes
// are evaluated by the reference evaluator (reference.hpp) instead.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "symbolic.hpp"

namespace zarnik::symbolic::detail {

// Why an instruction fails whenever it is reached: what evaluating its node
// throws whatever the values are.
enum class Failure : std::uint8_t {
    UndefinedValue,      // an Undefined node
    MissingInput,        // a binary node with fewer than two inputs
    PackInputNotScalar,  // a Pack node with a vector input
    ComponentOutOfRange, // a Component index beyond its input's lanes
    UnsupportedOp,       // an expression node whose operation is None or unknown
};

[[noreturn]] void raise(Failure failure);

// The operation codes take their operations' values, and the four binary
// operations a code of their own for two scalars, the case most graphs are
// made of, at a fixed distance: recording picks a code by arithmetic alone.
constexpr std::uint8_t code_value(ExpressionOp op) noexcept { return static_cast<std::uint8_t>(op); }
constexpr std::uint8_t scalars_distance = 8;

enum class Code : std::uint8_t {
    Pack = code_value(ExpressionOp::Pack),
    Component = code_value(ExpressionOp::Component),
    Add = code_value(ExpressionOp::Add),
    Subtract = code_value(ExpressionOp::Subtract),
    Multiply = code_value(ExpressionOp::Multiply),
    Divide = code_value(ExpressionOp::Divide),
    Negate = code_value(ExpressionOp::Negate),
    Sin = code_value(ExpressionOp::Sin),
    Cos = code_value(ExpressionOp::Cos),
    Fail,
    AddScalars = code_value(ExpressionOp::Add) + scalars_distance,
    SubtractScalars = code_value(ExpressionOp::Subtract) + scalars_distance,
    MultiplyScalars = code_value(ExpressionOp::Multiply) + scalars_distance,
    DivideScalars = code_value(ExpressionOp::Divide) + scalars_distance,
};
static_assert(static_cast<std::uint8_t>(Code::Fail) < static_cast<std::uint8_t>(Code::AddScalars));

// The code of a binary operation over two scalars.
constexpr Code scalar_code(ExpressionOp op) noexcept { return static_cast<Code>(code_value(op) + scalars_distance); }

// One expression node. Operands and result are offsets into the lanes; a
// node's `dim` lanes lie at its offset. A one-lane operand of a wider result
// is broadcast (flags). Pack reads its `dim` scalar inputs from the program's
// pack_inputs at index `a`; Component reads lane `arg` of `a`; Fail throws
// failure `arg`.
struct Instruction {
    Code code;
    std::uint8_t dim;
    std::uint8_t flags;
    std::uint8_t arg;
    std::uint32_t out;
    std::uint32_t a;
    std::uint32_t b;

    static constexpr std::uint8_t broadcast_a = 1;
    static constexpr std::uint8_t broadcast_b = 2;
    // The reverse sweep's first write to an operand's adjoint lanes (set by
    // mark_first_writes); a Pack keeps these bits in `b`, one per input.
    static constexpr std::uint8_t first_a = 4;
    static constexpr std::uint8_t first_b = 8;
};
static_assert(sizeof(Instruction) == 16);

// A parameter below the program's output: where its lanes are, and the node
// whose value is read and whose gradient is written.
struct ParameterSlot {
    ValueNode* node;
    std::uint32_t offset;
    std::uint32_t dim;
};

// A node's place in the program: its lane offset and its number of lanes,
// packed into one word (offset * 4 + lanes - 1).
using Place = std::uint32_t;
constexpr Place place(std::uint32_t offset, int lanes) noexcept {
    return offset * 4U + static_cast<std::uint32_t>(lanes - 1);
}
constexpr std::uint32_t offset_of(Place p) noexcept { return p / 4U; }
constexpr int lanes_of(Place p) noexcept { return static_cast<int>(p % 4U) + 1; }

// Offsets and places are 32-bit, a place packing an offset with a lane
// count: a program holds at most 2^30 lanes, and a graph that needs more is
// refused (std::length_error) rather than given offsets that wrap around.
inline constexpr std::size_t max_lanes = std::size_t{1} << 30U;

// The memory of a lane array (lane_memory.cpp). A large one comes straight
// from the system and goes back to it when freed: the allocator would keep
// it in the arena of the thread that freed it, for a thread that may not
// call again.
struct LaneMemoryRelease {
    std::size_t count = 0;
    void operator()(double* lanes) const noexcept;
};
using LaneMemory = std::unique_ptr<double[], LaneMemoryRelease>;
LaneMemory allocate_lane_memory(std::size_t count);

// A growing array of lanes whose new lanes are left for their writer to
// fill, rather than zeroed first.
class LaneArray {
public:
    LaneArray() = default;
    LaneArray(const LaneArray& other) : LaneArray() { assign(other.data(), other.size()); }
    LaneArray& operator=(const LaneArray& other) {
        if (this != &other) {
            assign(other.data(), other.size());
        }
        return *this;
    }
    LaneArray(LaneArray&&) noexcept = default;
    LaneArray& operator=(LaneArray&&) noexcept = default;
    ~LaneArray() = default;

    // Appends `count` lanes and returns the offset of the first.
    std::uint32_t allocate(std::size_t count) {
        if (size_ + count > capacity_) {
            grow(size_ + count);
        }
        const auto offset = static_cast<std::uint32_t>(size_);
        size_ += count;
        return offset;
    }
    void assign(const double* lanes, std::size_t count);
    // Makes the array `count` lanes long; lanes beyond its old size are left unwritten.
    void resize(std::size_t count) {
        if (count > capacity_) {
            grow(count);
        }
        size_ = count;
    }
    void clear() noexcept { size_ = 0; }
    void shrink_to_fit();

    double* data() noexcept { return data_.get(); }
    const double* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    double& operator[](std::size_t i) noexcept { return data_[i]; }
    double operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    void grow(std::size_t needed);

    LaneMemory data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct Program {
    std::vector<Instruction> code;
    std::vector<std::uint32_t> pack_inputs;
    // Every node's lanes: constants and, as of recording, parameters hold
    // their values; results are written by the forward pass.
    LaneArray lanes;
    std::vector<ParameterSlot> parameters;  // in the order of the walk
    Place output = 0;
    // The output itself, when it is a leaf: its value is returned as stored,
    // spare lanes included.
    const ValueNode* output_leaf = nullptr;

    void clear();
    std::size_t capacity_bytes() const;
};

// Calls `visit(first_lane, lanes, operand)` for every range of lanes that
// `in` reads: operand 0 is `a`, 1 is `b`, and a Pack's input k is operand k.
template <typename Visit>
void for_each_operand(const Program& program, const Instruction& in, Visit&& visit) {
    switch (in.code) {
        case Code::Add:
        case Code::Subtract:
        case Code::Multiply:
        case Code::Divide:
        case Code::AddScalars:
        case Code::SubtractScalars:
        case Code::MultiplyScalars:
        case Code::DivideScalars:
            visit(in.a, (in.flags & Instruction::broadcast_a) != 0 ? 1U : std::uint32_t{in.dim}, 0U);
            visit(in.b, (in.flags & Instruction::broadcast_b) != 0 ? 1U : std::uint32_t{in.dim}, 1U);
            return;
        case Code::Negate:
        case Code::Sin:
        case Code::Cos: visit(in.a, std::uint32_t{in.dim}, 0U); return;
        case Code::Pack:
            for (std::uint32_t k = 0; k < in.dim; ++k) {
                visit(program.pack_inputs[in.a + k], 1U, k);
            }
            return;
        case Code::Component: visit(in.a + in.arg, 1U, 0U); return;
        case Code::Fail: return;
    }
}

// A number that tells one kept program (a tape's, a function's) from every
// other made in the process, so that a thread can tell whose lanes it holds.
std::uint64_t next_program_serial() noexcept;

// Builds a program as a graph walk completes its nodes (graph_walk.hpp).
// Marks the program `irregular` instead when a node breaks the builders'
// invariants; the program is then incomplete and must not be run.
class ProgramRecorder {
public:
    explicit ProgramRecorder(Program& program) : program_(program) {}

    // The node's place, given its inputs' places.
    Place complete(ValueNode& node, const Place* inputs, const Value* = nullptr) {
        const int dim = node.dimension;
        if (node.kind == ValueKind::Constant || node.kind == ValueKind::Parameter) {
            if (node.value.dimension != dim) [[unlikely]] {
                // make_node may give a leaf a value of other lanes than its node's:
                // evaluation uses the value as it is, broadcasting or failing.
                return irregular_node(node);
            }
            const std::uint32_t offset = program_.lanes.allocate(static_cast<std::size_t>(dim));
            for (std::size_t i = 0; i < static_cast<std::size_t>(dim); ++i) {
                program_.lanes[offset + i] = node.value.lanes[i];
            }
            if (node.kind == ValueKind::Parameter) {
                program_.parameters.push_back({&node, offset, static_cast<std::uint32_t>(dim)});
            }
            return place(offset, dim);
        }
        if (node.kind == ValueKind::Expression && dim == 1 && node.input_count == 2 && lanes_of(inputs[0]) == 1 &&
            lanes_of(inputs[1]) == 1 && is_arithmetic(node.op)) {
            // The common case, two scalars combined, needs none of the checks below.
            return emit(scalar_code(node.op), 1, 0, 0, offset_of(inputs[0]), offset_of(inputs[1]));
        }
        return complete_other(node, inputs);
    }

    bool irregular() const noexcept { return irregular_; }

private:
    static constexpr bool is_arithmetic(ExpressionOp op) noexcept {
        return op == ExpressionOp::Add || op == ExpressionOp::Subtract || op == ExpressionOp::Multiply ||
               op == ExpressionOp::Divide;
    }

    Place complete_other(ValueNode& node, const Place* inputs);
    Place fail(const ValueNode& node, Failure failure);
    Place irregular_node(const ValueNode& node);
    Place emit(Code code, int dim, std::uint8_t flags, std::uint8_t arg, std::uint32_t a, std::uint32_t b) {
        const std::uint32_t out = program_.lanes.allocate(static_cast<std::size_t>(dim));
        program_.code.push_back({code, static_cast<std::uint8_t>(dim), flags, arg, out, a, b});
        return place(out, dim);
    }

    Program& program_;
    bool irregular_ = false;
};

// The same program for evaluation alone (program_passes.cpp): the same
// instructions in the same order over fewer lanes, each result taking lanes
// that an earlier result no longer needs. Its results are not all kept, so
// it cannot be swept backwards.
Program compact_for_evaluation(const Program& program);

// Marks each instruction that writes an operand's adjoint lanes first in the
// reverse sweep (program_passes.cpp), and returns the lanes that the sweep
// reads before anything writes them. run_reverse_marked then needs only those
// zeroed, not all.
std::vector<std::uint32_t> mark_first_writes(Program& program);

// How a forward pass ended: the first failing instruction it reached (none:
// it ran to the end), and whether any result before that was not finite.
struct ForwardOutcome {
    const Instruction* failed = nullptr;
    bool non_finite = false;
};

// Computes every instruction's result into `lanes`, stopping at the first Fail.
ForwardOutcome run_forward(const Program& program, double* lanes) noexcept;

// Throws what evaluating the graph throws when its pass ended so: a
// non-finite result comes before any failing instruction, since every
// failure it stands for was reached first.
void raise_if_failed(const ForwardOutcome& outcome);

// The value whose lanes lie at `place`, spare lanes zero.
SmallValue value_at(const double* lanes, Place place) noexcept;

// The output's value after a successful forward pass.
SmallValue output_value(const Program& program, const double* lanes);

// Sets the output's adjoint lanes to `seed`'s.
void seed_adjoints(const Program& program, const SmallValue& seed, double* adjoints) noexcept;

// The reverse sweep: adds every instruction's contributions, last instruction
// first, into `adjoints` (one per lane, the output's seeded, the rest zero).
void run_reverse(const Program& program, const double* lanes, double* adjoints) noexcept;
// The same over a marked program, zeroing each adjoint lane at its first write.
void run_reverse_marked(const Program& program, const double* lanes, double* adjoints) noexcept;
// The same over the instructions at the indices `order` only, in evaluation
// order (a part of the program swept in an order of its own).
void run_reverse(const Program& program, const double* lanes, double* adjoints,
                 std::span<const std::uint32_t> order) noexcept;

// Many rows at once, for batches: lane k of row r lies at lanes[k][r] for the
// first `rows` rows. Each row is computed exactly as a single call computes
// it. The reverse sweep only reads `lanes`.
ForwardOutcome run_forward_rows(const Program& program, double* const* lanes, std::size_t rows) noexcept;
void run_reverse_rows(const Program& program, double* const* lanes, double* const* adjoints, std::size_t rows,
                      std::span<const std::uint32_t> order) noexcept;

// Adds each parameter's adjoints into its gradient, which starts from zeros
// when absent. Nothing here can fail, so a pass changes either all the
// parameters it reached or none.
void add_gradients(const std::vector<ParameterSlot>& parameters, const double* adjoints) noexcept;

}  // namespace zarnik::symbolic::detail
