// Threads over the system's thread library: creation with the new thread's id known
// before the creator goes on, names, nice values and sleeping. A thread handle is
// waited on and closed through the calls of Sync.h.
#pragma once
#include "vnPlatform/Sync.h"
#include <cstddef>
#include <cstdint>

namespace vorn {

using ThreadEntry = uint32_t (*)(void* arg);

// Starts entry(arg) on a new thread with the default stack size. The new thread stores
// its id in *threadId before entry runs, and this call returns only after that. Returns
// 0 and stores the handle, or returns an errno value and stores null.
int CreateThreadHandle(ThreadEntry entry, void* arg, uint32_t* threadId, PlatformHandle** out);

// The kernel's id of the calling thread.
uint32_t GetCurrentThreadId();

// Names the calling thread; the name is cut to the 15 bytes the kernel keeps (at a
// UTF-8 character boundary).
void SetCurrentThreadName(const char* name);
// The calling thread's name into buf (NUL-terminated); false when it cannot be read.
bool GetCurrentThreadName(char* buf, size_t size);

// Nice value of the process's main thread (the base that thread priorities offset).
int GetProcessNice();
// Nice value of a thread; returns 0 and stores it, or an errno value.
int GetThreadNice(uint32_t threadId, int* nice);
// Sets a thread's nice value (clamped to -20 .. 19); returns 0 or an errno value
// (EPERM or EACCES when a raise is refused).
int SetThreadNice(uint32_t threadId, int nice);

void SleepMilliseconds(uint32_t ms);

// Test support: after skip more successful creations, the next thread creation fails
// once with errorCode.
void InjectThreadCreateFailure(int skip, int errorCode);

} // namespace vorn
