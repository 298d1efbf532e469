// The C++ core in a few lines: build, evaluate, differentiate, compile, save
// and load. Run by the tests; the README shows the part between the markers.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "symbolic/symbolic.hpp"

int main() {
    using namespace zarnik::symbolic;

    // The README shows this part with its comments aligned.
    // clang-format off
    // tour begins
    const Value p = parameter(1.0, 2.0, "p");                  // a 2-lane parameter
    const Value y = component(p, 0) * 3.0 + sin(component(p, 1));
    const SmallValue lanes = y.evaluate();                     // one lane: 3 + sin 2

    y.backward();                                              // seed 1.0 for a scalar
    const SmallValue gradient = p.grad();                      // (3, cos 2)
    p.zero_grad();

    const Tape tape(y);                                        // recorded once
    const SmallValue again = tape.backward();                  // the same lanes and gradients
    tape.zero_grad();

    const Value x = undefined(1, "x");                         // a placeholder
    const Function f({x}, {x * x * p});                        // a function of x
    std::vector<double> jacobian(2);                           // 2 output lanes by 1 input lane
    f.jacobian({small_value(3.0)}, jacobian);                  // (6, 12): d(x * x * p)/dx at x = 3

    const std::filesystem::path file = std::filesystem::temp_directory_path() / "tour.zgr";
    // Written beside the path, flushed and renamed over it; loaded as new nodes
    // that give the same calls: (9, 18) at x = 3.
    save(file, f);
    const Function g = load_function(file);
    const std::vector<SmallValue> loaded = g({small_value(3.0)});
    // tour ends
    // clang-format on
    std::filesystem::remove(file);

    std::printf("%s = %.6f, d/dp = (%.6f, %.6f); f'(3) = (%g, %g)\n", y.debug_string().c_str(), lanes[0], gradient[0],
                gradient[1], jacobian[0], jacobian[1]);
    const bool right = lanes[0] == 3.0 + std::sin(2.0) && gradient[0] == 3.0 && gradient[1] == std::cos(2.0) &&
                       again.lanes == lanes.lanes && !p.has_grad() && jacobian == std::vector<double>{6.0, 12.0} &&
                       loaded.size() == 1 && loaded[0].lanes == f({small_value(3.0)})[0].lanes;
    return right ? 0 : 1;
}
