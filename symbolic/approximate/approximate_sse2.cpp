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

// One vector of rows with this width's vectorised functions (the `lane`
// functions of operations.hpp), for the rules' forward rules.
struct Lanes {
    using Vector = Width::Vector;
    Vector vector;
};

Lanes sin(const Lanes& x) noexcept { return {Sleef_sind2_u10sse2(x.vector)}; }
Lanes cos(const Lanes& x) noexcept { return {Sleef_cosd2_u10sse2(x.vector)}; }
Lanes tan(const Lanes& x) noexcept { return {Sleef_tand2_u10sse2(x.vector)}; }
Lanes asin(const Lanes& x) noexcept { return {Sleef_asind2_u10sse2(x.vector)}; }
Lanes acos(const Lanes& x) noexcept { return {Sleef_acosd2_u10sse2(x.vector)}; }
Lanes atan(const Lanes& x) noexcept { return {Sleef_atand2_u10sse2(x.vector)}; }
Lanes exp(const Lanes& x) noexcept { return {Sleef_expd2_u10sse2(x.vector)}; }
Lanes expm1(const Lanes& x) noexcept { return {Sleef_expm1d2_u10sse2(x.vector)}; }
Lanes log(const Lanes& x) noexcept { return {Sleef_logd2_u10sse2(x.vector)}; }
Lanes log1p(const Lanes& x) noexcept { return {Sleef_log1pd2_u10sse2(x.vector)}; }
Lanes sinh(const Lanes& x) noexcept { return {Sleef_sinhd2_u10sse2(x.vector)}; }
Lanes cosh(const Lanes& x) noexcept { return {Sleef_coshd2_u10sse2(x.vector)}; }
Lanes tanh(const Lanes& x) noexcept { return {Sleef_tanhd2_u10sse2(x.vector)}; }
Lanes pow(const Lanes& a, const Lanes& b) noexcept { return {Sleef_powd2_u10sse2(a.vector, b.vector)}; }
Lanes atan2(const Lanes& a, const Lanes& b) noexcept { return {Sleef_atan2d2_u10sse2(a.vector, b.vector)}; }

}  // namespace

void set_kernels_sse2(ApproximateKernels& k) noexcept { set_vectorised_kernels<Width, Lanes>(k); }

}  // namespace zarnik::symbolic::detail
