// Generates C code for a two-link arm (examples/arm.c uses it): the tip's
// position with its Jacobian in the joint angles, and a loss with its
// gradient. It also writes what the compiled functions give at a few points
// into arm_expected.h, which arm.c compares bit for bit with the generated
// code's results. Run by the tests (examples/generated_c.cmake).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "symbolic/symbolic.hpp"

namespace {

// A double as a C literal of the same bits.
std::string literal(double x) {
    char text[64];
    std::snprintf(text, sizeof text, "%a", x);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zarnik::symbolic;
    if (argc != 2) {
        std::fprintf(stderr, "usage: generate_arm FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];

    const Value q = undefined(2, "q");                     // the joint angles
    const Value lengths = parameter(1.0, 0.5, "lengths");  // read at each call: an argument of the C code
    const Value target = undefined(2, "target");
    const Value l1 = component(lengths, 0);
    const Value l2 = component(lengths, 1);
    const Value a = component(q, 0);
    const Value b = a + component(q, 1);
    const Value tip = vec2(l1 * cos(a) + l2 * cos(b), l1 * sin(a) + l2 * sin(b));
    const Value miss = tip - target;
    const Value loss = component(miss, 0) * component(miss, 0) + component(miss, 1) * component(miss, 1);

    const Function arm({q}, {tip});
    const Function fit({q, target}, {loss});
    GenerateOptions jacobian;
    generate(arm, folder, "arm", jacobian);
    GenerateOptions gradient;
    gradient.jacobian = false;
    gradient.gradient = true;
    gradient.wrt = std::vector<std::size_t>{0};
    generate(fit, folder, "arm_fit", gradient);

    std::ofstream expected(folder + "/arm_expected.h");
    expected << "/* What the compiled functions give, written by generate_arm. */\n";
    const double points[3][4] = {{0.3, 0.8, 1.0, 0.5}, {-1.2, 2.5, 0.2, -0.4}, {3.0, -0.1, -1.0, 1.0}};
    expected << "static const double points[3][4] = {";
    std::string tips, jacobians, losses, gradients;
    for (const auto& p : points) {
        expected << "{" << literal(p[0]) << ", " << literal(p[1]) << ", " << literal(p[2]) << ", " << literal(p[3])
                 << "}, ";
        std::vector<double> j(4);
        std::vector<SmallValue> out(1);
        arm.jacobian({constant(p[0], p[1]).value()}, j, out);
        tips += literal(out[0].lanes[0]) + ", " + literal(out[0].lanes[1]) + ", ";
        for (const double v : j) {
            jacobians += literal(v) + ", ";
        }
        std::vector<double> g(4);
        std::vector<SmallValue> value(1);
        fit.jacobian({constant(p[0], p[1]).value(), constant(p[2], p[3]).value()}, g, value);
        losses += literal(value[0].lanes[0]) + ", ";
        gradients += literal(g[0]) + ", " + literal(g[1]) + ", ";  // the columns of q
    }
    expected << "};\nstatic const double tips[6] = {" << tips << "};\n";
    expected << "static const double jacobians[12] = {" << jacobians << "};\n";
    expected << "static const double losses[3] = {" << losses << "};\n";
    expected << "static const double gradients[6] = {" << gradients << "};\n";
    return expected ? 0 : 1;
}
