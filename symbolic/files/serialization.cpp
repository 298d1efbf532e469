#include "symbolic/serialization.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <utility>

#include "symbolic/graph/graph_walk.hpp"
#include "symbolic/graph/internal.hpp"
#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic {

namespace {

// --- the layout (README.md, "The file format") ------------------------------------

constexpr std::array<std::uint8_t, 8> magic{0x89, 'Z', 'G', 'R', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t header_size = graph_file_header_size;  // magic, version, content, flags, length, node count
constexpr std::size_t checksum_size = 4;
constexpr std::uint8_t flag_listed = 0x01;

// A node record's first byte.
constexpr std::uint8_t tag_kind = 0x03;       // ValueKind
constexpr std::uint8_t tag_dimension = 0x0C;  // dimension - 1
constexpr unsigned tag_dimension_shift = 2;
constexpr std::uint8_t tag_named = 0x10;
constexpr std::uint8_t tag_hinted = 0x20;
// Leaves: the value as a lane count and all four lanes, the hint as four
// lanes. Expressions: the input count and component index written out.
constexpr std::uint8_t tag_exact = 0x40;
constexpr std::uint8_t tag_reserved = 0x80;

constexpr std::size_t lanes_per_value = 4;

// --- CRC-32 (the one of zlib and PNG: reflected, polynomial 0xEDB88320) -----------

using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1U) ^ 0xEDB88320U : crc >> 1U;
        }
        tables[0][byte] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t byte = 0; byte < 256; ++byte) {
            const std::uint32_t previous = tables[k - 1][byte];
            tables[k][byte] = (previous >> 8U) ^ tables[0][previous & 0xFFU];
        }
    }
    return tables;
}

constexpr CrcTables crc_tables = make_crc_tables();

std::uint32_t load_u32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8U |
           static_cast<std::uint32_t>(p[2]) << 16U | static_cast<std::uint32_t>(p[3]) << 24U;
}

std::uint64_t load_u64(const std::uint8_t* p) noexcept {
    return static_cast<std::uint64_t>(load_u32(p)) | static_cast<std::uint64_t>(load_u32(p + 4)) << 32U;
}

// Eight bytes a step, with a table per byte position.
std::uint32_t crc32(const std::uint8_t* data, std::size_t size) noexcept {
    std::uint32_t crc = 0xFFFF'FFFFU;
    const auto& t = crc_tables;
    while (size >= 8) {
        const std::uint32_t low = load_u32(data) ^ crc;
        const std::uint32_t high = load_u32(data + 4);
        crc = t[7][low & 0xFFU] ^ t[6][(low >> 8U) & 0xFFU] ^ t[5][(low >> 16U) & 0xFFU] ^ t[4][low >> 24U] ^
              t[3][high & 0xFFU] ^ t[2][(high >> 8U) & 0xFFU] ^ t[1][(high >> 16U) & 0xFFU] ^ t[0][high >> 24U];
        data += 8;
        size -= 8;
    }
    while (size-- > 0) {
        crc = (crc >> 8U) ^ t[0][(crc ^ *data++) & 0xFFU];
    }
    return crc ^ 0xFFFF'FFFFU;
}

// --- shared rules ---------------------------------------------------------------------

// Whether `text` is well-formed UTF-8: no overlong forms, surrogates or code
// points beyond U+10FFFF (the rules Python's strict decoder keeps).
bool is_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t low = 0x80;
        std::uint32_t high = 0xBF;  // the range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// The inputs and component index that a node of `op` has when the builders
// make it; an operation that reads no operand has no such form.
int regular_input_count(detail::Shape shape, int dimension) noexcept {
    switch (shape) {
        case detail::Shape::Unary:
        case detail::Shape::Component: return 1;
        case detail::Shape::Binary: return 2;
        case detail::Shape::Pack: return dimension;
        case detail::Shape::Leaf:
        case detail::Shape::Unsupported: break;
    }
    return 0;
}

bool spare_lanes_zero(const SmallValue& value, int from) noexcept {
    for (std::size_t i = static_cast<std::size_t>(from); i < lanes_per_value; ++i) {
        if (std::bit_cast<std::uint64_t>(value.lanes[i]) != 0) {
            return false;
        }
    }
    return true;
}

// --- saving ---------------------------------------------------------------------------

[[noreturn]] void refuse_save(const std::string& reason) {
    throw std::invalid_argument("cannot save graph: " + reason);
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

constexpr std::size_t record_room = 128;         // any record but its name
constexpr std::uint32_t poll_interval = 0xFFFF;  // poll after every 2^16 nodes

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
        const detail::Shape shape = detail::shape_of(node.op);
        if (shape == detail::Shape::Unsupported) {
            refuse_save(node_label(node) + " has the operation code " + std::to_string(static_cast<unsigned>(node.op)) +
                        ", which names no operation");
        }
        if (node.input_count < 0 || node.input_count > 4) {
            refuse_save(node_label(node) + " has " + std::to_string(node.input_count) + " inputs");
        }
        if (node.input_count > 0 && ((tag & (tag_named | tag_hinted)) != 0)) {
            refuse_save(node_label(node) + " is an expression with a name or hint, which no builder makes");
        }
        const bool component = shape == detail::Shape::Component;
        const int expected = regular_input_count(shape, node.dimension);
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

// --- loading --------------------------------------------------------------------------

[[noreturn]] void refuse_load(const std::string& reason) {
    throw std::invalid_argument("cannot load graph: " + reason);
}

struct Header {
    GraphFileContent content = GraphFileContent::Graph;
    bool listed = false;
    std::uint64_t length = 0;
    std::uint32_t nodes = 0;
};

// Checks the fixed header: the magic, the version, the content code, the
// flags, and a length that can hold a file of `nodes` nodes.
Header read_header(const std::uint8_t* bytes, std::size_t available) {
    if (available == 0) {
        refuse_load("the file is empty");
    }
    const std::size_t magic_seen = std::min(available, magic.size());
    if (!std::equal(bytes, bytes + magic_seen, magic.begin())) {
        refuse_load("not a graph file (it does not begin with the format's signature)");
    }
    if (available < header_size) {
        refuse_load("the file is truncated in its header (" + std::to_string(available) + " of " +
                    std::to_string(header_size) + " bytes)");
    }
    const auto version = static_cast<std::uint16_t>(bytes[8] | bytes[9] << 8U);
    if (version == 0) {
        refuse_load("format version 0 does not exist: the file is damaged");
    }
    if (version > graph_file_version) {
        refuse_load("the file has format version " + std::to_string(version) +
                    ", newer than this library reads (up to " + std::to_string(graph_file_version) + ")");
    }
    Header header;
    if (bytes[10] < static_cast<std::uint8_t>(GraphFileContent::Graph) ||
        bytes[10] > static_cast<std::uint8_t>(GraphFileContent::Function)) {
        refuse_load("unknown content code " + std::to_string(bytes[10]));
    }
    header.content = static_cast<GraphFileContent>(bytes[10]);
    if ((bytes[11] & ~flag_listed) != 0 || (header.content == GraphFileContent::Tape && bytes[11] != 0)) {
        refuse_load("unknown flags " + std::to_string(bytes[11]));
    }
    header.listed = (bytes[11] & flag_listed) != 0;
    header.length = load_u64(bytes + 12);
    header.nodes = load_u32(bytes + 20);
    // At least two bytes per node: its record, and a reference to it from a
    // later record or from the roots, since every node is below an output or
    // an input (Decoder::check_reached). And a byte for each count of the
    // roots. This bounds every table the decoder sizes by the node count.
    const std::uint64_t smallest = header_size + 2 * std::uint64_t{header.nodes} + 2 + checksum_size;
    if (header.nodes == 0 || header.length < smallest) {
        refuse_load("the header's length (" + std::to_string(header.length) + " bytes) cannot hold " +
                    std::to_string(header.nodes) + " nodes: the file is damaged");
    }
    return header;
}

void check_checksum(const std::uint8_t* bytes, std::size_t length) {
    if (crc32(bytes, length - checksum_size) != load_u32(bytes + length - checksum_size)) {
        refuse_load("the checksum does not match: the file is damaged");
    }
}

// One node record as read, its inputs as positions of earlier nodes.
struct Record {
    ValueKind kind = ValueKind::Constant;
    int dimension = 1;
    std::uint8_t tag = 0;
    ExpressionOp op = ExpressionOp::None;
    int input_count = 0;
    int component_index = -1;
    std::array<std::uint32_t, 4> inputs{};
    SmallValue value{};
    std::optional<SmallValue> hint;
    std::string_view name;
};

// Reads the body of a file whose header and checksum have been checked,
// every read checked against the bytes before the checksum, in two passes.
// The first checks every record and the roots and counts each node's uses;
// only then does the second make the nodes, so that a damaged file is
// refused before any node is made, and each handle is moved out of the
// table at its node's last use rather than copied (most nodes have one user).
class Decoder {
public:
    Decoder(const std::uint8_t* bytes, const Header& header, const GraphFilePoll& poll)
        : data_(bytes), at_(header_size), end_(header.length - checksum_size), header_(header), poll_(poll) {}

    GraphFile run() {
        std::vector<std::uint32_t> uses(header_.nodes, 0);
        const auto use = [&uses](std::uint32_t position) {
            // Saturates: a node used 2^32 - 1 times is simply never moved.
            uses[position] += uses[position] != 0xFFFF'FFFFU ? 1U : 0U;
        };
        // A function's inputs must be placeholders or parameters.
        std::vector<ValueKind> kinds;
        const bool function = header_.content == GraphFileContent::Function;
        for (std::uint32_t i = 0; i < header_.nodes; ++i) {
            poll(i);
            const Record record = read_record(i);
            for (std::size_t k = 0; k < static_cast<std::size_t>(record.input_count); ++k) {
                use(record.inputs[k]);
            }
            if (function) {
                kinds.push_back(record.kind);
            }
        }
        std::vector<std::uint32_t> outputs;
        std::vector<std::uint32_t> inputs;
        read_roots(outputs, inputs, kinds);
        if (at_ != end_) {
            refuse_load(std::to_string(end_ - at_) + " bytes follow the last section: the file is damaged");
        }
        for (const std::uint32_t position : outputs) {
            use(position);
        }
        for (const std::uint32_t position : inputs) {
            use(position);
        }
        check_reached(uses);
        if (function) {
            check_placeholders(outputs, inputs);
        }

        at_ = header_size;
        nodes_.reserve(header_.nodes);
        for (std::uint32_t i = 0; i < header_.nodes; ++i) {
            poll(i);
            make(read_record(i), uses);
        }
        GraphFile file;
        file.content = header_.content;
        file.listed = header_.listed;
        file.outputs.reserve(outputs.size());
        for (const std::uint32_t position : outputs) {
            file.outputs.push_back(take(position, uses));
        }
        file.inputs.reserve(inputs.size());
        for (const std::uint32_t position : inputs) {
            file.inputs.push_back(take(position, uses));
        }
        return file;
    }

private:
    void poll(std::uint32_t i) const {
        if ((i & poll_interval) == poll_interval && poll_) {
            poll_();
        }
    }

    // The saver writes only the nodes below the outputs and inputs, so a file
    // holding any other node is damaged or made to cost memory: a one-byte
    // placeholder record would make a node of some 270 bytes that nothing
    // needs. With every node used, each one costs the file two bytes (its
    // record and a reference to it), which bounds what loading allocates. A
    // node that nothing uses is the top of any part that no root reaches,
    // since references only point back.
    void check_reached(const std::vector<std::uint32_t>& uses) const {
        if (const auto unused = std::find(uses.begin(), uses.end(), 0U); unused != uses.end()) {
            refuse_load("node " + std::to_string(unused - uses.begin()) +
                        " is below no output or input: the file is damaged");
        }
    }

    // A Function needs every placeholder below its outputs among its inputs,
    // so no function saves a file without: refused here rather than by the
    // Function made of the nodes. The inputs are known only after the
    // records, hence a pass of its own over them.
    void check_placeholders(const std::vector<std::uint32_t>& outputs, const std::vector<std::uint32_t>& inputs) {
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

    [[noreturn]] void truncated_section(const char* section) const {
        refuse_load(std::string("the ") + section + " section runs past the end of the file: the file is damaged");
    }

    std::uint8_t u8(const char* section) {
        if (at_ >= end_) {
            truncated_section(section);
        }
        return data_[at_++];
    }

    std::uint64_t varint(const char* section) {
        if (at_ < end_ && data_[at_] < 0x80) [[likely]] {
            return data_[at_++];
        }
        std::uint64_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            const std::uint8_t byte = u8(section);
            if (shift == 63 && byte > 1) {
                refuse_load(std::string("a number in the ") + section + " section is too large: the file is damaged");
            }
            value |= static_cast<std::uint64_t>(byte & 0x7FU) << shift;
            if (byte < 0x80) {
                return value;
            }
        }
    }

    double lane() {
        if (end_ - at_ < 8) {
            truncated_section("node");
        }
        std::uint64_t bits = 0;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&bits, data_ + at_, sizeof bits);
        } else {
            bits = load_u64(data_ + at_);
        }
        at_ += 8;
        return std::bit_cast<double>(bits);
    }

    [[noreturn]] static void bad_node(std::uint32_t index, const std::string& reason) {
        refuse_load("node " + std::to_string(index) + " " + reason);
    }

    // `lanes_written` lanes of a value of `dimension` lanes, the rest zero;
    // the lanes within the dimension must be finite.
    SmallValue lanes(std::uint32_t index, int dimension, int lanes_written, const char* what) {
        SmallValue value;
        value.dimension = dimension;
        for (std::size_t i = 0; i < static_cast<std::size_t>(lanes_written); ++i) {
            value.lanes[i] = lane();
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(dimension); ++i) {
            if (!detail::is_finite_lane(value.lanes[i])) {
                bad_node(index, std::string("has a ") + what + " lane that is not finite");
            }
        }
        return value;
    }

    // The name and the hint that end a record.
    void name_and_hint(std::uint32_t index, Record& record, int hint_lanes) {
        if ((record.tag & tag_named) != 0) {
            const std::uint64_t size = varint("node");
            if (size > end_ - at_) {
                truncated_section("node");
            }
            record.name = std::string_view(reinterpret_cast<const char*>(data_ + at_), static_cast<std::size_t>(size));
            at_ += static_cast<std::size_t>(size);
            if (!is_utf8(record.name)) {
                bad_node(index, "has a name that is not UTF-8");
            }
        }
        if ((record.tag & tag_hinted) != 0) {
            record.hint = lanes(index, record.dimension, hint_lanes, "hint");
        }
    }

    Record read_record(std::uint32_t index) {
        Record record;
        record.tag = u8("node");
        if ((record.tag & tag_reserved) != 0) {
            bad_node(index, "has a record of unknown form (tag " + std::to_string(record.tag) + ")");
        }
        record.kind = static_cast<ValueKind>(record.tag & tag_kind);
        record.dimension = ((record.tag & tag_dimension) >> tag_dimension_shift) + 1;
        if (record.kind == ValueKind::Expression) {
            read_expression(index, record);
        } else {
            read_leaf(index, record);
        }
        return record;
    }

    void read_leaf(std::uint32_t index, Record& record) {
        const bool exact = (record.tag & tag_exact) != 0;
        if (record.kind != ValueKind::Undefined) {
            if (exact) {
                const int value_lanes = u8("node");
                if (value_lanes > 4) {
                    bad_node(index, "has a value of " + std::to_string(value_lanes) + " lanes");
                }
                record.value = lanes(index, value_lanes, static_cast<int>(lanes_per_value), "value");
            } else {
                record.value = lanes(index, record.dimension, record.dimension, "value");
            }
        }
        name_and_hint(index, record, exact ? static_cast<int>(lanes_per_value) : record.dimension);
    }

    void read_expression(std::uint32_t index, Record& record) {
        const std::uint8_t code = u8("node");
        record.op = static_cast<ExpressionOp>(code);
        const detail::Shape shape = detail::shape_of(record.op);
        if (shape == detail::Shape::Unsupported) {
            bad_node(index, "has the operation code " + std::to_string(code) + ", which names no operation");
        }
        if ((record.tag & tag_exact) == 0) {
            record.input_count = regular_input_count(shape, record.dimension);
            if (record.input_count == 0) {
                bad_node(index, "is an expression of no operation in the builders' form");
            }
            if (shape == detail::Shape::Component) {
                record.component_index = u8("node");
                if (record.component_index > 3) {
                    bad_node(index, "picks lane " + std::to_string(record.component_index) + " of at most 4");
                }
            }
        } else {
            record.input_count = u8("node");
            if (record.input_count > 4) {
                bad_node(index, "has " + std::to_string(record.input_count) + " inputs");
            }
            const std::uint64_t zigzag = varint("node");
            if (zigzag > 0xFFFF'FFFFU) {
                bad_node(index, "has a component index beyond 32 bits");
            }
            const auto magnitude = static_cast<std::int64_t>(zigzag >> 1U);
            record.component_index = static_cast<int>((zigzag & 1U) != 0 ? -magnitude - 1 : magnitude);
            if (record.input_count == 0 && (record.op != ExpressionOp::None || record.component_index != -1)) {
                bad_node(index, "has an operation but no inputs");
            }
        }
        if (record.input_count > 0 && (record.tag & (tag_named | tag_hinted)) != 0) {
            bad_node(index, "is an expression with inputs and a name or hint");
        }
        for (std::size_t k = 0; k < static_cast<std::size_t>(record.input_count); ++k) {
            const std::uint64_t back = varint("node");
            if (back >= index) {
                bad_node(index, "has input " + std::to_string(k) + " " + std::to_string(back + 1) +
                                    " nodes back, before the first node");
            }
            record.inputs[k] = index - 1 - static_cast<std::uint32_t>(back);
        }
        // A node made by make_node as an expression has no operation and may
        // have a name and a hint.
        name_and_hint(index, record, static_cast<int>(lanes_per_value));
    }

    // The handle of the node at `position`, moved out of the table at its last use.
    Value take(std::uint32_t position, std::vector<std::uint32_t>& uses) {
        if (--uses[position] == 0) {
            return std::move(nodes_[position]);
        }
        return nodes_[position];
    }

    void make(const Record& record, std::vector<std::uint32_t>& uses) {
        std::string name(record.name);
        if (record.kind != ValueKind::Expression) {
            nodes_.emplace_back(make_node(record.kind, record.dimension, record.value, record.hint, std::move(name)));
            return;
        }
        if (record.input_count == 0) {
            nodes_.emplace_back(
                make_node(ValueKind::Expression, record.dimension, SmallValue{}, record.hint, std::move(name)));
            return;
        }
        std::array<Value, 4> inputs{};
        for (std::size_t k = 0; k < static_cast<std::size_t>(record.input_count); ++k) {
            inputs[k] = take(record.inputs[k], uses);
        }
        nodes_.push_back(make_expression(record.op, record.dimension, std::move(inputs), record.input_count,
                                         record.component_index));
    }

    std::uint32_t root(const char* what, std::uint64_t k) {
        const std::uint64_t position = varint("root");
        if (position >= header_.nodes) {
            refuse_load(std::string(what) + " " + std::to_string(k) + " refers to node " + std::to_string(position) +
                        " of " + std::to_string(header_.nodes));
        }
        return static_cast<std::uint32_t>(position);
    }

    // The roots, checked before any node is made: the kinds of a function's
    // inputs are the records' (`kinds`, gathered in the first pass).
    void read_roots(std::vector<std::uint32_t>& outputs, std::vector<std::uint32_t>& inputs,
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

    const std::uint8_t* data_;
    std::size_t at_;
    std::size_t end_;
    Header header_;
    const GraphFilePoll& poll_;
    std::vector<Value> nodes_;
};

GraphFile decode(const std::uint8_t* bytes, const Header& header, const GraphFilePoll& poll) {
    check_checksum(bytes, static_cast<std::size_t>(header.length));
    return Decoder(bytes, header, poll).run();
}

}  // namespace

GraphFile graph_file(const Value& output) { return {GraphFileContent::Graph, {output}, {}, false}; }

GraphFile graph_file(const Tape& tape) { return {GraphFileContent::Tape, {tape.output()}, {}, false}; }

GraphFile graph_file(const Function& function, bool listed) {
    return {GraphFileContent::Function, function.outputs(), function.inputs(), listed};
}

std::string save_to_bytes(const GraphFile& file, const GraphFilePoll& poll) { return encode(file, poll); }

void save(std::ostream& out, const GraphFile& file) {
    const std::string bytes = encode(file, {});
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot save graph: writing to the stream failed");
    }
}

void save(std::ostream& out, const Value& output) { save(out, graph_file(output)); }
void save(std::ostream& out, const Tape& tape) { save(out, graph_file(tape)); }
void save(std::ostream& out, const Function& function) { save(out, graph_file(function)); }

std::uint64_t graph_file_length(std::string_view header) {
    return read_header(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()).length;
}

GraphFile load_from_bytes(std::string_view bytes, const GraphFilePoll& poll) {
    const auto* const data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const Header header = read_header(data, bytes.size());
    if (header.length > bytes.size()) {
        refuse_load("the file is truncated (" + std::to_string(bytes.size()) + " of " + std::to_string(header.length) +
                    " bytes)");
    }
    if (header.length < bytes.size()) {
        refuse_load(std::to_string(bytes.size() - header.length) + " bytes follow the end of the file");
    }
    return decode(data, header, poll);
}

GraphFile load(std::istream& in) {
    // Read as far as the stream goes: the buffer grows with the bytes that
    // arrive, never with what the header claims.
    std::string bytes(header_size, '\0');
    const auto read = [&in, &bytes](std::size_t from, std::size_t to) {
        try {
            in.read(bytes.data() + from, static_cast<std::streamsize>(to - from));
        } catch (const std::ios_base::failure&) {
            // A stream that reports its end as an exception: a short read is
            // this loader's to report, as for any other stream. A failure of
            // the stream itself stays the stream's.
            if (in.bad()) {
                throw;
            }
        }
        return from + static_cast<std::size_t>(in.gcount());
    };
    std::size_t size = read(0, header_size);
    const Header header = read_header(reinterpret_cast<const std::uint8_t*>(bytes.data()), size);
    constexpr std::size_t first_step = std::size_t{1} << 20U;
    while (size < header.length) {
        const auto target =
            static_cast<std::size_t>(std::min<std::uint64_t>(header.length, std::max(size * 2, first_step)));
        bytes.resize(target);
        const std::size_t got = read(size, target);
        if (got < target) {
            refuse_load("the file is truncated (" + std::to_string(got) + " of " + std::to_string(header.length) +
                        " bytes)");
        }
        size = got;
    }
    return decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), header, {});
}

namespace {

// --- files at a path ---------------------------------------------------------------------

[[noreturn]] void path_error(const std::string& what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// An open file descriptor, closed with it.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int get() const noexcept { return fd_; }
    // Closes now: 0, or the error close reports (some file systems report a
    // failed write only there). The descriptor is released either way.
    int close() noexcept {
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// A new file in the directory of `target`, removed when this ends unless kept:
// a file is only ever replaced by a complete one, and a failed save leaves
// nothing behind.
class Temporary {
public:
    explicit Temporary(const std::filesystem::path& target) : fd_(create(target, path_)) {}
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }

    const std::filesystem::path& path() const noexcept { return path_; }
    Descriptor& descriptor() noexcept { return fd_; }
    void keep() noexcept { path_.clear(); }

private:
    static int create(const std::filesystem::path& target, std::filesystem::path& path) {
        static std::atomic<std::uint64_t> counter{0};
        const std::string prefix = "." + target.filename().string() + "." + std::to_string(::getpid()) + "-";
        // A name left by a process of the same id that died is skipped.
        for (int attempt = 0;; ++attempt) {
            path = target.parent_path() / (prefix + std::to_string(counter++) + ".tmp");
            // 0666 less the umask, as any new file gets.
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                return fd;
            }
            const int error = errno;
            if (error != EEXIST || attempt == 100) {
                path.clear();
                path_error("cannot save graph: cannot create a file in the directory of", target, error);
            }
        }
    }

    std::filesystem::path path_;  // before fd_, which create() fills it for
    Descriptor fd_;
};

void write_all(int fd, std::string_view bytes, const std::filesystem::path& target) {
    while (!bytes.empty()) {
        const ::ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            path_error("cannot save graph: writing failed for", target, written < 0 ? errno : EIO);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Where a save to `path` writes: the file a symbolic link names, so that the
// link stays and its target is replaced, as writing through it would.
std::filesystem::path destination(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) {
        std::filesystem::path target = std::filesystem::canonical(path, error);
        if (!error) {
            return target;
        }
    }
    return path;
}

// Writes `bytes` to a temporary file beside the destination, makes them
// durable, then renames the temporary over it: readers see the old file or
// the new one, never a part, and the old one stays when anything fails.
void replace_file(const std::filesystem::path& path, std::string_view bytes) {
    if (!path.has_filename()) {
        path_error("cannot save graph: the path names no file", path, EISDIR);
    }
    const std::filesystem::path target = destination(path);
    Temporary temporary(target);
    const int fd = temporary.descriptor().get();
    // A replaced file keeps its permissions (best effort: the new contents
    // matter more than its mode).
    struct ::stat old{};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        static_cast<void>(::fchmod(fd, old.st_mode & 07777));
    }
    write_all(fd, bytes, target);
    if (::fsync(fd) != 0) {
        path_error("cannot save graph: flushing to the disk failed for", target, errno);
    }
    if (const int error = temporary.descriptor().close(); error != 0) {
        path_error("cannot save graph: writing failed for", target, error);
    }
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        path_error("cannot save graph: cannot replace", target, errno);
    }
    temporary.keep();
    // The rename itself made durable. The file is in place whatever this
    // gives, so a failure (some file systems cannot sync a directory) is not
    // the save's.
    const std::filesystem::path directory = target.parent_path().empty() ? "." : target.parent_path();
    if (const int directory_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); directory_fd >= 0) {
        const Descriptor opened(directory_fd);
        static_cast<void>(::fsync(directory_fd));
    }
}

GraphFile holding(GraphFile file, GraphFileContent wanted, const char* name) {
    if (file.content != wanted) {
        static constexpr std::array<const char*, 4> names{"", "a graph", "a tape", "a function"};
        refuse_load(std::string("the file holds ") + names[static_cast<std::size_t>(file.content)] + ", not " + name);
    }
    return file;
}

Value value_in(GraphFile file) {
    file = holding(std::move(file), GraphFileContent::Graph, "a graph");
    if (file.outputs.size() != 1) {
        refuse_load("the file holds " + std::to_string(file.outputs.size()) + " outputs, not one");
    }
    return file.outputs.front();
}

Tape tape_in(GraphFile file) {
    return Tape(holding(std::move(file), GraphFileContent::Tape, "a tape").outputs.front());
}

Function function_in(GraphFile file) {
    file = holding(std::move(file), GraphFileContent::Function, "a function");
    return Function(std::move(file.inputs), std::move(file.outputs));
}

}  // namespace

Value load_value(std::istream& in) { return value_in(load(in)); }
Tape load_tape(std::istream& in) { return tape_in(load(in)); }
Function load_function(std::istream& in) { return function_in(load(in)); }

void save(const std::filesystem::path& path, const GraphFile& file) {
    // Encoded first: contents that no file holds never touch the directory.
    replace_file(path, encode(file, {}));
}

void save(const std::filesystem::path& path, const Value& output) { save(path, graph_file(output)); }
void save(const std::filesystem::path& path, const Tape& tape) { save(path, graph_file(tape)); }
void save(const std::filesystem::path& path, const Function& function) { save(path, graph_file(function)); }

GraphFile load(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        path_error("cannot load graph: cannot read", path, EISDIR);
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        path_error("cannot load graph: cannot open", path, errno != 0 ? errno : EIO);
    }
    GraphFile file = load(in);
    if (in.peek() != std::ifstream::traits_type::eof()) {
        refuse_load("bytes follow the end of the file");
    }
    if (in.bad()) {
        path_error("cannot load graph: reading failed for", path, EIO);
    }
    return file;
}

Value load_value(const std::filesystem::path& path) { return value_in(load(path)); }
Tape load_tape(const std::filesystem::path& path) { return tape_in(load(path)); }
Function load_function(const std::filesystem::path& path) { return function_in(load(path)); }

}  // namespace zarnik::symbolic
