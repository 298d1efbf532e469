// The worker that runs a compiled function over rows, for every batch
// (rows.cpp shares the rows out over workers): each instruction runs over a
// block of rows whose lanes stay in cache. Everything a batch reads besides
// its input arrays, the parameters' values, is read once before its rows,
// so that every row, and the search for the row that failed, uses the same.

#include <algorithm>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "symbolic/function.hpp"
#include "symbolic/program/function_program.hpp"
#include "symbolic/rows/row_worker.hpp"

namespace zarnik::symbolic {

namespace detail {

std::vector<SmallValue> batch_parameters(const FunctionProgram& f, const std::span<const double>* given) {
    if (given == nullptr) {
        return current_parameters(f);
    }
    if (given->size() != f.parameter_lanes) {
        throw std::invalid_argument("the function's parameters take " + std::to_string(f.parameter_lanes) +
                                    " values, not " + std::to_string(given->size()));
    }
    std::vector<SmallValue> values(f.parameters.size());
    std::size_t next = 0;
    for (std::size_t m = 0; m < f.parameters.size(); ++m) {
        values[m].dimension = f.parameters[m]->dimension;
        for (std::size_t i = 0; i < static_cast<std::size_t>(values[m].dimension); ++i) {
            values[m].lanes[i] = (*given)[next++];
        }
        if (!f.propagate) {
            require_finite(values[m]);
        }
    }
    return values;
}

}  // namespace detail

namespace {

using detail::FunctionProgram;

// Whether rows go through calls one by one rather than blocks: for a graph
// only the reference evaluator steps through, one that fails whatever the
// values, or one without lanes.
bool row_by_row(const FunctionProgram& f) noexcept { return !f.regular || f.can_fail || f.program.lanes.size() == 0; }

// Rows go through the program in blocks whose lanes stay in cache.
std::size_t block_rows(const FunctionProgram& f) {
    return std::clamp<std::size_t>(std::size_t{65536} / std::max<std::size_t>(f.program.lanes.size(), 1), 1, 512);
}

// The lanes of one block of rows: memory of the block's own, with one-lane
// inputs read where they lie in the caller's arrays and one-lane outputs
// written straight into theirs; the other inputs and outputs are copied.
class Block {
public:
    // `once[k]`, when not null, holds the lanes of input k for
    // every row: written in here, as the parameters are, and not read again.
    Block(const FunctionProgram& f, std::span<const SmallValue> parameters, std::size_t stride,
          std::span<const double* const> once)
        : f_(f),
          stride_(stride),
          memory_(f.program.lanes.size() * stride),
          lanes_(f.program.lanes.size()),
          direct_(f.outputs.size(), false),
          once_(f.inputs.size(), false) {
        // Every row starts as a call starts: constants, and the parameters'
        // values as the batch read them.
        for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
            std::fill_n(lane_memory(lane), stride, f.program.lanes[lane]);
        }
        for (std::size_t m = 0; m < parameters.size(); ++m) {
            const detail::ParameterSlot& parameter = f.program.parameters[m];
            for (std::size_t i = 0; i < parameter.dim; ++i) {
                std::fill_n(lane_memory(parameter.offset + i), stride, parameters[m].lanes[i]);
            }
        }
        for (std::size_t k = 0; k < once.size(); ++k) {
            if (once[k] == nullptr) {
                continue;
            }
            once_[k] = true;
            const std::uint32_t offset = detail::offset_of(f.input_places[k]);
            for (std::size_t i = 0; i < static_cast<std::size_t>(f.input_dims[k]); ++i) {
                std::fill_n(lane_memory(offset + i), stride, once[k][i]);
                once_finite_ &= detail::is_finite_lane(once[k][i]);
            }
        }
        // An output that an instruction writes, of one lane, given once,
        // when start() is given the outputs.
        std::vector<bool> claimed(lanes_.size(), false);
        for (const detail::Place input : f.input_places) {
            claimed[detail::offset_of(input)] = true;
        }
        for (std::size_t j = 0; j < f.outputs.size(); ++j) {
            const std::uint32_t lane = detail::offset_of(f.output_places[j]);
            if (f.output_dims[j] == 1 && f.output_leaves[j] == nullptr && f.outputs[j].is_expression() &&
                !claimed[lane]) {
                direct_[j] = true;
                claimed[lane] = true;
            }
        }
    }

    std::size_t stride() const noexcept { return stride_; }
    double* const* lanes() noexcept { return lanes_.data(); }

    // Points the lanes at rows [first, first + count); returns whether every
    // input lane of those rows is finite.
    bool start(std::span<const double* const> inputs, std::span<double* const> outputs, std::size_t first,
               std::size_t count) {
        for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
            lanes_[lane] = lane_memory(lane);
        }
        bool finite = once_finite_;
        for (std::size_t k = 0; k < f_.inputs.size(); ++k) {
            if (once_[k]) {
                continue;
            }
            const auto dim = static_cast<std::size_t>(f_.input_dims[k]);
            const std::uint32_t offset = detail::offset_of(f_.input_places[k]);
            const double* const rows = inputs[k] + first * dim;
            if (dim == 1) {
                // Read where it lies; no instruction writes an input's lane.
                lanes_[offset] = const_cast<double*>(rows);
                for (std::size_t r = 0; r < count; ++r) {
                    finite &= detail::is_finite_lane(rows[r]);
                }
                continue;
            }
            for (std::size_t i = 0; i < dim; ++i) {
                double* __restrict const lane = lanes_[offset + i];
                for (std::size_t r = 0; r < count; ++r) {
                    lane[r] = rows[r * dim + i];
                    finite &= detail::is_finite_lane(lane[r]);
                }
            }
        }
        for (std::size_t j = 0; j < outputs.size(); ++j) {
            if (direct_[j]) {
                lanes_[detail::offset_of(f_.output_places[j])] = outputs[j] + first;
            }
        }
        return finite;
    }

    // Copies the outputs that were not written in place. A leaf's lanes hold
    // its value as the batch read it.
    void finish(std::span<double* const> outputs, std::size_t first, std::size_t count) const {
        for (std::size_t j = 0; j < outputs.size(); ++j) {
            if (direct_[j]) {
                continue;
            }
            const auto dim = static_cast<std::size_t>(f_.output_dims[j]);
            double* const rows = outputs[j] + first * dim;
            for (std::size_t i = 0; i < dim; ++i) {
                const double* const lane = lanes_[detail::offset_of(f_.output_places[j]) + i];
                for (std::size_t r = 0; r < count; ++r) {
                    rows[r * dim + i] = lane[r];
                }
            }
        }
    }

private:
    double* lane_memory(std::size_t lane) noexcept { return memory_.data() + lane * stride_; }

    const FunctionProgram& f_;
    std::size_t stride_;
    std::vector<double> memory_;
    std::vector<double*> lanes_;
    std::vector<bool> direct_;
    std::vector<bool> once_;
    bool once_finite_ = true;
};

}  // namespace

namespace detail {

namespace {

// The sum of `count` values in an order fixed by the count alone: four
// running sums, of rows 0, 4, 8, ..., of rows 1, 5, 9, ..., and so on, added
// pairwise. Four chains of additions run at once where one would wait for
// the one before.
double sum_rows(const double* values, std::size_t count) noexcept {
    double partial[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4) {
        for (std::size_t i = 0; i < 4; ++i) {
            partial[i] = partial[i] + values[r + i];
        }
    }
    for (std::size_t i = 0; r < count; ++r, ++i) {
        partial[i] = partial[i] + values[r];
    }
    return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

}  // namespace

struct RowWorker::State {
    const FunctionProgram& f;
    std::vector<SmallValue> parameters;
    std::vector<const double*> once;
    std::vector<std::size_t> wrt;
    Arithmetic arithmetic;
    CallScratch scratch;
    // A graph that goes row by row has no block.
    std::optional<Block> block;
    // The adjoints or tangents of a block, one lane per program lane.
    std::vector<double> sweep_memory;
    std::vector<double*> sweep;
    // Per input lane (all inputs' lanes in order), its column among wrt's, or -1.
    std::vector<std::ptrdiff_t> column_of;
    std::vector<std::size_t> first_lane;  // per input, its first lane among all inputs' lanes
    std::size_t width = 0;                // the lanes of the inputs in wrt
    bool forward = false;                 // Jacobians by forward sweeps
    // In forward mode, per column: its input lane and the lanes that depend on it.
    std::vector<std::uint32_t> seed_lanes;
    std::vector<std::vector<std::uint8_t>> active;

    State(const FunctionProgram& program, std::span<const SmallValue> values, std::span<const double* const> given,
          std::span<const std::size_t> chosen, Arithmetic how, JacobianSweeps sweeps)
        : f(program),
          parameters(values.begin(), values.end()),
          once(given.begin(), given.end()),
          wrt(chosen.begin(), chosen.end()),
          arithmetic(how),
          column_of(program.input_lanes, -1) {
        first_lane.assign(f.inputs.size(), 0);
        for (std::size_t k = 1; k < f.inputs.size(); ++k) {
            first_lane[k] = first_lane[k - 1] + static_cast<std::size_t>(f.input_dims[k - 1]);
        }
        for (const std::size_t k : wrt) {
            for (int i = 0; i < f.input_dims[k]; ++i) {
                column_of[first_lane[k] + static_cast<std::size_t>(i)] = static_cast<std::ptrdiff_t>(width++);
                seed_lanes.push_back(offset_of(f.input_places[k]) + static_cast<std::uint32_t>(i));
            }
        }
        if (row_by_row(f)) {
            return;
        }
        const std::size_t stride = block_rows(f);
        arithmetic = block_arithmetic(arithmetic, stride);
        block.emplace(f, parameters, stride, once);
        if (!wrt.empty()) {
            sweep_memory.assign(f.program.lanes.size() * stride, 0.0);
            for (std::size_t lane = 0; lane < f.program.lanes.size(); ++lane) {
                sweep.push_back(sweep_memory.data() + lane * stride);
            }
        }
        forward = sweeps == JacobianSweeps::fewer && forward_jacobian(width, f.output_lanes);
    }

    // Row r's inputs as values, for a call.
    std::vector<SmallValue> row(std::span<const double* const> inputs, std::size_t r) const {
        std::vector<SmallValue> values(f.inputs.size());
        for (std::size_t k = 0; k < f.inputs.size(); ++k) {
            const auto dim = static_cast<std::size_t>(f.input_dims[k]);
            const double* const lanes = once[k] != nullptr ? once[k] : inputs[k] + r * dim;
            values[k].dimension = f.input_dims[k];
            std::copy_n(lanes, dim, values[k].lanes.begin());
        }
        return values;
    }

    // Row r as a call: false when its values fail.
    template <typename Call>
    bool call(std::span<const double* const> inputs, std::size_t r, Call&& body) {
        try {
            const std::vector<SmallValue> values = row(inputs, r);
            check_inputs(f, values);
            body(CallValues{values, parameters});
            return true;
        } catch (const std::invalid_argument&) {
            return false;
        }
    }

    // The blocks of `rows`, each started and run forward before
    // `body(first, count)`; the first that fails stops them.
    template <typename Body>
    std::optional<RowRange> blocks(RowRange rows, std::span<const double* const> inputs,
                                   std::span<double* const> outputs, Body&& body) {
        const std::size_t stride = block->stride();
        const std::size_t end = rows.first + rows.count;
        for (std::size_t first = rows.first; first < end; first += stride) {
            if (first > rows.first) {
                between();
            }
            const std::size_t count = std::min(stride, end - first);
            const bool finite = block->start(inputs, outputs, first, count);
            const ForwardOutcome outcome = run_forward_rows(f.program, block->lanes(), count, arithmetic);
            if (!f.propagate && (outcome.non_finite || !finite)) {
                return RowRange{first, count};
            }
            body(first, count);
        }
        return std::nullopt;
    }

    // The rows of a graph that goes row by row, each a call of `body(r, values)`.
    template <typename Body>
    std::optional<RowRange> calls(RowRange rows, std::span<const double* const> inputs, Body&& body) {
        for (std::size_t r = rows.first; r < rows.first + rows.count; ++r) {
            if (r > rows.first) {
                between();  // a row of a large graph may take long
            }
            if (!call(inputs, r, [&](const CallValues& values) { body(r, values); })) {
                return RowRange{r, 1};
            }
        }
        return std::nullopt;
    }

    void fill(std::uint32_t lane, double value, std::size_t rows) noexcept { std::fill_n(sweep[lane], rows, value); }

    // The check, when this worker was given one.
    const std::function<void()>* check = nullptr;
    void between() const {
        if (check != nullptr && *check) {
            (*check)();
        }
    }
};

namespace {

// A block's adjoints for sweep_jacobian, keeping the columns of wrt only.
class ChosenAdjoints {
public:
    ChosenAdjoints(RowWorker::State& state, double* jacobians, std::size_t first, std::size_t rows)
        : state_(state), jacobians_(jacobians), first_(first), rows_(rows) {}

    void fill(std::uint32_t lane, double value) noexcept { state_.fill(lane, value, rows_); }
    void reverse(std::span<const std::uint32_t> order) noexcept {
        run_reverse_rows(state_.f.program, state_.block->lanes(), state_.sweep.data(), rows_, order, state_.arithmetic);
    }
    // The adjoints of inputs outside wrt are only ever added into: never read, not cleared.
    void take(std::uint32_t lane, std::size_t row, std::size_t column) noexcept {
        const std::ptrdiff_t chosen = state_.column_of[column];
        if (chosen < 0) {
            return;
        }
        const std::size_t size = state_.f.output_lanes * state_.width;
        double* const adjoint = state_.sweep[lane];
        double* const out = jacobians_ + first_ * size + row * state_.width + static_cast<std::size_t>(chosen);
        for (std::size_t r = 0; r < rows_; ++r) {
            out[r * size] = gradient_lane(adjoint[r]);
            adjoint[r] = 0.0;
        }
    }

private:
    RowWorker::State& state_;
    double* jacobians_;
    std::size_t first_;
    std::size_t rows_;
};

}  // namespace

RowWorker::RowWorker(const FunctionProgram& f, std::span<const SmallValue> parameters,
                     std::span<const double* const> once, std::span<const std::size_t> wrt, Arithmetic arithmetic,
                     JacobianSweeps sweeps)
    : state_(std::make_unique<State>(f, parameters, once, wrt, arithmetic, sweeps)) {}

RowWorker::~RowWorker() = default;

void RowWorker::check_between(const std::function<void()>* check) noexcept { state_->check = check; }

std::optional<RowRange> RowWorker::runs(RowRange range, std::span<const double* const> inputs) {
    State& s = *state_;
    if (!s.block) {
        return s.calls(range, inputs,
                       [&](std::size_t, const CallValues& values) { evaluate_one(s.f, values, s.scratch); });
    }
    return s.blocks(range, inputs, {}, [](std::size_t, std::size_t) {});
}

std::optional<RowRange> RowWorker::evaluate(RowRange range, std::span<const double* const> inputs,
                                            std::span<double* const> outputs) {
    State& s = *state_;
    if (!s.block) {
        return s.calls(range, inputs, [&](std::size_t r, const CallValues& values) {
            const std::vector<SmallValue> results = evaluate_one(s.f, values, s.scratch);
            for (std::size_t j = 0; j < s.f.outputs.size(); ++j) {
                const auto dim = static_cast<std::size_t>(s.f.output_dims[j]);
                std::copy_n(results[j].lanes.begin(), dim, outputs[j] + r * dim);
            }
        });
    }
    return s.blocks(range, inputs, outputs,
                    [&](std::size_t first, std::size_t rows) { s.block->finish(outputs, first, rows); });
}

std::optional<RowRange> RowWorker::jacobian(RowRange range, std::span<const double* const> inputs, double* jacobians) {
    State& s = *state_;
    const std::size_t size = s.f.output_lanes * s.width;
    if (!s.block) {
        std::vector<double> full(s.f.output_lanes * s.f.input_lanes);
        return s.calls(range, inputs, [&](std::size_t r, const CallValues& values) {
            jacobian_one(s.f, values, full, {}, s.scratch);
            for (std::size_t o = 0; o < s.f.output_lanes; ++o) {
                for (std::size_t c = 0; c < s.f.input_lanes; ++c) {
                    if (s.column_of[c] >= 0) {
                        jacobians[r * size + o * s.width + static_cast<std::size_t>(s.column_of[c])] =
                            full[o * s.f.input_lanes + c];
                    }
                }
            }
        });
    }
    if (s.width == 0) {
        return s.blocks(range, inputs, {}, [](std::size_t, std::size_t) {});
    }
    if (!s.forward) {
        return s.blocks(range, inputs, {}, [&](std::size_t first, std::size_t rows) {
            ChosenAdjoints adjoints(s, jacobians, first, rows);
            // A block of a large Jacobian is long: the check runs after each output too.
            sweep_jacobian(s.f, adjoints, s.scratch, [&] { s.between(); });
        });
    }
    if (s.active.empty()) {
        for (const std::uint32_t lane : s.seed_lanes) {
            s.active.push_back(tangent_activity(s.f.program, lane));
        }
    }
    return s.blocks(range, inputs, {}, [&](std::size_t first, std::size_t rows) {
        for (std::size_t w = 0; w < s.width; ++w) {
            if (w > 0) {
                s.between();
            }
            const std::uint8_t* const active = s.active[w].data();
            s.fill(s.seed_lanes[w], 1.0, rows);
            run_tangent_rows(s.f.program, s.block->lanes(), s.sweep.data(), rows, active, s.arithmetic);
            std::size_t o = 0;
            for (std::size_t j = 0; j < s.f.outputs.size(); ++j) {
                for (int l = 0; l < s.f.output_dims[j]; ++l, ++o) {
                    const std::uint32_t lane = offset_of(s.f.output_places[j]) + static_cast<std::uint32_t>(l);
                    double* const out = jacobians + first * size + o * s.width + w;
                    if (active[lane] == 0) {
                        for (std::size_t r = 0; r < rows; ++r) {
                            out[r * size] = 0.0;
                        }
                        continue;
                    }
                    const double* const tangent = s.sweep[lane];
                    for (std::size_t r = 0; r < rows; ++r) {
                        out[r * size] = gradient_lane(tangent[r]);
                    }
                }
            }
        }
    });
}

std::optional<RowRange> RowWorker::value_and_grad(RowRange range, std::span<const double* const> inputs,
                                                  std::span<double* const> gradients, double* sums) {
    State& s = *state_;
    // Where each input in wrt adds its sums: past the value, in wrt's order;
    // found once, so that a row's sums cost the same whatever wrt holds.
    std::vector<std::size_t> sum_offsets(s.wrt.size());
    for (std::size_t i = 0, at = 1; i < s.wrt.size(); ++i) {
        sum_offsets[i] = at;
        if (s.once[s.wrt[i]] != nullptr) {
            at += static_cast<std::size_t>(s.f.input_dims[s.wrt[i]]);
        }
    }
    const auto sum_at = [&](std::size_t i) { return sum_offsets[i]; };
    if (!s.block) {
        std::vector<double> full(s.f.input_lanes);
        std::vector<SmallValue> output(1);
        return s.calls(range, inputs, [&](std::size_t r, const CallValues& values) {
            jacobian_one(s.f, values, full, output, s.scratch);
            sums[0] = sums[0] + output[0].lanes[0];
            for (std::size_t i = 0; i < s.wrt.size(); ++i) {
                const std::size_t k = s.wrt[i];
                const auto dim = static_cast<std::size_t>(s.f.input_dims[k]);
                const double* const gradient = full.data() + s.first_lane[k];
                for (std::size_t l = 0; l < dim; ++l) {
                    if (s.once[k] != nullptr) {
                        sums[sum_at(i) + l] = sums[sum_at(i) + l] + gradient[l];
                    } else {
                        gradients[i][r * dim + l] = gradient[l];
                    }
                }
            }
        });
    }
    const std::uint32_t output = offset_of(s.f.output_places[0]);
    return s.blocks(range, inputs, {}, [&](std::size_t first, std::size_t rows) {
        sums[0] = sums[0] + sum_rows(s.block->lanes()[output], rows);
        if (s.wrt.empty()) {
            return;
        }
        // One reverse sweep from the output, seeded with 1 in every row.
        const std::span<const std::uint32_t> order = sweep_of(s.f, 0, s.scratch);
        for (const std::uint32_t lane : s.seed_lanes) {
            s.fill(lane, 0.0, rows);
        }
        for (const std::uint32_t index : order) {
            const Instruction& in = s.f.program.code[index];
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                s.fill(in.out + i, 0.0, rows);
            }
        }
        s.fill(output, 1.0, rows);
        run_reverse_rows(s.f.program, s.block->lanes(), s.sweep.data(), rows, order, s.arithmetic);
        for (std::size_t i = 0; i < s.wrt.size(); ++i) {
            const std::size_t k = s.wrt[i];
            const auto dim = static_cast<std::size_t>(s.f.input_dims[k]);
            const std::uint32_t offset = offset_of(s.f.input_places[k]);
            for (std::size_t l = 0; l < dim; ++l) {
                const double* const adjoint = s.sweep[offset + l];
                if (s.once[k] != nullptr) {
                    sums[sum_at(i) + l] = sums[sum_at(i) + l] + sum_rows(adjoint, rows);
                    continue;
                }
                double* const out = gradients[i] + first * dim + l;
                for (std::size_t r = 0; r < rows; ++r) {
                    out[r * dim] = gradient_lane(adjoint[r]);
                }
            }
        }
    });
}

}  // namespace detail

}  // namespace zarnik::symbolic
