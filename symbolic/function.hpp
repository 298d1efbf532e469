#pragma once

// Compiled functions of inputs: graphs evaluated and differentiated at values
// given with each call, one row at a time or over many rows at once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "symbolic/value.hpp"

namespace zarnik::symbolic {

namespace detail {
struct FunctionProgram;
struct FunctionAccess;
}  // namespace detail

// What a function does with a value that is not finite. `raise`: a call
// throws std::invalid_argument "symbolic value lanes must be finite" as
// evaluate does (a branch of where that is not taken aside), inputs
// included. `propagate`: IEEE arithmetic throughout, infinities and NaN
// flowing on to the outputs and derivatives as NumPy's and JAX's do, with no
// check and no error (a graph whose nodes break the builders' invariants is
// evaluated by the reference evaluator, which checks all the same).
enum class NonFinite : std::uint8_t { raise, propagate };

// Where a value that is not finite was first made: the operation, the id of
// its node (Value::id(), as the node's debug text shows it, #id) and the
// lane it gave (+-inf or NaN).
struct NonFiniteOrigin {
    ExpressionOp op = ExpressionOp::None;
    std::uint64_t node = 0;
    double value = 0.0;
};

// The graphs below one or more outputs, recorded once, as a function of some
// of their leaves: placeholders (Undefined) and parameters, whose values each
// call gives. A call touches no node: it sets no value and writes no gradient.
// Parameters that are not inputs are read at each call, as evaluate reads
// them. Results are bit for bit those of evaluating the outputs with the
// inputs' values set, failures are the same exceptions with the same texts,
// and the Jacobian's rows are bit for bit the gradients that backward passes
// with unit seeds would give. Making a function costs time and memory linear
// in the graph and the outputs.
//
// A function is immutable: calls may run on several threads at once.
class Function {
public:
    // Throws std::invalid_argument when an input is empty, not a placeholder
    // or parameter, or given twice, when an output is empty or there is none,
    // or when a placeholder below an output is not an input (naming them).
    Function(std::vector<Value> inputs, std::vector<Value> outputs, NonFinite nonfinite = NonFinite::raise);

    NonFinite nonfinite() const noexcept;

    // For a function that raises: the node where a call at `inputs` (with
    // the parameters' current values) first makes the value that fails it,
    // followed through the nodes it reaches up to the first check it fails;
    // nothing when the call does not fail so (or fails on an input). For
    // error messages: it records the graph again, a cost linear in it.
    std::optional<NonFiniteOrigin> non_finite_origin(std::span<const SmallValue> inputs) const;

    const std::vector<Value>& inputs() const noexcept;
    const std::vector<Value>& outputs() const noexcept;
    // Lanes of all inputs together, and of all outputs together.
    std::size_t input_lanes() const noexcept;
    std::size_t output_lanes() const noexcept;

    // The outputs' lanes at `inputs`, one value per input of its dimension.
    std::vector<SmallValue> operator()(std::span<const SmallValue> inputs) const;
    std::vector<SmallValue> operator()(std::initializer_list<SmallValue> inputs) const {
        return (*this)(std::span<const SmallValue>(inputs.begin(), inputs.size()));
    }

    // The Jacobian of all output lanes (rows, outputs in order, lanes in
    // order) with respect to all input lanes (columns, likewise), written row
    // by row into `jacobian` (output_lanes() * input_lanes() values), and,
    // when `outputs` is not empty (one per output), the outputs' lanes. An
    // output that does not depend on an input has zeros in its columns.
    void jacobian(std::span<const SmallValue> inputs, std::span<double> jacobian,
                  std::span<SmallValue> outputs = {}) const;
    void jacobian(std::initializer_list<SmallValue> inputs, std::span<double> jacobian,
                  std::span<SmallValue> outputs = {}) const {
        this->jacobian(std::span<const SmallValue>(inputs.begin(), inputs.size()), jacobian, outputs);
    }

    // The parameters below the outputs that are not inputs, each once, in the
    // order of a walk over the outputs in turn, each operand before its user
    // (the order of parameter_values()).
    const std::vector<Value>& parameters() const noexcept;

    // The current values of the parameters that are not inputs, each once,
    // each of its node's lanes: what a batch reads once, before its rows.
    std::vector<double> parameter_values() const;

    // The outputs over `rows` rows at once, on the calling thread (rows.hpp's
    // batches with one thread, every input given per row). `inputs[k]` points to rows x lanes
    // of input k, row after row; `outputs[j]` to room for rows x lanes of output
    // j. Each row gives exactly what a call gives with the parameters' values
    // that the batch reads before its rows: `parameter_values`, as
    // parameter_values() lists them (without spare lanes; checked as
    // set_value checks values, and std::invalid_argument unless there are as
    // many), or their current values. No node is read after that. The first
    // row that fails throws what a call with its values throws, with
    // " (row R)" added to a std::invalid_argument's text ("symbolic value
    // lanes must be finite (row R)"). `check`, when given, runs on the
    // calling thread between blocks of rows (and, in a block of Jacobians,
    // between outputs; for graphs that go row by row, between rows); the
    // batch stops with what it throws, leaving the rows it did not reach
    // unwritten and the others unspecified. A failure that the rows, read
    // again one by one, do not repeat (the caller changed an input array
    // during the batch) throws std::logic_error saying so. Working memory
    // does not grow with the rows.
    void evaluate_rows(std::size_t rows, std::span<const double* const> inputs, std::span<double* const> outputs,
                       std::span<const double> parameter_values, const std::function<void()>& check = {}) const;
    void evaluate_rows(std::size_t rows, std::span<const double* const> inputs, std::span<double* const> outputs) const;

    // The Jacobian of every row: rows x output_lanes() x input_lanes() values,
    // each row's by reverse sweeps, bit for bit a call's jacobian.
    void jacobian_rows(std::size_t rows, std::span<const double* const> inputs, double* jacobians,
                       std::span<const double> parameter_values, const std::function<void()>& check = {}) const;
    void jacobian_rows(std::size_t rows, std::span<const double* const> inputs, double* jacobians) const;

private:
    friend struct detail::FunctionAccess;
    std::shared_ptr<const detail::FunctionProgram> program_;
};

}  // namespace zarnik::symbolic
