// Forward-mode sweeps over rows against reverse sweeps: every Jacobian entry
// of random programs agrees to rounding, and a lane that does not depend on
// the seed stays an exact zero beside an infinite derivative.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "random_graphs.hpp"
#include "symbolic/graph/graph_walk.hpp"
#include "symbolic/program/program.hpp"

namespace zarnik::symbolic {
namespace {

constexpr std::size_t rows = 5;

// A program of `output` over rows whose parameters' values move a little
// from row to row, with its forward pass run.
struct ProgramRows {
    detail::Program program;
    std::vector<double> memory;
    std::vector<double*> lanes;
    bool finite = true;

    explicit ProgramRows(const Value& output) {
        detail::WalkStack stack;
        detail::ProgramRecorder recorder(program);
        program.output = detail::walk(output, stack, recorder);
        memory.resize(program.lanes.size() * rows);
        for (std::size_t k = 0; k < program.lanes.size(); ++k) {
            lanes.push_back(memory.data() + k * rows);
            for (std::size_t r = 0; r < rows; ++r) {
                lanes[k][r] = program.lanes[k] * (1.0 + 0.01 * static_cast<double>(r));
            }
        }
        const detail::ForwardOutcome outcome = detail::run_forward_rows(program, lanes.data(), rows);
        finite = !outcome.non_finite && outcome.failed == nullptr;
    }

    std::vector<double*> zeroed(std::vector<double>& storage) const {
        storage.assign(memory.size(), 0.0);
        std::vector<double*> at;
        for (std::size_t k = 0; k < program.lanes.size(); ++k) {
            at.push_back(storage.data() + k * rows);
        }
        return at;
    }

    // d(output lane l) / d(lane `seed`) in row r, by a reverse sweep and by a forward one.
    double reverse(std::uint32_t seed, int l, std::size_t r) const {
        std::vector<double> storage;
        const std::vector<double*> adjoints = zeroed(storage);
        std::fill_n(adjoints[detail::offset_of(program.output) + static_cast<std::uint32_t>(l)], rows, 1.0);
        std::vector<std::uint32_t> order(program.code.size());
        std::iota(order.begin(), order.end(), 0U);
        detail::run_reverse_rows(program, lanes.data(), adjoints.data(), rows, order);
        return adjoints[seed][r];
    }

    double forward(std::uint32_t seed, int l, std::size_t r) const {
        std::vector<double> storage;
        const std::vector<double*> tangents = zeroed(storage);
        const std::vector<std::uint8_t> active = detail::tangent_activity(program, seed);
        std::fill_n(tangents[seed], rows, 1.0);
        detail::run_tangent_rows(program, lanes.data(), tangents.data(), rows, active.data());
        const std::uint32_t out = detail::offset_of(program.output) + static_cast<std::uint32_t>(l);
        return active[out] != 0 ? tangents[out][r] : 0.0;
    }
};

TEST(Tangents, ForwardSweepsAgreeWithReverseSweepsOnRandomPrograms) {
    testing::RandomGraphMaker maker(20261211);
    int compared = 0;
    for (int round = 0; round < 300; ++round) {
        const testing::RandomGraph g = maker.make(14, false);
        const ProgramRows p(g.output);
        if (!p.finite || p.program.output_leaf != nullptr) {
            continue;
        }
        for (const detail::ParameterSlot& parameter : p.program.parameters) {
            for (std::uint32_t i = 0; i < parameter.dim; ++i) {
                for (int l = 0; l < detail::lanes_of(p.program.output); ++l) {
                    for (std::size_t r = 0; r < rows; r += 2) {
                        const double by_reverse = p.reverse(parameter.offset + i, l, r);
                        const double by_forward = p.forward(parameter.offset + i, l, r);
                        if (!std::isfinite(by_reverse) || !std::isfinite(by_forward)) {
                            EXPECT_EQ(std::isfinite(by_reverse), std::isfinite(by_forward)) << "round " << round;
                            continue;
                        }
                        EXPECT_NEAR(by_forward, by_reverse, 1e-10 * std::max(1.0, std::fabs(by_reverse)))
                            << "round " << round;
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 1000);
}

TEST(Tangents, ALaneThatDoesNotDependOnTheSeedStaysAnExactZero) {
    // sqrt at 0 has an infinite derivative; the column of v.y must not become 0 * inf.
    const Value v = parameter(0.0, 2.0, "v");
    const Value y = sqrt(component(v, 0)) + component(v, 1) * 3.0;
    const ProgramRows p(y);
    ASSERT_TRUE(p.finite);
    const std::uint32_t v_lane = p.program.parameters.front().offset;
    EXPECT_EQ(p.forward(v_lane + 1, 0, 0), 3.0);
    EXPECT_EQ(p.reverse(v_lane + 1, 0, 0), 3.0);
    EXPECT_EQ(p.forward(v_lane, 0, 0), INFINITY);
    // An output that does not depend on the seed at all: its column is zero.
    const Value w = parameter(1.5, "w");
    const ProgramRows q(sqrt(component(v, 0)) * w);
    EXPECT_EQ(q.forward(q.program.parameters.front().offset + 1, 0, 0), 0.0);
}

}  // namespace
}  // namespace zarnik::symbolic
