#pragma once

// The vectorised kernels behind approximate.hpp, one source file per vector
// width, each compiled for the instructions its width needs and called only
// where the processor has them. Those files define nothing with outside
// linkage but their set_kernels_* function (the templates below are
// instantiated over types of their own file), so no code compiled for wider
// vectors can stand in for code that every processor runs.
//
// A width's file gives its lane type L (one vector of rows, L::Vector, in
// `vector`) the vectorised functions of operations.hpp's `lane` (sin, cos,
// ..., pow, atan2, from SLEEF); each vectorised operation's kernel is then
// its own forward rule over L.

#include <cstddef>
#include <cstdint>

#include "symbolic/value.hpp"

#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic::detail {

using UnaryKernel = void (*)(const double*, double*, std::size_t) noexcept;
using BinaryKernel = void (*)(const double*, const double*, double*, std::size_t) noexcept;

// Per operation, its kernel (none: the operation is computed exactly).
struct ApproximateKernels {
    UnaryKernel unary[256] = {};
    BinaryKernel binary[256] = {};
};

void set_kernels_avx512f(ApproximateKernels& kernels) noexcept;
void set_kernels_avx2(ApproximateKernels& kernels) noexcept;
void set_kernels_sse2(ApproximateKernels& kernels) noexcept;

// The loops over rows of one width W (W::Vector, W::width, W::load, W::store,
// W::load_aligned, W::store_aligned). A tail shorter than the width is
// computed in a padded vector, so that no row's result depends on the rows
// beside it or on how many there are.
template <typename W, typename W::Vector (*F)(typename W::Vector)>
void unary_rows(const double* x, double* out, std::size_t count) noexcept {
    std::size_t r = 0;
    for (; r + W::width <= count; r += W::width) {
        W::store(out + r, F(W::load(x + r)));
    }
    if (r < count) {
        alignas(64) double padded[W::width] = {};
        for (std::size_t i = 0; r + i < count; ++i) {
            padded[i] = x[r + i];
        }
        W::store(padded, F(W::load(padded)));
        for (std::size_t i = 0; r + i < count; ++i) {
            out[r + i] = padded[i];
        }
    }
}

template <typename W, typename W::Vector (*F)(typename W::Vector, typename W::Vector)>
void binary_rows(const double* a, const double* b, double* out, std::size_t count) noexcept {
    std::size_t r = 0;
    for (; r + W::width <= count; r += W::width) {
        W::store(out + r, F(W::load(a + r), W::load(b + r)));
    }
    if (r < count) {
        alignas(64) double left[W::width] = {};
        alignas(64) double right[W::width] = {};
        for (std::size_t i = 0; r + i < count; ++i) {
            left[i] = a[r + i];
            right[i] = b[r + i];
        }
        W::store(left, F(W::load(left), W::load(right)));
        for (std::size_t i = 0; r + i < count; ++i) {
            out[r + i] = left[i];
        }
    }
}

template <typename L, typename R>
typename L::Vector unary_lanes(typename L::Vector x) noexcept {
    return R::forward(L{x}).vector;
}

template <typename L, typename R>
typename L::Vector binary_lanes(typename L::Vector a, typename L::Vector b) noexcept {
    return R::forward(L{a}, L{b}).vector;
}

// Every vectorised operation's kernel, for the width W with lanes L.
template <typename W, typename L>
void set_vectorised_kernels(ApproximateKernels& kernels) noexcept {
    Operations::any([&kernels]<typename R>(R) {
        const auto index = static_cast<std::uint8_t>(rule_op<R>);
        if constexpr (vectorised<R> && R::shape == Shape::Unary) {
            kernels.unary[index] = &unary_rows<W, &unary_lanes<L, R>>;
        } else if constexpr (vectorised<R> && R::shape == Shape::Binary) {
            kernels.binary[index] = &binary_rows<W, &binary_lanes<L, R>>;
        }
        return false;
    });
}

}  // namespace zarnik::symbolic::detail
