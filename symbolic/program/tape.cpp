#include "symbolic/tape.hpp"

#include "symbolic/graph/internal.hpp"
#include "symbolic/program/call_scratch.hpp"

namespace zarnik::symbolic {

namespace detail {

struct TapeProgram {
    Value output;
    // A graph whose nodes keep the builders' invariants is a program; any
    // other is stepped through by the reference evaluator.
    bool regular = true;
    Program program;
    // The program for evaluate alone, over few lanes (program_passes.cpp).
    Program evaluation;
    std::uint64_t evaluation_serial = 0;
    // The adjoint lanes the marked reverse sweep reads before writing them.
    std::vector<std::uint32_t> zero_first;
    ReferenceOrder reference;
    std::vector<Value> parameters;
    std::size_t nodes = 0;
    // Tells the lanes of one tape from another's in a thread's scratch.
    std::uint64_t serial = 0;
};

}  // namespace detail

namespace {

using detail::TapeProgram;

// Counts the nodes and keeps a handle to each parameter while `inner` records them.
template <typename Inner>
class Collecting {
public:
    Collecting(Inner& inner, TapeProgram& tape) : inner_(inner), tape_(tape) {}

    std::uint32_t complete(ValueNode& node, const std::uint32_t* inputs, const Value* handle) {
        ++tape_.nodes;
        if (node.kind == ValueKind::Parameter) {
            tape_.parameters.push_back(*handle);  // a leaf always comes with its handle
        }
        return inner_.complete(node, inputs, handle);
    }

private:
    Inner& inner_;
    TapeProgram& tape_;
};

std::shared_ptr<const TapeProgram> record(const Value& output) {
    auto tape = std::make_shared<TapeProgram>();
    tape->output = output;
    tape->serial = detail::next_program_serial();
    detail::WalkStack stack;
    detail::ProgramRecorder recorder(tape->program);
    Collecting<detail::ProgramRecorder> collecting(recorder, *tape);
    tape->program.output = detail::walk(output, stack, collecting);
    if (recorder.irregular()) {
        tape->regular = false;
        tape->program = detail::Program{};
        tape->parameters.clear();
        tape->nodes = 0;
        detail::ReferenceRecorder reference(tape->reference);
        Collecting<detail::ReferenceRecorder> collecting_reference(reference, *tape);
        detail::walk(output, stack, collecting_reference);
        tape->reference.nodes.shrink_to_fit();
        tape->reference.inputs.shrink_to_fit();
        return tape;
    }
    const ValueNode& node = output.node();
    if (node.kind == ValueKind::Constant || node.kind == ValueKind::Parameter) {
        tape->program.output_leaf = &node;
    }
    tape->program.code.shrink_to_fit();
    tape->program.pack_inputs.shrink_to_fit();
    tape->program.lanes.shrink_to_fit();
    tape->program.parameters.shrink_to_fit();
    tape->parameters.shrink_to_fit();
    if (recorder.branches()) {
        detail::mark_guarded(tape->program, std::span<const detail::Place>(&tape->program.output, 1));
    }
    tape->evaluation = detail::compact_for_evaluation(tape->program);
    tape->zero_first = detail::mark_first_writes(tape->program);
    tape->evaluation_serial = detail::next_program_serial();
    return tape;
}

}  // namespace

Tape::Tape(const Value& output) : program_(record(output)) {}

SmallValue Tape::evaluate() const {
    const TapeProgram& tape = *program_;
    detail::ScratchLease scratch;
    if (!tape.regular) {
        detail::reference_forward(tape.reference, scratch->reference_values);
        return scratch->reference_values.back();
    }
    double* const lanes = detail::program_lanes(tape.evaluation, tape.evaluation_serial, *scratch);
    detail::raise_if_failed(detail::run_forward(tape.evaluation, lanes));
    return detail::output_value(tape.evaluation, lanes);
}

SmallValue Tape::backward(SmallValue seed) const {
    const TapeProgram& tape = *program_;
    detail::require_seed(seed, tape.output.dimension());
    detail::ScratchLease scratch;
    if (!tape.regular) {
        detail::reference_forward(tape.reference, scratch->reference_values);
        detail::reference_backward(tape.reference, scratch->reference_values, seed, scratch->reference_slots);
        return scratch->reference_values.back();
    }
    double* const lanes = detail::program_lanes(tape.program, tape.serial, *scratch);
    detail::raise_if_failed(detail::run_forward(tape.program, lanes));
    // No pass over all the adjoints first: the sweep zeroes each at its first write.
    detail::LaneArray& adjoints = scratch->adjoints;
    adjoints.resize(tape.program.lanes.size());
    for (const std::uint32_t lane : tape.zero_first) {
        adjoints[lane] = 0.0;
    }
    detail::seed_adjoints(tape.program, seed, adjoints.data());
    detail::run_reverse_marked(tape.program, lanes, adjoints.data());
    detail::add_gradients(tape.program.parameters, adjoints.data());
    return detail::output_value(tape.program, lanes);
}

SmallValue Tape::backward() const { return backward(detail::default_seed(program_->output.dimension())); }

void Tape::zero_grad() const {
    for (const Value& parameter : program_->parameters) {
        detail::NodeAccess::node(parameter)->grad = SmallValue{};
    }
}

const Value& Tape::output() const noexcept { return program_->output; }

const std::vector<Value>& Tape::parameters() const noexcept { return program_->parameters; }

std::size_t Tape::size() const noexcept { return program_->nodes; }

std::size_t Tape::memory_bytes() const noexcept {
    const TapeProgram& tape = *program_;
    return sizeof(TapeProgram) + tape.program.capacity_bytes() + tape.evaluation.capacity_bytes() +
           tape.zero_first.capacity() * sizeof(std::uint32_t) + tape.reference.capacity_bytes() +
           tape.parameters.capacity() * sizeof(Value);
}

}  // namespace zarnik::symbolic
