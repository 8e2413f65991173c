#include "vnWindows/ThreadWindowState.h"
#include "vnUtils/Threads.h"
#include <vector>

namespace vorn {

namespace {

// Every thread's record, freed at exit (a thread's record outlives the thread).
struct StateList {
    CriticalSection lock;
    std::vector<ThreadWindowState*> records;
    ~StateList()
    {
        for (ThreadWindowState* r : records) delete r;
    }
};

StateList& GetStateList()
{
    static StateList list;
    return list;
}

thread_local ThreadWindowState* t_state = nullptr;

} // namespace

ThreadWindowState& GetThreadWindowState()
{
    if (!t_state) {
        StateList& list = GetStateList();
        auto* record = new ThreadWindowState();
        CriticalSectionLock lock(list.lock);
        list.records.push_back(record);
        t_state = record;
    }
    return *t_state;
}

} // namespace vorn
