#pragma once

// Batches of a compiled Function as a user of array libraries expects them:
// inputs given per row or once for every row, Jacobians with respect to the
// inputs chosen, the sum of a scalar output over the rows with its gradient,
// on every core, exactly by default.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "symbolic/function.hpp"

namespace zarnik::symbolic {

// One input of a batch: its rows (rows x lanes values, row after row), or one
// value for every row (its lanes). A value given once gives exactly the bits
// of the same value written into every row.
struct RowInput {
    const double* data = nullptr;
    bool every_row = false;  // one value for every row

    static RowInput per_row(const double* rows) noexcept { return {rows, false}; }
    static RowInput once(const double* lanes) noexcept { return {lanes, true}; }
};

// The vectorised functions this build and processor give approximate batches:
// "avx512f", "avx2" or "sse2" (SLEEF's, 8, 4 or 2 rows at a time), or ""
// for a build without SLEEF (or off x86-64), whose approximate batches
// compute exactly and are no faster than exact ones.
std::string_view approximate_kernels() noexcept;

// How a batch runs.
struct RowOptions {
    // The threads the rows are shared out over; 0: every core the process may
    // run on. At most that many whatever is asked (more would only take turns
    // on the cores, each with its own stack and block of lanes), never more
    // than the blocks of rows, nor more than the work pays for (a thread per
    // 65,536 of the program's lanes times rows). Results are the same bits
    // for every count: rows never mix, and sums over rows are taken in an
    // order that does not depend on it.
    std::size_t threads = 0;
    // The transcendental functions (the operations that operation_list()
    // marks `approximated`), in values and in derivatives, from vectorised
    // functions within 1 ULP of the true result (SLEEF's u10 functions)
    // instead of the C library's; everything else stays exact. False: each
    // row gives the bits of a single call.
    bool approximate = false;
    // The values of the function's parameters that are not inputs, as
    // Function::parameter_values() lists them, read once before the rows;
    // none: their current values.
    std::optional<std::span<const double>> parameter_values;
    // Runs between blocks of rows on the calling thread; the batch stops with
    // what it throws.
    std::function<void()> check;
};

// The outputs over `rows` rows: `outputs[j]` points to room for rows x lanes
// of output j. The first row that fails throws what a call with its values
// throws, with " (row R)" added to a std::invalid_argument's text; a failure
// that the rows, read again one by one, do not repeat (the caller changed an
// input array during the batch) throws std::logic_error saying so. Every
// batch below, and Function's own rows, fail alike.
void evaluate_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                   std::span<double* const> outputs, const RowOptions& options = {});

// The Jacobian of every row with respect to the inputs at the positions
// `wrt`, in that order (each at most once): rows x output_lanes() x (the
// lanes of those inputs) values. The columns of other inputs are not
// computed: with fewer lanes in `wrt` than output lanes, by one forward
// (tangent) sweep per column, which agrees with a single call's Jacobian to
// rounding; otherwise by one reverse sweep per output lane, which gives its
// bits (in exact arithmetic).
void jacobian_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                   std::span<const std::size_t> wrt, double* jacobians, const RowOptions& options = {});

// For a function of one scalar output: the sum of the output over the rows,
// returned, and the gradient of that sum with respect to each input at the
// positions `wrt` (each at most once): `gradients[i]` points to room for
// the lanes of input wrt[i] when it is given once for every row (the sum of
// its rows' gradients), and for rows x lanes when it is given per row (each
// row's gradient). Sums run over blocks of rows in a fixed order, so their
// bits do not depend on the number of threads.
double value_and_grad_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                           std::span<const std::size_t> wrt, std::span<double* const> gradients,
                           const RowOptions& options = {});

}  // namespace zarnik::symbolic
