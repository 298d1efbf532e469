#include "symbolic/program/program.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <string>

#include "symbolic/graph/internal.hpp"
#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic::detail {

namespace {

// --- forward ------------------------------------------------------------------------

// Computes one instruction's result; returns whether a lane of it is not
// finite (only for operations that do not keep finite values).
template <typename R, bool Scalars>
[[gnu::always_inline]] inline bool forward(const Instruction& in, double* v, const std::uint32_t* packs) noexcept {
    if constexpr (R::shape == Shape::Binary && Scalars) {
        const double r = R::forward(v[in.a], v[in.b]);
        v[in.out] = r;
        return !R::keeps_finite && !is_finite_lane(r);
    } else if constexpr (R::shape == Shape::Binary) {
        bool bad = false;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const double r = R::forward(v[in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i)],
                                        v[in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i)]);
            v[in.out + i] = r;
            bad = bad || (!R::keeps_finite && !is_finite_lane(r));
        }
        return bad;
    } else if constexpr (R::shape == Shape::Unary) {
        bool bad = false;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const double r = R::forward(v[in.a + i]);
            v[in.out + i] = r;
            bad = bad || (!R::keeps_finite && !is_finite_lane(r));
        }
        return bad;
    } else if constexpr (R::shape == Shape::Pack) {
        // Its inputs passed the finite check when they were computed.
        for (std::uint32_t k = 0; k < in.dim; ++k) {
            v[in.out + k] = v[packs[in.a + k]];
        }
        return false;
    } else if constexpr (R::shape == Shape::Select) {
        // The branch taken may be a guarded one, whose lanes were not checked.
        bool bad = false;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const double r = R::forward(v[select_lane(in, packs, 0, i)], v[select_lane(in, packs, 1, i)],
                                        v[select_lane(in, packs, 2, i)]);
            v[in.out + i] = r;
            bad = bad || !is_finite_lane(r);
        }
        return bad && (in.flags & Instruction::checks_branches) != 0;
    } else {
        static_assert(R::shape == Shape::Component);
        // A lane that was checked, or whose failure is flagged already.
        v[in.out] = v[in.a + in.arg];
        return false;
    }
}

}  // namespace

void carry_failure(const Instruction& in, double* v, const std::uint32_t* packs) noexcept {
    const Shape shape = shape_of(in.code);
    for (std::uint32_t i = 0; i < in.dim; ++i) {
        bool failed = false;
        switch (shape) {
            case Shape::Binary:
                failed = !is_finite_lane(v[in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i)]) ||
                         !is_finite_lane(v[in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i)]);
                break;
            case Shape::Unary: failed = !is_finite_lane(v[in.a + i]); break;
            case Shape::Select: failed = !is_finite_lane(v[select_lane(in, packs, 0, i)]); break;
            case Shape::Pack:
            case Shape::Component:
            case Shape::Leaf:
            case Shape::Unsupported: break;
        }
        if (failed) {
            v[in.out + i] = std::numeric_limits<double>::quiet_NaN();
        }
    }
}

namespace {

// --- reverse ------------------------------------------------------------------------

// In a marked sweep (mark_first_writes), an operand's adjoint lanes are zeroed
// at their first write, as a pass over all lanes would have zeroed them before.
template <bool Marked>
void zero_at_first_write(const Instruction& in, double* adjoints, std::uint32_t width_a,
                         std::uint32_t width_b) noexcept {
    if constexpr (Marked) {
        if ((in.flags & Instruction::first_a) != 0) {
            for (std::uint32_t i = 0; i < width_a; ++i) {
                adjoints[in.a + i] = 0.0;
            }
        }
        if ((in.flags & Instruction::first_b) != 0) {
            for (std::uint32_t i = 0; i < width_b; ++i) {
                adjoints[in.b + i] = 0.0;
            }
        }
    }
}

// Adds one instruction's contributions into its operands' adjoints.
template <typename R, bool Scalars, bool Marked>
[[gnu::always_inline]] inline void reverse(const Instruction& in, const double* v, double* adjoints,
                                           const std::uint32_t* packs) noexcept {
    if constexpr (R::shape == Shape::Binary && Scalars) {
        zero_at_first_write<Marked>(in, adjoints, 1, 1);
        // For p * p, a and b are one slot, and both updates land in it.
        R::backward(v[in.a], v[in.b], v[in.out], adjoints[in.out], adjoints[in.a], adjoints[in.b]);
    } else if constexpr (R::shape == Shape::Binary) {
        zero_at_first_write<Marked>(in, adjoints, (in.flags & Instruction::broadcast_a) != 0 ? 1U : in.dim,
                                    (in.flags & Instruction::broadcast_b) != 0 ? 1U : in.dim);
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const std::uint32_t a = in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
            const std::uint32_t b = in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
            R::backward(v[a], v[b], v[in.out + i], adjoints[in.out + i], adjoints[a], adjoints[b]);
        }
    } else if constexpr (R::shape == Shape::Unary) {
        zero_at_first_write<Marked>(in, adjoints, in.dim, 0);
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            R::backward(v[in.a + i], v[in.out + i], adjoints[in.out + i], adjoints[in.a + i]);
        }
    } else if constexpr (R::shape == Shape::Select) {
        if constexpr (Marked) {
            for (std::uint32_t k = 0; k < 3; ++k) {
                if (((in.b >> k) & 1U) != 0) {
                    for (std::uint32_t i = 0; i < select_width(in, k); ++i) {
                        adjoints[select_lane(in, packs, k, i)] = 0.0;
                    }
                }
            }
        }
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            R::backward(v[select_lane(in, packs, 0, i)], adjoints[in.out + i], adjoints[select_lane(in, packs, 1, i)],
                        adjoints[select_lane(in, packs, 2, i)]);
        }
    } else if constexpr (R::shape == Shape::Pack) {
        for (std::uint32_t k = 0; k < in.dim; ++k) {
            double& slot = adjoints[packs[in.a + k]];
            if (Marked && ((in.b >> k) & 1U) != 0) {
                slot = 0.0;
            }
            slot = slot + adjoints[in.out + k];
        }
    } else {
        static_assert(R::shape == Shape::Component);
        double& slot = adjoints[in.a + in.arg];
        if (Marked && (in.flags & Instruction::first_a) != 0) {
            slot = 0.0;
        }
        slot = slot + adjoints[in.out];
    }
}

// A guarded instruction's reverse rule: each contribution gated by the
// adjoint, so that a zero adjoint (the branch not taken) passes an exact zero
// on, whatever the slope; rounded as `slot + gate(g, contribution)`, as the
// gradient graph writes it.
template <typename R, bool Marked>
void reverse_guarded(const Instruction& in, const double* v, double* adjoints, const std::uint32_t* packs) noexcept {
    if constexpr (R::shape == Shape::Binary) {
        zero_at_first_write<Marked>(in, adjoints, (in.flags & Instruction::broadcast_a) != 0 ? 1U : in.dim,
                                    (in.flags & Instruction::broadcast_b) != 0 ? 1U : in.dim);
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const std::uint32_t a = in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
            const std::uint32_t b = in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
            const double g = adjoints[in.out + i];
            const Partials<double> d = R::derivative(v[a], v[b], v[in.out + i], g, Wanted{!R::flat_a, !R::flat_b});
            if constexpr (!R::flat_a) {
                adjoints[a] = adjoints[a] + lane::gate(g, d.a);
            }
            if constexpr (!R::flat_b) {
                adjoints[b] = adjoints[b] + lane::gate(g, d.b);
            }
        }
    } else if constexpr (R::shape == Shape::Unary) {
        zero_at_first_write<Marked>(in, adjoints, in.dim, 0);
        if constexpr (!R::flat) {
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                const double g = adjoints[in.out + i];
                adjoints[in.a + i] = adjoints[in.a + i] + lane::gate(g, R::derivative(v[in.a + i], v[in.out + i], g));
            }
        }
    } else {
        // Copies and where pass g itself, or an exact zero: nothing to gate.
        reverse<R, false, Marked>(in, v, adjoints, packs);
    }
}

}  // namespace

[[noreturn]] void raise(Failure failure) {
    switch (failure) {
        case Failure::UndefinedValue: throw std::logic_error("cannot evaluate symbolic graph with Undefined values");
        case Failure::MissingInput: raise_input_out_of_range();
        case Failure::PackInputNotScalar: throw std::logic_error("Pack input is not scalar");
        case Failure::ComponentOutOfRange: raise_lane_out_of_range();
        case Failure::UnsupportedOp: break;
    }
    throw std::logic_error("unsupported symbolic expression op");
}

std::uint64_t next_program_serial() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

void Program::clear() {
    code.clear();
    pack_inputs.clear();
    lanes.clear();
    parameters.clear();
    output = 0;
    output_leaf = nullptr;
}

std::size_t Program::capacity_bytes() const {
    return code.capacity() * sizeof(Instruction) + pack_inputs.capacity() * sizeof(std::uint32_t) +
           lanes.capacity() * sizeof(double) + parameters.capacity() * sizeof(ParameterSlot);
}

void LaneArray::grow(std::size_t needed) {
    if (needed > max_lanes) {
        throw std::length_error("a symbolic graph of more than " + std::to_string(max_lanes) +
                                " lanes is not supported");
    }
    const std::size_t capacity = std::clamp(std::max<std::size_t>(capacity_ * 2, 256), needed, max_lanes);
    LaneMemory bigger = allocate_lane_memory(capacity);
    std::copy(data_.get(), data_.get() + size_, bigger.get());
    data_ = std::move(bigger);
    capacity_ = capacity;
}

void LaneArray::assign(const double* lanes, std::size_t count) {
    clear();
    allocate(count);
    std::copy(lanes, lanes + count, data_.get());
}

void LaneArray::shrink_to_fit() {
    if (capacity_ > size_) {
        LaneMemory exact = allocate_lane_memory(size_);
        std::copy(data_.get(), data_.get() + size_, exact.get());
        data_ = std::move(exact);
        capacity_ = size_;
    }
}

Place ProgramRecorder::fail(const ValueNode& node, Failure failure) {
    return emit(Code::Fail, node.dimension, 0, static_cast<std::uint8_t>(failure), 0, 0);
}

Place ProgramRecorder::irregular_node(const ValueNode& node) {
    irregular_ = true;
    return place(program_.lanes.allocate(static_cast<std::size_t>(node.dimension)), node.dimension);
}

// Everything but a leaf with a value and two scalars combined.
Place ProgramRecorder::complete_other(ValueNode& node, const Place* inputs) {
    const int dim = node.dimension;
    switch (node.kind) {
        case ValueKind::Undefined: return fail(node, Failure::UndefinedValue);
        case ValueKind::Constant:
        case ValueKind::Parameter:  // placed by complete()
        case ValueKind::Expression: break;
    }
    const Code code = code_of(node.op);
    switch (shape_of(node.op)) {
        case Shape::Unary:
            if (node.input_count != 1 || lanes_of(inputs[0]) != dim) {
                return irregular_node(node);
            }
            return emit(code, dim, 0, 0, offset_of(inputs[0]), 0);
        case Shape::Binary: {
            if (node.input_count < 2) {
                return fail(node, Failure::MissingInput);
            }
            const int left = lanes_of(inputs[0]);
            const int right = lanes_of(inputs[1]);
            if (node.input_count > 2 || (left != 1 && left != dim) || (right != 1 && right != dim)) {
                return irregular_node(node);
            }
            const auto flags = static_cast<std::uint8_t>((left < dim ? Instruction::broadcast_a : 0) |
                                                         (right < dim ? Instruction::broadcast_b : 0));
            return emit(dim == 1 ? scalar_code(node.op) : code, dim, flags, 0, offset_of(inputs[0]),
                        offset_of(inputs[1]));
        }
        case Shape::Pack: {
            if (node.input_count != dim) {
                return irregular_node(node);
            }
            for (int k = 0; k < dim; ++k) {
                if (lanes_of(inputs[k]) != 1) {
                    return fail(node, Failure::PackInputNotScalar);
                }
            }
            const auto first = static_cast<std::uint32_t>(program_.pack_inputs.size());
            for (int k = 0; k < dim; ++k) {
                program_.pack_inputs.push_back(offset_of(inputs[k]));
            }
            return emit(code, dim, 0, 0, first, 0);
        }
        case Shape::Select: {
            if (node.input_count != 3) {
                return irregular_node(node);
            }
            std::uint8_t flags = 0;
            for (std::size_t k = 0; k < 3; ++k) {
                const int lanes = lanes_of(inputs[k]);
                if (lanes != 1 && lanes != dim) {
                    return irregular_node(node);
                }
                flags = static_cast<std::uint8_t>(flags | (lanes < dim ? select_broadcast[k] : 0));
            }
            const auto first = static_cast<std::uint32_t>(program_.pack_inputs.size());
            for (std::size_t k = 0; k < 3; ++k) {
                program_.pack_inputs.push_back(offset_of(inputs[k]));
            }
            return emit(code, dim, flags, 0, first, 0);
        }
        case Shape::Component: {
            if (node.input_count != 1 || dim != 1) {
                return irregular_node(node);
            }
            const int index = node.component_index;
            if (index < 0 || index >= lanes_of(inputs[0])) {
                return fail(node, Failure::ComponentOutOfRange);
            }
            return emit(code, 1, 0, static_cast<std::uint8_t>(index), offset_of(inputs[0]), 0);
        }
        case Shape::Leaf:
        case Shape::Unsupported: break;
    }
    return fail(node, Failure::UnsupportedOp);
}

namespace {

// A program larger than the caches streams its instructions from memory, and
// runs at the memory's pace unless it asks for them ahead; a small one would
// only pay for the asking.
constexpr std::size_t prefetch_from_instructions = std::size_t{1} << 16;  // 1 MiB of instructions
constexpr std::size_t prefetch_distance = 32;                             // eight cache lines

template <bool Prefetch>
[[gnu::noinline]] ForwardOutcome forward_pass(const Program& program, double* v) noexcept {
    const std::uint32_t* const packs = program.pack_inputs.data();
    // Set only on the rare path, so that the loop carries no dependency through it.
    bool bad = false;
    for (const Instruction& in : program.code) {
        if constexpr (Prefetch) {
            __builtin_prefetch(&in + prefetch_distance);
        }
        const bool known = with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) {
            const bool failed = forward<R, Scalars::value>(in, v, packs);
            if ((in.flags & Instruction::guarded) != 0) [[unlikely]] {
                if ((in.flags & Instruction::carries) != 0) {
                    carry_failure(in, v, packs);
                }
            } else if (failed) [[unlikely]] {
                bad = true;
            }
        });
        if (!known) [[unlikely]] {
            return {&in, bad};  // Fail
        }
    }
    return {nullptr, bad};
}

}  // namespace

ForwardOutcome run_forward(const Program& program, double* v) noexcept {
    return program.code.size() >= prefetch_from_instructions ? forward_pass<true>(program, v)
                                                             : forward_pass<false>(program, v);
}

std::optional<NonFiniteSource> find_non_finite_source(const Program& program, double* v) {
    constexpr std::uint32_t none = 0xFFFF'FFFFU;
    std::vector<std::uint32_t> source(program.lanes.size(), none);
    const std::uint32_t* const packs = program.pack_inputs.data();
    for (std::uint32_t k = 0; k < program.code.size(); ++k) {
        const Instruction& in = program.code[k];
        bool failed = false;
        const bool known = with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) {
            failed = forward<R, Scalars::value>(in, v, packs);
            if ((in.flags & Instruction::carries) != 0) {
                carry_failure(in, v, packs);
            }
        });
        if (!known) {
            return std::nullopt;  // a failure of another kind comes first
        }
        const bool select = shape_of(in.code) == Shape::Select;
        const bool pack = in.code == pack_code;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            if (is_finite_lane(v[in.out + i])) {
                continue;
            }
            // The first operand lane of this result lane that is not finite
            // (of a where, the condition or the branch taken) passes its source on.
            const std::uint32_t taken = select && v[select_lane(in, packs, 0, i)] == 0.0 ? 2U : 1U;
            std::uint32_t from = none;
            for_each_operand(program, in, [&](std::uint32_t first, std::uint32_t width, std::uint32_t operand) {
                if ((pack && operand != i) || (select && operand != 0 && operand != taken) || from != none) {
                    return;
                }
                const std::uint32_t lane = first + (width == 1 ? 0 : i);
                if (!is_finite_lane(v[lane])) {
                    from = source[lane] != none ? source[lane] : k;
                }
            });
            source[in.out + i] = from != none ? from : k;
        }
        if (failed && (in.flags & Instruction::guarded) == 0) {
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                if (!is_finite_lane(v[in.out + i])) {
                    const Instruction& made = program.code[source[in.out + i]];
                    for (std::uint32_t j = 0; j < made.dim; ++j) {
                        if (!is_finite_lane(v[made.out + j])) {
                            return NonFiniteSource{source[in.out + i], v[made.out + j]};
                        }
                    }
                }
            }
        }
    }
    return std::nullopt;
}

void raise_if_failed(const ForwardOutcome& outcome) {
    if (outcome.non_finite) {
        raise_not_finite();
    }
    if (outcome.failed != nullptr) {
        raise(static_cast<Failure>(outcome.failed->arg));
    }
}

SmallValue value_at(const double* lanes, Place place) noexcept {
    SmallValue value;
    value.dimension = lanes_of(place);
    const std::uint32_t offset = offset_of(place);
    for (std::size_t i = 0; i < static_cast<std::size_t>(value.dimension); ++i) {
        value.lanes[i] = lanes[offset + i];
    }
    return value;
}

SmallValue output_value(const Program& program, const double* lanes) {
    if (program.output_leaf != nullptr) {
        return program.output_leaf->value;
    }
    return value_at(lanes, program.output);
}

namespace {

// A program that fails is never swept, so Fail is never reached here.
template <bool Marked>
[[gnu::always_inline]] inline void reverse_instruction(const Instruction& in, const double* v, double* adjoints,
                                                       const std::uint32_t* packs) noexcept {
    with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) {
        if ((in.flags & Instruction::guarded) != 0) [[unlikely]] {
            reverse_guarded<R, Marked>(in, v, adjoints, packs);
        } else {
            reverse<R, Scalars::value, Marked>(in, v, adjoints, packs);
        }
    });
}

}  // namespace

void seed_adjoints(const Program& program, const SmallValue& seed, double* adjoints) noexcept {
    const std::uint32_t output = offset_of(program.output);
    for (std::size_t i = 0; i < static_cast<std::size_t>(seed.dimension); ++i) {
        adjoints[output + i] = seed.lanes[i];
    }
}

void run_reverse(const Program& program, const double* v, double* adjoints) noexcept {
    const std::uint32_t* const packs = program.pack_inputs.data();
    for (auto in = program.code.rbegin(); in != program.code.rend(); ++in) {
        reverse_instruction<false>(*in, v, adjoints, packs);
    }
}

namespace {

template <bool Prefetch>
[[gnu::noinline]] void reverse_marked_pass(const Program& program, const double* v, double* adjoints) noexcept {
    const std::uint32_t* const packs = program.pack_inputs.data();
    const Instruction* const first = program.code.data();
    for (const Instruction* in = first + program.code.size(); in != first;) {
        --in;
        if constexpr (Prefetch) {
            __builtin_prefetch(in - prefetch_distance);
        }
        reverse_instruction<true>(*in, v, adjoints, packs);
    }
}

}  // namespace

void run_reverse_marked(const Program& program, const double* v, double* adjoints) noexcept {
    if (program.code.size() >= prefetch_from_instructions) {
        reverse_marked_pass<true>(program, v, adjoints);
    } else {
        reverse_marked_pass<false>(program, v, adjoints);
    }
}

void run_reverse(const Program& program, const double* v, double* adjoints,
                 std::span<const std::uint32_t> order) noexcept {
    const std::uint32_t* const packs = program.pack_inputs.data();
    for (auto index = order.rbegin(); index != order.rend(); ++index) {
        reverse_instruction<false>(program.code[*index], v, adjoints, packs);
    }
}

void add_gradients(const std::vector<ParameterSlot>& parameters, const double* adjoints) noexcept {
    for (const ParameterSlot& parameter : parameters) {
        SmallValue& grad = parameter.node->grad;
        if (grad.dimension == 0) {
            grad = SmallValue{};
            grad.dimension = static_cast<std::int32_t>(parameter.dim);
        }
        for (std::size_t i = 0; i < parameter.dim; ++i) {
            grad.lanes[i] = grad.lanes[i] + adjoints[parameter.offset + i];
        }
    }
}

}  // namespace zarnik::symbolic::detail
