// C code generated from compiled functions (generate.hpp), compiled with the
// system's C compiler and loaded into the test: on random graphs over every
// operation, it gives the bits of the function's calls and Jacobians, and
// its error code where a call throws.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "random_graphs.hpp"
#include "symbolic/symbolic.hpp"

namespace zarnik::symbolic {
namespace {

using Jacobian = int (*)(const double* const*, const double*, double* const*, double*, double*);

struct Case {
    Function function;
    std::vector<SmallValue> at;
};

// A folder of the test's own, removed when it ends.
class Folder {
public:
    Folder() : path_(std::filesystem::temp_directory_path() / ("zarnik_generate_test_" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

class Library {
public:
    explicit Library(const std::filesystem::path& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() {
        if (handle_ != nullptr) {
            ::dlclose(handle_);
        }
    }
    bool loaded() const noexcept { return handle_ != nullptr; }
    Jacobian jacobian(const std::string& name) const {
        return reinterpret_cast<Jacobian>(::dlsym(handle_, (name + "_jacobian").c_str()));
    }
    std::size_t work_size(const std::string& name) const {
        const auto size = reinterpret_cast<std::size_t (*)()>(::dlsym(handle_, (name + "_work_size").c_str()));
        return size != nullptr ? size() : 0;
    }

private:
    void* handle_;
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(GeneratedCode, RandomGraphsGiveTheCallsBitsAndErrors) {
    if (std::system("cc --version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs a C compiler (cc)";
    }
    const Folder folder;
    testing::RandomGraphMaker maker(20261211);
    std::vector<Case> cases;
    std::string sources;
    for (int i = 0; i < 40; ++i) {
        const testing::RandomGraph g = maker.make(14, i % 3 == 0);
        if (!g.placeholders.empty()) {
            continue;  // a placeholder that no call gives fails whatever the values
        }
        const Function f(g.parameters, {g.output, g.values[g.values.size() / 2]});
        std::vector<SmallValue> at;
        for (const Value& p : g.parameters) {
            at.push_back(p.value());
        }
        const GeneratedPaths paths = generate(f, folder.path(), "g" + std::to_string(cases.size()));
        for (const std::filesystem::path& source : paths.sources) {
            sources += " " + source.string();
        }
        cases.push_back({f, at});
    }
    ASSERT_GE(cases.size(), 20U);
    const std::filesystem::path library_path = folder.path() / "generated.so";
    const std::string command =
        "cc -std=c99 -O1 -Wall -Wextra -Werror -pedantic -fPIC -shared -o " + library_path.string() + sources + " -lm";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Library library(library_path);
    ASSERT_TRUE(library.loaded()) << ::dlerror();

    int failing = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Function& f = cases[i].function;
        const std::vector<SmallValue>& at = cases[i].at;
        std::vector<double> expected(f.output_lanes() * f.input_lanes());
        std::vector<SmallValue> outputs(f.outputs().size());
        bool throws = false;
        try {
            f.jacobian(at, expected, outputs);
        } catch (const std::invalid_argument&) {
            throws = true;
        }
        std::vector<const double*> inputs;
        for (const SmallValue& value : at) {
            inputs.push_back(value.lanes.data());
        }
        std::vector<double> first(4), second(4), jacobian(expected.size() + 1);
        const std::vector<double*> output_lanes = {first.data(), second.data()};
        const std::string name = "g" + std::to_string(i);
        std::vector<double> work(library.work_size(name));
        const Jacobian entry = library.jacobian(name);
        ASSERT_NE(entry, nullptr);
        ASSERT_FALSE(work.empty());
        const int code = entry(inputs.data(), nullptr, output_lanes.data(), jacobian.data(), work.data());
        if (throws) {
            EXPECT_EQ(code, 1) << "case " << i;
            ++failing;
            continue;
        }
        ASSERT_EQ(code, 0) << "case " << i;
        for (std::size_t j = 0; j < expected.size(); ++j) {
            EXPECT_TRUE(same_bits(jacobian[j], expected[j])) << "case " << i << " entry " << j;
        }
        for (std::size_t l = 0; l < static_cast<std::size_t>(outputs[0].dimension); ++l) {
            EXPECT_TRUE(same_bits(first[l], outputs[0].lanes[l])) << "case " << i;
        }
        for (std::size_t l = 0; l < static_cast<std::size_t>(outputs[1].dimension); ++l) {
            EXPECT_TRUE(same_bits(second[l], outputs[1].lanes[l])) << "case " << i;
        }
    }
    EXPECT_GE(failing, 1);
}

// Every function stays bounded whatever the graph, the entry points too (a
// run of more parts than a function's statements is called through parts
// that call parts), and each file declares only what it defines and calls:
// with functions of 3 statements, 2 to a file, a graph of hundreds of
// instructions still compiles with each declaration once and gives the
// interpreter's bits.
TEST(GeneratedCode, EveryFunctionAndFileStaysBounded) {
    if (std::system("cc --version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs a C compiler (cc)";
    }
    const Folder folder;
    const Value x = undefined(2, "x");
    Value total = constant(0.0);
    for (int i = 0; i < 20; ++i) {
        total = total + sin(component(x, 0) * (0.5 + 0.01 * i)) * component(x, 1);
    }
    const Function f({x}, {total});
    GenerateOptions options;
    options.statements_per_function = 3;
    options.functions_per_file = 2;
    const GeneratedPaths paths = generate(f, folder.path(), "bounded", options);
    ASSERT_GE(paths.sources.size(), 10U);
    std::string sources;
    std::vector<std::filesystem::path> files = paths.sources;
    files.push_back(folder.path() / "bounded_parts.h");  // what every source includes
    for (const std::filesystem::path& source : files) {
        std::ifstream in(source);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t declared = 0;
        std::size_t calls = 0;
        for (std::size_t at = text.find("_part_"); at != std::string::npos; at = text.find("_part_", at + 1)) {
            const std::size_t end = text.find_first_of("\n", at);
            const std::string rest = text.substr(at, end - at);
            declared += rest.ends_with("(double *restrict w);") ? 1U : 0U;
            calls += rest.ends_with("(work);") ? 1U : 0U;
        }
        EXPECT_LE(declared, 2U * (1 + 3)) << source;
        // The entry points: the forward run twice, the reverse run once, at most 3 calls each.
        EXPECT_LE(calls, 3U * 3) << source;
        sources += source.extension() == ".c" ? " " + source.string() : "";
    }
    const std::filesystem::path library_path = folder.path() / "bounded.so";
    const std::string command =
        "cc -std=c99 -O0 -Wall -Wextra -Werror -pedantic -Wmissing-prototypes "
        "-Wredundant-decls -fPIC -shared -o " +
        library_path.string() + sources + " -lm";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Library library(library_path);
    ASSERT_TRUE(library.loaded()) << ::dlerror();
    const std::vector<SmallValue> at = {SmallValue{2, {0.3, -0.7, 0.0, 0.0}}};
    std::vector<double> expected(2);
    std::vector<SmallValue> outputs(1);
    f.jacobian(at, expected, outputs);
    std::vector<double> value(1), jacobian(2), work(library.work_size("bounded"));
    const std::vector<const double*> inputs = {at[0].lanes.data()};
    const std::vector<double*> output_lanes = {value.data()};
    ASSERT_EQ(library.jacobian("bounded")(inputs.data(), nullptr, output_lanes.data(), jacobian.data(), work.data()),
              0);
    EXPECT_TRUE(same_bits(value[0], outputs[0].lanes[0]));
    EXPECT_TRUE(same_bits(jacobian[0], expected[0]) && same_bits(jacobian[1], expected[1]));
}

}  // namespace
}  // namespace zarnik::symbolic
