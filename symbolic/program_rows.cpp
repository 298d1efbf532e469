// A program run over a block of rows at once: each instruction goes over all
// rows of the block before the next one starts, so that the block's lanes stay
// in cache while the loops over rows run straight. Every row is computed with
// the same rules, in the same order, as a single call computes it.

#include "detail/internal.hpp"
#include "detail/operations.hpp"
#include "detail/program.hpp"

// The loops over rows run straight for long, and on x86-64 the library
// carries a second copy of them for processors with AVX2, chosen when it is
// loaded. Both copies round alike: no fused multiply-add in either. The
// choice runs while the library's relocations are applied, before the thread
// sanitizer's runtime is ready, so a build for it keeps one copy.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZARNIK_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define ZARNIK_THREAD_SANITIZER 1
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(ZARNIK_THREAD_SANITIZER)
#define ZARNIK_ROW_LOOPS [[gnu::target_clones("avx2", "default")]]
#else
#define ZARNIK_ROW_LOOPS
#endif

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

// One instruction over the block's rows; returns whether a lane of a row is
// not finite. A result's lane never overlaps its operands' lanes, which lets
// the loops over rows run as vector code where the rule allows. The scalar
// codes of binary operations run the general loop with one lane.
template <typename R>
[[gnu::always_inline]] inline bool forward(const Instruction& in, const Rows& rows, const std::uint32_t* packs) noexcept {
    if constexpr (R::shape == Shape::Binary) {
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

template <typename R>
[[gnu::always_inline]] inline void reverse(const Instruction& in, const Rows& v, const Rows& adjoints,
                                           const std::uint32_t* packs) noexcept {
    if constexpr (R::shape == Shape::Binary) {
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

}  // namespace

ZARNIK_ROW_LOOPS ForwardOutcome run_forward_rows(const Program& program, double* const* lanes, std::size_t count) noexcept {
    const Rows rows{lanes, count};
    const std::uint32_t* const packs = program.pack_inputs.data();
    bool bad = false;
    for (const Instruction& in : program.code) {
        const bool known = with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) {
            bad |= forward<R>(in, rows, packs);
        });
        if (!known) {
            return {&in, bad};  // Fail
        }
    }
    return {nullptr, bad};
}

ZARNIK_ROW_LOOPS void run_reverse_rows(const Program& program, double* const* lanes, double* const* adjoints,
                                       std::size_t count, std::span<const std::uint32_t> order) noexcept {
    const Rows v{lanes, count};  // only read
    const Rows g{adjoints, count};
    const std::uint32_t* const packs = program.pack_inputs.data();
    for (auto index = order.rbegin(); index != order.rend(); ++index) {
        const Instruction& in = program.code[*index];
        // A program that fails is never swept.
        with_code(in.code, [&]<typename R, typename Scalars>(R, Scalars) { reverse<R>(in, v, g, packs); });
    }
}

}  // namespace zarnik::symbolic::detail
