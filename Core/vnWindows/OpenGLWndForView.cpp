#include "vnWindows/OpenGLWndForView.h"
#include "vnObject/CSpace.h"
#include "vnPlatform/Gl.h"
#include "vnPlatform/Window.h"
#include "vnReflection/OperationCallBacks.h"
#include "vnUtils/Archive.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Trace.h"
#include "vnWindows/PixelProjection.h"
#include "vnWindows/WindowCalls.h"
#include <cstring>
#include <new>

namespace vorn {

namespace {

// Runs body under the thread's CSpace lock; without a thread space, without a lock.
template <class F>
void UnderSpaceLock(F&& body)
{
    CSpace* space = GetThreadCSpace();
    if (space == nullptr) {
        body(false);
        return;
    }
    CSpaceLock lock(space);
    body(true);
}

// Leaves no context current when a call that made it current ends.
struct ReleaseContext {
    bool m_made;
    ~ReleaseContext()
    {
        if (m_made) MakePlatformGlCurrent(nullptr, nullptr);
    }
};

EPlatformCursor PlatformCursorOf(uintptr_t cursor)
{
    if (cursor == kViewCursorHand) return PCURSOR_HAND;
    if (cursor == kViewCursorSizeAll) return PCURSOR_SIZEALL;
    return PCURSOR_ARROW;
}

} // namespace

// ---- agents ----------------------------------------------------------------------

void OpenGLWndForView::Agent_m_sizeAnalysisAgent::VisitObjects(IObjectVisitor& v) { v.VisitStrong(m_owner->AsObject()); }

bool OpenGLWndForView::Agent_m_sizeAnalysisAgent::Recompute()
{
    const IViewPtr view = m_owner->m_view;
    if (view.IsNull()) return true;
    // The results are not kept: what matters is what the view reads to give them.
    view.m_table->GetSuggestedWidth(view.m_object);
    view.m_table->GetSuggestedHeight(view.m_object);
    return true;
}

void OpenGLWndForView::Agent_m_displayAgent::VisitObjects(IObjectVisitor& v) { v.VisitStrong(m_owner->AsObject()); }

bool OpenGLWndForView::Agent_m_displayAgent::Recompute()
{
    m_owner->Draw();
    return true;
}

void OpenGLWndForView::Agent_m_displayAgent::OnInvalidate()
{
    if (!m_owner->m_painting) vnWIN32::InvalidateRect(m_owner);
}

// ---- object ----------------------------------------------------------------------

OpenGLWndForView::OpenGLWndForView() = default;

OpenGLWndForView::OpenGLWndForView(const OpenGLWndForView& o)
    : OpenGLWndForView_model_mixin(), OpenGLWnd(), IViewSizeProvider(), m_ambient(o.m_ambient), m_view(o.m_view)
{
    HasFocus = o.HasFocus;
    SizeX = o.SizeX;
    SizeY = o.SizeY;
}

OpenGLWndForView& OpenGLWndForView::operator=(const OpenGLWndForView& o)
{
    if (this == &o) return *this;
    HasFocus = o.HasFocus;
    SizeX = o.SizeX;
    SizeY = o.SizeY;
    m_ambient = o.m_ambient;
    m_view = o.m_view;
    return *this;
}

OpenGLWndForView::~OpenGLWndForView()
{
    // The agents leave the observer list before they go, unless the collection that
    // found the window garbage took them off already.
    m_observerExit.OnDestroyed(m_sys, {&m_displayAgent, &m_sizeAnalysisAgent});
}

void OpenGLWndForView::VisitObjects(IObjectVisitor& v)
{
    if (!m_view.IsNull()) v.VisitStrong(m_view.Any());
}


void OpenGLWndForView::MakeCurrentView()
{
    SetCurrentView(CurrentViewRecord{this, m_clientWidth, m_clientHeight});
    SetThreadAmbientResourceTable(&m_ambient);
    SetThreadViewSizeProvider(this);
}

// ---- model fields ------------------------------------------------------------------

int32_t OpenGLWndForView::GetSizeX()
{
    if (GetThreadCSpace()) DGReadDataModelField(&SizeX, AsObject());
    return SizeX;
}

int32_t OpenGLWndForView::GetSizeY()
{
    if (GetThreadCSpace()) DGReadDataModelField(&SizeY, AsObject());
    return SizeY;
}

bool OpenGLWndForView::GetHasFocus()
{
    if (GetThreadCSpace()) DGReadDataModelField(&HasFocus, AsObject());
    return HasFocus;
}

void OpenGLWndForView::WriteModelField(int32_t index, void* field)
{
    OperationRecord op;
    op.m_object = AsObject();
    op.m_fieldIndex = index;
    op.m_fieldAddress = field;
    NotifyOperationCallBacks(op);
}

void OpenGLWndForView::SetHasFocus(bool v)
{
    WriteModelField(kHasFocusField, &HasFocus);
    HasFocus = v;
}

void OpenGLWndForView::SetSizeX(int32_t v)
{
    WriteModelField(kSizeXField, &SizeX);
    SizeX = v;
}

void OpenGLWndForView::SetSizeY(int32_t v)
{
    WriteModelField(kSizeYField, &SizeY);
    SizeY = v;
}

// ---- handlers ----------------------------------------------------------------------

LRESULT OpenGLWndForView::OnTimer(WPARAM id)
{
    if (m_view.IsNull()) return 0;
    const ITimerPtr timer = ITimerPtr::FromAny(m_view.Object().QueryInterface(m_view.m_object, kITimerInterface));
    if (timer.IsNull()) return 0;
    MakeCurrentView();
    return timer.m_table->OnTimer(timer.m_object, id);
}

LRESULT OpenGLWndForView::OnCreate(LPARAM)
{
    {
        TraceIndenter indent(2);
        UnderSpaceLock([&](bool locked) {
            if (locked) {
                ActivateAgent(m_displayAgent);
                ActivateAgent(m_sizeAnalysisAgent);
            }
            if (!m_view.IsNull()) m_view.m_table->OnCreateView(m_view.m_object);
        });
    }
    return CallDefault();
}

void OpenGLWndForView::OnDestroy()
{
    {
        TraceIndenter indent(2);
        UnderSpaceLock([&](bool locked) {
            if (!m_view.IsNull()) m_view.m_table->OnDestroyView(m_view.m_object);
            if (locked) {
                DeactivateAgent(m_displayAgent);
                DeactivateAgent(m_sizeAnalysisAgent);
            }
        });
    }
    ReleaseOpenGLState();
}

void OpenGLWndForView::OnNcDestroy() { m_hWnd = nullptr; }

void OpenGLWndForView::OnSize(WPARAM, int32_t width, int32_t height)
{
    UnderSpaceLock([&](bool locked) {
        SetSizeX(width);
        SetSizeY(height);
        m_clientWidth = width;
        m_clientHeight = height;
        MakeCurrentView();
        if (locked) m_sizeAnalysisAgent.EvaluateIfNeeded();
    });
    CallDefault();
}

void OpenGLWndForView::OnSetFocus(HWND)
{
    UnderSpaceLock([&](bool) { SetHasFocus(true); });
}

void OpenGLWndForView::OnKillFocus(HWND)
{
    UnderSpaceLock([&](bool) { SetHasFocus(false); });
}

LRESULT OpenGLWndForView::OnKey(const WindowsKeyEvent& event)
{
    MakeCurrentView();
    if (m_view.IsNull()) return 0;
    return m_view.m_table->OnKey(m_view.m_object, event);
}

LRESULT OpenGLWndForView::OnMouse(EMouseEventType kind, uint32_t keyFlags, int32_t zDelta, Point2i point)
{
    MakeCurrentView();
    if (kind == LBUTTON_DBL_CLICK) DeliverMouseEvent(LBUTTON_DOWN, keyFlags, zDelta, point);
    else if (kind == MBUTTON_DBL_CLICK) DeliverMouseEvent(MBUTTON_DOWN, keyFlags, zDelta, point);
    else if (kind == WHEEL) vnWIN32::ScreenToClient(this, &point);
    const bool made = m_hDC && m_hGLRC && MakePlatformGlCurrent(m_hDC, m_hGLRC);
    ReleaseContext release{made};
    DeliverMouseEvent(kind, keyFlags, zDelta, point);
    return 0;
}

void OpenGLWndForView::DeliverMouseEvent(EMouseEventType type, uint32_t flags, int32_t zDelta, Point2i point)
{
    if (m_view.IsNull()) return;
    MouseEvent evt;
    evt.pos = point;
    evt.zDelta = zDelta;
    evt.flags = flags;
    evt.type = type;
    evt.m_mouseState = m_mouseState;
    evt.m_cursor = 0;
    m_view.m_table->OnMouseEvent(m_view.m_object, evt);
    if (IsWindowSystemStarted()) SetPlatformCursor(PlatformCursorOf(evt.m_cursor));
    m_mouseState = evt.m_mouseState;
}

void OpenGLWndForView::InitGL(HDC, HGLRC) { Gl().Enable(GL_DEPTH_TEST); }

void OpenGLWndForView::DrawScene()
{
    UnderSpaceLock([&](bool locked) {
        if (!locked) {
            Draw();
            return;
        }
        // The paint itself must not ask for another paint: neither the invalidation
        // that forces the recomputation nor a write the drawing makes requests one.
        m_painting = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{m_painting};
        m_displayAgent.Invalidate(false);
        m_displayAgent.EvaluateIfNeeded();
    });
}

void OpenGLWndForView::Draw()
{
    const GlCalls& gl = Gl();
    gl.ClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    gl.ClearDepth(1.0);
    gl.Clear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    Rect2i client;
    vnWIN32::GetClientRect(this, &client);
    gl.Viewport(client.x1, client.y1, client.Width(), client.Height());
    GLSetPixelProjection(client);
    gl.Enable(GL_TEXTURE_2D);
    MakeCurrentView();
    if (!m_view.IsNull()) m_view.m_table->Draw(m_view.m_object);
}

// ---- stored form -------------------------------------------------------------------

void SerialiseOpenGLWndForViewModel(Archive& ar, const OpenGLWndForView& w)
{
    ar.WriteCompressedUInt32(OpenGLWndForView::kModelSchema);
    ar.WriteByte(w.HasFocus ? 1 : 0);
    ar.Write4(uint32_t(w.SizeX));
    ar.Write4(uint32_t(w.SizeY));
}

InputArchive DeserialiseOpenGLWndForViewModel(InputArchive in, OpenGLWndForView& w)
{
    int schema = 0;
    in = ReadSchema(in, int(OpenGLWndForView::kModelSchema), schema);
    uint8_t focus = 0;
    in = ReadByteFromBuffer(in, focus);
    in = Read4FromBuffer(in, w.SizeX);
    in = Read4FromBuffer(in, w.SizeY);
    w.HasFocus = focus != 0;
    return in;
}

} // namespace vorn
