// Passes over a recorded program that a kept program (a tape's) pays for
// once, to make every later call cheaper.
//
// A program for evaluation alone. A backward pass needs every node's value
// until the reverse sweep reaches it, so the recorded program gives every
// node lanes of its own; evaluation needs a value only until its last user
// has run. Here the leaves keep their lanes, in a block of their own in the
// order they were recorded, and each result takes lanes that an earlier
// result no longer needs: a pass then streams the instructions and the
// constants and keeps its results in a few lanes that stay in cache.

#include <array>
#include <span>

#include "symbolic/program/program.hpp"

namespace zarnik::symbolic::detail {

namespace {

constexpr std::uint32_t none = 0xFFFF'FFFFU;

}  // namespace

Program compact_for_evaluation(const Program& program) {
    const std::size_t lanes = program.lanes.size();
    const std::size_t count = program.code.size();

    // Which instruction writes each lane (none: a leaf's lane).
    std::vector<std::uint32_t> producer(lanes, none);
    for (std::size_t k = 0; k < count; ++k) {
        const Instruction& in = program.code[k];
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            producer[in.out + i] = static_cast<std::uint32_t>(k);
        }
    }

    Program compact;
    std::vector<std::uint32_t> leaf_lane(lanes, none);
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        if (producer[lane] == none) {
            leaf_lane[lane] = compact.lanes.allocate(1);
            compact.lanes[leaf_lane[lane]] = program.lanes[lane];
        }
    }

    // The last instruction that reads each result; a result nobody reads
    // lives through its own instruction only, and the output to the end.
    std::vector<std::uint32_t> last_use(count);
    for (std::size_t k = 0; k < count; ++k) {
        last_use[k] = static_cast<std::uint32_t>(k);
        for_each_operand(program, program.code[k], [&](std::uint32_t first, std::uint32_t width, std::uint32_t) {
            for (std::uint32_t i = 0; i < width; ++i) {
                if (producer[first + i] != none) {
                    last_use[producer[first + i]] = static_cast<std::uint32_t>(k);
                }
            }
        });
    }
    const std::uint32_t output = offset_of(program.output);
    if (producer[output] != none) {
        last_use[producer[output]] = static_cast<std::uint32_t>(count);
    }
    // The results whose lanes come free after each instruction, by counting sort.
    std::vector<std::uint32_t> frees_from(count + 2, 0);
    for (std::size_t k = 0; k < count; ++k) {
        ++frees_from[last_use[k] + 1];
    }
    for (std::size_t k = 1; k < frees_from.size(); ++k) {
        frees_from[k] += frees_from[k - 1];
    }
    std::vector<std::uint32_t> freed(count);
    std::vector<std::uint32_t> filled(frees_from.begin(), frees_from.end() - 1);
    for (std::size_t k = 0; k < count; ++k) {
        freed[filled[last_use[k]]++] = static_cast<std::uint32_t>(k);
    }

    std::vector<std::uint32_t> result_lane(count, none);
    const auto moved = [&](std::uint32_t lane) {
        const std::uint32_t k = producer[lane];
        return k == none ? leaf_lane[lane] : result_lane[k] + (lane - program.code[k].out);
    };
    std::array<std::vector<std::uint32_t>, 4> free_lanes;  // by the number of lanes, 1..4
    compact.code.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        Instruction in = program.code[k];
        if (in.code == pack_code || shape_of(in.code) == Shape::Select) {
            const auto first = static_cast<std::uint32_t>(compact.pack_inputs.size());
            const std::uint32_t inputs = in.code == pack_code ? in.dim : 3;
            for (std::uint32_t i = 0; i < inputs; ++i) {
                compact.pack_inputs.push_back(moved(program.pack_inputs[in.a + i]));
            }
            in.a = first;
        } else if (in.code != Code::Fail) {
            in.a = moved(in.a);
            if (shape_of(in.code) == Shape::Binary) {
                in.b = moved(in.b);
            }
        }
        // The result's lanes are taken before any operand's are given back,
        // so that an instruction never writes over what it reads.
        std::vector<std::uint32_t>& reusable = free_lanes[in.dim - 1U];
        if (reusable.empty()) {
            result_lane[k] = compact.lanes.allocate(in.dim);
        } else {
            result_lane[k] = reusable.back();
            reusable.pop_back();
        }
        in.out = result_lane[k];
        compact.code.push_back(in);
        for (std::uint32_t i = frees_from[k]; i < frees_from[k + 1]; ++i) {
            const std::uint32_t done = freed[i];
            free_lanes[program.code[done].dim - 1U].push_back(result_lane[done]);
        }
    }

    for (const ParameterSlot& parameter : program.parameters) {
        compact.parameters.push_back({parameter.node, leaf_lane[parameter.offset], parameter.dim});
    }
    compact.output = place(moved(output), lanes_of(program.output));
    compact.output_leaf = program.output_leaf;
    compact.lanes.shrink_to_fit();
    compact.pack_inputs.shrink_to_fit();
    return compact;
}

// A lane is needed when an output is made of it or an instruction that is
// itself needed reads it unconditionally; an instruction none of whose
// result lanes is needed is guarded. The branches of where are read only
// where taken, so they need nothing by themselves.
bool mark_guarded(Program& program, std::span<const Place> outputs, bool checked) {
    std::vector<std::uint8_t> needed(program.lanes.size(), 0);
    for (const Place output : outputs) {
        for (int i = 0; i < lanes_of(output); ++i) {
            needed[offset_of(output) + static_cast<std::uint32_t>(i)] = 1;
        }
    }
    bool any = false;
    for (auto in = program.code.rbegin(); in != program.code.rend(); ++in) {
        bool read = false;
        for (std::uint32_t i = 0; i < in->dim; ++i) {
            read = read || needed[in->out + i] != 0;
        }
        if (!read && in->code != Code::Fail) {
            in->flags = static_cast<std::uint8_t>(in->flags | Instruction::guarded);
            any = true;
            continue;
        }
        in->flags = static_cast<std::uint8_t>(in->flags & ~(Instruction::guarded | Instruction::carries));
        const bool select = shape_of(in->code) == Shape::Select;
        for_each_operand(program, *in, [&](std::uint32_t first, std::uint32_t width, std::uint32_t operand) {
            if (select && operand != 0) {
                return;  // a branch
            }
            for (std::uint32_t i = 0; i < width; ++i) {
                needed[first + i] = 1;
            }
        });
    }
    if (!checked) {
        return any;
    }
    // Lanes made by guarded instructions may hold a failure; any other lane
    // (a leaf's, or a result that was checked) is finite wherever the pass
    // goes on. A guarded instruction carries failures on only where it reads
    // such a lane, and a where checks what it takes only where a branch is one.
    std::vector<std::uint8_t> unchecked(program.lanes.size(), 0);
    for (Instruction& in : program.code) {
        const bool select = shape_of(in.code) == Shape::Select;
        bool reads_unchecked = false;
        bool takes_unchecked = false;
        for_each_operand(program, in, [&](std::uint32_t first, std::uint32_t width, std::uint32_t operand) {
            for (std::uint32_t i = 0; i < width; ++i) {
                if (unchecked[first + i] != 0) {
                    (select && operand != 0 ? takes_unchecked : reads_unchecked) = true;
                }
            }
        });
        if ((in.flags & Instruction::guarded) != 0) {
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                unchecked[in.out + i] = 1;
            }
            if (reads_unchecked) {
                in.flags = static_cast<std::uint8_t>(in.flags | Instruction::carries);
            }
        } else if (select && takes_unchecked) {
            in.flags = static_cast<std::uint8_t>(in.flags | Instruction::checks_branches);
        }
    }
    return any;
}

// Marks, for the reverse sweep, the instruction that writes each adjoint lane
// first, so that the lane is zeroed right there rather than by a pass over
// all lanes beforehand; the first update then rounds as it does from a
// zeroed slot. Lanes that the sweep reads before anything writes them are
// listed, to be zeroed at its start.
std::vector<std::uint32_t> mark_first_writes(Program& program) {
    std::vector<bool> written(program.lanes.size(), false);
    std::vector<std::uint32_t> zero_first;
    const std::uint32_t output = offset_of(program.output);
    for (int i = 0; i < lanes_of(program.output); ++i) {
        written[output + static_cast<std::uint32_t>(i)] = true;  // the seed's
    }
    // Whether the sweep writes lanes [first, first + width) first here, none before.
    const auto first_write = [&written](std::uint32_t first, std::uint32_t width) {
        for (std::uint32_t i = 0; i < width; ++i) {
            if (written[first + i]) {
                return false;
            }
        }
        for (std::uint32_t i = 0; i < width; ++i) {
            written[first + i] = true;
        }
        return true;
    };
    // Lanes read, or updated, that nothing wrote before are zeroed at the start.
    const auto read = [&](std::uint32_t first, std::uint32_t width) {
        for (std::uint32_t i = 0; i < width; ++i) {
            if (!written[first + i]) {
                written[first + i] = true;
                zero_first.push_back(first + i);
            }
        }
    };
    for (auto in = program.code.rbegin(); in != program.code.rend(); ++in) {
        read(in->out, in->dim);  // the adjoint of its own result
        const bool bits_in_b = in->code == pack_code || shape_of(in->code) == Shape::Select;
        if (bits_in_b) {
            in->b = 0;  // a Pack or Select keeps its inputs' first writes here, a bit per input
        }
        // When both operands are one node, the first update zeroes it and the
        // second, finding its lanes written, adds.
        for_each_operand(program, *in, [&](std::uint32_t first, std::uint32_t width, std::uint32_t operand) {
            if (!first_write(first, width)) {
                read(first, width);
            } else if (bits_in_b) {
                in->b |= 1U << operand;
            } else {
                in->flags =
                    static_cast<std::uint8_t>(in->flags | (operand == 0 ? Instruction::first_a : Instruction::first_b));
            }
        });
    }
    // Adding the gradients reads every lane of every parameter.
    for (const ParameterSlot& parameter : program.parameters) {
        read(parameter.offset, parameter.dim);
    }
    return zero_first;
}

}  // namespace zarnik::symbolic::detail
