// The threads a batch shares its blocks of rows over.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "symbolic/rows/row_threads.hpp"

namespace zarnik::symbolic::detail {
namespace {

TEST(RowThreads, EveryBlockRunsOnceOnOneOfTheThreadsAskedFor) {
    for (const std::size_t threads : {1U, 2U, 3U, 8U}) {
        for (const std::size_t blocks : {0U, 1U, 7U, 300U}) {
            std::vector<std::atomic<int>> runs(blocks);
            std::mutex mutex;
            std::set<std::size_t> used;
            const auto block = [&](std::size_t thread, std::size_t b) {
                runs[b].fetch_add(1);
                const std::lock_guard<std::mutex> lock(mutex);
                used.insert(thread);
                return true;
            };
            EXPECT_EQ(run_blocks(blocks, threads, block), no_block);
            for (std::size_t b = 0; b < blocks; ++b) {
                EXPECT_EQ(runs[b].load(), 1) << "block " << b << " of " << blocks << " on " << threads << " threads";
            }
            for (const std::size_t thread : used) {
                EXPECT_LT(thread, threads);
            }
        }
    }
}

TEST(RowThreads, TheLowestFailedBlockIsFoundAndEveryBlockBeforeItRan) {
    for (const std::size_t threads : {1U, 2U, 4U}) {
        std::vector<std::atomic<int>> runs(400);
        const auto block = [&](std::size_t, std::size_t b) {
            runs[b].fetch_add(1);
            return b != 37 && b != 150 && b != 151;
        };
        EXPECT_EQ(run_blocks(runs.size(), threads, block), 37U);
        for (std::size_t b = 0; b <= 37; ++b) {
            EXPECT_EQ(runs[b].load(), 1);
        }
    }
}

TEST(RowThreads, WhatABlockOrTheCheckThrowsStopsTheRunAndReachesTheCaller) {
    for (const std::size_t threads : {1U, 3U}) {
        std::atomic<std::size_t> ran{0};
        const auto failing = [&](std::size_t, std::size_t b) {
            ran.fetch_add(1);
            if (b == 5) {
                throw std::runtime_error("block 5");
            }
            return true;
        };
        EXPECT_THROW(run_blocks(100'000, threads, failing), std::runtime_error);
        EXPECT_LT(ran.load(), 100'000U);

        // Blocks of some length: the check runs on the calling thread between
        // its blocks, or while it waits for the others, until it throws.
        std::atomic<std::size_t> checked{0};
        std::atomic<std::size_t> slow_ran{0};
        const auto slow = [&](std::size_t, std::size_t) {
            slow_ran.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return true;
        };
        const auto check = [&] {
            if (checked.fetch_add(1) == 2) {
                throw std::range_error("interrupted");
            }
        };
        EXPECT_THROW(run_blocks(10'000, threads, slow, check), std::range_error);
        EXPECT_EQ(checked.load(), 3U);  // stopping at the first throw
        EXPECT_LT(slow_ran.load(), 10'000U);
    }
}

TEST(RowThreads, TheCheckRunsWhileTheCallerWaitsForTheOtherThreads) {
    // Two blocks on two threads, the helper's long: once its own block is
    // done, the calling thread keeps running the check while it waits, and
    // the third check's throw is heard long before the helper's block ends.
    const auto block = [](std::size_t thread, std::size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(thread == 0 ? 20 : 1000));
        return true;
    };
    const auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration heard{};
    int checks = 0;
    const auto check = [&] {
        if (++checks == 3) {
            heard = std::chrono::steady_clock::now() - started;
            throw std::range_error("interrupted");
        }
    };
    EXPECT_THROW(run_blocks(2, 2, block, check), std::range_error);
    EXPECT_LT(heard, std::chrono::milliseconds(800));
}

TEST(RowThreads, ABatchTakesNoMoreThreadsThanItsBlocksOrItsWorkPays) {
    const std::size_t cores = available_cores();
    EXPECT_GE(cores, 1U);
    EXPECT_EQ(batch_threads(0, 1000, 1U << 20U), std::min<std::size_t>(cores, 1000));
    EXPECT_EQ(batch_threads(3, 1000, 1U << 20U), std::min<std::size_t>(cores, 3));
    EXPECT_EQ(batch_threads(8, 2, 1U << 20U), std::min<std::size_t>(cores, 2));
    EXPECT_EQ(batch_threads(8, 0, 1U << 20U), 1U);
    EXPECT_EQ(batch_threads(8, 4, 16), 1U);                                        // too little work to share
    EXPECT_EQ(batch_threads(8, 1000, SIZE_MAX), std::min<std::size_t>(cores, 8));  // no overflow
    // Threads past the cores only take turns on them, each with a stack and
    // a worker of its own: a huge request gets the cores.
    for (const std::size_t requested : {cores + 1, 10'000UL, SIZE_MAX}) {
        EXPECT_EQ(batch_threads(requested, SIZE_MAX / 2, 1U << 20U), cores) << requested;
    }
}

}  // namespace
}  // namespace zarnik::symbolic::detail
