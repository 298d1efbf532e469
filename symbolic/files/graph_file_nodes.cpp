// Reading a graph file's node records: a leaf's value, name and hint, an
// expression's operation, component index and inputs, each checked.

#include "symbolic/files/graph_file_decoder.hpp"
#include "symbolic/graph/internal.hpp"

namespace zarnik::symbolic::detail::graph_files {

void Decoder::bad_node(std::uint32_t index, const std::string& reason) {
    refuse_load("node " + std::to_string(index) + " " + reason);
}

// `lanes_written` lanes of a value of `dimension` lanes, the rest zero;
// the lanes within the dimension must be finite.
SmallValue Decoder::lanes(std::uint32_t index, int dimension, int lanes_written, const char* what) {
    SmallValue value;
    value.dimension = dimension;
    for (std::size_t i = 0; i < static_cast<std::size_t>(lanes_written); ++i) {
        value.lanes[i] = lane();
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(dimension); ++i) {
        if (!is_finite_lane(value.lanes[i])) {
            bad_node(index, std::string("has a ") + what + " lane that is not finite");
        }
    }
    return value;
}

// The name and the hint that end a record.
void Decoder::name_and_hint(std::uint32_t index, Record& record, int hint_lanes) {
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

Record Decoder::read_record(std::uint32_t index) {
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

void Decoder::read_leaf(std::uint32_t index, Record& record) {
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

void Decoder::read_expression(std::uint32_t index, Record& record) {
    const std::uint8_t code = u8("node");
    record.op = static_cast<ExpressionOp>(code);
    const OperationForm form = form_of(record.op, record.dimension);
    if (!form.known) {
        bad_node(index, "has the operation code " + std::to_string(code) + ", which names no operation");
    }
    if ((record.tag & tag_exact) == 0) {
        record.input_count = form.regular_inputs;
        if (record.input_count == 0) {
            bad_node(index, "is an expression of no operation in the builders' form");
        }
        if (form.component) {
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

}  // namespace zarnik::symbolic::detail::graph_files
