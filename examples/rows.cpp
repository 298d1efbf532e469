// A batch over rows in C++: inputs given per row or once for every row, on
// several threads. Run by the tests; the README shows the part between the
// markers.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "symbolic/symbolic.hpp"

int main() {
    using namespace zarnik::symbolic;

    // The README shows this part with its comments aligned.
    // clang-format off
    // rows begins
    const Value x = undefined(1, "x");                         // one lane, a value per row
    const Value w = undefined(2, "w");                         // two lanes, one value for every row
    const Function f({x, w}, {component(w, 0) * sin(x) + component(w, 1)});

    const std::vector<double> xs = {0.0, 0.5, 1.0, 1.5};       // 4 rows of x, row after row
    const std::array<double, 2> weights = {2.0, 1.0};          // w, given once
    const std::array inputs = {RowInput::per_row(xs.data()), RowInput::once(weights.data())};
    std::vector<double> ys(4);                                 // 4 rows by 1 output lane
    const std::array outputs = {ys.data()};
    RowOptions options;
    options.threads = 2;                                       // shared out over 2 threads
    evaluate_rows(f, 4, inputs, outputs, options);             // each row 2 sin(x) + 1

    std::array<double, 2> dw{};                                // w's gradient, summed over the rows
    const std::array gradients = {dw.data()};
    const std::array<std::size_t, 1> wrt = {1};                // the inputs to differentiate: w
    const double total = value_and_grad_rows(f, 4, inputs, wrt, gradients);  // (sum of sin x, 4)
    // rows ends
    // clang-format on

    std::printf("f over 4 rows: (%g, %g, %g, %g); sum %g, d/dw (%g, %g)\n", ys[0], ys[1], ys[2], ys[3], total, dw[0],
                dw[1]);
    // Each row has the bits of a single call; the sums are those of the rows to rounding.
    bool right = true;
    double sum = 0.0;
    double sines = 0.0;
    for (std::size_t r = 0; r < xs.size(); ++r) {
        right = right && ys[r] == f({small_value(xs[r]), small_value(weights[0], weights[1])})[0][0];
        sum += ys[r];
        sines += std::sin(xs[r]);
    }
    right = right && std::abs(total - sum) <= 1e-14 * sum && std::abs(dw[0] - sines) <= 1e-14 * sines && dw[1] == 4.0;
    return right ? 0 : 1;
}
