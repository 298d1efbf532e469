#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "symbolic/graph/internal.hpp"
#include "symbolic/problem.hpp"

namespace zarnik::symbolic {

namespace {

std::vector<std::size_t> every_position(const Function& function) {
    std::vector<std::size_t> positions(function.inputs().size());
    std::iota(positions.begin(), positions.end(), std::size_t{0});
    return positions;
}

// The objective alone, and the constraints alone, as functions of the same
// inputs: each callback then runs only the program it needs.
Function objective_of(const Function& function) {
    if (function.outputs().front().dimension() != 1) {
        throw std::invalid_argument("a nonlinear problem's objective must be one lane, not " +
                                    std::to_string(function.outputs().front().dimension()));
    }
    return Function(function.inputs(), {function.outputs().front()}, function.nonfinite());
}

std::optional<Function> constraints_of(const Function& function) {
    if (function.outputs().size() == 1) {
        return std::nullopt;
    }
    return Function(function.inputs(), std::vector<Value>(function.outputs().begin() + 1, function.outputs().end()),
                    function.nonfinite());
}

// The entries of a symmetric pattern on and below its diagonal, in its
// order, and where each sits among all of them.
std::pair<SparsityPattern, std::vector<std::size_t>> lower_triangle(const SparsityPattern& full) {
    SparsityPattern lower;
    lower.rows = full.rows;
    lower.columns = full.columns;
    lower.column_starts.assign(full.columns + 1, 0);
    std::vector<std::size_t> taken;
    for (std::size_t column = 0; column < full.columns; ++column) {
        for (std::size_t entry = full.column_starts[column]; entry < full.column_starts[column + 1]; ++entry) {
            if (full.row_indices[entry] >= column) {
                lower.row_indices.push_back(full.row_indices[entry]);
                lower.column_indices.push_back(column);
                taken.push_back(entry);
            }
        }
        lower.column_starts[column + 1] = lower.row_indices.size();
    }
    return {std::move(lower), std::move(taken)};
}

}  // namespace

struct NonlinearProblem::State {
    Function function;
    Function objective;
    std::optional<Function> constraints;             // none without constraints
    std::shared_ptr<const SparseJacobian> jacobian;  // null without constraints
    SparseHessian hessian;
    SparsityPattern empty_jacobian;
    SparsityPattern lower;
    std::vector<std::size_t> lower_entries;  // of the full Hessian pattern's

    explicit State(Function f)
        : function(std::move(f)),
          objective(objective_of(function)),
          constraints(constraints_of(function)),
          jacobian(constraints ? std::make_shared<const SparseJacobian>(*constraints, every_position(*constraints))
                               : nullptr),
          hessian(function, every_position(function)) {
        empty_jacobian.rows = 0;
        empty_jacobian.columns = function.input_lanes();
        empty_jacobian.column_starts.assign(function.input_lanes() + 1, 0);
        std::tie(lower, lower_entries) = lower_triangle(hessian.pattern());
    }

    // One value per input, from the flat variables.
    std::vector<SmallValue> inputs(std::span<const double> x) const {
        if (x.size() != function.input_lanes()) {
            throw std::invalid_argument("a nonlinear problem of " + std::to_string(function.input_lanes()) +
                                        " variables was given " + std::to_string(x.size()));
        }
        std::vector<SmallValue> values(function.inputs().size());
        std::size_t at = 0;
        for (std::size_t k = 0; k < values.size(); ++k) {
            values[k].dimension = function.inputs()[k].dimension();
            std::copy_n(x.begin() + static_cast<std::ptrdiff_t>(at), values[k].dimension, values[k].lanes.begin());
            at += static_cast<std::size_t>(values[k].dimension);
        }
        return values;
    }
};

namespace {

void expect_room(std::span<double> room, std::size_t size, const char* what) {
    if (room.size() != size) {
        throw std::invalid_argument(std::string("a nonlinear problem's ") + what + " takes " + std::to_string(size) +
                                    " values, not " + std::to_string(room.size()));
    }
}

}  // namespace

NonlinearProblem::NonlinearProblem(Function function) : state_(std::make_shared<const State>(std::move(function))) {}

const Function& NonlinearProblem::function() const noexcept { return state_->function; }
std::size_t NonlinearProblem::variables() const noexcept { return state_->function.input_lanes(); }
std::size_t NonlinearProblem::constraints() const noexcept { return state_->function.output_lanes() - 1; }

const SparsityPattern& NonlinearProblem::jacobian_pattern() const noexcept {
    return state_->jacobian ? state_->jacobian->pattern() : state_->empty_jacobian;
}

const SparsityPattern& NonlinearProblem::hessian_pattern() const noexcept { return state_->lower; }

double NonlinearProblem::objective(std::span<const double> x) const {
    return state_->objective(state_->inputs(x)).front().lanes[0];
}

double NonlinearProblem::gradient(std::span<const double> x, std::span<double> gradient) const {
    expect_room(gradient, variables(), "gradient");
    SmallValue value;
    state_->objective.jacobian(state_->inputs(x), gradient, std::span<SmallValue>(&value, 1));
    // A reverse sweep carries 0 * inf as NaN where a backward pass would;
    // the sparse sweeps fail there, and so does the gradient, so that a
    // solver sees every derivative that is not finite as a failed call.
    if (!std::all_of(gradient.begin(), gradient.end(), detail::is_finite_lane)) {
        detail::raise_not_finite();
    }
    return value.lanes[0];
}

void NonlinearProblem::constraint_values(std::span<const double> x, std::span<double> values) const {
    expect_room(values, constraints(), "constraint values");
    if (!state_->jacobian) {
        state_->inputs(x);  // checks the variables' count
        return;
    }
    const std::vector<SmallValue> outputs = (*state_->constraints)(state_->inputs(x));
    auto to = values.begin();
    for (const SmallValue& output : outputs) {
        to = std::copy_n(output.lanes.begin(), output.dimension, to);
    }
}

void NonlinearProblem::jacobian(std::span<const double> x, std::span<double> values,
                                const std::function<void()>& check) const {
    expect_room(values, jacobian_pattern().entries(), "Jacobian");
    const std::vector<SmallValue> inputs = state_->inputs(x);
    if (state_->jacobian) {
        (*state_->jacobian)(inputs, values, check);
    }
}

void NonlinearProblem::hessian(std::span<const double> x, double objective_factor, std::span<const double> multipliers,
                               std::span<double> values, const std::function<void()>& check) const {
    expect_room(values, hessian_pattern().entries(), "Hessian");
    if (multipliers.size() != constraints()) {
        throw std::invalid_argument("a nonlinear problem of " + std::to_string(constraints()) +
                                    " constraints was given " + std::to_string(multipliers.size()) + " multipliers");
    }
    std::vector<double> weights(constraints() + 1);
    weights.front() = objective_factor;
    std::copy(multipliers.begin(), multipliers.end(), weights.begin() + 1);
    std::vector<double> full(state_->hessian.pattern().entries());
    state_->hessian(state_->inputs(x), weights, full, check);
    for (std::size_t k = 0; k < state_->lower_entries.size(); ++k) {
        values[k] = full[state_->lower_entries[k]];
    }
}

}  // namespace zarnik::symbolic
