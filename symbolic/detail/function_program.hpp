#pragma once

// A compiled function as it is recorded, and what the files that work on it
// share: recording (function_recording.cpp), single calls
// (function_calls.cpp), Jacobians (function_jacobians.cpp) and rows
// (function_rows.cpp).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "call_scratch.hpp"
#include "internal.hpp"
#include "symbolic/function.hpp"
#include "symbolic/rows.hpp"

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
std::shared_ptr<const FunctionProgram> record_function(std::vector<Value> inputs, std::vector<Value> outputs);

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

// A gradient that backward would write starts from zeros: 0.0 + the adjoint.
inline double gradient_lane(double adjoint) noexcept { return 0.0 + adjoint; }

// --- batches: the worker (function_rows.cpp) and the block loop that
// shares chunks of rows out over workers (rows.cpp), behind every way of
// running rows: the rows API, Function::evaluate_rows and jacobian_rows,
// Hessian rows

// The compiled program behind a Function.
struct FunctionAccess {
    static const FunctionProgram& program(const Function& f) noexcept { return *f.program_; }
};

// What a batch reads before its rows: the values given for the parameters,
// checked as set_value checks them, or, when none are given, the
// parameters' current values.
std::vector<SmallValue> batch_parameters(const FunctionProgram& f, const std::span<const double>* given);

// How a batch's Jacobians are swept: by whichever of forward and reverse
// sweeps are the fewer, or always in reverse, for the bits of single calls.
enum class JacobianSweeps : unsigned char { fewer, reverse };

// Rows [first, first + count) of a batch: a chunk that a worker runs, or
// the block of rows in which a row failed.
struct RowRange {
    std::size_t first = 0;
    std::size_t count = 0;
};

// One thread's share of a batch, kept from chunk to chunk of rows: the lanes
// of a block of rows, into which the constants, the parameters' values and
// the inputs given once for every row are written before the first row (an
// input given once is read as a parameter is, never copied per row), and the
// adjoints or tangents of its sweeps. Each call runs the rows `range` of
// the batch, whose arrays (`inputs[k]`: rows x lanes of input k, ignored
// for an input given once; the outputs, Jacobians and gradients likewise)
// it is given whole, and returns the rows of the first block in which a row
// fails (a graph that goes row by row: that row), none when every row ran,
// leaving what it wrote for the rows of that block and after unspecified; a
// row whose call throws another exception than std::invalid_argument throws it.
class RowWorker {
public:
    // `once[k]`: the lanes of input k when it is given once for every row,
    // else null. `wrt`: the inputs whose Jacobian columns and gradients the
    // calls give, in that order.
    RowWorker(const FunctionProgram& f, std::span<const SmallValue> parameters, std::span<const double* const> once,
              std::span<const std::size_t> wrt, Arithmetic arithmetic, JacobianSweeps sweeps = JacobianSweeps::fewer);
    RowWorker(const RowWorker&) = delete;
    RowWorker& operator=(const RowWorker&) = delete;
    ~RowWorker();

    // The rows' forward pass alone.
    std::optional<RowRange> runs(RowRange range, std::span<const double* const> inputs);
    // The outputs: `outputs[j]` points to room for rows x lanes of output j.
    std::optional<RowRange> evaluate(RowRange range, std::span<const double* const> inputs,
                                     std::span<double* const> outputs);
    // Each row's Jacobian with respect to the inputs in wrt: rows x
    // output_lanes x (their lanes) values. With JacobianSweeps::fewer, fewer
    // lanes in wrt than output lanes take one forward (tangent) sweep per
    // lane in wrt, otherwise one reverse sweep per output lane: whichever
    // takes fewer sweeps. Reverse sweeps give the bits of single calls'
    // Jacobians; forward ones agree with them to rounding.
    std::optional<RowRange> jacobian(RowRange range, std::span<const double* const> inputs, double* jacobians);
    // For one scalar output, one forward pass and one reverse sweep: adds the
    // rows' values into sums[0], and the gradients of the inputs in wrt given
    // once into the sums after it (their lanes in order, in wrt's order), in
    // an order fixed by the rows alone; writes the gradient of an input in
    // wrt given per row into gradients[i] (rows x its lanes; gradients[i]
    // of an input given once is not read).
    std::optional<RowRange> value_and_grad(RowRange range, std::span<const double* const> inputs,
                                           std::span<double* const> gradients, double* sums);
    // A check to run between the rows of a graph that goes row by row,
    // between blocks and between the sweeps of a block's Jacobian, which may
    // each take long; what it throws stops the calls. Only the calling
    // thread's worker is given one (the check may take the interpreter's
    // lock). It must outlive the worker's calls.
    void check_between(const std::function<void()>* check) noexcept;

    struct State;  // function_rows.cpp

private:
    std::unique_ptr<State> state_;
};

// The one loop over a batch's rows (rows.cpp), for Function::evaluate_rows
// and jacobian_rows: the rows API's, with the Jacobian's sweeps chosen.
void jacobian_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                   std::span<const std::size_t> wrt, double* jacobians, const RowOptions& options,
                   JacobianSweeps sweeps);

// Whether the Jacobian columns of `wrt_lanes` input lanes are found by
// forward sweeps: when there are fewer of them than output lanes, so that
// the sweeps, one per column for forward mode and one per output lane for
// reverse mode, are the fewer.
constexpr bool forward_jacobian(std::size_t wrt_lanes, std::size_t output_lanes) noexcept {
    return wrt_lanes < output_lanes;
}

// --- errors

// "1 input", "2 inputs".
std::string count_of(std::size_t count, const char* thing);
// Adds " (row R)" to what a row's call throws when its values are at fault.
[[noreturn]] void raise_in_row(const std::invalid_argument& error, std::size_t row);

}  // namespace zarnik::symbolic::detail
