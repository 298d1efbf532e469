#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "symbolic/derivatives.hpp"
#include "symbolic/derivatives/derivative_graphs.hpp"
#include "symbolic/expression.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/graph/internal.hpp"

namespace zarnik::symbolic {

namespace {

// "1 input", "2 inputs".
std::string count_of(std::size_t count, const char* thing) {
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

void require_scalar_output(const Function& function, const char* what) {
    if (function.output_lanes() != 1) {
        throw std::invalid_argument(std::string(what) + " needs a function of one scalar output, not of " +
                                    count_of(function.output_lanes(), "lane"));
    }
}

// A value given for input k: of the input's dimension, and finite unless the
// function propagates what is not.
void require_lanes(const SmallValue& value, const Value& input, const char* what, std::size_t k,
                   const Function& function) {
    if (function.nonfinite() == NonFinite::raise) {
        detail::require_finite(value);
    }
    if (value.dimension != input.dimension()) {
        throw std::invalid_argument(std::string(what) + " " + std::to_string(k) + " of the function has " +
                                    count_of(static_cast<std::size_t>(input.dimension()), "lane") + ", not " +
                                    std::to_string(value.dimension));
    }
}

// A unit vector of `dimension` lanes along `lane`.
Value unit(int dimension, int lane) {
    SmallValue lanes;
    lanes.dimension = dimension;
    lanes.lanes[static_cast<std::size_t>(lane)] = 1.0;
    return constant(lanes);
}

// One placeholder per input, of its dimension: the directions of a forward sweep.
std::vector<Value> directions_for(const std::vector<Value>& inputs, const char* name) {
    std::vector<Value> directions;
    directions.reserve(inputs.size());
    for (const Value& input : inputs) {
        directions.push_back(undefined(input.dimension(), name));
    }
    return directions;
}

std::vector<Value> joined(const std::vector<Value>& first, const std::vector<Value>& second) {
    std::vector<Value> all = first;
    all.insert(all.end(), second.begin(), second.end());
    return all;
}

}  // namespace

// --- Hessian --------------------------------------------------------------------------

Hessian::Hessian(const Function& function, const std::vector<std::size_t>& wrt, std::optional<Method> method) {
    require_scalar_output(function, "a Hessian");
    const std::vector<Value>& inputs = function.inputs();
    std::vector<std::size_t> first_lane;
    std::size_t lanes = 0;
    for (const Value& input : inputs) {
        first_lane.push_back(lanes);
        lanes += static_cast<std::size_t>(input.dimension());
    }
    std::vector<Value> leaves;
    std::vector<bool> taken(inputs.size(), false);
    // Per Hessian lane: its leaf among `leaves` and its lane in that leaf.
    std::vector<std::pair<std::size_t, int>> lane_of;
    for (const std::size_t k : wrt) {
        if (k >= inputs.size()) {
            throw std::invalid_argument("a Hessian's input " + std::to_string(k) + " is not one of the function's " +
                                        count_of(inputs.size(), "input"));
        }
        if (taken[k]) {
            throw std::invalid_argument("a Hessian's inputs must be distinct");
        }
        taken[k] = true;
        for (int l = 0; l < inputs[k].dimension(); ++l) {
            wrt_lanes_.push_back(first_lane[k] + static_cast<std::size_t>(l));
            lane_of.emplace_back(leaves.size(), l);
        }
        leaves.push_back(inputs[k]);
    }
    lanes_ = wrt_lanes_.size();

    const std::vector<Value> gradients = gradient(function.outputs().front(), leaves);
    if (lanes_ == 0) {
        // Nothing to differentiate: calls still check their inputs, and fail, as the function's do.
        method_ = Method::ReverseOverReverse;
        entries_ = std::make_shared<const Function>(inputs, function.outputs(), function.nonfinite());
        return;
    }
    if (method == Method::ReverseOverReverse) {
        method_ = Method::ReverseOverReverse;
        entries_ = std::make_shared<const Function>(inputs, gradients, function.nonfinite());
        return;
    }
    const detail::DerivativeGraph graph(gradients);
    // Per call, the reverse sweeps cost a forward sweep over the gradient
    // graph and, per lane, a reverse sweep over about as many instructions,
    // each costing about what a forward instruction costs; the forward
    // sweeps' graph costs one forward instruction per node it adds. It is
    // built within the first budget, which also bounds what building it
    // costs, and the reverse sweeps are taken when the budget runs out.
    std::size_t budget = method ? std::numeric_limits<std::size_t>::max() : lanes_ * graph.size();
    // The entries of the lower triangle, column by column. Those that are
    // constants (the structural zeros of a sparse Hessian, and more) are
    // written into the matrix that every call starts from; the others are
    // the outputs of one function, four to an output: a function records each
    // output's own order of instructions, and neighbouring entries share
    // most of theirs.
    fixed_.assign(lanes_ * lanes_, 0.0);
    std::vector<Value> outputs;
    std::array<Value, 4> group;
    std::size_t grouped = 0;
    const auto flush = [&outputs, &group, &grouped] {
        switch (grouped) {
            case 0: break;
            case 1: outputs.push_back(group[0]); break;
            case 2: outputs.push_back(vec2(group[0], group[1])); break;
            case 3: outputs.push_back(vec3(group[0], group[1], group[2])); break;
            default: outputs.push_back(vec4(group[0], group[1], group[2], group[3])); break;
        }
        grouped = 0;
    };
    // Each entry is the derivative along the one of its two lanes that comes
    // first among the function's inputs, so that a block in any order holds
    // the bits of the whole matrix.
    std::vector<std::size_t> by_input_lane(lanes_);
    std::iota(by_input_lane.begin(), by_input_lane.end(), std::size_t{0});
    std::ranges::sort(by_input_lane, {}, [this](std::size_t k) { return wrt_lanes_[k]; });
    for (std::size_t c = 0; c < lanes_; ++c) {
        const std::size_t column = by_input_lane[c];
        const auto [leaf, lane] = lane_of[column];
        const Value direction = unit(leaves[leaf].dimension(), lane);
        const std::optional<std::vector<Value>> tangents =
            graph.tangents(std::span<const Value>(&leaves[leaf], 1), std::span<const Value>(&direction, 1), budget);
        if (!tangents) {
            method_ = Method::ReverseOverReverse;
            fixed_.clear();
            entries_ = std::make_shared<const Function>(inputs, gradients, function.nonfinite());
            return;
        }
        for (std::size_t r = c; r < lanes_; ++r) {
            const std::size_t row = by_input_lane[r];
            const auto [row_leaf, row_lane] = lane_of[row];
            const Value entry = component((*tangents)[row_leaf], row_lane);
            if (entry.is_constant()) {
                fixed_[row * lanes_ + column] = entry.value()[0];
                fixed_[column * lanes_ + row] = entry.value()[0];
                continue;
            }
            live_.push_back({static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(column)});
            group[grouped++] = entry;
            if (grouped == 4) {
                flush();
            }
        }
    }
    flush();
    method_ = Method::ForwardOverReverse;
    // With no entry to compute, calls still check their inputs and fail as the function's do.
    entries_ = std::make_shared<const Function>(inputs, outputs.empty() ? function.outputs() : std::move(outputs),
                                                function.nonfinite());
}

std::size_t Hessian::lanes() const noexcept { return lanes_; }

double Hessian::swept_entry(std::span<const double> jacobian, std::size_t columns, std::size_t row,
                            std::size_t column) const noexcept {
    // The gradient's lane that comes later among the inputs, along the earlier lane.
    if (wrt_lanes_[row] < wrt_lanes_[column]) {
        std::swap(row, column);
    }
    return jacobian[row * columns + wrt_lanes_[column]];
}
Hessian::Method Hessian::method() const noexcept { return method_; }

void Hessian::operator()(std::span<const SmallValue> inputs, std::span<double> hessian) const {
    if (hessian.size() != lanes_ * lanes_) {
        throw std::invalid_argument("the Hessian needs room for lanes times lanes values");
    }
    if (lanes_ == 0) {
        static_cast<void>((*entries_)(inputs));  // the same checks and failures as a call
        return;
    }
    if (method_ == Method::ForwardOverReverse) {
        const std::vector<SmallValue> entries = (*entries_)(inputs);
        std::copy(fixed_.begin(), fixed_.end(), hessian.begin());
        for (std::size_t k = 0; k < live_.size(); ++k) {
            const auto [row, column] = live_[k];
            const double entry = entries[k / 4][static_cast<int>(k % 4)];
            hessian[row * lanes_ + column] = entry;
            hessian[column * lanes_ + row] = entry;
        }
        return;
    }
    const std::size_t columns = entries_->input_lanes();
    std::vector<double> jacobian(lanes_ * columns);
    entries_->jacobian(inputs, jacobian);
    for (std::size_t column = 0; column < lanes_; ++column) {
        for (std::size_t row = column; row < lanes_; ++row) {
            const double entry = swept_entry(jacobian, columns, row, column);
            hessian[row * lanes_ + column] = entry;
            hessian[column * lanes_ + row] = entry;
        }
    }
}

std::vector<double> Hessian::parameter_values() const { return entries_->parameter_values(); }

void Hessian::rows(std::size_t rows, std::span<const double* const> inputs, double* hessians,
                   std::span<const double> parameter_values, const std::function<void()>& check) const {
    std::vector<RowInput> given;
    given.reserve(inputs.size());
    for (const double* const input : inputs) {
        given.push_back(RowInput::per_row(input));
    }
    this->rows(rows, given, hessians, parameter_values, check);
}

void Hessian::rows(std::size_t rows, std::span<const RowInput> inputs, double* hessians,
                   std::span<const double> parameter_values, const std::function<void()>& check) const {
    const std::size_t size = lanes_ * lanes_;
    // One thread, as a call's rows: the caller's check runs between its blocks.
    RowOptions options;
    options.threads = 1;
    options.parameter_values = parameter_values;
    options.check = check;
    if (lanes_ == 0) {
        // Only the checks and failures of the function's own rows.
        std::vector<std::vector<double>> outputs;
        std::vector<double*> pointers;
        for (const Value& output : entries_->outputs()) {
            outputs.emplace_back(rows * static_cast<std::size_t>(output.dimension()));
            pointers.push_back(outputs.back().data());
        }
        evaluate_rows(*entries_, rows, inputs, pointers, options);
        return;
    }
    if (method_ == Method::ForwardOverReverse) {
        // Output j holds live entries 4j.. of every row, row after row.
        const std::size_t count = live_.size();
        std::vector<double> entries(std::max<std::size_t>(count, 1) * rows);
        std::vector<double*> outputs;
        for (std::size_t first = 0; first < std::max<std::size_t>(count, 1); first += 4) {
            outputs.push_back(entries.data() + first * rows);
        }
        evaluate_rows(*entries_, rows, inputs, outputs, options);
        for (std::size_t r = 0; r < rows; ++r) {
            double* const hessian = hessians + r * size;
            std::copy(fixed_.begin(), fixed_.end(), hessian);
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t width = std::min<std::size_t>(4, count - (k - k % 4));
                const double entry = outputs[k / 4][r * width + k % 4];
                const auto [row, column] = live_[k];
                hessian[row * lanes_ + column] = entry;
                hessian[column * lanes_ + row] = entry;
            }
        }
        return;
    }
    const std::size_t columns = entries_->input_lanes();
    std::vector<double> jacobians(rows * lanes_ * columns);
    std::vector<std::size_t> every(entries_->inputs().size());
    std::iota(every.begin(), every.end(), std::size_t{0});
    jacobian_rows(*entries_, rows, inputs, every, jacobians.data(), options);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::span<const double> jacobian(jacobians.data() + r * lanes_ * columns, lanes_ * columns);
        double* const hessian = hessians + r * size;
        for (std::size_t column = 0; column < lanes_; ++column) {
            for (std::size_t row = column; row < lanes_; ++row) {
                const double entry = swept_entry(jacobian, columns, row, column);
                hessian[row * lanes_ + column] = entry;
                hessian[column * lanes_ + row] = entry;
            }
        }
    }
}

// --- FunctionDerivatives ---------------------------------------------------------------

struct FunctionDerivatives::Cache {
    std::mutex mutex;
    std::optional<Function> jvp;  // the inputs and their tangents, to the outputs and theirs
    std::optional<Function> hvp;  // the inputs and a vector, to the Hessian times the vector
    std::map<std::vector<std::size_t>, std::shared_ptr<const Hessian>> hessians;
};

FunctionDerivatives::FunctionDerivatives(Function function)
    : function_(std::move(function)), cache_(std::make_shared<Cache>()) {}

const Function& FunctionDerivatives::function() const noexcept { return function_; }

void FunctionDerivatives::jvp(std::span<const SmallValue> inputs, std::span<const SmallValue> tangents,
                              std::span<SmallValue> outputs, std::span<SmallValue> output_tangents) const {
    const std::vector<Value>& leaves = function_.inputs();
    if (inputs.size() != leaves.size() || tangents.size() != leaves.size()) {
        throw std::invalid_argument("the function takes " + count_of(leaves.size(), "input") +
                                    " and as many tangents, not " + std::to_string(inputs.size()) + " and " +
                                    std::to_string(tangents.size()));
    }
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        require_lanes(inputs[k], leaves[k], "input", k, function_);
    }
    for (std::size_t k = 0; k < tangents.size(); ++k) {
        require_lanes(tangents[k], leaves[k], "tangent", k, function_);
    }
    const std::size_t count = function_.outputs().size();
    if (outputs.size() != count || output_tangents.size() != count) {
        throw std::invalid_argument("the outputs and their tangents need room for one value per output");
    }
    const Function* compiled = nullptr;
    {
        const std::lock_guard lock(cache_->mutex);
        if (!cache_->jvp) {
            const std::vector<Value> directions = directions_for(leaves, "tangent");
            const std::vector<Value> derivatives = directional_derivatives(function_.outputs(), leaves, directions);
            cache_->jvp.emplace(joined(leaves, directions), joined(function_.outputs(), derivatives),
                                function_.nonfinite());
        }
        compiled = &*cache_->jvp;
    }
    std::vector<SmallValue> all(inputs.begin(), inputs.end());
    all.insert(all.end(), tangents.begin(), tangents.end());
    const std::vector<SmallValue> results = (*compiled)(all);
    std::copy_n(results.begin(), count, outputs.begin());
    std::copy_n(results.begin() + static_cast<std::ptrdiff_t>(count), count, output_tangents.begin());
}

void FunctionDerivatives::hvp(std::span<const SmallValue> inputs, std::span<const double> vector,
                              std::span<double> product) const {
    require_scalar_output(function_, "a Hessian-vector product");
    const std::vector<Value>& leaves = function_.inputs();
    const std::size_t lanes = function_.input_lanes();
    if (vector.size() != lanes || product.size() != lanes) {
        throw std::invalid_argument("the vector must have the function's " + count_of(lanes, "input lane") + ", not " +
                                    std::to_string(vector.size()));
    }
    if (inputs.size() != leaves.size()) {
        throw std::invalid_argument("the function takes " + count_of(leaves.size(), "input") + ", not " +
                                    std::to_string(inputs.size()));
    }
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        require_lanes(inputs[k], leaves[k], "input", k, function_);
    }
    if (lanes == 0) {
        // No lane to move (and no function of none to compile): the call's checks and failures only.
        static_cast<void>(function_(inputs));
        return;
    }
    const Function* compiled = nullptr;
    {
        const std::lock_guard lock(cache_->mutex);
        if (!cache_->hvp) {
            const std::vector<Value> directions = directions_for(leaves, "vector");
            const std::vector<Value> gradients = gradient(function_.outputs().front(), leaves);
            cache_->hvp.emplace(joined(leaves, directions), directional_derivatives(gradients, leaves, directions),
                                function_.nonfinite());
        }
        compiled = &*cache_->hvp;
    }
    std::vector<SmallValue> all(inputs.begin(), inputs.end());
    std::size_t next = 0;
    for (const Value& leaf : leaves) {
        SmallValue part;
        part.dimension = leaf.dimension();
        for (std::size_t i = 0; i < static_cast<std::size_t>(part.dimension); ++i) {
            part.lanes[i] = vector[next++];
        }
        if (function_.nonfinite() == NonFinite::raise) {
            detail::require_finite(part);
        }
        all.push_back(part);
    }
    const std::vector<SmallValue> results = (*compiled)(all);
    next = 0;
    for (const SmallValue& part : results) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(part.dimension); ++i) {
            product[next++] = part.lanes[i];
        }
    }
}

std::shared_ptr<const Hessian> FunctionDerivatives::hessian(const std::vector<std::size_t>& wrt) const {
    const std::lock_guard lock(cache_->mutex);
    std::shared_ptr<const Hessian>& known = cache_->hessians[wrt];
    if (!known) {
        try {
            known = std::make_shared<const Hessian>(function_, wrt);
        } catch (...) {
            cache_->hessians.erase(wrt);
            throw;
        }
    }
    return known;
}

}  // namespace zarnik::symbolic
