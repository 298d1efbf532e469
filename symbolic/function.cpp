#include "symbolic/function.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "detail/call_scratch.hpp"
#include "detail/internal.hpp"

namespace zarnik::symbolic {

namespace detail {

struct FunctionProgram {
    std::vector<Value> inputs;
    std::vector<Value> outputs;
    std::vector<int> input_dims;
    std::vector<int> output_dims;
    std::size_t input_lanes = 0;
    std::size_t output_lanes = 0;

    // A graph whose nodes keep the builders' invariants is one program over
    // all outputs; any other is stepped through per output by the reference
    // evaluator.
    bool regular = true;

    Program program;
    std::vector<Place> input_places;
    std::vector<Place> output_places;
    // An output that is a constant, or a parameter that is not an input, is
    // returned as its node holds it, spare lanes included.
    std::vector<const ValueNode*> output_leaves;
    // Per output, the instructions below it in the order of its own walk: the
    // order in which a backward pass from that output alone adds gradients up.
    std::vector<std::vector<std::uint32_t>> cones;
    // Per output, the lanes whose adjoints a sweep over its cone reads or
    // writes, the inputs' and its own included: what is zeroed before it.
    std::vector<std::vector<std::uint32_t>> swept_lanes;
    bool can_fail = false;  // some instruction fails whatever the values
    std::uint64_t serial = 0;

    std::vector<ReferenceOrder> orders;
    std::vector<std::vector<std::int64_t>> input_positions;  // per output, per input; -1: not below it
};

}  // namespace detail

namespace {

using detail::FunctionProgram;
using detail::Place;

using InputIndex = std::unordered_map<const ValueNode*, std::size_t>;

// Records the program of all outputs, placing the inputs where their values
// go instead of reading their nodes, and noting which instruction each
// expression node became.
class FunctionRecorder {
public:
    FunctionRecorder(FunctionProgram& f, const InputIndex& input_index, std::vector<bool>& reached,
                     detail::VisitedTable& instruction_of)
        : f_(f), inner_(f.program), input_index_(input_index), reached_(reached), instruction_of_(instruction_of) {}

    Place complete(ValueNode& node, const Place* inputs, const Value* handle) {
        if (node.input_count == 0) {
            if (const auto input = input_index_.find(&node); input != input_index_.end()) {
                f_.input_places[input->second] = place_lanes(node.dimension);
                reached_[input->second] = true;
                return f_.input_places[input->second];
            }
        }
        const std::size_t before = f_.program.code.size();
        const Place place = inner_.complete(node, inputs, handle);
        if (f_.program.code.size() > before) {
            instruction_of_.find_or_insert(node.id).first = static_cast<std::uint32_t>(before);
        }
        return place;
    }

    Place place_lanes(int lanes) {
        return detail::place(f_.program.lanes.allocate(static_cast<std::size_t>(lanes)), lanes);
    }

    bool irregular() const noexcept { return inner_.irregular(); }

private:
    FunctionProgram& f_;
    detail::ProgramRecorder inner_;
    const InputIndex& input_index_;
    std::vector<bool>& reached_;
    detail::VisitedTable& instruction_of_;
};

// The instructions below one output, in the order of a walk from it alone.
class ConeRecorder {
public:
    ConeRecorder(std::vector<std::uint32_t>& cone, detail::VisitedTable& instruction_of)
        : cone_(cone), instruction_of_(instruction_of) {}

    std::uint32_t complete(ValueNode& node, const std::uint32_t*, const Value*) {
        if (node.input_count > 0) {
            cone_.push_back(instruction_of_.at(node.id));
        }
        return 0;
    }

private:
    std::vector<std::uint32_t>& cone_;
    detail::VisitedTable& instruction_of_;
};

void record_reference(FunctionProgram& f, const InputIndex& input_index) {
    f.regular = false;
    f.program = detail::Program{};
    f.cones.clear();
    detail::WalkStack stack;
    for (const Value& output : f.outputs) {
        detail::ReferenceOrder& order = f.orders.emplace_back();
        detail::ReferenceRecorder recorder(order);
        detail::walk(output, stack, recorder);
        std::vector<std::int64_t>& positions = f.input_positions.emplace_back(f.inputs.size(), -1);
        for (std::size_t position = 0; position < order.nodes.size(); ++position) {
            if (const auto input = input_index.find(order.nodes[position]); input != input_index.end()) {
                positions[input->second] = static_cast<std::int64_t>(position);
            }
        }
    }
}

// The lanes whose adjoints a sweep over output j's cone reads or writes, each once.
std::vector<std::uint32_t> lanes_swept(const FunctionProgram& f, std::size_t j) {
    std::vector<std::uint32_t> lanes;
    const auto add = [&lanes](std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            lanes.push_back(first + i);
        }
    };
    for (const std::uint32_t index : f.cones[j]) {
        const detail::Instruction& in = f.program.code[index];
        add(in.out, in.dim);
        detail::for_each_operand(f.program, in, [&add](std::uint32_t first, std::uint32_t width, std::uint32_t) {
            add(first, width);
        });
    }
    add(detail::offset_of(f.output_places[j]), static_cast<std::uint32_t>(f.output_dims[j]));
    for (std::size_t k = 0; k < f.inputs.size(); ++k) {
        add(detail::offset_of(f.input_places[k]), static_cast<std::uint32_t>(f.input_dims[k]));
    }
    std::sort(lanes.begin(), lanes.end());
    lanes.erase(std::unique(lanes.begin(), lanes.end()), lanes.end());
    lanes.shrink_to_fit();
    return lanes;
}

std::shared_ptr<const FunctionProgram> record(std::vector<Value> inputs, std::vector<Value> outputs) {
    auto f = std::make_shared<FunctionProgram>();
    InputIndex input_index;
    for (const Value& input : inputs) {
        detail::require_valid(input, "function input");
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
        detail::require_valid(output, "function output");
        f->output_dims.push_back(output.dimension());
        f->output_lanes += static_cast<std::size_t>(output.dimension());
    }
    f->inputs = std::move(inputs);
    f->outputs = std::move(outputs);
    f->serial = detail::next_program_serial();

    detail::WalkStack stack;
    detail::VisitedTable instruction_of;
    instruction_of.start();
    f->input_places.assign(f->inputs.size(), Place{});
    std::vector<bool> reached(f->inputs.size(), false);
    FunctionRecorder recorder(*f, input_index, reached, instruction_of);
    detail::begin_walks(stack);
    for (const Value& output : f->outputs) {
        f->output_places.push_back(detail::walk_more(output, stack, recorder));
        const ValueNode& node = output.node();
        const bool held_value = node.kind == ValueKind::Constant ||
                                (node.kind == ValueKind::Parameter && !input_index.contains(&node));
        f->output_leaves.push_back(held_value ? &node : nullptr);
    }
    if (recorder.irregular()) {
        record_reference(*f, input_index);
        return f;
    }
    // An input that no output reaches still gets lanes, where its values go unread.
    for (std::size_t k = 0; k < f->inputs.size(); ++k) {
        if (!reached[k]) {
            f->input_places[k] = recorder.place_lanes(f->input_dims[k]);
        }
    }
    for (const Value& output : f->outputs) {
        ConeRecorder cone(f->cones.emplace_back(), instruction_of);
        detail::walk(output, stack, cone);
        f->cones.back().shrink_to_fit();
    }
    for (std::size_t j = 0; j < f->outputs.size(); ++j) {
        f->swept_lanes.push_back(lanes_swept(*f, j));
    }
    f->can_fail = std::any_of(f->program.code.begin(), f->program.code.end(),
                              [](const detail::Instruction& in) { return in.code == detail::Code::Fail; });
    f->program.code.shrink_to_fit();
    f->program.lanes.shrink_to_fit();
    return f;
}

// --- one row ------------------------------------------------------------------------

// "1 input", "2 inputs".
std::string count_of(std::size_t count, const char* thing) {
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
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
        detail::require_finite(inputs[k]);
        if (inputs[k].dimension != f.input_dims[k]) {
            throw std::invalid_argument("input " + std::to_string(k) + " of the function has " +
                                        count_of(static_cast<std::size_t>(f.input_dims[k]), "lane") + ", not " +
                                        std::to_string(inputs[k].dimension));
        }
    }
}

// The lanes of a call, with the inputs' values read in.
double* load(const FunctionProgram& f, detail::CallScratch& scratch, std::span<const SmallValue> inputs) {
    double* const data = detail::program_lanes(f.program, f.serial, scratch);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        const std::uint32_t offset = detail::offset_of(f.input_places[k]);
        for (std::size_t i = 0; i < static_cast<std::size_t>(f.input_dims[k]); ++i) {
            data[offset + i] = inputs[k].lanes[i];
        }
    }
    return data;
}

SmallValue output_of(const FunctionProgram& f, std::size_t j, const double* lanes) {
    if (f.output_leaves[j] != nullptr) {
        return f.output_leaves[j]->value;
    }
    return detail::value_at(lanes, f.output_places[j]);
}

// The reference evaluator's values for output j, with the inputs given.
const std::vector<SmallValue>& reference_values(const FunctionProgram& f, std::size_t j,
                                                std::span<const SmallValue> inputs, detail::CallScratch& scratch) {
    const detail::ReferenceOrder& order = f.orders[j];
    std::vector<const SmallValue*> given(order.nodes.size(), nullptr);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        if (f.input_positions[j][k] >= 0) {
            given[static_cast<std::size_t>(f.input_positions[j][k])] = &inputs[k];
        }
    }
    detail::reference_forward(order, scratch.reference_values, given);
    return scratch.reference_values;
}

// Runs the program at `inputs` (a program's graph only) and gives its lanes.
const double* run_one(const FunctionProgram& f, std::span<const SmallValue> inputs, detail::CallScratch& scratch) {
    double* const lanes = load(f, scratch, inputs);
    detail::raise_if_failed(detail::run_forward(f.program, lanes));
    return lanes;
}

std::vector<SmallValue> evaluate_one(const FunctionProgram& f, std::span<const SmallValue> inputs,
                                     detail::CallScratch& scratch) {
    std::vector<SmallValue> outputs;
    outputs.reserve(f.outputs.size());
    if (!f.regular) {
        for (std::size_t j = 0; j < f.outputs.size(); ++j) {
            outputs.push_back(reference_values(f, j, inputs, scratch).back());
        }
        return outputs;
    }
    const double* const lanes = run_one(f, inputs, scratch);
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        outputs.push_back(output_of(f, j, lanes));
    }
    return outputs;
}

// A gradient that backward would write starts from zeros: 0.0 + the adjoint.
double gradient_lane(double adjoint) noexcept { return 0.0 + adjoint; }

void jacobian_one(const FunctionProgram& f, std::span<const SmallValue> inputs, std::span<double> jacobian,
                  std::span<SmallValue> outputs, detail::CallScratch& scratch) {
    const std::size_t columns = f.input_lanes;
    if (!f.regular) {
        std::size_t row = 0;
        for (std::size_t j = 0; j < f.outputs.size(); ++j) {
            const std::vector<SmallValue> values = reference_values(f, j, inputs, scratch);
            if (!outputs.empty()) {
                outputs[j] = values.back();
            }
            for (int l = 0; l < f.output_dims[j]; ++l, ++row) {
                SmallValue seed;
                seed.dimension = f.output_dims[j];
                seed.lanes[static_cast<std::size_t>(l)] = 1.0;
                detail::reference_sweep(f.orders[j], values, seed, scratch.reference_slots);
                std::size_t column = 0;
                for (std::size_t k = 0; k < f.inputs.size(); ++k) {
                    const std::int64_t position = f.input_positions[j][k];
                    for (int i = 0; i < f.input_dims[k]; ++i, ++column) {
                        const SmallValue* slot =
                            position >= 0 ? &scratch.reference_slots[static_cast<std::size_t>(position)] : nullptr;
                        jacobian[row * columns + column] =
                            slot != nullptr && slot->dimension > 0 ? gradient_lane(slot->lanes[static_cast<std::size_t>(i)])
                                                                   : 0.0;
                    }
                }
            }
        }
        return;
    }
    const double* const lanes = run_one(f, inputs, scratch);
    for (std::size_t j = 0; j < outputs.size(); ++j) {
        outputs[j] = output_of(f, j, lanes);
    }
    std::vector<double>& adjoints = scratch.adjoints;
    adjoints.resize(f.program.lanes.size());
    std::size_t row = 0;
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        const std::uint32_t output = detail::offset_of(f.output_places[j]);
        for (int l = 0; l < f.output_dims[j]; ++l, ++row) {
            for (const std::uint32_t lane : f.swept_lanes[j]) {
                adjoints[lane] = 0.0;
            }
            for (int i = 0; i < f.output_dims[j]; ++i) {
                adjoints[output + static_cast<std::size_t>(i)] = i == l ? 1.0 : 0.0;
            }
            detail::run_reverse(f.program, lanes, adjoints.data(), f.cones[j]);
            std::size_t column = 0;
            for (std::size_t k = 0; k < f.inputs.size(); ++k) {
                const std::uint32_t offset = detail::offset_of(f.input_places[k]);
                for (int i = 0; i < f.input_dims[k]; ++i, ++column) {
                    jacobian[row * columns + column] = gradient_lane(adjoints[offset + static_cast<std::size_t>(i)]);
                }
            }
        }
    }
}

// --- many rows ------------------------------------------------------------------------

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

// Runs `call` for one row, giving an error that names the row.
template <typename Call>
void call_row(std::size_t row, Call&& call) {
    try {
        call();
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(std::string(error.what()) + " (row " + std::to_string(row) + ")");
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

// The lanes of one block of rows: memory of the block's own, with one-lane
// inputs read where they lie in the caller's arrays and one-lane outputs
// written straight into theirs; the other inputs and outputs are copied.
class Block {
public:
    Block(const FunctionProgram& f, std::span<const double> parameters, std::size_t stride, bool writes_outputs)
        : f_(f), stride_(stride), memory_(f.program.lanes.size() * stride), lanes_(f.program.lanes.size()),
          direct_(f.outputs.size(), false) {
        // Every row starts as load() starts a call: constants, and the
        // parameters' values as the batch read them.
        for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
            std::fill_n(lane_memory(lane), stride, f.program.lanes[lane]);
        }
        std::size_t next = 0;
        for (const detail::ParameterSlot& parameter : f.program.parameters) {
            for (std::size_t i = 0; i < parameter.dim; ++i, ++next) {
                std::fill_n(lane_memory(parameter.offset + i), stride, parameters[next]);
            }
        }
        // An output that an instruction writes, of one lane, given once.
        if (writes_outputs) {
            std::vector<bool> claimed(lanes_.size(), false);
            for (const Place input : f.input_places) {
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

    // Points the lanes at rows [first, first + count); a lane of an input
    // that is not finite fails as a call with it would.
    void start(std::span<const double* const> inputs, std::span<double* const> outputs, std::size_t first,
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
        if (!finite) {
            fail_on_input(inputs, first, count);
        }
    }

    // Copies the outputs that were not written in place.
    void finish(std::span<double* const> outputs, std::size_t first, std::size_t count) const {
        for (std::size_t j = 0; j < outputs.size(); ++j) {
            if (direct_[j]) {
                continue;
            }
            const auto dim = static_cast<std::size_t>(f_.output_dims[j]);
            double* const rows = outputs[j] + first * dim;
            for (std::size_t i = 0; i < dim; ++i) {
                if (f_.output_leaves[j] != nullptr) {
                    const double held = f_.output_leaves[j]->value.lanes[i];
                    for (std::size_t r = 0; r < count; ++r) {
                        rows[r * dim + i] = held;
                    }
                    continue;
                }
                const double* const lane = lanes_[detail::offset_of(f_.output_places[j]) + i];
                for (std::size_t r = 0; r < count; ++r) {
                    rows[r * dim + i] = lane[r];
                }
            }
        }
    }

private:
    double* lane_memory(std::size_t lane) noexcept { return memory_.data() + lane * stride_; }

    [[noreturn]] void fail_on_input(std::span<const double* const> inputs, std::size_t first, std::size_t count) const {
        for (std::size_t r = first; r < first + count; ++r) {
            for (std::size_t k = 0; k < f_.inputs.size(); ++k) {
                const auto dim = static_cast<std::size_t>(f_.input_dims[k]);
                for (std::size_t i = 0; i < dim; ++i) {
                    if (!detail::is_finite_lane(inputs[k][r * dim + i])) {
                        throw std::invalid_argument("symbolic value lanes must be finite (row " + std::to_string(r) +
                                                    ")");
                    }
                }
            }
        }
        throw std::logic_error("an input lane was not finite, then finite");
    }

    const FunctionProgram& f_;
    std::size_t stride_;
    std::vector<double> memory_;
    std::vector<double*> lanes_;
    std::vector<bool> direct_;
};

// When a block failed: the rows of the block one by one, as calls, to find
// the first that fails and fail with its error.
[[noreturn]] void fail_in_block(const FunctionProgram& f, std::span<const double* const> inputs, std::size_t first,
                                std::size_t count, detail::CallScratch& scratch) {
    for (std::size_t r = first; r < first + count; ++r) {
        call_row(r, [&] { evaluate_one(f, row_inputs(f, inputs, r), scratch); });
    }
    throw std::logic_error("a block of rows failed where none of its rows does");
}

}  // namespace

Function::Function(std::vector<Value> inputs, std::vector<Value> outputs)
    : program_(record(std::move(inputs), std::move(outputs))) {}

const std::vector<Value>& Function::inputs() const noexcept { return program_->inputs; }
const std::vector<Value>& Function::outputs() const noexcept { return program_->outputs; }
std::size_t Function::input_lanes() const noexcept { return program_->input_lanes; }
std::size_t Function::output_lanes() const noexcept { return program_->output_lanes; }

std::vector<SmallValue> Function::operator()(std::span<const SmallValue> inputs) const {
    check_inputs(*program_, inputs);
    detail::ScratchLease scratch;
    return evaluate_one(*program_, inputs, *scratch);
}

void Function::jacobian(std::span<const SmallValue> inputs, std::span<double> jacobian,
                        std::span<SmallValue> outputs) const {
    check_inputs(*program_, inputs);
    if (jacobian.size() != program_->output_lanes * program_->input_lanes) {
        throw std::invalid_argument("the Jacobian needs room for output lanes times input lanes values");
    }
    if (!outputs.empty() && outputs.size() != program_->outputs.size()) {
        throw std::invalid_argument("the outputs need room for one value per output");
    }
    detail::ScratchLease scratch;
    jacobian_one(*program_, inputs, jacobian, outputs, *scratch);
}

std::vector<double> Function::parameter_values() const {
    std::vector<double> values;
    for (const detail::ParameterSlot& parameter : program_->program.parameters) {
        for (std::size_t i = 0; i < parameter.dim; ++i) {
            values.push_back(parameter.node->value.lanes[i]);
        }
    }
    return values;
}

void Function::evaluate_rows(std::size_t rows, std::span<const double* const> inputs,
                             std::span<double* const> outputs) const {
    evaluate_rows(rows, inputs, outputs, parameter_values());
}

void Function::evaluate_rows(std::size_t rows, std::span<const double* const> inputs, std::span<double* const> outputs,
                             std::span<const double> parameters) const {
    const FunctionProgram& f = *program_;
    check_input_count(f, inputs.size());
    if (outputs.size() != f.outputs.size()) {
        throw std::invalid_argument("the function gives " + count_of(f.outputs.size(), "output") + ", not " +
                                    std::to_string(outputs.size()));
    }
    detail::ScratchLease scratch;
    const auto write = [&](std::size_t row, std::size_t j, const SmallValue& value) {
        const auto dim = static_cast<std::size_t>(f.output_dims[j]);
        for (std::size_t i = 0; i < dim; ++i) {
            outputs[j][row * dim + i] = value.lanes[i];
        }
    };
    if (row_by_row(f)) {
        for (std::size_t r = 0; r < rows; ++r) {
            call_row(r, [&] {
                const std::vector<SmallValue> values = row_inputs(f, inputs, r);
                check_inputs(f, values);
                const std::vector<SmallValue> results = evaluate_one(f, values, *scratch);
                for (std::size_t j = 0; j < f.outputs.size(); ++j) {
                    write(r, j, results[j]);
                }
            });
        }
        return;
    }
    Block block(f, parameters, block_rows(f), true);
    for (std::size_t first = 0; first < rows; first += block.stride()) {
        const std::size_t count = std::min(block.stride(), rows - first);
        block.start(inputs, outputs, first, count);
        if (detail::run_forward_rows(f.program, block.lanes(), count).non_finite) {
            fail_in_block(f, inputs, first, count, *scratch);
        }
        block.finish(outputs, first, count);
    }
}

void Function::jacobian_rows(std::size_t rows, std::span<const double* const> inputs, double* jacobians) const {
    jacobian_rows(rows, inputs, jacobians, parameter_values());
}

void Function::jacobian_rows(std::size_t rows, std::span<const double* const> inputs, double* jacobians,
                             std::span<const double> parameters) const {
    const FunctionProgram& f = *program_;
    check_input_count(f, inputs.size());
    const std::size_t size = f.output_lanes * f.input_lanes;
    detail::ScratchLease scratch;
    if (row_by_row(f)) {
        for (std::size_t r = 0; r < rows; ++r) {
            call_row(r, [&] {
                const std::vector<SmallValue> values = row_inputs(f, inputs, r);
                check_inputs(f, values);
                jacobian_one(f, values, std::span<double>(jacobians + r * size, size), {}, *scratch);
            });
        }
        return;
    }
    Block block(f, parameters, block_rows(f), false);
    const std::size_t stride = block.stride();
    std::vector<double> adjoints(f.program.lanes.size() * stride);
    std::vector<double*> adjoint_lanes(f.program.lanes.size());
    for (std::size_t lane = 0; lane < adjoint_lanes.size(); ++lane) {
        adjoint_lanes[lane] = adjoints.data() + lane * stride;
    }
    for (std::size_t first = 0; first < rows; first += stride) {
        const std::size_t count = std::min(stride, rows - first);
        block.start(inputs, {}, first, count);
        if (detail::run_forward_rows(f.program, block.lanes(), count).non_finite) {
            fail_in_block(f, inputs, first, count, *scratch);
        }
        std::size_t row = 0;
        for (std::size_t j = 0; j < f.outputs.size(); ++j) {
            const std::uint32_t output = detail::offset_of(f.output_places[j]);
            for (int l = 0; l < f.output_dims[j]; ++l, ++row) {
                for (const std::uint32_t lane : f.swept_lanes[j]) {
                    std::fill_n(adjoint_lanes[lane], count, 0.0);
                }
                for (int i = 0; i < f.output_dims[j]; ++i) {
                    std::fill_n(adjoint_lanes[output + static_cast<std::uint32_t>(i)], count, i == l ? 1.0 : 0.0);
                }
                detail::run_reverse_rows(f.program, block.lanes(), adjoint_lanes.data(), count, f.cones[j]);
                std::size_t column = 0;
                for (std::size_t k = 0; k < f.inputs.size(); ++k) {
                    const std::uint32_t offset = detail::offset_of(f.input_places[k]);
                    for (int i = 0; i < f.input_dims[k]; ++i, ++column) {
                        const double* const lane = adjoint_lanes[offset + static_cast<std::uint32_t>(i)];
                        for (std::size_t r = 0; r < count; ++r) {
                            jacobians[(first + r) * size + row * f.input_lanes + column] = gradient_lane(lane[r]);
                        }
                    }
                }
            }
        }
    }
}

}  // namespace zarnik::symbolic
