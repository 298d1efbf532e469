#pragma once

// What the encoder and the decoder of graph files share: the layout (README.md,
// "The file format"), the checksum, and the rules that both keep.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "symbolic/serialization.hpp"
#include "symbolic/value.hpp"

namespace zarnik::symbolic::detail::graph_files {

// --- the layout -------------------------------------------------------------------------

inline constexpr std::array<std::uint8_t, 8> magic{0x89, 'Z', 'G', 'R', '\r', '\n', 0x1A, '\n'};
// magic, version, content, flags, length, node count
inline constexpr std::size_t header_size = graph_file_header_size;
inline constexpr std::size_t checksum_size = 4;
inline constexpr std::uint8_t flag_listed = 0x01;

// A node record's first byte.
inline constexpr std::uint8_t tag_kind = 0x03;       // ValueKind
inline constexpr std::uint8_t tag_dimension = 0x0C;  // dimension - 1
inline constexpr unsigned tag_dimension_shift = 2;
inline constexpr std::uint8_t tag_named = 0x10;
inline constexpr std::uint8_t tag_hinted = 0x20;
// Leaves: the value as a lane count and all four lanes, the hint as four
// lanes. Expressions: the input count and component index written out.
inline constexpr std::uint8_t tag_exact = 0x40;
inline constexpr std::uint8_t tag_reserved = 0x80;

inline constexpr std::size_t lanes_per_value = 4;

// A long save or load polls after every 2^16 nodes.
inline constexpr std::uint32_t poll_interval = 0xFFFF;

// --- numbers ----------------------------------------------------------------------------

inline std::uint32_t load_u32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8U |
           static_cast<std::uint32_t>(p[2]) << 16U | static_cast<std::uint32_t>(p[3]) << 24U;
}

inline std::uint64_t load_u64(const std::uint8_t* p) noexcept {
    return static_cast<std::uint64_t>(load_u32(p)) | static_cast<std::uint64_t>(load_u32(p + 4)) << 32U;
}

// CRC-32, the one of zlib and PNG (reflected, polynomial 0xEDB88320).
std::uint32_t crc32(const std::uint8_t* data, std::size_t size) noexcept;

// --- shared rules -----------------------------------------------------------------------

// Whether `text` is well-formed UTF-8: no overlong forms, surrogates or code
// points beyond U+10FFFF (the rules Python's strict decoder keeps).
bool is_utf8(std::string_view text) noexcept;

// What the builders make of an operation code: whether it names an
// operation, whether the node picks a component, and the inputs a node of it
// has in the builders' form (0 for an operation that reads no operand, which
// has no such form).
struct OperationForm {
    bool known = false;
    bool component = false;
    int regular_inputs = 0;
};
OperationForm form_of(ExpressionOp op, int dimension) noexcept;

// std::invalid_argument "cannot save graph: <reason>" and "cannot load graph: <reason>".
[[noreturn]] void refuse_save(const std::string& reason);
[[noreturn]] void refuse_load(const std::string& reason);

}  // namespace zarnik::symbolic::detail::graph_files
