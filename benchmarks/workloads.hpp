#pragma once

// The graphs that the benchmarks time, shared by the C++ benchmark cases.

#include <cmath>
#include <vector>

#include "symbolic/symbolic.hpp"

namespace zarnik::benchmarks {

using symbolic::Value;

// Least-squares fit of a + b*x + c*sin(d*x) to M samples of sin(3x) + 0.5,
// summed left to right: about 11 nodes per point, constants included.
struct FitGraph {
    Value a, b, c, d;
    Value loss;
};

inline FitGraph fit_graph(int points) {
    FitGraph g{symbolic::parameter(0.1, "a"),
               symbolic::parameter(0.2, "b"),
               symbolic::parameter(0.3, "c"),
               symbolic::parameter(2.5, "d"),
               {}};
    for (int i = 0; i < points; ++i) {
        const double x = static_cast<double>(i) / points;
        const double t = std::sin(3.0 * x) + 0.5;
        const Value prediction = g.a + g.b * x + g.c * symbolic::sin(g.d * x);
        const Value residual = prediction - t;
        const Value square = residual * residual;
        g.loss = i == 0 ? square : g.loss + square;
    }
    return g;
}

// y(0) = p, y(k+1) = sin(y(k)) * 0.5 + p: three nested operations per step.
inline Value deep_chain(const Value& p, int steps) {
    Value y = p;
    for (int k = 0; k < steps; ++k) {
        y = symbolic::sin(y) * 0.5 + p;
    }
    return y;
}

// The residuals of a circle fit, (cx - x_i)^2 + (cy - y_i)^2 - r^2, of
// `points` points on a circle, as functions of the placeholders cx, cy, r.
struct CircleResiduals {
    std::vector<Value> unknowns;
    std::vector<Value> residuals;
};

inline CircleResiduals circle_residuals(int points) {
    CircleResiduals c{{symbolic::undefined(1, "cx"), symbolic::undefined(1, "cy"), symbolic::undefined(1, "r")}, {}};
    for (int i = 0; i < points; ++i) {
        const double t = 2.0 * 3.141592653589793 * i / points;
        const double x = 1.5 + 2.0 * std::cos(t);
        const double y = -0.5 + 2.0 * std::sin(t) + 0.01 * std::sin(7.0 * i);
        const Value& cx = c.unknowns[0];
        const Value& cy = c.unknowns[1];
        const Value& r = c.unknowns[2];
        c.residuals.push_back((cx - x) * (cx - x) + (cy - y) * (cy - y) - r * r);
    }
    return c;
}

// The W1 model's prediction a + b x + c sin(d x), a function of the placeholder x.
struct Prediction {
    Value x;
    Value prediction;
};

inline Prediction prediction_model() {
    const Value x = symbolic::undefined(1, "x");
    return {x, symbolic::parameter(0.1, "a") + symbolic::parameter(0.2, "b") * x +
                   symbolic::parameter(0.3, "c") * symbolic::sin(symbolic::parameter(2.5, "d") * x)};
}

// Distinct nodes reachable from `root`: what "per node" divides by. Every
// node below the root is older than it, so ids index a bitmap.
inline std::size_t count_nodes(const Value& root) {
    std::vector<bool> seen(static_cast<std::size_t>(root.id()) + 1, false);
    std::vector<const Value*> stack{&root};
    std::size_t count = 0;
    while (!stack.empty()) {
        const Value* v = stack.back();
        stack.pop_back();
        const auto id = static_cast<std::size_t>(v->id());
        if (seen[id]) {
            continue;
        }
        seen[id] = true;
        ++count;
        for (int i = 0; i < v->input_count(); ++i) {
            stack.push_back(&v->input(i));
        }
    }
    return count;
}

}  // namespace zarnik::benchmarks
