// Reading a graph file's roots (its outputs and a function's inputs), and
// the checks over the whole file that need them: every node reached, and a
// function's placeholders among its inputs.

#include <algorithm>

#include "symbolic/files/graph_file_decoder.hpp"

namespace zarnik::symbolic::detail::graph_files {

std::uint32_t Decoder::root(const char* what, std::uint64_t k) {
    const std::uint64_t position = varint("root");
    if (position >= header_.nodes) {
        refuse_load(std::string(what) + " " + std::to_string(k) + " refers to node " + std::to_string(position) +
                    " of " + std::to_string(header_.nodes));
    }
    return static_cast<std::uint32_t>(position);
}

// The roots, checked before any node is made: the kinds of a function's
// inputs are the records' (`kinds`, gathered in the first pass).
void Decoder::read_roots(std::vector<std::uint32_t>& outputs, std::vector<std::uint32_t>& inputs,
                         const std::vector<ValueKind>& kinds) {
    const std::uint64_t output_count = varint("root");
    if (output_count == 0 || output_count > end_ - at_) {
        refuse_load("the file gives " + std::to_string(output_count) + " outputs");
    }
    if ((!header_.listed || header_.content == GraphFileContent::Tape) && output_count != 1) {
        refuse_load("the file gives " + std::to_string(output_count) + " outputs where it holds one");
    }
    outputs.reserve(static_cast<std::size_t>(output_count));
    for (std::uint64_t k = 0; k < output_count; ++k) {
        outputs.push_back(root("output", k));
    }
    const std::uint64_t input_count = varint("root");
    if (input_count > 0 && header_.content != GraphFileContent::Function) {
        refuse_load("the file gives inputs, which only a function has");
    }
    if (input_count > end_ - at_) {
        refuse_load("the file gives " + std::to_string(input_count) + " inputs");
    }
    inputs.reserve(static_cast<std::size_t>(input_count));
    for (std::uint64_t k = 0; k < input_count; ++k) {
        inputs.push_back(root("input", k));
        const ValueKind kind = kinds[inputs.back()];
        if (kind != ValueKind::Undefined && kind != ValueKind::Parameter) {
            refuse_load("input " + std::to_string(k) + " (node " + std::to_string(inputs.back()) +
                        ") is not a placeholder or parameter");
        }
    }
    std::vector<std::uint32_t> sorted = inputs;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        refuse_load("an input is given twice");
    }
}

// The saver writes only the nodes below the outputs and inputs, so a file
// holding any other node is damaged or made to cost memory: a one-byte
// placeholder record would make a node of some 270 bytes that nothing
// needs. With every node used, each one costs the file two bytes (its
// record and a reference to it), which bounds what loading allocates. A
// node that nothing uses is the top of any part that no root reaches,
// since references only point back.
void Decoder::check_reached(const std::vector<std::uint32_t>& uses) const {
    if (const auto unused = std::find(uses.begin(), uses.end(), 0U); unused != uses.end()) {
        refuse_load("node " + std::to_string(unused - uses.begin()) +
                    " is below no output or input: the file is damaged");
    }
}

// A Function needs every placeholder below its outputs among its inputs,
// so no function saves a file without: refused here rather than by the
// Function made of the nodes. The inputs are known only after the
// records, hence a pass of its own over them.
void Decoder::check_placeholders(const std::vector<std::uint32_t>& outputs, const std::vector<std::uint32_t>& inputs) {
    constexpr std::uint32_t bound = 0xFFFF'FFFFU;
    // Per node: one placeholder below it that is not an input, plus one; 0 for none.
    std::vector<std::uint32_t> free(header_.nodes, 0);
    for (const std::uint32_t position : inputs) {
        free[position] = bound;
    }
    at_ = header_size;
    for (std::uint32_t i = 0; i < header_.nodes; ++i) {
        poll(i);
        const Record record = read_record(i);
        if (record.kind == ValueKind::Undefined) {
            free[i] = free[i] == bound ? 0 : i + 1;
            continue;
        }
        free[i] = 0;
        for (std::size_t k = 0; k < static_cast<std::size_t>(record.input_count) && free[i] == 0; ++k) {
            free[i] = free[record.inputs[k]];
        }
    }
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        if (free[outputs[k]] != 0) {
            refuse_load("output " + std::to_string(k) + " depends on node " + std::to_string(free[outputs[k]] - 1) +
                        ", a placeholder that is not an input");
        }
    }
}

}  // namespace zarnik::symbolic::detail::graph_files
