// Approximate row blocks: SLEEF's transcendental functions against the exact
// ones, over wide ranges of each function's domain, in values and in the
// derivatives that call them.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "symbolic/approximate/approximate.hpp"
#include "symbolic/graph/graph_walk.hpp"
#include "symbolic/program/program.hpp"
#include "symbolic/symbolic.hpp"

namespace zarnik::symbolic {
namespace {

// The distance between two doubles of one sign in units in the last place;
// equal values (and two NaNs, or zeros of either sign) are 0 apart.
std::uint64_t ulps(double a, double b) {
    if (a == b || (std::isnan(a) && std::isnan(b))) {
        return 0;
    }
    if (std::isnan(a) || std::isnan(b) || std::signbit(a) != std::signbit(b)) {
        return UINT64_MAX;
    }
    const auto ia = std::bit_cast<std::uint64_t>(std::fabs(a));
    const auto ib = std::bit_cast<std::uint64_t>(std::fabs(b));
    return ia > ib ? ia - ib : ib - ia;
}

// Rows of a program over two parameters p and q, each row its own values.
struct RowsRun {
    std::vector<double> value;
    std::vector<double> dp;
    std::vector<double> dq;
};

RowsRun run_rows(const Value& y, const Value& p, const Value& q, const std::vector<double>& ps,
                 const std::vector<double>& qs, detail::Arithmetic arithmetic) {
    detail::WalkStack stack;
    detail::Program program;
    detail::ProgramRecorder recorder(program);
    program.output = detail::walk(y, stack, recorder);
    const std::size_t rows = ps.size();
    const std::size_t lanes = program.lanes.size();
    std::vector<double> memory(lanes * rows);
    std::vector<double> adjoint_memory(lanes * rows, 0.0);
    std::vector<double*> values(lanes);
    std::vector<double*> adjoints(lanes);
    for (std::size_t k = 0; k < lanes; ++k) {
        values[k] = memory.data() + k * rows;
        adjoints[k] = adjoint_memory.data() + k * rows;
        std::fill_n(values[k], rows, program.lanes[k]);
    }
    // A lane of the program's own, beyond the others, for a parameter it does not read.
    std::vector<double> unread(rows);
    std::vector<double> unread_adjoint(rows);
    values.push_back(unread.data());
    adjoints.push_back(unread_adjoint.data());
    auto p_lane = static_cast<std::uint32_t>(lanes);
    auto q_lane = static_cast<std::uint32_t>(lanes);
    for (const detail::ParameterSlot& slot : program.parameters) {
        if (slot.node == &p.node()) {
            p_lane = slot.offset;
        } else if (slot.node == &q.node()) {
            q_lane = slot.offset;
        }
    }
    std::copy(ps.begin(), ps.end(), values[p_lane]);
    std::copy(qs.begin(), qs.end(), values[q_lane]);
    detail::run_forward_rows(program, values.data(), rows, arithmetic);
    const std::uint32_t out = detail::offset_of(program.output);
    std::fill_n(adjoints[out], rows, 1.0);
    std::vector<std::uint32_t> order(program.code.size());
    std::iota(order.begin(), order.end(), 0U);
    detail::run_reverse_rows(program, values.data(), adjoints.data(), rows, order, arithmetic);
    return {{values[out], values[out] + rows},
            {adjoints[p_lane], adjoints[p_lane] + rows},
            {adjoints[q_lane], adjoints[q_lane] + rows}};
}

struct Case {
    std::string name;
    std::function<Value(const Value&, const Value&)> make;
    double low;
    double high;
    bool logarithmic;  // magnitudes spread over [low, high] on a log scale, both signs unless low > 0
    double q_low = 1.0;
    double q_high = 1.0;
};

TEST(Approximate, TranscendentalFunctionsStayWithinTheirBoundOfTheExactOnes) {
    const std::vector<Case> cases = {
        {"sin", [](const Value& p, const Value&) { return sin(p); }, 1e-6, 1e6, true},
        {"cos", [](const Value& p, const Value&) { return cos(p); }, 1e-6, 1e6, true},
        {"tan", [](const Value& p, const Value&) { return tan(p); }, 1e-6, 1e6, true},
        {"asin", [](const Value& p, const Value&) { return asin(p); }, -1.0, 1.0, false},
        {"acos", [](const Value& p, const Value&) { return acos(p); }, -1.0, 1.0, false},
        {"atan", [](const Value& p, const Value&) { return atan(p); }, 1e-6, 1e300, true},
        {"exp", [](const Value& p, const Value&) { return exp(p); }, -700.0, 700.0, false},
        {"expm1", [](const Value& p, const Value&) { return expm1(p); }, -700.0, 700.0, false},
        {"log", [](const Value& p, const Value&) { return log(p); }, 1e-300, 1e300, true},
        {"log1p", [](const Value& p, const Value&) { return log1p(p); }, -0.999999, 1e300, false},
        {"sinh", [](const Value& p, const Value&) { return sinh(p); }, -700.0, 700.0, false},
        {"cosh", [](const Value& p, const Value&) { return cosh(p); }, -700.0, 700.0, false},
        {"tanh", [](const Value& p, const Value&) { return tanh(p); }, -30.0, 30.0, false},
        {"pow", [](const Value& p, const Value& q) { return pow(p, q); }, 1e-3, 1e3, true, -40.0, 40.0},
        {"atan2", [](const Value& p, const Value& q) { return atan2(p, q); }, 1e-300, 1e300, true, -1e3, 1e3},
    };
    std::mt19937_64 random(20261210);
    std::size_t differing = 0;
    for (const Case& c : cases) {
        const Value p = parameter(1.0, "p");
        const Value q = parameter(1.0, "q");
        const Value y = c.make(p, q) * 1.0;   // the function is not the output itself
        constexpr std::size_t rows = 20'003;  // not a multiple of any vector width
        std::vector<double> ps(rows);
        std::vector<double> qs(rows);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (std::size_t r = 0; r < rows; ++r) {
            const double t = unit(random);
            if (c.logarithmic) {
                const double magnitude = std::exp(std::log(c.low) + t * (std::log(c.high) - std::log(c.low)));
                ps[r] = c.name == "pow" || c.name == "log" || r % 2 == 0 ? magnitude : -magnitude;
            } else {
                ps[r] = c.low + t * (c.high - c.low);
            }
            qs[r] = c.q_low + unit(random) * (c.q_high - c.q_low);
        }
        const RowsRun exact = run_rows(y, p, q, ps, qs, detail::Arithmetic::exact);
        const RowsRun approximate = run_rows(y, p, q, ps, qs, detail::Arithmetic::approximate);
        // Values: SLEEF's within 1 ULP of the true result, the C library's
        // within 1 ULP more. Derivatives: a few ULP, or a few ULP of 1 (and of
        // y^2) where the exact rule subtracts nearly equal numbers (1 - y^2 of
        // tanh near +-1, y + 1 of expm1 far below 0).
        std::size_t compared = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            if (!std::isfinite(exact.value[r])) {
                continue;
            }
            ++compared;
            differing += exact.value[r] != approximate.value[r] ? 1U : 0U;
            ASSERT_LE(ulps(exact.value[r], approximate.value[r]), 2U)
                << c.name << " at " << ps[r] << ", " << qs[r] << ": " << exact.value[r] << " against "
                << approximate.value[r];
            const double result = exact.value[r];
            const double scale = std::max(1.0, result * result) * 4.0 * std::numeric_limits<double>::epsilon();
            for (const auto& [e, a] :
                 {std::pair{exact.dp[r], approximate.dp[r]}, std::pair{exact.dq[r], approximate.dq[r]}}) {
                if (std::isfinite(e)) {
                    const double ulp = std::nextafter(std::fabs(e), INFINITY) - std::fabs(e);
                    ASSERT_LE(std::fabs(a - e), 4.0 * ulp + scale)
                        << c.name << "'s derivative at " << ps[r] << ", " << qs[r] << ": " << e << " against " << a;
                }
            }
        }
        EXPECT_GT(compared, rows * 9 / 10) << c.name;
    }
    // The vectorised functions ran (without SLEEF, approximate rows are exact).
    EXPECT_EQ(differing > 0, detail::approximations_available());
}

}  // namespace
}  // namespace zarnik::symbolic
