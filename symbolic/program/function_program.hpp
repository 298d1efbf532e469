#pragma once

// A compiled function as it is recorded, and what the files that work on it
// share: recording (function_recording.cpp), single calls
// (function_calls.cpp), Jacobians (function_jacobians.cpp) and the rows
// (rows/row_worker.hpp).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "symbolic/function.hpp"
#include "symbolic/graph/internal.hpp"
#include "symbolic/program/call_scratch.hpp"

namespace zarnik::symbolic::detail {

struct FunctionProgram {
    std::vector<Value> inputs;
    std::vector<Value> outputs;
    std::vector<int> input_dims;
    std::vector<int> output_dims;
    std::size_t input_lanes = 0;
    std::size_t output_lanes = 0;

    // The parameters that are not inputs, each once, in the order of the
    // walk over all outputs: the values a batch reads once, before its rows.
    std::vector<const ValueNode*> parameters;
    std::vector<Value> parameter_handles;  // the same, as the handles users hold
    std::size_t parameter_lanes = 0;

    // A graph whose nodes keep the builders' invariants is one program over
    // all outputs; any other is stepped through by the reference evaluator.
    bool regular = true;

    // --- a program's graph
    Program program;  // its parameters are the ones above, in the same order
    std::vector<Place> input_places;
    std::vector<Place> output_places;
    // An output that is a constant, or a parameter that is not an input, is
    // returned as its node holds it, spare lanes included.
    std::vector<const ValueNode*> output_leaves;
    bool can_fail = false;  // some instruction fails whatever the values
    // NonFinite::propagate: nothing is checked; guarded instructions (below
    // where's branches) only gate their reverse rules.
    bool propagate = false;
    std::uint64_t serial = 0;
    // Per lane, the instruction that writes it (none: a leaf's lane): the
    // instructions as a graph, for finding an output's sweep.
    std::vector<std::uint32_t> producer;
    // Each output's sweep order (function_jacobians.cpp). Where it is a run
    // of the program's own order, instructions [first, last), the run is
    // noted (first > last: it is not); the orders of the first other outputs
    // are kept, within a budget proportional to the program, output j's at
    // [order_starts[j], order_starts[j + 1]) of `orders`; the rest are found
    // at each call.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order_ranges;
    std::vector<std::uint32_t> in_order;  // 0, 1, 2, ...: the runs' orders
    std::vector<std::uint32_t> order_starts;
    std::vector<std::uint32_t> orders;

    // --- any other graph
    ReferenceOrder reference;  // every output's nodes, each once
    std::vector<std::uint32_t> output_positions;
    // The leaves whose values a call gives: input k is source k, parameter m
    // is source inputs.size() + m.
    std::unordered_map<const ValueNode*, std::uint32_t> sources;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> given;  // (position in `reference`, source)
};

// What a call reads besides the program: one value per input and, for the
// parameters that are not inputs, either one value each (what a batch read
// before its rows) or none, when they are read from their nodes.
struct CallValues {
    std::span<const SmallValue> inputs;
    std::span<const SmallValue> parameters;
};

// The graph below the outputs as a function of the inputs (function_recording.cpp).
// `node_ids`, when given, gets the id of each instruction's node.
std::shared_ptr<const FunctionProgram> record_function(std::vector<Value> inputs, std::vector<Value> outputs,
                                                       bool propagate = false,
                                                       std::vector<std::uint64_t>* node_ids = nullptr);

// --- single calls (function_calls.cpp)

void check_input_count(const FunctionProgram& f, std::size_t given);
// Checks a call's input values: their number, lanes and finiteness.
void check_inputs(const FunctionProgram& f, std::span<const SmallValue> inputs);
// The parameters' current values, as a batch reads them before its rows.
std::vector<SmallValue> current_parameters(const FunctionProgram& f);

// The outputs' values at `values`, which have passed check_inputs.
std::vector<SmallValue> evaluate_one(const FunctionProgram& f, const CallValues& values, CallScratch& scratch);
// Runs the program at `values` (a program's graph only) and gives its lanes.
const double* run_one(const FunctionProgram& f, const CallValues& values, CallScratch& scratch);
// Output j's value after run_one: a leaf's as its node holds it, or as given.
SmallValue output_of(const FunctionProgram& f, const CallValues& values, std::size_t j, const double* lanes);
// The reference evaluator's values of `order`'s nodes, the leaves that a
// call gives taking the values given.
const std::vector<SmallValue>& reference_values(const FunctionProgram& f, const ReferenceOrder& order,
                                                const CallValues& values, CallScratch& scratch);

// --- Jacobians (function_jacobians.cpp)

// Finds, for functions of a program, the sweeps kept with it;
// `first_instructions[j]` is where output j's walk began recording.
void keep_sweeps(FunctionProgram& f, const std::vector<std::uint32_t>& first_instructions);
// The Jacobian and, when `outputs` is not empty, the outputs' values at `values`.
void jacobian_one(const FunctionProgram& f, const CallValues& values, std::span<double> jacobian,
                  std::span<SmallValue> outputs, CallScratch& scratch);

// The instructions of output j's sweep, in the order of a walk from it alone.
std::span<const std::uint32_t> sweep_of(const FunctionProgram& f, std::size_t j, CallScratch& scratch);

// The Jacobian sweep itself, written once for one row and for a block of
// rows. `Adjoints` sets an adjoint lane to a number (`fill`), runs the
// reverse sweep over an order (`reverse`), and moves an input's adjoint lane
// into the Jacobian, leaving it zero (`take`); `between` runs after each output.
//
// A sweep reads the adjoints of the results it sweeps, which it zeroes
// first, and of the inputs, which start at zero and are left so. It only
// adds into the adjoints of other leaves, which nothing reads.
template <typename Adjoints, typename Between>
void sweep_jacobian(const FunctionProgram& f, Adjoints& adjoints, CallScratch& scratch, Between&& between) {
    for (std::size_t k = 0; k < f.inputs.size(); ++k) {
        const std::uint32_t offset = offset_of(f.input_places[k]);
        for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(f.input_dims[k]); ++i) {
            adjoints.fill(offset + i, 0.0);
        }
    }
    std::size_t row = 0;
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        const std::span<const std::uint32_t> order = sweep_of(f, j, scratch);
        const std::uint32_t output = offset_of(f.output_places[j]);
        for (int l = 0; l < f.output_dims[j]; ++l, ++row) {
            for (const std::uint32_t index : order) {
                const Instruction& in = f.program.code[index];
                for (std::uint32_t i = 0; i < in.dim; ++i) {
                    adjoints.fill(in.out + i, 0.0);
                }
            }
            for (int i = 0; i < f.output_dims[j]; ++i) {
                adjoints.fill(output + static_cast<std::uint32_t>(i), i == l ? 1.0 : 0.0);
            }
            adjoints.reverse(order);
            std::size_t column = 0;
            for (std::size_t k = 0; k < f.inputs.size(); ++k) {
                const std::uint32_t offset = offset_of(f.input_places[k]);
                for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(f.input_dims[k]); ++i, ++column) {
                    adjoints.take(offset + i, row, column);
                }
            }
        }
        between();
    }
}

// The compiled program behind a Function, for every stage that runs or
// differentiates one.
struct FunctionAccess {
    static const FunctionProgram& program(const Function& f) noexcept { return *f.program_; }
};

// A gradient that backward would write starts from zeros: 0.0 + the adjoint.
inline double gradient_lane(double adjoint) noexcept { return 0.0 + adjoint; }

// --- errors

// "1 input", "2 inputs".
std::string count_of(std::size_t count, const char* thing);
// Adds " (row R)" to what a row's call throws when its values are at fault.
[[noreturn]] void raise_in_row(const std::invalid_argument& error, std::size_t row);

}  // namespace zarnik::symbolic::detail
