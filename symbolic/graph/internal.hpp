#pragma once

// Helpers shared by the core's source files and kept out of the public header.

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "symbolic/value.hpp"

namespace zarnik::symbolic::detail {

// Throws std::invalid_argument "symbolic value dimension must be in 1..4"
// unless 1 <= dimension <= 4.
void require_dimension(int dimension);

// Throws std::invalid_argument unless `value` has 1..4 lanes, all finite.
// Spare lanes are never examined.
void require_finite(const SmallValue& value);

// The errors that several places raise, each text in one place.
[[noreturn]] void raise_not_finite();          // std::invalid_argument
[[noreturn]] void raise_lane_out_of_range();   // std::out_of_range
[[noreturn]] void raise_input_out_of_range();  // std::out_of_range

// The finite-lane rule: NaN fails because every comparison with it is false.
inline bool is_finite_lane(double lane) noexcept { return std::fabs(lane) <= std::numeric_limits<double>::max(); }

// backward's seed rules, for an output of `dimension` lanes: a seed must be
// finite and of the output's dimension; without one, the output must be a
// scalar, seeded with 1.
void require_seed(const SmallValue& seed, int dimension);
SmallValue default_seed(int dimension);

// Throws std::invalid_argument "<label> is not a valid symbolic value" on an empty handle.
void require_valid(const Value& value, const char* label);

// A fresh node with every field at its default, component_index -1 and the
// next id. The id is taken after the allocation succeeded, so a failed
// allocation consumes none.
std::shared_ptr<ValueNode> allocate_node();

// What the graph walks need of a handle beyond its public members: the node
// in place, and how many owners it has.
struct NodeAccess {
    static ValueNode* node(const Value& value) noexcept { return value.node_.get(); }
    // One owner means one input slot of the graph (or the caller's handle) holds
    // the node: a walk from above reaches it exactly once.
    static long owners(const Value& value) noexcept { return value.node_.use_count(); }
};

}  // namespace zarnik::symbolic::detail
