#pragma once

// Random graphs over every operation, dimension and broadcasting case, some
// of which fail to evaluate (an Undefined node, a division by a parameter
// holding zero, an overflow), for tests that compare two ways of computing
// the same thing.

#include <algorithm>
#include <random>
#include <stdexcept>
#include <vector>

#include "symbolic/symbolic.hpp"

namespace zarnik::symbolic::testing {

struct RandomGraph {
    std::vector<Value> parameters;
    std::vector<Value> placeholders;
    std::vector<Value> values;  // every value made, the output last
    Value output;
};

class RandomGraphMaker {
public:
    explicit RandomGraphMaker(std::uint64_t seed) : rng_(seed) {}

    // `steps` operations over a few leaves; `failures` allows the ways to fail.
    RandomGraph make(int steps, bool failures) {
        RandomGraph g;
        const int parameters = pick(2, 4);
        for (int i = 0; i < parameters; ++i) {
            g.parameters.push_back(parameter(lanes(pick(1, 4)), "p"));
        }
        if (failures && chance(0.4)) {
            g.parameters.push_back(parameter(0.0, "zero"));
        }
        g.values = g.parameters;
        g.values.push_back(constant(lanes(pick(1, 4))));
        if (failures && chance(0.3)) {
            g.placeholders.push_back(chance(0.5) ? undefined(pick(1, 4), "u") : undefined_with_hint(0.5, "h"));
            g.values.push_back(g.placeholders.back());
        }
        for (int step = 0; step < steps; ++step) {
            try {
                g.values.push_back(next(g, failures));
            } catch (const std::invalid_argument&) {
                // Folding constants overflowed as the graph was built: try another step.
            }
        }
        g.output = g.values.back();
        return g;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    double number() { return std::uniform_real_distribution<double>(-2.0, 2.0)(rng_); }

    SmallValue lanes(int dimension) {
        SmallValue v;
        v.dimension = dimension;
        for (int i = 0; i < dimension; ++i) {
            v.lanes[static_cast<std::size_t>(i)] = number();
        }
        return v;
    }

    const Value& any(const RandomGraph& g) {
        return g.values[static_cast<std::size_t>(pick(0, static_cast<int>(g.values.size()) - 1))];
    }

    // A value whose dimension combines with `dim`: the same, or a scalar, or
    // any when `dim` is 1.
    Value partner(const RandomGraph& g, int dim) {
        for (int tries = 0; tries < 20; ++tries) {
            const Value& v = any(g);
            if (v.dimension() == dim || v.dimension() == 1 || dim == 1) {
                return v;
            }
        }
        return constant(number());
    }

    Value scalar(const RandomGraph& g) {
        const Value& v = any(g);
        return v.dimension() == 1 ? v : component(v, pick(0, v.dimension() - 1));
    }

    Value next(const RandomGraph& g, bool failures) {
        const Value a = any(g);
        switch (pick(0, 11)) {
            case 0: return a + partner(g, a.dimension());
            case 1: return a - partner(g, a.dimension());
            case 2: return partner(g, a.dimension()) * a;
            case 3: {
                const Value divisor = partner(g, a.dimension());
                // Near-zero divisors overflow now and then, which is a failure.
                return failures || divisor.is_parameter() ? a / divisor : a / (divisor * divisor + 1.0);
            }
            case 4: return -a;
            case 5: return chance(0.5) ? sin(a) : cos(a);
            case 6: return a.dimension() > 1 ? component(a, pick(0, a.dimension() - 1)) : a * number();
            case 7: {
                switch (pick(2, 4)) {
                    case 2: return vec2(scalar(g), scalar(g));
                    case 3: return vec3(scalar(g), scalar(g), scalar(g));
                    default: return vec4(scalar(g), scalar(g), scalar(g), scalar(g));
                }
            }
            case 8: return chance(0.5) ? number() - a : a / 3.0;
            case 10: return elementary(a, failures);
            case 11: {
                const Value b = partner(g, a.dimension());
                switch (pick(0, 10)) {
                    // A positive base keeps pow finite, unless failures are wanted.
                    case 0: return failures ? pow(a, b) : pow(a * a + 0.5, b);
                    case 1: return atan2(a, b);
                    case 2: return minimum(a, b);
                    case 3: return step(a, b);
                    case 4: return gate(a, b);
                    // A comparison or logical operation in a factor of a product, so
                    // that something is passed back past it; the factor is 0.5 or
                    // 1.5, never an exact zero that a slope of cbrt at 0 would make
                    // NaN in one sweep and skip in another.
                    case 5: return b * (0.5 + (chance(0.5) ? less(a, b) : greater_equal(a, b)));
                    case 6: return a * (0.5 + (chance(0.5) ? less_equal(b, a) : greater(b, a)));
                    case 7: return b * (0.5 + (chance(0.5) ? equal(a, b) : not_equal(a, b)));
                    case 8: return a * (0.5 + (chance(0.5) ? logical_and(a, b) : logical_or(b, a)));
                    case 9: {
                        const Value c = partner(g, std::max(a.dimension(), b.dimension()));
                        return where(greater(a, b), chance(0.5) ? a * b : b, c);
                    }
                    default: return maximum(b, a);
                }
            }
            default: return failures && chance(0.1) ? a * 1e300 * 1e10 : a * a;
        }
    }

    // One of the elementary functions; without failures, of an operand moved
    // into its domain and away from overflow.
    Value elementary(const Value& a, bool failures) {
        const Value positive = failures ? a : a * a + 0.25;
        const Value bounded = failures ? a : tanh(a) * 0.9;
        switch (pick(0, 15)) {
            case 0: return sqrt(positive);
            case 1: return exp(bounded);
            case 2: return log(positive);
            case 3: return log1p(positive);
            case 4: return expm1(bounded);
            case 5: return tanh(a);
            case 6: return sinh(bounded);
            case 7: return cosh(bounded);
            case 8: return tan(bounded);
            case 9: return asin(bounded);
            case 10: return acos(bounded);
            case 11: return atan(a);
            case 12: return sign(a);
            case 13: return cbrt(a);
            case 14: return a * (0.5 + logical_not(a));
            default: return abs(a);
        }
    }

    std::mt19937_64 rng_;
};

}  // namespace zarnik::symbolic::testing
