#pragma once

// The working memory of one call into the core: of evaluate, backward and
// zero_grad, and of a tape's or a function's calls, Jacobians and rows.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "symbolic/graph/graph_walk.hpp"
#include "symbolic/program/program.hpp"
#include "symbolic/program/reference.hpp"
#include "symbolic/program/thread_spare.hpp"

namespace zarnik::symbolic::detail {

// Finding the instructions below one output of a program in the order of a
// walk from it alone, over the instructions rather than the nodes: a mark per
// instruction, of the search that set it.
struct SweepSearch {
    struct Frame {
        std::uint32_t instruction;
        std::uint32_t next;                     // the next operand to visit
        std::uint32_t count;                    // of operands
        std::array<std::uint32_t, 4> operands;  // their instructions
    };
    std::vector<Frame> stack;
    std::vector<std::uint32_t> instruction_marks;
    std::uint32_t mark = 0;
    std::vector<std::uint32_t> order;

    std::size_t capacity_bytes() const {
        return stack.capacity() * sizeof(Frame) +
               (instruction_marks.capacity() + order.capacity()) * sizeof(std::uint32_t);
    }
};

struct CallScratch {
    // Declared first, so that it goes last: once a large scratch's memory is
    // freed, asks the allocator to give its pages back to the system, which
    // it would otherwise keep for the thread that will not call again.
    struct Release {
        std::size_t bytes = 0;
        Release() = default;
        Release(const Release&) = delete;
        Release& operator=(const Release&) = delete;
        ~Release();
    } release;
    WalkStack walk;
    Program program;
    LaneArray adjoints;
    ReferenceOrder reference;
    std::vector<SmallValue> reference_values;
    std::vector<SmallValue> reference_slots;
    std::vector<const SmallValue*> reference_given;
    SweepSearch sweep;
    // The lanes of the tape or function called last on this thread, and which one that was.
    LaneArray tape_lanes;
    std::uint64_t tape_serial = 0;
    // What this scratch counts in the bytes that all threads keep (ScratchLease).
    std::size_t counted_bytes = 0;

    CallScratch() = default;
    CallScratch(const CallScratch&) = delete;
    CallScratch& operator=(const CallScratch&) = delete;
    ~CallScratch();

    std::size_t capacity_bytes() const {
        return walk.capacity_bytes() + program.capacity_bytes() + adjoints.capacity() * sizeof(double) +
               reference.capacity_bytes() +
               (reference_values.capacity() + reference_slots.capacity()) * sizeof(SmallValue) +
               reference_given.capacity() * sizeof(const SmallValue*) + sweep.capacity_bytes() +
               tape_lanes.capacity() * sizeof(double);
    }
};

// The lanes for a call of a kept program: the thread's copy of the program's
// lanes, made once per thread and program. No call writes a constant's lanes,
// so the copy keeps them; every other lane is written before it is read.
inline double* kept_program_lanes(const Program& program, std::uint64_t serial, CallScratch& scratch) {
    LaneArray& lanes = scratch.tape_lanes;
    if (scratch.tape_serial != serial) {
        scratch.tape_serial = 0;  // until the copy is complete
        lanes.assign(program.lanes.data(), program.lanes.size());
        scratch.tape_serial = serial;
    }
    return lanes.data();
}

// The same with the parameters' current values read in.
inline double* program_lanes(const Program& program, std::uint64_t serial, CallScratch& scratch) {
    double* const data = kept_program_lanes(program, serial, scratch);
    for (const ParameterSlot& parameter : program.parameters) {
        for (std::size_t i = 0; i < parameter.dim; ++i) {
            data[parameter.offset + i] = parameter.node->value.lanes[i];
        }
    }
    return data;
}

// The bytes that the scratches kept between calls hold, all threads together
// (evaluation.cpp).
std::atomic<std::size_t>& kept_scratch_bytes() noexcept;

// A call's scratch: the one its thread kept from an earlier call, or a new
// one. Kept again when the call ends, as long as what all threads keep stays
// within a bound. Memory taken fresh from the operating system arrives as
// page faults and cold cache lines, which made a pass over a graph of
// thousands of nodes two to three times slower than reused memory; but a
// thread that calls no more (an idle worker of a pool) would hold its
// scratch for good, so the threads share one bound rather than each having
// its own.
class ScratchLease {
public:
    // What all threads keep between calls together: enough for graphs of about two million nodes.
    static constexpr std::size_t kept_bytes = std::size_t{64} << 20U;

    ScratchLease() : scratch_(ThreadSpare<CallScratch>::take()) {
        if (!scratch_) {
            scratch_ = std::make_unique<CallScratch>();
        }
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    ~ScratchLease() {
        if (count(*scratch_)) {
            ThreadSpare<CallScratch>::give_back(std::move(scratch_));
        }
    }

    CallScratch& operator*() const noexcept { return *scratch_; }
    CallScratch* operator->() const noexcept { return scratch_.get(); }

    // Counts a scratch's bytes in the bound, as they are now; false when
    // they do not fit. A scratch stays counted while it is leased, so that
    // a call that does not grow it leaves the count alone.
    static bool count(CallScratch& scratch) noexcept {
        const std::size_t bytes = scratch.capacity_bytes();
        if (bytes <= scratch.counted_bytes) {
            return true;  // counted as large as it has been
        }
        const std::size_t more = bytes - scratch.counted_bytes;
        std::atomic<std::size_t>& kept = kept_scratch_bytes();
        std::size_t now = kept.load(std::memory_order_relaxed);
        do {
            if (more > kept_bytes - now) {
                return false;
            }
        } while (!kept.compare_exchange_weak(now, now + more, std::memory_order_relaxed));
        scratch.counted_bytes = bytes;
        return true;
    }

    static void uncount(CallScratch& scratch) noexcept {
        kept_scratch_bytes().fetch_sub(std::exchange(scratch.counted_bytes, 0), std::memory_order_relaxed);
    }

private:
    std::unique_ptr<CallScratch> scratch_;
};

// A kept scratch freed at its thread's exit leaves the bound.
inline CallScratch::~CallScratch() {
    ScratchLease::uncount(*this);
    release.bytes = capacity_bytes();
}

}  // namespace zarnik::symbolic::detail
