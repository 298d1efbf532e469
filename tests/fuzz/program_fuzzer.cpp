// libFuzzer harness: reads its input as a program of calls into the core and
// checks, after every call, what must hold whatever the arguments:
//   - only std::invalid_argument, std::out_of_range and std::logic_error escape;
//   - a failed call leaves every parameter's value and gradient as they were and
//     creates no node (beyond the constant that an operator with a double
//     operand makes before its checks);
//   - evaluation writes nothing;
//   - a folded constant equals, bit for bit, the evaluation of the same
//     operation over parameters holding the same numbers, and folding fails
//     exactly when that evaluation fails;
//   - a compiled tape evaluates and differentiates exactly as its value does:
//     the same lanes, or the same exception type and text, and the same
//     gradients;
//   - a compiled function of some leaves is refused when a placeholder below
//     its outputs is not an input; its calls give what evaluating the outputs
//     with the inputs' values set gives, its Jacobian's rows what backward
//     passes with unit seeds give, and its rows what single calls give, the
//     first failing row named.
//   - a gradient graph evaluates to the bits that backward adds into a
//     cleared gradient.
// A violated property aborts, which libFuzzer reports with the input.
//
// One input's work is bounded: it makes at most `node_budget` nodes, so that
// its graphs stay small and the fuzzer runs thousands of programs a second.
// Long chains and large graphs are the unit tests' business.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "symbolic/symbolic.hpp"

using namespace zarnik::symbolic;

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return position_ >= size_; }

    std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }

    int small_int() { return static_cast<std::int8_t>(byte()); }

    double lane() {
        constexpr double specials[] = {0.0,
                                       -0.0,
                                       1.0,
                                       -1.0,
                                       0.5,
                                       std::numeric_limits<double>::quiet_NaN(),
                                       std::numeric_limits<double>::infinity(),
                                       -std::numeric_limits<double>::infinity(),
                                       std::numeric_limits<double>::max(),
                                       -std::numeric_limits<double>::max(),
                                       std::numeric_limits<double>::denorm_min(),
                                       1e-300,
                                       1e300};
        const std::uint8_t b = byte();
        if (b < std::size(specials)) {
            return specials[b];
        }
        if (b < 240) {
            return (static_cast<double>(b) - 128.0) / 8.0;
        }
        double raw = 0.0;
        std::uint8_t bytes[sizeof(double)] = {};
        for (std::uint8_t& each : bytes) {
            each = byte();
        }
        std::memcpy(&raw, bytes, sizeof raw);
        return raw;
    }

    // Any dimension byte, so that invalid ones are tried too.
    SmallValue raw_small_value() {
        SmallValue value;
        value.dimension = small_int() % 6;
        for (double& each : value.lanes) {
            each = lane();
        }
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

struct Snapshot {
    SmallValue value;
    bool has_grad;
    SmallValue grad;
};

bool same_bits(const SmallValue& a, const SmallValue& b) {
    return a.dimension == b.dimension && std::memcmp(a.lanes.data(), b.lanes.data(), sizeof a.lanes) == 0;
}

// A gradient graph's lanes against backward's: the same bits, or a zero where
// backward has NaN. Backward runs every node's rule, also with an adjoint of
// zero, which an infinite slope turns into NaN (a leaf that reaches the
// target only through the conditions of gates and steps); the graph has no
// term there, and its zero is the derivative.
bool same_gradient(const SmallValue& graph, const SmallValue& backward) {
    if (graph.dimension != backward.dimension) {
        return false;
    }
    for (int i = 0; i < graph.dimension; ++i) {
        const bool same = std::bit_cast<std::uint64_t>(graph[i]) == std::bit_cast<std::uint64_t>(backward[i]);
        if (!same && !(std::isnan(backward[i]) && graph[i] == 0.0)) {
            return false;
        }
    }
    return true;
}

std::uint64_t next_id() { return constant(0.0).id() + 1; }

bool same_snapshots(const std::vector<Snapshot>& a, const std::vector<Snapshot>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i].value, b[i].value) || a[i].has_grad != b[i].has_grad ||
            (a[i].has_grad && !same_bits(a[i].grad, b[i].grad))) {
            return false;
        }
    }
    return a.size() == b.size();
}

// What a call did: its lanes, or the type and text of what it threw.
struct Outcome {
    SmallValue lanes{};
    std::string thrown;

    bool operator==(const Outcome& other) const { return thrown == other.thrown && same_bits(lanes, other.lanes); }
};

template <typename Call>
Outcome outcome_of(Call&& call) {
    try {
        return {call(), {}};
    } catch (const std::exception& error) {
        return {SmallValue{}, std::string(typeid(error).name()) + ": " + error.what()};
    }
}

// Nodes one input may make, probes and folding checks included.
constexpr std::uint64_t node_budget = 400;

class Program {
public:
    explicit Program(Reader& in) : in_(in), first_id_(next_id()) {}

    void run() {
        while (!in_.done() && next_id() - first_id_ < node_budget) {
            step();
        }
    }

private:
    Value& slot() { return slots_[in_.byte() % slots_.size()]; }

    void keep(Value value) {
        if (value.is_parameter() && parameters_.size() < 64) {
            parameters_.push_back(value);
        }
        slot() = std::move(value);
    }

    // Into a buffer that the program keeps, so that a step allocates no more than the library does.
    void snapshot(std::vector<Snapshot>& all) const {
        all.clear();
        for (const Value& p : parameters_) {
            all.push_back({p.node().value, p.has_grad(), p.has_grad() ? p.grad() : SmallValue{}});
        }
    }

    // Puts back the gradients of a snapshot (values are never changed by what is compared).
    void restore(const std::vector<Snapshot>& before) const {
        for (std::size_t i = 0; i < before.size(); ++i) {
            parameters_[i].mutable_node().grad = before[i].has_grad ? before[i].grad : SmallValue{};
        }
    }

    void expect_unchanged(const std::vector<Snapshot>& before, const char* what) const {
        for (std::size_t i = 0; i < before.size(); ++i) {
            const Value& p = parameters_[i];
            if (!same_bits(p.node().value, before[i].value) || p.has_grad() != before[i].has_grad ||
                (p.has_grad() && !same_bits(p.grad(), before[i].grad))) {
                violated(what);
            }
        }
    }

    // Runs `call`; returns whether it succeeded. On failure checks the
    // exception's type, that no parameter changed and, for a single call into
    // the core (`one_call`), that no node was made beyond `extra_nodes`.
    template <typename Call>
    bool attempt(Call&& call, std::uint64_t extra_nodes = 0, bool one_call = true) {
        std::vector<Snapshot>& before = attempt_snapshot_;
        snapshot(before);
        const std::uint64_t first_free = next_id();
        last_thrown_.clear();
        try {
            call();
            return true;
        } catch (const std::exception& error) {
            const std::type_info& type = typeid(error);
            last_thrown_ = std::string(type.name()) + ": " + error.what();
            if (type != typeid(std::invalid_argument) && type != typeid(std::out_of_range) &&
                type != typeid(std::logic_error)) {
                std::fprintf(stderr, "%s: %s\n", type.name(), error.what());
                violated("an undocumented exception type escaped");
            }
        } catch (...) {
            violated("a non-standard exception escaped");
        }
        expect_unchanged(before, "a failed call changed a parameter");
        // next_id() itself makes one probe constant.
        if (one_call && next_id() != first_free + 1 + extra_nodes) {
            violated("a failed call created a node");
        }
        return false;
    }

    // Folding and evaluation share their arithmetic: compare a folded result
    // with the same operation evaluated over parameters.
    template <typename Build>
    void check_folding(const std::optional<Value>& folded, const Build& build,
                       const std::vector<SmallValue>& operands) {
        std::vector<Value> params;
        for (const SmallValue& lanes : operands) {
            params.push_back(parameter(lanes, ""));
        }
        std::optional<Value> over_parameters;
        std::optional<SmallValue> evaluated;
        const bool ok = attempt(
            [&] {
                over_parameters = build(params);
                evaluated = over_parameters->evaluate();
            },
            0, false);
        if (folded.has_value() != ok) {
            violated("folding and evaluation disagree on failing");
        }
        if (folded && !same_bits(folded->value(), *evaluated)) {
            violated("a folded constant differs from the evaluation of the same expression");
        }
    }

    // The gradient graphs of `target`, a scalar whose backward pass has just
    // succeeded, give bit for bit what the pass adds into cleared gradients,
    // wherever their values are finite. Leaves every gradient as it was.
    void check_gradient_graphs(const Value& target) {
        std::vector<Snapshot> before;
        snapshot(before);
        std::vector<Value> graphs;
        try {
            graphs = gradient(target, parameters_);
        } catch (const std::invalid_argument&) {
            return;  // a node that its builders did not make
        }
        for (const Value& p : parameters_) {
            p.mutable_node().grad = SmallValue{};
        }
        target.backward();
        for (std::size_t k = 0; k < parameters_.size(); ++k) {
            SmallValue expected;
            expected.dimension = parameters_[k].dimension();
            if (parameters_[k].has_grad()) {
                expected = parameters_[k].grad();
            }
            try {
                if (!same_gradient(graphs[k].evaluate(), expected)) {
                    violated("a gradient graph differs from what backward adds");
                }
            } catch (const std::invalid_argument&) {
                // A value of the gradient graph is not finite.
            }
        }
        restore(before);
    }

    void step();
    void check_function(const Function& f, const std::vector<SmallValue>& at);

    Reader& in_;
    const std::uint64_t first_id_;
    std::array<Value, 8> slots_{};
    std::vector<Value> parameters_;
    std::vector<Snapshot> attempt_snapshot_;
    std::vector<Snapshot> step_snapshot_;
    std::string last_thrown_;  // what the last attempt threw, if it failed
};

ExpressionOp binary_op(std::uint8_t b) {
    constexpr ExpressionOp ops[] = {
        ExpressionOp::Add,        ExpressionOp::Subtract,     ExpressionOp::Multiply, ExpressionOp::Divide,
        ExpressionOp::Pow,        ExpressionOp::Atan2,        ExpressionOp::Minimum,  ExpressionOp::Maximum,
        ExpressionOp::Step,       ExpressionOp::Gate,         ExpressionOp::Less,     ExpressionOp::LessEqual,
        ExpressionOp::Greater,    ExpressionOp::GreaterEqual, ExpressionOp::Equal,    ExpressionOp::NotEqual,
        ExpressionOp::LogicalAnd, ExpressionOp::LogicalOr,    ExpressionOp::Where};
    return ops[b % std::size(ops)];
}

Value as_value(Value v) { return v; }
Value as_value(double number) { return constant(number); }

// The binary builders, over two handles or with a number on either side
// (T is Value or double; at most one of them a double). step and gate take
// handles only: a number becomes a constant first.
template <typename A, typename B>
Value apply_binary(ExpressionOp op, A a, B b) {
    switch (op) {
        case ExpressionOp::Step: {
            Value left = as_value(std::move(a));
            return step(std::move(left), as_value(std::move(b)));
        }
        case ExpressionOp::Gate: {
            Value left = as_value(std::move(a));
            return gate(std::move(left), as_value(std::move(b)));
        }
        case ExpressionOp::Where: {  // the condition as a branch too
            Value condition = as_value(std::move(a));
            Value x = as_value(std::move(b));
            return where(condition, std::move(x), condition);
        }
        case ExpressionOp::Add: return std::move(a) + std::move(b);
        case ExpressionOp::Subtract: return std::move(a) - std::move(b);
        case ExpressionOp::Multiply: return std::move(a) * std::move(b);
        case ExpressionOp::Pow: return pow(std::move(a), std::move(b));
        case ExpressionOp::Atan2: return atan2(std::move(a), std::move(b));
        case ExpressionOp::Minimum: return minimum(std::move(a), std::move(b));
        case ExpressionOp::Maximum: return maximum(std::move(a), std::move(b));
        case ExpressionOp::Less: return less(std::move(a), std::move(b));
        case ExpressionOp::LessEqual: return less_equal(std::move(a), std::move(b));
        case ExpressionOp::Greater: return greater(std::move(a), std::move(b));
        case ExpressionOp::GreaterEqual: return greater_equal(std::move(a), std::move(b));
        case ExpressionOp::Equal: return equal(std::move(a), std::move(b));
        case ExpressionOp::NotEqual: return not_equal(std::move(a), std::move(b));
        case ExpressionOp::LogicalAnd: return logical_and(std::move(a), std::move(b));
        case ExpressionOp::LogicalOr: return logical_or(std::move(a), std::move(b));
        default: return std::move(a) / std::move(b);
    }
}

// Negation, sine, cosine and the elementary functions; operands outside a
// function's domain come as often as any others.
Value apply_unary(std::uint8_t which, Value a) {
    using Unary = Value (*)(Value);
    constexpr Unary functions[] = {
        [](Value v) { return -std::move(v); },
        sin,
        cos,
        sqrt,
        exp,
        log,
        log1p,
        expm1,
        tanh,
        sinh,
        cosh,
        tan,
        asin,
        acos,
        atan,
        abs,
        sign,
        cbrt,
        logical_not,
    };
    return functions[which % std::size(functions)](std::move(a));
}

bool all_constant(std::initializer_list<const Value*> values) {
    for (const Value* v : values) {
        if (!v->is_leaf() || !v->is_constant()) {
            return false;
        }
    }
    return true;
}

// What a call of a function did: its outputs' lanes, or the type and text of what it threw.
struct CallOutcome {
    std::vector<SmallValue> lanes;
    const std::type_info* type = nullptr;
    std::string thrown;
};

template <typename Call>
CallOutcome call_outcome(Call&& call) {
    try {
        return {call(), nullptr, {}};
    } catch (const std::exception& error) {
        return {{}, &typeid(error), std::string(typeid(error).name()) + ": " + error.what()};
    }
}

bool same_lanes(const std::vector<SmallValue>& a, const std::vector<SmallValue>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

bool same_doubles(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void Program::check_function(const Function& f, const std::vector<SmallValue>& at) {
    const std::vector<Value>& inputs = f.inputs();
    const std::vector<Value>& outputs = f.outputs();
    snapshot(step_snapshot_);
    const CallOutcome called = call_outcome([&] { return f(at); });
    expect_unchanged(step_snapshot_, "a function's call changed a parameter");

    // With every input a parameter, the call is the outputs evaluated with
    // the inputs' values set, one after the other.
    bool by_parameters = true;
    bool finite = true;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        by_parameters = by_parameters && inputs[k].is_parameter();
        for (int i = 0; i < at[k].dimension; ++i) {
            const double lane = at[k].lanes[static_cast<std::size_t>(i)];
            finite = finite && std::fabs(lane) <= std::numeric_limits<double>::max();
        }
    }
    if (!finite && (called.type != &typeid(std::invalid_argument) ||
                    called.thrown.find("symbolic value lanes must be finite") == std::string::npos)) {
        violated("a function's call took an input that is not finite");
    }
    std::vector<SmallValue> held;
    if (by_parameters && finite) {
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            held.push_back(inputs[k].value());
            inputs[k].set_value(at[k]);
        }
        const CallOutcome evaluated = call_outcome([&] {
            std::vector<SmallValue> lanes;
            for (const Value& output : outputs) {
                lanes.push_back(output.evaluate());
            }
            return lanes;
        });
        if (evaluated.thrown != called.thrown || !same_lanes(evaluated.lanes, called.lanes)) {
            std::fprintf(stderr, "evaluated: %s\ncalled: %s\n", evaluated.thrown.c_str(), called.thrown.c_str());
            violated("a function's call differs from evaluating its outputs");
        }
    }

    if (called.type == nullptr) {
        // The Jacobian gives the call's values, and rows of backward passes.
        std::vector<double> jacobian(f.output_lanes() * f.input_lanes());
        std::vector<SmallValue> values(outputs.size());
        // A sweep through nodes that break the builders' invariants may fail
        // where evaluation does not, as a backward pass from them does.
        const bool swept = attempt([&] { f.jacobian(at, jacobian, values); });
        if (swept && !same_lanes(values, called.lanes)) {
            violated("a function's Jacobian gave other values than its call");
        }
        bool passes_failed = false;
        if (by_parameters) {
            std::vector<SmallValue> grads;  // of inputs the snapshot may not cover
            for (const Value& input : inputs) {
                grads.push_back(input.node().grad);
            }
            std::size_t row = 0;
            for (const Value& output : outputs) {
                for (int l = 0; l < output.dimension(); ++l, ++row) {
                    restore(step_snapshot_);
                    for (const Value& input : inputs) {
                        input.mutable_node().grad = SmallValue{};
                    }
                    SmallValue seed;
                    seed.dimension = output.dimension();
                    seed.lanes[static_cast<std::size_t>(l)] = 1.0;
                    try {
                        output.backward(seed);
                    } catch (const std::exception&) {
                        passes_failed = true;
                        continue;
                    }
                    if (!swept) {
                        continue;
                    }
                    std::size_t column = 0;
                    for (const Value& input : inputs) {
                        for (int i = 0; i < input.dimension(); ++i, ++column) {
                            const auto lane = static_cast<std::size_t>(i);
                            const double expected = input.has_grad() ? input.grad().lanes[lane] : 0.0;
                            if (!same_doubles(jacobian[row * f.input_lanes() + column], expected)) {
                                violated("a function's Jacobian differs from a backward pass");
                            }
                        }
                    }
                }
            }
            for (std::size_t k = 0; k < inputs.size(); ++k) {
                inputs[k].mutable_node().grad = grads[k];
            }
            if (!swept && !passes_failed) {
                std::fprintf(stderr, "Jacobian: %s\n", last_thrown_.c_str());
                violated("a function's Jacobian failed where every backward pass succeeds");
            }
        }
    }
    for (std::size_t k = 0; k < held.size(); ++k) {
        inputs[k].set_value(held[k]);
    }
    restore(step_snapshot_);
    expect_unchanged(step_snapshot_, "a function's Jacobian changed a parameter");

    // Rows: the values given, then with one lane of one input replaced; each
    // row is what a call gives, and the first that fails is the batch's error.
    if (inputs.empty()) {
        return;
    }
    const std::size_t rows = 1 + in_.byte() % 3;
    const std::size_t changed_input = in_.byte() % inputs.size();
    const double changed_lane = in_.lane();
    std::vector<std::vector<double>> columns(inputs.size());
    std::vector<std::vector<SmallValue>> row_values(rows, at);
    for (std::size_t r = 0; r < rows; ++r) {
        if (r == 1) {
            row_values[r][changed_input].lanes[0] = changed_lane;
        }
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            for (int i = 0; i < at[k].dimension; ++i) {
                columns[k].push_back(row_values[r][k].lanes[static_cast<std::size_t>(i)]);
            }
        }
    }
    std::vector<const double*> input_rows;
    for (const auto& column : columns) {
        input_rows.push_back(column.data());
    }
    std::vector<std::vector<double>> results(outputs.size());
    std::vector<double*> output_rows;
    for (std::size_t j = 0; j < outputs.size(); ++j) {
        results[j].resize(rows * static_cast<std::size_t>(outputs[j].dimension()));
        output_rows.push_back(results[j].data());
    }
    const std::size_t size = f.output_lanes() * f.input_lanes();
    std::vector<double> jacobians(rows * size);
    // Values given for the parameters carry no spare lanes, which only nodes
    // that break the builders' invariants read: given only where none has any.
    bool no_spare_lanes = true;
    for (const Value& p : parameters_) {
        const SmallValue value = p.node().value;
        for (int i = value.dimension; i < 4; ++i) {
            no_spare_lanes = no_spare_lanes && same_doubles(value.lanes[static_cast<std::size_t>(i)], 0.0);
        }
    }
    const bool given = in_.byte() % 2 == 0 && no_spare_lanes;
    snapshot(step_snapshot_);
    const CallOutcome evaluated_rows = call_outcome([&] {
        given ? f.evaluate_rows(rows, input_rows, output_rows, f.parameter_values())
              : f.evaluate_rows(rows, input_rows, output_rows);
        return std::vector<SmallValue>{};
    });
    const CallOutcome jacobian_rows = call_outcome([&] {
        given ? f.jacobian_rows(rows, input_rows, jacobians.data(), f.parameter_values())
              : f.jacobian_rows(rows, input_rows, jacobians.data());
        return std::vector<SmallValue>{};
    });
    expect_unchanged(step_snapshot_, "a function's rows changed a parameter");
    // The error of the first row whose call fails, as a batch names it.
    const auto first_failure = [&](const auto& call) {
        for (std::size_t r = 0; r < rows; ++r) {
            const CallOutcome row = call_outcome([&] { return call(r); });
            if (row.type != nullptr) {
                const bool named = row.type == &typeid(std::invalid_argument);
                return row.thrown + (named ? " (row " + std::to_string(r) + ")" : "");
            }
        }
        return std::string();
    };
    const std::string values_failure = first_failure([&](std::size_t r) { return f(row_values[r]); });
    std::vector<double> single(rows * size);
    const std::string jacobians_failure = first_failure([&](std::size_t r) {
        f.jacobian(row_values[r], std::span<double>(single).subspan(r * size, size));
        return std::vector<SmallValue>{};
    });
    if (evaluated_rows.thrown != values_failure || jacobian_rows.thrown != jacobians_failure) {
        std::fprintf(stderr, "rows: %s\ncalls: %s\nJacobian rows: %s\nJacobians: %s\n", evaluated_rows.thrown.c_str(),
                     values_failure.c_str(), jacobian_rows.thrown.c_str(), jacobians_failure.c_str());
        violated("a function's rows failed otherwise than its calls");
    }
    // What a failed batch wrote is unspecified.
    if (jacobians_failure.empty() && jacobians != single) {
        for (std::size_t e = 0; e < single.size(); ++e) {
            if (!same_doubles(jacobians[e], single[e])) {
                violated("a function's Jacobian row differs from its Jacobian");
            }
        }
    }
    if (!values_failure.empty()) {
        return;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        const std::vector<SmallValue> row = f(row_values[r]);
        for (std::size_t j = 0; j < outputs.size(); ++j) {
            const auto dim = static_cast<std::size_t>(outputs[j].dimension());
            for (std::size_t i = 0; i < dim; ++i) {
                if (!same_doubles(results[j][r * dim + i], row[j].lanes[i])) {
                    std::fprintf(stderr, "row %zu output %zu lane %zu: %a / %a; %s\n", r, j, i, results[j][r * dim + i],
                                 row[j].lanes[i], outputs[j].debug_string().c_str());
                    violated("a function's row differs from its call");
                }
            }
        }
    }
}

void Program::step() {
    const std::uint8_t opcode = in_.byte();
    switch (opcode % 17) {
        case 0: {  // constant of any form
            SmallValue lanes = in_.raw_small_value();
            Value made;
            if (attempt([&] { made = constant(lanes); })) {
                keep(made);
            }
            break;
        }
        case 1: {  // parameter
            SmallValue lanes = in_.raw_small_value();
            Value made;
            if (attempt([&] { made = parameter(lanes, std::string(in_.byte() % 3, 'p')); })) {
                keep(made);
            }
            break;
        }
        case 2: {  // placeholder, with or without a hint
            const int dimension = in_.small_int();
            const bool hinted = in_.byte() % 2 == 0;
            const SmallValue hint = in_.raw_small_value();
            Value made;
            if (attempt([&] { made = hinted ? undefined_with_hint(hint, "h") : undefined(dimension, "u"); })) {
                keep(made);
            }
            break;
        }
        case 3: {  // binary over two handles, or where over three
            const ExpressionOp op = binary_op(in_.byte());
            const Value a = slot();
            const Value b = slot();
            if (op == ExpressionOp::Where) {
                const Value c = slot();
                Value made;
                const bool ok = attempt([&] { made = where(a, b, c); });
                if (ok) {
                    keep(made);
                }
                if (all_constant({&a, &b, &c})) {
                    check_folding(ok ? std::optional<Value>(made) : std::nullopt,
                                  [](std::vector<Value> p) { return where(p[0], p[1], p[2]); },
                                  {a.value(), b.value(), c.value()});
                }
                break;
            }
            const bool foldable = all_constant({&a, &b});
            Value made;
            const bool ok = attempt([&] { made = apply_binary(op, a, b); });
            if (ok) {
                keep(made);
            }
            if (foldable) {
                check_folding(ok ? std::optional<Value>(made) : std::nullopt,
                              [op](std::vector<Value> p) { return apply_binary(op, p[0], p[1]); },
                              {a.value(), b.value()});
            }
            break;
        }
        case 4:
        case 5: {  // binary with a double on either side
            const ExpressionOp op = binary_op(in_.byte());
            const Value a = slot();
            const double d = in_.lane();
            const bool number_first = opcode % 16 == 5;
            const std::uint64_t extra = std::fabs(d) <= std::numeric_limits<double>::max() ? 1 : 0;
            Value made;
            const bool ok =
                attempt([&] { made = number_first ? apply_binary(op, d, a) : apply_binary(op, a, d); }, extra);
            if (ok) {
                keep(made);
            }
            break;
        }
        case 6: {  // negation, sine, cosine, the elementary functions
            const std::uint8_t which = in_.byte();
            const Value a = slot();
            const bool foldable = all_constant({&a});
            Value made;
            const bool ok = attempt([&] { made = apply_unary(which, a); });
            if (ok) {
                keep(made);
            }
            if (foldable) {
                check_folding(ok ? std::optional<Value>(made) : std::nullopt,
                              [which](std::vector<Value> p) { return apply_unary(which, p[0]); }, {a.value()});
            }
            break;
        }
        case 7: {  // component
            const Value a = slot();
            const int index = in_.small_int() % 6;
            Value made;
            if (attempt([&] { made = component(a, index); })) {
                keep(made);
            }
            break;
        }
        case 8: {  // vec2, vec3, vec4
            const int count = 2 + in_.byte() % 3;
            std::array<Value, 4> args{slot(), slot(), slot(), slot()};
            Value made;
            if (attempt([&] {
                    made = count == 2   ? vec2(args[0], args[1])
                           : count == 3 ? vec3(args[0], args[1], args[2])
                                        : vec4(args[0], args[1], args[2], args[3]);
                })) {
                keep(made);
            }
            break;
        }
        case 9: {  // make_expression with arbitrary fields
            // Every operation's code and some that name none.
            const auto op = static_cast<ExpressionOp>(in_.byte() % 40);
            const int dimension = in_.small_int() % 6;
            std::array<Value, 4> inputs{};
            for (Value& input : inputs) {
                if (in_.byte() % 4 != 0) {
                    input = slot();
                }
            }
            const int count = in_.small_int() % 6;
            const int index = in_.small_int() % 6;
            Value made;
            if (attempt([&] { made = make_expression(op, dimension, inputs, count, index); })) {
                keep(made);
            }
            break;
        }
        case 10: {  // set_value with any lanes, spare lanes included
            const Value& target = slot();
            const SmallValue lanes = in_.raw_small_value();
            attempt([&] { target.set_value(lanes); });
            break;
        }
        case 11: {  // evaluation writes nothing, whether it succeeds or not, and a tape agrees
            const Value& target = slot();
            snapshot(step_snapshot_);
            attempt([&] { target.evaluate(); });
            expect_unchanged(step_snapshot_, "evaluation changed a parameter");
            const Outcome by_value = outcome_of([&] { return target.evaluate(); });
            const Outcome by_tape = outcome_of([&] { return Tape(target).evaluate(); });
            if (!(by_value == by_tape)) {
                std::fprintf(stderr, "value: %s\ntape: %s\n", by_value.thrown.c_str(), by_tape.thrown.c_str());
                violated("a tape evaluated otherwise than its value");
            }
            break;
        }
        case 12: {  // backward with or without a seed, by the value and by a tape from the same start
            const Value& target = slot();
            const bool seeded = in_.byte() % 2 == 0;
            const SmallValue seed = in_.raw_small_value();
            snapshot(step_snapshot_);
            attempt([&] { seeded ? target.backward(seed) : target.backward(); });
            if (target.same_node(Value{})) {
                break;  // no tape is made of an empty handle
            }
            const Outcome by_value{SmallValue{}, last_thrown_};
            std::vector<Snapshot> after_value;
            snapshot(after_value);
            restore(step_snapshot_);
            const Outcome by_tape = outcome_of([&] {
                const Tape tape(target);
                seeded ? tape.backward(seed) : tape.backward();
                return SmallValue{};
            });
            std::vector<Snapshot> after_tape;
            snapshot(after_tape);
            if (!(by_value == by_tape) || !same_snapshots(after_value, after_tape)) {
                std::fprintf(stderr, "value: %s\ntape: %s\n", by_value.thrown.c_str(), by_tape.thrown.c_str());
                violated("a tape differentiated otherwise than its value");
            }
            if (!seeded && by_value.thrown.empty()) {
                check_gradient_graphs(target);
            }
            break;
        }
        case 13: {
            const Value& target = slot();
            attempt([&] { target.zero_grad(); });
            break;
        }
        case 14: slot() = Value{}; break;
        case 16: {  // a function of some slots, called, differentiated and run over rows
            std::vector<Value> inputs(in_.byte() % 4);
            for (Value& input : inputs) {
                input = slot();
            }
            std::vector<Value> outputs(1 + in_.byte() % 2);
            for (Value& output : outputs) {
                output = slot();
            }
            std::optional<Function> f;
            if (!attempt([&] { f.emplace(inputs, outputs); })) {
                break;
            }
            std::vector<SmallValue> at;
            for (const Value& input : inputs) {
                SmallValue value;
                value.dimension = input.dimension();
                for (int i = 0; i < value.dimension; ++i) {
                    value.lanes[static_cast<std::size_t>(i)] = in_.lane();
                }
                at.push_back(value);
            }
            check_function(*f, at);
            break;
        }
        default: {  // 15: a short chain on top of a slot, so that nesting shows up too
            Value& target = slot();
            const int length = in_.byte() % 8;
            attempt(
                [&] {
                    Value chain = target;
                    for (int i = 0; i < length; ++i) {
                        chain = sin(chain) * 0.5 + target;
                    }
                    target = chain;
                },
                0, false);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Program program(in);
    program.run();
    return 0;
}
