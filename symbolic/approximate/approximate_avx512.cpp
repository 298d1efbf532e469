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

// One vector of rows with this width's vectorised functions (the `lane`
// functions of operations.hpp), for the rules' forward rules.
struct Lanes {
    using Vector = Width::Vector;
    Vector vector;
};

Lanes sin(const Lanes& x) noexcept { return {Sleef_sind8_u10avx512f(x.vector)}; }
Lanes cos(const Lanes& x) noexcept { return {Sleef_cosd8_u10avx512f(x.vector)}; }
Lanes tan(const Lanes& x) noexcept { return {Sleef_tand8_u10avx512f(x.vector)}; }
Lanes asin(const Lanes& x) noexcept { return {Sleef_asind8_u10avx512f(x.vector)}; }
Lanes acos(const Lanes& x) noexcept { return {Sleef_acosd8_u10avx512f(x.vector)}; }
Lanes atan(const Lanes& x) noexcept { return {Sleef_atand8_u10avx512f(x.vector)}; }
Lanes exp(const Lanes& x) noexcept { return {Sleef_expd8_u10avx512f(x.vector)}; }
Lanes expm1(const Lanes& x) noexcept { return {Sleef_expm1d8_u10avx512f(x.vector)}; }
Lanes log(const Lanes& x) noexcept { return {Sleef_logd8_u10avx512f(x.vector)}; }
Lanes log1p(const Lanes& x) noexcept { return {Sleef_log1pd8_u10avx512f(x.vector)}; }
Lanes sinh(const Lanes& x) noexcept { return {Sleef_sinhd8_u10avx512f(x.vector)}; }
Lanes cosh(const Lanes& x) noexcept { return {Sleef_coshd8_u10avx512f(x.vector)}; }
Lanes tanh(const Lanes& x) noexcept { return {Sleef_tanhd8_u10avx512f(x.vector)}; }
Lanes pow(const Lanes& a, const Lanes& b) noexcept { return {Sleef_powd8_u10avx512f(a.vector, b.vector)}; }
Lanes atan2(const Lanes& a, const Lanes& b) noexcept { return {Sleef_atan2d8_u10avx512f(a.vector, b.vector)}; }

}  // namespace

void set_kernels_avx512f(ApproximateKernels& k) noexcept { set_vectorised_kernels<Width, Lanes>(k); }

}  // namespace zarnik::symbolic::detail
