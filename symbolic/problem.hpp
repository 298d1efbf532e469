#pragma once

// A nonlinear program, min f(x) subject to bounds on g(x), as an
// interior-point or SQP solver asks for it: the objective and its gradient,
// the constraints, the constraints' sparse Jacobian and the sparse Hessian of
// the Lagrangian, each over one flat vector of variables, with the patterns
// fixed once. Solvers call these at every iteration; the patterns and the
// sweeps behind them are found when the problem is made.

#include <cstddef>
#include <functional>
#include <memory>
#include <span>

#include "symbolic/function.hpp"
#include "symbolic/sparsity.hpp"

namespace zarnik::symbolic {

class NonlinearProblem {
public:
    // `function`'s input lanes, in order, are the variables; its first output
    // (one lane) is the objective, the lanes of the others, in order, are the
    // constraints. Parameters that are not inputs are read at each call, as
    // the function reads them. Throws std::invalid_argument when the first
    // output has more than one lane.
    explicit NonlinearProblem(Function function);

    const Function& function() const noexcept;
    std::size_t variables() const noexcept;
    std::size_t constraints() const noexcept;

    // The constraints' Jacobian: constraints() x variables().
    const SparsityPattern& jacobian_pattern() const noexcept;
    // The lower triangle (row >= column) of the Lagrangian's Hessian,
    // variables() x variables(): the half a symmetric solver reads.
    const SparsityPattern& hessian_pattern() const noexcept;

    // Each takes the variables (variables() values). `check`, when given,
    // runs between sweeps; what it throws stops the call. A value that is not
    // finite on the way throws what the function's calls throw.
    double objective(std::span<const double> x) const;
    // The objective's gradient into `gradient` (variables() values); returns
    // the objective.
    double gradient(std::span<const double> x, std::span<double> gradient) const;
    // The constraints' values into `values` (constraints() values).
    void constraint_values(std::span<const double> x, std::span<double> values) const;
    // The Jacobian's entries, in jacobian_pattern()'s order.
    void jacobian(std::span<const double> x, std::span<double> values, const std::function<void()>& check = {}) const;
    // The entries of hessian_pattern() of objective_factor * f + sum of
    // multipliers[i] * g_i (constraints() multipliers).
    void hessian(std::span<const double> x, double objective_factor, std::span<const double> multipliers,
                 std::span<double> values, const std::function<void()>& check = {}) const;

private:
    struct State;
    std::shared_ptr<const State> state_;
};

}  // namespace zarnik::symbolic
