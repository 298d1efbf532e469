#pragma once

// Batches share their rows out over threads by blocks: the rows are cut into
// blocks of a size that depends only on the program, each block runs whole on
// one thread, and no row's arithmetic depends on another row's. Which thread
// ran a block, and how many there were, therefore changes no bit of a result;
// sums over rows are taken per block and then over blocks in their order.
// The threads live for one batch: a batch that forks nothing, and a process
// that forks after a batch (a process pool), find no pool in a strange state.

#include <cstddef>
#include <functional>
#include <limits>

namespace zarnik::symbolic::detail {

// The cores this process may run on (its affinity), at least 1.
std::size_t available_cores() noexcept;

// The threads a batch of `blocks` blocks, each about `block_work` lane-rows of
// work, runs on when asked for `requested` (0: every available core): never
// more than the available cores or its blocks, whatever was asked, and fewer
// where a thread would get too little work to pay for starting it.
std::size_t batch_threads(std::size_t requested, std::size_t blocks, std::size_t block_work) noexcept;

inline constexpr std::size_t no_block = std::numeric_limits<std::size_t>::max();

// Runs `block(thread, b)` once for each block b in [0, blocks), on up to
// `threads` threads numbered from 0, the calling thread being thread 0. Blocks
// are taken in increasing order. `block` returns false when block b failed:
// blocks after the lowest failed one are then skipped (the ones before it
// still run), and run_blocks returns that block (no_block when none failed),
// for the caller to find its failing row. `check`, when given, runs on the
// calling thread between the blocks it runs. An exception thrown by `check`,
// or by `block` on any thread, stops the run; it is rethrown on the calling
// thread once every other thread has stopped.
std::size_t run_blocks(std::size_t blocks, std::size_t threads,
                       const std::function<bool(std::size_t thread, std::size_t block)>& block,
                       const std::function<void()>& check = {});

}  // namespace zarnik::symbolic::detail
