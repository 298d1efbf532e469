// A compiled function over many rows: each instruction runs over a block of
// rows whose lanes stay in cache. Everything a batch reads besides its
// input arrays, the parameters' values, is read once before its rows, so
// that every row, and the search for the row that failed, uses the same.

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>

#include "detail/function_program.hpp"
#include "symbolic/function.hpp"

namespace zarnik::symbolic {

namespace {

using detail::CallScratch;
using detail::CallValues;
using detail::FunctionProgram;

// The inputs of row `row` as lane vectors.
std::vector<SmallValue> row_inputs(const FunctionProgram& f, std::span<const double* const> inputs, std::size_t row) {
    std::vector<SmallValue> values(f.inputs.size());
    for (std::size_t k = 0; k < f.inputs.size(); ++k) {
        const auto dim = static_cast<std::size_t>(f.input_dims[k]);
        values[k].dimension = f.input_dims[k];
        for (std::size_t i = 0; i < dim; ++i) {
            values[k].lanes[i] = inputs[k][row * dim + i];
        }
    }
    return values;
}

// Row `row` as a call: its inputs checked as a call checks them, then
// `call(values)`; an error of the values names the row.
template <typename Call>
void call_row(const FunctionProgram& f, std::span<const double* const> inputs,
              std::span<const SmallValue> parameters, std::size_t row, Call&& call) {
    try {
        const std::vector<SmallValue> values = row_inputs(f, inputs, row);
        detail::check_inputs(f, values);
        call(CallValues{values, parameters});
    } catch (const std::invalid_argument& error) {
        detail::raise_in_row(error, row);
    }
}

// Whether rows go through calls one by one rather than blocks: for a graph
// only the reference evaluator steps through, one that fails whatever the
// values, or one without lanes.
bool row_by_row(const FunctionProgram& f) noexcept {
    return !f.regular || f.can_fail || f.program.lanes.size() == 0;
}

// Rows go through the program in blocks whose lanes stay in cache.
std::size_t block_rows(const FunctionProgram& f) {
    return std::clamp<std::size_t>(std::size_t{65536} / std::max<std::size_t>(f.program.lanes.size(), 1), 1, 512);
}

// What a batch reads before its rows: the values given for the parameters,
// checked as set_value checks them, or, when none are given, the
// parameters' current values.
std::vector<SmallValue> batch_parameters(const FunctionProgram& f, const std::span<const double>* given) {
    if (given == nullptr) {
        return detail::current_parameters(f);
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
        detail::require_finite(values[m]);
    }
    return values;
}

// The lanes of one block of rows: memory of the block's own, with one-lane
// inputs read where they lie in the caller's arrays and one-lane outputs
// written straight into theirs; the other inputs and outputs are copied.
class Block {
public:
    Block(const FunctionProgram& f, std::span<const SmallValue> parameters, std::size_t stride, bool writes_outputs)
        : f_(f), stride_(stride), memory_(f.program.lanes.size() * stride), lanes_(f.program.lanes.size()),
          direct_(f.outputs.size(), false) {
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
        // An output that an instruction writes, of one lane, given once.
        if (writes_outputs) {
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
        bool finite = true;
        for (std::size_t k = 0; k < f_.inputs.size(); ++k) {
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
};

// When a block failed: its rows one by one, as calls with the parameters'
// values that the block used, to fail with the error of the first that
// fails. Finding none, the input arrays no longer hold what the block read.
[[noreturn]] void fail_in_block(const FunctionProgram& f, std::span<const double* const> inputs,
                                std::span<const SmallValue> parameters, std::size_t first, std::size_t count,
                                CallScratch& scratch) {
    for (std::size_t r = first; r < first + count; ++r) {
        call_row(f, inputs, parameters, r, [&](const CallValues& values) { detail::evaluate_one(f, values, scratch); });
    }
    throw std::logic_error("rows " + std::to_string(first) + ".." + std::to_string(first + count - 1) +
                           " of the batch failed, but none of them fails when read again: the caller changed the "
                           "input arrays during the batch");
}

// A block of rows' adjoints, for sweep_jacobian.
class BlockAdjoints {
public:
    BlockAdjoints(const FunctionProgram& f, double* const* lanes, std::size_t stride, double* jacobians)
        : f_(f), lanes_(lanes), memory_(f.program.lanes.size() * stride), adjoints_(f.program.lanes.size()),
          jacobians_(jacobians) {
        for (std::size_t lane = 0; lane < adjoints_.size(); ++lane) {
            adjoints_[lane] = memory_.data() + lane * stride;
        }
    }

    void rows(std::size_t first, std::size_t count) noexcept {
        first_ = first;
        count_ = count;
    }

    void fill(std::uint32_t lane, double value) noexcept { std::fill_n(adjoints_[lane], count_, value); }
    void reverse(std::span<const std::uint32_t> order) noexcept {
        detail::run_reverse_rows(f_.program, lanes_, adjoints_.data(), count_, order);
    }
    void take(std::uint32_t lane, std::size_t row, std::size_t column) noexcept {
        const std::size_t size = f_.output_lanes * f_.input_lanes;
        double* const adjoint = adjoints_[lane];
        for (std::size_t r = 0; r < count_; ++r) {
            jacobians_[(first_ + r) * size + row * f_.input_lanes + column] = detail::gradient_lane(adjoint[r]);
            adjoint[r] = 0.0;
        }
    }

private:
    const FunctionProgram& f_;
    double* const* lanes_;
    std::vector<double> memory_;
    std::vector<double*> adjoints_;
    double* jacobians_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

// Runs between blocks of rows, when the caller gave a check.
void between_blocks(const std::function<void()>& check) {
    if (check) {
        check();
    }
}

void evaluate_rows_of(const FunctionProgram& f, std::size_t rows, std::span<const double* const> inputs,
                      std::span<double* const> outputs, const std::span<const double>* given,
                      const std::function<void()>& check) {
    detail::check_input_count(f, inputs.size());
    if (outputs.size() != f.outputs.size()) {
        throw std::invalid_argument("the function gives " + detail::count_of(f.outputs.size(), "output") + ", not " +
                                    std::to_string(outputs.size()));
    }
    const std::vector<SmallValue> parameters = batch_parameters(f, given);
    detail::ScratchLease scratch;
    const std::size_t stride = block_rows(f);
    if (row_by_row(f)) {
        for (std::size_t r = 0; r < rows; ++r) {
            if (r > 0) {
                between_blocks(check);  // a row of a large graph may take long
            }
            call_row(f, inputs, parameters, r, [&](const CallValues& values) {
                const std::vector<SmallValue> results = detail::evaluate_one(f, values, *scratch);
                for (std::size_t j = 0; j < f.outputs.size(); ++j) {
                    const auto dim = static_cast<std::size_t>(f.output_dims[j]);
                    std::copy_n(results[j].lanes.begin(), dim, outputs[j] + r * dim);
                }
            });
        }
        return;
    }
    Block block(f, parameters, stride, true);
    for (std::size_t first = 0; first < rows; first += stride) {
        if (first > 0) {
            between_blocks(check);
        }
        const std::size_t count = std::min(stride, rows - first);
        const bool finite = block.start(inputs, outputs, first, count);
        if (detail::run_forward_rows(f.program, block.lanes(), count).non_finite || !finite) {
            fail_in_block(f, inputs, parameters, first, count, *scratch);
        }
        block.finish(outputs, first, count);
    }
}

void jacobian_rows_of(const FunctionProgram& f, std::size_t rows, std::span<const double* const> inputs,
                      double* jacobians, const std::span<const double>* given, const std::function<void()>& check) {
    detail::check_input_count(f, inputs.size());
    const std::vector<SmallValue> parameters = batch_parameters(f, given);
    const std::size_t size = f.output_lanes * f.input_lanes;
    detail::ScratchLease scratch;
    const std::size_t stride = block_rows(f);
    if (row_by_row(f)) {
        for (std::size_t r = 0; r < rows; ++r) {
            if (r > 0) {
                between_blocks(check);  // a row of a large graph may take long
            }
            call_row(f, inputs, parameters, r, [&](const CallValues& values) {
                detail::jacobian_one(f, values, std::span<double>(jacobians + r * size, size), {}, *scratch);
            });
        }
        return;
    }
    Block block(f, parameters, stride, false);
    BlockAdjoints adjoints(f, block.lanes(), stride, jacobians);
    for (std::size_t first = 0; first < rows; first += stride) {
        if (first > 0) {
            between_blocks(check);
        }
        const std::size_t count = std::min(stride, rows - first);
        const bool finite = block.start(inputs, {}, first, count);
        if (detail::run_forward_rows(f.program, block.lanes(), count).non_finite || !finite) {
            fail_in_block(f, inputs, parameters, first, count, *scratch);
        }
        adjoints.rows(first, count);
        // A block of a large Jacobian is long: the check runs after each output too.
        detail::sweep_jacobian(f, adjoints, *scratch, [&] { between_blocks(check); });
    }
}

}  // namespace

void Function::evaluate_rows(std::size_t rows, std::span<const double* const> inputs,
                             std::span<double* const> outputs) const {
    evaluate_rows_of(*program_, rows, inputs, outputs, nullptr, {});
}

void Function::evaluate_rows(std::size_t rows, std::span<const double* const> inputs, std::span<double* const> outputs,
                             std::span<const double> parameter_values, const std::function<void()>& check) const {
    evaluate_rows_of(*program_, rows, inputs, outputs, &parameter_values, check);
}

void Function::jacobian_rows(std::size_t rows, std::span<const double* const> inputs, double* jacobians) const {
    jacobian_rows_of(*program_, rows, inputs, jacobians, nullptr, {});
}

void Function::jacobian_rows(std::size_t rows, std::span<const double* const> inputs, double* jacobians,
                             std::span<const double> parameter_values, const std::function<void()>& check) const {
    jacobian_rows_of(*program_, rows, inputs, jacobians, &parameter_values, check);
}

}  // namespace zarnik::symbolic
