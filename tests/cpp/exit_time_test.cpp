// Calls into the core from destructors that run while a thread or the whole
// process is being torn down, after the thread's own per-thread state may
// already be gone: a static object's destructor on the main thread, and a
// thread_local object's destructor on a worker. Both run after main's test
// body, so this is a program of its own: it exits with status 0 only when
// every call gave the right answer, and the sanitizer builds report any use
// of freed memory or leak.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "symbolic/symbolic.hpp"

namespace {

using namespace zarnik::symbolic;

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "exit-time call failed: %s\n", what);
        std::abort();
    }
}

// Large enough that a call needs more working memory than a small graph does.
constexpr int chain_steps = 2'000;

Value chain(const Value& p) {
    Value y = p;
    for (int k = 0; k < chain_steps; ++k) {
        y = sin(y) * 0.5 + p;
    }
    return y;
}

// The chain's value and derivative, computed here without the library.
struct Expected {
    double value = 0.0;
    double derivative = 0.0;
};

Expected reference(double p) {
    double y = p;
    double dy = 1.0;
    for (int k = 0; k < chain_steps; ++k) {
        dy = std::cos(y) * dy * 0.5 + 1.0;
        y = std::sin(y) * 0.5 + p;
    }
    return {y, dy};
}

// Evaluates, differentiates and clears a graph of its own, checking every answer.
void use_the_library(const char* where) {
    const Value p = parameter(0.25, "p");
    const Value y = chain(p);
    const Expected expected = reference(0.25);
    require(std::fabs(y.evaluate()[0] - expected.value) < 1e-12, where);
    y.backward();
    require(p.has_grad() && std::fabs(p.grad()[0] - expected.derivative) < 1e-9, where);
    y.zero_grad();
    require(!p.has_grad(), where);
}

struct UsesTheLibraryWhenDestroyed {
    const char* where;
    ~UsesTheLibraryWhenDestroyed() { use_the_library(where); }
};

// Made before main and destroyed after it, once the main thread's
// thread_local objects are gone.
const UsesTheLibraryWhenDestroyed static_object{"a static object's destructor"};

}  // namespace

int main() {
    use_the_library("main");
    std::thread worker([] {
        // Made before the library is first used on this thread, so destroyed
        // after whatever the library keeps per thread.
        thread_local const UsesTheLibraryWhenDestroyed late{"a thread_local destructor on a worker"};
        (void)late;
        use_the_library("a worker");
    });
    worker.join();
    std::puts("exit-time calls: main and worker done");
    return 0;
}
