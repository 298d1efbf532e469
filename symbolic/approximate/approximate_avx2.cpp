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

// One vector of rows with this width's vectorised functions (the `lane`
// functions of operations.hpp), for the rules' forward rules.
struct Lanes {
    using Vector = Width::Vector;
    Vector vector;
};

Lanes sin(const Lanes& x) noexcept { return {Sleef_sind4_u10avx2(x.vector)}; }
Lanes cos(const Lanes& x) noexcept { return {Sleef_cosd4_u10avx2(x.vector)}; }
Lanes tan(const Lanes& x) noexcept { return {Sleef_tand4_u10avx2(x.vector)}; }
Lanes asin(const Lanes& x) noexcept { return {Sleef_asind4_u10avx2(x.vector)}; }
Lanes acos(const Lanes& x) noexcept { return {Sleef_acosd4_u10avx2(x.vector)}; }
Lanes atan(const Lanes& x) noexcept { return {Sleef_atand4_u10avx2(x.vector)}; }
Lanes exp(const Lanes& x) noexcept { return {Sleef_expd4_u10avx2(x.vector)}; }
Lanes expm1(const Lanes& x) noexcept { return {Sleef_expm1d4_u10avx2(x.vector)}; }
Lanes log(const Lanes& x) noexcept { return {Sleef_logd4_u10avx2(x.vector)}; }
Lanes log1p(const Lanes& x) noexcept { return {Sleef_log1pd4_u10avx2(x.vector)}; }
Lanes sinh(const Lanes& x) noexcept { return {Sleef_sinhd4_u10avx2(x.vector)}; }
Lanes cosh(const Lanes& x) noexcept { return {Sleef_coshd4_u10avx2(x.vector)}; }
Lanes tanh(const Lanes& x) noexcept { return {Sleef_tanhd4_u10avx2(x.vector)}; }
Lanes pow(const Lanes& a, const Lanes& b) noexcept { return {Sleef_powd4_u10avx2(a.vector, b.vector)}; }
Lanes atan2(const Lanes& a, const Lanes& b) noexcept { return {Sleef_atan2d4_u10avx2(a.vector, b.vector)}; }

}  // namespace

void set_kernels_avx2(ApproximateKernels& k) noexcept { set_vectorised_kernels<Width, Lanes>(k); }

}  // namespace zarnik::symbolic::detail
