#pragma once

// Compiled tapes: a graph recorded once, evaluated and differentiated many
// times.

#include <cstddef>
#include <memory>
#include <vector>

#include "symbolic/value.hpp"

namespace zarnik::symbolic {

namespace detail {
struct TapeProgram;
}  // namespace detail

// The graph below one value, recorded once into flat arrays in evaluation
// order. A tape shares ownership of the graph and keeps the contract of the
// value's own calls: each call reads the parameters' current values (so
// set_value works as before), gives results bit for bit equal to
// Value::evaluate and Value::backward, fails alike (the same exception type
// and text in the same situations), writes nothing when it fails, and adds
// gradients into the parameters as Value::backward does. What a tape saves is
// the walk over the graph on every call.
//
// A tape is immutable: calls may run on several threads at once, with the
// caller keeping writes (set_value, backward, zero_grad) apart from other use
// of the same nodes, as for values.
class Tape {
public:
    // Records the graph below `output`; an empty handle throws
    // std::invalid_argument "backward value is not a valid symbolic value".
    explicit Tape(const Value& output);

    // The output's lanes, as Value::evaluate gives them.
    SmallValue evaluate() const;
    // Value::backward(seed) on the recorded graph; returns the output's lanes.
    SmallValue backward(SmallValue seed) const;
    // Value::backward() on the recorded graph; returns the output's lanes.
    SmallValue backward() const;
    // Removes the gradients of every parameter of the graph.
    void zero_grad() const;

    const Value& output() const noexcept;
    // The graph's parameters, in evaluation order.
    const std::vector<Value>& parameters() const noexcept;
    // The number of distinct nodes recorded.
    std::size_t size() const noexcept;
    // The bytes the tape holds beyond the graph's own nodes.
    std::size_t memory_bytes() const noexcept;

private:
    std::shared_ptr<const detail::TapeProgram> program_;
};

}  // namespace zarnik::symbolic
