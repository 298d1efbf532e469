// What a graph file is read as: one graph, a tape or a function, each
// refused when the file holds something else.

#include <array>
#include <istream>
#include <utility>

#include "symbolic/files/graph_file.hpp"

namespace zarnik::symbolic {

namespace {

using detail::graph_files::refuse_load;

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

Value load_value(const std::filesystem::path& path) { return value_in(load(path)); }
Tape load_tape(const std::filesystem::path& path) { return tape_in(load(path)); }
Function load_function(const std::filesystem::path& path) { return function_in(load(path)); }

}  // namespace zarnik::symbolic
