// How many threads a batch starts, counted where they are made: this program
// defines pthread_create, which the library's threads then go through, and
// passes each call on to the C library's. A batch of little work must run on
// the calling thread alone, since starting a thread costs more than it saves;
// a batch of much work must still share it out.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "symbolic/expression.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/rows.hpp"
#include "symbolic/rows/row_threads.hpp"

namespace {

std::atomic<std::size_t> threads_made{0};

using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

Create real_create() {
    Create real = nullptr;
    void* const found = dlsym(RTLD_NEXT, "pthread_create");
    std::memcpy(&real, &found, sizeof real);
    return real;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) {
    static const Create real = real_create();
    threads_made.fetch_add(1, std::memory_order_relaxed);
    return real(thread, attributes, start, argument);
}

namespace zarnik::symbolic {
namespace {

// The threads a batch of `rows` rows of f started, every input given as rows.
std::size_t threads_started(const Function& f, std::size_t rows) {
    std::vector<std::vector<double>> data;
    std::vector<RowInput> inputs;
    for (const Value& input : f.inputs()) {
        data.emplace_back(rows * static_cast<std::size_t>(input.dimension()), 0.5);
        inputs.push_back(RowInput::per_row(data.back().data()));
    }
    std::vector<std::vector<double>> outputs;
    std::vector<double*> at;
    for (const Value& output : f.outputs()) {
        outputs.emplace_back(rows * static_cast<std::size_t>(output.dimension()));
        at.push_back(outputs.back().data());
    }
    const std::size_t before = threads_made.load();
    evaluate_rows(f, rows, inputs, at);
    return threads_made.load() - before;
}

TEST(BatchThreadCount, ALittleWorkRunsOnTheCallingThreadAndMuchIsShared) {
    if (detail::available_cores() < 2) {
        GTEST_SKIP() << "one core: no batch starts a thread";
    }
    const Value x = undefined(1, "x");
    // A few lanes over a few chunks of rows: some microseconds of arithmetic.
    const Function small({x}, {x * 2.0 + 1.0});
    for (const std::size_t rows : {4'096U, 20'000U}) {
        EXPECT_EQ(threads_started(small, rows), 0U) << rows << " rows";
    }
    // Hundreds of lanes over many rows: every core.
    Value y = x;
    for (int i = 0; i < 100; ++i) {
        y = sin(y) * 0.5 + x;
    }
    const Function large({x}, {y});
    constexpr std::size_t chunks = 98;  // of 2048 rows
    EXPECT_EQ(threads_started(large, chunks * 2048), std::min(detail::available_cores(), chunks) - 1);
}

}  // namespace
}  // namespace zarnik::symbolic
