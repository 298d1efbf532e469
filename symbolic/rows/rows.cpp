// The one loop over a batch's rows, behind every way of running rows: the
// rows API (inputs given once for every row, chosen Jacobian columns, summed
// gradients, threads), Function::evaluate_rows and jacobian_rows, and so the
// Hessian's rows. The rows are cut into chunks of a fixed size, whatever the
// thread count; each chunk runs whole on one thread, through that thread's
// worker (function_rows.cpp), which keeps its block of lanes, with the inputs
// given once written in, from chunk to chunk. Sums are taken per chunk in an
// order fixed by its rows, then over the chunks in their order. A failure is
// found again, and reported, in one place: Batch::fail_in.

#include "symbolic/rows.hpp"

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "symbolic/approximate/approximate.hpp"
#include "symbolic/program/function_program.hpp"
#include "symbolic/rows/row_threads.hpp"
#include "symbolic/rows/row_worker.hpp"

namespace zarnik::symbolic {

namespace {

using detail::FunctionProgram;
using detail::JacobianSweeps;
using detail::RowRange;
using detail::RowWorker;

constexpr std::size_t chunk_rows = 2048;

// What a single call costs beyond its arithmetic, in lane-rows.
constexpr std::size_t call_work = 64;

// The chunks whose sums a summed gradient keeps at once: enough to share
// out over many threads, few enough to take little memory.
constexpr std::size_t window_chunks = 1024;

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

// A batch's inputs, counts, chunks and workers, checked and read before its rows.
class Batch {
public:
    Batch(const Function& f, std::size_t rows, std::span<const RowInput> inputs, std::span<const std::size_t> wrt,
          const RowOptions& options, JacobianSweeps sweeps = JacobianSweeps::fewer)
        : program_(detail::FunctionAccess::program(f)),
          rows_(rows),
          inputs_(inputs),
          wrt_(chosen(f, wrt)),
          arithmetic_(options.approximate ? detail::Arithmetic::approximate : detail::Arithmetic::exact),
          sweeps_(sweeps) {
        detail::check_input_count(program_, inputs.size());
        const std::span<const double> given =
            options.parameter_values ? *options.parameter_values : std::span<const double>();
        parameters_ = detail::batch_parameters(program_, options.parameter_values ? &given : nullptr);
        once_.resize(inputs.size(), nullptr);
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            arrays_.push_back(inputs[k].data);
            if (inputs[k].every_row) {
                once_[k] = inputs[k].data;
            }
        }
        chunks_ = (rows + chunk_rows - 1) / chunk_rows;
        // A row's work in lane-rows: its program's lanes (or, for a graph that
        // only the reference evaluator steps through, its nodes), and a
        // call's own cost where rows go one by one through calls.
        const bool by_calls = !program_.regular || program_.can_fail;
        const std::size_t row_work =
            program_.program.lanes.size() + program_.reference.nodes.size() + (by_calls ? call_work : 0);
        threads_ = detail::batch_threads(options.threads, chunks_, chunk_rows * row_work);
        workers_.resize(threads_);
        failures_.resize(threads_);
        check_ = &options.check;
    }

    std::size_t lanes_of(std::size_t k) const { return static_cast<std::size_t>(program_.input_dims[k]); }
    std::size_t chunks() const noexcept { return chunks_; }
    // The rows of chunk c.
    RowRange chunk(std::size_t c) const noexcept {
        const std::size_t first = c * chunk_rows;
        return {first, std::min(chunk_rows, rows_ - first)};
    }
    const std::vector<std::size_t>& wrt() const noexcept { return wrt_; }
    // Each input's array: its rows, or its lanes when given once.
    std::span<const double* const> arrays() const noexcept { return arrays_; }

    // Runs `chunk(worker, c)` over every chunk on the thread's worker; a
    // chunk that returns the rows of a failed block has a failing row, the
    // first of which is raised.
    template <typename Chunk>
    void run(Chunk&& chunk, const std::function<void()>& check) {
        run_chunks(0, chunks_, chunk, check);
    }

    // The same over the chunks [first, first + count) alone.
    template <typename Chunk>
    void run_chunks(std::size_t first, std::size_t count, Chunk&& chunk, const std::function<void()>& check) {
        const std::size_t failed = detail::run_blocks(
            count, threads_,
            [&](std::size_t thread, std::size_t c) {
                const std::optional<RowRange> block = chunk(worker(thread), first + c);
                if (block) {
                    // A thread fails at most once: it takes no chunk after one that failed.
                    failures_[thread] = Failure{first + c, *block};
                }
                return !block;
            },
            check);
        if (failed != detail::no_block) {
            for (const Failure& failure : failures_) {
                if (failure.chunk == first + failed) {
                    fail_in(failure.rows);
                }
            }
            // Not reached: the thread that ran the failed chunk noted where.
            throw std::logic_error("a chunk of rows failed without saying where");
        }
    }

private:
    RowWorker& worker(std::size_t thread) {
        if (!workers_[thread]) {
            workers_[thread] = std::make_unique<RowWorker>(program_, parameters_, once_, wrt_, arithmetic_, sweeps_);
            // Thread 0 is the calling thread, the one the check may run on.
            if (thread == 0) {
                workers_[thread]->check_between(check_);
            }
        }
        return *workers_[thread];
    }

    // A block of rows failed: its rows one by one, in the block's arithmetic,
    // to find the first that fails, and that row as a call, for its error.
    // A row that only the approximate arithmetic takes past the finite
    // numbers fails as a non-finite result would. Finding none, the input
    // arrays no longer hold what the block read.
    [[noreturn]] void fail_in(RowRange block) {
        RowWorker& finder = worker(0);
        const std::size_t end = block.first + block.count;
        for (std::size_t r = block.first; r < end; ++r) {
            if (!finder.runs(RowRange{r, 1}, arrays_)) {
                continue;
            }
            std::vector<SmallValue> values(inputs_.size());
            for (std::size_t k = 0; k < inputs_.size(); ++k) {
                values[k].dimension = program_.input_dims[k];
                const double* const lanes = inputs_[k].every_row ? inputs_[k].data : inputs_[k].data + r * lanes_of(k);
                std::copy_n(lanes, lanes_of(k), values[k].lanes.begin());
            }
            try {
                detail::check_inputs(program_, values);
                detail::ScratchLease scratch;
                detail::evaluate_one(program_, {values, parameters_}, *scratch);
                detail::raise_not_finite();
            } catch (const std::invalid_argument& error) {
                detail::raise_in_row(error, r);
            }
        }
        throw std::logic_error("rows " + std::to_string(block.first) + ".." + std::to_string(end - 1) +
                               " of the batch failed, but none of them fails when read again: the caller changed "
                               "the input arrays during the batch");
    }

    // Where a thread's chunk failed.
    struct Failure {
        std::size_t chunk = detail::no_block;
        RowRange rows;
    };

    const FunctionProgram& program_;
    std::size_t rows_;
    std::span<const RowInput> inputs_;
    std::vector<std::size_t> wrt_;
    detail::Arithmetic arithmetic_;
    JacobianSweeps sweeps_;
    std::vector<SmallValue> parameters_;
    std::vector<const double*> arrays_;
    std::vector<const double*> once_;
    std::size_t chunks_ = 0;
    std::size_t threads_ = 1;
    std::vector<std::unique_ptr<RowWorker>> workers_;
    std::vector<Failure> failures_;                 // per thread
    const std::function<void()>* check_ = nullptr;  // the caller's, run on its own thread
};

}  // namespace

void evaluate_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                   std::span<double* const> outputs, const RowOptions& options) {
    detail::check_input_count(detail::FunctionAccess::program(f), inputs.size());
    if (outputs.size() != f.outputs().size()) {
        throw std::invalid_argument("the function gives " + detail::count_of(f.outputs().size(), "output") + ", not " +
                                    std::to_string(outputs.size()));
    }
    Batch batch(f, rows, inputs, {}, options);
    batch.run(
        [&](RowWorker& worker, std::size_t c) { return worker.evaluate(batch.chunk(c), batch.arrays(), outputs); },
        options.check);
}

void detail::jacobian_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                           std::span<const std::size_t> wrt, double* jacobians, const RowOptions& options,
                           JacobianSweeps sweeps) {
    Batch batch(f, rows, inputs, wrt, options, sweeps);
    batch.run(
        [&](RowWorker& worker, std::size_t c) { return worker.jacobian(batch.chunk(c), batch.arrays(), jacobians); },
        options.check);
}

double value_and_grad_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                           std::span<const std::size_t> wrt, std::span<double* const> gradients,
                           const RowOptions& options) {
    if (f.output_lanes() != 1) {
        throw std::invalid_argument("value_and_grad needs a function of one scalar output");
    }
    Batch batch(f, rows, inputs, wrt, options);
    const std::vector<std::size_t>& positions = batch.wrt();
    if (gradients.size() != positions.size()) {
        throw std::invalid_argument("the gradients need room for one array per input in wrt");
    }
    // Per chunk: the sum of its values, then the sums of its broadcast inputs' gradients.
    std::size_t summed = 1;
    std::vector<std::size_t> sum_at(positions.size(), 0);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (inputs[positions[i]].every_row) {
            sum_at[i] = summed;
            summed += batch.lanes_of(positions[i]);
        }
    }
    // The chunks run a window at a time, whose sums are added into the
    // total in the chunks' order before the next: memory stays bounded
    // however many rows there are (and rows= can ask for many).
    const std::size_t window = std::min(batch.chunks(), window_chunks);
    std::vector<double> sums(window * summed);
    std::vector<double> total(summed, 0.0);
    for (std::size_t first = 0; first < batch.chunks(); first += window) {
        const std::size_t count = std::min(window, batch.chunks() - first);
        std::fill(sums.begin(), sums.end(), 0.0);
        batch.run_chunks(
            first, count,
            [&](RowWorker& worker, std::size_t c) {
                return worker.value_and_grad(batch.chunk(c), batch.arrays(), gradients,
                                             sums.data() + (c - first) * summed);
            },
            options.check);
        for (std::size_t c = 0; c < count; ++c) {
            for (std::size_t s = 0; s < summed; ++s) {
                total[s] = total[s] + sums[c * summed + s];
            }
        }
    }
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (inputs[positions[i]].every_row) {
            std::copy_n(total.data() + sum_at[i], batch.lanes_of(positions[i]), gradients[i]);
        }
    }
    return total[0];
}

void jacobian_rows(const Function& f, std::size_t rows, std::span<const RowInput> inputs,
                   std::span<const std::size_t> wrt, double* jacobians, const RowOptions& options) {
    detail::jacobian_rows(f, rows, inputs, wrt, jacobians, options, JacobianSweeps::fewer);
}

// --- a Function's own rows: the batch on the calling thread, every input
// given per row, and the Jacobian's every column by reverse sweeps, for the
// bits of single calls

namespace {

std::vector<RowInput> per_row(std::span<const double* const> inputs) {
    std::vector<RowInput> given;
    given.reserve(inputs.size());
    for (const double* const input : inputs) {
        given.push_back(RowInput::per_row(input));
    }
    return given;
}

RowOptions calling_thread(const std::span<const double>* parameter_values, const std::function<void()>& check) {
    RowOptions options;
    options.threads = 1;
    if (parameter_values != nullptr) {
        options.parameter_values = *parameter_values;
    }
    options.check = check;
    return options;
}

void function_jacobian_rows(const Function& f, std::size_t rows, std::span<const double* const> inputs,
                            double* jacobians, const RowOptions& options) {
    detail::check_input_count(detail::FunctionAccess::program(f), inputs.size());
    std::vector<std::size_t> every(f.inputs().size());
    std::iota(every.begin(), every.end(), std::size_t{0});
    detail::jacobian_rows(f, rows, per_row(inputs), every, jacobians, options, JacobianSweeps::reverse);
}

}  // namespace

void Function::evaluate_rows(std::size_t rows, std::span<const double* const> inputs,
                             std::span<double* const> outputs) const {
    symbolic::evaluate_rows(*this, rows, per_row(inputs), outputs, calling_thread(nullptr, {}));
}

void Function::evaluate_rows(std::size_t rows, std::span<const double* const> inputs, std::span<double* const> outputs,
                             std::span<const double> parameter_values, const std::function<void()>& check) const {
    symbolic::evaluate_rows(*this, rows, per_row(inputs), outputs, calling_thread(&parameter_values, check));
}

void Function::jacobian_rows(std::size_t rows, std::span<const double* const> inputs, double* jacobians) const {
    function_jacobian_rows(*this, rows, inputs, jacobians, calling_thread(nullptr, {}));
}

void Function::jacobian_rows(std::size_t rows, std::span<const double* const> inputs, double* jacobians,
                             std::span<const double> parameter_values, const std::function<void()>& check) const {
    function_jacobian_rows(*this, rows, inputs, jacobians, calling_thread(&parameter_values, check));
}

std::string_view approximate_kernels() noexcept { return detail::chosen_kernels(); }

}  // namespace zarnik::symbolic
