// The Jacobian of a compiled function: one reverse sweep per output lane,
// each bit for bit the backward pass from that output with a unit seed.
//
// A backward pass from an output adds up each node's gradient in the order
// of a walk from that output alone, and floating-point sums depend on their
// order: a sweep must visit the instructions below its output in that
// order, which the program's own order (of a walk over all outputs) need not
// be. Each output's order is found over the program's instructions, not over
// the nodes. Keeping every output's order would cost the sum of their
// sizes, quadratic in a graph whose outputs share most of it (every state
// of a recurrence); the orders of the first outputs are kept, within a
// budget proportional to the program, and the others are found at each
// call, at a cost of the order of the sweep itself.

#include <stdexcept>

#include "function_program.hpp"
#include "symbolic/function.hpp"

namespace zarnik::symbolic::detail {

namespace {

constexpr std::uint32_t none = 0xFFFF'FFFFU;

// Starts a search with marks that no earlier search left.
void start_search(const FunctionProgram& f, SweepSearch& search) {
    if (search.instruction_marks.size() < f.program.code.size()) {
        search.instruction_marks.resize(f.program.code.size(), 0);
    }
    if (search.lane_marks.size() < f.program.lanes.size()) {
        search.lane_marks.resize(f.program.lanes.size(), 0);
    }
    if (++search.mark == 0) {  // wrapped around: clear for real
        std::fill(search.instruction_marks.begin(), search.instruction_marks.end(), 0);
        std::fill(search.lane_marks.begin(), search.lane_marks.end(), 0);
        search.mark = 1;
    }
    search.stack.clear();
}

// Appends output j's order, the instructions below it in the order of a walk
// from it alone (each after its operands, operands in order), and the lanes
// whose adjoints a sweep over them reads or writes, its own included.
void find_sweep(const FunctionProgram& f, std::size_t j, SweepSearch& search, std::vector<std::uint32_t>& order,
                std::vector<std::uint32_t>& swept) {
    start_search(f, search);
    const Program& program = f.program;
    const auto sweep_lanes = [&](std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t lane = first; lane < first + count; ++lane) {
            if (search.lane_marks[lane] != search.mark) {
                search.lane_marks[lane] = search.mark;
                swept.push_back(lane);
            }
        }
    };
    const auto visit = [&](std::uint32_t index) {
        search.instruction_marks[index] = search.mark;
        SweepSearch::Frame frame{index, 0, 0, {}};
        for_each_operand(program, program.code[index], [&](std::uint32_t first, std::uint32_t, std::uint32_t) {
            frame.operands[frame.count++] = f.producer[first];
        });
        search.stack.push_back(frame);
    };
    const std::uint32_t output = offset_of(f.output_places[j]);
    sweep_lanes(output, static_cast<std::uint32_t>(lanes_of(f.output_places[j])));
    if (f.producer[output] != none) {
        visit(f.producer[output]);
    }
    while (!search.stack.empty()) {
        SweepSearch::Frame& top = search.stack.back();
        if (top.next < top.count) {
            const std::uint32_t operand = top.operands[top.next++];
            if (operand != none && search.instruction_marks[operand] != search.mark) {
                visit(operand);
            }
            continue;
        }
        const Instruction& in = program.code[top.instruction];
        order.push_back(top.instruction);
        sweep_lanes(in.out, in.dim);
        for_each_operand(program, in, [&](std::uint32_t first, std::uint32_t width, std::uint32_t) {
            sweep_lanes(first, width);
        });
        search.stack.pop_back();
    }
}

// One row's adjoints, for sweep_jacobian.
class RowAdjoints {
public:
    RowAdjoints(const Program& program, const double* lanes, double* adjoints, std::span<double> jacobian,
                std::size_t columns)
        : program_(program), lanes_(lanes), adjoints_(adjoints), jacobian_(jacobian), columns_(columns) {}

    void fill(std::uint32_t lane, double value) noexcept { adjoints_[lane] = value; }
    void reverse(std::span<const std::uint32_t> order) noexcept { run_reverse(program_, lanes_, adjoints_, order); }
    void take(std::uint32_t lane, std::size_t row, std::size_t column) noexcept {
        jacobian_[row * columns_ + column] = gradient_lane(std::exchange(adjoints_[lane], 0.0));
    }

private:
    const Program& program_;
    const double* lanes_;
    double* adjoints_;
    std::span<double> jacobian_;
    std::size_t columns_;
};

// The reference evaluator's Jacobian, output by output, each over the order
// of a walk from it alone.
void reference_jacobian(const FunctionProgram& f, const CallValues& values, std::span<double> jacobian,
                        std::span<SmallValue> outputs, CallScratch& scratch) {
    const std::size_t columns = f.input_lanes;
    std::vector<std::int64_t> positions(f.inputs.size());
    std::size_t row = 0;
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        ReferenceOrder& order = scratch.reference;
        order.clear();
        ReferenceRecorder recorder(order);
        walk(f.outputs[j], scratch.walk, recorder);
        const std::vector<SmallValue>& lanes = reference_values(f, order, values, scratch);
        if (!outputs.empty()) {
            outputs[j] = lanes.back();
        }
        std::fill(positions.begin(), positions.end(), -1);
        for (std::size_t position = 0; position < order.nodes.size(); ++position) {
            const auto source = f.sources.find(order.nodes[position]);
            if (source != f.sources.end() && source->second < f.inputs.size()) {
                positions[source->second] = static_cast<std::int64_t>(position);
            }
        }
        for (int l = 0; l < f.output_dims[j]; ++l, ++row) {
            SmallValue seed;
            seed.dimension = f.output_dims[j];
            seed.lanes[static_cast<std::size_t>(l)] = 1.0;
            reference_sweep(order, lanes, seed, scratch.reference_slots);
            std::size_t column = 0;
            for (std::size_t k = 0; k < f.inputs.size(); ++k) {
                const SmallValue* const slot =
                    positions[k] >= 0 ? &scratch.reference_slots[static_cast<std::size_t>(positions[k])] : nullptr;
                for (int i = 0; i < f.input_dims[k]; ++i, ++column) {
                    jacobian[row * columns + column] = slot != nullptr && slot->dimension > 0
                                                           ? gradient_lane(slot->lanes[static_cast<std::size_t>(i)])
                                                           : 0.0;
                }
            }
        }
    }
}

}  // namespace

void keep_sweeps(FunctionProgram& f) {
    f.producer.assign(f.program.lanes.size(), none);
    for (std::size_t index = 0; index < f.program.code.size(); ++index) {
        const Instruction& in = f.program.code[index];
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            f.producer[in.out + i] = static_cast<std::uint32_t>(index);
        }
    }
    if (f.can_fail) {
        return;  // never swept: every call fails first
    }
    const std::size_t budget = 2 * (f.program.code.size() + f.program.lanes.size()) + 4096;
    SweepSearch search;
    f.order_starts.push_back(0);
    f.swept_starts.push_back(0);
    for (std::size_t j = 0; j < f.outputs.size() && f.orders.size() + f.swept.size() < budget; ++j) {
        find_sweep(f, j, search, f.orders, f.swept);
        f.order_starts.push_back(static_cast<std::uint32_t>(f.orders.size()));
        f.swept_starts.push_back(static_cast<std::uint32_t>(f.swept.size()));
    }
    f.order_starts.shrink_to_fit();
    f.swept_starts.shrink_to_fit();
    f.orders.shrink_to_fit();
    f.swept.shrink_to_fit();
}

Sweep sweep_of(const FunctionProgram& f, std::size_t j, CallScratch& scratch) {
    if (j < f.kept_sweeps()) {
        return {std::span<const std::uint32_t>(f.orders).subspan(f.order_starts[j], f.order_starts[j + 1] - f.order_starts[j]),
                std::span<const std::uint32_t>(f.swept).subspan(f.swept_starts[j], f.swept_starts[j + 1] - f.swept_starts[j])};
    }
    SweepSearch& search = scratch.sweep;
    search.order.clear();
    search.swept.clear();
    find_sweep(f, j, search, search.order, search.swept);
    return {search.order, search.swept};
}

void jacobian_one(const FunctionProgram& f, const CallValues& values, std::span<double> jacobian,
                  std::span<SmallValue> outputs, CallScratch& scratch) {
    if (!f.regular) {
        reference_jacobian(f, values, jacobian, outputs, scratch);
        return;
    }
    const double* const lanes = run_one(f, values, scratch);
    for (std::size_t j = 0; j < outputs.size(); ++j) {
        outputs[j] = output_of(f, values, j, lanes);
    }
    scratch.adjoints.resize(f.program.lanes.size());
    RowAdjoints adjoints(f.program, lanes, scratch.adjoints.data(), jacobian, f.input_lanes);
    sweep_jacobian(f, adjoints, scratch, [] {});
}

}  // namespace zarnik::symbolic::detail

namespace zarnik::symbolic {

void Function::jacobian(std::span<const SmallValue> inputs, std::span<double> jacobian,
                        std::span<SmallValue> outputs) const {
    detail::check_inputs(*program_, inputs);
    if (jacobian.size() != program_->output_lanes * program_->input_lanes) {
        throw std::invalid_argument("the Jacobian needs room for output lanes times input lanes values");
    }
    if (!outputs.empty() && outputs.size() != program_->outputs.size()) {
        throw std::invalid_argument("the outputs need room for one value per output");
    }
    detail::ScratchLease scratch;
    detail::jacobian_one(*program_, {inputs, {}}, jacobian, outputs, *scratch);
}

}  // namespace zarnik::symbolic
