#pragma once

// The visited set of a graph walk: a flat open-addressing table from node id
// to the node's position in the walk's order.

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace zarnik::symbolic::detail {

class VisitedTable {
public:
    // A position not yet known: the node is being walked.
    static constexpr std::uint32_t pending = 0xFFFF'FFFFU;

    // Forgets every entry in constant time: entries of earlier walks carry an
    // older generation and count as empty.
    void start() {
        if (++generation_ == 0) {  // wrapped around after 2^32 walks: clear for real
            for (Slot& slot : slots_) {
                slot.generation = 0;
            }
            generation_ = 1;
        }
        count_ = 0;
    }

    // The position stored for `id`, inserting `pending` when it is absent.
    // Returns the entry and whether it was inserted. The reference holds
    // until the next insertion.
    std::pair<std::uint32_t&, bool> find_or_insert(std::uint64_t id) {
        if ((count_ + 1) * 2 > slots_.size()) {
            grow();
        }
        Slot* slot = probe(id);
        if (slot->generation == generation_) {
            return {slot->position, false};
        }
        *slot = Slot{id, pending, generation_};
        ++count_;
        return {slot->position, true};
    }

    // The entry of an id that is present.
    std::uint32_t& at(std::uint64_t id) { return probe(id)->position; }

    std::size_t capacity_bytes() const { return slots_.capacity() * sizeof(Slot); }

private:
    struct Slot {
        std::uint64_t id = 0;
        std::uint32_t position = 0;
        std::uint32_t generation = 0;
    };

    // The slot holding `id`, or the empty slot where it belongs. Ids are
    // spread by a multiplicative hash; linear probing keeps a search within
    // a cache line or two at a load of at most one half.
    Slot* probe(std::uint64_t id) {
        std::size_t index = static_cast<std::size_t>((id * 0x9E37'79B9'7F4A'7C15ULL) >> shift_);
        const std::size_t mask = slots_.size() - 1;
        while (slots_[index].generation == generation_ && slots_[index].id != id) {
            index = (index + 1) & mask;
        }
        return &slots_[index];
    }

    void grow() {
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 256 : slots_.size() * 2));
        shift_ = 64U - static_cast<unsigned>(std::countr_zero(slots_.size()));
        const std::uint32_t live = generation_;
        generation_ = 1;  // the new slots are all of generation 0: empty
        for (const Slot& slot : old) {
            if (slot.generation == live) {
                *probe(slot.id) = Slot{slot.id, slot.position, generation_};
            }
        }
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
    std::uint32_t generation_ = 1;
    unsigned shift_ = 64;
};

}  // namespace zarnik::symbolic::detail
