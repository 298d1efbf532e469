#include "symbolic/rows/row_threads.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace zarnik::symbolic::detail {

namespace {

// Work below this (in lane-rows: a program's lanes times its rows) is not
// worth a thread of its own: starting and joining one costs about as much as
// running that many lane-rows of arithmetic.
constexpr std::size_t work_per_thread = std::size_t{1} << 16U;

void lower_to(std::atomic<std::size_t>& lowest, std::size_t value) noexcept {
    std::size_t seen = lowest.load(std::memory_order_relaxed);
    while (value < seen && !lowest.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

}  // namespace

std::size_t available_cores() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
    }
#endif
    return std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
}

std::size_t batch_threads(std::size_t requested, std::size_t blocks, std::size_t block_work) noexcept {
    const std::size_t wanted = requested == 0 ? available_cores() : requested;
    const std::size_t work =
        blocks > 0 && block_work > 0 && blocks > SIZE_MAX / block_work ? SIZE_MAX : blocks * block_work;
    const std::size_t worth = std::max<std::size_t>(work / work_per_thread, 1);
    // More threads than cores only take turns on them: each costs a stack and
    // a worker's block of lanes, and none finishes a block sooner.
    return std::max<std::size_t>(std::min({wanted, available_cores(), blocks, worth}), 1);
}

std::size_t run_blocks(std::size_t blocks, std::size_t threads,
                       const std::function<bool(std::size_t, std::size_t)>& block, const std::function<void()>& check) {
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failed{no_block};
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::exception_ptr error;

    const auto work = [&](std::size_t thread) noexcept {
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
                if (b >= blocks || b > failed.load(std::memory_order_relaxed)) {
                    return;
                }
                if (!block(thread, b)) {
                    lower_to(failed, b);
                }
                // Between blocks: after the last one the batch is done, and
                // the check would only stop what has finished.
                if (thread == 0 && check && b + 1 < blocks) {
                    check();
                }
            }
        } catch (...) {
            const std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) {
                error = std::current_exception();
            }
            stop.store(true, std::memory_order_relaxed);
        }
    };

    // The helpers still running; the calling thread, out of blocks, waits for
    // them and keeps running the check meanwhile, so that a check that stops
    // the batch (an interrupt) is heard however the blocks were shared out.
    std::mutex running_mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    const auto helper = [&](std::size_t thread) noexcept {
        work(thread);
        const std::lock_guard<std::mutex> lock(running_mutex);
        --running;
        finished.notify_one();
    };
    {
        std::vector<std::jthread> helpers;
        const std::size_t wanted = std::min(threads, blocks);
        for (std::size_t t = 1; t < wanted; ++t) {
            try {
                {
                    const std::lock_guard<std::mutex> lock(running_mutex);
                    ++running;
                }
                helpers.emplace_back(helper, t);
            } catch (const std::system_error&) {
                const std::lock_guard<std::mutex> lock(running_mutex);
                --running;
                break;  // the threads started so far, the calling one among them, do all the blocks
            }
        }
        work(0);
        std::unique_lock<std::mutex> lock(running_mutex);
        while (running > 0) {
            if (finished.wait_for(lock, std::chrono::milliseconds(10), [&] { return running == 0; }) || !check ||
                stop.load(std::memory_order_relaxed)) {
                continue;
            }
            lock.unlock();
            try {
                check();
            } catch (...) {
                const std::lock_guard<std::mutex> error_lock(error_mutex);
                if (!error) {
                    error = std::current_exception();
                }
                stop.store(true, std::memory_order_relaxed);
            }
            lock.lock();
        }
    }  // joins the helpers
    if (error) {
        std::rethrow_exception(error);
    }
    return failed.load(std::memory_order_relaxed);
}

}  // namespace zarnik::symbolic::detail
