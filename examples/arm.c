/* A C program that uses code generated from a compiled function
   (examples/generate_arm.cpp) with no zarnik library: the tip of a two-link
   arm with its Jacobian, and a loss's gradient, compared bit for bit with
   what the compiled functions give; then a few gradient steps that bring the
   tip to a target. Built with -std=c99 -Wall -Wextra -Werror -pedantic by
   the tests. */
#include <stdio.h>
#include <string.h>

#include "arm.h"
#include "arm_expected.h"
#include "arm_fit.h"

static int same(const double *a, const double *b, size_t count) { return memcmp(a, b, count * sizeof *a) == 0; }

int main(void) {
    double work[ARM_WORK_SIZE > ARM_FIT_WORK_SIZE ? ARM_WORK_SIZE : ARM_FIT_WORK_SIZE];
    const double lengths[2] = {1.0, 0.5}; /* the parameter that is not an input */
    double q[2], target[2], tip[2], jacobian[4], loss, gradient[2];
    const double *inputs[2];
    double *outputs[1];
    size_t k;
    int step, failures = 0;

    for (k = 0; k < 3; ++k) {
        q[0] = points[k][0];
        q[1] = points[k][1];
        target[0] = points[k][2];
        target[1] = points[k][3];
        inputs[0] = q;
        inputs[1] = target;
        outputs[0] = tip;
        if (arm_jacobian(inputs, lengths, outputs, jacobian, work) != ARM_OK ||
            arm_fit_gradient(inputs, lengths, &loss, gradient, work) != ARM_FIT_OK) {
            printf("point %u: an entry point failed\n", (unsigned)k);
            return 1;
        }
        if (!same(tip, tips + 2 * k, 2) || !same(jacobian, jacobians + 4 * k, 4) || !same(&loss, losses + k, 1) ||
            !same(gradient, gradients + 2 * k, 2)) {
            printf("point %u: the generated code's bits differ from the compiled function's\n", (unsigned)k);
            ++failures;
        }
    }

    /* Gradient descent on the joint angles towards a target the arm reaches. */
    q[0] = 0.1;
    q[1] = 0.2;
    target[0] = 0.6;
    target[1] = 0.9;
    for (step = 0; step < 200; ++step) {
        if (arm_fit_gradient(inputs, lengths, &loss, gradient, work) != ARM_FIT_OK) {
            return 1;
        }
        q[0] -= 0.2 * gradient[0];
        q[1] -= 0.2 * gradient[1];
    }
    printf("generated code: %s bits; after 200 steps the tip misses the target by %.3g squared\n",
           failures == 0 ? "the compiled function's" : "OTHER", loss);
    return failures == 0 && loss < 1e-12 ? 0 : 1;
}
