// The values of sparse Jacobians and Hessians: one sweep per colour of the
// pattern, each a compiled derivative graph seeded along all the lanes of
// one colour, and each entry read from the one sweep that gives it alone.
// Where they stay small, every colour's sweep is compiled into one function.

#include <algorithm>
#include <cstddef>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "symbolic/derivatives.hpp"
#include "symbolic/derivatives/derivative_graphs.hpp"
#include "symbolic/expression.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/program/function_program.hpp"
#include "symbolic/sparsity.hpp"

namespace zarnik::symbolic {

namespace {

using Read = std::pair<std::uint32_t, std::uint32_t>;  // (entry, lane of a sweep's results)

// The entries each colour's sweep gives: colour c's at [starts[c], starts[c + 1]) of `reads`.
struct Reads {
    std::vector<std::size_t> starts;
    std::vector<Read> reads;
};

// `source(e)` is (colour, lane) of entry e.
template <typename Source>
Reads bucketed(std::size_t entries, std::uint32_t colours, Source&& source) {
    Reads out;
    out.starts.assign(colours + 1, 0);
    for (std::size_t e = 0; e < entries; ++e) {
        ++out.starts[source(e).first + 1];
    }
    for (std::uint32_t c = 0; c < colours; ++c) {
        out.starts[c + 1] += out.starts[c];
    }
    out.reads.resize(entries);
    std::vector<std::size_t> next(out.starts.begin(), out.starts.end() - 1);
    for (std::size_t e = 0; e < entries; ++e) {
        const auto [colour, lane] = source(e);
        out.reads[next[colour]++] = {static_cast<std::uint32_t>(e), lane};
    }
    return out;
}

std::vector<Value> chosen(const Function& function, std::span<const std::size_t> wrt) {
    std::vector<Value> leaves;
    leaves.reserve(wrt.size());
    for (const std::size_t k : wrt) {
        leaves.push_back(function.inputs()[k]);
    }
    return leaves;
}

std::vector<Value> placeholders(const std::vector<Value>& like, const char* name) {
    std::vector<Value> out;
    out.reserve(like.size());
    for (const Value& value : like) {
        out.push_back(undefined(value.dimension(), name));
    }
    return out;
}

std::vector<Value> joined(std::vector<Value> first, const std::vector<Value>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The sum of every output lane times its weight's lane.
Value weighted_sum(const std::vector<Value>& outputs, const std::vector<Value>& weights) {
    std::optional<Value> sum;
    for (std::size_t j = 0; j < outputs.size(); ++j) {
        const Value term = weights[j] * outputs[j];
        for (int l = 0; l < term.dimension(); ++l) {
            const Value lane = term.dimension() == 1 ? term : component(term, l);
            sum = sum ? *sum + lane : lane;
        }
    }
    return *sum;
}

// Seeds of the lanes of `dims` values, 1 on the lanes whose colour is `colour`.
void seed(std::vector<SmallValue>& all, std::size_t first, const std::vector<int>& dims,
          const std::vector<std::uint32_t>& colours, std::uint32_t colour) {
    std::size_t lane = 0;
    for (std::size_t k = 0; k < dims.size(); ++k) {
        SmallValue& value = all[first + k];
        value = SmallValue{};
        value.dimension = dims[k];
        for (int l = 0; l < dims[k]; ++l, ++lane) {
            value.lanes[static_cast<std::size_t>(l)] = colours[lane] == colour ? 1.0 : 0.0;
        }
    }
}

// A sweep's results, lane after lane.
void flatten(const std::vector<SmallValue>& results, std::vector<double>& lanes) {
    lanes.clear();
    for (const SmallValue& value : results) {
        for (int l = 0; l < value.dimension; ++l) {
            lanes.push_back(value.lanes[static_cast<std::size_t>(l)]);
        }
    }
}

std::vector<int> dimensions(const std::vector<Value>& values) {
    std::vector<int> dims;
    dims.reserve(values.size());
    for (const Value& value : values) {
        dims.push_back(value.dimension());
    }
    return dims;
}

// The colours that reach an entry: the sweeps an evaluation runs.
std::size_t sweeps_of(const Reads& reads) {
    std::size_t count = 0;
    for (std::size_t c = 0; c + 1 < reads.starts.size(); ++c) {
        count += reads.starts[c] < reads.starts[c + 1] ? 1U : 0U;
    }
    return count;
}

// The entries of the pattern's longest row and of its longest column.
std::size_t longest_row(const SparsityPattern& pattern) {
    std::vector<std::size_t> lengths(pattern.rows, 0);
    for (const std::size_t r : pattern.row_indices) {
        ++lengths[r];
    }
    return lengths.empty() ? 0 : *std::max_element(lengths.begin(), lengths.end());
}

std::size_t longest_column(const SparsityPattern& pattern) {
    std::size_t longest = 0;
    for (std::size_t c = 0; c < pattern.columns; ++c) {
        longest = std::max(longest, pattern.column_starts[c + 1] - pattern.column_starts[c]);
    }
    return longest;
}

void require_room(std::span<double> values, const SparsityPattern& pattern) {
    if (values.size() != pattern.entries()) {
        throw std::invalid_argument("the sparse derivative needs room for " + std::to_string(pattern.entries()) +
                                    " values, not " + std::to_string(values.size()));
    }
}

// Every colour's forward sweep in one function: each colour's lanes move
// along constant seeds, so that its tangents exist only where it reaches, and
// the values (and, for a Hessian, the gradient graph) below them are computed
// once for all colours instead of once per sweep. Colour c's results start at
// lane offsets[c] of the function's outputs. Made only within fused_budget;
// nothing otherwise: the sweeps then run one by one.
struct Fused {
    Function function;
    std::vector<std::size_t> offsets;
};

// The fused sweeps may make as many nodes as the sweeps one by one would go
// through at each evaluation (each sweep's graph holds the values and their
// derivatives: twice the graph below the outputs, per colour), but no more
// than fused_graph_limit graphs: never more work per evaluation, and memory
// bounded by a few graphs. The swing-up of examples/swing_up.py at N = 1,000:
// its Jacobian's 4 reverse sweeps fused take 2.2 times less time, its
// Hessian's 3 forward ones 20% less; making the problem peaks at 819 MB with
// both fused, 616 MB with the Jacobian's alone, 459 MB with neither.
constexpr std::size_t fused_graph_limit = 8;

std::size_t fused_budget(std::size_t graph_nodes, std::uint32_t colours) {
    const std::size_t graphs = std::min<std::size_t>(2 * std::size_t{colours}, fused_graph_limit);
    if (graphs == 0) {
        return 0;
    }
    return graph_nodes > std::numeric_limits<std::size_t>::max() / graphs ? std::numeric_limits<std::size_t>::max()
                                                                          : graph_nodes * graphs;
}

// One function of every colour's results, `per_colour[c]` colour c's; nothing
// when no colour has any.
std::optional<Fused> fused_of(const std::vector<Value>& inputs, std::vector<std::vector<Value>> per_colour,
                              NonFinite nonfinite) {
    std::vector<Value> results;
    std::vector<std::size_t> offsets(per_colour.size() + 1, 0);
    std::size_t lanes = 0;
    for (std::size_t c = 0; c < per_colour.size(); ++c) {
        offsets[c] = lanes;
        for (Value& result : per_colour[c]) {
            lanes += static_cast<std::size_t>(result.dimension());
            results.push_back(std::move(result));
        }
    }
    offsets[per_colour.size()] = lanes;
    if (results.empty()) {
        return std::nullopt;
    }
    return Fused{Function(inputs, std::move(results), nonfinite), std::move(offsets)};
}

std::optional<Fused> fused_sweeps(const std::vector<Value>& inputs, const std::vector<Value>& outputs,
                                  const std::vector<Value>& leaves, const Colouring& colouring, const Reads& reads,
                                  NonFinite nonfinite) {
    const detail::DerivativeGraph graph(outputs);
    std::size_t budget = fused_budget(graph.size(), colouring.count);
    const std::vector<int> dims = dimensions(leaves);
    std::vector<std::vector<Value>> per_colour(colouring.count);
    std::vector<SmallValue> lanes(leaves.size());
    for (std::uint32_t c = 0; c < colouring.count; ++c) {
        if (reads.starts[c] == reads.starts[c + 1]) {
            continue;
        }
        seed(lanes, 0, dims, colouring.colours, c);
        std::vector<Value> seeds;
        seeds.reserve(leaves.size());
        for (const SmallValue& lane : lanes) {
            seeds.push_back(constant(lane));
        }
        std::optional<std::vector<Value>> tangents = graph.tangents(leaves, seeds, budget);
        if (!tangents) {
            return std::nullopt;
        }
        per_colour[c] = std::move(*tangents);
    }
    return fused_of(inputs, std::move(per_colour), nonfinite);
}

// The reverse sweeps likewise: colour c's is the gradient of the sum of the
// output lanes of its rows alone, so that it goes back only through what
// those rows reach, and the values below are computed once. Made only while
// the graphs the colours reach together stay within fused_budget.
std::optional<Fused> fused_reverse_sweeps(const std::vector<Value>& inputs, const std::vector<Value>& outputs,
                                          const std::vector<Value>& leaves, const Colouring& colouring,
                                          const Reads& reads, NonFinite nonfinite) {
    std::vector<std::optional<Value>> sums(colouring.count);
    std::size_t row = 0;
    for (const Value& output : outputs) {
        for (int l = 0; l < output.dimension(); ++l, ++row) {
            const Value lane = output.dimension() == 1 ? output : component(output, l);
            std::optional<Value>& sum = sums[colouring.colours[row]];
            sum = sum ? *sum + lane : lane;
        }
    }
    const std::size_t limit = fused_budget(detail::DerivativeGraph(outputs).size(), colouring.count);
    std::vector<std::optional<detail::DerivativeGraph>> graphs(colouring.count);
    std::size_t reached = 0;
    for (std::uint32_t c = 0; c < colouring.count; ++c) {
        if (reads.starts[c] < reads.starts[c + 1] && sums[c]) {
            graphs[c].emplace(std::span<const Value>(&*sums[c], 1));
            reached += graphs[c]->size();
            if (reached > limit) {
                return std::nullopt;
            }
        }
    }
    std::vector<std::vector<Value>> per_colour(colouring.count);
    for (std::uint32_t c = 0; c < colouring.count; ++c) {
        if (graphs[c]) {
            per_colour[c] = graphs[c]->gradient(leaves);
        }
    }
    return fused_of(inputs, std::move(per_colour), nonfinite);
}

// Reads every colour's entries from one evaluation of the fused sweeps.
void read_fused(const Fused& fused, const Reads& reads, std::span<const SmallValue> all, std::span<double> values) {
    std::vector<double> lanes;
    flatten(fused.function(all), lanes);
    for (std::size_t c = 0; c + 1 < reads.starts.size(); ++c) {
        for (std::size_t r = reads.starts[c]; r < reads.starts[c + 1]; ++r) {
            const auto [entry, lane] = reads.reads[r];
            values[entry] = lanes[fused.offsets[c] + lane];
        }
    }
}

}  // namespace

// --- SparseJacobian -------------------------------------------------------------------

struct SparseJacobian::State {
    Function function;
    SparsityPattern pattern;
    Method method = Method::Forward;
    Colouring colouring;
    std::optional<Function> sweep;  // the inputs and the seeds, to the tangents or the gradients
    std::vector<int> seed_dims;     // per seed: the wrt inputs' (forward) or the outputs' (reverse) lanes
    Reads reads;
    std::optional<Fused> fused;  // forward: every colour's sweep at once, when small enough
};

SparseJacobian::SparseJacobian(const Function& function, std::span<const std::size_t> wrt) {
    auto state = std::make_shared<State>(State{function, jacobian_sparsity(function, wrt), {}, {}, {}, {}, {}, {}});
    const SparsityPattern& pattern = state->pattern;
    // A greedy colouring costs the sum of the squared lengths of the lines it
    // looks across (a gradient's one row of n columns: n squared to colour its
    // columns), at most the longest of them times the entries. The longest
    // line is also the least number of colours that colouring can take, so a
    // colouring whose least number already loses is never made, and what is
    // made costs no more than the sweeps of the one chosen times the entries.
    const std::size_t least_columns = longest_row(pattern);
    const std::size_t least_rows = longest_column(pattern);
    std::optional<Colouring> columns;
    std::optional<Colouring> rows;
    if (least_columns <= least_rows) {
        columns = column_colouring(pattern);
        if (columns->count > least_rows) {
            rows = row_colouring(pattern);
        }
    } else {
        rows = row_colouring(pattern);
        if (rows->count >= least_columns) {
            columns = column_colouring(pattern);
        }
    }
    const std::vector<Value> leaves = chosen(function, wrt);
    if (columns && (!rows || columns->count <= rows->count)) {
        state->method = Method::Forward;
        state->colouring = std::move(*columns);
        state->reads = bucketed(pattern.entries(), state->colouring.count, [&](std::size_t e) {
            return Read{state->colouring.colours[pattern.column_indices[e]],
                        static_cast<std::uint32_t>(pattern.row_indices[e])};
        });
        if (state->colouring.count > 0) {
            state->fused = fused_sweeps(function.inputs(), function.outputs(), leaves, state->colouring, state->reads,
                                        function.nonfinite());
        }
        if (state->colouring.count > 0 && !state->fused) {
            const std::vector<Value> directions = placeholders(leaves, "tangent");
            state->seed_dims = dimensions(leaves);
            state->sweep.emplace(joined(function.inputs(), directions),
                                 directional_derivatives(function.outputs(), leaves, directions), function.nonfinite());
        }
    } else {
        state->method = Method::Reverse;
        state->colouring = std::move(*rows);
        state->reads = bucketed(pattern.entries(), state->colouring.count, [&](std::size_t e) {
            return Read{state->colouring.colours[pattern.row_indices[e]],
                        static_cast<std::uint32_t>(pattern.column_indices[e])};
        });
        state->fused = fused_reverse_sweeps(function.inputs(), function.outputs(), leaves, state->colouring,
                                            state->reads, function.nonfinite());
        if (!state->fused) {
            const std::vector<Value> weights = placeholders(function.outputs(), "weight");
            state->seed_dims = dimensions(function.outputs());
            state->sweep.emplace(joined(function.inputs(), weights),
                                 gradient(weighted_sum(function.outputs(), weights), leaves), function.nonfinite());
        }
    }
    state_ = std::move(state);
}

const SparsityPattern& SparseJacobian::pattern() const noexcept { return state_->pattern; }
SparseJacobian::Method SparseJacobian::method() const noexcept { return state_->method; }
std::size_t SparseJacobian::sweeps() const noexcept { return sweeps_of(state_->reads); }
const Colouring& SparseJacobian::colouring() const noexcept { return state_->colouring; }

void SparseJacobian::operator()(std::span<const SmallValue> inputs, std::span<double> values,
                                const std::function<void()>& check) const {
    const State& s = *state_;
    detail::check_inputs(detail::FunctionAccess::program(s.function), inputs);
    require_room(values, s.pattern);
    if (s.fused) {
        read_fused(*s.fused, s.reads, inputs, values);
        return;
    }
    std::vector<SmallValue> all(inputs.begin(), inputs.end());
    all.resize(inputs.size() + s.seed_dims.size());
    std::vector<double> lanes;
    bool swept = false;
    for (std::uint32_t c = 0; c < s.colouring.count; ++c) {
        if (s.reads.starts[c] == s.reads.starts[c + 1]) {
            continue;  // lanes that reach no entry (columns of no row) need no sweep
        }
        if (check && swept) {
            check();
        }
        seed(all, inputs.size(), s.seed_dims, s.colouring.colours, c);
        flatten((*s.sweep)(all), lanes);
        swept = true;
        for (std::size_t r = s.reads.starts[c]; r < s.reads.starts[c + 1]; ++r) {
            const auto [entry, lane] = s.reads.reads[r];
            values[entry] = lanes[lane];
        }
    }
    if (!swept) {
        static_cast<void>(s.function(inputs));  // the call's failures, where no sweep runs
    }
}

// --- SparseHessian --------------------------------------------------------------------

struct SparseHessian::State {
    Function function;
    SparsityPattern pattern;
    Colouring colouring;
    std::optional<Function> sweep;  // the inputs, the weights and a direction, to the product
    std::vector<int> direction_dims;
    Reads reads;
    std::optional<Fused> fused;  // the inputs and the weights, to every colour's product at once
};

namespace {

// For each entry (i, j) of a symmetric pattern with a star colouring, the
// product it is read from and the lane: product colour(j), lane i, where no
// other lane of row i has j's colour; else product colour(i), lane j, where
// no other lane of row j has i's (the star colouring leaves no third case).
Reads star_reads(const SparsityPattern& pattern, const Colouring& colouring) {
    const auto& colours = colouring.colours;
    std::vector<std::uint32_t> count(colouring.count, 0);
    const auto counted = [&](std::size_t column) {
        for (std::size_t e = pattern.column_starts[column]; e < pattern.column_starts[column + 1]; ++e) {
            ++count[colours[pattern.row_indices[e]]];
        }
    };
    const auto cleared = [&](std::size_t column) {
        for (std::size_t e = pattern.column_starts[column]; e < pattern.column_starts[column + 1]; ++e) {
            count[colours[pattern.row_indices[e]]] = 0;
        }
    };
    std::vector<Read> source(pattern.entries());  // (colour, lane) per entry
    std::vector<bool> settled(pattern.entries(), false);
    // Row i's lanes are column i's (the pattern is symmetric).
    for (std::size_t j = 0; j < pattern.columns; ++j) {
        counted(j);
        for (std::size_t e = pattern.column_starts[j]; e < pattern.column_starts[j + 1]; ++e) {
            const std::size_t i = pattern.row_indices[e];
            // Entry (i, j) = entry (j, i): product colour(i) at lane j, when
            // i's colour is alone in row j.
            if (count[colours[i]] == 1) {
                source[e] = {colours[i], static_cast<std::uint32_t>(j)};
                settled[e] = true;
            }
        }
        cleared(j);
    }
    for (std::size_t j = 0; j < pattern.columns; ++j) {
        for (std::size_t e = pattern.column_starts[j]; e < pattern.column_starts[j + 1]; ++e) {
            if (settled[e]) {
                continue;
            }
            const std::size_t i = pattern.row_indices[e];
            counted(i);
            const bool alone = count[colours[j]] == 1;
            cleared(i);
            if (!alone) {
                throw std::logic_error("a Hessian entry that its colouring cannot recover");
            }
            source[e] = {colours[j], static_cast<std::uint32_t>(i)};
        }
    }
    return bucketed(pattern.entries(), colouring.count, [&](std::size_t e) { return source[e]; });
}

}  // namespace

SparseHessian::SparseHessian(const Function& function, std::span<const std::size_t> wrt) {
    auto state = std::make_shared<State>(State{function, hessian_sparsity(function, wrt), {}, {}, {}, {}, {}});
    state->colouring = star_colouring(state->pattern);
    state->reads = star_reads(state->pattern, state->colouring);
    if (state->colouring.count > 0) {
        const std::vector<Value> leaves = chosen(function, wrt);
        const std::vector<Value> weights = placeholders(function.outputs(), "weight");
        const std::vector<Value> directions = placeholders(leaves, "direction");
        const std::vector<Value> gradients = gradient(weighted_sum(function.outputs(), weights), leaves);
        const std::vector<Value> inputs = joined(function.inputs(), weights);
        state->fused = fused_sweeps(inputs, gradients, leaves, state->colouring, state->reads, function.nonfinite());
        if (!state->fused) {
            state->direction_dims = dimensions(leaves);
            state->sweep.emplace(joined(inputs, directions), directional_derivatives(gradients, leaves, directions),
                                 function.nonfinite());
        }
    }
    state_ = std::move(state);
}

const SparsityPattern& SparseHessian::pattern() const noexcept { return state_->pattern; }
std::size_t SparseHessian::sweeps() const noexcept { return sweeps_of(state_->reads); }
const Colouring& SparseHessian::colouring() const noexcept { return state_->colouring; }

void SparseHessian::operator()(std::span<const SmallValue> inputs, std::span<const double> weights,
                               std::span<double> values, const std::function<void()>& check) const {
    const State& s = *state_;
    detail::check_inputs(detail::FunctionAccess::program(s.function), inputs);
    if (weights.size() != s.function.output_lanes()) {
        throw std::invalid_argument("the weights must be one per output lane (" +
                                    std::to_string(s.function.output_lanes()) + "), not " +
                                    std::to_string(weights.size()));
    }
    require_room(values, s.pattern);
    const std::vector<Value>& outputs = s.function.outputs();
    std::vector<SmallValue> all(inputs.begin(), inputs.end());
    std::size_t lane = 0;
    for (const Value& output : outputs) {
        SmallValue weight;
        weight.dimension = output.dimension();
        for (int l = 0; l < weight.dimension; ++l) {
            weight.lanes[static_cast<std::size_t>(l)] = weights[lane++];
        }
        if (s.function.nonfinite() == NonFinite::raise) {
            detail::require_finite(weight);
        }
        all.push_back(weight);
    }
    if (s.fused) {
        read_fused(*s.fused, s.reads, all, values);
        return;
    }
    const std::size_t first = all.size();
    all.resize(first + s.direction_dims.size());
    std::vector<double> lanes;
    bool swept = false;
    for (std::uint32_t c = 0; c < s.colouring.count; ++c) {
        if (s.reads.starts[c] == s.reads.starts[c + 1]) {
            continue;  // lanes of no entry (linear ones) need no product
        }
        if (check && swept) {
            check();
        }
        seed(all, first, s.direction_dims, s.colouring.colours, c);
        flatten((*s.sweep)(all), lanes);
        swept = true;
        for (std::size_t r = s.reads.starts[c]; r < s.reads.starts[c + 1]; ++r) {
            const auto [entry, at] = s.reads.reads[r];
            values[entry] = lanes[at];
        }
    }
    if (!swept) {
        static_cast<void>(s.function(inputs));
    }
}

// --- SparseDerivatives ----------------------------------------------------------------

struct SparseDerivatives::Cache {
    std::mutex mutex;
    std::map<std::vector<std::size_t>, std::shared_ptr<const SparseJacobian>> jacobians;
    std::map<std::vector<std::size_t>, std::shared_ptr<const SparseHessian>> hessians;
};

SparseDerivatives::SparseDerivatives(Function function)
    : function_(std::move(function)), cache_(std::make_shared<Cache>()) {}

const Function& SparseDerivatives::function() const noexcept { return function_; }

namespace {

template <typename T, typename Map>
std::shared_ptr<const T> kept(std::mutex& mutex, Map& map, const Function& function,
                              const std::vector<std::size_t>& wrt) {
    const std::lock_guard lock(mutex);
    const auto found = map.find(wrt);
    if (found != map.end()) {
        return found->second;
    }
    auto made = std::make_shared<const T>(function, wrt);
    map.emplace(wrt, made);
    return made;
}

}  // namespace

std::shared_ptr<const SparseJacobian> SparseDerivatives::jacobian(const std::vector<std::size_t>& wrt) const {
    return kept<SparseJacobian>(cache_->mutex, cache_->jacobians, function_, wrt);
}

std::shared_ptr<const SparseHessian> SparseDerivatives::hessian(const std::vector<std::size_t>& wrt) const {
    return kept<SparseHessian>(cache_->mutex, cache_->hessians, function_, wrt);
}

}  // namespace zarnik::symbolic
