// A program run over a block of rows at once: each instruction goes over all
// rows of the block before the next one starts, so that the block's lanes stay
// in cache while the loops over rows run straight. Every row is computed with
// the same rules, in the same order, as a single call computes it.

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "symbolic/approximate/approximate.hpp"
#include "symbolic/graph/internal.hpp"
#include "symbolic/graph/operations.hpp"
#include "symbolic/program/program.hpp"

// One copy of the loops, for the baseline instructions. A second copy for
// AVX2 (target clones) was no faster on W4 and made approximate rows several
// times slower: the helpers it leaves out of line are baseline SSE code, and
// going between them and the clone's 256-bit code stalls on every call.

namespace zarnik::symbolic::detail {

namespace {

// The lanes of one row block: lane k of row r at lanes[k][r].
struct Rows {
    double* const* lanes;
    std::size_t count;

    double* lane(std::uint32_t k) const noexcept { return lanes[k]; }
};

[[gnu::always_inline]] inline void copy_rows(const double* from, double* to, std::size_t count) noexcept {
    for (std::size_t r = 0; r < count; ++r) {
        to[r] = from[r];
    }
}

[[gnu::always_inline]] inline void add_rows(const double* from, double* to, std::size_t count) noexcept {
    for (std::size_t r = 0; r < count; ++r) {
        to[r] = to[r] + from[r];
    }
}

// Whether `finite` is false or a lane of `out`'s first `count` rows is not finite.
[[gnu::always_inline]] inline bool all_finite(const double* out, std::size_t count) noexcept {
    bool finite = true;
    for (std::size_t r = 0; r < count; ++r) {
        finite &= is_finite_lane(out[r]);
    }
    return finite;
}

// One instruction over the block's rows; returns whether a lane of a row is
// not finite. A result's lane never overlaps its operands' lanes, which lets
// the loops over rows run as vector code where the rule allows. The scalar
// codes of binary operations run the general loop with one lane. Approximate
// rows compute the transcendental functions with the vectorised kernels and
// check every result they give.
template <typename R, Arithmetic A>
[[gnu::always_inline]] inline bool forward(const Instruction& in, const Rows& rows,
                                           const std::uint32_t* packs) noexcept {
    if constexpr (A == Arithmetic::approximate && vectorised<R>) {
        bool finite = true;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            double* const out = rows.lane(in.out + i);
            if constexpr (R::shape == Shape::Binary) {
                const double* const a = rows.lane(in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i));
                const double* const b = rows.lane(in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i));
                approximate_binary(rule_op<R>, a, b, out, rows.count);
            } else {
                approximate_unary(rule_op<R>, rows.lane(in.a + i), out, rows.count);
            }
            finite &= all_finite(out, rows.count);
        }
        return !finite;
    } else if constexpr (R::shape == Shape::Binary) {
        bool finite = true;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const double* const a = rows.lane(in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i));
            const double* const b = rows.lane(in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i));
            double* __restrict const out = rows.lane(in.out + i);
            for (std::size_t r = 0; r < rows.count; ++r) {
                const double result = R::forward(a[r], b[r]);
                out[r] = result;
                if constexpr (!R::keeps_finite) {
                    finite &= is_finite_lane(result);
                }
            }
        }
        return !finite;
    } else if constexpr (R::shape == Shape::Unary) {
        bool finite = true;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const double* const x = rows.lane(in.a + i);
            double* __restrict const out = rows.lane(in.out + i);
            for (std::size_t r = 0; r < rows.count; ++r) {
                const double result = R::forward(x[r]);
                out[r] = result;
                if constexpr (!R::keeps_finite) {
                    finite &= is_finite_lane(result);
                }
            }
        }
        return !finite;
    } else if constexpr (R::shape == Shape::Pack) {
        for (std::uint32_t k = 0; k < in.dim; ++k) {
            copy_rows(rows.lane(packs[in.a + k]), rows.lane(in.out + k), rows.count);
        }
        return false;
    } else if constexpr (R::shape == Shape::Select) {
        // The branch taken may be a guarded one, whose lanes were not checked.
        const bool checks = (in.flags & Instruction::checks_branches) != 0;
        bool finite = true;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const double* const c = rows.lane(select_lane(in, packs, 0, i));
            const double* const a = rows.lane(select_lane(in, packs, 1, i));
            const double* const b = rows.lane(select_lane(in, packs, 2, i));
            double* __restrict const out = rows.lane(in.out + i);
            // Both branches are read on every row, so that the choice is a
            // select of vector code (R::forward's choice, written for it).
            for (std::size_t r = 0; r < rows.count; ++r) {
                const double x = a[r];
                const double y = b[r];
                out[r] = c[r] != 0.0 ? x : y;
            }
            if (checks) {
                finite &= all_finite(out, rows.count);
            }
        }
        return !finite;
    } else {
        static_assert(R::shape == Shape::Component);
        // Lanes that were checked, or whose failure is flagged already.
        copy_rows(rows.lane(in.a + in.arg), rows.lane(in.out), rows.count);
        return false;
    }
}

// Approximate sweeps run the rules whose derivatives call a vectorised
// function (vectorised_derivative: sin's cos, pow's power and logarithm) over
// pieces of rows, whose vectorised functions are the kernels: the rule of
// operations.hpp, as written, with each term computed for every row of the
// piece before the next. The rest of its arithmetic is the exact one, row by
// row, so that only the vectorised functions' values differ from an exact
// sweep.
constexpr std::size_t piece_rows = 256;

// One lane over the rows of a piece: a view of a block's lane, or rows of
// its own (a term of a rule).
class Piece {
public:
    Piece() noexcept {}  // NOLINT(modernize-use-equals-default): own_ stays uninitialised
    // A rule's numbers (1.0 + t) are the same number in every row.
    Piece(double value) noexcept : count_(piece_rows) {  // NOLINT(google-explicit-constructor)
        std::fill_n(own_, piece_rows, value);
    }
    static Piece view(const double* rows, std::size_t count) noexcept {
        Piece piece;
        piece.rows_ = rows;
        piece.count_ = count;
        return piece;
    }
    static Piece room(std::size_t count) noexcept {
        Piece piece;
        piece.count_ = count;
        return piece;
    }
    Piece(const Piece& other) noexcept { *this = other; }
    Piece& operator=(const Piece& other) noexcept {
        if (this != &other) {
            count_ = other.count_;
            if (other.owns()) {
                std::copy_n(other.own_, count_, own_);
                rows_ = nullptr;
            } else {
                rows_ = other.rows_;
            }
        }
        return *this;
    }
    ~Piece() = default;

    std::size_t count() const noexcept { return count_; }
    const double* rows() const noexcept { return owns() ? own_ : rows_; }
    double* own() noexcept { return own_; }
    double operator[](std::size_t r) const noexcept { return rows()[r]; }

private:
    bool owns() const noexcept { return rows_ == nullptr; }

    const double* rows_ = nullptr;  // none: own_
    std::size_t count_ = 0;
    double own_[piece_rows];
};

// The rows of a piece's term that a number or another piece gives.
inline std::size_t rows_of(const Piece& piece) noexcept { return piece.count(); }
inline std::size_t rows_of(double) noexcept { return piece_rows; }
inline double row(const Piece& piece, std::size_t r) noexcept { return piece[r]; }
inline double row(double value, std::size_t) noexcept { return value; }

template <typename A, typename B>
concept PieceOperands = (std::same_as<A, Piece> && (std::same_as<B, Piece> || std::same_as<B, double>)) ||
                        (std::same_as<A, double> && std::same_as<B, Piece>);

template <typename F>
Piece each_row(const Piece& x, F f) noexcept {
    Piece out = Piece::room(x.count());
    double* const o = out.own();
    const double* const in = x.rows();
    for (std::size_t r = 0; r < x.count(); ++r) {
        o[r] = f(in[r]);
    }
    return out;
}

template <typename A, typename B, typename F>
Piece each_row(const A& a, const B& b, F f) noexcept {
    Piece out = Piece::room(std::min(rows_of(a), rows_of(b)));
    double* const o = out.own();
    for (std::size_t r = 0; r < out.count(); ++r) {
        o[r] = f(row(a, r), row(b, r));
    }
    return out;
}

template <typename A, typename B>
    requires PieceOperands<A, B>
Piece operator+(const A& a, const B& b) noexcept {
    return each_row(a, b, [](double x, double y) { return x + y; });
}
template <typename A, typename B>
    requires PieceOperands<A, B>
Piece operator-(const A& a, const B& b) noexcept {
    return each_row(a, b, [](double x, double y) { return x - y; });
}
template <typename A, typename B>
    requires PieceOperands<A, B>
Piece operator*(const A& a, const B& b) noexcept {
    return each_row(a, b, [](double x, double y) { return x * y; });
}
template <typename A, typename B>
    requires PieceOperands<A, B>
Piece operator/(const A& a, const B& b) noexcept {
    return each_row(a, b, [](double x, double y) { return x / y; });
}
inline Piece operator-(const Piece& x) noexcept {
    return each_row(x, [](double v) { return -v; });
}

// The lane functions, row by row: the vectorised ones from the kernels, the
// others exactly.
template <ExpressionOp Op>
Piece vectorised_rows(const Piece& x) noexcept {
    Piece out = Piece::room(x.count());
    approximate_unary(Op, x.rows(), out.own(), x.count());
    return out;
}
template <ExpressionOp Op>
Piece vectorised_rows(const Piece& a, const Piece& b) noexcept {
    Piece out = Piece::room(std::min(a.count(), b.count()));
    approximate_binary(Op, a.rows(), b.rows(), out.own(), out.count());
    return out;
}
inline Piece sin(const Piece& x) noexcept { return vectorised_rows<ExpressionOp::Sin>(x); }
inline Piece cos(const Piece& x) noexcept { return vectorised_rows<ExpressionOp::Cos>(x); }
inline Piece exp(const Piece& x) noexcept { return vectorised_rows<ExpressionOp::Exp>(x); }
inline Piece log(const Piece& x) noexcept { return vectorised_rows<ExpressionOp::Log>(x); }
inline Piece sinh(const Piece& x) noexcept { return vectorised_rows<ExpressionOp::Sinh>(x); }
inline Piece cosh(const Piece& x) noexcept { return vectorised_rows<ExpressionOp::Cosh>(x); }
inline Piece pow(const Piece& a, const Piece& b) noexcept { return vectorised_rows<ExpressionOp::Pow>(a, b); }
// No rule whose derivative calls a vectorised function takes a square root
// today; kept so that one may, without a new lane function.
[[maybe_unused]] inline Piece sqrt(const Piece& x) noexcept {
    return each_row(x, [](double v) { return lane::sqrt(v); });
}
inline Piece sign(const Piece& x) noexcept {
    return each_row(x, [](double v) { return lane::sign(v); });
}
template <typename A, typename B>
    requires PieceOperands<A, B>
Piece maximum(const A& a, const B& b) noexcept {
    return each_row(a, b, [](double x, double y) { return lane::maximum(x, y); });
}
template <typename A, typename B>
    requires PieceOperands<A, B>
Piece step(const A& a, const B& b) noexcept {
    return each_row(a, b, [](double x, double y) { return lane::step(x, y); });
}
template <typename A, typename B>
    requires PieceOperands<A, B>
Piece gate(const A& c, const B& v) noexcept {
    return each_row(c, v, [](double x, double y) { return lane::gate(x, y); });
}

// The operand lanes of lane i of a binary instruction's result.
[[gnu::always_inline]] inline std::uint32_t lane_a(const Instruction& in, std::uint32_t i) noexcept {
    return in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
}
[[gnu::always_inline]] inline std::uint32_t lane_b(const Instruction& in, std::uint32_t i) noexcept {
    return in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
}

// The reverse rule over pieces: the rule's contributions added into the
// operands' adjoints, as the rule's backward adds them.
// Adds `d` gated by the adjoint `g` row by row: a guarded instruction's
// contribution (program.hpp's mark_guarded).
[[gnu::always_inline]] inline void add_gated_rows(const double* d, const double* g, double* to,
                                                  std::size_t count) noexcept {
    for (std::size_t r = 0; r < count; ++r) {
        to[r] = to[r] + lane::gate(g[r], d[r]);
    }
}

template <typename R, bool Gated>
void reverse_in_pieces(const Instruction& in, const Rows& v, const Rows& adjoints) noexcept {
    for (std::uint32_t i = 0; i < in.dim; ++i) {
        for (std::size_t first = 0; first < v.count; first += piece_rows) {
            const std::size_t count = std::min(piece_rows, v.count - first);
            const auto at = [&](const Rows& rows, std::uint32_t k) { return Piece::view(rows.lane(k) + first, count); };
            const Piece y = at(v, in.out + i);
            const Piece g = at(adjoints, in.out + i);
            if constexpr (R::shape == Shape::Binary) {
                const std::uint32_t a = lane_a(in, i);
                const std::uint32_t b = lane_b(in, i);
                const Partials<Piece> d = R::derivative(at(v, a), at(v, b), y, g, Wanted{!R::flat_a, !R::flat_b});
                const auto add = [&](const Piece& part, std::uint32_t k) {
                    if constexpr (Gated) {
                        add_gated_rows(part.rows(), g.rows(), adjoints.lane(k) + first, count);
                    } else {
                        add_rows(part.rows(), adjoints.lane(k) + first, count);
                    }
                };
                if constexpr (!R::flat_a) {
                    add(d.a, a);
                }
                if constexpr (!R::flat_b) {
                    add(d.b, b);
                }
            } else {
                static_assert(R::shape == Shape::Unary && !R::flat);
                const Piece d = R::derivative(at(v, in.a + i), y, g);
                if constexpr (Gated) {
                    add_gated_rows(d.rows(), g.rows(), adjoints.lane(in.a + i) + first, count);
                } else {
                    add_rows(d.rows(), adjoints.lane(in.a + i) + first, count);
                }
            }
        }
    }
}

template <typename R, Arithmetic A>
[[gnu::always_inline]] inline void reverse(const Instruction& in, const Rows& v, const Rows& adjoints,
                                           const std::uint32_t* packs) noexcept {
    if constexpr (A == Arithmetic::approximate && vectorised_derivative<R>) {
        reverse_in_pieces<R, false>(in, v, adjoints);
    } else if constexpr (R::shape == Shape::Binary) {
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const std::uint32_t a = in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
            const std::uint32_t b = in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
            const double* const va = v.lane(a);
            const double* const vb = v.lane(b);
            const double* const y = v.lane(in.out + i);
            const double* const g = adjoints.lane(in.out + i);
            double* const da = adjoints.lane(a);
            double* const db = adjoints.lane(b);
            for (std::size_t r = 0; r < v.count; ++r) {
                R::backward(va[r], vb[r], y[r], g[r], da[r], db[r]);
            }
        }
    } else if constexpr (R::shape == Shape::Unary) {
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const double* const x = v.lane(in.a + i);
            const double* const y = v.lane(in.out + i);
            const double* const g = adjoints.lane(in.out + i);
            double* const dx = adjoints.lane(in.a + i);
            for (std::size_t r = 0; r < v.count; ++r) {
                R::backward(x[r], y[r], g[r], dx[r]);
            }
        }
    } else if constexpr (R::shape == Shape::Pack) {
        for (std::uint32_t k = 0; k < in.dim; ++k) {
            add_rows(adjoints.lane(in.out + k), adjoints.lane(packs[in.a + k]), v.count);
        }
    } else if constexpr (R::shape == Shape::Select) {
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const double* const c = v.lane(select_lane(in, packs, 0, i));
            const double* const g = adjoints.lane(in.out + i);
            double* const da = adjoints.lane(select_lane(in, packs, 1, i));
            double* const db = adjoints.lane(select_lane(in, packs, 2, i));
            for (std::size_t r = 0; r < v.count; ++r) {
                R::backward(c[r], g[r], da[r], db[r]);
            }
        }
    } else {
        static_assert(R::shape == Shape::Component);
        add_rows(adjoints.lane(in.out), adjoints.lane(in.a + in.arg), v.count);
    }
}

// A guarded instruction's reverse rule over rows: each contribution gated by
// the adjoint, as the single-row sweep gates it.
template <typename R, Arithmetic A>
void reverse_guarded(const Instruction& in, const Rows& v, const Rows& adjoints, const std::uint32_t* packs) noexcept {
    if constexpr (A == Arithmetic::approximate && vectorised_derivative<R>) {
        reverse_in_pieces<R, true>(in, v, adjoints);
    } else if constexpr (R::shape == Shape::Binary) {
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const std::uint32_t a = lane_a(in, i);
            const std::uint32_t b = lane_b(in, i);
            const double* const va = v.lane(a);
            const double* const vb = v.lane(b);
            const double* const y = v.lane(in.out + i);
            const double* const g = adjoints.lane(in.out + i);
            double* const da = adjoints.lane(a);
            double* const db = adjoints.lane(b);
            for (std::size_t r = 0; r < v.count; ++r) {
                const Partials<double> d = R::derivative(va[r], vb[r], y[r], g[r], Wanted{!R::flat_a, !R::flat_b});
                if constexpr (!R::flat_a) {
                    da[r] = da[r] + lane::gate(g[r], d.a);
                }
                if constexpr (!R::flat_b) {
                    db[r] = db[r] + lane::gate(g[r], d.b);
                }
            }
        }
    } else if constexpr (R::shape == Shape::Unary) {
        if constexpr (!R::flat) {
            for (std::uint32_t i = 0; i < in.dim; ++i) {
                const double* const x = v.lane(in.a + i);
                const double* const y = v.lane(in.out + i);
                const double* const g = adjoints.lane(in.out + i);
                double* const dx = adjoints.lane(in.a + i);
                for (std::size_t r = 0; r < v.count; ++r) {
                    dx[r] = dx[r] + lane::gate(g[r], R::derivative(x[r], y[r], g[r]));
                }
            }
        }
    } else {
        reverse<R, A>(in, v, adjoints, packs);  // copies and where pass g itself or an exact zero
    }
}

// A guarded instruction's rows carry its operands' failures on (program.hpp).
void carry_failure_rows(const Instruction& in, const Rows& rows, const std::uint32_t* packs) noexcept {
    const Shape shape = shape_of(in.code);
    for (std::uint32_t i = 0; i < in.dim; ++i) {
        const double* first = nullptr;
        const double* second = nullptr;
        switch (shape) {
            case Shape::Binary:
                first = rows.lane(lane_a(in, i));
                second = rows.lane(lane_b(in, i));
                break;
            case Shape::Unary: first = rows.lane(in.a + i); break;
            case Shape::Select: first = rows.lane(select_lane(in, packs, 0, i)); break;
            case Shape::Pack:
            case Shape::Component:
            case Shape::Leaf:
            case Shape::Unsupported: break;
        }
        double* const out = rows.lane(in.out + i);
        for (const double* operand : {first, second}) {
            if (operand == nullptr) {
                continue;
            }
            // x - x is +0 for a finite x, which leaves every lane as it is
            // (-0 - +0 is -0), and NaN for any other: vector code, no branch.
            for (std::size_t r = 0; r < rows.count; ++r) {
                out[r] = out[r] - (operand[r] - operand[r]);
            }
        }
    }
}

// One instruction's tangents over the block's rows, for the lanes of its
// result that depend on the seed. Each lane's tangent is the operation's
// partial derivatives (its reverse rule with a unit seed, added into zeros)
// times the tangents of the operands that depend on the seed: an operand that
// does not is left out, not multiplied by zero.
//
// Approximate tangents run the rules whose derivatives call a vectorised
// function over pieces of rows, as reverse sweeps do.
template <typename R>
void tangent_in_pieces(const Instruction& in, const Rows& v, const Rows& t, const std::uint8_t* active) noexcept {
    const Piece unit(1.0);
    for (std::uint32_t i = 0; i < in.dim; ++i) {
        if (active[in.out + i] == 0) {
            continue;
        }
        for (std::size_t first = 0; first < v.count; first += piece_rows) {
            const std::size_t count = std::min(piece_rows, v.count - first);
            const auto at = [&](const Rows& rows, std::uint32_t k) { return Piece::view(rows.lane(k) + first, count); };
            const Piece y = at(v, in.out + i);
            double* const out = t.lane(in.out + i) + first;
            // The partials as the exact sweep takes them: the reverse rule
            // with a unit seed, added into zeros.
            if constexpr (R::shape == Shape::Binary) {
                const std::uint32_t a = lane_a(in, i);
                const std::uint32_t b = lane_b(in, i);
                const bool with_a = active[a] != 0;
                const bool with_b = active[b] != 0;
                const Partials<Piece> d = R::derivative(at(v, a), at(v, b), y, unit, Wanted{!R::flat_a, !R::flat_b});
                const double* const ta = t.lane(a) + first;
                const double* const tb = t.lane(b) + first;
                for (std::size_t r = 0; r < count; ++r) {
                    const double pa = R::flat_a ? 0.0 : 0.0 + d.a[r];
                    const double pb = R::flat_b ? 0.0 : 0.0 + d.b[r];
                    out[r] = with_a && with_b ? pa * ta[r] + pb * tb[r] : with_a ? pa * ta[r] : pb * tb[r];
                }
            } else {
                static_assert(R::shape == Shape::Unary && !R::flat);
                const Piece d = R::derivative(at(v, in.a + i), y, unit);
                const double* const tx = t.lane(in.a + i) + first;
                for (std::size_t r = 0; r < count; ++r) {
                    out[r] = (0.0 + d[r]) * tx[r];
                }
            }
        }
    }
}

template <typename R, Arithmetic A>
[[gnu::always_inline]] inline void tangent(const Instruction& in, const Rows& v, const Rows& t,
                                           const std::uint32_t* packs, const std::uint8_t* active) noexcept {
    if constexpr (A == Arithmetic::approximate && vectorised_derivative<R>) {
        tangent_in_pieces<R>(in, v, t, active);
    } else if constexpr (R::shape == Shape::Binary) {
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            if (active[in.out + i] == 0) {
                continue;
            }
            const std::uint32_t a = in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
            const std::uint32_t b = in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
            const double* const va = v.lane(a);
            const double* const vb = v.lane(b);
            const double* const y = v.lane(in.out + i);
            const double* const ta = t.lane(a);
            const double* const tb = t.lane(b);
            double* __restrict const out = t.lane(in.out + i);
            const auto rows_with = [&](auto with_a, auto with_b) {
                for (std::size_t r = 0; r < v.count; ++r) {
                    double pa = 0.0;
                    double pb = 0.0;
                    R::backward(va[r], vb[r], y[r], 1.0, pa, pb);
                    if constexpr (decltype(with_a)::value && decltype(with_b)::value) {
                        out[r] = pa * ta[r] + pb * tb[r];
                    } else if constexpr (decltype(with_a)::value) {
                        out[r] = pa * ta[r];
                    } else {
                        out[r] = pb * tb[r];
                    }
                }
            };
            if (active[a] != 0 && active[b] != 0) {
                rows_with(std::true_type{}, std::true_type{});
            } else if (active[a] != 0) {
                rows_with(std::true_type{}, std::false_type{});
            } else {
                rows_with(std::false_type{}, std::true_type{});
            }
        }
    } else if constexpr (R::shape == Shape::Unary) {
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            if (active[in.out + i] == 0) {
                continue;
            }
            const double* const x = v.lane(in.a + i);
            const double* const y = v.lane(in.out + i);
            const double* const tx = t.lane(in.a + i);
            double* __restrict const out = t.lane(in.out + i);
            for (std::size_t r = 0; r < v.count; ++r) {
                double p = 0.0;
                R::backward(x[r], y[r], 1.0, p);
                out[r] = p * tx[r];
            }
        }
    } else if constexpr (R::shape == Shape::Pack) {
        for (std::uint32_t k = 0; k < in.dim; ++k) {
            if (active[in.out + k] != 0) {
                copy_rows(t.lane(packs[in.a + k]), t.lane(in.out + k), v.count);
            }
        }
    } else if constexpr (R::shape == Shape::Select) {
        // where(c, ta, tb): the tangent of the branch taken, or an exact zero
        // where that branch does not depend on the seed; the other branch's is
        // never read.
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            if (active[in.out + i] == 0) {
                continue;
            }
            const std::uint32_t a = select_lane(in, packs, 1, i);
            const std::uint32_t b = select_lane(in, packs, 2, i);
            const double* const c = v.lane(select_lane(in, packs, 0, i));
            const double* const ta = t.lane(a);
            const double* const tb = t.lane(b);
            const bool with_a = active[a] != 0;
            const bool with_b = active[b] != 0;
            double* __restrict const out = t.lane(in.out + i);
            for (std::size_t r = 0; r < v.count; ++r) {
                out[r] = c[r] != 0.0 ? (with_a ? ta[r] : 0.0) : (with_b ? tb[r] : 0.0);
            }
        }
    } else {
        static_assert(R::shape == Shape::Component);
        if (active[in.out] != 0) {
            copy_rows(t.lane(in.a + in.arg), t.lane(in.out), v.count);
        }
    }
}

template <Arithmetic A>
[[gnu::always_inline]] inline ForwardOutcome forward_rows(const Program& program, double* const* lanes,
                                                          std::size_t count) noexcept {
    const Rows rows{lanes, count};
    const std::uint32_t* const packs = program.pack_inputs.data();
    bool bad = false;
    for (const Instruction& in : program.code) {
        const bool known = with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) {
            const bool failed = forward<R, A>(in, rows, packs);
            if ((in.flags & Instruction::guarded) != 0) [[unlikely]] {
                if ((in.flags & Instruction::carries) != 0) {
                    carry_failure_rows(in, rows, packs);
                }
            } else {
                bad |= failed;
            }
        });
        if (!known) {
            return {&in, bad};  // Fail
        }
    }
    return {nullptr, bad};
}

template <Arithmetic A>
[[gnu::always_inline]] inline void reverse_rows(const Program& program, double* const* lanes, double* const* adjoints,
                                                std::size_t count, std::span<const std::uint32_t> order) noexcept {
    const Rows v{lanes, count};  // only read
    const Rows g{adjoints, count};
    const std::uint32_t* const packs = program.pack_inputs.data();
    for (auto index = order.rbegin(); index != order.rend(); ++index) {
        const Instruction& in = program.code[*index];
        // A program that fails is never swept.
        with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) {
            if ((in.flags & Instruction::guarded) != 0) [[unlikely]] {
                reverse_guarded<R, A>(in, v, g, packs);
            } else {
                reverse<R, A>(in, v, g, packs);
            }
        });
    }
}

}  // namespace

ForwardOutcome run_forward_rows(const Program& program, double* const* lanes, std::size_t count,
                                Arithmetic arithmetic) noexcept {
    return arithmetic == Arithmetic::exact ? forward_rows<Arithmetic::exact>(program, lanes, count)
                                           : forward_rows<Arithmetic::approximate>(program, lanes, count);
}

void run_reverse_rows(const Program& program, double* const* lanes, double* const* adjoints, std::size_t count,
                      std::span<const std::uint32_t> order, Arithmetic arithmetic) noexcept {
    if (arithmetic == Arithmetic::exact) {
        reverse_rows<Arithmetic::exact>(program, lanes, adjoints, count, order);
    } else {
        reverse_rows<Arithmetic::approximate>(program, lanes, adjoints, count, order);
    }
}

std::vector<std::uint8_t> tangent_activity(const Program& program, std::uint32_t seed) {
    std::vector<std::uint8_t> active(program.lanes.size(), 0);
    active[seed] = 1;
    for (const Instruction& in : program.code) {
        switch (shape_of(in.code)) {
            case Shape::Binary:
                for (std::uint32_t i = 0; i < in.dim; ++i) {
                    const std::uint32_t a = in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
                    const std::uint32_t b = in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
                    active[in.out + i] = active[a] | active[b];
                }
                break;
            case Shape::Unary:
                for (std::uint32_t i = 0; i < in.dim; ++i) {
                    active[in.out + i] = active[in.a + i];
                }
                break;
            case Shape::Pack:
                for (std::uint32_t k = 0; k < in.dim; ++k) {
                    active[in.out + k] = active[program.pack_inputs[in.a + k]];
                }
                break;
            case Shape::Component: active[in.out] = active[in.a + in.arg]; break;
            case Shape::Select:
                for (std::uint32_t i = 0; i < in.dim; ++i) {
                    const std::uint32_t* const packs = program.pack_inputs.data();
                    active[in.out + i] = active[select_lane(in, packs, 1, i)] | active[select_lane(in, packs, 2, i)];
                }
                break;
            case Shape::Leaf:
            case Shape::Unsupported: break;  // Fail: a program that fails is never swept
        }
    }
    return active;
}

namespace {

template <Arithmetic A>
[[gnu::always_inline]] inline void tangent_rows(const Program& program, double* const* lanes, double* const* tangents,
                                                std::size_t count, const std::uint8_t* active) noexcept {
    const Rows v{lanes, count};  // only read
    const Rows t{tangents, count};
    const std::uint32_t* const packs = program.pack_inputs.data();
    for (const Instruction& in : program.code) {
        with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) { tangent<R, A>(in, v, t, packs, active); });
    }
}

}  // namespace

void run_tangent_rows(const Program& program, double* const* lanes, double* const* tangents, std::size_t count,
                      const std::uint8_t* active, Arithmetic arithmetic) noexcept {
    if (arithmetic == Arithmetic::exact) {
        tangent_rows<Arithmetic::exact>(program, lanes, tangents, count, active);
    } else {
        tangent_rows<Arithmetic::approximate>(program, lanes, tangents, count, active);
    }
}

}  // namespace zarnik::symbolic::detail
