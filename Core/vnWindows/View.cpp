#include "vnWindows/View.h"
#include <mutex>

namespace vorn {

namespace {

thread_local IViewSizeProvider* t_sizeProvider = nullptr;

std::mutex g_currentViewLock;
CurrentViewRecord g_currentView;

} // namespace

IViewSizeProvider* GetThreadViewSizeProvider() { return t_sizeProvider; }
void SetThreadViewSizeProvider(IViewSizeProvider* provider) { t_sizeProvider = provider; }

CurrentViewRecord GetCurrentView()
{
    std::lock_guard<std::mutex> lock(g_currentViewLock);
    return g_currentView;
}

void SetCurrentView(const CurrentViewRecord& record)
{
    std::lock_guard<std::mutex> lock(g_currentViewLock);
    g_currentView = record;
}

} // namespace vorn
