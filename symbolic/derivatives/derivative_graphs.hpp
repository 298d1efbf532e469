#pragma once

// The sweeps that build derivative graphs (derivatives.hpp), over a graph
// ordered once, so that several sweeps (one per direction, for a Hessian)
// share one walk.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "symbolic/program/reference.hpp"
#include "symbolic/value.hpp"

namespace zarnik::symbolic::detail {

class DerivativeGraph {
public:
    // The graph below `outputs`, in evaluation order. Throws
    // std::invalid_argument for an empty handle or a node that the builders
    // do not make.
    explicit DerivativeGraph(std::span<const Value> outputs);

    // The number of distinct nodes.
    std::size_t size() const noexcept { return order_.nodes.size(); }

    // The reverse sweep from output 0, a scalar, seeded with 1 (gradient()).
    std::vector<Value> gradient(std::span<const Value> wrt) const;

    // The forward sweep with the leaves `wrt` moving along `directions`
    // (directional_derivatives()). Gives nothing when it would make more
    // than `budget` expression nodes; otherwise takes what it made off
    // `budget`. A tangent that is a constant zero counts as none, so that a
    // direction along one lane of a vector reaches only what that lane does.
    std::optional<std::vector<Value>> tangents(std::span<const Value> wrt, std::span<const Value> directions,
                                               std::size_t& budget) const;

private:
    std::vector<Value> outputs_;
    std::vector<std::uint32_t> output_positions_;
    ReferenceOrder order_;
    std::vector<Value> handles_;  // per position, a handle to its node
    // Per position, whether the node is read only where a where or gate may
    // not take it, as program.hpp's mark_guarded finds for a program: its
    // contributions are gated by its adjoint, as the reverse sweep gates them.
    std::vector<bool> guarded_;
    // A leaf's position, if it is below the outputs.
    std::optional<std::uint32_t> position_of(const Value& leaf) const;

    std::vector<std::pair<const ValueNode*, std::uint32_t>> leaves_;  // the leaves and their positions, sorted
};

}  // namespace zarnik::symbolic::detail
