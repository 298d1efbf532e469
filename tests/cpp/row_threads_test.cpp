// The threads a batch shares its blocks of rows over.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "symbolic/detail/row_threads.hpp"

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

        std::atomic<std::size_t> checked{0};
        const auto quiet = [](std::size_t, std::size_t) { return true; };
        const auto check = [&] {
            if (checked.fetch_add(1) == 2) {
                throw std::range_error("interrupted");
            }
        };
        EXPECT_THROW(run_blocks(100'000, threads, quiet, check), std::range_error);
        EXPECT_EQ(checked.load(), 3U);  // on the calling thread only, stopping at the first throw
    }
}

TEST(RowThreads, ABatchTakesNoMoreThreadsThanItsBlocksOrItsWorkPays) {
    const std::size_t cores = available_cores();
    EXPECT_GE(cores, 1U);
    EXPECT_EQ(batch_threads(0, 1000, 1U << 20U), std::min<std::size_t>(cores, 1000));
    EXPECT_EQ(batch_threads(3, 1000, 1U << 20U), 3U);
    EXPECT_EQ(batch_threads(8, 2, 1U << 20U), 2U);
    EXPECT_EQ(batch_threads(8, 0, 1U << 20U), 1U);
    EXPECT_EQ(batch_threads(8, 4, 16), 1U);  // too little work to share
    EXPECT_EQ(batch_threads(8, 1000, SIZE_MAX), 8U);  // no overflow
}

}  // namespace
}  // namespace zarnik::symbolic::detail
