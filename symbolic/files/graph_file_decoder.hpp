#pragma once

// The decoder of graph files, one source file per part of the file it reads:
// the header (graph_file_header.cpp), the node records (graph_file_nodes.cpp),
// the roots and the checks over the whole file (graph_file_roots.cpp), and
// the passes that make the nodes (graph_file_decoder.cpp).

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "symbolic/files/graph_file.hpp"

namespace zarnik::symbolic::detail::graph_files {

// The fixed header's fields.
struct Header {
    GraphFileContent content = GraphFileContent::Graph;
    bool listed = false;
    std::uint64_t length = 0;
    std::uint32_t nodes = 0;
};

// Checks the fixed header: the magic, the version, the content code, the
// flags, and a length that can hold a file of `nodes` nodes.
Header read_header(const std::uint8_t* bytes, std::size_t available);

// Refuses a file whose checksum does not match its first `length` bytes.
void check_checksum(const std::uint8_t* bytes, std::size_t length);

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

    GraphFile run();

private:
    // --- reading, every read checked against the bytes before the checksum

    void poll(std::uint32_t i) const {
        if ((i & poll_interval) == poll_interval && poll_) {
            poll_();
        }
    }

    [[noreturn]] void truncated_section(const char* section) const;

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

    // --- the node records (graph_file_nodes.cpp)

    [[noreturn]] static void bad_node(std::uint32_t index, const std::string& reason);
    SmallValue lanes(std::uint32_t index, int dimension, int lanes_written, const char* what);
    void name_and_hint(std::uint32_t index, Record& record, int hint_lanes);
    Record read_record(std::uint32_t index);
    void read_leaf(std::uint32_t index, Record& record);
    void read_expression(std::uint32_t index, Record& record);

    // --- the roots and the checks over the whole file (graph_file_roots.cpp)

    std::uint32_t root(const char* what, std::uint64_t k);
    void read_roots(std::vector<std::uint32_t>& outputs, std::vector<std::uint32_t>& inputs,
                    const std::vector<ValueKind>& kinds);
    void check_reached(const std::vector<std::uint32_t>& uses) const;
    void check_placeholders(const std::vector<std::uint32_t>& outputs, const std::vector<std::uint32_t>& inputs);

    // --- making the nodes (graph_file_decoder.cpp)

    Value take(std::uint32_t position, std::vector<std::uint32_t>& uses);
    void make(const Record& record, std::vector<std::uint32_t>& uses);

    const std::uint8_t* data_;
    std::size_t at_;
    std::size_t end_;
    Header header_;
    const GraphFilePoll& poll_;
    std::vector<Value> nodes_;
};

// The file whose header has been read from `bytes`, its checksum checked first.
GraphFile decode(const std::uint8_t* bytes, const Header& header, const GraphFilePoll& poll);

}  // namespace zarnik::symbolic::detail::graph_files
