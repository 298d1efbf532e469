#include <algorithm>
#include <stdexcept>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "symbolic/graph/internal.hpp"
#include "symbolic/program/call_scratch.hpp"

namespace zarnik::symbolic {

namespace detail {

void require_seed(const SmallValue& seed, int dimension) {
    require_finite(seed);
    if (seed.dimension != dimension) {
        throw std::invalid_argument("backward seed dimension does not match output dimension");
    }
}

CallScratch::Release::~Release() {
#if defined(__GLIBC__)
    // The allocator keeps freed memory in the arena of the thread that held
    // it, and pieces of a megabyte or more are what a large graph's scratch
    // is made of.
    if (bytes >= (std::size_t{1} << 20U)) {
        malloc_trim(0);
    }
#endif
}

std::atomic<std::size_t>& kept_scratch_bytes() noexcept {
    static constinit std::atomic<std::size_t> kept{0};
    return kept;
}

SmallValue default_seed(int dimension) {
    if (dimension != 1) {
        throw std::invalid_argument("backward() without seed requires scalar output");
    }
    return small_value(1.0);
}

}  // namespace detail

namespace {

using detail::CallScratch;

// Orders the graph below `output` and records it as a program; when one of
// its nodes breaks the builders' invariants, records the reference order
// instead. Returns whether a program was recorded.
bool record(const Value& output, CallScratch& scratch) {
    detail::Program& program = scratch.program;
    program.clear();
    detail::ProgramRecorder recorder(program);
    program.output = detail::walk(output, scratch.walk, recorder);
    scratch.walk.trim();
    if (!recorder.irregular()) {
        const ValueNode& node = output.node();
        if (node.kind == ValueKind::Constant || node.kind == ValueKind::Parameter) {
            program.output_leaf = &node;
        }
        if (recorder.branches()) {
            detail::mark_guarded(program, std::span<const detail::Place>(&program.output, 1));
        }
        return true;
    }
    scratch.reference.clear();
    detail::ReferenceRecorder reference(scratch.reference);
    detail::walk(output, scratch.walk, reference);
    return false;
}

// Collects the parameters of a graph for zero_grad.
class ParameterCollector {
public:
    explicit ParameterCollector(std::vector<detail::ParameterSlot>& found) : found_(found) {}
    std::uint32_t complete(ValueNode& node, const std::uint32_t*, const Value*) {
        if (node.kind == ValueKind::Parameter) {
            found_.push_back({&node, 0, 0});
        }
        return 0;
    }

private:
    std::vector<detail::ParameterSlot>& found_;
};

}  // namespace

SmallValue Value::evaluate() const {
    detail::ScratchLease scratch;
    if (!record(*this, *scratch)) {
        detail::reference_forward(scratch->reference, scratch->reference_values);
        return scratch->reference_values.back();
    }
    double* const lanes = scratch->program.lanes.data();
    detail::raise_if_failed(detail::run_forward(scratch->program, lanes));
    return detail::output_value(scratch->program, lanes);
}

void Value::backward(SmallValue seed) const {
    detail::require_valid(*this, "backward value");
    detail::require_seed(seed, dimension());
    detail::ScratchLease scratch;
    if (!record(*this, *scratch)) {
        detail::reference_forward(scratch->reference, scratch->reference_values);
        detail::reference_backward(scratch->reference, scratch->reference_values, seed, scratch->reference_slots);
        return;
    }
    const detail::Program& program = scratch->program;
    double* const lanes = scratch->program.lanes.data();
    detail::raise_if_failed(detail::run_forward(program, lanes));
    detail::LaneArray& adjoints = scratch->adjoints;
    adjoints.resize(program.lanes.size());
    std::fill_n(adjoints.data(), adjoints.size(), 0.0);
    detail::seed_adjoints(program, seed, adjoints.data());
    detail::run_reverse(program, lanes, adjoints.data());
    detail::add_gradients(program.parameters, adjoints.data());
}

void Value::backward() const { backward(detail::default_seed(dimension())); }

void Value::zero_grad() const {
    detail::ScratchLease scratch;
    std::vector<detail::ParameterSlot>& parameters = scratch->program.parameters;
    parameters.clear();
    ParameterCollector collector(parameters);
    detail::walk(*this, scratch->walk, collector);
    // Cleared only once the whole graph is walked.
    for (const detail::ParameterSlot& parameter : parameters) {
        parameter.node->grad = SmallValue{};
    }
}

}  // namespace zarnik::symbolic
