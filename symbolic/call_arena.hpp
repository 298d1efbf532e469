#pragma once

// The memory of one call of evaluate, backward or zero_grad.

#include <cstddef>
#include <memory>
#include <memory_resource>
#include <vector>

#include "thread_spare.hpp"

namespace zarnik::symbolic::detail {

// The call's arena: a bump allocator over blocks of one modest size. A call
// that needs more than its first block, which lives on the call's own stack,
// takes blocks that earlier calls on the same thread gave back, and gives its
// own back when it ends, up to a bound. Fresh pages from the operating system
// cost a fault each and arrive cold in the cache; on graphs of thousands of
// nodes they made a pass two to three times slower than reused blocks do. The
// store of blocks is the thread's spare (thread_spare.hpp), so that calls
// made from destructors during thread or process exit work too.
// Requests too large for a block (the table's bucket array) go to the heap.
class CallArena final : public std::pmr::memory_resource {
public:
    CallArena() = default;
    CallArena(const CallArena&) = delete;
    CallArena& operator=(const CallArena&) = delete;
    ~CallArena() override {
        if (spare_) {
            while (blocks_ != nullptr) {
                Block* const next = blocks_->next;
                spare_->give_back(blocks_);
                blocks_ = next;
            }
            ThreadSpare<SpareBlocks>::give_back(std::move(spare_));
        }
        for (void* large : large_) {
            ::operator delete(large);
        }
    }

private:
    // Below the usual threshold (128 KiB) above which the C library maps and
    // unmaps every allocation on its own.
    static constexpr std::size_t block_size = 60 * 1024;
    // What one thread keeps between calls, 64 MiB: enough for graphs of about 350,000 nodes.
    static constexpr std::size_t max_spare_blocks = 1092;

    struct Block {
        Block* next;
    };

    class SpareBlocks {
    public:
        SpareBlocks() = default;
        SpareBlocks(const SpareBlocks&) = delete;
        SpareBlocks& operator=(const SpareBlocks&) = delete;
        ~SpareBlocks() {
            for (Block* block : blocks_) {
                ::operator delete(block);
            }
        }

        Block* take() {
            if (blocks_.empty()) {
                return static_cast<Block*>(::operator new(block_size));
            }
            Block* const block = blocks_.back();
            blocks_.pop_back();
            return block;
        }

        void give_back(Block* block) noexcept {
            if (blocks_.size() < max_spare_blocks) {
                try {
                    blocks_.push_back(block);
                    return;
                } catch (...) {
                }
            }
            ::operator delete(block);
        }

    private:
        std::vector<Block*> blocks_;
    };

    // The thread's store of blocks, taken for the life of this arena.
    SpareBlocks& spare_blocks() {
        if (!spare_) {
            spare_ = ThreadSpare<SpareBlocks>::take();
            if (!spare_) {
                spare_ = std::make_unique<SpareBlocks>();
            }
        }
        return *spare_;
    }

    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        if (bytes > block_size / 4) {
            large_.push_back(nullptr);
            large_.back() = ::operator new(bytes);
            return large_.back();
        }
        void* p = cursor_;
        std::size_t space = static_cast<std::size_t>(end_ - cursor_);
        if (std::align(alignment, bytes, p, space) == nullptr) {
            Block* const block = spare_blocks().take();
            block->next = blocks_;
            blocks_ = block;
            p = reinterpret_cast<std::byte*>(block + 1);
            end_ = reinterpret_cast<std::byte*>(block) + block_size;
            space = static_cast<std::size_t>(end_ - static_cast<std::byte*>(p));
            std::align(alignment, bytes, p, space);
        }
        cursor_ = static_cast<std::byte*>(p) + bytes;
        return p;
    }

    void do_deallocate(void*, std::size_t, std::size_t) override {}

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    alignas(std::max_align_t) std::byte first_[8 * 1024];
    std::byte* cursor_ = first_;
    std::byte* end_ = first_ + sizeof first_;
    Block* blocks_ = nullptr;
    std::vector<void*> large_;
    std::unique_ptr<SpareBlocks> spare_;
};

}  // namespace zarnik::symbolic::detail
