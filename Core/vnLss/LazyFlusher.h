// The lazy flusher: when the log has been quiet for the flush period (no full segment
// written meanwhile), it seals the open unit and writes the partly filled head segment.
#pragma once
#include "vnLss/StoreThread.h"

namespace vorn {

class LazyFlusher : public StoreThread {
public:
    using StoreThread::StoreThread;
    void ThreadMain() override;
};

} // namespace vorn
