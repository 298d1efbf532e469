#pragma once

// A flat tape: the benchmarks' stand-in for the hardware's floor. The graph is
// recorded once into arrays (post order, op codes, input indices, lanes); the
// forward and reverse passes are then straight loops over those arrays with no
// hashing, no allocation and no reference counting. It is a baseline for the
// benchmarks, not part of the library.

#include <array>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "symbolic/symbolic.hpp"

namespace zarnik::benchmarks {

class Tape {
public:
    explicit Tape(const symbolic::Value& root) {
        std::unordered_map<std::uint64_t, std::int32_t> index;
        struct Frame {
            const symbolic::Value* value;
            int next;
        };
        std::vector<Frame> stack{{&root, 0}};
        index.emplace(root.id(), -1);
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next < top.value->input_count()) {
                const symbolic::Value& input = top.value->input(top.next++);
                if (index.emplace(input.id(), -1).second) {
                    stack.push_back({&input, 0});
                }
                continue;
            }
            const symbolic::Value& v = *top.value;
            stack.pop_back();
            Instruction instruction{};
            instruction.op = v.op();
            instruction.dimension = v.dimension();
            instruction.input_count = v.input_count();
            instruction.component = v.component_index();
            for (int i = 0; i < v.input_count(); ++i) {
                instruction.inputs[static_cast<std::size_t>(i)] = index.at(v.input(i).id());
            }
            index[v.id()] = static_cast<std::int32_t>(code_.size());
            code_.push_back(instruction);
            values_.push_back(v.is_leaf() ? v.value().lanes : std::array<double, 4>{});
        }
        adjoints_.resize(code_.size());
    }

    std::size_t size() const { return code_.size(); }

    const std::array<double, 4>& forward() {
        for (std::size_t i = 0; i < code_.size(); ++i) {
            const Instruction& in = code_[i];
            if (in.op == symbolic::ExpressionOp::None) {
                continue;
            }
            std::array<double, 4>& out = values_[i];
            const auto& x = values_[static_cast<std::size_t>(in.inputs[0])];
            const int xd = code_[static_cast<std::size_t>(in.inputs[0])].dimension;
            switch (in.op) {
                case symbolic::ExpressionOp::Negate: for_lanes(in, [&](std::size_t l) { out[l] = -x[l]; }); break;
                case symbolic::ExpressionOp::Sin: for_lanes(in, [&](std::size_t l) { out[l] = std::sin(x[l]); }); break;
                case symbolic::ExpressionOp::Cos: for_lanes(in, [&](std::size_t l) { out[l] = std::cos(x[l]); }); break;
                case symbolic::ExpressionOp::Component: out[0] = x[static_cast<std::size_t>(in.component)]; break;
                case symbolic::ExpressionOp::Pack:
                    for (int k = 0; k < in.input_count; ++k) {
                        out[static_cast<std::size_t>(k)] = values_[static_cast<std::size_t>(in.inputs[static_cast<std::size_t>(k)])][0];
                    }
                    break;
                default: {
                    const auto& y = values_[static_cast<std::size_t>(in.inputs[1])];
                    const int yd = code_[static_cast<std::size_t>(in.inputs[1])].dimension;
                    for_lanes(in, [&](std::size_t l) {
                        const double a = xd == 1 ? x[0] : x[l];
                        const double b = yd == 1 ? y[0] : y[l];
                        switch (in.op) {
                            case symbolic::ExpressionOp::Add: out[l] = a + b; break;
                            case symbolic::ExpressionOp::Subtract: out[l] = a - b; break;
                            case symbolic::ExpressionOp::Multiply: out[l] = a * b; break;
                            default: out[l] = a / b; break;
                        }
                    });
                }
            }
        }
        return values_.back();
    }

    // Forward, then the adjoint of every node in reverse order, seed 1 in every lane.
    const std::vector<std::array<double, 4>>& forward_reverse() {
        forward();
        for (auto& adjoint : adjoints_) {
            adjoint = {};
        }
        adjoints_.back() = {1.0, 1.0, 1.0, 1.0};
        for (std::size_t i = code_.size(); i-- > 0;) {
            const Instruction& in = code_[i];
            if (in.op == symbolic::ExpressionOp::None) {
                continue;
            }
            const auto& g = adjoints_[i];
            const auto i0 = static_cast<std::size_t>(in.inputs[0]);
            auto& gx = adjoints_[i0];
            const auto& x = values_[i0];
            switch (in.op) {
                case symbolic::ExpressionOp::Negate: for_lanes(in, [&](std::size_t l) { gx[l] -= g[l]; }); break;
                case symbolic::ExpressionOp::Sin: for_lanes(in, [&](std::size_t l) { gx[l] += std::cos(x[l]) * g[l]; }); break;
                case symbolic::ExpressionOp::Cos: for_lanes(in, [&](std::size_t l) { gx[l] -= std::sin(x[l]) * g[l]; }); break;
                case symbolic::ExpressionOp::Component: gx[static_cast<std::size_t>(in.component)] += g[0]; break;
                case symbolic::ExpressionOp::Pack:
                    for (int k = 0; k < in.input_count; ++k) {
                        adjoints_[static_cast<std::size_t>(in.inputs[static_cast<std::size_t>(k)])][0] += g[static_cast<std::size_t>(k)];
                    }
                    break;
                default: {
                    const auto i1 = static_cast<std::size_t>(in.inputs[1]);
                    auto& gy = adjoints_[i1];
                    const auto& y = values_[i1];
                    const bool xs = code_[i0].dimension == 1;
                    const bool ys = code_[i1].dimension == 1;
                    for_lanes(in, [&](std::size_t l) {
                        const double a = xs ? x[0] : x[l];
                        const double b = ys ? y[0] : y[l];
                        double& da = gx[xs ? 0 : l];
                        double& db = gy[ys ? 0 : l];
                        switch (in.op) {
                            case symbolic::ExpressionOp::Add: da += g[l]; db += g[l]; break;
                            case symbolic::ExpressionOp::Subtract: da += g[l]; db -= g[l]; break;
                            case symbolic::ExpressionOp::Multiply: da += b * g[l]; db += g[l] * a; break;
                            default: da += g[l] / b; db += -g[l] * a / (b * b); break;
                        }
                    });
                }
            }
        }
        return adjoints_;
    }

private:
    struct Instruction {
        symbolic::ExpressionOp op;
        std::int32_t dimension;
        std::int32_t input_count;
        std::int32_t component;
        std::array<std::int32_t, 4> inputs;
    };

    template <typename Body>
    static void for_lanes(const Instruction& in, Body&& body) {
        for (std::size_t l = 0; l < static_cast<std::size_t>(in.dimension); ++l) {
            body(l);
        }
    }

    std::vector<Instruction> code_;
    std::vector<std::array<double, 4>> values_;
    std::vector<std::array<double, 4>> adjoints_;
};

}  // namespace zarnik::benchmarks
