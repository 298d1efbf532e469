#pragma once

// The one engine behind every way of running a compiled function's rows (the
// rows API, Function::evaluate_rows and jacobian_rows, Hessian rows): the
// worker that runs a chunk of rows (function_rows.cpp) and the block loop
// that shares chunks out over workers (rows.cpp).

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "symbolic/approximate/approximate.hpp"
#include "symbolic/function.hpp"
#include "symbolic/program/function_program.hpp"
#include "symbolic/rows.hpp"

namespace zarnik::symbolic::detail {

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

}  // namespace zarnik::symbolic::detail
