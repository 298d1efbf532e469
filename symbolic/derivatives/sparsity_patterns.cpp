// The structural patterns of a compiled function's Jacobian and Hessian, from
// its program, lane by lane.

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "symbolic/graph/operations.hpp"
#include "symbolic/program/function_program.hpp"
#include "symbolic/program/program.hpp"
#include "symbolic/sparsity.hpp"

namespace zarnik::symbolic {

namespace reach {

// Which operands a value depends on, as the bits of a mask: the derivative
// rules of `Operations`, run over this type instead of doubles or graph
// values, tell which operands each first derivative depends on, so that the
// Hessian's couplings come from the same rules the sweeps run, not a second
// list of which operation is linear in what.
struct Reach {
    std::uint8_t mask = 0;
};

constexpr std::uint8_t operand_a = 1;  // a unary operation's x, or a binary one's a
constexpr std::uint8_t operand_b = 2;

inline Reach reach_of(const Reach& value) noexcept { return value; }
inline Reach reach_of(double) noexcept { return {}; }

template <typename L, typename R>
Reach joined(const L& left, const R& right) noexcept {
    return {static_cast<std::uint8_t>(reach_of(left).mask | reach_of(right).mask)};
}

inline Reach operator-(const Reach& x) noexcept { return x; }
template <typename R>
Reach operator+(const Reach& l, const R& r) noexcept {
    return joined(l, r);
}
inline Reach operator+(double, const Reach& r) noexcept { return r; }
template <typename R>
Reach operator-(const Reach& l, const R& r) noexcept {
    return joined(l, r);
}
inline Reach operator-(double, const Reach& r) noexcept { return r; }
template <typename R>
Reach operator*(const Reach& l, const R& r) noexcept {
    return joined(l, r);
}
inline Reach operator*(double, const Reach& r) noexcept { return r; }
template <typename R>
Reach operator/(const Reach& l, const R& r) noexcept {
    return joined(l, r);
}
inline Reach operator/(double, const Reach& r) noexcept { return r; }

inline Reach sin(const Reach& x) noexcept { return x; }
inline Reach cos(const Reach& x) noexcept { return x; }
inline Reach sqrt(const Reach& x) noexcept { return x; }
inline Reach exp(const Reach& x) noexcept { return x; }
inline Reach log(const Reach& x) noexcept { return x; }
inline Reach sinh(const Reach& x) noexcept { return x; }
inline Reach cosh(const Reach& x) noexcept { return x; }
template <typename L, typename R>
Reach pow(const L& a, const R& b) noexcept {
    return joined(a, b);
}
template <typename L, typename R>
Reach maximum(const L& a, const R& b) noexcept {
    return joined(a, b);
}
// The flat operations depend on nothing to first order; gate is flat in its condition.
inline Reach sign(const Reach&) noexcept { return {}; }
template <typename L, typename R>
Reach step(const L&, const R&) noexcept {
    return {};
}
template <typename L, typename R>
Reach gate(const L&, const R& value) noexcept {
    return reach_of(value);
}

}  // namespace reach

namespace {

using reach::operand_a;
using reach::operand_b;
using reach::Reach;

// Per operation: which operands pass a first derivative on (not flat), and
// which operands each of those first derivatives depends on.
struct Coupling {
    bool passes_a = false;
    bool passes_b = false;
    std::uint8_t a_on = 0;  // d(result)/da depends on these operands
    std::uint8_t b_on = 0;
};

std::array<Coupling, 256> couplings() {
    std::array<Coupling, 256> table{};
    detail::Operations::any([&table]<typename R>(R) {
        Coupling& c = table[static_cast<std::size_t>(detail::rule_op<R>)];
        if constexpr (R::shape == detail::Shape::Unary) {
            const Reach x{operand_a};
            c.passes_a = !R::flat;
            c.a_on = R::flat ? 0 : R::derivative(x, x, Reach{}).mask;
        } else if constexpr (R::shape == detail::Shape::Binary) {
            const Reach a{operand_a};
            const Reach b{operand_b};
            const Reach y{operand_a | operand_b};
            const detail::Partials<Reach> d = R::derivative(a, b, y, Reach{}, detail::Wanted{});
            c.passes_a = !R::flat_a;
            c.passes_b = !R::flat_b;
            c.a_on = R::flat_a ? 0 : d.a.mask;
            c.b_on = R::flat_b ? 0 : d.b.mask;
        }
        return false;
    });
    return table;
}

const std::array<Coupling, 256>& coupling_table() {
    static const std::array<Coupling, 256> table = couplings();
    return table;
}

using Set = std::vector<std::uint32_t>;  // sorted column indices

Set united(const Set& left, const Set& right) {
    if (left.empty()) {
        return right;
    }
    if (right.empty() || &left == &right) {
        return left;
    }
    Set out;
    out.reserve(left.size() + right.size());
    std::ranges::set_union(left, right, std::back_inserter(out));
    return out;
}

// `into` with `more`'s columns: appended when they all follow its own.
Set joined(Set into, const Set& more) {
    if (more.empty()) {
        return into;
    }
    if (into.empty() || more.front() > into.back()) {
        into.insert(into.end(), more.begin(), more.end());
        return into;
    }
    return united(into, more);
}

// The number of columns `wrt` makes, and the program lanes of its inputs
// with the column each one is.
struct Columns {
    std::size_t count = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lanes;  // (program lane, column), for regular programs
};

Columns columns_of(const detail::FunctionProgram& f, std::span<const std::size_t> wrt) {
    Columns columns;
    std::vector<bool> taken(f.inputs.size(), false);
    for (const std::size_t k : wrt) {
        if (k >= f.inputs.size()) {
            throw std::invalid_argument("a sparse derivative's input " + std::to_string(k) +
                                        " is not one of the function's " + detail::count_of(f.inputs.size(), "input"));
        }
        if (taken[k]) {
            throw std::invalid_argument("a sparse derivative's inputs must be distinct");
        }
        taken[k] = true;
        for (int l = 0; l < f.input_dims[k]; ++l) {
            const std::uint32_t lane =
                f.regular ? detail::offset_of(f.input_places[k]) + static_cast<std::uint32_t>(l) : 0;
            columns.lanes.emplace_back(lane, static_cast<std::uint32_t>(columns.count++));
        }
    }
    return columns;
}

// The lanes each instruction reads, for one result lane: (operand lane, which operand).
template <typename Visit>
void operand_lanes(const detail::Program& program, const detail::Instruction& in, std::uint32_t l, Visit&& visit) {
    switch (detail::shape_of(in.code)) {
        case detail::Shape::Binary:
            visit(in.a + ((in.flags & detail::Instruction::broadcast_a) != 0 ? 0U : l), operand_a);
            visit(in.b + ((in.flags & detail::Instruction::broadcast_b) != 0 ? 0U : l), operand_b);
            return;
        case detail::Shape::Unary: visit(in.a + l, operand_a); return;
        case detail::Shape::Pack: visit(program.pack_inputs[in.a + l], operand_a); return;
        case detail::Shape::Component: visit(in.a + in.arg, operand_a); return;
        case detail::Shape::Select:
            // The branches; the condition passes no derivative on.
            visit(detail::select_lane(in, program.pack_inputs.data(), 1, l), operand_a);
            visit(detail::select_lane(in, program.pack_inputs.data(), 2, l), operand_b);
            return;
        case detail::Shape::Leaf:
        case detail::Shape::Unsupported: return;
    }
}

// Whether the result's lane passes a first derivative on to the operand.
bool passes(const detail::Instruction& in, std::uint8_t operand) {
    const detail::Shape shape = detail::shape_of(in.code);
    if (shape == detail::Shape::Pack || shape == detail::Shape::Component || shape == detail::Shape::Select) {
        return true;  // where is linear in its branches
    }
    const Coupling& c = coupling_table()[static_cast<std::uint8_t>(detail::op_of(in.code))];
    return operand == operand_a ? c.passes_a : c.passes_b;
}

// Every lane's set of columns, found in one pass over the program; `visit(in,
// l, sets)` sees each instruction's result lane l with its operands' sets
// (before they may be freed). A lane's set is freed after its last reader
// unless `keep` holds it (the outputs').
class Propagation {
public:
    Propagation(const detail::FunctionProgram& f, const Columns& columns)
        : f_(f), sets_(f.program.lanes.size()), last_(f.program.lanes.size(), 0) {
        for (const auto& [lane, column] : columns.lanes) {
            sets_[lane] = Set{column};
        }
        const auto& code = f.program.code;
        for (std::size_t index = 0; index < code.size(); ++index) {
            for (std::uint32_t l = 0; l < code[index].dim; ++l) {
                operand_lanes(f.program, code[index], l, [&](std::uint32_t lane, std::uint8_t) {
                    last_[lane] = static_cast<std::uint32_t>(index + 1);
                });
            }
        }
        for (std::size_t j = 0; j < f.outputs.size(); ++j) {
            for (int l = 0; l < f.output_dims[j]; ++l) {
                last_[detail::offset_of(f.output_places[j]) + static_cast<std::uint32_t>(l)] =
                    std::numeric_limits<std::uint32_t>::max();
            }
        }
    }

    template <typename Visit>
    void run(Visit&& visit) {
        const auto& code = f_.program.code;
        for (std::size_t index = 0; index < code.size(); ++index) {
            const detail::Instruction& in = code[index];
            for (std::uint32_t l = 0; l < in.dim; ++l) {
                visit(in, l, sets_);
                sets_[in.out + l] = result_of(in, index, l);
            }
            for (std::uint32_t l = 0; l < in.dim; ++l) {
                operand_lanes(f_.program, in, l, [&](std::uint32_t lane, std::uint8_t) {
                    if (last_[lane] == index + 1) {
                        Set().swap(sets_[lane]);
                    }
                });
            }
        }
    }

    const Set& set(std::uint32_t lane) const { return sets_[lane]; }

private:
    // The union of the sets of the operands that pass a derivative on. The
    // largest set of an operand read for the last time here is taken, not
    // copied, and the others joined to it: a sum built term by term, whose
    // partial sums each hold one more column, costs the terms' columns, not
    // the square of their count.
    Set result_of(const detail::Instruction& in, std::size_t index, std::uint32_t l) {
        std::array<std::uint32_t, 2> lanes{};
        std::size_t count = 0;
        operand_lanes(f_.program, in, l, [&](std::uint32_t lane, std::uint8_t operand) {
            if (passes(in, operand)) {
                lanes[count++] = lane;
            }
        });
        // A lane read for the last time by a one-lane result, and read once.
        const auto last_read = [&](std::size_t k) {
            return in.dim == 1 && last_[lanes[k]] == index + 1 && (count == 1 || lanes[0] != lanes[1]);
        };
        std::optional<std::size_t> taken;
        for (std::size_t k = 0; k < count; ++k) {
            if (last_read(k) && (!taken || sets_[lanes[k]].size() > sets_[lanes[*taken]].size())) {
                taken = k;
            }
        }
        Set result;
        if (taken) {
            result = std::move(sets_[lanes[*taken]]);
        }
        for (std::size_t k = 0; k < count; ++k) {
            if (k != taken) {
                result = joined(std::move(result), sets_[lanes[k]]);
            }
        }
        return result;
    }

    const detail::FunctionProgram& f_;
    std::vector<Set> sets_;
    std::vector<std::uint32_t> last_;
};

// The pattern whose column c holds rows `rows_of[c]` (each sorted, without repeats).
SparsityPattern from_columns(std::size_t rows, const std::vector<Set>& rows_of) {
    SparsityPattern pattern;
    pattern.rows = rows;
    pattern.columns = rows_of.size();
    pattern.column_starts.reserve(rows_of.size() + 1);
    pattern.column_starts.push_back(0);
    for (std::size_t c = 0; c < rows_of.size(); ++c) {
        for (const std::uint32_t r : rows_of[c]) {
            pattern.row_indices.push_back(r);
            pattern.column_indices.push_back(c);
        }
        pattern.column_starts.push_back(pattern.row_indices.size());
    }
    return pattern;
}

SparsityPattern dense(std::size_t rows, std::size_t columns) {
    Set all(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        all[r] = static_cast<std::uint32_t>(r);
    }
    return from_columns(rows, std::vector<Set>(columns, all));
}

}  // namespace

SparsityPattern jacobian_sparsity(const Function& function, std::span<const std::size_t> wrt) {
    const detail::FunctionProgram& f = detail::FunctionAccess::program(function);
    const Columns columns = columns_of(f, wrt);
    if (!f.regular) {
        // A graph that the builders did not make: every entry may be non-zero.
        return dense(f.output_lanes, columns.count);
    }
    Propagation propagation(f, columns);
    propagation.run([](const detail::Instruction&, std::uint32_t, const std::vector<Set>&) {});
    std::vector<Set> rows_of(columns.count);
    std::uint32_t row = 0;
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        for (int l = 0; l < f.output_dims[j]; ++l, ++row) {
            for (const std::uint32_t c :
                 propagation.set(detail::offset_of(f.output_places[j]) + static_cast<std::uint32_t>(l))) {
                rows_of[c].push_back(row);
            }
        }
    }
    return from_columns(f.output_lanes, rows_of);
}

SparsityPattern hessian_sparsity(const Function& function, std::span<const std::size_t> wrt) {
    const detail::FunctionProgram& f = detail::FunctionAccess::program(function);
    const Columns columns = columns_of(f, wrt);
    if (!f.regular) {
        return dense(columns.count, columns.count);
    }
    const detail::Program& program = f.program;
    // The lanes whose first derivative reaches an output: only their
    // operations' second derivatives are part of the Hessian.
    std::vector<bool> live(program.lanes.size(), false);
    for (std::size_t j = 0; j < f.outputs.size(); ++j) {
        for (int l = 0; l < f.output_dims[j]; ++l) {
            live[detail::offset_of(f.output_places[j]) + static_cast<std::uint32_t>(l)] = true;
        }
    }
    for (auto in = program.code.rbegin(); in != program.code.rend(); ++in) {
        for (std::uint32_t l = 0; l < in->dim; ++l) {
            if (live[in->out + l]) {
                operand_lanes(program, *in, l, [&](std::uint32_t lane, std::uint8_t operand) {
                    if (passes(*in, operand)) {
                        live[lane] = true;
                    }
                });
            }
        }
    }

    std::vector<Set> coupled(columns.count);
    std::vector<std::size_t> tidy(columns.count, 0);  // each list's size when last sorted
    const auto add = [&coupled, &tidy](const Set& from, const Set& to) {
        for (const std::uint32_t i : from) {
            Set& list = coupled[i];
            list.insert(list.end(), to.begin(), to.end());
            // Sorted and thinned whenever it doubles: amortised, a list never
            // holds more than twice its distinct entries plus the last set added.
            if (list.size() > 2 * tidy[i] + 8) {
                std::ranges::sort(list);
                list.erase(std::unique(list.begin(), list.end()), list.end());
                tidy[i] = list.size();
            }
        }
    };
    const auto couple = [&add](const Set& x, const Set& y) {
        add(x, y);
        if (&x != &y && x != y) {
            add(y, x);
        }
    };
    Propagation propagation(f, columns);
    propagation.run([&](const detail::Instruction& in, std::uint32_t l, const std::vector<Set>& sets) {
        if (!live[in.out + l]) {
            return;
        }
        const detail::Shape shape = detail::shape_of(in.code);
        if (shape != detail::Shape::Unary && shape != detail::Shape::Binary) {
            return;
        }
        const Coupling& c = coupling_table()[static_cast<std::uint8_t>(detail::op_of(in.code))];
        std::array<const Set*, 2> operand_sets{};
        operand_lanes(program, in, l, [&](std::uint32_t lane, std::uint8_t operand) {
            operand_sets[operand == operand_a ? 0 : 1] = &sets[lane];
        });
        const std::array<std::uint8_t, 2> on{c.a_on, c.b_on};
        for (std::size_t o = 0; o < 2; ++o) {
            if (operand_sets[o] == nullptr || operand_sets[o]->empty()) {
                continue;
            }
            for (std::size_t m = 0; m < 2; ++m) {
                if ((on[o] & (m == 0 ? operand_a : operand_b)) != 0 && operand_sets[m] != nullptr) {
                    couple(*operand_sets[o], *operand_sets[m]);
                }
            }
        }
    });
    for (Set& list : coupled) {
        std::ranges::sort(list);
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    return from_columns(columns.count, coupled);
}

}  // namespace zarnik::symbolic
