// The reflected interfaces of a view hosted by a window (vorn::IView) and of the
// optional parts a view may offer (vorn::ITimer, vorn::IKeyboardFocus,
// vorn::IControledAspect, vorn::IViewVisitor), as function tables that begin with the
// IObject operations; the window size a view reads (vorn::IViewSizeProvider); and the
// record of the view being called now. A window makes itself the current view before
// every call into its view: the view then finds its window's size through the thread's
// size provider and its resources through the thread's ambient resource table.
#pragma once
#include "vnReflection/IObject.h"
#include "vnWindows/MouseEvent.h"
#include "vnWindows/WindowSystem.h"
#include <cstdint>

namespace vorn {

class OpenGLWndForView;

enum ESizeCaps : int32_t {
    SC_FIXED_WIDTH_FIXED_HEIGHT = 0,
    SC_FIXED_WIDTH_VARIABLE_HEIGHT = 1,
    SC_VARIABLE_WIDTH_VARIABLE_HEIGHT = 2,
    SC_VARIABLE_WIDTH_FIXED_HEIGHT = 3,
    SC_RELATED_WIDTH_AND_HEIGHT = 4,
};

struct IViewTable {
    IObjectTable m_object;
    void (*OnCreateView)(void* self);
    void (*OnDestroyView)(void* self);
    // Draws with the window's OpenGL context current and a pixel projection set.
    void (*Draw)(void* self);
    bool (*HitTest)(void* self, const Point2i& point);
    // May set evt.m_cursor and change evt.m_mouseState.
    LRESULT (*OnMouseEvent)(void* self, MouseEvent& evt);
    LRESULT (*OnKey)(void* self, const WindowsKeyEvent& evt);
    int32_t (*GetSuggestedWidth)(void* self);
    int32_t (*GetSuggestedHeight)(void* self);
    int32_t (*GetMinWidth)(void* self);
    int32_t (*GetMaxWidth)(void* self);
    int32_t (*GetMinHeight)(void* self);
    int32_t (*GetMaxHeight)(void* self);
    ESizeCaps (*GetSizeCaps)(void* self);
};
using IViewPtr = InterfacePtr<IViewTable>;

struct ITimerTable {
    IObjectTable m_object;
    LRESULT (*OnTimer)(void* self, WPARAM id);
};
using ITimerPtr = InterfacePtr<ITimerTable>;

struct IKeyboardFocusTable {
    IObjectTable m_object;
    void (*OnLoseFocus)(void* self);
};

struct IControledAspectTable {
    IObjectTable m_object;
    int32_t (*GetHeightGivenWidth)(void* self, int32_t width);
    int32_t (*GetWidthGivenHeight)(void* self, int32_t height);
};

struct IViewVisitorTable {
    IObjectTable m_object;
};

// The interface records (names "vorn::IView", ...), for QueryInterface and registration.
extern const ReflectedInterface kIViewInterface;
extern const ReflectedInterface kITimerInterface;
extern const ReflectedInterface kIKeyboardFocusInterface;
extern const ReflectedInterface kIControledAspectInterface;
extern const ReflectedInterface kIViewVisitorInterface;

// The size of the window whose view is being called (not reflected).
class IViewSizeProvider {
public:
    virtual int32_t GetSizeX() = 0;
    virtual int32_t GetSizeY() = 0;
protected:
    ~IViewSizeProvider() = default;
};

// The calling thread's size provider; null until a window made itself current.
IViewSizeProvider* GetThreadViewSizeProvider();
void SetThreadViewSizeProvider(IViewSizeProvider* provider);

// The window whose view was called last, with its client size then (process-wide;
// windows live on one thread).
struct CurrentViewRecord {
    OpenGLWndForView* m_window = nullptr;
    int32_t m_width = 0;
    int32_t m_height = 0;
};
CurrentViewRecord GetCurrentView();
void SetCurrentView(const CurrentViewRecord& record);

} // namespace vorn
