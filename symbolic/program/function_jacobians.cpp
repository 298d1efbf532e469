// The Jacobian of a compiled function: one reverse sweep per output lane,
// each bit for bit the backward pass from that output with a unit seed.
//
// A backward pass from an output adds up each node's gradient in the order
// of a walk from that output alone, and floating-point sums depend on their
// order: a sweep must visit the instructions below its output in that
// order, which the program's own order (of a walk over all outputs) need not
// be. Keeping every output's order would cost the sum of their sizes,
// quadratic in a graph whose outputs share most of it (the states of a
// recurrence). An order that is one run of the program's own order (outputs
// that share only leaves, each state of a recurrence after the one before)
// is noted as that run, found from the output's own instructions alone; of
// the others, the orders of the first outputs are kept, within a budget
// proportional to the program, and the rest are found at each call, over
// the program's instructions rather than the nodes, at a cost of the order
// of the sweep itself.

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "symbolic/function.hpp"
#include "symbolic/program/function_program.hpp"

namespace zarnik::symbolic::detail {

namespace {

constexpr std::uint32_t none = 0xFFFF'FFFFU;

// Starts a search with marks that no earlier search left.
void start_search(const FunctionProgram& f, SweepSearch& search) {
    if (search.instruction_marks.size() < f.program.code.size()) {
        search.instruction_marks.resize(f.program.code.size(), 0);
    }
    if (++search.mark == 0) {  // wrapped around: clear for real
        std::fill(search.instruction_marks.begin(), search.instruction_marks.end(), 0);
        search.mark = 1;
    }
    search.stack.clear();
}

// Pushes instruction `index` on the search's stack, with the instructions
// that write its operands.
void visit(const FunctionProgram& f, std::uint32_t index, SweepSearch& search) {
    search.instruction_marks[index] = search.mark;
    SweepSearch::Frame frame{index, 0, 0, {}};
    for_each_operand(f.program, f.program.code[index], [&](std::uint32_t first, std::uint32_t, std::uint32_t) {
        frame.operands[frame.count++] = f.producer[first];
    });
    search.stack.push_back(frame);
}

// Appends output j's order, the instructions below it in the order of a walk
// from it alone: each after its operands, operands in order. For outputs
// whose order is not a run.
void find_order(const FunctionProgram& f, std::size_t j, SweepSearch& search, std::vector<std::uint32_t>& order) {
    start_search(f, search);
    visit(f, f.producer[offset_of(f.output_places[j])], search);
    while (!search.stack.empty()) {
        SweepSearch::Frame& top = search.stack.back();
        if (top.next < top.count) {
            const std::uint32_t operand = top.operands[top.next++];
            if (operand != none && search.instruction_marks[operand] != search.mark) {
                visit(f, operand, search);  // `top` is not used again
            }
            continue;
        }
        order.push_back(top.instruction);
        search.stack.pop_back();
    }
}

// Output j's order when it is one run of the program's instructions: those
// its own walk recorded, [first_instructions[j], first_instructions[j + 1]),
// after at most one earlier output's run ending where they begin. So it is
// for outputs that share only leaves, and for the states of a recurrence.
// Found by a search over output j's own instructions only; `root_outputs`
// gives, for an instruction that writes an earlier output, that output.
std::pair<std::uint32_t, std::uint32_t> order_range(const FunctionProgram& f, std::size_t j,
                                                    const std::vector<std::uint32_t>& first_instructions,
                                                    const std::vector<std::uint32_t>& root_outputs,
                                                    SweepSearch& search) {
    constexpr std::pair<std::uint32_t, std::uint32_t> not_a_run{1, 0};
    const std::uint32_t begin = first_instructions[j];
    const std::uint32_t root = f.producer[offset_of(f.output_places[j])];
    if (root == none) {
        return {0, 0};  // a leaf: nothing below it to sweep
    }
    if (root < begin) {  // written by an earlier output's walk
        return root_outputs[root] == none ? not_a_run : f.order_ranges[root_outputs[root]];
    }
    start_search(f, search);
    // The run below the first instruction from an earlier walk that the
    // search meets, which must come before any of this walk's own.
    std::pair<std::uint32_t, std::uint32_t> below{begin, begin};
    bool completed = false;
    visit(f, root, search);
    while (!search.stack.empty()) {
        SweepSearch::Frame& top = search.stack.back();
        if (top.next == top.count) {
            search.stack.pop_back();
            completed = true;
            continue;
        }
        const std::uint32_t operand = top.operands[top.next++];
        if (operand == none || search.instruction_marks[operand] == search.mark ||
            (below.first <= operand && operand < below.second)) {
            continue;
        }
        if (operand >= begin) {
            visit(f, operand, search);
            continue;
        }
        if (completed || below.first != below.second || root_outputs[operand] == none) {
            return not_a_run;
        }
        below = f.order_ranges[root_outputs[operand]];
        if (below.first > below.second || below.second != begin) {
            return not_a_run;
        }
    }
    return {below.first, first_instructions[j + 1]};
}

// The adjoints of a call: lanes that the array did not hold yet are zeroed,
// so that every lane holds a number.
double* zeroed_adjoints(LaneArray& adjoints, std::size_t lanes) {
    const std::size_t held = adjoints.size();
    adjoints.resize(lanes);
    if (lanes > held) {
        std::fill(adjoints.data() + held, adjoints.data() + lanes, 0.0);
    }
    return adjoints.data();
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

void keep_sweeps(FunctionProgram& f, const std::vector<std::uint32_t>& first_instructions) {
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
    SweepSearch search;
    std::vector<std::uint32_t> root_outputs(f.program.code.size(), none);
    f.order_ranges.reserve(f.outputs.size());
    bool runs = false;
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        f.order_ranges.push_back(order_range(f, j, first_instructions, root_outputs, search));
        runs = runs || f.order_ranges.back().first < f.order_ranges.back().second;
        const std::uint32_t root = f.producer[offset_of(f.output_places[j])];
        if (root != none && root_outputs[root] == none) {
            root_outputs[root] = static_cast<std::uint32_t>(j);
        }
    }
    if (runs) {
        f.in_order.resize(f.program.code.size());
        std::iota(f.in_order.begin(), f.in_order.end(), 0U);
    }
    // The other outputs' orders, while they fit.
    const std::size_t budget = 2 * (f.program.code.size() + f.program.lanes.size()) + 4096;
    f.order_starts.assign(f.outputs.size() + 1, 0);
    std::size_t j = 0;
    for (; j < f.outputs.size() && f.orders.size() < budget; ++j) {
        if (f.order_ranges[j].first > f.order_ranges[j].second) {
            find_order(f, j, search, f.orders);
        }
        f.order_starts[j + 1] = static_cast<std::uint32_t>(f.orders.size());
    }
    f.order_starts.resize(j + 1);
    f.order_starts.shrink_to_fit();
    f.orders.shrink_to_fit();
}

std::span<const std::uint32_t> sweep_of(const FunctionProgram& f, std::size_t j, CallScratch& scratch) {
    const auto [first, last] = f.order_ranges[j];
    if (first <= last) {
        return std::span<const std::uint32_t>(f.in_order).subspan(first, last - first);
    }
    if (j + 1 < f.order_starts.size()) {
        const std::uint32_t start = f.order_starts[j];
        return std::span<const std::uint32_t>(f.orders).subspan(start, f.order_starts[j + 1] - start);
    }
    SweepSearch& search = scratch.sweep;
    search.order.clear();
    find_order(f, j, search, search.order);
    return search.order;
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
    RowAdjoints adjoints(f.program, lanes, zeroed_adjoints(scratch.adjoints, f.program.lanes.size()), jacobian,
                         f.input_lanes);
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
