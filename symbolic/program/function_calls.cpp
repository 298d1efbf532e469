// Single calls of a compiled function: checking the values given, and the
// outputs at them, from the program or from the reference evaluator.

#include <stdexcept>
#include <string>

#include "symbolic/function.hpp"
#include "symbolic/graph/internal.hpp"
#include "symbolic/program/function_program.hpp"

namespace zarnik::symbolic {

namespace detail {

std::string count_of(std::size_t count, const char* thing) {
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

void raise_in_row(const std::invalid_argument& error, std::size_t row) {
    throw std::invalid_argument(std::string(error.what()) + " (row " + std::to_string(row) + ")");
}

void check_input_count(const FunctionProgram& f, std::size_t given) {
    if (given != f.inputs.size()) {
        throw std::invalid_argument("the function takes " + count_of(f.inputs.size(), "input") + ", not " +
                                    std::to_string(given));
    }
}

void check_inputs(const FunctionProgram& f, std::span<const SmallValue> inputs) {
    check_input_count(f, inputs.size());
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        if (!f.propagate) {
            require_finite(inputs[k]);
        }
        if (inputs[k].dimension != f.input_dims[k]) {
            throw std::invalid_argument("input " + std::to_string(k) + " of the function has " +
                                        count_of(static_cast<std::size_t>(f.input_dims[k]), "lane") + ", not " +
                                        std::to_string(inputs[k].dimension));
        }
    }
}

std::vector<SmallValue> current_parameters(const FunctionProgram& f) {
    std::vector<SmallValue> values;
    values.reserve(f.parameters.size());
    for (const ValueNode* parameter : f.parameters) {
        values.push_back(parameter->value);
    }
    return values;
}

namespace {

// The lanes of a call, with the parameters' and the inputs' values read in.
double* load(const FunctionProgram& f, const CallValues& values, CallScratch& scratch) {
    double* const data = values.parameters.empty() ? program_lanes(f.program, f.serial, scratch)
                                                   : kept_program_lanes(f.program, f.serial, scratch);
    for (std::size_t m = 0; m < values.parameters.size(); ++m) {
        const ParameterSlot& parameter = f.program.parameters[m];
        for (std::size_t i = 0; i < parameter.dim; ++i) {
            data[parameter.offset + i] = values.parameters[m].lanes[i];
        }
    }
    for (std::size_t k = 0; k < values.inputs.size(); ++k) {
        const std::uint32_t offset = offset_of(f.input_places[k]);
        for (std::size_t i = 0; i < static_cast<std::size_t>(f.input_dims[k]); ++i) {
            data[offset + i] = values.inputs[k].lanes[i];
        }
    }
    return data;
}

}  // namespace

const double* run_one(const FunctionProgram& f, const CallValues& values, CallScratch& scratch) {
    double* const lanes = load(f, values, scratch);
    const ForwardOutcome outcome = run_forward(f.program, lanes);
    raise_if_failed(f.propagate ? ForwardOutcome{outcome.failed, false} : outcome);
    return lanes;
}

SmallValue output_of(const FunctionProgram& f, const CallValues& values, std::size_t j, const double* lanes) {
    const ValueNode* const leaf = f.output_leaves[j];
    if (leaf != nullptr && (values.parameters.empty() || leaf->kind == ValueKind::Constant)) {
        return leaf->value;
    }
    return value_at(lanes, f.output_places[j]);
}

const std::vector<SmallValue>& reference_values(const FunctionProgram& f, const ReferenceOrder& order,
                                                const CallValues& values, CallScratch& scratch) {
    std::vector<const SmallValue*>& given = scratch.reference_given;
    given.assign(order.nodes.size(), nullptr);
    const auto give = [&](std::size_t position, std::uint32_t source) {
        if (source < values.inputs.size()) {
            given[position] = &values.inputs[source];
        } else if (!values.parameters.empty()) {
            given[position] = &values.parameters[source - values.inputs.size()];
        }
    };
    if (&order == &f.reference) {
        for (const auto& [position, source] : f.given) {
            give(position, source);
        }
    } else {
        for (std::size_t position = 0; position < order.nodes.size(); ++position) {
            if (const auto source = f.sources.find(order.nodes[position]); source != f.sources.end()) {
                give(position, source->second);
            }
        }
    }
    reference_forward(order, scratch.reference_values, given);
    return scratch.reference_values;
}

std::vector<SmallValue> evaluate_one(const FunctionProgram& f, const CallValues& values, CallScratch& scratch) {
    std::vector<SmallValue> outputs;
    outputs.reserve(f.outputs.size());
    if (!f.regular) {
        // One pass over every output's nodes fails where evaluating the
        // outputs one after the other first fails: each output's nodes that
        // an earlier one does not share come in the order of its own walk.
        const std::vector<SmallValue>& all = reference_values(f, f.reference, values, scratch);
        for (const std::uint32_t position : f.output_positions) {
            outputs.push_back(all[position]);
        }
        return outputs;
    }
    const double* const lanes = run_one(f, values, scratch);
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        outputs.push_back(output_of(f, values, j, lanes));
    }
    return outputs;
}

}  // namespace detail

Function::Function(std::vector<Value> inputs, std::vector<Value> outputs, NonFinite nonfinite)
    : program_(detail::record_function(std::move(inputs), std::move(outputs), nonfinite == NonFinite::propagate)) {}

std::optional<NonFiniteOrigin> Function::non_finite_origin(std::span<const SmallValue> inputs) const {
    detail::check_input_count(*program_, inputs.size());
    if (program_->propagate || !program_->regular) {
        return std::nullopt;
    }
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        if (inputs[k].dimension != program_->input_dims[k]) {
            return std::nullopt;
        }
        for (int i = 0; i < inputs[k].dimension; ++i) {
            if (!detail::is_finite_lane(inputs[k][i])) {
                return std::nullopt;  // an input, not a node, is at fault
            }
        }
    }
    std::vector<std::uint64_t> ids;
    const auto f = detail::record_function(program_->inputs, program_->outputs, false, &ids);
    // Recording read the parameters' current values into the lanes.
    std::vector<double> lanes(f->program.lanes.data(), f->program.lanes.data() + f->program.lanes.size());
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        for (int i = 0; i < inputs[k].dimension; ++i) {
            lanes[detail::offset_of(f->input_places[k]) + static_cast<std::uint32_t>(i)] = inputs[k][i];
        }
    }
    const std::optional<detail::NonFiniteSource> source = detail::find_non_finite_source(f->program, lanes.data());
    if (!source) {
        return std::nullopt;
    }
    return NonFiniteOrigin{detail::op_of(f->program.code[source->instruction].code), ids[source->instruction],
                           source->value};
}

NonFinite Function::nonfinite() const noexcept { return program_->propagate ? NonFinite::propagate : NonFinite::raise; }

const std::vector<Value>& Function::inputs() const noexcept { return program_->inputs; }
const std::vector<Value>& Function::outputs() const noexcept { return program_->outputs; }
const std::vector<Value>& Function::parameters() const noexcept { return program_->parameter_handles; }
std::size_t Function::input_lanes() const noexcept { return program_->input_lanes; }
std::size_t Function::output_lanes() const noexcept { return program_->output_lanes; }

std::vector<SmallValue> Function::operator()(std::span<const SmallValue> inputs) const {
    detail::check_inputs(*program_, inputs);
    detail::ScratchLease scratch;
    return detail::evaluate_one(*program_, {inputs, {}}, *scratch);
}

std::vector<double> Function::parameter_values() const {
    std::vector<double> values;
    values.reserve(program_->parameter_lanes);
    for (const ValueNode* parameter : program_->parameters) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(parameter->dimension); ++i) {
            values.push_back(parameter->value.lanes[i]);
        }
    }
    return values;
}

}  // namespace zarnik::symbolic
