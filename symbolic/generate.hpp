#pragma once

// Plain C99 source generated from a compiled function: its value and
// derivatives as functions that need only the C library's libm, for programs
// and devices that embed a model without this library. The generated code
// computes exactly what the function's calls compute, bit for bit: the same
// C library functions in the same order of operations, with contraction and
// fast-math off (the generated header checks what a compiler lets it check).

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "symbolic/function.hpp"

namespace zarnik::symbolic {

struct GenerateOptions {
    // The inputs the derivatives are taken against, by position, in the
    // order given; none: every input.
    std::optional<std::vector<std::size_t>> wrt;
    // NAME_jacobian: every output lane against the lanes of `wrt`, one reverse
    // sweep per output lane, bit for bit Function::jacobian's rows.
    bool jacobian = true;
    // NAME_gradient: the value and gradient of a function of one scalar output.
    bool gradient = false;
    // NAME_jvp (in NAME_jvp.h, which NAME.h includes): a function of the
    // inputs and then one tangent per input, to the outputs and then their
    // tangents, bit for bit FunctionDerivatives::jvp.
    bool jvp = false;
    // NAME_hvp (NAME_hvp.h), for one scalar output: a function of the inputs
    // and then the vector's lanes, one value per input, to the Hessian times
    // the vector, one value per input, bit for bit FunctionDerivatives::hvp.
    bool hvp = false;
    // A function of the generated code holds at most about this many
    // statements, and a file at most this many functions, so that a C
    // compiler's time and memory grow linearly with the graph and the files
    // compile in parallel.
    std::size_t statements_per_function = 150;
    std::size_t functions_per_file = 32;
    // When given, runs between pieces of the work (every few thousand
    // instructions swept); generation stops with what it throws, having
    // written no file.
    std::function<void()> check;
};

// One generated file: its name (within the directory) and its text.
struct GeneratedFile {
    std::string name;
    std::string text;
};

struct GeneratedCode {
    GeneratedFile header;                // NAME.h, what a caller includes
    std::vector<GeneratedFile> headers;  // the others: NAME_parts.h, what the sources share, and the derivatives'
    std::vector<GeneratedFile> sources;  // NAME.c first, then NAME_1.c, ...: compile them all
};

// The C code of `function`; `name` (a C identifier) prefixes every name it
// declares. Throws std::invalid_argument for a name that is not an identifier
// or that C reserves (a keyword of C or C++, a name of <math.h>, <float.h> or
// <stddef.h>, a compiler's built-in, `main`), for a `wrt` that names no input
// or one twice, for a gradient of a function whose outputs are not one
// scalar, and for a function that fails whatever its inputs (a placeholder
// that is not an input, a lane out of range) or whose nodes break the
// builders' invariants.
GeneratedCode generate_code(const Function& function, std::string_view name, const GenerateOptions& options = {});

// The same, written into `directory` (made when missing); returns the paths
// of the header and of the sources to compile. Throws std::runtime_error when
// a file cannot be written, having changed none of the files.
struct GeneratedPaths {
    std::filesystem::path header;
    std::vector<std::filesystem::path> sources;
};
GeneratedPaths generate(const Function& function, const std::filesystem::path& directory, std::string_view name,
                        const GenerateOptions& options = {});

// The C form of each operation of the core's list, by its name: how generated
// code computes it, as a C expression of `a` (and `b`), or the empty text for
// an operation that has none (which generated code cannot hold).
std::vector<std::pair<std::string, std::string>> c_operation_forms();

}  // namespace zarnik::symbolic
