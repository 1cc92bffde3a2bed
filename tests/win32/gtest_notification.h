// GoogleTest's Notification for the win32-threads MinGW compilers, which
// have no std::mutex or std::condition_variable for GoogleTest's own one.
// Only GoogleTest's thread helpers use it, and our tests start no threads;
// a flag polled with a yield is all it needs to be. Force-included before
// GoogleTest's headers, with GTEST_HAS_NOTIFICATION_ telling them it exists.
#pragma once

#include <atomic>
#include <thread>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load()) std::this_thread::yield();
    }

private:
    std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
