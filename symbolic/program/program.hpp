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

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "symbolic/approximate/approximate.hpp"
#include "symbolic/graph/operations.hpp"
#include "symbolic/value.hpp"

namespace zarnik::symbolic::detail {

// Why an instruction fails whenever it is reached: what evaluating its node
// throws whatever the values are.
enum class Failure : std::uint8_t {
    UndefinedValue,       // an Undefined node
    MissingInput,         // a binary node with fewer than two inputs
    PackInputNotScalar,   // a Pack node with a vector input
    ComponentOutOfRange,  // a Component index beyond its input's lanes
    UnsupportedOp,        // an expression node whose operation is None or unknown
};

[[noreturn]] void raise(Failure failure);

// An instruction's code: its operation's place in `Operations`, counted
// from 1, or, for a binary operation over two scalars (the case most graphs
// are made of), a code of its own after those. Code 0 is an instruction that
// fails whenever it is reached. The codes are dense, so that a dispatch over
// them is one table.
enum class Code : std::uint8_t { Fail = 0 };

struct CodeTable {
    std::array<Code, 256> general{};     // by operation
    std::array<Code, 256> scalars{};     // by operation; Fail for all but binary ones
    std::array<ExpressionOp, 256> op{};  // by code
};

consteval CodeTable code_table() {
    CodeTable table;
    std::size_t next = 1;
    Operations::any([&]<typename R>(R) {
        table.general[static_cast<std::size_t>(rule_op<R>)] = static_cast<Code>(next);
        table.op[next++] = rule_op<R>;
        return false;
    });
    Operations::any([&]<typename R>(R) {
        if constexpr (R::shape == Shape::Binary) {
            table.scalars[static_cast<std::size_t>(rule_op<R>)] = static_cast<Code>(next);
            table.op[next++] = rule_op<R>;
        }
        return false;
    });
    return table;
}

inline constexpr CodeTable codes = code_table();

constexpr Code code_of(ExpressionOp op) noexcept { return codes.general[static_cast<std::uint8_t>(op)]; }
// The code of a binary operation over two scalars.
constexpr Code scalar_code(ExpressionOp op) noexcept { return codes.scalars[static_cast<std::uint8_t>(op)]; }
constexpr ExpressionOp op_of(Code code) noexcept { return codes.op[static_cast<std::uint8_t>(code)]; }
constexpr Shape shape_of(Code code) noexcept { return shape_of(op_of(code)); }
inline constexpr Code pack_code = code_of(ExpressionOp::Pack);
inline constexpr Code component_code = code_of(ExpressionOp::Component);

// The operation of code K, through the table: body(Rule<Op>{}, scalars).
template <std::uint8_t K, typename Body>
[[gnu::always_inline]] inline bool at_code(Body& body) {
    constexpr ExpressionOp op = codes.op[K];
    if constexpr (K == 0 || shape_of(op) == Shape::Leaf || shape_of(op) == Shape::Unsupported) {
        return false;
    } else {
        body(Rule<op>{}, std::bool_constant<(codes.general[static_cast<std::uint8_t>(op)] != static_cast<Code>(K))>{});
        return true;
    }
}

inline constexpr std::size_t code_count = [] {
    std::size_t count = 1;
    Operations::any([&count]<typename R>(R) {
        count += R::shape == Shape::Binary ? 2 : 1;
        return false;
    });
    return count;
}();

// Calls `body(Rule<Op>{}, scalars)` for the operation of `code`, where
// `scalars` (a std::bool_constant) tells the scalar code of a binary
// operation, and returns true; false for Fail, calling nothing. The cases are
// code numbers, not operations: each finds its operation in the table, so
// that the runners dispatch through one jump table whatever the list holds.
template <typename Body>
[[gnu::always_inline]] inline bool with_code(Code code, Body&& body) {
    static_assert(code_count <= 72, "more codes than with_code has cases: add cases");
    switch (static_cast<std::uint8_t>(code)) {
        case 0: return at_code<0>(body);
        case 1: return at_code<1>(body);
        case 2: return at_code<2>(body);
        case 3: return at_code<3>(body);
        case 4: return at_code<4>(body);
        case 5: return at_code<5>(body);
        case 6: return at_code<6>(body);
        case 7: return at_code<7>(body);
        case 8: return at_code<8>(body);
        case 9: return at_code<9>(body);
        case 10: return at_code<10>(body);
        case 11: return at_code<11>(body);
        case 12: return at_code<12>(body);
        case 13: return at_code<13>(body);
        case 14: return at_code<14>(body);
        case 15: return at_code<15>(body);
        case 16: return at_code<16>(body);
        case 17: return at_code<17>(body);
        case 18: return at_code<18>(body);
        case 19: return at_code<19>(body);
        case 20: return at_code<20>(body);
        case 21: return at_code<21>(body);
        case 22: return at_code<22>(body);
        case 23: return at_code<23>(body);
        case 24: return at_code<24>(body);
        case 25: return at_code<25>(body);
        case 26: return at_code<26>(body);
        case 27: return at_code<27>(body);
        case 28: return at_code<28>(body);
        case 29: return at_code<29>(body);
        case 30: return at_code<30>(body);
        case 31: return at_code<31>(body);
        case 32: return at_code<32>(body);
        case 33: return at_code<33>(body);
        case 34: return at_code<34>(body);
        case 35: return at_code<35>(body);
        case 36: return at_code<36>(body);
        case 37: return at_code<37>(body);
        case 38: return at_code<38>(body);
        case 39: return at_code<39>(body);
        case 40: return at_code<40>(body);
        case 41: return at_code<41>(body);
        case 42: return at_code<42>(body);
        case 43: return at_code<43>(body);
        case 44: return at_code<44>(body);
        case 45: return at_code<45>(body);
        case 46: return at_code<46>(body);
        case 47: return at_code<47>(body);
        case 48: return at_code<48>(body);
        case 49: return at_code<49>(body);
        case 50: return at_code<50>(body);
        case 51: return at_code<51>(body);
        case 52: return at_code<52>(body);
        case 53: return at_code<53>(body);
        case 54: return at_code<54>(body);
        case 55: return at_code<55>(body);
        case 56: return at_code<56>(body);
        case 57: return at_code<57>(body);
        case 58: return at_code<58>(body);
        case 59: return at_code<59>(body);
        case 60: return at_code<60>(body);
        case 61: return at_code<61>(body);
        case 62: return at_code<62>(body);
        case 63: return at_code<63>(body);
        case 64: return at_code<64>(body);
        case 65: return at_code<65>(body);
        case 66: return at_code<66>(body);
        case 67: return at_code<67>(body);
        case 68: return at_code<68>(body);
        case 69: return at_code<69>(body);
        case 70: return at_code<70>(body);
        case 71: return at_code<71>(body);
        default: return false;
    }
}

// One expression node. Operands and result are offsets into the lanes; a
// node's `dim` lanes lie at its offset. A one-lane operand of a wider result
// is broadcast (flags). Pack reads its `dim` scalar inputs from the program's
// pack_inputs at index `a`; a Select (where) reads its condition and its two
// branches from pack_inputs at `a`, broadcast_a, _b and _c telling which of
// them has one lane; Component reads lane `arg` of `a`; Fail throws failure
// `arg`.
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
    // mark_first_writes); a Pack or Select keeps these bits in `b`, one per input.
    static constexpr std::uint8_t first_a = 4;
    static constexpr std::uint8_t first_b = 8;
    static constexpr std::uint8_t broadcast_c = 16;
    // The result is read only where a where may not take it (mark_guarded):
    // its lanes are not checked here but carry their failure on, and a where
    // that takes one checks it.
    static constexpr std::uint8_t guarded = 32;
    // A Select that may take a guarded branch, whose lanes it then checks
    // (mark_guarded); any other takes lanes that were checked.
    static constexpr std::uint8_t checks_branches = 64;
    // A guarded instruction whose lanes carry their operands' failures on
    // (carry_failure): in programs that check values, not in those that
    // propagate them.
    static constexpr std::uint8_t carries = 128;
};

// The lanes of a Select's operand `k` (0: condition, 1: first branch, 2:
// second): 1 when broadcast, else the result's.
inline constexpr std::array<std::uint8_t, 3> select_broadcast = {Instruction::broadcast_a, Instruction::broadcast_b,
                                                                 Instruction::broadcast_c};
[[gnu::always_inline]] inline std::uint32_t select_width(const Instruction& in, std::uint32_t k) noexcept {
    return (in.flags & select_broadcast[k]) != 0 ? 1U : std::uint32_t{in.dim};
}
// The place of a Select's operand `k` for lane i of its result.
[[gnu::always_inline]] inline std::uint32_t select_lane(const Instruction& in, const std::uint32_t* packs,
                                                        std::uint32_t k, std::uint32_t i) noexcept {
    return packs[in.a + k] + ((in.flags & select_broadcast[k]) != 0 ? 0 : i);
}
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
    switch (shape_of(in.code)) {
        case Shape::Binary:
            visit(in.a, (in.flags & Instruction::broadcast_a) != 0 ? 1U : std::uint32_t{in.dim}, 0U);
            visit(in.b, (in.flags & Instruction::broadcast_b) != 0 ? 1U : std::uint32_t{in.dim}, 1U);
            return;
        case Shape::Unary: visit(in.a, std::uint32_t{in.dim}, 0U); return;
        case Shape::Pack:
            for (std::uint32_t k = 0; k < in.dim; ++k) {
                visit(program.pack_inputs[in.a + k], 1U, k);
            }
            return;
        case Shape::Component: visit(in.a + in.arg, 1U, 0U); return;
        case Shape::Select:
            for (std::uint32_t k = 0; k < 3; ++k) {
                visit(program.pack_inputs[in.a + k], select_width(in, k), k);
            }
            return;
        case Shape::Leaf:
        case Shape::Unsupported: return;  // Fail reads nothing
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
            lanes_of(inputs[1]) == 1 && shape_of(node.op) == Shape::Binary) {
            // The common case, two scalars combined, needs none of the checks below.
            return emit(scalar_code(node.op), 1, 0, 0, offset_of(inputs[0]), offset_of(inputs[1]));
        }
        return complete_other(node, inputs);
    }

    bool irregular() const noexcept { return irregular_; }
    // Whether a where was recorded: only then may instructions be guarded (mark_guarded).
    bool branches() const noexcept { return branches_; }

private:
    Place complete_other(ValueNode& node, const Place* inputs);
    Place fail(const ValueNode& node, Failure failure);
    Place irregular_node(const ValueNode& node);
    Place emit(Code code, int dim, std::uint8_t flags, std::uint8_t arg, std::uint32_t a, std::uint32_t b) {
        branches_ = branches_ || shape_of(code) == Shape::Select;
        const std::uint32_t out = program_.lanes.allocate(static_cast<std::size_t>(dim));
        program_.code.push_back({code, static_cast<std::uint8_t>(dim), flags, arg, out, a, b});
        return place(out, dim);
    }

    Program& program_;
    bool irregular_ = false;
    bool branches_ = false;
};

// The same program for evaluation alone (program_passes.cpp): the same
// instructions in the same order over fewer lanes, each result taking lanes
// that an earlier result no longer needs. Its results are not all kept, so
// it cannot be swept backwards.
Program compact_for_evaluation(const Program& program);

// Marks the instructions whose results are read only where a where may not
// take them (program_passes.cpp): their values, lanes that are
// not finite included, are left to the where that takes them to check, and
// their reverse rules pass nothing back where their adjoint is zero, so that
// a branch not taken neither fails nor turns a zero into NaN (0 times the
// infinite slope of log at 0). `outputs` are the places whose values the
// program gives, read unconditionally. `checked`: the program's values are
// checked (not propagated): the guarded instructions carry failures on and
// the wheres that may take them check what they take. Returns whether any
// was marked.
bool mark_guarded(Program& program, std::span<const Place> outputs, bool checked = true);

// A guarded instruction's lanes carry on its operands' failures: a lane of
// the result whose operand (other than a branch of where, which passes its
// own lane on where taken) is not finite is made NaN,
// so that a where that takes it fails, whatever the operation made of it
// (exp(-inf) is 0). Pack and Component copy lanes, failures included.
void carry_failure(const Instruction& in, double* lanes, const std::uint32_t* packs) noexcept;

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

// Runs `program` forward over `lanes` as run_forward does, and where it
// would report a value that is not finite, follows that lane back through
// the operand lanes that were not finite to the instruction that made it
// from finite ones: that instruction's index and the lane it gave. Nothing
// when the pass reports none (or stops at a Fail first).
struct NonFiniteSource {
    std::uint32_t instruction = 0;
    double value = 0.0;
};
std::optional<NonFiniteSource> find_non_finite_source(const Program& program, double* lanes);

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
// it, unless `arithmetic` asks for the approximate transcendental functions
// (approximate.hpp). The reverse sweep only reads `lanes`.
ForwardOutcome run_forward_rows(const Program& program, double* const* lanes, std::size_t rows,
                                Arithmetic arithmetic = Arithmetic::exact) noexcept;
void run_reverse_rows(const Program& program, double* const* lanes, double* const* adjoints, std::size_t rows,
                      std::span<const std::uint32_t> order, Arithmetic arithmetic = Arithmetic::exact) noexcept;

// Forward-mode sweeps over rows, for Jacobians with fewer input lanes than
// output lanes: one sweep per input lane gives that lane's column. `active`
// (tangent_activity) marks the lanes whose values depend on the seeded lane;
// a sweep writes the tangents of those lanes only, each the operation's
// partial derivatives (its reverse rule with a unit seed) times the tangents
// of the operands that depend on the seed. Any other lane's tangent is an
// exact zero that is never read, so that an infinite derivative elsewhere
// (sqrt at 0) cannot turn a column into 0 * inf. The seeded lane's tangents
// are the caller's (1 for a column); the results agree with a reverse sweep
// to rounding. A program that fails is never swept. Approximate sweeps take
// the derivatives that call a transcendental function (sin's cos, pow's
// power and logarithm) from the vectorised kernels, as reverse sweeps do.
std::vector<std::uint8_t> tangent_activity(const Program& program, std::uint32_t seed_lane);
void run_tangent_rows(const Program& program, double* const* lanes, double* const* tangents, std::size_t rows,
                      const std::uint8_t* active, Arithmetic arithmetic = Arithmetic::exact) noexcept;

// Adds each parameter's adjoints into its gradient, which starts from zeros
// when absent. Nothing here can fail, so a pass changes either all the
// parameters it reached or none.
void add_gradients(const std::vector<ParameterSlot>& parameters, const double* adjoints) noexcept;

}  // namespace zarnik::symbolic::detail
