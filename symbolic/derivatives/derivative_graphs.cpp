#include "symbolic/derivatives/derivative_graphs.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "symbolic/derivatives.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/graph/graph_walk.hpp"
#include "symbolic/graph/internal.hpp"
#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic {

namespace {

// What one sweep shares with the terms it builds: one constant node per
// number the rules write (0.5, 1.0, ...), and a count of the expression
// nodes made, for sweeps with a budget.
struct Sweep {
    // A rule writes a handful of distinct numbers: a list searched in order beats a hash table.
    std::vector<std::pair<std::uint64_t, Value>> numbers;
    std::size_t made = 0;
};

thread_local Sweep* current_sweep = nullptr;

// Makes `sweep` the current one for as long as it lives.
class SweepScope {
public:
    explicit SweepScope(Sweep& sweep) : previous_(current_sweep) { current_sweep = &sweep; }
    SweepScope(const SweepScope&) = delete;
    SweepScope& operator=(const SweepScope&) = delete;
    ~SweepScope() { current_sweep = previous_; }

private:
    Sweep* previous_;
};

Value made(Value value) {
    if (current_sweep != nullptr && value.is_expression()) {
        ++current_sweep->made;
    }
    return value;
}

bool all_lanes_are(const Value& v, double number) {
    if (!v.is_constant()) {
        return false;
    }
    const SmallValue lanes = v.value();
    for (int i = 0; i < lanes.dimension; ++i) {
        if (std::bit_cast<std::uint64_t>(lanes[i]) != std::bit_cast<std::uint64_t>(number)) {
            return false;
        }
    }
    return true;
}

// A constant of zeros (of either sign): a direction that moves nothing.
bool is_zero(const Value& v) {
    if (!v.is_constant()) {
        return false;
    }
    const SmallValue lanes = v.value();
    for (int i = 0; i < lanes.dimension; ++i) {
        if (lanes[i] != 0.0) {
            return false;
        }
    }
    return true;
}

bool no_lane_is_zero(const Value& v) {
    const SmallValue lanes = v.value();
    for (int i = 0; i < lanes.dimension; ++i) {
        if (lanes[i] == 0.0) {
            return false;
        }
    }
    return true;
}

// Whether `other` combined with the constant `c` has other's own dimension,
// so that a result equal to `other` lane by lane may be `other` itself.
bool keeps_dimension(const Value& c, const Value& other) {
    return c.dimension() == 1 || c.dimension() == other.dimension();
}

// A term over constants with no finite value (the log of pow's negative base
// in its exponent's term, say) is kept as a node of its own, unfolded: the
// graph then fails where it is evaluated, as the sweep's NaN there would
// show, instead of while it is built.
template <typename Build>
Value folded_or_kept(ExpressionOp op, std::initializer_list<Value> operands, Build build) {
    try {
        return made(build());
    } catch (const std::invalid_argument&) {
        std::array<Value, 4> inputs;
        int dimension = 1;
        int count = 0;
        for (const Value& operand : operands) {
            if (!operand.is_constant()) {
                throw;
            }
            dimension = std::max(dimension, operand.dimension());
            inputs[static_cast<std::size_t>(count++)] = operand;
        }
        return made(make_expression(op, dimension, inputs, count, 0));
    }
}

// A value of a derivative graph while a sweep builds it: the rules of
// operations.hpp are written over this type as over doubles. Its operations
// are the builders, with the simplifications that change no bit of any
// result: x * 1, x / 1, -(-x), and a gate whose condition is a constant.
// (x + 0 is not among them: -0 + 0 is +0.)
class Term {
public:
    Term() = default;
    Term(Value value) : value_(std::move(value)) {}           // NOLINT: rules mix values and numbers
    Term(double number) : value_(number_constant(number)) {}  // NOLINT

    bool empty() const noexcept { return detail::NodeAccess::node(value_) == nullptr; }
    const Value& value() const noexcept { return value_; }

    friend Term operator-(const Term& x) {
        if (x.value_.op() == ExpressionOp::Negate) {
            return x.value_.input(0);
        }
        return made(-x.value_);
    }
    friend Term operator+(const Term& a, const Term& b) {
        return folded_or_kept(ExpressionOp::Add, {a.value_, b.value_}, [&] { return a.value_ + b.value_; });
    }
    friend Term operator-(const Term& a, const Term& b) {
        return folded_or_kept(ExpressionOp::Subtract, {a.value_, b.value_}, [&] { return a.value_ - b.value_; });
    }
    friend Term operator*(const Term& a, const Term& b) {
        if (all_lanes_are(a.value_, 1.0) && keeps_dimension(a.value_, b.value_)) {
            return b;
        }
        if (all_lanes_are(b.value_, 1.0) && keeps_dimension(b.value_, a.value_)) {
            return a;
        }
        if (all_lanes_are(a.value_, -1.0) && keeps_dimension(a.value_, b.value_)) {
            return -b;
        }
        if (all_lanes_are(b.value_, -1.0) && keeps_dimension(b.value_, a.value_)) {
            return -a;
        }
        return folded_or_kept(ExpressionOp::Multiply, {a.value_, b.value_}, [&] { return a.value_ * b.value_; });
    }
    friend Term operator/(const Term& a, const Term& b) {
        if (all_lanes_are(b.value_, 1.0) && keeps_dimension(b.value_, a.value_)) {
            return a;
        }
        return folded_or_kept(ExpressionOp::Divide, {a.value_, b.value_}, [&] { return a.value_ / b.value_; });
    }
    friend Term sin(const Term& x) {
        return folded_or_kept(ExpressionOp::Sin, {x.value_}, [&] { return symbolic::sin(x.value_); });
    }
    friend Term cos(const Term& x) {
        return folded_or_kept(ExpressionOp::Cos, {x.value_}, [&] { return symbolic::cos(x.value_); });
    }
    friend Term sqrt(const Term& x) {
        return folded_or_kept(ExpressionOp::Sqrt, {x.value_}, [&] { return symbolic::sqrt(x.value_); });
    }
    friend Term exp(const Term& x) {
        return folded_or_kept(ExpressionOp::Exp, {x.value_}, [&] { return symbolic::exp(x.value_); });
    }
    friend Term maximum(const Term& a, const Term& b) {
        return folded_or_kept(ExpressionOp::Maximum, {a.value_, b.value_},
                              [&] { return symbolic::maximum(a.value_, b.value_); });
    }
    friend Term log(const Term& x) {
        return folded_or_kept(ExpressionOp::Log, {x.value_}, [&] { return symbolic::log(x.value_); });
    }
    friend Term sinh(const Term& x) {
        return folded_or_kept(ExpressionOp::Sinh, {x.value_}, [&] { return symbolic::sinh(x.value_); });
    }
    friend Term cosh(const Term& x) {
        return folded_or_kept(ExpressionOp::Cosh, {x.value_}, [&] { return symbolic::cosh(x.value_); });
    }
    friend Term pow(const Term& a, const Term& b) {
        return folded_or_kept(ExpressionOp::Pow, {a.value_, b.value_},
                              [&] { return symbolic::pow(a.value_, b.value_); });
    }
    friend Term sign(const Term& x) { return made(symbolic::sign(x.value_)); }
    friend Term logical_not(const Term& x) { return made(symbolic::logical_not(x.value_)); }
    friend Term step(const Term& a, const Term& b) { return made(symbolic::step(a.value_, b.value_)); }
    friend Term gate(const Term& c, const Term& v) {
        if (c.value_.is_constant() && keeps_dimension(c.value_, v.value_)) {
            if (no_lane_is_zero(c.value_)) {
                return v;
            }
            if (all_lanes_are(c.value_, 0.0)) {
                return zeros(v.value_.dimension());
            }
        }
        return made(symbolic::gate(c.value_, v.value_));
    }

    static Term zeros(int dimension) {
        SmallValue lanes;
        lanes.dimension = dimension;
        return dimension == 1 ? Term(0.0) : Term(constant(lanes));
    }

private:
    static Value number_constant(double number) {
        if (current_sweep == nullptr) {
            return constant(number);
        }
        const auto bits = std::bit_cast<std::uint64_t>(number);
        for (const auto& [known_bits, known] : current_sweep->numbers) {
            if (known_bits == bits) {
                return known;
            }
        }
        return current_sweep->numbers.emplace_back(bits, constant(number)).second;
    }

    Value value_;
};

// A guarded node's contribution (mark_guarded in program.hpp): where(g, d, 0),
// the contribution where the adjoint g is not zero and an exact zero where it
// is, as the reverse sweep gates it. A where, not a gate: the contribution
// of a branch not taken may be non-finite (0 / 0 for log at 0), and only a
// where's branch may be without failing.
Term only_where_moving(const Term& g, const Term& d) {
    if (g.value().is_constant() && keeps_dimension(g.value(), d.value())) {
        if (no_lane_is_zero(g.value())) {
            return d;
        }
        if (all_lanes_are(g.value(), 0.0)) {
            return Term::zeros(d.value().dimension());
        }
    }
    return made(where(g.value(), d.value(), Term(0.0).value()));
}

// A lane of a constant is one of the sweep's shared numbers rather than a new node.
Term component_of(const Term& v, int lane) {
    if (v.value().is_constant() && v.value().dimension() > 1) {
        return Term(v.value().value()[lane]);
    }
    return made(component(v.value(), lane));
}

// `lanes` scalars (absent ones zero) as one value.
Term pack(const std::array<Term, 4>& lanes, int dimension) {
    std::array<Value, 4> values;
    for (std::size_t i = 0; i < static_cast<std::size_t>(dimension); ++i) {
        values[i] = lanes[i].empty() ? Term(0.0).value() : lanes[i].value();
    }
    switch (dimension) {
        case 1: return values[0];
        case 2: return made(vec2(values[0], values[1]));
        case 3: return made(vec3(values[0], values[1], values[2]));
        default: return made(vec4(values[0], values[1], values[2], values[3]));
    }
}

// A scalar copied into each of `dimension` lanes.
Term broadcast(const Term& scalar, int dimension) { return pack({scalar, scalar, scalar, scalar}, dimension); }

// The sum of what a node has gathered so far and one more contribution,
// rounded as the reverse sweep's `slot = slot + contribution`. Adding a
// negation is subtracting (a + (-c) and a - c round alike).
Term accumulate(const Term& sum, const Term& contribution) {
    if (contribution.value().op() == ExpressionOp::Negate) {
        return sum - Term(contribution.value().input(0));
    }
    return sum + contribution;
}

// A node's adjoint as the reverse sweep gathers it: nothing yet (zero), one
// value of the node's dimension, or, once single lanes have been added (by
// Component nodes), lane by lane, absent lanes zero. Each lane gets its
// contributions in the sweep's order, so that it rounds as the sweep's lane.
class Adjoint {
public:
    bool empty() const noexcept { return !split_ && whole_.empty(); }

    void add(const Term& contribution, int dimension) {
        if (split_) {
            whole_ = accumulate(pack(lanes_, dimension), contribution);
            split_ = false;
            lanes_ = {};
            return;
        }
        whole_ = whole_.empty() ? contribution : accumulate(whole_, contribution);
    }

    void add_lane(int lane, const Term& contribution, int dimension) {
        if (dimension == 1) {
            add(contribution, 1);
            return;
        }
        if (!split_) {
            if (!whole_.empty()) {
                for (int i = 0; i < dimension; ++i) {
                    lanes_[static_cast<std::size_t>(i)] = component_of(whole_, i);
                }
                whole_ = Term{};
            }
            split_ = true;
        }
        Term& slot = lanes_[static_cast<std::size_t>(lane)];
        slot = slot.empty() ? contribution : accumulate(slot, contribution);
    }

    Term whole(int dimension) const { return split_ ? pack(lanes_, dimension) : whole_; }

    // One lane; empty where nothing was added to it.
    Term lane(int lane, int dimension) const {
        if (split_) {
            return lanes_[static_cast<std::size_t>(lane)];
        }
        if (whole_.empty() || dimension == 1) {
            return whole_;
        }
        return component_of(whole_, lane);
    }

private:
    Term whole_;
    std::array<Term, 4> lanes_{};
    bool split_ = false;
};

// Whether a node keeps the invariants that its builder establishes.
bool made_by_builders(const ValueNode& node) {
    if (node.kind != ValueKind::Expression) {
        return true;
    }
    const auto input_dimension = [&node](int k) { return node.inputs[static_cast<std::size_t>(k)].node().dimension; };
    const int dim = node.dimension;
    switch (detail::shape_of(node.op)) {
        case detail::Shape::Unary: return node.input_count == 1 && input_dimension(0) == dim;
        case detail::Shape::Binary: {
            if (node.input_count != 2) {
                return false;
            }
            const int left = input_dimension(0);
            const int right = input_dimension(1);
            return (left == dim || left == 1) && (right == dim || right == 1);
        }
        case detail::Shape::Pack: {
            if (node.input_count != dim) {
                return false;
            }
            for (int k = 0; k < dim; ++k) {
                if (input_dimension(k) != 1) {
                    return false;
                }
            }
            return true;
        }
        case detail::Shape::Component:
            return node.input_count == 1 && dim == 1 && node.component_index >= 0 &&
                   node.component_index < input_dimension(0);
        case detail::Shape::Select: {
            if (node.input_count != 3) {
                return false;
            }
            for (int k = 0; k < 3; ++k) {
                if (input_dimension(k) != dim && input_dimension(k) != 1) {
                    return false;
                }
            }
            return true;
        }
        case detail::Shape::Leaf:
        case detail::Shape::Unsupported: break;
    }
    return false;
}

void require_leaf(const Value& leaf, const char* what) {
    detail::require_valid(leaf, what);
    if (!leaf.is_parameter() && !leaf.is_undefined()) {
        throw std::invalid_argument(std::string(what) + " must be a parameter or placeholder, not " +
                                    (leaf.is_constant() ? "a constant" : "an expression"));
    }
}

}  // namespace

namespace detail {

DerivativeGraph::DerivativeGraph(std::span<const Value> outputs) : outputs_(outputs.begin(), outputs.end()) {
    WalkStack stack;
    ReferenceRecorder recorder(order_);
    begin_walks(stack);
    for (const Value& output : outputs_) {
        require_valid(output, "derivative output");
        output_positions_.push_back(walk_more(output, stack, recorder));
    }
    handles_.resize(order_.nodes.size());
    for (std::size_t i = 0; i < order_.nodes.size(); ++i) {
        const ValueNode& node = *order_.nodes[i];
        if (!made_by_builders(node)) {
            throw std::invalid_argument("cannot differentiate a graph holding a node that its builders did not make (" +
                                        std::string(to_string(node.op)) + ")");
        }
        for (std::size_t k = 0; k < static_cast<std::size_t>(node.input_count); ++k) {
            Value& handle = handles_[order_.inputs[i][k]];
            if (NodeAccess::node(handle) == nullptr) {
                handle = node.inputs[k];
            }
        }
    }
    for (std::size_t j = 0; j < outputs_.size(); ++j) {
        handles_[output_positions_[j]] = outputs_[j];
    }
    std::vector<bool> needed(order_.nodes.size(), false);
    for (const std::uint32_t position : output_positions_) {
        needed[position] = true;
    }
    guarded_.assign(order_.nodes.size(), false);
    for (std::size_t i = order_.nodes.size(); i-- > 0;) {
        const ValueNode& node = *order_.nodes[i];
        if (!needed[i]) {
            guarded_[i] = true;
            continue;
        }
        for (int k = 0; k < node.input_count; ++k) {
            if (node.op != ExpressionOp::Where || k == 0) {
                needed[order_.inputs[i][static_cast<std::size_t>(k)]] = true;
            }
        }
    }
    for (std::uint32_t i = 0; i < order_.nodes.size(); ++i) {
        if (order_.nodes[i]->input_count == 0) {
            leaves_.emplace_back(order_.nodes[i], i);
        }
    }
    std::ranges::sort(leaves_, {}, &std::pair<const ValueNode*, std::uint32_t>::first);
}

std::optional<std::uint32_t> DerivativeGraph::position_of(const Value& leaf) const {
    const ValueNode* const node = &leaf.node();
    const auto found = std::ranges::lower_bound(leaves_, node, {}, &std::pair<const ValueNode*, std::uint32_t>::first);
    if (found == leaves_.end() || found->first != node) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<Value> DerivativeGraph::gradient(std::span<const Value> wrt) const {
    const Value& output = outputs_.front();
    if (output.dimension() != 1) {
        throw std::invalid_argument("a gradient needs a scalar output, not one of " +
                                    std::to_string(output.dimension()) + " lanes");
    }
    for (const Value& leaf : wrt) {
        require_leaf(leaf, "a gradient's leaf");
    }
    const std::size_t n = order_.nodes.size();
    // Only nodes that lead to a leaf of `wrt` need adjoints.
    std::vector<bool> active(n, false);
    std::size_t first = n;
    for (const Value& leaf : wrt) {
        if (const std::optional<std::uint32_t> position = position_of(leaf)) {
            active[*position] = true;
            first = std::min<std::size_t>(first, *position);
        }
    }
    for (std::size_t i = first; i < n; ++i) {
        const ValueNode& node = *order_.nodes[i];
        bool reaches = active[i];
        for (std::size_t k = 0; k < static_cast<std::size_t>(node.input_count) && !reaches; ++k) {
            reaches = active[order_.inputs[i][k]];
        }
        active[i] = reaches;
    }

    Sweep sweep;
    const SweepScope scope(sweep);
    std::vector<Adjoint> adjoints(n);
    const std::uint32_t top = output_positions_.front();
    if (active[top]) {
        adjoints[top].add(Term(1.0), 1);
    }
    for (std::size_t i = n; i-- > 0;) {
        const ValueNode& node = *order_.nodes[i];
        if (node.input_count == 0 || !active[i] || adjoints[i].empty()) {
            continue;
        }
        const int dim = node.dimension;
        const auto& inputs = order_.inputs[i];
        const auto operand = [&](std::size_t k) { return Term(handles_[inputs[k]]); };
        // Adds an operand's contribution, summing it lane by lane, in order,
        // into an operand that was broadcast.
        const auto add_into = [&](std::size_t k, const Term& contribution) {
            const std::uint32_t position = inputs[k];
            const int operand_dim = order_.nodes[position]->dimension;
            if (operand_dim == contribution.value().dimension()) {
                adjoints[position].add(contribution, operand_dim);
                return;
            }
            for (int lane = 0; lane < contribution.value().dimension(); ++lane) {
                adjoints[position].add(component_of(contribution, lane), operand_dim);
            }
        };
        switch (shape_of(node.op)) {
            case Shape::Unary:
                with_rule(node.op, [&]<typename R>(R) {
                    if constexpr (R::shape == Shape::Unary) {
                        if constexpr (!R::flat) {
                            if (active[inputs[0]]) {
                                const Term g = adjoints[i].whole(dim);
                                const Term d = R::template derivative<Term>(operand(0), Term(handles_[i]), g);
                                add_into(0, guarded_[i] ? only_where_moving(g, d) : d);
                            }
                        }
                    }
                });
                break;
            case Shape::Binary:
                with_rule(node.op, [&]<typename R>(R) {
                    if constexpr (R::shape == Shape::Binary) {
                        const Wanted wanted{!R::flat_a && active[inputs[0]], !R::flat_b && active[inputs[1]]};
                        if (!wanted.a && !wanted.b) {
                            return;
                        }
                        const Term g = adjoints[i].whole(dim);
                        const Partials<Term> d =
                            R::template derivative<Term>(operand(0), operand(1), Term(handles_[i]), g, wanted);
                        if (wanted.a) {
                            add_into(0, guarded_[i] ? only_where_moving(g, d.a) : d.a);
                        }
                        if (wanted.b) {
                            add_into(1, guarded_[i] ? only_where_moving(g, d.b) : d.b);
                        }
                    }
                });
                break;
            case Shape::Select: {
                const Wanted wanted{active[inputs[1]], active[inputs[2]]};
                if (!wanted.a && !wanted.b) {
                    break;
                }
                const Partials<Term> d =
                    Rule<ExpressionOp::Where>::derivative<Term>(operand(0), adjoints[i].whole(dim), wanted);
                if (wanted.a) {
                    add_into(1, d.a);
                }
                if (wanted.b) {
                    add_into(2, d.b);
                }
                break;
            }
            case Shape::Pack:
                for (int k = 0; k < node.input_count; ++k) {
                    const std::uint32_t position = inputs[static_cast<std::size_t>(k)];
                    const Term lane = adjoints[i].lane(k, dim);
                    if (active[position] && !lane.empty()) {
                        adjoints[position].add(lane, 1);
                    }
                }
                break;
            case Shape::Component: {
                const std::uint32_t position = inputs[0];
                adjoints[position].add_lane(node.component_index, adjoints[i].whole(1),
                                            order_.nodes[position]->dimension);
                break;
            }
            case Shape::Leaf:
            case Shape::Unsupported: break;
        }
    }

    std::vector<Value> gradients;
    gradients.reserve(wrt.size());
    for (const Value& leaf : wrt) {
        const std::optional<std::uint32_t> position = position_of(leaf);
        if (!position || adjoints[*position].empty()) {
            gradients.push_back(Term::zeros(leaf.dimension()).value());
            continue;
        }
        // As backward adds the sweep's adjoint into a cleared gradient: 0 + adjoint.
        gradients.push_back((Term(0.0) + adjoints[*position].whole(leaf.dimension())).value());
    }
    return gradients;
}

std::optional<std::vector<Value>> DerivativeGraph::tangents(std::span<const Value> wrt,
                                                            std::span<const Value> directions,
                                                            std::size_t& budget) const {
    if (wrt.size() != directions.size()) {
        throw std::invalid_argument("directional derivatives need one direction per leaf, not " +
                                    std::to_string(directions.size()) + " for " + std::to_string(wrt.size()));
    }
    const std::size_t n = order_.nodes.size();
    std::vector<Term> tangents(n);
    // Nodes before the first moving leaf cannot depend on it.
    std::size_t first = n;
    std::vector<const ValueNode*> seen;
    seen.reserve(wrt.size());
    for (std::size_t j = 0; j < wrt.size(); ++j) {
        require_leaf(wrt[j], "a directional derivative's leaf");
        require_valid(directions[j], "a direction");
        seen.push_back(&wrt[j].node());
    }
    std::ranges::sort(seen);
    if (std::ranges::adjacent_find(seen) != seen.end()) {
        throw std::invalid_argument("directional derivatives need distinct leaves");
    }
    for (std::size_t j = 0; j < wrt.size(); ++j) {
        if (directions[j].dimension() != wrt[j].dimension()) {
            throw std::invalid_argument("a direction must have its leaf's " + std::to_string(wrt[j].dimension()) +
                                        " lanes, not " + std::to_string(directions[j].dimension()));
        }
        if (const std::optional<std::uint32_t> position = position_of(wrt[j]); position && !is_zero(directions[j])) {
            tangents[*position] = directions[j];
            first = std::min<std::size_t>(first, *position);
        }
    }

    Sweep sweep;
    const SweepScope scope(sweep);
    for (std::size_t i = first; i < n; ++i) {
        const ValueNode& node = *order_.nodes[i];
        const auto& inputs = order_.inputs[i];
        const auto tangent_of = [&](std::size_t k) -> const Term& { return tangents[inputs[k]]; };
        // Most nodes of a sweep along one lane are reached by none of it.
        bool moves = false;
        for (std::size_t k = 0; k < static_cast<std::size_t>(node.input_count) && !moves; ++k) {
            moves = !tangent_of(k).empty();
        }
        if (!moves) {
            continue;
        }
        const int dim = node.dimension;
        const auto operand = [&](std::size_t k) { return Term(handles_[inputs[k]]); };
        Term tangent;
        switch (shape_of(node.op)) {
            case Shape::Unary:
                with_rule(node.op, [&]<typename R>(R) {
                    if constexpr (R::shape == Shape::Unary) {
                        if constexpr (!R::flat) {
                            if (!tangent_of(0).empty()) {
                                tangent = R::template derivative<Term>(operand(0), Term(handles_[i]), tangent_of(0));
                            }
                        }
                    }
                });
                break;
            case Shape::Binary:
                with_rule(node.op, [&]<typename R>(R) {
                    if constexpr (R::shape == Shape::Binary) {
                        const Term y(handles_[i]);
                        if (!R::flat_a && !tangent_of(0).empty()) {
                            tangent = R::template derivative<Term>(operand(0), operand(1), y, tangent_of(0),
                                                                   Wanted{true, false})
                                          .a;
                        }
                        if (!R::flat_b && !tangent_of(1).empty()) {
                            const Term part = R::template derivative<Term>(operand(0), operand(1), y, tangent_of(1),
                                                                           Wanted{false, true})
                                                  .b;
                            tangent = tangent.empty() ? part : accumulate(tangent, part);
                        }
                    }
                });
                if (!tangent.empty() && tangent.value().dimension() < dim) {
                    tangent = broadcast(tangent, dim);
                }
                break;
            case Shape::Pack: {
                std::array<Term, 4> lanes{};
                bool any = false;
                for (std::size_t k = 0; k < static_cast<std::size_t>(dim); ++k) {
                    lanes[k] = tangent_of(k);
                    any = any || !lanes[k].empty();
                }
                if (any) {
                    tangent = pack(lanes, dim);
                }
                break;
            }
            case Shape::Component:
                if (!tangent_of(0).empty()) {
                    tangent = component_of(tangent_of(0), node.component_index);
                }
                break;
            case Shape::Select: {
                // where(c, ta, tb), an exact zero for a branch that does not
                // move: the tangent of a branch not taken may be non-finite.
                if (tangent_of(1).empty() && tangent_of(2).empty()) {
                    break;  // only the condition moves, which passes nothing on
                }
                const Term ta = tangent_of(1).empty() ? Term(0.0) : tangent_of(1);
                const Term tb = tangent_of(2).empty() ? Term(0.0) : tangent_of(2);
                tangent = made(where(operand(0).value(), ta.value(), tb.value()));
                break;
            }
            case Shape::Leaf:
            case Shape::Unsupported: break;
        }
        if (!tangent.empty() && !is_zero(tangent.value())) {
            tangents[i] = std::move(tangent);
        }
        if (sweep.made > budget) {
            return std::nullopt;
        }
    }
    budget -= sweep.made;

    std::vector<Value> results;
    results.reserve(outputs_.size());
    for (std::size_t j = 0; j < outputs_.size(); ++j) {
        const Term& tangent = tangents[output_positions_[j]];
        results.push_back(tangent.empty() ? Term::zeros(outputs_[j].dimension()).value() : tangent.value());
    }
    return results;
}

}  // namespace detail

std::vector<Value> gradient(const Value& output, std::span<const Value> wrt) {
    detail::require_valid(output, "a gradient's output");
    for (const Value& leaf : wrt) {
        require_leaf(leaf, "a gradient's leaf");
    }
    if (output.dimension() != 1) {
        throw std::invalid_argument("a gradient needs a scalar output, not one of " +
                                    std::to_string(output.dimension()) + " lanes");
    }
    return detail::DerivativeGraph(std::span<const Value>(&output, 1)).gradient(wrt);
}

std::vector<Value> gradient(const Value& output, std::initializer_list<Value> wrt) {
    return gradient(output, std::span<const Value>(wrt.begin(), wrt.size()));
}

std::vector<Value> directional_derivatives(std::span<const Value> outputs, std::span<const Value> wrt,
                                           std::span<const Value> directions) {
    std::size_t unlimited = std::numeric_limits<std::size_t>::max();
    return *detail::DerivativeGraph(outputs).tangents(wrt, directions, unlimited);
}

}  // namespace zarnik::symbolic
