// A process-wide object created on first use and destroyed by an exit handler that is
// registered at creation (so handlers registered later run before it). Its liveness is
// kept outside the object: after destruction Get returns null and never hands out or
// reads the destroyed object.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace vorn {

template <class T, int Tag = 0>
class ExitManaged {
public:
    static constexpr uint32_t kAlive = 0xB0D12009u;

    // The object (created on the first call), or null once the exit handler has run.
    static T* Get()
    {
        static const bool created = Create();
        (void)created;
        return s_state.load(std::memory_order_acquire) == kAlive ? s_object : nullptr;
    }
    static bool IsAlive() { return s_state.load(std::memory_order_acquire) == kAlive; }
    // The exit handler; runs once, later calls do nothing.
    static void Destroy()
    {
        if (s_state.exchange(0, std::memory_order_acq_rel) != kAlive) return;
        T* p = s_object;
        s_object = nullptr;
        delete p;
    }

private:
    static bool Create()
    {
        s_object = new T();
        s_state.store(kAlive, std::memory_order_release);
        std::atexit(&Destroy);
        return true;
    }
    static inline constinit std::atomic<uint32_t> s_state{0};
    static inline constinit T* s_object = nullptr;
};

} // namespace vorn
