// Saving and loading graphs: loaded graphs are new nodes that behave bit for
// bit as the saved ones, and every damaged, truncated or foreign file is
// refused with std::invalid_argument before anything is trusted.

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "random_graphs.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::outcome_of;
using testing::same_bits;
using testing::throws;

// --- building files by hand --------------------------------------------------------

// CRC-32 as the format uses it, bit by bit.
std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFF'FFFFU;
    for (const char c : bytes) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1U) ^ 0xEDB88320U : crc >> 1U;
        }
    }
    return ~crc;
}

void put(std::string& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFFU);
    }
}

// Makes the length field and the checksum agree with the bytes again, so that
// a damage reaches the check of the field it is in.
std::string repaired(std::string bytes) {
    put(bytes, 12, bytes.size(), 8);
    put(bytes, bytes.size() - 4, crc32(std::string_view(bytes).substr(0, bytes.size() - 4)), 4);
    return bytes;
}

std::string lane_bytes(double value) {
    std::string bytes(8, '\0');
    put(bytes, 0, std::bit_cast<std::uint64_t>(value), 8);
    return bytes;
}

std::string varint(std::uint64_t value) {
    std::string bytes;
    for (; value >= 0x80; value >>= 7U) {
        bytes += static_cast<char>((value & 0x7FU) | 0x80U);
    }
    return bytes + static_cast<char>(value);
}

// A file written record by record, for what no saver writes: the header, the
// records as given, the roots, and the length and checksum that agree.
std::string crafted(GraphFileContent content, std::uint32_t nodes, const std::string& records,
                    const std::vector<std::uint64_t>& outputs, const std::vector<std::uint64_t>& inputs = {}) {
    std::string bytes = "\x89ZGR\r\n\x1a\n";
    bytes += std::string{1, '\0', static_cast<char>(content), outputs.size() > 1 ? '\x01' : '\0'};
    bytes += std::string(12, '\0');
    put(bytes, 20, nodes, 4);
    bytes += records + varint(outputs.size());
    for (const std::uint64_t position : outputs) {
        bytes += varint(position);
    }
    bytes += varint(inputs.size());
    for (const std::uint64_t position : inputs) {
        bytes += varint(position);
    }
    return repaired(bytes + std::string(4, '\0'));
}

GraphFile load_bytes(const std::string& bytes) { return load_from_bytes(bytes); }

std::string saved(const GraphFile& file) { return save_to_bytes(file); }

// --- the behaviour of a loaded graph ----------------------------------------------------

using ValueOutcome = testing::Outcome<SmallValue>;

// Evaluation, then a backward pass with `seed` and the gradients it gives
// every parameter, as one list of outcomes; gradients are cleared after.
std::vector<ValueOutcome> behaviour(const Value& output, const std::vector<Value>& parameters, const SmallValue& seed) {
    std::vector<ValueOutcome> seen{outcome_of([&] { return output.evaluate(); })};
    seen.push_back(outcome_of([&] {
        output.backward(seed);
        return seed;
    }));
    for (const Value& p : parameters) {
        seen.push_back(outcome_of([&] { return p.grad(); }));
    }
    output.zero_grad();
    return seen;
}

// The parameters of a loaded graph in the order of the originals: found by
// walking both graphs' saved files, whose node orders agree.
std::vector<Value> parameters_below(const Value& output) { return Tape(output).parameters(); }

TEST(Serialization, RandomGraphsLoadAsNewNodesThatBehaveBitForBit) {
    std::mt19937_64 rng(20261211);
    for (std::uint64_t seed = 0; seed < 300; ++seed) {
        testing::RandomGraphMaker maker(seed);
        const testing::RandomGraph g = maker.make(1 + static_cast<int>(seed % 40), seed % 3 != 0);
        // The output and two more values, so that files of several roots share nodes.
        GraphFile file{
            GraphFileContent::Graph, {g.output, g.values[seed % g.values.size()], g.values.front()}, {}, true};
        const std::string bytes = saved(file);
        const std::uint64_t before = testing::newest_id();
        const GraphFile loaded = load_bytes(bytes);
        ASSERT_EQ(loaded.outputs.size(), 3U);
        EXPECT_TRUE(loaded.listed);
        EXPECT_EQ(saved(loaded), bytes) << "seed " << seed;  // the same kinds, values, names, hints and structure
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_GT(loaded.outputs[k].id(), before);
            EXPECT_FALSE(loaded.outputs[k].same_node(file.outputs[k]));
        }
        EXPECT_EQ(loaded.outputs[2].same_node(loaded.outputs[0]), file.outputs[2].same_node(file.outputs[0]));

        SmallValue seed_value;
        seed_value.dimension = g.output.dimension();
        for (int i = 0; i < seed_value.dimension; ++i) {
            seed_value.lanes[static_cast<std::size_t>(i)] = std::uniform_real_distribution<double>(-2, 2)(rng);
        }
        const std::vector<Value> originals = parameters_below(g.output);
        const std::vector<Value> copies = parameters_below(loaded.outputs[0]);
        ASSERT_EQ(originals.size(), copies.size());
        EXPECT_EQ(behaviour(g.output, originals, seed_value), behaviour(loaded.outputs[0], copies, seed_value))
            << "seed " << seed;
    }
}

TEST(Serialization, TapesAndFunctionsLoadToTheSameCalls) {
    std::mt19937_64 rng(7);
    for (std::uint64_t seed = 0; seed < 100; ++seed) {
        testing::RandomGraphMaker maker(seed + 1000);
        const testing::RandomGraph g = maker.make(20, seed % 2 == 0);
        std::vector<Value> inputs = g.placeholders;
        for (const Value& p : g.parameters) {
            if (std::bernoulli_distribution(0.6)(rng)) {
                inputs.push_back(p);
            }
        }
        const Function f(inputs, {g.output, g.values[seed % g.values.size()]});
        std::stringstream stream;
        save(stream, f);
        save(stream, Tape(g.output));
        const Function loaded_f = load_function(stream);
        const Tape loaded_tape = load_tape(stream);
        ASSERT_EQ(loaded_f.inputs().size(), inputs.size());
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            EXPECT_EQ(loaded_f.inputs()[k].kind(), inputs[k].kind());
            EXPECT_EQ(loaded_f.inputs()[k].name(), inputs[k].name());
        }

        std::vector<SmallValue> at;
        for (const Value& input : inputs) {
            SmallValue value;
            value.dimension = input.dimension();
            for (int i = 0; i < value.dimension; ++i) {
                value.lanes[static_cast<std::size_t>(i)] = std::uniform_real_distribution<double>(-2, 2)(rng);
            }
            at.push_back(value);
        }
        EXPECT_EQ(outcome_of([&] { return f(at); }), outcome_of([&] { return loaded_f(at); })) << "seed " << seed;
        std::vector<double> jacobian(f.output_lanes() * f.input_lanes());
        std::vector<double> loaded_jacobian(jacobian.size());
        const auto jacobian_outcome = [](const Function& fn, const std::vector<SmallValue>& values,
                                         std::vector<double>& out) {
            return outcome_of([&] {
                fn.jacobian(values, out);
                return std::vector<SmallValue>{};
            });
        };
        EXPECT_EQ(jacobian_outcome(f, at, jacobian), jacobian_outcome(loaded_f, at, loaded_jacobian));
        EXPECT_TRUE(std::equal(jacobian.begin(), jacobian.end(), loaded_jacobian.begin(), loaded_jacobian.end(),
                               [](double a, double b) { return same_bits(a, b); }));

        const std::vector<Value> originals = Tape(g.output).parameters();
        const std::vector<Value>& copies = loaded_tape.parameters();
        ASSERT_EQ(originals.size(), copies.size());
        EXPECT_EQ(outcome_of([&] { return Tape(g.output).evaluate(); }),
                  outcome_of([&] { return loaded_tape.evaluate(); }));
        if (g.output.dimension() == 1) {
            EXPECT_EQ(outcome_of([&] { return Tape(g.output).backward(); }),
                      outcome_of([&] { return loaded_tape.backward(); }));
            for (std::size_t k = 0; k < originals.size(); ++k) {
                EXPECT_EQ(outcome_of([&] { return originals[k].grad(); }),
                          outcome_of([&] { return copies[k].grad(); }));
            }
            g.output.zero_grad();
        }
    }
}

TEST(Serialization, NodesOutsideTheBuildersFormsKeepEveryVisibleField) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    SmallValue short_value = small_value(1.5);
    SmallValue spare = small_value(2.0, 3.0);
    spare.lanes[3] = nan;  // a spare lane that is not zero
    const Value narrow(make_node(ValueKind::Constant, 3, short_value, std::nullopt, "narrow"));
    const Value wide(make_node(ValueKind::Parameter, 2, spare, spare, "spare"));
    const Value bare(make_node(ValueKind::Expression, 2, SmallValue{}, small_value(1.0, 2.0), "bare"));
    const Value hinted = undefined_with_hint(0.25, "u");
    const std::vector<Value> odd{
        make_expression(ExpressionOp::Add, 3, {wide, narrow, {}, {}}, 2, -1),     // dimensions 2 and 3
        make_expression(ExpressionOp::Pack, 2, {wide, wide, narrow, {}}, 3, -1),  // more inputs than lanes
        make_expression(ExpressionOp::Component, 1, {wide, {}, {}, {}}, 1, 7),    // a lane beyond four
        make_expression(ExpressionOp::Sin, 2, {wide, {}, {}, {}}, 1, -12345),
        make_expression(ExpressionOp::None, 1, {wide, {}, {}, {}}, 1, -1),
        make_expression(ExpressionOp::Multiply, 2, {wide, wide, {}, {}}, 2, -1),
        bare,
        hinted,
    };
    const GraphFile file{GraphFileContent::Graph, odd, {}, true};
    const std::string bytes = saved(file);
    const GraphFile loaded = load_bytes(bytes);
    EXPECT_EQ(saved(loaded), bytes);
    const Value& loaded_wide = loaded.outputs[0].input(0);
    EXPECT_TRUE(same_bits(loaded_wide.value(), spare));
    EXPECT_TRUE(same_bits(loaded_wide.hint(), spare));
    EXPECT_TRUE(same_bits(loaded.outputs[0].input(1).value(), short_value));
    EXPECT_EQ(loaded.outputs[2].component_index(), 7);
    EXPECT_EQ(loaded.outputs[3].component_index(), -12345);
    EXPECT_EQ(loaded.outputs[6].kind(), ValueKind::Expression);
    EXPECT_EQ(loaded.outputs[6].name(), "bare");
    EXPECT_TRUE(same_bits(loaded.outputs[6].hint(), small_value(1.0, 2.0)));
    EXPECT_TRUE(same_bits(loaded.outputs[7].hint(), small_value(0.25)));
    for (std::size_t k = 0; k < odd.size(); ++k) {
        EXPECT_EQ(outcome_of([&] { return odd[k].evaluate(); }),
                  outcome_of([&] { return loaded.outputs[k].evaluate(); }))
            << "output " << k;
    }
}

TEST(Serialization, SavingRefusesWhatNoFileHolds) {
    const Value p = parameter(1.0, "p");
    const Value unknown = make_expression(static_cast<ExpressionOp>(200), 1, {p, {}, {}, {}}, 1, -1);
    const Value badly_named = parameter(1.0, std::string("\xff\xfe", 2));
    const struct {
        const char* what;
        GraphFile file;
        const char* message;
    } cases[] = {
        {"no output", {GraphFileContent::Graph, {}, {}, true}, "cannot save graph: there is no output"},
        {"an empty handle",
         {GraphFileContent::Graph, {p, Value{}}, {}, true},
         "cannot save graph: output 1 is not a valid symbolic value"},
        {"an unknown operation",
         {GraphFileContent::Graph, {unknown}, {}, false},
         "has the operation code 200, which names no operation"},
        {"a name that is not UTF-8",
         {GraphFileContent::Graph, {badly_named * 2.0}, {}, false},
         "has a name that is not UTF-8"},
        {"a tape of two outputs",
         {GraphFileContent::Tape, {p, p}, {}, false},
         "cannot save graph: a tape has one output, not 2"},
        {"inputs of a graph",
         {GraphFileContent::Graph, {p}, {p}, false},
         "cannot save graph: only a function has inputs"},
    };
    for (const auto& c : cases) {
        try {
            saved(c.file);
            ADD_FAILURE() << c.what << ": saved";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << c.what << ": " << error.what();
            EXPECT_EQ(std::string(error.what()).rfind("cannot save graph: ", 0), 0U) << error.what();
        }
    }
}

// A small file with every section and every kind of record: a named
// parameter, a hinted placeholder, a constant, a vector, a component, a
// sum, a function's inputs.
struct Sample {
    Value p = parameter(1.5, -2.0, "p");
    Value u = undefined_with_hint(0.5, "u");
    Value out = component(p * 3.0, 1) + u;
    Function f{{u, p}, {out, vec2(u, out)}};
    std::string bytes = save_to_bytes(graph_file(f));
};

// Where each field of the sample lies, from its layout: the records are, in
// walk order, p, 3.0, p * 3, its component, u, the sum, the vec2.
TEST(Serialization, DamagedFilesAreRefusedWithTheirReason) {
    const Sample sample;
    const std::string& good = sample.bytes;
    ASSERT_NO_THROW(load_bytes(good));
    const std::size_t size = good.size();
    const std::size_t nodes_start = 24;
    // The parameter's record: tag, two lanes, name length, name.
    const std::size_t p_tag = nodes_start;
    const std::size_t p_lane = p_tag + 1;
    const std::size_t p_name_length = p_tag + 1 + 16;
    const std::size_t p_name = p_name_length + 1;
    const std::size_t constant_tag = p_name + 1;
    const std::size_t product_tag = constant_tag + 1 + 8;
    const std::size_t product_op = product_tag + 1;
    const std::size_t product_input = product_tag + 2;
    const std::size_t component_index = product_tag + 4 + 2;
    ASSERT_EQ(static_cast<std::uint8_t>(good[product_op]), static_cast<std::uint8_t>(ExpressionOp::Multiply));
    ASSERT_EQ(good[component_index], 1);
    // The roots: 2 outputs, 2 inputs, then the checksum.
    const std::size_t roots = size - 4 - 6;
    ASSERT_EQ(good[roots], 2);
    ASSERT_EQ(good[roots + 3], 2);

    const auto with = [&good](std::size_t at, std::string bytes) {
        std::string damaged = good;
        damaged.replace(at, bytes.size(), bytes);
        return damaged;
    };
    const auto flipped = [&good](std::size_t at) {
        std::string damaged = good;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
        return damaged;
    };
    const std::string version_two = with(8, std::string("\x02\x00", 2));
    const struct {
        const char* what;
        std::string bytes;
        std::string message;
    } cases[] = {
        {"no bytes", "", "the file is empty"},
        {"a foreign file", "PK\x03\x04 an archive, not a graph, whatever it holds",
         "not a graph file (it does not begin with the format's signature)"},
        {"a file that went through a text-mode copy", with(4, "\n\n"),
         "not a graph file (it does not begin with the format's signature)"},
        {"truncated in the signature", good.substr(0, 5), "the file is truncated in its header (5 of 24 bytes)"},
        {"truncated in the header", good.substr(0, 20), "the file is truncated in its header (20 of 24 bytes)"},
        {"truncated after the header", good.substr(0, 24),
         "the file is truncated (24 of " + std::to_string(size) + " bytes)"},
        {"truncated in the nodes", good.substr(0, 40),
         "the file is truncated (40 of " + std::to_string(size) + " bytes)"},
        {"truncated in the roots", good.substr(0, roots + 2),
         "the file is truncated (" + std::to_string(roots + 2) + " of " + std::to_string(size) + " bytes)"},
        {"truncated in the checksum", good.substr(0, size - 1),
         "the file is truncated (" + std::to_string(size - 1) + " of " + std::to_string(size) + " bytes)"},
        {"bytes after the end", good + "x", "1 bytes follow the end of the file"},
        {"a newer version", version_two, "the file has format version 2, newer than this library reads (up to 1)"},
        {"a newer version, whatever follows", version_two.substr(0, 24) + "????",
         "the file has format version 2, newer than this library reads (up to 1)"},
        {"version 0", with(8, std::string("\x00\x00", 2)), "format version 0 does not exist: the file is damaged"},
        {"an unknown content code", with(10, "\x07"), "unknown content code 7"},
        {"unknown flags", with(11, "\x03"), "unknown flags 3"},
        {"a flipped byte in a lane", flipped(p_lane + 3), "the checksum does not match: the file is damaged"},
        {"a flipped byte in the roots", flipped(roots + 1), "the checksum does not match: the file is damaged"},
        {"a flipped byte in the checksum", flipped(size - 2), "the checksum does not match: the file is damaged"},
        {"a huge length", with(12, std::string("\x00\x00\x00\x00\x00\x00\x00\x40", 8)),
         "the file is truncated (" + std::to_string(size) + " of 4611686018427387904 bytes)"},
        {"a length too short for the nodes", repaired(with(20, std::string("\xff\xff\xff\x0f", 4))),
         "the header's length (" + std::to_string(size) + " bytes) cannot hold 268435455 nodes: the file is damaged"},
        {"no nodes", repaired(with(20, std::string(4, '\0'))),
         "the header's length (" + std::to_string(size) + " bytes) cannot hold 0 nodes: the file is damaged"},
        {"more nodes than records", repaired(with(20, "\x09")),
         "the node section runs past the end of the file: the file is damaged"},
        {"fewer nodes than records", repaired(with(20, "\x06")), "output 5 refers to node 6 of 6"},
        {"a reserved tag bit", repaired(with(p_tag, "\x91")), "node 0 has a record of unknown form (tag 145)"},
        {"a lane that is not finite", repaired(with(p_lane, lane_bytes(std::numeric_limits<double>::infinity()))),
         "node 0 has a value lane that is not finite"},
        {"a NaN lane", repaired(with(p_lane + 8, lane_bytes(std::numeric_limits<double>::quiet_NaN()))),
         "node 0 has a value lane that is not finite"},
        {"a name that is not UTF-8", repaired(with(p_name, "\xc0")), "node 0 has a name that is not UTF-8"},
        {"a huge name length", repaired(with(p_name_length, "\xff\xff\xff\xff\x0f")),
         "the node section runs past the end of the file: the file is damaged"},
        {"an unknown operation", repaired(with(product_op, "\xee")),
         "node 2 has the operation code 238, which names no operation"},
        {"an operation that reads nothing", repaired(with(product_op, std::string(1, '\0'))),
         "node 2 is an expression of no operation in the builders' form"},
        {"an input after the node", repaired(with(product_input, "\x05")),
         "node 2 has input 0 6 nodes back, before the first node"},
        {"a lane beyond four", repaired(with(component_index, "\x09")), "node 3 picks lane 9 of at most 4"},
        {"an overlong number", repaired(with(product_input, std::string(10, '\xff'))),
         "a number in the node section is too large: the file is damaged"},
        {"an output beyond the nodes", repaired(with(roots + 1, "\x63")), "output 0 refers to node 99 of 7"},
        {"a huge output count", repaired(with(roots, "\x7f")), "the file gives 127 outputs"},
        {"no output", repaired(with(roots, std::string(1, '\0'))), "the file gives 0 outputs"},
        {"a constant as an input", repaired(with(roots + 4, "\x01")),
         "input 0 (node 1) is not a placeholder or parameter"},
        {"an input given twice", repaired(with(roots + 4, std::string(1, good[roots + 5]))), "an input is given twice"},
        {"a huge input count", repaired(with(roots + 3, "\x7f")), "the file gives 127 inputs"},
        {"a placeholder that is not an input",
         repaired(good.substr(0, roots + 3) + "\x01" + good[roots + 5] + good.substr(roots + 6)),
         "output 0 depends on node 4, a placeholder that is not an input"},
        {"a byte between the roots and the checksum",
         repaired(good.substr(0, size - 4) + std::string("\0", 1) + good.substr(size - 4)),
         "1 bytes follow the last section: the file is damaged"},
        {"one output where a sequence was not given", repaired(with(11, std::string(1, '\0'))),
         "the file gives 2 outputs where it holds one"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(
            throws<std::invalid_argument>([&] { load_bytes(c.bytes); }, std::string("cannot load graph: ") + c.message))
            << c.what;
    }
}

// Every byte of a file, changed: without the checksum repaired, always
// refused; with it repaired, refused or loaded, and a loaded graph can be
// evaluated, differentiated and compiled as any other.
TEST(Serialization, EveryChangedByteIsRefusedOrLoadsSafely) {
    const Sample sample;
    const std::string& good = sample.bytes;
    int loaded = 0;
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (const int mask : {0x01, 0x80, 0xFF}) {
            std::string damaged = good;
            damaged[at] = static_cast<char>(damaged[at] ^ mask);
            EXPECT_THROW(load_bytes(damaged), std::invalid_argument) << "byte " << at;
            if (at < 12 || at >= good.size() - 4) {
                continue;
            }
            try {
                const GraphFile file = load_bytes(repaired(damaged));
                ++loaded;
                for (const Value& output : file.outputs) {
                    (void)outcome_of([&] { return output.evaluate(); });
                    (void)outcome_of([&] { return Tape(output).evaluate(); });
                }
                (void)outcome_of([&] {
                    return Function(file.inputs,
                                    file.outputs)(std::vector<SmallValue>(file.inputs.size(), small_value(0.5)));
                });
            } catch (const std::invalid_argument&) {
            }
        }
    }
    EXPECT_GT(loaded, 0);  // lanes and names changed in place still load
}

TEST(Serialization, StreamsHoldFilesOneAfterAnother) {
    const Sample sample;
    const Value a = parameter(2.0, "a");
    std::stringstream stream;
    save(stream, a * a);
    save(stream, Tape(a + 1.0));
    save(stream, sample.f);
    const Value square = load_value(stream);
    EXPECT_TRUE(same_bits(square.evaluate(), small_value(4.0)));
    EXPECT_TRUE(same_bits(load_tape(stream).evaluate(), small_value(3.0)));
    const Function f = load_function(stream);
    EXPECT_TRUE(
        same_bits(f({small_value(1.0), small_value(0.0, 1.0)}), sample.f({small_value(1.0), small_value(0.0, 1.0)})));
    EXPECT_EQ(stream.peek(), std::char_traits<char>::eof());

    std::stringstream wrong;
    save(wrong, sample.f);
    EXPECT_TRUE(throws<std::invalid_argument>([&] { load_tape(wrong); },
                                              "cannot load graph: the file holds a function, not a tape"));
    // A stream that reports failures as exceptions reads the same files and
    // refuses the same ones with the loader's own exception, its mask kept.
    const auto throwing = [](std::string bytes) {
        auto throwing_stream = std::make_unique<std::stringstream>(std::move(bytes));
        throwing_stream->exceptions(std::ios::failbit | std::ios::badbit | std::ios::eofbit);
        return throwing_stream;
    };
    for (const bool as_exceptions : {false, true}) {
        const auto cut = as_exceptions ? throwing(sample.bytes.substr(0, 30))
                                       : std::make_unique<std::stringstream>(sample.bytes.substr(0, 30));
        EXPECT_TRUE(throws<std::invalid_argument>(
            [&] { load(*cut); },
            "cannot load graph: the file is truncated (30 of " + std::to_string(sample.bytes.size()) + " bytes)"));
        const auto header_only = as_exceptions ? throwing(sample.bytes.substr(0, 10))
                                               : std::make_unique<std::stringstream>(sample.bytes.substr(0, 10));
        EXPECT_TRUE(throws<std::invalid_argument>(
            [&] { load(*header_only); }, "cannot load graph: the file is truncated in its header (10 of 24 bytes)"));
    }
    const auto whole = throwing(sample.bytes + sample.bytes);
    EXPECT_NO_THROW(load_function(*whole));
    EXPECT_NO_THROW(load_function(*whole));
    EXPECT_EQ(whole->exceptions(), std::ios::failbit | std::ios::badbit | std::ios::eofbit);
    EXPECT_TRUE(throws<std::invalid_argument>([&] { load(*whole); }, "cannot load graph: the file is empty"));
}

TEST(Serialization, ADeepChainAndASharedDiamondRoundTrip) {
    const Value p = parameter(0.5, "p");
    Value chain = p;
    for (int k = 0; k < 200'000; ++k) {
        chain = sin(chain) * 0.5 + p;
    }
    Value diamond = p;
    for (int k = 0; k < 60; ++k) {
        diamond = diamond * diamond;  // 2^60 paths through 61 nodes
    }
    const GraphFile file{GraphFileContent::Graph, {chain, diamond}, {}, true};
    const std::string bytes = saved(file);
    const GraphFile loaded = load_bytes(bytes);
    EXPECT_EQ(saved(loaded), bytes);
    EXPECT_EQ(Tape(loaded.outputs[0]).size(), Tape(chain).size());
    EXPECT_EQ(Tape(loaded.outputs[1]).size(), 61U);
    EXPECT_TRUE(same_bits(loaded.outputs[0].evaluate(), chain.evaluate()));
    // Bytes per node of the chain: a tag, an operation and short back references.
    EXPECT_LT(static_cast<double>(bytes.size()) / static_cast<double>(Tape(chain).size()), 6.0);
}

// The saver writes only nodes below an output or a function's input, so a
// node that none reaches is refused: without that, a one-byte record would
// make a node of hundreds of bytes that nothing needs.
TEST(Serialization, NodesThatNoOutputOrInputReachesAreRefused) {
    constexpr std::uint32_t count = 1000;
    const std::string placeholders(count, '\x02');
    const std::string parameter_record = '\x01' + lane_bytes(1.5);
    const std::string negate = std::string{'\x03', static_cast<char>(ExpressionOp::Negate), '\0'};
    const std::string negate_two_back = std::string{'\x03', static_cast<char>(ExpressionOp::Negate), '\x01'};
    const std::string unused = crafted(GraphFileContent::Graph, count, placeholders, {count - 1});
    const std::string unused_with_room =
        crafted(GraphFileContent::Graph, count,
                placeholders.substr(1) + "\x12" + varint(2 * count) + std::string(2 * count, 'n'), {count - 1});
    const struct {
        const char* what;
        std::string bytes;
        std::string message;
    } cases[] = {
        {"placeholders before the output that nothing uses", unused,
         "the header's length (" + std::to_string(unused.size()) +
             " bytes) cannot hold 1000 nodes: the file is damaged"},
        {"the same with a long name to make room for them", unused_with_room,
         "node 0 is below no output or input: the file is damaged"},
        {"an expression on top of the output",
         crafted(GraphFileContent::Graph, 3, parameter_record + negate + negate, {1}),
         "node 2 is below no output or input: the file is damaged"},
        {"a node that only an unreached node uses",
         crafted(GraphFileContent::Graph, 4, parameter_record + negate + negate + parameter_record, {3}),
         "node 2 is below no output or input: the file is damaged"},
        {"a function's unreached node between its input and output",
         crafted(GraphFileContent::Function, 3, "\x02" + parameter_record + negate_two_back, {2}, {0}),
         "node 1 is below no output or input: the file is damaged"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(throws<std::invalid_argument>([&] { load_bytes(c.bytes); }, "cannot load graph: " + c.message))
            << c.what;
    }
    // A function's input that no output reaches is below a root: it loads.
    const Value x = undefined(1, "x");
    const Value unreached = undefined(2, "unreached");
    const GraphFile loaded = load_bytes(saved(graph_file(Function({x, unreached}, {x * 2.0}))));
    ASSERT_EQ(loaded.inputs.size(), 2U);
    EXPECT_EQ(loaded.inputs[1].dimension(), 2);
}

// What loading allocates is nodes, and a file of L bytes makes at most
// (L - 30) / 2 of them: measured on the files that come nearest, unnamed
// placeholders and what uses them, and on the files with unreached nodes.
TEST(Serialization, AFileMakesAtMostOneNodePerTwoBytes) {
    constexpr std::uint32_t count = 4096;
    const std::string negate = std::string{'\x03', static_cast<char>(ExpressionOp::Negate), '\0'};
    const std::string pack = std::string{'\x0F', static_cast<char>(ExpressionOp::Pack), 3, 2, 1, 0};
    std::string packs;  // each of four placeholders
    for (std::uint32_t k = 0; k < count; ++k) {
        packs += std::string(4, '\x02') + pack;
    }
    std::vector<std::uint64_t> inputs(count);
    std::iota(inputs.begin(), inputs.end(), 0U);
    std::vector<std::uint64_t> pack_outputs;
    for (std::uint64_t k = 0; k < count; ++k) {
        pack_outputs.push_back(5 * k + 4);
    }
    Value sum = undefined(1, "");
    for (std::uint32_t k = 1; k < count; ++k) {
        sum = sum + undefined(1, "");
    }
    const struct {
        const char* what;
        std::string bytes;
    } files[] = {
        {"placeholders that nothing uses",
         crafted(GraphFileContent::Graph, count, std::string(count, '\x02'), {count - 1})},
        {"a function of unnamed placeholders",
         crafted(GraphFileContent::Function, count, std::string(count, '\x02'), {0}, inputs)},
        {"packs of unnamed placeholders", crafted(GraphFileContent::Graph, 5 * count, packs, pack_outputs)},
        {"a chain of negations", crafted(GraphFileContent::Tape, count,
                                         std::string(1, '\x02') +
                                             [&] {
                                                 std::string chain;
                                                 for (std::uint32_t k = 1; k < count; ++k) {
                                                     chain += negate;
                                                 }
                                                 return chain;
                                             }(),
                                         {count - 1})},
        {"a sum of unnamed placeholders", saved(graph_file(sum))},
        {"one output many times", crafted(GraphFileContent::Graph, 1, "\x02", std::vector<std::uint64_t>(count, 0))},
    };
    for (const auto& f : files) {
        const std::uint64_t before = testing::newest_id();
        try {
            const GraphFile loaded = load_bytes(f.bytes);
            const std::uint64_t made = testing::newest_id() - before - 1;
            EXPECT_GT(made, 0U) << f.what;
            EXPECT_LE(2 * made, f.bytes.size() - 30)
                << f.what << ": " << made << " nodes of " << f.bytes.size() << " bytes";
        } catch (const std::invalid_argument&) {
            EXPECT_EQ(testing::newest_id(), before + 1) << f.what << ": refused after making nodes";
        }
    }
}

// A record whose lanes run past the node section, into the checksum and past
// the file, read at every point the cut can fall: the lane is refused where it
// begins, not read.
TEST(Serialization, LanesCutAtTheEndOfTheNodeSectionAreRefused) {
    const std::string parameter_record = '\x01' + lane_bytes(1.5);
    const std::string constant = '\x04' + lane_bytes(2.0) + lane_bytes(-3.0);  // a 2-lane constant
    for (std::size_t kept = 1; kept < constant.size(); ++kept) {
        std::string bytes = crafted(GraphFileContent::Graph, 2, parameter_record + constant, {1});
        // Cut the constant after `kept` bytes, and drop the roots with it.
        bytes = repaired(bytes.substr(0, 24 + parameter_record.size() + kept) + std::string(4, '\0'));
        // A buffer of exactly the file's bytes, so that a read past it is one
        // the address sanitizer sees.
        const std::vector<char> exact(bytes.begin(), bytes.end());
        EXPECT_TRUE(throws<std::invalid_argument>(
            [&] { load_from_bytes(std::string_view(exact.data(), exact.size())); },
            "cannot load graph: the node section runs past the end of the file: the file is damaged"))
            << kept << " bytes of the record kept";
    }
}

// --- files at a path ---------------------------------------------------------------------

// A directory of its own for each test, removed with everything in it.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& name)
        : path_(std::filesystem::temp_directory_path() / ("zarnik-" + name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directory(path_);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const noexcept { return path_; }

    // The names in the directory, sorted: a temporary left behind shows.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    }

private:
    std::filesystem::path path_;
};

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(Serialization, SavingToAPathReplacesTheFileWhole) {
    const ScratchDirectory directory("save-replaces");
    const std::filesystem::path path = directory.path() / "model.zgr";
    const Sample sample;
    write_file(path, "an older file");
    std::ifstream reader(path, std::ios::binary);  // opened before the save, read after it
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
    save(path, sample.f);
    EXPECT_EQ(contents(path), sample.bytes);
    // The file was replaced, not written over: a reader sees the old one whole.
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), std::istreambuf_iterator<char>()), "an older file");
    EXPECT_EQ(directory.names(), std::vector<std::string>{"model.zgr"});
    EXPECT_EQ(
        std::filesystem::status(path).permissions() & std::filesystem::perms::all,
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::group_read);
    const Function loaded = load_function(path);
    EXPECT_TRUE(same_bits(loaded({small_value(1.0), small_value(0.0, 1.0)}),
                          sample.f({small_value(1.0), small_value(0.0, 1.0)})));

    // Each overload, and a file that did not exist.
    const Value a = parameter(2.0, "a");
    save(directory.path() / "value.zgr", a * a);
    EXPECT_TRUE(same_bits(load_value(directory.path() / "value.zgr").evaluate(), small_value(4.0)));
    save(directory.path() / "tape.zgr", Tape(a + 1.0));
    EXPECT_TRUE(same_bits(load_tape(directory.path() / "tape.zgr").evaluate(), small_value(3.0)));
    save(directory.path() / "file.zgr", graph_file(a));
    EXPECT_EQ(load(directory.path() / "file.zgr").outputs.at(0).name(), "a");

    // Through a symbolic link: the link stays, the file it names is replaced.
    std::filesystem::create_symlink("value.zgr", directory.path() / "link.zgr");
    save(directory.path() / "link.zgr", a - 1.0);
    EXPECT_TRUE(std::filesystem::is_symlink(directory.path() / "link.zgr"));
    EXPECT_TRUE(same_bits(load_value(directory.path() / "value.zgr").evaluate(), small_value(1.0)));
    EXPECT_EQ(directory.names(),
              (std::vector<std::string>{"file.zgr", "link.zgr", "model.zgr", "tape.zgr", "value.zgr"}));
}

TEST(Serialization, AFailedSaveToAPathLeavesTheOldFile) {
    const ScratchDirectory directory("save-fails");
    const std::filesystem::path path = directory.path() / "model.zgr";
    const Sample sample;
    write_file(path, sample.bytes);
    const Value unknown = make_expression(static_cast<ExpressionOp>(200), 1, {parameter(1.0, "q"), {}, {}, {}}, 1, -1);
    // The encoder refuses: nothing is written.
    EXPECT_THROW(save(path, unknown * 2.0), std::invalid_argument);
    EXPECT_THROW(save(path, GraphFile{GraphFileContent::Graph, {sample.p, Value{}}, {}, true}), std::invalid_argument);
    EXPECT_EQ(contents(path), sample.bytes);
    EXPECT_EQ(directory.names(), std::vector<std::string>{"model.zgr"});

    // The file system refuses: at creating the temporary, and at renaming it
    // over a directory, after it was written.
    std::filesystem::create_directory(directory.path() / "taken");
    write_file(directory.path() / "taken" / "inside", "kept");
    const struct {
        const char* what;
        std::filesystem::path path;
        std::errc error;
    } cases[] = {
        {"a directory that does not exist", directory.path() / "missing" / "model.zgr",
         std::errc::no_such_file_or_directory},
        {"a path that names a directory", directory.path() / "taken", std::errc::is_a_directory},
        {"a path that names no file", directory.path() / "", std::errc::is_a_directory},
    };
    for (const auto& c : cases) {
        try {
            save(c.path, sample.f);
            ADD_FAILURE() << c.what << ": saved";
        } catch (const std::filesystem::filesystem_error& error) {
            EXPECT_EQ(error.path1(), c.path) << c.what;
            EXPECT_NE(std::string(error.what()).find("cannot save graph: "), std::string::npos) << error.what();
            // Replacing a non-empty directory may be refused as either.
            EXPECT_TRUE(error.code() == c.error || error.code() == std::errc::directory_not_empty)
                << c.what << ": " << error.what();
        }
    }
    EXPECT_EQ(directory.names(), (std::vector<std::string>{"model.zgr", "taken"}));
    EXPECT_EQ(contents(directory.path() / "taken" / "inside"), "kept");
    EXPECT_EQ(contents(path), sample.bytes);
}

// A save whose poll throws (Ctrl-C in Python) at any of its calls, or whose
// writes fail midway (a full disk), leaves the old file as it was and
// nothing beside it.
TEST(Serialization, ASaveInterruptedOrFailingMidwayLeavesTheOldFile) {
    const ScratchDirectory directory("save-midway");
    const std::filesystem::path path = directory.path() / "model.zgr";
    const Sample sample;
    write_file(path, sample.bytes);
    // A file of several pieces of the write: a name of 3 MiB.
    const Value big = parameter(1.0, std::string(std::size_t{3} << 20U, 'n')) * 2.0;
    const std::string big_bytes = saved(graph_file(big));
    const auto unchanged = [&](const std::string& what) {
        // Compared as a whole: a mismatch would print megabytes.
        EXPECT_TRUE(contents(path) == sample.bytes) << what;
        EXPECT_EQ(directory.names(), std::vector<std::string>{"model.zgr"}) << what;
    };

    struct Interrupted {};
    int calls = 0;
    const auto count = [&calls] { ++calls; };
    save(directory.path() / "counted.zgr", graph_file(big), count);
    std::filesystem::remove(directory.path() / "counted.zgr");
    ASSERT_GE(calls, 4);  // between the four pieces, and before the rename
    for (int k = 0; k < calls; ++k) {
        int call = 0;
        const auto interrupt = [&call, k] {
            if (call++ == k) {
                throw Interrupted{};
            }
        };
        EXPECT_THROW(save(path, graph_file(big), interrupt), Interrupted) << "call " << k;
        unchanged("interrupted at call " + std::to_string(k));
    }

    // Writes past a limit on file sizes fail as on a full disk (EFBIG, the
    // signal ignored); the first piece of the write is whole.
    struct ::sigaction ignore{};
    struct ::sigaction previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    struct ::rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const struct ::rlimit lowered{std::size_t{3} << 19U, limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    try {
        save(path, graph_file(big));
        ADD_FAILURE() << "saved past the limit";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_too_large) << error.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    unchanged("writes that failed");

    save(path, graph_file(big));
    EXPECT_TRUE(contents(path) == big_bytes);
}

// `call` as a user who is neither root nor the owner of anything here: in a
// child process that gives up root when the test runs as root. Whether it
// threw a filesystem_error of `expected`.
bool refused_to_another_user(const std::function<void()>& call, std::errc expected) {
    const auto refused = [&] {
        try {
            call();
        } catch (const std::filesystem::filesystem_error& error) {
            return error.code() == expected;
        }
        return false;
    };
    if (::geteuid() != 0) {
        return refused();
    }
    const ::pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(dropped && refused() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Serialization, ASaveToAPathTreatsWhatIsThereAsWritingToItWould) {
    const ScratchDirectory directory("save-kinds");
    std::filesystem::permissions(directory.path(), std::filesystem::perms::all);  // any user may add files
    const Sample sample;
    const std::filesystem::path path = directory.path() / "model.zgr";

    // A file its user may not write is refused, though the directory would
    // take a new file in its place.
    write_file(path, "read only");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    EXPECT_TRUE(refused_to_another_user([&] { save(path, sample.f); }, std::errc::permission_denied));
    EXPECT_EQ(contents(path), "read only");
    EXPECT_EQ(directory.names(), std::vector<std::string>{"model.zgr"});

    // Root gives the new file the old one's owner (anyone else keeps it theirs).
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 4321, 8765), 0);
        save(path, sample.f);
        struct ::stat saved_stat{};
        ASSERT_EQ(::stat(path.c_str(), &saved_stat), 0);
        EXPECT_EQ(std::pair(saved_stat.st_uid, saved_stat.st_gid), std::pair(::uid_t{4321}, ::gid_t{8765}));
        EXPECT_EQ(contents(path), sample.bytes);
    }

    // A pipe is written into, and stays a pipe.
    const std::filesystem::path pipe = directory.path() / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    save(pipe, sample.f);
    std::string read(sample.bytes.size() + 1, '\0');
    const ::ssize_t got = ::read(reader, read.data(), read.size());
    ::close(reader);
    EXPECT_EQ(read.substr(0, static_cast<std::size_t>(std::max<::ssize_t>(got, 0))), sample.bytes);
    EXPECT_TRUE(std::filesystem::is_fifo(std::filesystem::symlink_status(pipe)));

    // A link that names no file yet: the file is made where it points.
    std::filesystem::create_symlink("made.zgr", directory.path() / "dangling.zgr");
    save(directory.path() / "dangling.zgr", sample.f);
    EXPECT_TRUE(std::filesystem::is_symlink(directory.path() / "dangling.zgr"));
    EXPECT_EQ(contents(directory.path() / "made.zgr"), sample.bytes);
    EXPECT_EQ(directory.names(), (std::vector<std::string>{"dangling.zgr", "made.zgr", "model.zgr", "pipe"}));
}

TEST(Serialization, LoadingFromAPathReadsOneWholeFile) {
    const ScratchDirectory directory("load");
    const Sample sample;
    write_file(directory.path() / "two.zgr", sample.bytes + sample.bytes);
    write_file(directory.path() / "cut.zgr", sample.bytes.substr(0, 30));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { load(directory.path() / "two.zgr"); },
                                              "cannot load graph: bytes follow the end of the file"));
    EXPECT_TRUE(throws<std::invalid_argument>(
        [&] { load(directory.path() / "cut.zgr"); },
        "cannot load graph: the file is truncated (30 of " + std::to_string(sample.bytes.size()) + " bytes)"));
    for (const auto& [name, error] :
         {std::pair{"missing.zgr", std::errc::no_such_file_or_directory}, std::pair{"", std::errc::is_a_directory}}) {
        try {
            load(directory.path() / name);
            ADD_FAILURE() << name << ": loaded";
        } catch (const std::filesystem::filesystem_error& thrown) {
            EXPECT_EQ(thrown.code(), error) << thrown.what();
            EXPECT_NE(std::string(thrown.what()).find("cannot load graph: "), std::string::npos) << thrown.what();
        }
    }
}

}  // namespace
}  // namespace zarnik::symbolic
