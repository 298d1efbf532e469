// Uses the installed library as a user would: values, a tape, a function.

#include <cmath>
#include <cstdio>
#include <vector>

#include "symbolic/symbolic.hpp"

int main() {
    using namespace zarnik::symbolic;
    const Value x = undefined(1, "x");
    const Value a = parameter(2.0, "a");
    const Value y = a * sin(x) + 1.0;
    const Function f({x}, {y});
    std::vector<double> jacobian(1);
    f.jacobian({small_value(0.5)}, jacobian);
    const Tape tape(a * a);
    const SmallValue square = tape.backward();
    const bool ok = f({small_value(0.5)})[0][0] == 2.0 * std::sin(0.5) + 1.0 && jacobian[0] == 2.0 * std::cos(0.5) &&
                    square[0] == 4.0 && a.grad()[0] == 4.0;
    std::printf("zarnik %s from an installed package: %s\n", zarnik::version.data(), ok ? "ok" : "WRONG");
    return ok ? 0 : 1;
}
