// A program run over a block of rows at once: each instruction goes over all
// rows of the block before the next one starts, so that the block's lanes stay
// in cache while the loops over rows run straight. Every row is computed with
// the same rules, in the same order, as a single call computes it.

#include <algorithm>
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
    if constexpr (A == Arithmetic::approximate && transcendental(rule_op<R>)) {
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
    } else {
        static_assert(R::shape == Shape::Component);
        // Lanes that were checked, or whose failure is flagged already.
        copy_rows(rows.lane(in.a + in.arg), rows.lane(in.out), rows.count);
        return false;
    }
}

// The rows an approximate derivative computes its factors for at a time.
constexpr std::size_t factor_rows = 256;

// The reverse rules whose derivatives call a transcendental function, with
// that function's values from the vectorised kernels: each written as its
// exact rule is (operations.hpp), with the function's value as a factor.
template <typename R>
constexpr bool approximate_derivative =
    rule_op<R> == ExpressionOp::Sin || rule_op<R> == ExpressionOp::Cos || rule_op<R> == ExpressionOp::Sinh ||
    rule_op<R> == ExpressionOp::Cosh || rule_op<R> == ExpressionOp::Pow;

template <typename R>
[[gnu::always_inline]] inline void reverse_approximately(const Instruction& in, const Rows& v,
                                                         const Rows& adjoints) noexcept {
    using enum ExpressionOp;
    constexpr ExpressionOp op = rule_op<R>;
    double factor[factor_rows];
    if constexpr (op == Pow) {
        double exponent[factor_rows];
        double logarithm[factor_rows];
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            const std::uint32_t a = in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
            const std::uint32_t b = in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
            for (std::size_t first = 0; first < v.count; first += factor_rows) {
                const std::size_t count = std::min(factor_rows, v.count - first);
                const double* const va = v.lane(a) + first;
                const double* const vb = v.lane(b) + first;
                const double* const y = v.lane(in.out + i) + first;
                const double* const g = adjoints.lane(in.out + i) + first;
                double* const da = adjoints.lane(a) + first;
                double* const db = adjoints.lane(b) + first;
                for (std::size_t r = 0; r < count; ++r) {
                    exponent[r] = vb[r] - 1.0;
                }
                approximate_binary(Pow, va, exponent, factor, count);
                approximate_unary(Log, va, logarithm, count);
                // pow's rule: da += b == 0 ? 0 : g (b a^(b-1)); db += a == 0 ? 0 : g (y ln a).
                for (std::size_t r = 0; r < count; ++r) {
                    da[r] = da[r] + (vb[r] == 0.0 ? 0.0 : g[r] * (vb[r] * factor[r]));
                    db[r] = db[r] + (va[r] == 0.0 ? 0.0 : g[r] * (y[r] * logarithm[r]));
                }
            }
        }
    } else {
        constexpr ExpressionOp derivative = op == Sin ? Cos : op == Cos ? Sin : op == Sinh ? Cosh : Sinh;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            for (std::size_t first = 0; first < v.count; first += factor_rows) {
                const std::size_t count = std::min(factor_rows, v.count - first);
                const double* const g = adjoints.lane(in.out + i) + first;
                double* const dx = adjoints.lane(in.a + i) + first;
                approximate_unary(derivative, v.lane(in.a + i) + first, factor, count);
                for (std::size_t r = 0; r < count; ++r) {
                    if constexpr (op == Sin) {
                        dx[r] = factor[r] * g[r] + dx[r];  // cos x g + dx
                    } else if constexpr (op == Cos) {
                        dx[r] = (-factor[r]) * g[r] + dx[r];  // (-sin x) g + dx
                    } else {
                        dx[r] = dx[r] + g[r] * factor[r];  // dx + g cosh x, dx + g sinh x
                    }
                }
            }
        }
    }
}

template <typename R, Arithmetic A>
[[gnu::always_inline]] inline void reverse(const Instruction& in, const Rows& v, const Rows& adjoints,
                                           const std::uint32_t* packs) noexcept {
    if constexpr (A == Arithmetic::approximate && approximate_derivative<R>) {
        reverse_approximately<R>(in, v, adjoints);
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
    } else {
        static_assert(R::shape == Shape::Component);
        add_rows(adjoints.lane(in.out), adjoints.lane(in.a + in.arg), v.count);
    }
}

// One instruction's tangents over the block's rows, for the lanes of its
// result that depend on the seed. Each lane's tangent is the operation's
// partial derivatives (its reverse rule with a unit seed, added into zeros)
// times the tangents of the operands that depend on the seed: an operand that
// does not is left out, not multiplied by zero.
//
// Approximate tangents take the partial derivatives that call a
// transcendental function (approximate_derivative) from the vectorised
// kernels, each written as the exact rule writes it with a unit seed.
template <typename R>
[[gnu::always_inline]] inline void tangent_approximately(const Instruction& in, const Rows& v, const Rows& t,
                                                         const std::uint8_t* active) noexcept {
    using enum ExpressionOp;
    constexpr ExpressionOp op = rule_op<R>;
    double factor[factor_rows];
    if constexpr (op == Pow) {
        double exponent[factor_rows];
        double logarithm[factor_rows];
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            if (active[in.out + i] == 0) {
                continue;
            }
            const std::uint32_t a = in.a + ((in.flags & Instruction::broadcast_a) != 0 ? 0 : i);
            const std::uint32_t b = in.b + ((in.flags & Instruction::broadcast_b) != 0 ? 0 : i);
            const bool with_a = active[a] != 0;
            const bool with_b = active[b] != 0;
            for (std::size_t first = 0; first < v.count; first += factor_rows) {
                const std::size_t count = std::min(factor_rows, v.count - first);
                const double* const va = v.lane(a) + first;
                const double* const vb = v.lane(b) + first;
                const double* const y = v.lane(in.out + i) + first;
                const double* const ta = t.lane(a) + first;
                const double* const tb = t.lane(b) + first;
                double* const out = t.lane(in.out + i) + first;
                for (std::size_t r = 0; r < count; ++r) {
                    exponent[r] = vb[r] - 1.0;
                }
                approximate_binary(Pow, va, exponent, factor, count);
                approximate_unary(Log, va, logarithm, count);
                // pow's partials: b == 0 ? 0 : b a^(b-1) in a, a == 0 ? 0 : y ln a in b.
                for (std::size_t r = 0; r < count; ++r) {
                    const double pa = 0.0 + (vb[r] == 0.0 ? 0.0 : 1.0 * (vb[r] * factor[r]));
                    const double pb = 0.0 + (va[r] == 0.0 ? 0.0 : 1.0 * (y[r] * logarithm[r]));
                    out[r] = with_a && with_b ? pa * ta[r] + pb * tb[r] : with_a ? pa * ta[r] : pb * tb[r];
                }
            }
        }
    } else {
        constexpr ExpressionOp derivative = op == Sin ? Cos : op == Cos ? Sin : op == Sinh ? Cosh : Sinh;
        for (std::uint32_t i = 0; i < in.dim; ++i) {
            if (active[in.out + i] == 0) {
                continue;
            }
            for (std::size_t first = 0; first < v.count; first += factor_rows) {
                const std::size_t count = std::min(factor_rows, v.count - first);
                const double* const tx = t.lane(in.a + i) + first;
                double* const out = t.lane(in.out + i) + first;
                approximate_unary(derivative, v.lane(in.a + i) + first, factor, count);
                for (std::size_t r = 0; r < count; ++r) {
                    // The reverse rule's cos x * 1 + 0, (-sin x) * 1 + 0, 0 + 1 * cosh x, 0 + 1 * sinh x.
                    const double p = op == Cos ? (-factor[r]) * 1.0 + 0.0 : factor[r] * 1.0 + 0.0;
                    out[r] = p * tx[r];
                }
            }
        }
    }
}

template <typename R, Arithmetic A>
[[gnu::always_inline]] inline void tangent(const Instruction& in, const Rows& v, const Rows& t,
                                           const std::uint32_t* packs, const std::uint8_t* active) noexcept {
    if constexpr (A == Arithmetic::approximate && approximate_derivative<R>) {
        tangent_approximately<R>(in, v, t, active);
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
        const bool known = with_code(
            in.code, [&]<typename R, typename Scalars>(R, Scalars) { bad |= forward<R, A>(in, rows, packs); });
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
        with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) { reverse<R, A>(in, v, g, packs); });
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
