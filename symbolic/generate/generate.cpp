// C code generated from a compiled function's program (generate.hpp).
//
// The generated code keeps every lane of the program where the program keeps
// it, in the caller's work array: values at [0, L), adjoints at [L, 2L), the
// Jacobian at [2L, 2L + rows * columns). Every statement reads and writes that
// array, so that the statements can be cut into functions of bounded size
// anywhere, the functions into files, and the compiler's work grows linearly
// with the graph. The forward pass is the program's instructions in order;
// each Jacobian row is the reverse sweep over its output's order
// (sweep_of), instruction by instruction, each contribution written by the
// rule itself over c_code::Lane, so that the generated arithmetic is the
// interpreter's operation for operation.
//
// Two things the interpreter does that change no result are left out: adding
// into the adjoints of lanes that lead to no input differentiated (constants,
// parameters, results that only those feed), and zeroing adjoints before a
// sweep: the generator knows which adjoints are still zero or a seed of 1 and
// writes those as numbers, the arithmetic on them unchanged (0.0 + d is
// computed, not taken as d).

#include "symbolic/generate.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "symbolic/derivatives.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/generate/c_lanes.hpp"
#include "symbolic/program/function_program.hpp"
#include "symbolic/version.hpp"

namespace zarnik::symbolic {

namespace detail {

namespace {

bool is_identifier(std::string_view name) {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (name.empty() || name.size() > 64 || !letter(name.front())) {
        return false;
    }
    for (const char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9')) {
            return false;
        }
    }
    return true;
}

// The identifiers that generated code cannot declare as a function: C's and
// C++'s keywords (the header is included by both), what the headers it
// includes declare (<math.h>, <float.h>, <stddef.h>, with the extensions
// C libraries add to <math.h> by default), the C library's functions that
// compilers know as built-ins (a declaration of another type is an error or a
// warning), `main`, and the helpers the code defines. Names with two leading
// underscores, or an underscore and a capital, are the implementation's.
bool is_reserved(std::string_view name) {
    if (name.starts_with("__") || (name.size() > 1 && name[0] == '_' && name[1] >= 'A' && name[1] <= 'Z')) {
        return true;
    }
    static constexpr std::string_view keywords_c[] = {"auto",    "break",    "case",     "char",   "const",  "continue",
                                                      "default", "do",       "double",   "else",   "enum",   "extern",
                                                      "float",   "for",      "goto",     "if",     "inline", "int",
                                                      "long",    "register", "restrict", "return", "short",  "signed"};
    static constexpr std::string_view more_keywords_c[] = {
        "sizeof",        "static",       "struct",  "switch",  "typedef",       "union",     "unsigned", "void",
        "volatile",      "while",        "alignas", "alignof", "bool",          "constexpr", "false",    "nullptr",
        "static_assert", "thread_local", "true",    "typeof",  "typeof_unqual", "asm"};
    static constexpr std::string_view keywords_cpp[] = {
        "and",       "and_eq",       "bitand",   "bitor",     "catch",    "char8_t",
        "char16_t",  "char32_t",     "class",    "compl",     "concept",  "const_cast",
        "consteval", "constinit",    "co_await", "co_return", "co_yield", "decltype",
        "delete",    "dynamic_cast", "explicit", "export",    "friend",   "mutable",
        "namespace", "new",          "noexcept", "not",       "not_eq",   "operator",
        "or",        "or_eq",        "private",  "protected", "public",   "reinterpret_cast",
        "requires",  "static_cast",  "template", "this",      "throw",    "try",
        "typeid"};
    static constexpr std::string_view more_keywords_cpp[] = {"typename", "using",  "virtual", "wchar_t",
                                                             "xor",      "xor_eq", "main",    "NULL"};
    // <math.h>'s functions, each also with an f and an l suffix.
    static constexpr std::string_view math[] = {
        "acos",     "acosh",    "asin",   "asinh",   "atan",        "atan2",     "atanh",      "cbrt",   "ceil",
        "copysign", "cos",      "cosh",   "erf",     "erfc",        "exp",       "exp2",       "expm1",  "fabs",
        "fdim",     "floor",    "fma",    "fmax",    "fmin",        "fmod",      "frexp",      "hypot",  "ilogb",
        "ldexp",    "lgamma",   "llrint", "llround", "log",         "log10",     "log1p",      "log2",   "logb",
        "lrint",    "lround",   "modf",   "nan",     "nearbyint",   "nextafter", "nexttoward", "pow",    "remainder",
        "remquo",   "rint",     "round",  "scalbln", "scalbn",      "sin",       "sinh",       "sqrt",   "tan",
        "tanh",     "tgamma",   "trunc",  "j0",      "j1",          "jn",        "y0",         "y1",     "yn",
        "gamma",    "drem",     "exp10",  "pow10",   "significand", "scalb",     "finite",     "sincos", "isinf",
        "isnan",    "lgamma_r", "gamma_r"};
    // <math.h>'s, <float.h>'s and <stddef.h>'s other names (the macros of
    // <float.h> all start with FLT_, DBL_ or LDBL_).
    static constexpr std::string_view other[] = {
        "isfinite",    "isnormal",      "signbit",     "fpclassify", "isgreater",  "isgreaterequal",   "isless",
        "islessequal", "islessgreater", "isunordered", "float_t",    "double_t",   "math_errhandling", "INFINITY",
        "NAN",         "HUGE_VAL",      "HUGE_VALF",   "HUGE_VALL",  "MATH_ERRNO", "MATH_ERREXCEPT",   "DECIMAL_DIG",
        "size_t",      "ptrdiff_t",     "max_align_t", "offsetof",   "signgam",    "nullptr_t",        "unreachable",
        "FP_FAST_FMA", "FP_ILOGB0",     "FP_ILOGBNAN", "zk_sign",    "zk_step",    "zk_gate"};
    // C library functions that compilers know as built-ins.
    static constexpr std::string_view builtins[] = {
        "abort",   "abs",     "labs",    "llabs",   "div",      "exit",    "_exit",      "malloc",    "calloc",
        "realloc", "free",    "alloca",  "memcpy",  "memmove",  "memset",  "memcmp",     "memchr",    "strlen",
        "strcpy",  "strncpy", "strcat",  "strncat", "strcmp",   "strncmp", "strchr",     "strrchr",   "strstr",
        "strdup",  "printf",  "fprintf", "sprintf", "snprintf", "puts",    "putchar",    "fputs",     "fputc",
        "fwrite",  "scanf",   "isdigit", "isalpha", "toupper",  "tolower", "zk_maximum", "zk_minimum"};
    const auto among = [&](const auto& names) {
        for (const std::string_view reserved : names) {
            if (name == reserved) {
                return true;
            }
        }
        return false;
    };
    if (among(keywords_c) || among(more_keywords_c) || among(keywords_cpp) || among(more_keywords_cpp) ||
        among(other) || among(builtins)) {
        return true;
    }
    if (name.starts_with("FLT_") || name.starts_with("DBL_") || name.starts_with("LDBL_") || name.starts_with("FP_") ||
        name.starts_with("M_")) {
        return true;
    }
    for (const std::string_view function : math) {
        if (name.starts_with(function) &&
            (name.size() == function.size() ||
             (name.size() == function.size() + 1 && (name.back() == 'f' || name.back() == 'l')))) {
            return true;
        }
    }
    return false;
}

// A name as a comment may show it: letters, digits, spaces and underscores.
std::string commented(const std::string& text) {
    std::string shown;
    for (const char c : text.substr(0, 60)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        shown += plain ? c : '?';
    }
    return shown;
}

std::uint64_t fnv1a(std::uint64_t hash, std::string_view text) {
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string hex(std::uint64_t value) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string text(16, '0');
    for (std::size_t i = 0; i < 16; ++i) {
        text[15 - i] = digits[(value >> (4 * i)) & 15U];
    }
    return text;
}

// The statements of the generated code, cut into functions of about
// `limit` statements each.
class Parts {
public:
    Parts(std::string prefix, std::size_t limit) : prefix_(std::move(prefix)), limit_(limit) {}

    // Starts a run of statements that an entry point calls in turn.
    void begin() { first_ = bodies_.size(); }
    void add(const std::string& statement, std::size_t weight) {
        if (!open_ || count_ + weight > limit_) {
            close();
            bodies_.emplace_back();
            callees_.emplace_back();
            open_ = true;
            count_ = 0;
        }
        bodies_.back() += "    " + statement + "\n";
        count_ += weight;
    }
    // The calls of the run's functions, as an entry point's statements. A run
    // of more functions than a function's statements is called through
    // functions that call at most that many each (and so on), so that the
    // entry points too stay bounded whatever the graph.
    std::string end() {
        close();
        std::vector<std::size_t> run;
        for (std::size_t k = first_; k < bodies_.size(); ++k) {
            run.push_back(k);
        }
        while (run.size() > limit_) {
            std::vector<std::size_t> callers;
            for (std::size_t i = 0; i < run.size(); i += limit_) {
                callers.push_back(bodies_.size());
                bodies_.emplace_back();
                callees_.emplace_back();
                for (std::size_t j = i; j < std::min(run.size(), i + limit_); ++j) {
                    bodies_.back() += "    " + name(run[j]) + "(w);\n";
                    callees_.back().push_back(run[j]);
                }
            }
            run = std::move(callers);
        }
        std::string calls;
        for (const std::size_t k : run) {
            calls += "        " + name(k) + "(work);\n";
            entry_callees_.push_back(k);
        }
        return calls;
    }

    std::string name(std::size_t k) const { return prefix_ + "_part_" + std::to_string(k); }
    std::size_t size() const noexcept { return bodies_.size(); }
    std::string definition(std::size_t k) const {
        return "void " + name(k) + "(double *restrict w) {\n" + bodies_[k] + "}\n";
    }
    // The functions that function k calls; the entry points'.
    const std::vector<std::size_t>& callees(std::size_t k) const { return callees_[k]; }
    const std::vector<std::size_t>& entry_callees() const noexcept { return entry_callees_; }
    std::string declaration(std::size_t k) const { return "void " + name(k) + "(double *restrict w);\n"; }

private:
    void close() { open_ = false; }

    std::string prefix_;
    std::size_t limit_;
    std::vector<std::string> bodies_;
    std::vector<std::vector<std::size_t>> callees_;
    std::vector<std::size_t> entry_callees_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    bool open_ = false;
};

enum class AdjointState : std::uint8_t { zero, one, stored };

class Generator {
public:
    // `caller`: the function whose parameters the caller gives, in its order
    // (f itself, or the function f is a derivative of).
    Generator(const FunctionProgram& f, const FunctionProgram& caller, std::string name, const GenerateOptions& options,
              std::vector<std::string> more_sources)
        : f_(f),
          caller_(caller),
          more_sources_(std::move(more_sources)),
          name_(std::move(name)),
          upper_(upper(name_)),
          options_(options),
          lanes_(f.program.lanes.size()),
          parts_(name_, std::max<std::size_t>(options.statements_per_function, 1)) {
        classify();
        hold_constants();
        choose_wrt();
    }

    GeneratedCode run() {
        parts_.begin();
        forward();
        const std::string forward_calls = parts_.end();
        std::string reverse_calls;
        if (options_.jacobian || options_.gradient) {
            parts_.begin();
            reverse();
            reverse_calls = parts_.end();
        }
        return files(forward_calls, reverse_calls);
    }

private:
    // `held`: a constant that generated code reads from the work array, where
    // _load copies it from a volatile table, rather than as a literal.
    enum class Kind : std::uint8_t { constant, held, input, parameter, result };

    static std::string upper(const std::string& name) {
        std::string text = name;
        for (char& c : text) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return text;
    }

    void classify() {
        kinds_.assign(lanes_, Kind::constant);
        for (const Instruction& in : f_.program.code) {
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                kinds_[in.out + i] = Kind::result;
            }
        }
        for (const ParameterSlot& parameter : f_.program.parameters) {
            for (std::uint32_t i = 0; i < parameter.dim; ++i) {
                kinds_[parameter.offset + i] = Kind::parameter;
            }
        }
        for (std::size_t k = 0; k < f_.inputs.size(); ++k) {
            for (int i = 0; i < f_.input_dims[k]; ++i) {
                kinds_[offset_of(f_.input_places[k]) + static_cast<std::uint32_t>(i)] = Kind::input;
            }
        }
    }

    // A C compiler evaluates a library call whose operands it knows, or
    // rewrites it (pow(x, -1.0) as 1.0 / x, pow(x, 2.0) as x * x, log(c) as
    // its correctly rounded value), even at -O0, where the interpreter calls
    // the C library, whose results differ in the last bit: so a constant
    // that may reach a call, an operand of anything but the arithmetic of a
    // binary C form or a lane that a Pack or Component copies, is held where
    // the compiler cannot know it. Arithmetic on literals rounds as the
    // interpreter's does, and keeps them.
    void hold_constants() {
        const auto hold = [&](std::uint32_t lane) {
            if (kinds_[lane] == Kind::constant) {
                kinds_[lane] = Kind::held;
            }
        };
        for (const Instruction& in : f_.program.code) {
            with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) {
                if constexpr (R::shape == Shape::Pack) {
                    for (std::uint32_t k = 0; k < in.dim; ++k) {
                        hold(f_.program.pack_inputs[in.a + k]);
                    }
                } else if constexpr (R::shape == Shape::Component) {
                    hold(in.a + in.arg);
                } else if constexpr (R::shape == Shape::Unary) {
                    for (std::uint32_t i = 0; i < in.dim; ++i) {
                        hold(in.a + i);
                    }
                } else if constexpr (!requires { R::c_form; }) {
                    for (std::uint32_t i = 0; i < in.dim; ++i) {
                        hold(lane_a(in, i));
                        hold(lane_b(in, i));
                    }
                }
            });
        }
        for (std::uint32_t lane = 0; lane < lanes_; ++lane) {
            if (kinds_[lane] == Kind::held) {
                held_.push_back(lane);
            }
        }
    }

    void choose_wrt() {
        if (!options_.wrt) {
            for (std::size_t k = 0; k < f_.inputs.size(); ++k) {
                wrt_.push_back(k);
            }
        } else {
            std::vector<bool> seen(f_.inputs.size(), false);
            for (const std::size_t k : *options_.wrt) {
                if (k >= f_.inputs.size() || seen[k]) {
                    throw std::invalid_argument("wrt must name distinct inputs of the function");
                }
                seen[k] = true;
                wrt_.push_back(k);
            }
        }
        for (const std::size_t k : wrt_) {
            columns_ += static_cast<std::size_t>(f_.input_dims[k]);
        }
        // The lanes whose adjoints reach an input differentiated: what the
        // sweeps must compute.
        live_.assign(lanes_, false);
        for (const std::size_t k : wrt_) {
            for (int i = 0; i < f_.input_dims[k]; ++i) {
                live_[offset_of(f_.input_places[k]) + static_cast<std::uint32_t>(i)] = true;
            }
        }
        for (const Instruction& in : f_.program.code) {
            bool reaches = false;
            for_each_operand(f_.program, in, [&](std::uint32_t first, std::uint32_t count, std::uint32_t) {
                for (std::uint32_t i = 0; i < count; ++i) {
                    reaches = reaches || live_[first + i];
                }
            });
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                live_[in.out + i] = reaches;
            }
        }
    }

    std::string value(std::uint32_t lane) const {
        if (kinds_[lane] == Kind::constant) {
            return c_code::literal(f_.program.lanes[lane]);
        }
        return "w[" + std::to_string(lane) + "]";
    }
    std::string adjoint_slot(std::uint32_t lane) const { return "w[" + std::to_string(lanes_ + lane) + "]"; }

    // Runs the caller's check every few thousand instructions.
    void pace() {
        if (options_.check && ++paced_ % 4096 == 0) {
            options_.check();
        }
    }

    // --- the forward pass

    // After the forward pass, whether a result that may not be finite is
    // not: as the interpreter's pass, which notes it and goes on, then
    // raises. The results that keep finite values need no check: with finite
    // operands they are finite, and an operand that is not was a checked
    // result first. A table of ranges of lanes, which costs a compiler
    // nothing beside a test after every operation.
    std::string finite_check() const {
        if (checked_.empty()) {
            return {};
        }
        std::vector<std::size_t> ranges;  // first lane, count, ...
        for (const std::uint32_t lane : checked_) {
            if (!ranges.empty() && ranges[ranges.size() - 2] + ranges.back() == lane) {
                ++ranges.back();
            } else {
                ranges.push_back(lane);
                ranges.push_back(1);
            }
        }
        const std::string& n = name_;
        return "static const size_t " + n + "_checked[] = " + table(ranges) + ";\n\n" + "static int " + n +
               "_check(const double *w) {\n    size_t k, i;\n    for (k = 0; k < " + std::to_string(ranges.size()) +
               "; k += 2) {\n        for (i = 0; i < " + n + "_checked[k + 1]; ++i) {\n" + "            if (!(fabs(w[" +
               n + "_checked[k] + i]) <= DBL_MAX)) {\n                return " + upper_ +
               "_NOT_FINITE;\n            }\n        }\n    }\n    return 0;\n}\n\n";
    }

    void forward() {
        const std::uint32_t* const packs = f_.program.pack_inputs.data();
        for (const Instruction& in : f_.program.code) {
            pace();
            const bool known = with_code(
                in.code, [&]<typename R, typename Scalars>(R, Scalars) { forward_instruction<R>(in, packs); });
            if (!known) {
                throw std::logic_error("a function that fails whatever its inputs cannot be generated");
            }
        }
    }

    template <typename R>
    void forward_instruction(const Instruction& in, const std::uint32_t* packs) {
        const auto write = [&](std::uint32_t out, const std::string& expression) {
            if (expression.empty()) {
                throw std::invalid_argument("operation " + std::string(R::name) + " has no C form");
            }
            // Lanes below where's branches only are not checked: a where that
            // takes one checks it (checks_branches).
            if (!R::keeps_finite && (in.flags & Instruction::guarded) == 0 && !f_.propagate) {
                checked_.push_back(out);
            }
            parts_.add("w[" + std::to_string(out) + "] = " + expression + ";", 1);
        };
        // A guarded lane computed from a lane that is not finite carries the
        // failure on as NaN, so that a where that takes it fails, as the
        // interpreter's carry_failure does.
        const auto carry = [&](std::uint32_t out, const std::vector<std::uint32_t>& operands) {
            if ((in.flags & Instruction::carries) == 0) {
                return;
            }
            std::string test;
            for (const std::uint32_t lane : operands) {
                test += (test.empty() ? "" : " || ") + std::string("!(fabs(") + value(lane) + ") <= DBL_MAX)";
            }
            parts_.add("if (" + test + ") { w[" + std::to_string(out) + "] = NAN; }", 1);
        };
        if constexpr (R::shape == Shape::Binary) {
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                write(in.out + i, c_code::forward_expression<R>(value(lane_a(in, i)), value(lane_b(in, i))));
                carry(in.out + i, {lane_a(in, i), lane_b(in, i)});
            }
        } else if constexpr (R::shape == Shape::Unary) {
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                write(in.out + i, c_code::forward_expression<R>(value(in.a + i)));
                carry(in.out + i, {in.a + i});
            }
        } else if constexpr (R::shape == Shape::Select) {
            // A copy of the lane taken, as the interpreter's bitwise pick.
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                const std::uint32_t c = select_lane(in, packs, 0, i);
                const std::uint32_t out = in.out + i;
                parts_.add("w[" + std::to_string(out) + "] = " + value(c) + " != 0.0 ? " +
                               value(select_lane(in, packs, 1, i)) + " : " + value(select_lane(in, packs, 2, i)) + ";",
                           1);
                carry(out, {c});
                if ((in.flags & Instruction::checks_branches) != 0 && !f_.propagate) {
                    checked_.push_back(out);
                }
            }
        } else if constexpr (R::shape == Shape::Pack) {
            for (std::uint32_t k = 0; k < in.dim; ++k) {
                parts_.add("w[" + std::to_string(in.out + k) + "] = " + value(packs[in.a + k]) + ";", 1);
            }
        } else {
            // A shape added to the list needs its C here (and in reverse_instruction).
            static_assert(R::shape == Shape::Component);
            parts_.add("w[" + std::to_string(in.out) + "] = " + value(in.a + in.arg) + ";", 1);
        }
    }

    static std::uint32_t lane_a(const Instruction& in, std::uint32_t i) {
        return in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
    }
    static std::uint32_t lane_b(const Instruction& in, std::uint32_t i) {
        return in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
    }

    // --- the reverse sweeps

    std::string adjoint(std::uint32_t lane) const {
        switch (states_[lane]) {
            case AdjointState::zero: return "0.0";
            case AdjointState::one: return "1.0";
            case AdjointState::stored: break;
        }
        return adjoint_slot(lane);
    }
    void set_state(std::uint32_t lane, AdjointState state) {
        if (states_[lane] == AdjointState::zero && state != AdjointState::zero) {
            touched_.push_back(lane);
        }
        states_[lane] = state;
    }
    // adjoint += contribution, as the interpreter adds it into its slot.
    std::string accumulate(std::uint32_t lane, const std::string& contribution) {
        std::string statement = adjoint_slot(lane) + " = " + adjoint(lane) + " + " + contribution + "; ";
        set_state(lane, AdjointState::stored);
        return statement;
    }

    void reverse() {
        states_.assign(lanes_, AdjointState::zero);
        CallScratch scratch;
        std::size_t row = 0;
        for (std::size_t j = 0; j < f_.outputs.size(); ++j) {
            const std::vector<std::uint32_t> order = [&] {
                const std::span<const std::uint32_t> found = sweep_of(f_, j, scratch);
                return std::vector<std::uint32_t>(found.begin(), found.end());
            }();
            const std::uint32_t output = offset_of(f_.output_places[j]);
            for (int l = 0; l < f_.output_dims[j]; ++l, ++row) {
                set_state(output + static_cast<std::uint32_t>(l), AdjointState::one);
                for (auto index = order.rbegin(); index != order.rend(); ++index) {
                    pace();
                    const Instruction& in = f_.program.code[*index];
                    with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) { reverse_instruction<R>(in); });
                }
                take(row);
                for (const std::uint32_t lane : touched_) {
                    states_[lane] = AdjointState::zero;
                }
                touched_.clear();
            }
        }
    }

    template <typename R>
    void reverse_instruction(const Instruction& in) {
        if constexpr (R::shape == Shape::Binary) {
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                const std::uint32_t a = lane_a(in, i);
                const std::uint32_t b = lane_b(in, i);
                const Wanted wanted{!R::flat_a && live_[a], !R::flat_b && live_[b]};
                if (!wanted.a && !wanted.b) {
                    continue;
                }
                c_code::Block block;
                const Partials<c_code::Lane> d = R::derivative(
                    c_code::Lane(value(a), &block), c_code::Lane(value(b), &block),
                    c_code::Lane(value(in.out + i), &block), c_code::Lane(adjoint(in.out + i), &block), wanted);
                std::vector<std::size_t> used;
                if (wanted.a) {
                    used.push_back(d.a.temp());
                }
                if (wanted.b) {
                    used.push_back(d.b.temp());
                }
                std::string statement = "{ " + block.text(used);
                if (wanted.a) {
                    statement += accumulate(a, d.a.text());
                }
                if (wanted.b) {
                    statement += accumulate(b, d.b.text());
                }
                parts_.add(statement + "}", block.statements() + 2);
            }
        } else if constexpr (R::shape == Shape::Unary) {
            if constexpr (!R::flat) {
                for (std::uint32_t i = 0; i < in.dim; ++i) {
                    if (!live_[in.a + i]) {
                        continue;
                    }
                    c_code::Block block;
                    const c_code::Lane d =
                        R::derivative(c_code::Lane(value(in.a + i), &block), c_code::Lane(value(in.out + i), &block),
                                      c_code::Lane(adjoint(in.out + i), &block));
                    const std::string statements = block.text({d.temp()});
                    parts_.add("{ " + statements + accumulate(in.a + i, d.text()) + "}", block.statements() + 1);
                }
            }
        } else if constexpr (R::shape == Shape::Select) {
            // g to the branch taken, an exact zero to the other (R::backward).
            const std::uint32_t* const packs = f_.program.pack_inputs.data();
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                const std::string c = value(select_lane(in, packs, 0, i));
                const std::string g = adjoint(in.out + i);
                const std::uint32_t a = select_lane(in, packs, 1, i);
                const std::uint32_t b = select_lane(in, packs, 2, i);
                std::string statement;
                if (live_[a]) {
                    statement += accumulate(a, "zk_gate(" + c + ", " + g + ")");
                }
                if (live_[b]) {
                    statement += accumulate(b, "zk_gate(" + c + " == 0.0 ? 1.0 : 0.0, " + g + ")");
                }
                if (!statement.empty()) {
                    parts_.add("{ " + statement + "}", 2);
                }
            }
        } else if constexpr (R::shape == Shape::Pack) {
            for (std::uint32_t k = 0; k < in.dim; ++k) {
                const std::uint32_t slot = f_.program.pack_inputs[in.a + k];
                if (live_[slot]) {
                    parts_.add(accumulate(slot, adjoint(in.out + k)), 1);
                }
            }
        } else {
            static_assert(R::shape == Shape::Component);
            const std::uint32_t slot = in.a + in.arg;
            if (live_[slot]) {
                parts_.add(accumulate(slot, adjoint(in.out)), 1);
            }
        }
    }

    // Moves the differentiated inputs' adjoints into the Jacobian's row, as
    // gradients start from zeros: 0.0 + the adjoint.
    void take(std::size_t row) {
        std::size_t column = 0;
        for (const std::size_t k : wrt_) {
            const std::uint32_t offset = offset_of(f_.input_places[k]);
            for (int i = 0; i < f_.input_dims[k]; ++i, ++column) {
                const std::uint32_t lane = offset + static_cast<std::uint32_t>(i);
                const std::string target = "w[" + std::to_string(2 * lanes_ + row * columns_ + column) + "]";
                const std::string taken =
                    states_[lane] == AdjointState::stored ? "0.0 + " + adjoint_slot(lane) : "0.0 + " + adjoint(lane);
                parts_.add(target + " = " + taken + ";", 1);
            }
        }
    }

    // --- the files

    std::size_t work_size() const {
        return options_.jacobian || options_.gradient ? 2 * lanes_ + f_.output_lanes * columns_ : lanes_;
    }

    template <typename Number>
    static std::string table(const std::vector<Number>& numbers) {
        std::string text = "{";
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            text += (i == 0 ? "" : ", ") + std::to_string(numbers[i]);
            if (i % 16 == 15) {
                text += "\n   ";
            }
        }
        return text + (numbers.empty() ? "0}" : "}");
    }

    // The entry points: loading a row, the runs of parts, storing results.
    std::string entries(const std::string& forward_calls, const std::string& reverse_calls) const {
        const std::string& n = name_;
        const std::string& u = upper_;
        std::vector<std::size_t> input_offsets;
        std::vector<int> input_dims;
        for (std::size_t k = 0; k < f_.inputs.size(); ++k) {
            input_offsets.push_back(offset_of(f_.input_places[k]));
            input_dims.push_back(f_.input_dims[k]);
        }
        // For each parameter lane the program reads: where it lies in the
        // caller's array (the parameters of the function the caller holds,
        // in their order) and in the work array.
        std::unordered_map<const ValueNode*, std::size_t> caller_lanes;  // each parameter's first lane there
        std::size_t next = 0;
        for (const ValueNode* parameter : caller_.parameters) {
            caller_lanes.emplace(parameter, next);
            next += static_cast<std::size_t>(parameter->dimension);
        }
        std::vector<std::size_t> parameter_lanes;  // caller's lane, work lane, ...
        for (const ParameterSlot& parameter : f_.program.parameters) {
            const auto found = caller_lanes.find(parameter.node);
            if (found == caller_lanes.end()) {
                throw std::logic_error("a derivative's parameter is not one of its function's");
            }
            for (std::uint32_t i = 0; i < parameter.dim; ++i) {
                parameter_lanes.push_back(found->second + i);
                parameter_lanes.push_back(parameter.offset + i);
            }
        }
        std::vector<std::size_t> output_lanes;
        std::vector<int> output_dims;
        std::string constants;
        for (std::size_t j = 0; j < f_.outputs.size(); ++j) {
            output_dims.push_back(f_.output_dims[j]);
            for (int i = 0; i < f_.output_dims[j]; ++i) {
                const std::uint32_t lane = offset_of(f_.output_places[j]) + static_cast<std::uint32_t>(i);
                output_lanes.push_back(lane);
                if (kinds_[lane] == Kind::constant) {
                    constants += "    w[" + std::to_string(lane) + "] = " + value(lane) + ";\n";
                }
            }
        }
        std::string text;
        if (!input_dims.empty()) {
            text += "static const size_t " + n + "_input_offsets[] = " + table(input_offsets) + ";\n";
            text += "static const unsigned char " + n + "_input_dims[] = " + table(input_dims) + ";\n";
        }
        if (!parameter_lanes.empty()) {
            text += "static const size_t " + n + "_parameter_lanes[] = " + table(parameter_lanes) + ";\n";
        }
        if (!held_.empty()) {
            std::string held = "{";
            for (std::size_t i = 0; i < held_.size(); ++i) {
                held += (i == 0 ? "" : ", ") + c_code::literal(f_.program.lanes[held_[i]]);
                if (i % 8 == 7) {
                    held += "\n   ";
                }
            }
            text += "static const size_t " + n + "_held_lanes[] = " + table(held_) + ";\n";
            text += "/* Volatile: a compiler that knew these would compute the calls they reach itself. */\n";
            text += "static const volatile double " + n + "_held[] = " + held + "};\n";
        }
        text += "static const size_t " + n + "_output_lanes[] = " + table(output_lanes) + ";\n";
        text += "static const unsigned char " + n + "_output_dims[] = " + table(output_dims) + ";\n\n";
        text += "size_t " + n + "_work_size(void) { return " + u + "_WORK_SIZE; }\n\n";
        // Loading checks every lane given, as a call checks its inputs and set_value a parameter's value.
        text += "static int " + n +
                "_load(const double *const *inputs, size_t row, const size_t *input_strides, const double *params,\n"
                "    double *restrict w) {\n";
        if (input_dims.empty()) {
            text += "    (void)inputs;\n    (void)row;\n    (void)input_strides;\n";
        } else {
            text += "    size_t k;\n    unsigned i;\n    for (k = 0; k < " + u + "_INPUT_COUNT; ++k) {\n" +
                    "        const double *x = inputs[k] + row * (input_strides != NULL ? input_strides[k] : " + n +
                    "_input_dims[k]);\n        for (i = 0; i < " + n + "_input_dims[k]; ++i) {\n            w[" + n +
                    "_input_offsets[k] + i] = x[i];\n            if (!isfinite(x[i])) {\n                return " + u +
                    "_NOT_FINITE;\n            }\n        }\n    }\n";
        }
        if (parameter_lanes.empty()) {
            text += "    (void)params;\n";
        } else {
            text += "    {\n        size_t m;\n        for (m = 0; m < " + std::to_string(parameter_lanes.size()) +
                    "; m += 2) {\n" + "            w[" + n + "_parameter_lanes[m + 1]] = params[" + n +
                    "_parameter_lanes[m]];\n" + "            if (!isfinite(params[" + n +
                    "_parameter_lanes[m]])) {\n                return " + u +
                    "_NOT_FINITE;\n            }\n        }\n    }\n";
        }
        if (!held_.empty()) {
            text += "    {\n        size_t c;\n        for (c = 0; c < " + std::to_string(held_.size()) +
                    "; ++c) {\n            w[" + n + "_held_lanes[c]] = " + n + "_held[c];\n        }\n    }\n";
        }
        text += constants + "    return 0;\n}\n\n";
        text += finite_check();
        text += "static void " + n +
                "_store(double *const *outputs, size_t row, const size_t *output_strides, const double *w) {\n"
                "    size_t j, lane = 0;\n"
                "    unsigned i;\n"
                "    for (j = 0; j < " +
                u + "_OUTPUT_COUNT; ++j) {\n" +
                "        double *y = outputs[j] + row * (output_strides != NULL ? output_strides[j] : " + n +
                "_output_dims[j]);\n"
                "        for (i = 0; i < " +
                n + "_output_dims[j]; ++i, ++lane) {\n" + "            y[i] = w[" + n +
                "_output_lanes[lane]];\n        }\n    }\n}\n\n";
        const std::string load = "        rc = " + n +
                                 "_load(inputs, r, input_strides, params, work);\n"
                                 "        if (rc != 0) {\n            break;\n        }\n";
        const std::string checked = checked_.empty() ? std::string()
                                                     : "        rc = " + n +
                                                           "_check(work);\n"
                                                           "        if (rc != 0) {\n            break;\n        }\n";
        const std::string fail =
            "    if (rc != 0 && failed_row != NULL) {\n        *failed_row = r;\n    }\n"
            "    return rc;\n}\n\n";
        const std::string rows_head =
            "(size_t rows, const double *const *inputs, const size_t *input_strides, "
            "const double *params";
        text += "int " + n + "_rows" + rows_head +
                ",\n    double *const *outputs, const size_t *output_strides, double *work, size_t *failed_row) {\n"
                "    size_t r;\n    int rc = 0;\n    for (r = 0; r < rows; ++r) {\n" +
                load + forward_calls + checked + "        " + n + "_store(outputs, r, output_strides, work);\n    }\n" +
                fail;
        text += "int " + n +
                "(const double *const *inputs, const double *params, double *const *outputs, double *work) {\n"
                "    return " +
                n + "_rows(1, inputs, NULL, params, outputs, NULL, work, NULL);\n}\n\n";
        const std::string jacobian_size = std::to_string(f_.output_lanes * columns_);
        const std::string jacobian_at = std::to_string(2 * lanes_);
        // The Jacobian's copy out of the work array (a loop that would never run is left out, with its index).
        const auto copy = [&](const std::string& target) {
            if (f_.output_lanes * columns_ == 0) {
                return "        (void)" + target + ";\n";
            }
            return "        {\n            size_t i;\n            for (i = 0; i < " + jacobian_size +
                   "; ++i) {\n                " + target + "[r * " + jacobian_size + " + i] = work[" + jacobian_at +
                   " + i];\n            }\n        }\n";
        };
        if (options_.jacobian) {
            text += "int " + n + "_jacobian_rows" + rows_head +
                    ",\n    double *const *outputs, const size_t *output_strides, double *jacobians, double *work,\n"
                    "    size_t *failed_row) {\n"
                    "    size_t r;\n    int rc = 0;\n    for (r = 0; r < rows; ++r) {\n" +
                    load + forward_calls + checked + reverse_calls + "        if (outputs != NULL) {\n            " +
                    n + "_store(outputs, r, output_strides, work);\n        }\n" + copy("jacobians") + "    }\n" + fail;
            text += "int " + n +
                    "_jacobian(const double *const *inputs, const double *params, double *const *outputs,\n"
                    "    double *jacobian, double *work) {\n    return " +
                    n + "_jacobian_rows(1, inputs, NULL, params, outputs, NULL, jacobian, work, NULL);\n}\n\n";
        }
        if (options_.gradient) {
            const std::string value_lane = std::to_string(output_lanes.front());
            text += "int " + n + "_gradient_rows" + rows_head +
                    ",\n    double *values, double *gradients, double *work, size_t *failed_row) {\n"
                    "    size_t r;\n    int rc = 0;\n    for (r = 0; r < rows; ++r) {\n" +
                    load + forward_calls + checked + reverse_calls + "        values[r] = work[" + value_lane + "];\n" +
                    copy("gradients") + "    }\n" + fail;
            text += "int " + n +
                    "_gradient(const double *const *inputs, const double *params, double *value, double *gradient,\n"
                    "    double *work) {\n    return " +
                    n + "_gradient_rows(1, inputs, NULL, params, value, gradient, work, NULL);\n}\n\n";
        }
        return text;
    }

    std::string header(const std::string& banner, const std::vector<std::string>& sources) const {
        const std::string& n = name_;
        const std::string& u = upper_;
        std::string text = banner;
        text +=
            "/* Compile every source below as C99 or later, with floating-point contraction and fast-math off\n"
            "   (GCC and Clang: -ffp-contract=off, and no -ffast-math, -Ofast or -ffinite-math-only), and link\n"
            "   libm (-lm): the entry points then compute exactly what the function's calls compute, bit for bit.\n"
            "   Nothing is allocated and nothing is kept between calls: the caller gives a work array of\n"
            "   " +
            u +
            "_WORK_SIZE doubles, one per thread at a time. Inputs are given as one pointer per input to its\n"
            "   lanes, the parameters that are not inputs as one array of their lanes, in order; outputs likewise.\n"
            "   An entry point returns " +
            u + "_OK, or " + u +
            "_NOT_FINITE where a call of the function raises (an input or a\n"
            "   parameter lane or a value that is not finite); the _rows forms then say which row in *failed_row\n"
            "   (when not NULL), the rows before it written. A row r of input k is at inputs[k] + r *\n"
            "   input_strides[k] (a stride of 0: the same lanes for every row; input_strides NULL: rows packed), and\n"
            "   likewise for the outputs. */\n";
        text += "#ifndef " + u + "_H_INCLUDED\n#define " + u + "_H_INCLUDED\n\n#include <stddef.h>\n\n";
        text += "#ifdef __cplusplus\nextern \"C\" {\n#endif\n\n";
        text += "#define " + u + "_ZARNIK_VERSION \"" + std::string(zarnik::version) + "\"\n";
        text += "#define " + u + "_PROGRAM_HASH \"" + hash_ + "\"\n";
        std::string listed;
        for (const std::string& source : sources) {
            listed += (listed.empty() ? "\"" : ", \"") + source + "\"";
        }
        for (const std::string& source : more_sources_) {
            listed += ", \"" + source + "\"";
        }
        text += "/* The sources to compile, each on its own. */\n";
        text += "#define " + u + "_SOURCES " + listed + "\n";
        text += "#define " + u + "_SOURCE_COUNT " + std::to_string(sources.size() + more_sources_.size()) + "\n";
        text += "#define " + u + "_INPUT_COUNT " + std::to_string(f_.inputs.size()) + "\n";
        text += "#define " + u + "_INPUT_LANES " + std::to_string(f_.input_lanes) + "\n";
        text += "#define " + u + "_PARAMETER_LANES " + std::to_string(caller_.parameter_lanes) + "\n";
        text += "#define " + u + "_OUTPUT_COUNT " + std::to_string(f_.outputs.size()) + "\n";
        text += "#define " + u + "_OUTPUT_LANES " + std::to_string(f_.output_lanes) + "\n";
        text += "/* The Jacobian's columns: the lanes of the inputs differentiated. */\n";
        text += "#define " + u + "_WRT_LANES " + std::to_string(columns_) + "\n";
        text += "#define " + u + "_WORK_SIZE " + std::to_string(work_size()) + "\n";
        text += "#define " + u + "_OK 0\n#define " + u + "_NOT_FINITE 1\n\n";
        text += "/* Inputs:";
        for (std::size_t k = 0; k < f_.inputs.size(); ++k) {
            text += " " + std::to_string(k) + ": " + commented(f_.inputs[k].name()) + " (" +
                    std::to_string(f_.input_dims[k]) + ")" + (k + 1 < f_.inputs.size() ? "," : "");
        }
        text += ". Parameters:";
        for (std::size_t m = 0; m < caller_.parameters.size(); ++m) {
            text += " " + commented(caller_.parameter_handles[m].name()) + " (" +
                    std::to_string(caller_.parameters[m]->dimension) + ")" +
                    (m + 1 < caller_.parameters.size() ? "," : "");
        }
        text += ". Differentiated:";
        for (const std::size_t k : wrt_) {
            text += " " + std::to_string(k);
        }
        text += ". */\n\n";
        text += "size_t " + n + "_work_size(void);\n\n";
        text += "/* The outputs' lanes. */\n";
        text +=
            "int " + n + "(const double *const *inputs, const double *params, double *const *outputs, double *work);\n";
        const std::string rows_head =
            "(size_t rows, const double *const *inputs, const size_t *input_strides, "
            "const double *params";
        text += "int " + n + "_rows" + rows_head +
                ",\n    double *const *outputs, const size_t *output_strides, double *work, size_t *failed_row);\n";
        if (options_.jacobian) {
            text += "/* The Jacobian, output lanes (rows) by " + u +
                    "_WRT_LANES columns, row after row; the outputs too\n"
                    "   when outputs is not NULL. The _rows form writes row r's Jacobian at jacobians + r * " +
                    u + "_OUTPUT_LANES *\n   " + u + "_WRT_LANES. */\n";
            text += "int " + n +
                    "_jacobian(const double *const *inputs, const double *params, double *const *outputs,\n"
                    "    double *jacobian, double *work);\n";
            text += "int " + n + "_jacobian_rows" + rows_head +
                    ",\n    double *const *outputs, const size_t *output_strides, double *jacobians, double *work,\n"
                    "    size_t *failed_row);\n";
        }
        if (options_.gradient) {
            text += "/* A scalar output's value and its gradient (" + u +
                    "_WRT_LANES lanes); the _rows form writes row r's\n   at values[r] and gradients + r * " + u +
                    "_WRT_LANES. */\n";
            text += "int " + n +
                    "_gradient(const double *const *inputs, const double *params, double *value, double *gradient,\n"
                    "    double *work);\n";
            text += "int " + n + "_gradient_rows" + rows_head +
                    ",\n    double *values, double *gradients, double *work, size_t *failed_row);\n";
        }
        text += "\n#ifdef __cplusplus\n}\n#endif\n\n#endif\n";
        return text;
    }

    std::string parts_header(const std::string& banner) const {
        std::string text = banner;
        text += "#ifndef " + upper_ + "_PARTS_H_INCLUDED\n#define " + upper_ + "_PARTS_H_INCLUDED\n\n";
        text += "#include <float.h>\n#include <math.h>\n#include <stddef.h>\n\n#include \"" + name_ + ".h\"\n\n";
        text +=
            "/* Every operation must round as the interpreter's does: no contraction into fused multiply-adds, no\n"
            "   fast-math, no excess precision. */\n"
            "#if defined(__FAST_MATH__)\n#error \"compile without -ffast-math (and -Ofast)\"\n#endif\n"
            "#if defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__\n"
            "#error \"compile without -ffinite-math-only\"\n#endif\n"
            "#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0\n"
            "#error \"double arithmetic must round to double (FLT_EVAL_METHOD 0, e.g. SSE2 rather than x87)\"\n"
            "#endif\n"
            "#if defined(__clang__) || !defined(__GNUC__)\n#pragma STDC FP_CONTRACT OFF\n"
            "#else\n#pragma GCC optimize(\"fp-contract=off\")\n#endif\n\n";
        text += std::string(c_code::helpers_text) + "\n#endif\n";
        return text;
    }

    // NAME.c holds the entry points, NAME_1.c, NAME_2.c, ... the parts: a part
    // never shares a file with its callers, where a compiler would inline
    // them all into one function of the whole graph.
    GeneratedCode files(const std::string& forward_calls, const std::string& reverse_calls) {
        const std::string entry_text = entries(forward_calls, reverse_calls);
        const std::size_t per_file = std::max<std::size_t>(options_.functions_per_file, 1);
        const std::size_t part_files = (parts_.size() + per_file - 1) / per_file;
        // Each file declares the functions it defines and calls, and no
        // others: a header declaring every part, which every file includes,
        // would make the compilers' work grow as the square of the graph.
        const auto declarations = [&](const std::vector<std::size_t>& functions) {
            std::vector<std::size_t> sorted = functions;
            std::sort(sorted.begin(), sorted.end());
            sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
            std::string text;
            for (const std::size_t k : sorted) {
                text += parts_.declaration(k);
            }
            return text + "\n";
        };
        std::vector<std::string> bodies(1 + part_files);
        bodies[0] = declarations(parts_.entry_callees()) + entry_text;
        for (std::size_t file = 0; file < part_files; ++file) {
            std::vector<std::size_t> declared;
            std::string definitions;
            for (std::size_t k = file * per_file; k < std::min(parts_.size(), (file + 1) * per_file); ++k) {
                declared.push_back(k);
                declared.insert(declared.end(), parts_.callees(k).begin(), parts_.callees(k).end());
                definitions += parts_.definition(k) + "\n";
            }
            bodies[1 + file] = declarations(declared) + definitions;
        }
        std::uint64_t hash = 0xcbf29ce484222325ULL;
        for (const std::string& body : bodies) {
            hash = fnv1a(hash, body);
        }
        hash_ = hex(hash);
        const std::string banner = "/* Generated by zarnik " + std::string(zarnik::version) +
                                   " from a compiled function (program " + hash_ + "); do not edit. */\n\n";
        std::vector<std::string> names;
        for (std::size_t file = 0; file < bodies.size(); ++file) {
            names.push_back(name_ + (file == 0 ? "" : "_" + std::to_string(file)) + ".c");
        }
        GeneratedCode code;
        code.header = {name_ + ".h", header(banner, names)};
        code.headers.push_back({name_ + "_parts.h", parts_header(banner)});
        for (std::size_t file = 0; file < bodies.size(); ++file) {
            code.sources.push_back({names[file], banner + "#include \"" + name_ + "_parts.h\"\n\n" + bodies[file]});
        }
        return code;
    }

    const FunctionProgram& f_;
    const FunctionProgram& caller_;
    std::vector<std::string> more_sources_;  // a derivative's sources, which this header lists too
    std::string name_;
    std::string upper_;
    GenerateOptions options_;
    std::size_t lanes_;
    Parts parts_;
    std::vector<Kind> kinds_;
    std::vector<std::uint32_t> held_;  // the held constants' lanes, in order
    std::vector<std::size_t> wrt_;
    std::size_t columns_ = 0;
    std::vector<bool> live_;
    std::vector<std::uint32_t> checked_;  // the results that may not be finite, in order
    std::vector<AdjointState> states_;
    std::vector<std::uint32_t> touched_;
    std::string hash_;
    std::size_t paced_ = 0;
};

}  // namespace

}  // namespace detail

GeneratedCode generate_code(const Function& function, std::string_view name, const GenerateOptions& options) {
    const detail::FunctionProgram& f = detail::FunctionAccess::program(function);
    if (!detail::is_identifier(name)) {
        throw std::invalid_argument("the name of generated code must be a C identifier of at most 64 characters");
    }
    if (detail::is_reserved(name)) {
        throw std::invalid_argument("the name of generated code must not be reserved in C: " + std::string(name) +
                                    " is a keyword or a name of the C library or of the code's helpers");
    }
    if (!f.regular || f.can_fail) {
        throw std::invalid_argument("only a function that can be evaluated can be generated as C");
    }
    if (options.gradient && f.output_lanes != 1) {
        throw std::invalid_argument("a gradient needs a function of one scalar output");
    }
    GenerateOptions values_only;
    values_only.jacobian = false;
    values_only.statements_per_function = options.statements_per_function;
    values_only.functions_per_file = options.functions_per_file;
    values_only.check = options.check;
    // The derivatives that are functions of their own, made as the
    // function's jvp and hvp make theirs (derivatives.hpp), so that their
    // code gives those calls' bits.
    std::vector<std::pair<std::string, Function>> derived;
    const std::vector<Value>& leaves = function.inputs();
    const auto directions = [&] {
        std::vector<Value> all = leaves;
        for (const Value& leaf : leaves) {
            all.push_back(undefined(leaf.dimension(), "direction"));
        }
        return all;
    };
    if (options.jvp) {
        const std::vector<Value> inputs = directions();
        const std::vector<Value> tangents(inputs.begin() + static_cast<std::ptrdiff_t>(leaves.size()), inputs.end());
        std::vector<Value> outputs = function.outputs();
        const std::vector<Value> derivatives = directional_derivatives(function.outputs(), leaves, tangents);
        outputs.insert(outputs.end(), derivatives.begin(), derivatives.end());
        derived.emplace_back(std::string(name) + "_jvp", Function(inputs, outputs));
    }
    if (options.hvp) {
        if (f.output_lanes != 1 || f.input_lanes == 0) {
            throw std::invalid_argument("a Hessian-vector product needs a function of one scalar output and inputs");
        }
        const std::vector<Value> inputs = directions();
        const std::vector<Value> vector(inputs.begin() + static_cast<std::ptrdiff_t>(leaves.size()), inputs.end());
        const std::vector<Value> gradients = gradient(function.outputs().front(), leaves);
        derived.emplace_back(std::string(name) + "_hvp",
                             Function(inputs, directional_derivatives(gradients, leaves, vector)));
    }
    std::vector<GeneratedCode> parts;
    std::vector<std::string> more_sources;
    for (const auto& [derived_name, derived_function] : derived) {
        const detail::FunctionProgram& program = detail::FunctionAccess::program(derived_function);
        if (!program.regular || program.can_fail) {
            throw std::invalid_argument("the derivatives of this function cannot be generated as C");
        }
        parts.push_back(detail::Generator(program, f, derived_name, values_only, {}).run());
        for (const GeneratedFile& source : parts.back().sources) {
            more_sources.push_back(source.name);
        }
    }
    GeneratedCode code = detail::Generator(f, f, std::string(name), options, more_sources).run();
    for (GeneratedCode& part : parts) {
        // The caller includes one header, which includes the derivatives'.
        const std::string include = "#include \"" + part.header.name + "\"\n";
        const std::size_t end = code.header.text.rfind("#endif");
        code.header.text.insert(end, include + "\n");
        code.headers.push_back(std::move(part.header));
        for (GeneratedFile& file : part.headers) {
            code.headers.push_back(std::move(file));
        }
        for (GeneratedFile& file : part.sources) {
            code.sources.push_back(std::move(file));
        }
    }
    return code;
}

GeneratedPaths generate(const Function& function, const std::filesystem::path& directory, std::string_view name,
                        const GenerateOptions& options) {
    const GeneratedCode code = generate_code(function, name, options);
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        throw std::runtime_error("cannot make the folder " + directory.string() + ": " + error.message());
    }
    std::vector<const GeneratedFile*> files{&code.header};
    for (const GeneratedFile& header : code.headers) {
        files.push_back(&header);
    }
    for (const GeneratedFile& source : code.sources) {
        files.push_back(&source);
    }
    // The files replace the old ones together or not at all: a set of files
    // of two generations does not compile, or worse, computes something else.
    // Every path is checked, then every file written beside its place under a
    // name of its own (other generations may write the same folder), and
    // only then are they renamed into place.
    // A link stays and the file it names is replaced, and a file its user may
    // not write is refused, as writing through the link would do (as
    // zarnik::save does); a replaced file keeps its permission bits.
    std::vector<std::filesystem::path> targets;
    std::vector<std::optional<std::filesystem::perms>> kept;
    for (const GeneratedFile* file : files) {
        const std::filesystem::path path = directory / file->name;
        // (A path that names nothing sets `error`: not a failure here.)
        const bool link = std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
        const std::filesystem::path target = link ? std::filesystem::weakly_canonical(path, error) : path;
        if (link && error) {
            throw std::runtime_error("cannot write " + path.string() + ": " + error.message());
        }
        const std::filesystem::file_status status = std::filesystem::status(target, error);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            throw std::runtime_error("cannot write " + path.string() + ": it is not a regular file");
        }
        if (std::filesystem::exists(status) && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
            throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
        }
        targets.push_back(target);
        kept.push_back(std::filesystem::exists(status) ? std::optional(status.permissions()) : std::nullopt);
    }
    const std::string suffix = [] {
        std::random_device device;
        return ".tmp-" + detail::hex((static_cast<std::uint64_t>(device()) << 32U) ^ device());
    }();
    std::vector<std::filesystem::path> written;
    const auto discard = [&] {
        for (const std::filesystem::path& path : written) {
            std::filesystem::remove(path, error);
        }
    };
    for (std::size_t k = 0; k < files.size(); ++k) {
        const std::filesystem::path path = targets[k].parent_path() / ("." + targets[k].filename().string() + suffix);
        written.push_back(path);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << files[k]->text;
        out.close();
        std::error_code kept_error;
        if (kept[k]) {
            std::filesystem::permissions(path, *kept[k], kept_error);
        }
        if (!out || kept_error) {
            discard();
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    GeneratedPaths paths;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const std::filesystem::path path = directory / files[k]->name;
        error.clear();
        std::filesystem::rename(written[k], targets[k], error);
        if (error) {
            const std::string message = error.message();
            written.erase(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(k));
            discard();
            throw std::runtime_error("cannot write " + path.string() + ": " + message);
        }
        if (k == 0) {
            paths.header = path;
        } else if (k > code.headers.size()) {
            paths.sources.push_back(path);
        }
    }
    return paths;
}

std::vector<std::pair<std::string, std::string>> c_operation_forms() {
    std::vector<std::pair<std::string, std::string>> forms;
    detail::Operations::any([&]<typename R>(R) {
        std::string form;
        if constexpr (R::shape == detail::Shape::Unary) {
            form = detail::c_code::forward_expression<R>("a");
        } else if constexpr (R::shape == detail::Shape::Binary) {
            form = detail::c_code::forward_expression<R>("a", "b");
        } else if constexpr (R::shape == detail::Shape::Select) {
            form = "(c != 0.0 ? a : b)";
        } else {
            form = "copies of lanes";  // Pack and Component move lanes as they are
        }
        forms.emplace_back(std::string(R::name), std::move(form));
        return false;
    });
    return forms;
}

}  // namespace zarnik::symbolic
