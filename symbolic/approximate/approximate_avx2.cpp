// SLEEF's u10 functions 4 rows at a time (compiled with -mavx2 -mfma).

#include <immintrin.h>
#include <sleef.h>

#include "symbolic/approximate/approximate_kernels.hpp"

namespace zarnik::symbolic::detail {

namespace {

struct Width {
    using Vector = __m256d;
    static constexpr std::size_t width = 4;
    static Vector load(const double* p) noexcept { return _mm256_loadu_pd(p); }
    static void store(double* p, Vector v) noexcept { _mm256_storeu_pd(p, v); }
};

}  // namespace

void set_kernels_avx2(ApproximateKernels& k) noexcept {
    using enum ExpressionOp;
    // Lambdas rather than the header's inline functions: nothing compiled
    // here may be shared with code that every processor runs.
    const auto unary = [&k](ExpressionOp op, UnaryKernel kernel) { k.unary[static_cast<std::uint8_t>(op)] = kernel; };
    const auto binary = [&k](ExpressionOp op, BinaryKernel kernel) {
        k.binary[static_cast<std::uint8_t>(op)] = kernel;
    };
    unary(Sin, &unary_rows<Width, Sleef_sind4_u10avx2>);
    unary(Cos, &unary_rows<Width, Sleef_cosd4_u10avx2>);
    unary(Tan, &unary_rows<Width, Sleef_tand4_u10avx2>);
    unary(Asin, &unary_rows<Width, Sleef_asind4_u10avx2>);
    unary(Acos, &unary_rows<Width, Sleef_acosd4_u10avx2>);
    unary(Atan, &unary_rows<Width, Sleef_atand4_u10avx2>);
    unary(Exp, &unary_rows<Width, Sleef_expd4_u10avx2>);
    unary(Expm1, &unary_rows<Width, Sleef_expm1d4_u10avx2>);
    unary(Log, &unary_rows<Width, Sleef_logd4_u10avx2>);
    unary(Log1p, &unary_rows<Width, Sleef_log1pd4_u10avx2>);
    unary(Sinh, &unary_rows<Width, Sleef_sinhd4_u10avx2>);
    unary(Cosh, &unary_rows<Width, Sleef_coshd4_u10avx2>);
    unary(Tanh, &unary_rows<Width, Sleef_tanhd4_u10avx2>);
    binary(Pow, &binary_rows<Width, Sleef_powd4_u10avx2>);
    binary(Atan2, &binary_rows<Width, Sleef_atan2d4_u10avx2>);
}

}  // namespace zarnik::symbolic::detail
