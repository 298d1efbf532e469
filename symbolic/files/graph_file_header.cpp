// Reading a graph file's fixed header and checking its checksum.

#include <algorithm>

#include "symbolic/files/graph_file_decoder.hpp"

namespace zarnik::symbolic::detail::graph_files {

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

}  // namespace zarnik::symbolic::detail::graph_files

namespace zarnik::symbolic {

std::uint64_t graph_file_length(std::string_view header) {
    return detail::graph_files::read_header(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()).length;
}

}  // namespace zarnik::symbolic
