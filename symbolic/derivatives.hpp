#pragma once

// Derivatives as graphs: gradients and directional derivatives built from the
// library's own operations, so that they fold, evaluate, compile into tapes
// and functions, and can be differentiated again; and, on a compiled function,
// Jacobian-vector products, Hessian-vector products and Hessians.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "symbolic/function.hpp"
#include "symbolic/rows.hpp"
#include "symbolic/value.hpp"

namespace zarnik::symbolic {

// The gradient of the scalar `output` with respect to each leaf of `wrt`
// (parameters and placeholders): one expression per leaf, of its dimension.
// Evaluated, each gives bit for bit what `output.backward()` adds into a
// cleared gradient of that leaf: the same operations in the same order (a
// reverse sweep over the graph, each contribution made by the rule that the
// sweep runs). A leaf that `output` does not depend on gets a constant zero.
// The graph below `output` is reused, not copied, so the gradient of a graph
// of n nodes has O(n) nodes.
//
// As every graph, a gradient graph fails at evaluation where one of its
// values is not finite: where backward passes an infinite or NaN derivative
// on (sqrt at 0, atan2 at the origin, ...) and where an intermediate
// overflows (a divisor beyond about 1e154 is squared).
//
// Throws std::invalid_argument when `output` is empty or not a scalar, when
// a leaf of `wrt` is empty or not a parameter or placeholder, and when the
// graph holds a node that the builders do not make (make_expression's).
std::vector<Value> gradient(const Value& output, std::span<const Value> wrt);
std::vector<Value> gradient(const Value& output, std::initializer_list<Value> wrt);

// The derivatives of `outputs` in the direction that moves each leaf of
// `wrt` (distinct parameters and placeholders) along the matching value of
// `directions` (any values of the leaf's dimension, often placeholders): one
// expression per output, of its dimension, by a forward sweep through the
// same rules. An output that depends on none of the leaves gets a constant
// zero.
//
// Throws std::invalid_argument for an empty handle, a leaf that is not a
// parameter or placeholder or is given twice, a direction whose dimension is
// not its leaf's, sequences of different lengths, or a graph holding a node
// that the builders do not make.
std::vector<Value> directional_derivatives(std::span<const Value> outputs, std::span<const Value> wrt,
                                           std::span<const Value> directions);

// The matrix of second derivatives of a function of one scalar output over
// the lanes of some of its inputs, compiled once. Exactly symmetric: the
// lower triangle is computed and mirrored.
class Hessian {
public:
    // How the entries are computed, chosen by cost when the Hessian is made.
    enum class Method {
        // The gradient graph differentiated in the direction of each lane:
        // one graph of the lower triangle's entries, evaluated in one forward
        // sweep. Cheapest where each lane reaches a part of the graph only.
        ForwardOverReverse,
        // The compiled Jacobian of the gradient graph: one forward sweep and
        // one reverse sweep per lane. Chosen when the graph of the entries
        // would cost more than those sweeps.
        ReverseOverReverse,
    };

    // Over the lanes of the inputs at the positions `wrt` of
    // `function.inputs()`, in that order, by `method` or, without one, by the
    // cheaper. Throws std::invalid_argument when the function has more than
    // one output lane, or a position is out of range or given twice.
    Hessian(const Function& function, const std::vector<std::size_t>& wrt, std::optional<Method> method = std::nullopt);

    std::size_t lanes() const noexcept;
    Method method() const noexcept;

    // The Hessian at `inputs` (one value per input of the function), row by
    // row into `hessian` (lanes() * lanes() values).
    void operator()(std::span<const SmallValue> inputs, std::span<double> hessian) const;

    // The parameters' values that a batch reads once, before its rows.
    std::vector<double> parameter_values() const;

    // The Hessian of every row, as Function::evaluate_rows takes rows:
    // rows x lanes() x lanes() values. `check`, when given, runs between
    // blocks of rows and stops the batch with what it throws, as
    // Function::evaluate_rows's does.
    void rows(std::size_t rows, std::span<const double* const> inputs, double* hessians,
              std::span<const double> parameter_values, const std::function<void()>& check = {}) const;

    // The same with inputs as the batches of rows.hpp take them: an input
    // given once for every row is read from its lanes, never copied per row.
    void rows(std::size_t rows, std::span<const RowInput> inputs, double* hessians,
              std::span<const double> parameter_values, const std::function<void()>& check = {}) const;

private:
    // Reverse over reverse: the entry (row, column) from the Jacobian of the
    // gradient, whose rows are the Hessian's lanes and columns all input lanes.
    double swept_entry(std::span<const double> jacobian, std::size_t columns, std::size_t row,
                       std::size_t column) const noexcept;

    std::size_t lanes_ = 0;
    Method method_ = Method::ForwardOverReverse;
    std::vector<std::size_t> wrt_lanes_;  // per Hessian lane, its lane among all the inputs' lanes
    // Forward over reverse: the matrix with the entries that are constants,
    // and the place (row, column) of each entry that `entries_` computes.
    std::vector<double> fixed_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> live_;
    // The live entries of the lower triangle, or the gradient (reverse over reverse).
    std::shared_ptr<const Function> entries_;
};

// The derivatives of a compiled function, each compiled on first use and
// kept. Safe to use from several threads at once.
class FunctionDerivatives {
public:
    explicit FunctionDerivatives(Function function);

    const Function& function() const noexcept;

    // The outputs and their derivatives in the direction `tangents` (one
    // value per input, of its dimension), in one forward sweep: one value per
    // output into each of `outputs` and `output_tangents`.
    void jvp(std::span<const SmallValue> inputs, std::span<const SmallValue> tangents, std::span<SmallValue> outputs,
             std::span<SmallValue> output_tangents) const;

    // For a function of one scalar output: its Hessian times `vector` (one
    // value per input lane), without forming the Hessian, into `product`
    // (input_lanes() values). The gradient graph's directional derivative,
    // in one forward sweep.
    void hvp(std::span<const SmallValue> inputs, std::span<const double> vector, std::span<double> product) const;

    // The Hessian over the lanes of the inputs at the positions `wrt`.
    std::shared_ptr<const Hessian> hessian(const std::vector<std::size_t>& wrt) const;

private:
    struct Cache;
    Function function_;
    std::shared_ptr<Cache> cache_;
};

}  // namespace zarnik::symbolic
