#pragma once

// Ctrl-C during long native calls: the signal handlers run between pieces of
// the work, and what one raises (KeyboardInterrupt) ends the call.

#include <chrono>

namespace zarnik::python {

// Runs between blocks of a batch, which runs with the interpreter's lock
// released: every 20 ms it takes the lock back for a moment to run the
// signal handlers, and a handler's exception (KeyboardInterrupt) stops the
// batch. The arrays it was writing are then dropped unseen.
class SignalCheck {
public:
    void operator()() {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) {
            return;
        }
        next_ = now + std::chrono::milliseconds(20);
        check_released();
    }

private:
    // Takes the lock, runs the handlers and throws what one raised.
    static void check_released();

    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
};

// Lets Ctrl-C end a long call that holds the interpreter's lock throughout
// (a save or a load polls it every few tens of thousands of nodes): runs the
// signal handlers and throws what one raised.
void check_signals();

}  // namespace zarnik::python
