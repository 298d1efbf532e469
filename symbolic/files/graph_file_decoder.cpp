// Decoding a graph file in its two passes (check everything, then make the
// nodes), and loading one from bytes or a stream.

#include <algorithm>
#include <istream>
#include <utility>

#include "symbolic/expression.hpp"
#include "symbolic/files/graph_file_decoder.hpp"

namespace zarnik::symbolic::detail::graph_files {

GraphFile Decoder::run() {
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

void Decoder::truncated_section(const char* section) const {
    refuse_load(std::string("the ") + section + " section runs past the end of the file: the file is damaged");
}

// The handle of the node at `position`, moved out of the table at its last use.
Value Decoder::take(std::uint32_t position, std::vector<std::uint32_t>& uses) {
    if (--uses[position] == 0) {
        return std::move(nodes_[position]);
    }
    return nodes_[position];
}

void Decoder::make(const Record& record, std::vector<std::uint32_t>& uses) {
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
    nodes_.push_back(
        make_expression(record.op, record.dimension, std::move(inputs), record.input_count, record.component_index));
}

GraphFile decode(const std::uint8_t* bytes, const Header& header, const GraphFilePoll& poll) {
    check_checksum(bytes, static_cast<std::size_t>(header.length));
    return Decoder(bytes, header, poll).run();
}

}  // namespace zarnik::symbolic::detail::graph_files

namespace zarnik::symbolic {

using namespace detail::graph_files;

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

}  // namespace zarnik::symbolic
