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
    FitGraph g{symbolic::parameter(0.1, "a"), symbolic::parameter(0.2, "b"), symbolic::parameter(0.3, "c"),
               symbolic::parameter(2.5, "d"), {}};
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
