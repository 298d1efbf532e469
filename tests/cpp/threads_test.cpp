#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "symbolic/rows.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

constexpr int thread_count = 4;

// Calls `agrees(round)` for `rounds` rounds on each of the threads at once;
// the number of calls that disagreed.
template <typename Agrees>
int disagreements_on_threads(int rounds, const Agrees& agrees) {
    std::vector<int> disagreements(thread_count, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                if (!agrees(round)) {
                    ++disagreements[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return std::accumulate(disagreements.begin(), disagreements.end(), 0);
}

// A two-lane chain over shared nodes: y <- sin(y) * s + p.
Value chain(const Value& p, const Value& s, int steps) {
    Value y = p;
    for (int i = 0; i < steps; ++i) {
        y = sin(y) * s + p;
    }
    return y;
}

TEST(Threads, NodesMadeAtOnceGetUniqueIdsIncreasingInEachThread) {
    constexpr int nodes_per_thread = 20'000;
    std::vector<std::vector<std::uint64_t>> ids(thread_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&ids, t] {
            std::vector<std::uint64_t>& mine = ids[static_cast<std::size_t>(t)];
            Value previous = parameter(static_cast<double>(t), "p");
            mine.push_back(previous.id());
            for (int i = 1; i < nodes_per_thread; ++i) {
                // Leaves and expressions alike draw from the one counter.
                const Value next = i % 3 == 0 ? constant(1.0) : i % 3 == 1 ? undefined(2, "u") : sin(previous);
                mine.push_back(next.id());
                if (next.is_parameter() || next.is_expression()) {
                    previous = next;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::set<std::uint64_t> all;
    for (const auto& mine : ids) {
        EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
        EXPECT_EQ(std::adjacent_find(mine.begin(), mine.end()), mine.end());
        all.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(thread_count * nodes_per_thread));
}

TEST(Threads, SharedGraphsAreCopiedReleasedExtendedAndEvaluatedConcurrently) {
    const Value p = parameter(0.5, 1.5, "p");
    const Value s = parameter(2.0, "s");
    const Value shared = chain(p, s, 200);
    const SmallValue expected = shared.evaluate();

    const auto agrees = [&](int round) {
        // Copies and releases of handles to the same nodes on every thread.
        std::vector<Value> copies(16, shared);
        copies.push_back(shared.input(0));
        copies.push_back(p);
        // Building on shared nodes only reads them.
        const Value extended = component(copies.front() * s, round % 2) + 1.0;
        const SmallValue lanes = shared.evaluate();
        const SmallValue more = extended.evaluate();
        return lanes.lanes == expected.lanes &&
               more.lanes[0] == expected.lanes[static_cast<std::size_t>(round % 2)] * 2.0 + 1.0;
    };
    EXPECT_EQ(disagreements_on_threads(200, agrees), 0);
    // Every temporary is gone: the shared graph is intact and evaluates as before.
    EXPECT_EQ(shared.evaluate().lanes, expected.lanes);
}

TEST(Threads, OneTapeIsEvaluatedFromSeveralThreadsAtOnce) {
    const Value p = parameter(0.5, 1.5, "p");
    const Value s = parameter(2.0, "s");
    const Value y = chain(p, s, 300);
    const Value loss = component(y, 0) * component(y, 1);
    const Tape tape(loss);
    const SmallValue expected = loss.evaluate();
    // Calls on a tape only read the graph; each thread works in memory of its own.
    EXPECT_EQ(disagreements_on_threads(100, [&](int) { return tape.evaluate().lanes == expected.lanes; }), 0);
    // Writes are the caller's to keep apart: here, after the readers are done.
    tape.backward();
    EXPECT_TRUE(p.has_grad() && s.has_grad());
}

TEST(Threads, BatchesRunWhileTheirParametersChange) {
    // The caller's lock stands for the interpreter's: parameters change under
    // it, and a batch reads their values under it, then runs its rows on its
    // own. Nothing the rows do may read the nodes again.
    const Value x = undefined(1, "x");
    const Value p = parameter(1.0, "p");
    const Value q = parameter(2.0, 3.0, "q");
    const Function f({x}, {x * p + component(q, 0), p, sin(x) * component(q, 1)});
    std::mutex lock;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; !done.load(); ++i) {
            const std::lock_guard<std::mutex> locked(lock);
            p.set_value(small_value(1.0 + i % 7));
            q.set_value(small_value(2.0 + i % 5, 3.0 - i % 3));
        }
    });
    constexpr std::size_t rows = 700;  // two blocks of rows
    std::vector<double> xs(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        xs[r] = 0.01 * static_cast<double>(r);
    }
    const auto agrees = [&](int) {
        std::vector<double> given;
        {
            const std::lock_guard<std::mutex> locked(lock);
            given = f.parameter_values();
        }
        std::vector<double> sums(rows), ps(rows), sines(rows), jacobians(rows * 3);
        const double* inputs[] = {xs.data()};
        double* outputs[] = {sums.data(), ps.data(), sines.data()};
        int checks = 0;
        f.evaluate_rows(rows, inputs, outputs, given, [&] { ++checks; });
        f.jacobian_rows(rows, inputs, jacobians.data(), given);
        bool same = checks == 1;
        for (std::size_t r = 0; r < rows; ++r) {
            same = same && sums[r] == xs[r] * given[0] + given[1] && ps[r] == given[0] &&
                   sines[r] == std::sin(xs[r]) * given[2] && jacobians[r * 3] == given[0] &&
                   jacobians[r * 3 + 1] == 0.0 && jacobians[r * 3 + 2] == std::cos(xs[r]) * given[2];
        }
        return same;
    };
    EXPECT_EQ(disagreements_on_threads(10, agrees), 0);
    done = true;
    writer.join();
}

TEST(Threads, EachThreadOfABatchRunsItsChunksOnItsOwnWorker) {
    // Rows that differ, many chunks of them over every core: a worker shared
    // between threads mixes one chunk's lanes into another's (and is a race).
    const Value x = undefined(2, "x");
    const Value s = undefined(1, "s");
    Value chained = component(x, 0) * s;
    for (int i = 0; i < 40; ++i) {
        chained = sin(chained) * component(x, 1) + s;  // chunks long enough for threads to overlap
    }
    const Function f({x, s}, {chained + component(x, 1) * component(x, 1), x * s});
    constexpr std::size_t rows = 2048 * 48 + 5;
    std::vector<double> xs(rows * 2);
    std::vector<double> ss(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        xs[2 * r] = 0.001 * static_cast<double>(r);
        xs[2 * r + 1] = 1.0 - 0.0005 * static_cast<double>(r);
        ss[r] = 0.25 + 0.0001 * static_cast<double>(r % 977);
    }
    const RowInput inputs[] = {RowInput::per_row(xs.data()), RowInput::per_row(ss.data())};
    RowOptions options;
    options.threads = 0;
    std::vector<double> first(rows), second(rows * 2), jacobians(rows * 3 * 3);
    double* outputs[] = {first.data(), second.data()};
    const std::size_t wrt[] = {0, 1};
    for (int round = 0; round < 2; ++round) {
        evaluate_rows(f, rows, inputs, outputs, options);
        jacobian_rows(f, rows, inputs, wrt, jacobians.data(), options);
        std::size_t wrong = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            const SmallValue at_x = small_value(xs[2 * r], xs[2 * r + 1]);
            const std::vector<SmallValue> call = f({at_x, small_value(ss[r])});
            std::vector<double> jacobian(9);
            f.jacobian(std::vector<SmallValue>{at_x, small_value(ss[r])}, jacobian);
            const bool same =
                first[r] == call[0].lanes[0] && second[2 * r] == call[1].lanes[0] &&
                second[2 * r + 1] == call[1].lanes[1] &&
                std::equal(jacobian.begin(), jacobian.end(), jacobians.begin() + static_cast<std::ptrdiff_t>(r * 9));
            wrong += same ? 0 : 1;
        }
        EXPECT_EQ(wrong, 0U) << "round " << round;
    }
}

// The threads of this process now.
std::size_t running_threads() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST(Threads, ABatchStartsNoMoreThreadsThanTheCoresWhateverItIsAskedFor) {
    // An Add of three inputs, which its builder does not make, goes row by
    // row, and the calling thread's check runs between its rows: there it
    // counts the threads the batch has started, the others' chunks underway.
    const Value x = undefined(1, "x");
    const Function f({x}, {make_expression(ExpressionOp::Add, 1, {x, x, x, {}}, 3, -1)});
    const std::size_t cores = std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
    const std::size_t before = running_threads();
    RowOptions options;
    options.threads = cores * 8 + 8;
    std::size_t most = 0;
    std::size_t checks = 0;
    options.check = [&] {
        ++checks;
        most = std::max(most, running_threads());
    };
    // Blocks of 2048 rows, several per thread asked for.
    const std::size_t rows = options.threads * 4 * 2048;
    const double once = 1.5;
    const RowInput input[] = {RowInput::once(&once)};
    std::vector<double> results(rows);
    double* outputs[] = {results.data()};
    evaluate_rows(f, rows, input, outputs, options);
    EXPECT_GT(checks, 0U);
    EXPECT_LE(most, before + cores - 1);  // the calling thread is one of the cores'
    const double call = f({small_value(once)})[0].lanes[0];
    EXPECT_EQ(std::count(results.begin(), results.end(), call), static_cast<std::ptrdiff_t>(rows));
}

}  // namespace
}  // namespace zarnik::symbolic
