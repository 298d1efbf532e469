// Batches with inputs given once for every row, chosen Jacobian columns and
// summed gradients, shared out over threads. The rows are cut into chunks of
// a fixed size, whatever the thread count; each chunk runs whole on one
// thread through the Function's own row blocks, and sums are taken per chunk
// in row order, then over chunks in their order.

#include "symbolic/rows.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "detail/row_threads.hpp"

namespace zarnik::symbolic {

namespace {

constexpr std::size_t chunk_rows = 2048;

// A batch's inputs, counts and chunks, checked and read before its rows.
class Batch {
public:
    Batch(const Function& f, std::size_t rows, std::span<const RowInput> inputs, const RowOptions& options)
        : f_(f), rows_(rows), inputs_(inputs) {
        if (inputs.size() != f.inputs().size()) {
            const std::size_t count = f.inputs().size();
            throw std::invalid_argument("the function takes " + std::to_string(count) + " input" +
                                        (count == 1 ? "" : "s") + ", not " + std::to_string(inputs.size()));
        }
        parameters_ = options.parameter_values ? std::vector<double>(options.parameter_values->begin(),
                                                                     options.parameter_values->end())
                                               : f.parameter_values();
        // An input given once is read from a chunk of rows that holds it in every row.
        tiled_.resize(inputs.size());
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            if (inputs[k].every_row) {
                const std::size_t dim = lanes(k);
                tiled_[k].resize(chunk_rows * dim);
                for (std::size_t r = 0; r < chunk_rows; ++r) {
                    std::copy_n(inputs[k].data, dim, tiled_[k].data() + r * dim);
                }
            }
        }
        chunks_ = (rows + chunk_rows - 1) / chunk_rows;
        threads_ = detail::batch_threads(options.threads, chunks_, chunk_rows * 64);
    }

    std::size_t lanes(std::size_t k) const { return static_cast<std::size_t>(f_.inputs()[k].dimension()); }
    std::size_t chunks() const noexcept { return chunks_; }
    std::size_t threads() const noexcept { return threads_; }
    std::size_t first(std::size_t chunk) const noexcept { return chunk * chunk_rows; }
    std::size_t count(std::size_t chunk) const noexcept { return std::min(chunk_rows, rows_ - first(chunk)); }
    std::span<const double> parameters() const noexcept { return parameters_; }

    // Where each input's rows of a chunk lie.
    std::vector<const double*> inputs_at(std::size_t chunk) const {
        std::vector<const double*> at(inputs_.size());
        for (std::size_t k = 0; k < inputs_.size(); ++k) {
            at[k] = inputs_[k].every_row ? tiled_[k].data() : inputs_[k].data + first(chunk) * lanes(k);
        }
        return at;
    }

    // A chunk failed: its rows one by one, as calls, to fail with the error
    // of the first that fails, naming it.
    [[noreturn]] void fail_in(std::size_t chunk) const {
        for (std::size_t r = first(chunk); r < first(chunk) + count(chunk); ++r) {
            std::vector<SmallValue> values(inputs_.size());
            for (std::size_t k = 0; k < inputs_.size(); ++k) {
                const std::size_t dim = lanes(k);
                const double* const row = inputs_[k].every_row ? inputs_[k].data : inputs_[k].data + r * dim;
                values[k].dimension = static_cast<int>(dim);
                std::copy_n(row, dim, values[k].lanes.begin());
            }
            try {
                f_(values);
            } catch (const std::invalid_argument& error) {
                throw std::invalid_argument(std::string(error.what()) + " (row " + std::to_string(r) + ")");
            }
        }
        throw std::logic_error("a chunk of rows failed where none of its rows does");
    }

    // Runs `chunk(thread, c)` over every chunk; a chunk that throws
    // std::invalid_argument has a failing row, the first of which is raised.
    template <typename Chunk>
    void run(Chunk&& chunk, const std::function<void()>& check) const {
        const std::size_t failed = detail::run_blocks(
            chunks_, threads_,
            [&](std::size_t thread, std::size_t c) {
                try {
                    chunk(thread, c);
                    return true;
                } catch (const std::invalid_argument&) {
                    return false;
                }
            },
            check);
        if (failed != detail::no_block) {
            fail_in(failed);
        }
    }

private:
    const Function& f_;
    std::size_t rows_;
    std::span<const RowInput> inputs_;
    std::vector<double> parameters_;
    std::vector<std::vector<double>> tiled_;
    std::size_t chunks_ = 0;
    std::size_t threads_ = 1;
};

// The inputs `wrt` names, checked.
std::vector<std::size_t> chosen(const Function& f, std::span<const std::size_t> wrt) {
    std::vector<std::size_t> positions(wrt.begin(), wrt.end());
    std::vector<bool> seen(f.inputs().size(), false);
    for (const std::size_t k : positions) {
        if (k >= f.inputs().size()) {
            throw std::invalid_argument("wrt names input " + std::to_string(k) + " of a function of " +
                                        std::to_string(f.inputs().size()) + " inputs");
        }
        if (seen[k]) {
            throw std::invalid_argument("wrt names input " + std::to_string(k) + " twice");
        }
        seen[k] = true;
    }
    return positions;
}

// The first column of each input in the Jacobian of every input.
std::vector<std::size_t> first_columns(const Function& f) {
    std::vector<std::size_t> columns;
    std::size_t next = 0;
    for (const Value& input : f.inputs()) {
        columns.push_back(next);
        next += static_cast<std::size_t>(input.dimension());
    }
    return columns;
}

}  // namespace

void evaluate_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                   std::span<double* const> outputs, const RowOptions& options) {
    const Batch batch(f, rows, inputs, options);
    if (outputs.size() != f.outputs().size()) {
        throw std::invalid_argument("the function gives " + std::to_string(f.outputs().size()) + " outputs, not " +
                                    std::to_string(outputs.size()));
    }
    batch.run(
        [&](std::size_t, std::size_t c) {
            std::vector<double*> at(outputs.size());
            for (std::size_t j = 0; j < outputs.size(); ++j) {
                at[j] = outputs[j] + batch.first(c) * static_cast<std::size_t>(f.outputs()[j].dimension());
            }
            f.evaluate_rows(batch.count(c), batch.inputs_at(c), at, batch.parameters());
        },
        options.check);
}

void jacobian_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                   std::span<const std::size_t> wrt, double* jacobians, const RowOptions& options) {
    const Batch batch(f, rows, inputs, options);
    const std::vector<std::size_t> positions = chosen(f, wrt);
    const std::vector<std::size_t> columns = first_columns(f);
    std::size_t width = 0;
    for (const std::size_t k : positions) {
        width += batch.lanes(k);
    }
    const std::size_t outputs = f.output_lanes();
    const std::size_t all = f.input_lanes();
    std::vector<std::vector<double>> scratch(batch.threads());
    batch.run(
        [&](std::size_t thread, std::size_t c) {
            std::vector<double>& full = scratch[thread];
            full.resize(chunk_rows * outputs * all);
            const std::size_t count = batch.count(c);
            f.jacobian_rows(count, batch.inputs_at(c), full.data(), batch.parameters());
            for (std::size_t r = 0; r < count; ++r) {
                for (std::size_t o = 0; o < outputs; ++o) {
                    const double* const from = full.data() + (r * outputs + o) * all;
                    double* to = jacobians + ((batch.first(c) + r) * outputs + o) * width;
                    for (const std::size_t k : positions) {
                        to = std::copy_n(from + columns[k], batch.lanes(k), to);
                    }
                }
            }
        },
        options.check);
}

double value_and_grad_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                           std::span<const std::size_t> wrt, std::span<double* const> gradients,
                           const RowOptions& options) {
    if (f.output_lanes() != 1) {
        throw std::invalid_argument("value_and_grad needs a function of one scalar output");
    }
    const Batch batch(f, rows, inputs, options);
    const std::vector<std::size_t> positions = chosen(f, wrt);
    if (gradients.size() != positions.size()) {
        throw std::invalid_argument("the gradients need room for one array per input in wrt");
    }
    const std::vector<std::size_t> columns = first_columns(f);
    const std::size_t all = f.input_lanes();
    // Per chunk: the sum of its values, then the sums of its broadcast inputs' gradients.
    std::size_t summed = 1;
    std::vector<std::size_t> sum_at(positions.size(), 0);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (inputs[positions[i]].every_row) {
            sum_at[i] = summed;
            summed += batch.lanes(positions[i]);
        }
    }
    std::vector<double> sums(batch.chunks() * summed, 0.0);
    std::vector<std::vector<double>> scratch(batch.threads());
    batch.run(
        [&](std::size_t thread, std::size_t c) {
            const std::size_t count = batch.count(c);
            std::vector<double>& memory = scratch[thread];
            memory.resize(chunk_rows * (all + 1));
            double* const values = memory.data();
            double* const jacobian = memory.data() + chunk_rows;
            const std::vector<const double*> at = batch.inputs_at(c);
            double* const value_lane[] = {values};
            f.evaluate_rows(count, at, value_lane, batch.parameters());
            f.jacobian_rows(count, at, jacobian, batch.parameters());
            double* const sum = sums.data() + c * summed;
            for (std::size_t r = 0; r < count; ++r) {
                sum[0] = sum[0] + values[r];
            }
            for (std::size_t i = 0; i < positions.size(); ++i) {
                const std::size_t k = positions[i];
                const std::size_t dim = batch.lanes(k);
                for (std::size_t r = 0; r < count; ++r) {
                    const double* const row = jacobian + r * all + columns[k];
                    if (inputs[k].every_row) {
                        for (std::size_t l = 0; l < dim; ++l) {
                            sum[sum_at[i] + l] = sum[sum_at[i] + l] + row[l];
                        }
                    } else {
                        std::copy_n(row, dim, gradients[i] + (batch.first(c) + r) * dim);
                    }
                }
            }
        },
        options.check);
    std::vector<double> total(summed, 0.0);
    for (std::size_t c = 0; c < batch.chunks(); ++c) {
        for (std::size_t s = 0; s < summed; ++s) {
            total[s] = total[s] + sums[c * summed + s];
        }
    }
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (inputs[positions[i]].every_row) {
            std::copy_n(total.data() + sum_at[i], batch.lanes(positions[i]), gradients[i]);
        }
    }
    return total[0];
}

}  // namespace zarnik::symbolic
