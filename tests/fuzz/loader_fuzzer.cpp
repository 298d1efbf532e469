// libFuzzer harness over the graph file loader: whatever the bytes, loading
// gives a graph or throws std::invalid_argument, and a loaded graph is a
// graph like any other. Checked for every input:
//   - load throws nothing but std::invalid_argument (the sanitizers catch
//     crashes, overreads and leaks; libFuzzer's limits catch hangs and
//     unbounded allocations);
//   - a loaded graph saves, with as many nodes as the file held (the loader
//     refuses nodes that no output or input reaches), and the saved file
//     loads into a graph that saves to the same bytes again (the writer is
//     deterministic and the reader keeps everything it writes);
//   - evaluation, a tape and a function of the loaded graph give the same
//     lanes or throw the same exception.
// The first byte chooses whether the length field and the checksum are made
// to agree with the rest before loading: without that, nearly every mutation
// would stop at the checksum, and the parser behind it would go untested.
// A violated property aborts, which libFuzzer reports with the input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "symbolic/symbolic.hpp"

using namespace zarnik::symbolic;

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFF'FFFFU;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
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

// The length field and the checksum made to agree with the other bytes.
void repair(std::string& bytes) {
    if (bytes.size() < graph_file_header_size + 4) {
        return;
    }
    put(bytes, 12, bytes.size(), 8);
    put(bytes, bytes.size() - 4, crc32(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size() - 4), 4);
}

struct Outcome {
    SmallValue lanes{};
    std::string thrown;

    bool operator==(const Outcome& other) const {
        return thrown == other.thrown && lanes.dimension == other.lanes.dimension &&
               std::memcmp(lanes.lanes.data(), other.lanes.lanes.data(), sizeof lanes.lanes) == 0;
    }
};

template <typename Call>
Outcome outcome_of(Call&& call) {
    try {
        return {call(), {}};
    } catch (const std::exception& error) {
        return {SmallValue{}, std::string(typeid(error).name()) + ": " + error.what()};
    }
}

// Graphs loaded from inputs of a few kilobytes are small; the calls below are
// bounded by the nodes a file can hold.
void exercise(const GraphFile& file) {
    for (const Value& output : file.outputs) {
        const Outcome evaluated = outcome_of([&] { return output.evaluate(); });
        const Outcome taped = outcome_of([&] { return Tape(output).evaluate(); });
        if (!(evaluated == taped)) {
            violated("a tape of a loaded graph evaluates as the graph does");
        }
        if (output.dimension() == 1) {
            (void)outcome_of([&] {
                output.backward();
                output.zero_grad();
                return SmallValue{};
            });
        }
    }
    if (file.content == GraphFileContent::Function) {
        // The loader refuses a function's file that no function could have
        // saved (an output that needs a placeholder which is not an input),
        // so every function's file that loads makes a Function.
        const Function f(file.inputs, file.outputs);
        std::vector<SmallValue> at;
        for (const Value& input : file.inputs) {
            SmallValue value;
            value.dimension = input.dimension();
            value.lanes.fill(0.25);
            at.push_back(value);
        }
        (void)outcome_of([&] {
            f(at);
            return SmallValue{};
        });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((data[0] & 1U) != 0) {
        repair(bytes);
    }
    GraphFile file;
    try {
        file = load_from_bytes(bytes);
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (...) {
        violated("loading throws only std::invalid_argument");
    }
    std::string saved;
    try {
        saved = save_to_bytes(file);
    } catch (const std::exception&) {
        violated("a loaded graph saves");
    }
    // The saver writes each node below the roots once, so a file with a node
    // that no root reaches saves to fewer: such a file, which costs memory
    // for nothing, must have been refused.
    if (saved.compare(20, 4, bytes, 20, 4) != 0) {
        violated("every node of a file that loads is below an output or input");
    }
    try {
        if (save_to_bytes(load_from_bytes(saved)) != saved) {
            violated("a saved graph loads into one that saves to the same bytes");
        }
    } catch (const std::exception&) {
        violated("a saved graph loads");
    }
    exercise(file);
    return 0;
}
