// The choice of the approximate kernels' width, once, when the library is
// loaded: every batch in the process then uses the same kernels, so results
// do not depend on which thread ran a row.

#include "detail/approximate.hpp"

#include "detail/approximate_kernels.hpp"
#include "detail/operations.hpp"

namespace zarnik::symbolic::detail {

namespace {

ApproximateKernels choose_kernels() noexcept {
    ApproximateKernels kernels;
#if defined(ZARNIK_WITH_SLEEF) && defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") != 0) {
        set_kernels_avx512f(kernels);
    } else if (__builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0) {
        set_kernels_avx2(kernels);
    } else {
        set_kernels_sse2(kernels);
    }
#endif
    return kernels;
}

const ApproximateKernels kernels = choose_kernels();

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

}  // namespace

bool approximations_available() noexcept {
    return kernels.unary[static_cast<std::uint8_t>(ExpressionOp::Sin)] != nullptr;
}

void approximate_unary(ExpressionOp op, const double* x, double* out, std::size_t count) noexcept {
    if (const UnaryKernel kernel = kernels.unary[static_cast<std::uint8_t>(op)]; kernel != nullptr) {
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

}  // namespace zarnik::symbolic::detail
