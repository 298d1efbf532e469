#pragma once

// The arithmetic of approximate batches: the transcendental functions (the
// operations whose rules operations.hpp writes over the lane type) run
// vectorised across rows, from a library made for it (SLEEF's u10 functions,
// each within 1.0 ULP of the exact result). Everything else an approximate
// batch computes is the exact arithmetic of every other call.

#include <cstddef>
#include <string_view>

#include "symbolic/value.hpp"

#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic::detail {

// How a batch computes the transcendental functions: exactly (the C
// library's, each row the bits of a single call), or approximately.
enum class Arithmetic : unsigned char { exact, approximate };

// The operations an approximate batch computes with vectorised functions:
// those whose forward rule is written over the lane type (operations.hpp).
constexpr bool transcendental(ExpressionOp op) noexcept {
    return facts_of_operations.vectorised[static_cast<std::uint8_t>(op)];
}

// Whether this build has the vectorised functions. Without them an
// approximate batch computes exactly, which is within every bound.
bool approximations_available() noexcept;
// The name of the kernels chosen for this processor (rows.hpp's approximate_kernels).
std::string_view chosen_kernels() noexcept;

// The least rows a block must hold for the approximate arithmetic to pay.
// A vectorised function over a handful of rows is bound by its latency,
// where the C library's scalar calls of those rows overlap: in blocks of 9
// rows or fewer (graphs of some 7,000 lanes and more) approximate batches
// were up to 1.7x slower than exact ones, from 15 rows on faster.
constexpr std::size_t approximate_block_rows = 16;

// The arithmetic a batch uses for blocks of `block_rows` rows when it is
// asked for `wanted`: the exact one where the approximate one would be
// slower. It depends on the graph alone, so every row of a batch, however
// many rows and threads, computes alike.
constexpr Arithmetic block_arithmetic(Arithmetic wanted, std::size_t block_rows) noexcept {
    return block_rows < approximate_block_rows ? Arithmetic::exact : wanted;
}

// out[r] = op(x[r]) for r < count, for a unary transcendental `op`. Each
// row's result depends on its own operand alone, whatever the rows beside
// it and however many there are. `out` may be `x`.
void approximate_unary(ExpressionOp op, const double* x, double* out, std::size_t count) noexcept;

// out[r] = op(a[r], b[r]) for a binary transcendental `op`.
void approximate_binary(ExpressionOp op, const double* a, const double* b, double* out, std::size_t count) noexcept;

}  // namespace zarnik::symbolic::detail
