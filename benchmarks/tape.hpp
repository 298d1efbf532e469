#pragma once

// A flat tape: the benchmarks' stand-in for what the hardware can do. The
// graph is recorded once into a struct of arrays (operation codes, operand
// indices, dimensions, one array per lane); the forward and reverse passes
// are then straight loops over those arrays with no hashing, no allocation
// and no reference counting, a one-lane fast path, and a finite check of
// every result as the library makes. A baseline for the benchmarks, not
// part of the library.
//
// It knows the operations the workloads use (+ - * /, negation, sine,
// cosine, packing and components); any other operation reaching it throws,
// rather than being computed by another's rule.

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
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
            const auto at = [&](int i) { return index.at(v.input(i).id()); };
            op_.push_back(v.op());
            dim_.push_back(static_cast<std::uint8_t>(v.dimension()));
            const int inputs = v.input_count();
            if (v.op() == symbolic::ExpressionOp::Pack) {
                in0_.push_back(static_cast<std::int32_t>(packs_.size()));
                for (int k = 0; k < inputs; ++k) {
                    packs_.push_back(at(k));
                }
                in1_.push_back(0);
            } else {
                in0_.push_back(inputs > 0 ? at(0) : 0);
                in1_.push_back(inputs > 1 ? at(1) : 0);
            }
            component_.push_back(static_cast<std::int8_t>(v.component_index()));
            const std::array<double, 4> lanes = v.is_leaf() ? v.value().lanes : std::array<double, 4>{};
            for (std::size_t l = 0; l < 4; ++l) {
                value_[l].push_back(lanes[l]);
            }
            index[v.id()] = static_cast<std::int32_t>(op_.size() - 1);
        }
        for (auto& lane : adjoint_) {
            lane.resize(op_.size());
        }
    }

    std::size_t size() const { return op_.size(); }

    // Returns lane 0 of the output, or NaN when some result was not finite.
    double forward() {
        bool bad = false;
        const std::size_t n = op_.size();
        for (std::size_t i = 0; i < n; ++i) {
            const symbolic::ExpressionOp op = op_[i];
            if (op == symbolic::ExpressionOp::None) {
                continue;
            }
            const auto a = static_cast<std::size_t>(in0_[i]);
            const auto b = static_cast<std::size_t>(in1_[i]);
            if (dim_[i] == 1 && op != symbolic::ExpressionOp::Component && op != symbolic::ExpressionOp::Pack) {
                double& out = value_[0][i];
                switch (op) {
                    case symbolic::ExpressionOp::Add: out = value_[0][a] + value_[0][b]; break;
                    case symbolic::ExpressionOp::Subtract: out = value_[0][a] - value_[0][b]; break;
                    case symbolic::ExpressionOp::Multiply: out = value_[0][a] * value_[0][b]; break;
                    case symbolic::ExpressionOp::Divide: out = value_[0][a] / value_[0][b]; break;
                    case symbolic::ExpressionOp::Negate: out = -value_[0][a]; break;
                    case symbolic::ExpressionOp::Sin: out = std::sin(value_[0][a]); break;
                    case symbolic::ExpressionOp::Cos: out = std::cos(value_[0][a]); break;
                    default: unknown(op);
                }
                bad |= !finite(out);
                continue;
            }
            bad |= forward_lanes(i, op, a, b);
        }
        return bad ? std::numeric_limits<double>::quiet_NaN() : value_[0][n - 1];
    }

    // Forward, then the adjoint of every node in reverse order, seed 1 in every lane.
    const std::array<std::vector<double>, 4>& forward_reverse() {
        forward();
        const std::size_t n = op_.size();
        for (auto& lane : adjoint_) {
            std::fill(lane.begin(), lane.end(), 0.0);
            lane[n - 1] = 1.0;
        }
        for (std::size_t i = n; i-- > 0;) {
            const symbolic::ExpressionOp op = op_[i];
            if (op == symbolic::ExpressionOp::None) {
                continue;
            }
            const auto a = static_cast<std::size_t>(in0_[i]);
            const auto b = static_cast<std::size_t>(in1_[i]);
            if (dim_[i] == 1 && op != symbolic::ExpressionOp::Component && op != symbolic::ExpressionOp::Pack) {
                const double g = adjoint_[0][i];
                const double x = value_[0][a];
                const double y = value_[0][b];
                double& da = adjoint_[0][a];
                double& db = adjoint_[0][b];
                switch (op) {
                    case symbolic::ExpressionOp::Add:
                        da += g;
                        db += g;
                        break;
                    case symbolic::ExpressionOp::Subtract:
                        da += g;
                        db -= g;
                        break;
                    case symbolic::ExpressionOp::Multiply:
                        da += y * g;
                        db += g * x;
                        break;
                    case symbolic::ExpressionOp::Divide:
                        da += g / y;
                        db += -g * x / (y * y);
                        break;
                    case symbolic::ExpressionOp::Negate: da -= g; break;
                    case symbolic::ExpressionOp::Sin: da += std::cos(x) * g; break;
                    case symbolic::ExpressionOp::Cos: da -= std::sin(x) * g; break;
                    default: unknown(op);
                }
                continue;
            }
            reverse_lanes(i, op, a, b);
        }
        return adjoint_;
    }

private:
    static bool finite(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

    [[noreturn]] static void unknown(symbolic::ExpressionOp op) {
        throw std::logic_error(std::string("the flat tape has no rule here for the operation ") +
                               symbolic::to_string(op));
    }

    bool forward_lanes(std::size_t i, symbolic::ExpressionOp op, std::size_t a, std::size_t b) {
        bool bad = false;
        const std::size_t d = dim_[i];
        switch (op) {
            case symbolic::ExpressionOp::Component:
                value_[0][i] = value_[static_cast<std::size_t>(component_[i])][a];
                return !finite(value_[0][i]);
            case symbolic::ExpressionOp::Pack:
                for (std::size_t k = 0; k < d; ++k) {
                    value_[k][i] = value_[0][static_cast<std::size_t>(packs_[a + k])];
                }
                return false;
            case symbolic::ExpressionOp::None: unknown(op);
            default: break;  // lane by lane, below
        }
        const std::size_t da = dim_[a] == 1 ? 0 : 1;
        const std::size_t db = dim_[b] == 1 ? 0 : 1;
        for (std::size_t l = 0; l < d; ++l) {
            const double x = value_[l * da][a];
            const double y = value_[l * db][b];
            double& out = value_[l][i];
            switch (op) {
                case symbolic::ExpressionOp::Add: out = x + y; break;
                case symbolic::ExpressionOp::Subtract: out = x - y; break;
                case symbolic::ExpressionOp::Multiply: out = x * y; break;
                case symbolic::ExpressionOp::Divide: out = x / y; break;
                case symbolic::ExpressionOp::Negate: out = -value_[l][a]; break;
                case symbolic::ExpressionOp::Sin: out = std::sin(value_[l][a]); break;
                case symbolic::ExpressionOp::Cos: out = std::cos(value_[l][a]); break;
                default: unknown(op);
            }
            bad |= !finite(out);
        }
        return bad;
    }

    void reverse_lanes(std::size_t i, symbolic::ExpressionOp op, std::size_t a, std::size_t b) {
        const std::size_t d = dim_[i];
        switch (op) {
            case symbolic::ExpressionOp::Component:
                adjoint_[static_cast<std::size_t>(component_[i])][a] += adjoint_[0][i];
                return;
            case symbolic::ExpressionOp::Pack:
                for (std::size_t k = 0; k < d; ++k) {
                    adjoint_[0][static_cast<std::size_t>(packs_[a + k])] += adjoint_[k][i];
                }
                return;
            case symbolic::ExpressionOp::None: unknown(op);
            default: break;  // lane by lane, below
        }
        const std::size_t sa = dim_[a] == 1 ? 0 : 1;
        const std::size_t sb = dim_[b] == 1 ? 0 : 1;
        for (std::size_t l = 0; l < d; ++l) {
            const double g = adjoint_[l][i];
            switch (op) {
                case symbolic::ExpressionOp::Add:
                    adjoint_[l * sa][a] += g;
                    adjoint_[l * sb][b] += g;
                    break;
                case symbolic::ExpressionOp::Subtract:
                    adjoint_[l * sa][a] += g;
                    adjoint_[l * sb][b] -= g;
                    break;
                case symbolic::ExpressionOp::Multiply:
                    adjoint_[l * sa][a] += value_[l * sb][b] * g;
                    adjoint_[l * sb][b] += g * value_[l * sa][a];
                    break;
                case symbolic::ExpressionOp::Divide:
                    adjoint_[l * sa][a] += g / value_[l * sb][b];
                    adjoint_[l * sb][b] += -g * value_[l * sa][a] / (value_[l * sb][b] * value_[l * sb][b]);
                    break;
                case symbolic::ExpressionOp::Negate: adjoint_[l][a] -= g; break;
                case symbolic::ExpressionOp::Sin: adjoint_[l][a] += std::cos(value_[l][a]) * g; break;
                case symbolic::ExpressionOp::Cos: adjoint_[l][a] -= std::sin(value_[l][a]) * g; break;
                default: unknown(op);
            }
        }
    }

    std::vector<symbolic::ExpressionOp> op_;
    std::vector<std::uint8_t> dim_;
    std::vector<std::int32_t> in0_;
    std::vector<std::int32_t> in1_;
    std::vector<std::int8_t> component_;
    std::vector<std::int32_t> packs_;
    std::array<std::vector<double>, 4> value_;
    std::array<std::vector<double>, 4> adjoint_;
};

}  // namespace zarnik::benchmarks
