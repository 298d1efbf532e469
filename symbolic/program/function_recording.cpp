// Recording a compiled function: one walk over the graphs below all outputs,
// each node once, which places the inputs where their values go instead of
// reading their nodes. Its cost is linear in the graph and the outputs.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "symbolic/program/function_program.hpp"

namespace zarnik::symbolic::detail {

namespace {

using InputIndex = std::unordered_map<const ValueNode*, std::size_t>;

// Wraps the program's (or the reference's) recorder: places the inputs,
// notes the parameters that are not inputs, and the placeholders that are not.
template <typename Inner>
class FunctionRecorder {
public:
    FunctionRecorder(FunctionProgram& f, Inner& inner, const InputIndex& input_index)
        : f_(f), inner_(inner), input_index_(input_index), reached_(f.inputs.size(), false) {}

    std::uint32_t complete(ValueNode& node, const std::uint32_t* inputs, const Value* handle) {
        if (node.input_count == 0) {
            if (const auto input = input_index_.find(&node); input != input_index_.end()) {
                reached_[input->second] = true;
                return place_input(node, input->second, handle);
            }
            if (node.kind == ValueKind::Parameter) {
                f_.parameters.push_back(&node);
                f_.parameter_handles.push_back(*handle);  // a leaf always comes with its handle
            } else if (node.kind == ValueKind::Undefined) {
                free_.push_back(*handle);  // a leaf always comes with its handle
            }
        }
        if constexpr (std::is_same_v<Inner, ProgramRecorder>) {
            if (node_ids_ != nullptr) {
                const std::size_t before = f_.program.code.size();
                const std::uint32_t placed = inner_.complete(node, inputs, handle);
                if (f_.program.code.size() > before) {
                    node_ids_->push_back(node.id);
                }
                return placed;
            }
        }
        return inner_.complete(node, inputs, handle);
    }

    void collect_node_ids(std::vector<std::uint64_t>* ids) noexcept { node_ids_ = ids; }
    bool reached(std::size_t input) const { return reached_[input]; }
    const std::vector<Value>& free_placeholders() const noexcept { return free_; }

private:
    std::uint32_t place_input(ValueNode& node, std::size_t k, const Value* handle) {
        if constexpr (std::is_same_v<Inner, ProgramRecorder>) {
            static_cast<void>(handle);
            f_.input_places[k] =
                place(f_.program.lanes.allocate(static_cast<std::size_t>(node.dimension)), node.dimension);
            return f_.input_places[k];
        } else {
            return inner_.complete(node, nullptr, handle);
        }
    }

    FunctionProgram& f_;
    Inner& inner_;
    const InputIndex& input_index_;
    std::vector<bool> reached_;
    std::vector<std::uint64_t>* node_ids_ = nullptr;
    std::vector<Value> free_;
};

[[noreturn]] void refuse_free_placeholders(const std::vector<Value>& free) {
    constexpr std::size_t named = 8;
    std::string text = "function outputs depend on placeholders that are not inputs: ";
    for (std::size_t i = 0; i < std::min(free.size(), named); ++i) {
        text += (i > 0 ? ", " : "") + free[i].debug_string();
    }
    if (free.size() > named) {
        text += " and " + std::to_string(free.size() - named) + " more";
    }
    throw std::invalid_argument(text);
}

// Walks all outputs with one recorder; returns each output's place, and
// calls `before(j)` before output j's walk.
template <typename Recorder, typename Before>
std::vector<std::uint32_t> walk_outputs(const FunctionProgram& f, Recorder& recorder, Before&& before) {
    WalkStack stack;
    std::vector<std::uint32_t> places;
    places.reserve(f.outputs.size());
    begin_walks(stack);
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        before(j);
        places.push_back(walk_more(f.outputs[j], stack, recorder));
    }
    return places;
}

void record_reference(FunctionProgram& f, const InputIndex& input_index) {
    f.regular = false;
    f.program = Program{};
    f.input_places.clear();
    f.output_places.clear();
    f.output_leaves.clear();
    f.parameters.clear();
    f.parameter_handles.clear();
    ReferenceRecorder reference(f.reference);
    FunctionRecorder<ReferenceRecorder> recorder(f, reference, input_index);
    f.output_positions = walk_outputs(f, recorder, [](std::size_t) {});
    for (const auto& [node, k] : input_index) {
        f.sources.emplace(node, static_cast<std::uint32_t>(k));
    }
    for (std::size_t m = 0; m < f.parameters.size(); ++m) {
        f.sources.emplace(f.parameters[m], static_cast<std::uint32_t>(f.inputs.size() + m));
    }
    for (std::size_t position = 0; position < f.reference.nodes.size(); ++position) {
        if (const auto source = f.sources.find(f.reference.nodes[position]); source != f.sources.end()) {
            f.given.emplace_back(static_cast<std::uint32_t>(position), source->second);
        }
    }
    f.reference.nodes.shrink_to_fit();
    f.reference.inputs.shrink_to_fit();
}

// Completes a program's function: lanes for the inputs no output reaches,
// and the sweeps kept for its Jacobians.
void finish_program(FunctionProgram& f, const FunctionRecorder<ProgramRecorder>& recorder,
                    const std::vector<std::uint32_t>& first_instructions, bool branches) {
    // An input that no output reaches still gets lanes, where its values go unread.
    for (std::size_t k = 0; k < f.inputs.size(); ++k) {
        if (!recorder.reached(k)) {
            f.input_places[k] =
                place(f.program.lanes.allocate(static_cast<std::size_t>(f.input_dims[k])), f.input_dims[k]);
        }
    }
    if (branches) {
        // Propagated values carry nothing and are checked nowhere, but a
        // branch not taken still passes back an exact zero.
        mark_guarded(f.program, f.output_places, !f.propagate);
    }
    f.can_fail = std::any_of(f.program.code.begin(), f.program.code.end(),
                             [](const Instruction& in) { return in.code == Code::Fail; });
    f.program.code.shrink_to_fit();
    f.program.pack_inputs.shrink_to_fit();
    f.program.lanes.shrink_to_fit();
    f.program.parameters.shrink_to_fit();
    f.parameters.shrink_to_fit();
    f.parameter_handles.shrink_to_fit();
    keep_sweeps(f, first_instructions);
}

}  // namespace

std::shared_ptr<const FunctionProgram> record_function(std::vector<Value> inputs, std::vector<Value> outputs,
                                                       bool propagate, std::vector<std::uint64_t>* node_ids) {
    auto f = std::make_shared<FunctionProgram>();
    f->propagate = propagate;
    InputIndex input_index;
    for (const Value& input : inputs) {
        require_valid(input, "function input");
        if (!input.is_undefined() && !input.is_parameter()) {
            throw std::invalid_argument("function inputs must be placeholders or parameters");
        }
        if (!input_index.emplace(&input.node(), input_index.size()).second) {
            throw std::invalid_argument("function inputs must be distinct");
        }
        f->input_dims.push_back(input.dimension());
        f->input_lanes += static_cast<std::size_t>(input.dimension());
    }
    if (outputs.empty()) {
        throw std::invalid_argument("a function needs at least one output");
    }
    for (const Value& output : outputs) {
        require_valid(output, "function output");
        f->output_dims.push_back(output.dimension());
        f->output_lanes += static_cast<std::size_t>(output.dimension());
    }
    f->inputs = std::move(inputs);
    f->outputs = std::move(outputs);
    f->serial = next_program_serial();

    f->input_places.assign(f->inputs.size(), Place{});
    ProgramRecorder program(f->program);
    FunctionRecorder<ProgramRecorder> recorder(*f, program, input_index);
    recorder.collect_node_ids(node_ids);
    // Each output's walk records the instructions below it that no earlier output reached.
    std::vector<std::uint32_t> first_instructions(f->outputs.size() + 1);
    f->output_places = walk_outputs(*f, recorder, [&](std::size_t j) {
        first_instructions[j] = static_cast<std::uint32_t>(f->program.code.size());
    });
    first_instructions.back() = static_cast<std::uint32_t>(f->program.code.size());
    if (!recorder.free_placeholders().empty()) {
        refuse_free_placeholders(recorder.free_placeholders());
    }
    for (const Value& output : f->outputs) {
        const ValueNode& node = output.node();
        const bool held_value =
            node.kind == ValueKind::Constant || (node.kind == ValueKind::Parameter && !input_index.contains(&node));
        f->output_leaves.push_back(held_value ? &node : nullptr);
    }
    if (program.irregular()) {
        record_reference(*f, input_index);
    } else {
        finish_program(*f, recorder, first_instructions, program.branches());
    }
    for (const ValueNode* parameter : f->parameters) {
        f->parameter_lanes += static_cast<std::size_t>(parameter->dimension);
    }
    return f;
}

}  // namespace zarnik::symbolic::detail
