#pragma once

// The working memory of one call of evaluate, backward or zero_grad.

#include <memory>
#include <vector>

#include "graph_walk.hpp"
#include "program.hpp"
#include "reference.hpp"
#include "thread_spare.hpp"

namespace zarnik::symbolic::detail {

struct CallScratch {
    WalkStack walk;
    Program program;
    std::vector<double> adjoints;
    ReferenceOrder reference;
    std::vector<SmallValue> reference_values;
    std::vector<SmallValue> reference_slots;
    // The lanes of the tape or function called last on this thread, and which one that was.
    LaneArray tape_lanes;
    std::uint64_t tape_serial = 0;

    std::size_t capacity_bytes() const {
        return walk.capacity_bytes() + program.capacity_bytes() + adjoints.capacity() * sizeof(double) +
               reference.capacity_bytes() +
               (reference_values.capacity() + reference_slots.capacity()) * sizeof(SmallValue) +
               tape_lanes.capacity() * sizeof(double);
    }
};

// The lanes for a call of a kept program: the thread's copy of the program's
// constants, made once per thread and program (no call writes them), with the
// parameters' current values read in.
inline double* program_lanes(const Program& program, std::uint64_t serial, CallScratch& scratch) {
    LaneArray& lanes = scratch.tape_lanes;
    if (scratch.tape_serial != serial) {
        scratch.tape_serial = 0;  // until the copy is complete
        lanes.assign(program.lanes.data(), program.lanes.size());
        scratch.tape_serial = serial;
    }
    double* const data = lanes.data();
    for (const ParameterSlot& parameter : program.parameters) {
        for (std::size_t i = 0; i < parameter.dim; ++i) {
            data[parameter.offset + i] = parameter.node->value.lanes[i];
        }
    }
    return data;
}

// A call's scratch: the one its thread kept from an earlier call, or a new
// one. Kept again when the call ends, unless it has grown beyond what a
// thread keeps between calls. Memory taken fresh from the operating system
// arrives as page faults and cold cache lines, which made a pass over a
// graph of thousands of nodes two to three times slower than reused memory.
class ScratchLease {
public:
    // What one thread keeps between calls: enough for graphs of about two million nodes.
    static constexpr std::size_t kept_bytes = std::size_t{64} << 20U;

    ScratchLease() : scratch_(ThreadSpare<CallScratch>::take()) {
        if (!scratch_) {
            scratch_ = std::make_unique<CallScratch>();
        }
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    ~ScratchLease() {
        if (scratch_->capacity_bytes() <= kept_bytes) {
            ThreadSpare<CallScratch>::give_back(std::move(scratch_));
        }
    }

    CallScratch& operator*() const noexcept { return *scratch_; }
    CallScratch* operator->() const noexcept { return scratch_.get(); }

private:
    std::unique_ptr<CallScratch> scratch_;
};

}  // namespace zarnik::symbolic::detail
