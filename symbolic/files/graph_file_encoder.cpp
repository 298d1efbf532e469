// Writing graph files: each node's record as a walk over the outputs and
// inputs completes it, then the roots, the length and the checksum.

#include <algorithm>
#include <bit>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <utility>

#include "symbolic/files/graph_file.hpp"
#include "symbolic/graph/graph_walk.hpp"

namespace zarnik::symbolic {

namespace {

using namespace detail::graph_files;

bool spare_lanes_zero(const SmallValue& value, int from) noexcept {
    for (std::size_t i = static_cast<std::size_t>(from); i < lanes_per_value; ++i) {
        if (std::bit_cast<std::uint64_t>(value.lanes[i]) != 0) {
            return false;
        }
    }
    return true;
}

std::string node_label(const ValueNode& node) { return "node #" + std::to_string(node.id); }

// Appends to a byte buffer through a cursor; `room` makes sure of the space
// one record may take, so that the writes themselves check nothing.
class ByteWriter {
public:
    void room(std::size_t bytes) {
        if (bytes_.size() - size_ < bytes) {
            bytes_.resize(std::max(bytes_.size() * 2, size_ + bytes + 4096));
        }
    }
    void u8(std::uint8_t value) noexcept { bytes_[size_++] = static_cast<char>(value); }
    void fixed(std::uint64_t value, int bytes) noexcept {
        for (int i = 0; i < bytes; ++i) {
            u8(static_cast<std::uint8_t>(value >> (8U * static_cast<unsigned>(i))));
        }
    }
    void varint(std::uint64_t value) noexcept {
        while (value >= 0x80) {
            u8(static_cast<std::uint8_t>(value | 0x80U));
            value >>= 7U;
        }
        u8(static_cast<std::uint8_t>(value));
    }
    void lane(double value) noexcept {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(bytes_.data() + size_, &bits, sizeof bits);
            size_ += sizeof bits;
        } else {
            fixed(bits, 8);
        }
    }
    void text(std::string_view text) noexcept {
        std::memcpy(bytes_.data() + size_, text.data(), text.size());
        size_ += text.size();
    }
    void patch(std::size_t at, std::uint64_t value, int bytes) noexcept {
        for (int i = 0; i < bytes; ++i) {
            bytes_[at + static_cast<std::size_t>(i)] =
                static_cast<char>(static_cast<std::uint8_t>(value >> (8U * static_cast<unsigned>(i))));
        }
    }

    std::size_t size() const noexcept { return size_; }
    const std::uint8_t* data() const noexcept { return reinterpret_cast<const std::uint8_t*>(bytes_.data()); }
    std::string take() && {
        bytes_.resize(size_);
        return std::move(bytes_);
    }

private:
    std::string bytes_;
    std::size_t size_ = 0;
};

constexpr std::size_t record_room = 128;  // any record but its name

// Writes each node's record as the walk completes it: the node's position is
// its index in the file, its inputs' positions are earlier.
class Encoder {
public:
    Encoder(ByteWriter& out, const GraphFilePoll& poll) : out_(out), poll_(poll) {}

    std::uint32_t complete(const ValueNode& node, const std::uint32_t* inputs, const Value* = nullptr) {
        if ((count_ & poll_interval) == poll_interval && poll_) {
            poll_();
        }
        if (node.dimension < 1 || node.dimension > 4 || static_cast<unsigned>(node.kind) > tag_kind) {
            refuse_save(node_label(node) + " has dimension " + std::to_string(node.dimension) + " or kind " +
                        std::to_string(static_cast<unsigned>(node.kind)));
        }
        const bool named = !node.name.empty();
        if (named && !is_utf8(node.name)) {
            refuse_save(node_label(node) + " has a name that is not UTF-8");
        }
        out_.room(record_room + node.name.size());
        const bool hinted = node.hint.dimension != 0;
        std::uint8_t tag = static_cast<std::uint8_t>(static_cast<unsigned>(node.kind) |
                                                     static_cast<unsigned>(node.dimension - 1) << tag_dimension_shift);
        tag |= named ? tag_named : 0;
        tag |= hinted ? tag_hinted : 0;
        tag = node.kind == ValueKind::Expression ? expression(node, inputs, tag) : leaf(node, tag);
        if (named) {
            out_.varint(node.name.size());
            out_.text(node.name);
        }
        if (hinted) {
            const bool exact = (tag & tag_exact) != 0;
            const int lanes = exact ? static_cast<int>(lanes_per_value) : node.dimension;
            for (std::size_t i = 0; i < static_cast<std::size_t>(lanes); ++i) {
                out_.lane(node.hint.lanes[i]);
            }
        }
        return count_++;
    }

    std::uint32_t count() const noexcept { return count_; }

private:
    // Each writes the record's tag and what precedes the name; returns the tag.
    std::uint8_t leaf(const ValueNode& node, std::uint8_t tag) {
        if (node.op != ExpressionOp::None || node.input_count != 0) {
            refuse_save(node_label(node) + " is a leaf with an operation");
        }
        const bool valued = node.kind != ValueKind::Undefined;
        const bool hinted = node.hint.dimension != 0;
        const bool regular =
            (!valued || (node.value.dimension == node.dimension && spare_lanes_zero(node.value, node.dimension))) &&
            (!hinted || spare_lanes_zero(node.hint, node.dimension));
        if (regular) {
            out_.u8(tag);
            if (valued) {
                for (std::size_t i = 0; i < static_cast<std::size_t>(node.dimension); ++i) {
                    out_.lane(node.value.lanes[i]);
                }
            }
            return tag;
        }
        // A value of other lanes than the node's, or spare lanes that are not
        // zero, as make_node may keep them.
        out_.u8(tag | tag_exact);
        if (valued) {
            out_.u8(static_cast<std::uint8_t>(node.value.dimension));
            for (const double lane : node.value.lanes) {
                out_.lane(lane);
            }
        }
        return tag | tag_exact;
    }

    std::uint8_t expression(const ValueNode& node, const std::uint32_t* inputs, std::uint8_t tag) {
        const OperationForm form = form_of(node.op, node.dimension);
        if (!form.known) {
            refuse_save(node_label(node) + " has the operation code " + std::to_string(static_cast<unsigned>(node.op)) +
                        ", which names no operation");
        }
        if (node.input_count < 0 || node.input_count > 4) {
            refuse_save(node_label(node) + " has " + std::to_string(node.input_count) + " inputs");
        }
        if (node.input_count > 0 && ((tag & (tag_named | tag_hinted)) != 0)) {
            refuse_save(node_label(node) + " is an expression with a name or hint, which no builder makes");
        }
        const bool component = form.component;
        const int expected = form.regular_inputs;
        const bool regular =
            expected != 0 && node.input_count == expected &&
            (component ? node.component_index >= 0 && node.component_index < 4 : node.component_index == -1);
        if (!regular) {
            tag |= tag_exact;
        }
        out_.u8(tag);
        out_.u8(static_cast<std::uint8_t>(node.op));
        if (regular) {
            if (component) {
                out_.u8(static_cast<std::uint8_t>(node.component_index));
            }
        } else {
            out_.u8(static_cast<std::uint8_t>(node.input_count));
            const auto index = static_cast<std::int64_t>(node.component_index);
            out_.varint(index < 0 ? (static_cast<std::uint64_t>(-(index + 1)) << 1U) | 1U
                                  : static_cast<std::uint64_t>(index) << 1U);
        }
        for (int i = 0; i < node.input_count; ++i) {
            out_.varint(count_ - inputs[i] - 1);
        }
        return tag;
    }

    ByteWriter& out_;
    const GraphFilePoll& poll_;
    std::uint32_t count_ = 0;
};

std::string encode(const GraphFile& file, const GraphFilePoll& poll) {
    if (file.outputs.empty()) {
        refuse_save("there is no output");
    }
    if (file.content == GraphFileContent::Tape && file.outputs.size() != 1) {
        refuse_save("a tape has one output, not " + std::to_string(file.outputs.size()));
    }
    if (file.content != GraphFileContent::Function && !file.inputs.empty()) {
        refuse_save("only a function has inputs");
    }
    if (!file.listed && file.outputs.size() != 1 && file.content != GraphFileContent::Tape) {
        refuse_save("outputs not given as a sequence must be one");
    }
    for (std::size_t k = 0; k < file.outputs.size(); ++k) {
        if (file.outputs[k].same_node(Value{})) {
            refuse_save("output " + std::to_string(k) + " is not a valid symbolic value");
        }
    }
    for (std::size_t k = 0; k < file.inputs.size(); ++k) {
        if (file.inputs[k].same_node(Value{})) {
            refuse_save("input " + std::to_string(k) + " is not a valid symbolic value");
        }
    }
    ByteWriter out;
    out.room(header_size);
    for (const std::uint8_t byte : magic) {
        out.u8(byte);
    }
    out.fixed(graph_file_version, 2);
    out.u8(static_cast<std::uint8_t>(file.content));
    out.u8(file.listed && file.content != GraphFileContent::Tape ? flag_listed : 0);
    out.fixed(0, 8);  // the length and the node count, once known
    out.fixed(0, 4);

    Encoder encoder(out, poll);
    detail::WalkStack stack;
    detail::begin_walks(stack);
    std::vector<std::uint32_t> outputs;
    std::vector<std::uint32_t> inputs;
    outputs.reserve(file.outputs.size());
    inputs.reserve(file.inputs.size());
    for (const Value& output : file.outputs) {
        outputs.push_back(detail::walk_more(output, stack, encoder));
    }
    for (const Value& input : file.inputs) {
        inputs.push_back(detail::walk_more(input, stack, encoder));
    }
    out.room(10 * (2 + outputs.size() + inputs.size()) + checksum_size);
    out.varint(outputs.size());
    for (const std::uint32_t position : outputs) {
        out.varint(position);
    }
    out.varint(inputs.size());
    for (const std::uint32_t position : inputs) {
        out.varint(position);
    }
    out.patch(12, out.size() + checksum_size, 8);
    out.patch(20, encoder.count(), 4);
    out.fixed(crc32(out.data(), out.size()), 4);
    return std::move(out).take();
}

}  // namespace

GraphFile graph_file(const Value& output) { return {GraphFileContent::Graph, {output}, {}, false}; }

GraphFile graph_file(const Tape& tape) { return {GraphFileContent::Tape, {tape.output()}, {}, false}; }

GraphFile graph_file(const Function& function, bool listed) {
    return {GraphFileContent::Function, function.outputs(), function.inputs(), listed};
}

std::string save_to_bytes(const GraphFile& file, const GraphFilePoll& poll) { return encode(file, poll); }

void save(std::ostream& out, const GraphFile& file) {
    const std::string bytes = save_to_bytes(file);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot save graph: writing to the stream failed");
    }
}

void save(std::ostream& out, const Value& output) { save(out, graph_file(output)); }
void save(std::ostream& out, const Tape& tape) { save(out, graph_file(tape)); }
void save(std::ostream& out, const Function& function) { save(out, graph_file(function)); }

}  // namespace zarnik::symbolic
