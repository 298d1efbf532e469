#include <pthread.h>

#include <cmath>
#include <exception>
#include <functional>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

// Runs `body` on a thread whose stack is exactly `bytes` large, so that the
// test does not depend on the limit of the shell that started it.
void run_with_stack(std::size_t bytes, const std::function<void()>& body) {
    struct Call {
        const std::function<void()>* body;
        std::exception_ptr error;
    } call{&body, nullptr};
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
    pthread_t thread;
    const auto entry = [](void* argument) -> void* {
        auto* c = static_cast<Call*>(argument);
        try {
            (*c->body)();
        } catch (...) {
            c->error = std::current_exception();
        }
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, entry, &call), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    if (call.error) {
        std::rethrow_exception(call.error);
    }
}

constexpr std::size_t default_stack = 8U << 20U;

// y(k+1) = sin(y(k)) * 0.5 + p nests three operations per step: a million
// steps are three million levels, far beyond what nested calls could take on
// an 8 MiB stack.
TEST(DeepGraph, AMillionStepChainEvaluatesDifferentiatesAndIsFreed) {
    run_with_stack(default_stack, [] {
        const Value p = parameter(1.0, "p");
        Value y = p;
        for (int step = 0; step < 1'000'000; ++step) {
            y = sin(y) * 0.5 + p;
        }
        // The chain converges to the fixed point y* = sin(y*) / 2 + p, where
        // dy*/dp = 1 / (1 - cos(y*) / 2).
        const double fixed_point = y.evaluate().lanes[0];
        EXPECT_NEAR(fixed_point, std::sin(fixed_point) * 0.5 + 1.0, 1e-12);
        y.backward();
        EXPECT_NEAR(p.grad().lanes[0], 1.0 / (1.0 - std::cos(fixed_point) * 0.5), 1e-9);
        y.zero_grad();
        EXPECT_FALSE(p.has_grad());
        // Compiled, the chain gives the same lanes and gradient.
        const SmallValue lanes = y.evaluate();
        y.backward();
        const SmallValue grad = p.grad();
        y.zero_grad();
        {
            const Tape tape(y);
            EXPECT_EQ(tape.size(), 4'000'001U);  // a constant and three operations per step
            EXPECT_EQ(tape.evaluate().lanes, lanes.lanes);
            EXPECT_EQ(tape.backward().lanes, lanes.lanes);
            EXPECT_EQ(p.grad().lanes, grad.lanes);
            tape.zero_grad();
        }
        const std::uint64_t last_id = y.id();
        y = Value{};  // releases three million expression nodes
        EXPECT_GT(constant(1.0).id(), last_id);
    });
}

TEST(DeepGraph, ReleasingSharedChainsKeepsWhatOthersStillHold) {
    run_with_stack(default_stack, [] {
        const Value p = parameter(2.0, "p");
        Value y = p;
        Value middle;
        for (int step = 0; step < 200'000; ++step) {
            y = -y + 1.0;
            if (step == 100'000) {
                middle = y;
            }
        }
        y = Value{};
        // The lower half of the chain is still alive through `middle`.
        EXPECT_EQ(middle.evaluate().lanes[0], 2.0 * ((100'001 % 2 == 0) ? 1.0 : -1.0) + (100'001 % 2 == 0 ? 0.0 : 1.0));
        middle = Value{};
    });
}

}  // namespace
}  // namespace zarnik::symbolic
