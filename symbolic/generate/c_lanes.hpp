#pragma once

// A lane type whose arithmetic writes C: the rules of operations.hpp, run
// over it, write their forward and derivative arithmetic as C statements,
// one operation each, in the order the rules compute them. So generated code
// takes every operation from the one list, and rounds as the rules do.

#include <array>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic::detail::c_code {

// A double as an exact C99 literal: hexadecimal, a negative one in
// parentheses so that it can follow any operator.
inline std::string literal(double x) {
    std::array<char, 64> digits{};
    const double magnitude = x < 0.0 || (x == 0.0 && std::signbit(x)) ? -x : x;
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), magnitude, std::chars_format::hex).ptr;
    std::string text = "0x" + std::string(digits.data(), end);
    return magnitude == x && !std::signbit(x) ? text : "(-" + text + ")";
}

// The statements one rule writes, each binding one operation's result to a
// temporary of its own. A rule may compute a term that only a contribution
// it was not asked for uses (min's share of the other operand): such
// temporaries are left out, which changes no result.
class Block {
public:
    // The temporary bound to `expression`, which reads the temporaries `operands`.
    std::size_t bind(std::string expression, std::array<std::size_t, 2> operands) {
        statements_.push_back({std::move(expression), operands});
        return statements_.size() - 1;
    }
    static std::string name(std::size_t temp) { return "t" + std::to_string(temp); }
    // The statements that the results `used` (temporaries) need, in order.
    std::string text(const std::vector<std::size_t>& used) const {
        std::vector<bool> needed(statements_.size(), false);
        for (const std::size_t temp : used) {
            if (temp < needed.size()) {
                needed[temp] = true;
            }
        }
        for (std::size_t k = statements_.size(); k-- > 0;) {
            if (needed[k]) {
                for (const std::size_t operand : statements_[k].operands) {
                    if (operand < needed.size()) {
                        needed[operand] = true;
                    }
                }
            }
        }
        std::string text;
        for (std::size_t k = 0; k < statements_.size(); ++k) {
            if (needed[k]) {
                text += "const double " + name(k) + " = " + statements_[k].expression + "; ";
                ++count_;
            }
        }
        return text;
    }
    // The statements written by text().
    std::size_t statements() const noexcept { return count_; }

private:
    struct Statement {
        std::string expression;
        std::array<std::size_t, 2> operands;
    };
    std::vector<Statement> statements_;
    mutable std::size_t count_ = 0;
};

inline constexpr std::size_t no_temp = static_cast<std::size_t>(-1);

// The C functions that the `lane` functions are: the C library's where it
// has them, else a helper of the generated code (helpers_text()).
class Lane {
public:
    Lane() : text_("0.0") {}
    Lane(double x) : text_(literal(x)) {}  // NOLINT(google-explicit-constructor): as the lane types convert numbers
    Lane(std::string text, Block* block) : text_(std::move(text)), block_(block) {}

    const std::string& text() const noexcept { return text_; }
    // The temporary that holds it, or no_temp.
    std::size_t temp() const noexcept { return temp_; }

    friend Lane operator+(const Lane& a, const Lane& b) { return a.made(a.text_ + " + " + b.text_, b); }
    friend Lane operator-(const Lane& a, const Lane& b) { return a.made(a.text_ + " - " + b.text_, b); }
    friend Lane operator*(const Lane& a, const Lane& b) { return a.made(a.text_ + " * " + b.text_, b); }
    friend Lane operator/(const Lane& a, const Lane& b) { return a.made(a.text_ + " / " + b.text_, b); }
    friend Lane operator-(const Lane& a) { return a.made("-" + a.text_, a); }
    friend Lane sin(const Lane& x) { return x.call("sin"); }
    friend Lane cos(const Lane& x) { return x.call("cos"); }
    friend Lane tan(const Lane& x) { return x.call("tan"); }
    friend Lane asin(const Lane& x) { return x.call("asin"); }
    friend Lane acos(const Lane& x) { return x.call("acos"); }
    friend Lane atan(const Lane& x) { return x.call("atan"); }
    friend Lane exp(const Lane& x) { return x.call("exp"); }
    friend Lane expm1(const Lane& x) { return x.call("expm1"); }
    friend Lane log(const Lane& x) { return x.call("log"); }
    friend Lane log1p(const Lane& x) { return x.call("log1p"); }
    friend Lane sinh(const Lane& x) { return x.call("sinh"); }
    friend Lane cosh(const Lane& x) { return x.call("cosh"); }
    friend Lane tanh(const Lane& x) { return x.call("tanh"); }
    friend Lane sqrt(const Lane& x) { return x.call("sqrt"); }
    friend Lane sign(const Lane& x) { return x.call("zk_sign"); }
    friend Lane pow(const Lane& a, const Lane& b) { return a.call("pow", b); }
    friend Lane atan2(const Lane& a, const Lane& b) { return a.call("atan2", b); }
    friend Lane maximum(const Lane& a, const Lane& b) { return a.call("zk_maximum", b); }
    friend Lane step(const Lane& a, const Lane& b) { return a.call("zk_step", b); }
    friend Lane gate(const Lane& c, const Lane& v) { return c.call("zk_gate", v); }

private:
    // An operation's result: bound to a temporary of the block, or, between
    // literals alone, the expression itself in parentheses.
    Lane made(const std::string& expression, const Lane& other) const {
        Block* const block = block_ != nullptr ? block_ : other.block_;
        if (block == nullptr) {
            return {"(" + expression + ")", nullptr};
        }
        Lane result;
        result.temp_ = block->bind(expression, {temp_, other.temp_});
        result.text_ = Block::name(result.temp_);
        result.block_ = block;
        return result;
    }
    Lane call(const char* function) const { return made(std::string(function) + "(" + text_ + ")", *this); }
    Lane call(const char* function, const Lane& b) const {
        return made(std::string(function) + "(" + text_ + ", " + b.text_ + ")", b);
    }

    std::string text_;
    Block* block_ = nullptr;
    std::size_t temp_ = no_temp;
};

// The helpers that generated code defines for the `lane` functions that the
// C library lacks, and the Minimum operation: each computes what the C++
// function of its name computes (operations.hpp), with the same comparisons.
inline constexpr std::string_view helpers_text =
    "static inline double zk_sign(double x) { return x < 0.0 ? -1.0 : 1.0; }\n"
    "static inline double zk_step(double a, double b) { return a < b ? 1.0 : (a == b ? 0.5 : 0.0); }\n"
    "static inline double zk_gate(double c, double v) { return c == 0.0 ? 0.0 : v; }\n"
    "static inline double zk_maximum(double a, double b) { return a < b ? b : a; }\n"
    "static inline double zk_minimum(double a, double b) { return b < a ? b : a; }\n";

// Whether generated code can compute a rule's forward: through the lane
// type, or by its C form.
template <typename R>
constexpr bool has_c_form = requires(const Lane& x) { R::forward(x); } ||
                            requires(const Lane& x) { R::forward(x, x); } || requires { R::c_form; };

// `form` with its operands `a` and `b` (whole identifiers) replaced.
inline std::string substitute(std::string_view form, const std::string& a, const std::string& b) {
    const auto identifier = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    };
    std::string text;
    for (std::size_t i = 0; i < form.size(); ++i) {
        const char c = form[i];
        const bool alone = (i == 0 || !identifier(form[i - 1])) && (i + 1 == form.size() || !identifier(form[i + 1]));
        if (alone && c == 'a') {
            text += a;
        } else if (alone && c == 'b') {
            text += b;
        } else {
            text += c;
        }
    }
    return text;
}

// A unary or binary rule's forward result as one C expression of its operands.
template <typename R>
std::string forward_expression(const std::string& a, const std::string& b = {}) {
    if constexpr (requires(const Lane& x) { R::forward(x); }) {
        return R::forward(Lane(a, nullptr)).text();
    } else if constexpr (requires(const Lane& x) { R::forward(x, x); }) {
        return R::forward(Lane(a, nullptr), Lane(b, nullptr)).text();
    } else if constexpr (requires { R::c_form; }) {
        return "(" + substitute(R::c_form, a, b) + ")";
    } else {
        return {};
    }
}

}  // namespace zarnik::symbolic::detail::c_code
