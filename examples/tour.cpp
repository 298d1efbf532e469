// The C++ core in a few lines: build, evaluate, differentiate. Run by the tests.
#include <cmath>
#include <cstdio>

#include "symbolic/symbolic.hpp"

int main() {
    using namespace zarnik::symbolic;

    const Value p = parameter(1.0, 2.0, "p");                  // a 2-lane parameter
    const Value y = component(p, 0) * 3.0 + sin(component(p, 1));
    const SmallValue lanes = y.evaluate();                     // one lane: 3 + sin 2

    y.backward();                                              // seed 1.0 for a scalar
    const SmallValue gradient = p.grad();                      // (3, cos 2)
    p.zero_grad();

    std::printf("%s = %.6f, d/dp = (%.6f, %.6f)\n", y.debug_string().c_str(), lanes[0], gradient[0], gradient[1]);
    const bool right = lanes[0] == 3.0 + std::sin(2.0) && gradient[0] == 3.0 && gradient[1] == std::cos(2.0) &&
                       !p.has_grad();
    return right ? 0 : 1;
}
