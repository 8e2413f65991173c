// A watchdog for the tests that would hang on a regression (a deadlock, a wait that is
// never woken): while it lives, a thread of its own waits for it to be destroyed; when
// the limit passes first, it prints what hung and ends the process, so that such a test
// fails at once instead of at the test runner's timeout. The limit is far above what
// the test takes under any sanitizer: it measures nothing, it only ends a hang.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>

namespace vorn::test {

class Watchdog {
public:
    // Watches the running test for the given number of seconds.
    explicit Watchdog(int seconds = 60) : m_what(TestName()), m_thread([this, seconds] { Watch(seconds); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> l(m_lock);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static std::string TestName()
    {
        const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
        return t ? std::string(t->test_suite_name()) + "." + t->name() : std::string("the test");
    }

    void Watch(int seconds)
    {
        std::unique_lock<std::mutex> l(m_lock);
        if (m_changed.wait_for(l, std::chrono::seconds(seconds), [this] { return m_done; })) return;
        std::fprintf(stderr, "\nWATCHDOG: %s did not finish within %d seconds (hung)\n", m_what.c_str(), seconds);
        std::fflush(stderr);
        std::abort();
    }

    std::string m_what;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_thread; // last: starts once the members above exist
};

} // namespace vorn::test
