// SLEEF's u10 functions 8 rows at a time (compiled with -mavx512f).

#include <immintrin.h>
#include <sleef.h>

#include "symbolic/approximate/approximate_kernels.hpp"

namespace zarnik::symbolic::detail {

namespace {

struct Width {
    using Vector = __m512d;
    static constexpr std::size_t width = 8;
    static Vector load(const double* p) noexcept { return _mm512_loadu_pd(p); }
    static void store(double* p, Vector v) noexcept { _mm512_storeu_pd(p, v); }
};

}  // namespace

void set_kernels_avx512f(ApproximateKernels& k) noexcept {
    using enum ExpressionOp;
    // Lambdas rather than the header's inline functions: nothing compiled
    // here may be shared with code that every processor runs.
    const auto unary = [&k](ExpressionOp op, UnaryKernel kernel) { k.unary[static_cast<std::uint8_t>(op)] = kernel; };
    const auto binary = [&k](ExpressionOp op, BinaryKernel kernel) {
        k.binary[static_cast<std::uint8_t>(op)] = kernel;
    };
    unary(Sin, &unary_rows<Width, Sleef_sind8_u10avx512f>);
    unary(Cos, &unary_rows<Width, Sleef_cosd8_u10avx512f>);
    unary(Tan, &unary_rows<Width, Sleef_tand8_u10avx512f>);
    unary(Asin, &unary_rows<Width, Sleef_asind8_u10avx512f>);
    unary(Acos, &unary_rows<Width, Sleef_acosd8_u10avx512f>);
    unary(Atan, &unary_rows<Width, Sleef_atand8_u10avx512f>);
    unary(Exp, &unary_rows<Width, Sleef_expd8_u10avx512f>);
    unary(Expm1, &unary_rows<Width, Sleef_expm1d8_u10avx512f>);
    unary(Log, &unary_rows<Width, Sleef_logd8_u10avx512f>);
    unary(Log1p, &unary_rows<Width, Sleef_log1pd8_u10avx512f>);
    unary(Sinh, &unary_rows<Width, Sleef_sinhd8_u10avx512f>);
    unary(Cosh, &unary_rows<Width, Sleef_coshd8_u10avx512f>);
    unary(Tanh, &unary_rows<Width, Sleef_tanhd8_u10avx512f>);
    binary(Pow, &binary_rows<Width, Sleef_powd8_u10avx512f>);
    binary(Atan2, &binary_rows<Width, Sleef_atan2d8_u10avx512f>);
}

}  // namespace zarnik::symbolic::detail
