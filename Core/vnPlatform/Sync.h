// Waitable handles (threads and events) and the re-entrant mutex behind the
// framework's critical sections. A handle is an owned object: CloseHandle frees it.
// Waiting on a thread handle waits for the thread to end (a join when infinite);
// waiting on an event waits until it is set.
#pragma once
#include <cstdint>

namespace vorn {

struct PlatformHandle;

constexpr uint32_t INFINITE = 0xFFFFFFFFu;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;

// Waits up to ms milliseconds (INFINITE: no time-out). Returns WAIT_OBJECT_0 when the
// handle is signalled, WAIT_TIMEOUT when the time ran out, WAIT_FAILED for a null
// handle or a thread that waits for itself.
uint32_t WaitForSingleObject(PlatformHandle* h, uint32_t ms);
// Frees the handle; a thread that is still running goes on detached. Null is ignored.
void CloseHandle(PlatformHandle* h);

// Creates an event; returns 0 and stores the handle, or returns an errno value and
// stores null. An auto-reset event releases one waiter per Set and resets itself.
int CreateEventHandle(bool manualReset, bool initialState, PlatformHandle** out);
void SetEvent(PlatformHandle* event);
void ResetEvent(PlatformHandle* event);

// Test support: after skip more successful creations, the next event creation fails
// once with errorCode.
void InjectEventCreateFailure(int skip, int errorCode);

// A mutex that the holding thread may lock again; each Lock needs its Unlock.
class RecursiveMutex {
public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;
    void Lock();
    bool TryLock();
    void Unlock();
private:
    alignas(8) unsigned char m_storage[40];
};

} // namespace vorn
