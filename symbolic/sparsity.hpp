#pragma once

// Sparse derivatives of a compiled function: the structural patterns of its
// Jacobian and of the Hessian of a weighted sum of its outputs (a
// Lagrangian), found from the graph, and their values at given inputs,
// computed in as few sweeps as the pattern allows. A pattern is found once;
// each evaluation then costs one sweep per colour of the pattern, plus work
// proportional to its entries, never a dense matrix. Where the sweeps of all
// colours together make no more nodes than the sweeps one by one go through
// (and at most 8 times the graph below the outputs), they are made one
// function, whose evaluation computes the values below them once and each
// colour's derivatives only where that colour reaches.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "symbolic/function.hpp"
#include "symbolic/small_value.hpp"

namespace zarnik::symbolic {

// The entries of a rows x columns matrix that may be non-zero, column after
// column, rows ascending within a column: the order of a compressed sparse
// column matrix. Every other entry is zero at all values of the inputs.
struct SparsityPattern {
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::vector<std::size_t> row_indices;     // per entry
    std::vector<std::size_t> column_indices;  // per entry
    std::vector<std::size_t> column_starts;   // columns + 1: column c's entries are [starts[c], starts[c + 1])

    std::size_t entries() const noexcept { return row_indices.size(); }
};

// The pattern of the Jacobian of all output lanes (rows) with respect to the
// lanes of the inputs at the positions `wrt` (columns, in that order). Lane
// by lane: an output lane's row holds exactly the input lanes it reaches
// through operations whose derivative is not zero everywhere (a component
// reaches one lane of its vector; sign and step reach nothing). Found in one
// pass over the function's program, in time and memory linear in it when
// each lane depends on a bounded number of input lanes.
//
// Throws std::invalid_argument when a position is out of range or given twice.
SparsityPattern jacobian_sparsity(const Function& function, std::span<const std::size_t> wrt);

// The pattern of the Hessian of a weighted sum of all output lanes, over the
// lanes of the inputs at `wrt` (the Hessian of the output itself for a
// function of one scalar output): symmetric, both triangles held. An entry
// (i, j) is there when some operation that reaches an output has a non-zero
// second derivative between operands that depend on lanes i and j: x * y
// couples the lanes of x with those of y, x * x each lane of x with each
// other, x + y nothing, sin(u) the lanes of u among themselves, a / b those of
// a with those of b and those of b among themselves. Which operand each
// first derivative depends on is read from the operations' own derivative
// rules.
SparsityPattern hessian_sparsity(const Function& function, std::span<const std::size_t> wrt);

// Colourings of a pattern, greedy in index order: colours 0, 1, ... per column
// (or row), with colour_count() colours in all.
struct Colouring {
    std::vector<std::uint32_t> colours;
    std::uint32_t count = 0;
};

// No two columns of one colour share a row (a distance-2 colouring of the
// columns): one forward sweep per colour, seeded along all its columns,
// gives every entry of them.
Colouring column_colouring(const SparsityPattern& pattern);
// No two rows of one colour share a column: one reverse sweep per colour.
Colouring row_colouring(const SparsityPattern& pattern);
// For a symmetric pattern: a star colouring of its graph (neighbours differ,
// and every path of four lanes has three colours at least), so that each
// entry is read from one Hessian-vector product along the lanes of one colour
// (Powell and Toint's symmetric substitution-free recovery).
Colouring star_colouring(const SparsityPattern& pattern);

// The Jacobian of a compiled function over the lanes of the inputs at `wrt`,
// as the values of its pattern's entries. Compression by the colouring with
// fewer colours: columns (one forward sweep, a jvp, per colour) or rows (one
// reverse sweep, a vector-Jacobian product, per colour). Each entry is the
// derivative that one sweep gives for it alone: the forward sweeps' columns
// agree with Function::jacobian's reverse sweeps to rounding, and the
// reverse sweeps over a sum of output lanes add the same terms in the order
// of that sum's sweep. The sweeps are derivative graphs, which fail where a
// value on the way is not finite (a derivative of sqrt at 0), as jvp does.
// Immutable once made: calls may run on several threads at once.
class SparseJacobian {
public:
    enum class Method { Forward, Reverse };

    SparseJacobian(const Function& function, std::span<const std::size_t> wrt);

    const SparsityPattern& pattern() const noexcept;
    Method method() const noexcept;
    // The sweeps per evaluation.
    std::size_t sweeps() const noexcept;
    // The colouring of the columns (Forward) or rows (Reverse).
    const Colouring& colouring() const noexcept;

    // The entries at `inputs` (one value per input), in the pattern's order,
    // into `values` (pattern().entries() values). `check`, when given, runs
    // between sweeps that run one by one (not fused into one function); what
    // it throws stops the call.
    void operator()(std::span<const SmallValue> inputs, std::span<double> values,
                    const std::function<void()>& check = {}) const;

private:
    struct State;
    std::shared_ptr<const State> state_;
};

// The Hessian of the weighted sum of a compiled function's output lanes over
// the lanes of the inputs at `wrt`, as the values of its pattern's entries
// (both triangles, the two of a pair the same number): one Hessian-vector
// product per colour of a star colouring, each a forward sweep over the
// gradient graph. Each entry is one sweep's derivative for it alone, so that
// it agrees with Hessian's entry to rounding. Immutable once made.
class SparseHessian {
public:
    SparseHessian(const Function& function, std::span<const std::size_t> wrt);

    const SparsityPattern& pattern() const noexcept;
    std::size_t sweeps() const noexcept;
    const Colouring& colouring() const noexcept;

    // The entries at `inputs` with one weight per output lane (output_lanes()
    // values: the Lagrangian's multipliers; 1 for the output itself), in the
    // pattern's order, into `values`; `check` as SparseJacobian's.
    void operator()(std::span<const SmallValue> inputs, std::span<const double> weights, std::span<double> values,
                    const std::function<void()>& check = {}) const;

private:
    struct State;
    std::shared_ptr<const State> state_;
};

// A compiled function's sparse derivatives, each made on first use for each
// `wrt` and kept: a solver asks for the patterns once and for the values at
// every iteration. Safe to use from several threads at once.
class SparseDerivatives {
public:
    explicit SparseDerivatives(Function function);

    const Function& function() const noexcept;
    std::shared_ptr<const SparseJacobian> jacobian(const std::vector<std::size_t>& wrt) const;
    std::shared_ptr<const SparseHessian> hessian(const std::vector<std::size_t>& wrt) const;

private:
    struct Cache;
    Function function_;
    std::shared_ptr<Cache> cache_;
};

}  // namespace zarnik::symbolic
