#pragma once

// One spare object per thread, kept between calls so that a call can reuse
// the memory of the last one instead of taking fresh pages.

#include <memory>
#include <utility>

namespace zarnik::symbolic::detail {

// Calls may come at any point of a thread's life, including from destructors
// that run while the thread or the process is being torn down (a static
// object's destructor, or another thread_local's). The state that such calls
// touch is therefore trivially destructible and never goes away; only the
// releaser, whose destructor frees the spare, has a destructor. Once it has
// run, the thread is closed: later calls work on objects of their own, which
// they free when done.
template <typename T>
class ThreadSpare {
public:
    // The thread's spare, or an empty pointer when there is none.
    static std::unique_ptr<T> take() noexcept { return std::unique_ptr<T>(std::exchange(state_.spare, nullptr)); }

    // Keeps `spare` for the next call on this thread, or frees it when the
    // thread already keeps one or is closed.
    static void give_back(std::unique_ptr<T> spare) noexcept {
        if (state_.closed || state_.spare != nullptr) {
            return;
        }
        if (!state_.armed) {
            arm();
        }
        state_.spare = spare.release();
    }

private:
    struct State {
        T* spare = nullptr;
        bool armed = false;
        bool closed = false;
    };

    struct Releaser {
        Releaser() = default;
        Releaser(const Releaser&) = delete;
        Releaser& operator=(const Releaser&) = delete;
        ~Releaser() {
            delete std::exchange(state_.spare, nullptr);
            state_.closed = true;
        }
    };

    // Constructing the releaser registers its destructor with the thread's
    // exit; it is made only when there is something to release.
    static void arm() noexcept {
        thread_local const Releaser releaser;
        static_cast<void>(releaser);
        state_.armed = true;
    }

    static constinit thread_local State state_;
};

template <typename T>
constinit thread_local typename ThreadSpare<T>::State ThreadSpare<T>::state_{};

}  // namespace zarnik::symbolic::detail
