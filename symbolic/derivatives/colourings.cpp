// Greedy colourings of sparsity patterns, for compressed Jacobians and Hessians.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "symbolic/sparsity.hpp"

namespace zarnik::symbolic {

namespace {

constexpr std::uint32_t uncoloured = std::numeric_limits<std::uint32_t>::max();

// The pattern's entries row by row: the columns of row r at [starts[r], starts[r + 1]).
struct ByRow {
    std::vector<std::size_t> starts;
    std::vector<std::size_t> columns;
};

ByRow by_row(const SparsityPattern& pattern) {
    ByRow rows;
    rows.starts.assign(pattern.rows + 1, 0);
    for (const std::size_t r : pattern.row_indices) {
        ++rows.starts[r + 1];
    }
    for (std::size_t r = 0; r < pattern.rows; ++r) {
        rows.starts[r + 1] += rows.starts[r];
    }
    rows.columns.resize(pattern.entries());
    std::vector<std::size_t> next(rows.starts.begin(), rows.starts.end() - 1);
    for (std::size_t c = 0; c < pattern.columns; ++c) {
        for (std::size_t e = pattern.column_starts[c]; e < pattern.column_starts[c + 1]; ++e) {
            rows.columns[next[pattern.row_indices[e]]++] = c;
        }
    }
    return rows;
}

// The colours that the vertex being coloured may not take, marked with its
// number plus one, so that no mark is cleared between vertices.
class Forbidden {
public:
    void start(std::size_t vertex) { stamp_ = vertex + 1; }
    void forbid(std::uint32_t colour) {
        if (colour == uncoloured) {
            return;
        }
        if (colour >= marks_.size()) {
            marks_.resize(colour + 1, 0);
        }
        marks_[colour] = stamp_;
    }
    std::uint32_t smallest_allowed() const {
        std::uint32_t colour = 0;
        while (colour < marks_.size() && marks_[colour] == stamp_) {
            ++colour;
        }
        return colour;
    }

private:
    std::vector<std::size_t> marks_;
    std::size_t stamp_ = 0;
};

// Distance-2 colouring of the columns of a pattern given both ways: columns
// that share a row differ.
Colouring distance_two(std::size_t count, const std::vector<std::size_t>& own_starts,
                       const std::vector<std::size_t>& own_others, const std::vector<std::size_t>& other_starts,
                       const std::vector<std::size_t>& other_own) {
    Colouring result;
    result.colours.assign(count, uncoloured);
    Forbidden forbidden;
    for (std::size_t v = 0; v < count; ++v) {
        forbidden.start(v);
        for (std::size_t e = own_starts[v]; e < own_starts[v + 1]; ++e) {
            const std::size_t shared = own_others[e];
            for (std::size_t f = other_starts[shared]; f < other_starts[shared + 1]; ++f) {
                forbidden.forbid(result.colours[other_own[f]]);
            }
        }
        result.colours[v] = forbidden.smallest_allowed();
        result.count = std::max(result.count, result.colours[v] + 1);
    }
    return result;
}

}  // namespace

Colouring column_colouring(const SparsityPattern& pattern) {
    const ByRow rows = by_row(pattern);
    return distance_two(pattern.columns, pattern.column_starts, pattern.row_indices, rows.starts, rows.columns);
}

Colouring row_colouring(const SparsityPattern& pattern) {
    const ByRow rows = by_row(pattern);
    return distance_two(pattern.rows, rows.starts, rows.columns, pattern.column_starts, pattern.row_indices);
}

Colouring star_colouring(const SparsityPattern& pattern) {
    const std::size_t n = pattern.columns;
    const auto& starts = pattern.column_starts;
    const auto& adjacent = pattern.row_indices;  // symmetric: column v's rows are v's neighbours
    Colouring result;
    std::vector<std::uint32_t>& colour = result.colours;
    colour.assign(n, uncoloured);
    Forbidden forbidden;
    // Per colour, how many of the current vertex's neighbours have it (stamped per vertex).
    std::vector<std::size_t> seen_stamp;
    std::vector<std::uint32_t> seen_count;
    for (std::size_t v = 0; v < n; ++v) {
        forbidden.start(v);
        for (std::size_t e = starts[v]; e < starts[v + 1]; ++e) {
            const std::size_t w = adjacent[e];
            if (w == v || colour[w] == uncoloured) {
                continue;
            }
            forbidden.forbid(colour[w]);
            if (colour[w] >= seen_stamp.size()) {
                seen_stamp.resize(colour[w] + 1, 0);
                seen_count.resize(colour[w] + 1, 0);
            }
            if (seen_stamp[colour[w]] != v + 1) {
                seen_stamp[colour[w]] = v + 1;
                seen_count[colour[w]] = 0;
            }
            ++seen_count[colour[w]];
        }
        // A path v-w-x-y of four coloured lanes but v would be two-coloured if
        // v took x's colour while y has w's: v, an end of it, may not.
        // A path u-v-w-x with u and w of one colour would be two-coloured if v
        // took x's: v, in its middle, may not.
        for (std::size_t e = starts[v]; e < starts[v + 1]; ++e) {
            const std::size_t w = adjacent[e];
            if (w == v || colour[w] == uncoloured) {
                continue;
            }
            const bool repeated = seen_count[colour[w]] > 1;
            for (std::size_t f = starts[w]; f < starts[w + 1]; ++f) {
                const std::size_t x = adjacent[f];
                if (x == w || x == v || colour[x] == uncoloured) {
                    continue;
                }
                if (repeated) {
                    forbidden.forbid(colour[x]);
                    continue;
                }
                for (std::size_t g = starts[x]; g < starts[x + 1]; ++g) {
                    const std::size_t y = adjacent[g];
                    if (y != x && y != w && colour[y] == colour[w]) {
                        forbidden.forbid(colour[x]);
                        break;
                    }
                }
            }
        }
        colour[v] = forbidden.smallest_allowed();
        result.count = std::max(result.count, colour[v] + 1);
    }
    return result;
}

}  // namespace zarnik::symbolic
