// The parts of the graph file format that the encoder and the decoder share.

#include <array>
#include <stdexcept>

#include "symbolic/files/graph_file.hpp"
#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic::detail::graph_files {

namespace {

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

// The inputs and component index that a node of `op` has when the builders
// make it; an operation that reads no operand has no such form.
int regular_input_count(Shape shape, int dimension) noexcept {
    switch (shape) {
        case Shape::Unary:
        case Shape::Component: return 1;
        case Shape::Binary: return 2;
        case Shape::Select: return 3;
        case Shape::Pack: return dimension;
        case Shape::Leaf:
        case Shape::Unsupported: break;
    }
    return 0;
}

}  // namespace

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

OperationForm form_of(ExpressionOp op, int dimension) noexcept {
    const Shape shape = shape_of(op);
    return {shape != Shape::Unsupported, shape == Shape::Component, regular_input_count(shape, dimension)};
}

void refuse_save(const std::string& reason) { throw std::invalid_argument("cannot save graph: " + reason); }

void refuse_load(const std::string& reason) { throw std::invalid_argument("cannot load graph: " + reason); }

}  // namespace zarnik::symbolic::detail::graph_files
