// The choice of the approximate kernels' width, once, when the library is
// loaded: every batch in the process then uses the same kernels, so results
// do not depend on which thread ran a row.

#include "symbolic/approximate/approximate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "symbolic/approximate/approximate_kernels.hpp"
#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic::detail {

namespace {

struct ChosenKernels {
    ApproximateKernels kernels;
    std::string_view name;  // empty: none
};

ChosenKernels choose_kernels() noexcept {
    ChosenKernels chosen;
#if defined(ZARNIK_WITH_SLEEF) && defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") != 0) {
        set_kernels_avx512f(chosen.kernels);
        chosen.name = "avx512f";
    } else if (__builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0) {
        set_kernels_avx2(chosen.kernels);
        chosen.name = "avx2";
    } else {
        set_kernels_sse2(chosen.kernels);
        chosen.name = "sse2";
    }
#endif
    return chosen;
}

const ChosenKernels chosen = choose_kernels();
const ApproximateKernels& kernels = chosen.kernels;

// Without the library: the exact functions, which are within any bound.
void exact_unary(ExpressionOp op, const double* x, double* out, std::size_t count) noexcept {
    with_rule(op, [&]<typename R>(R) {
        if constexpr (R::shape == Shape::Unary) {
            for (std::size_t r = 0; r < count; ++r) {
                out[r] = R::forward(x[r]);
            }
        }
    });
}

void exact_binary(ExpressionOp op, const double* a, const double* b, double* out, std::size_t count) noexcept {
    with_rule(op, [&]<typename R>(R) {
        if constexpr (R::shape == Shape::Binary) {
            for (std::size_t r = 0; r < count; ++r) {
                out[r] = R::forward(a[r], b[r]);
            }
        }
    });
}

// A kernel that holds for |x| up to `limit` only (sinh's overflows early):
// beyond it the rows take the exact rule. The operands are copied aside a
// piece at a time, since `out` may be `x`.
void limited_rows(UnaryKernel kernel, double limit, ExpressionOp op, const double* x, double* out,
                  std::size_t count) noexcept {
    constexpr std::size_t piece = 64;  // a multiple of every vector width
    double operands[piece];
    for (std::size_t first = 0; first < count; first += piece) {
        const std::size_t n = std::min(piece, count - first);
        std::copy_n(x + first, n, operands);
        kernel(operands, out + first, n);
        for (std::size_t r = 0; r < n; ++r) {
            if (!(std::fabs(operands[r]) <= limit)) {
                exact_unary(op, operands + r, out + first + r, 1);
            }
        }
    }
}

}  // namespace

bool approximations_available() noexcept {
    return kernels.unary[static_cast<std::uint8_t>(ExpressionOp::Sin)] != nullptr;
}

void approximate_unary(ExpressionOp op, const double* x, double* out, std::size_t count) noexcept {
    if (const UnaryKernel kernel = kernels.unary[static_cast<std::uint8_t>(op)]; kernel != nullptr) {
        if (const double limit = facts_of_operations.vectorised_within[static_cast<std::uint8_t>(op)];
            limit != std::numeric_limits<double>::infinity()) {
            limited_rows(kernel, limit, op, x, out, count);
            return;
        }
        kernel(x, out, count);
        return;
    }
    exact_unary(op, x, out, count);
}

void approximate_binary(ExpressionOp op, const double* a, const double* b, double* out, std::size_t count) noexcept {
    if (const BinaryKernel kernel = kernels.binary[static_cast<std::uint8_t>(op)]; kernel != nullptr) {
        kernel(a, b, out, count);
        return;
    }
    exact_binary(op, a, b, out, count);
}

std::string_view chosen_kernels() noexcept { return chosen.name; }

}  // namespace zarnik::symbolic::detail
