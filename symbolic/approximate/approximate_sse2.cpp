// SLEEF's u10 functions 2 rows at a time.

#include <immintrin.h>
#include <sleef.h>

#include "symbolic/approximate/approximate_kernels.hpp"

namespace zarnik::symbolic::detail {

namespace {

struct Width {
    using Vector = __m128d;
    static constexpr std::size_t width = 2;
    static Vector load(const double* p) noexcept { return _mm_loadu_pd(p); }
    static void store(double* p, Vector v) noexcept { _mm_storeu_pd(p, v); }
};

}  // namespace

void set_kernels_sse2(ApproximateKernels& k) noexcept {
    using enum ExpressionOp;
    // Lambdas rather than the header's inline functions: nothing compiled
    // here may be shared with code that every processor runs.
    const auto unary = [&k](ExpressionOp op, UnaryKernel kernel) { k.unary[static_cast<std::uint8_t>(op)] = kernel; };
    const auto binary = [&k](ExpressionOp op, BinaryKernel kernel) {
        k.binary[static_cast<std::uint8_t>(op)] = kernel;
    };
    unary(Sin, &unary_rows<Width, Sleef_sind2_u10sse2>);
    unary(Cos, &unary_rows<Width, Sleef_cosd2_u10sse2>);
    unary(Tan, &unary_rows<Width, Sleef_tand2_u10sse2>);
    unary(Asin, &unary_rows<Width, Sleef_asind2_u10sse2>);
    unary(Acos, &unary_rows<Width, Sleef_acosd2_u10sse2>);
    unary(Atan, &unary_rows<Width, Sleef_atand2_u10sse2>);
    unary(Exp, &unary_rows<Width, Sleef_expd2_u10sse2>);
    unary(Expm1, &unary_rows<Width, Sleef_expm1d2_u10sse2>);
    unary(Log, &unary_rows<Width, Sleef_logd2_u10sse2>);
    unary(Log1p, &unary_rows<Width, Sleef_log1pd2_u10sse2>);
    unary(Sinh, &unary_rows<Width, Sleef_sinhd2_u10sse2>);
    unary(Cosh, &unary_rows<Width, Sleef_coshd2_u10sse2>);
    unary(Tanh, &unary_rows<Width, Sleef_tanhd2_u10sse2>);
    binary(Pow, &binary_rows<Width, Sleef_powd2_u10sse2>);
    binary(Atan2, &binary_rows<Width, Sleef_atan2d2_u10sse2>);
}

}  // namespace zarnik::symbolic::detail
