// Lane arrays of a megabyte or more are mapped from the system and unmapped
// when freed. The allocator serves them from a thread's own arena once a
// freed mapping has raised its threshold for mapping, and keeps what they
// freed there; a pool's idle workers would then hold a large graph's scratch
// for good.

#include <sys/mman.h>

#include <new>

#include "symbolic/program/program.hpp"

namespace zarnik::symbolic::detail {

namespace {

constexpr std::size_t mapped_lanes = (std::size_t{1} << 20U) / sizeof(double);

}  // namespace

LaneMemory allocate_lane_memory(std::size_t count) {
    if (count < mapped_lanes) {
        return LaneMemory(new double[count], LaneMemoryRelease{count});
    }
    void* const pages =
        mmap(nullptr, count * sizeof(double), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return LaneMemory(static_cast<double*>(pages), LaneMemoryRelease{count});
}

void LaneMemoryRelease::operator()(double* lanes) const noexcept {
    if (count < mapped_lanes) {
        delete[] lanes;
    } else {
        munmap(lanes, count * sizeof(double));
    }
}

}  // namespace zarnik::symbolic::detail
