// Node creation, evaluation and backward per node, on the least-squares fit
// ("fit", M points) and the deep chain ("deep", K steps), beside the flat tape.
// Every case reports `per_node`: seconds per distinct node of its graph.

#include <benchmark/benchmark.h>

#include "tape.hpp"
#include "workloads.hpp"

namespace zarnik::benchmarks {
namespace {

void per_node(benchmark::State& state, std::size_t nodes) {
    state.counters["nodes"] = static_cast<double>(nodes);
    state.counters["per_node"] = benchmark::Counter(
        static_cast<double>(nodes), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void fit_build(benchmark::State& state) {
    const auto points = static_cast<int>(state.range(0));
    std::size_t nodes = 0;
    for (auto _ : state) {
        FitGraph graph = fit_graph(points);
        state.PauseTiming();
        nodes = count_nodes(graph.loss);
        graph = FitGraph{};  // freeing is not part of building
        state.ResumeTiming();
    }
    per_node(state, nodes);
}

void fit_evaluate(benchmark::State& state) {
    const FitGraph graph = fit_graph(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        symbolic::SmallValue lanes = graph.loss.evaluate();
        benchmark::DoNotOptimize(lanes);
    }
    per_node(state, count_nodes(graph.loss));
}

void fit_backward(benchmark::State& state) {
    const FitGraph graph = fit_graph(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        graph.loss.backward();
    }
    graph.loss.zero_grad();
    per_node(state, count_nodes(graph.loss));
}

void fit_zero_grad(benchmark::State& state) {
    const FitGraph graph = fit_graph(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        graph.loss.backward();
        state.ResumeTiming();
        graph.loss.zero_grad();
    }
    per_node(state, count_nodes(graph.loss));
}

// The library's compiled tape, against the flat tape below.
void fit_compiled_evaluate(benchmark::State& state) {
    const FitGraph graph = fit_graph(static_cast<int>(state.range(0)));
    const symbolic::Tape tape(graph.loss);
    for (auto _ : state) {
        symbolic::SmallValue lanes = tape.evaluate();
        benchmark::DoNotOptimize(lanes);
    }
    per_node(state, tape.size());
}

void fit_compiled_backward(benchmark::State& state) {
    const FitGraph graph = fit_graph(static_cast<int>(state.range(0)));
    const symbolic::Tape tape(graph.loss);
    for (auto _ : state) {
        symbolic::SmallValue lanes = tape.backward();
        benchmark::DoNotOptimize(lanes);
    }
    graph.loss.zero_grad();
    per_node(state, tape.size());
}

void fit_compile(benchmark::State& state) {
    const FitGraph graph = fit_graph(static_cast<int>(state.range(0)));
    std::size_t nodes = 0;
    for (auto _ : state) {
        const symbolic::Tape tape(graph.loss);
        nodes = tape.size();
        benchmark::DoNotOptimize(nodes);
    }
    per_node(state, nodes);
}

void fit_tape_forward(benchmark::State& state) {
    const FitGraph graph = fit_graph(static_cast<int>(state.range(0)));
    Tape tape(graph.loss);
    for (auto _ : state) {
        double lane = tape.forward();
        benchmark::DoNotOptimize(lane);
    }
    per_node(state, tape.size());
}

void fit_tape_forward_reverse(benchmark::State& state) {
    const FitGraph graph = fit_graph(static_cast<int>(state.range(0)));
    Tape tape(graph.loss);
    for (auto _ : state) {
        const std::vector<double>* adjoints = tape.forward_reverse().data();
        benchmark::DoNotOptimize(adjoints);
    }
    per_node(state, tape.size());
}

void deep_build(benchmark::State& state) {
    const auto steps = static_cast<int>(state.range(0));
    const Value p = symbolic::parameter(1.0, "p");
    std::size_t nodes = 0;
    for (auto _ : state) {
        Value y = deep_chain(p, steps);
        state.PauseTiming();
        nodes = count_nodes(y);
        y = Value{};
        state.ResumeTiming();
    }
    per_node(state, nodes);
}

void deep_free(benchmark::State& state) {
    const auto steps = static_cast<int>(state.range(0));
    const Value p = symbolic::parameter(1.0, "p");
    std::size_t nodes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Value y = deep_chain(p, steps);
        nodes = count_nodes(y);
        state.ResumeTiming();
        y = Value{};
    }
    per_node(state, nodes);
}

void deep_evaluate(benchmark::State& state) {
    const Value p = symbolic::parameter(1.0, "p");
    const Value y = deep_chain(p, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        symbolic::SmallValue lanes = y.evaluate();
        benchmark::DoNotOptimize(lanes);
    }
    per_node(state, count_nodes(y));
}

void deep_backward(benchmark::State& state) {
    const Value p = symbolic::parameter(1.0, "p");
    const Value y = deep_chain(p, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        y.backward();
    }
    per_node(state, count_nodes(y));
}

void deep_tape_forward_reverse(benchmark::State& state) {
    const Value p = symbolic::parameter(1.0, "p");
    const Value y = deep_chain(p, static_cast<int>(state.range(0)));
    Tape tape(y);
    for (auto _ : state) {
        const std::vector<double>* adjoints = tape.forward_reverse().data();
        benchmark::DoNotOptimize(adjoints);
    }
    per_node(state, tape.size());
}

// One expression node made and released: what every operator call pays.
void node_create_release(benchmark::State& state) {
    const Value p = symbolic::parameter(1.0, "p");
    const Value q = symbolic::parameter(2.0, "q");
    for (auto _ : state) {
        Value sum = p + q;
        benchmark::DoNotOptimize(sum);
    }
}

// 2^levels paths through 3 * levels + 1 nodes: cost must follow the nodes.
void diamond_backward(benchmark::State& state) {
    const Value p = symbolic::parameter(1.0, "p");
    Value x = p;
    for (int level = 0; level < state.range(0); ++level) {
        const Value half = x * 0.5;
        x = half + half;
    }
    for (auto _ : state) {
        x.backward();
    }
    per_node(state, count_nodes(x));
}

// The Jacobian of 50 circle-fit residuals against their 3 unknowns, one call.
void function_circle_jacobian(benchmark::State& state) {
    const CircleResiduals c = circle_residuals(50);
    const symbolic::Function f(c.unknowns, c.residuals);
    const symbolic::SmallValue at[] = {symbolic::small_value(0.2), symbolic::small_value(-0.1),
                                       symbolic::small_value(1.7)};
    std::vector<double> jacobian(50 * 3);
    for (auto _ : state) {
        f.jacobian(at, jacobian);
        benchmark::DoNotOptimize(jacobian.data());
    }
}

// The W1 model over a million rows; beside it the same arithmetic in a plain loop.
void function_model_rows(benchmark::State& state) {
    const Prediction model = prediction_model();
    const symbolic::Function f({model.x}, {model.prediction});
    const auto rows = static_cast<std::size_t>(state.range(0));
    std::vector<double> xs(rows);
    std::vector<double> ys(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        xs[i] = static_cast<double>(i) / static_cast<double>(rows);
    }
    const double* inputs[] = {xs.data()};
    double* outputs[] = {ys.data()};
    for (auto _ : state) {
        f.evaluate_rows(rows, inputs, outputs);
        benchmark::DoNotOptimize(ys.data());
    }
    state.counters["per_row"] = benchmark::Counter(
        static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The Jacobian of the W1 model in x over a million rows, every column by reverse sweeps.
void function_model_jacobian_rows(benchmark::State& state) {
    const Prediction model = prediction_model();
    const symbolic::Function f({model.x}, {model.prediction});
    const auto rows = static_cast<std::size_t>(state.range(0));
    std::vector<double> xs(rows);
    std::vector<double> jacobians(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        xs[i] = static_cast<double>(i) / static_cast<double>(rows);
    }
    const double* inputs[] = {xs.data()};
    for (auto _ : state) {
        f.jacobian_rows(rows, inputs, jacobians.data());
        benchmark::DoNotOptimize(jacobians.data());
    }
    state.counters["per_row"] = benchmark::Counter(
        static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void plain_loop_model_rows(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    std::vector<double> xs(rows);
    std::vector<double> ys(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        xs[i] = static_cast<double>(i) / static_cast<double>(rows);
    }
    for (auto _ : state) {
        for (std::size_t i = 0; i < rows; ++i) {
            ys[i] = 0.1 + 0.2 * xs[i] + 0.3 * std::sin(2.5 * xs[i]);
        }
        benchmark::DoNotOptimize(ys.data());
    }
    state.counters["per_row"] = benchmark::Counter(
        static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

constexpr int fit_sizes[] = {100, 730, 1'000, 7'300, 10'000, 100'000};
constexpr int deep_sizes[] = {1'000, 10'000, 100'000, 1'000'000};

void fit_arguments(benchmark::internal::Benchmark* b) {
    for (const int m : fit_sizes) {
        b->Arg(m);
    }
    b->ArgName("M")->Unit(benchmark::kMicrosecond);
}

void deep_arguments(benchmark::internal::Benchmark* b) {
    for (const int k : deep_sizes) {
        b->Arg(k);
    }
    b->ArgName("K")->Unit(benchmark::kMillisecond);
}

BENCHMARK(fit_build)->Apply(fit_arguments);
BENCHMARK(fit_evaluate)->Apply(fit_arguments);
BENCHMARK(fit_tape_forward)->Apply(fit_arguments);
BENCHMARK(fit_backward)->Apply(fit_arguments);
BENCHMARK(fit_zero_grad)->Apply(fit_arguments);
BENCHMARK(fit_tape_forward_reverse)->Apply(fit_arguments);
BENCHMARK(fit_compile)->Apply(fit_arguments);
BENCHMARK(fit_compiled_evaluate)->Apply(fit_arguments);
BENCHMARK(fit_compiled_backward)->Apply(fit_arguments);
BENCHMARK(deep_build)->Apply(deep_arguments);
BENCHMARK(deep_free)->Apply(deep_arguments);
BENCHMARK(deep_evaluate)->Apply(deep_arguments);
BENCHMARK(deep_backward)->Apply(deep_arguments);
BENCHMARK(deep_tape_forward_reverse)->Apply(deep_arguments);
BENCHMARK(node_create_release);
BENCHMARK(function_circle_jacobian)->Unit(benchmark::kMicrosecond);
BENCHMARK(function_model_rows)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(function_model_jacobian_rows)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(plain_loop_model_rows)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(diamond_backward)->Arg(40)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zarnik::benchmarks
