#include "Tilvex/Viewer/TilvexWnd.h"
#include "Tilvex/WindowLayer/MessageLoop.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/WindowLayer/ViewerWindowCalls.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnWindows/OpenGL.h"
#include "vnWindows/WindowSystem.h"
#include "vnUtils/RandomGenerator.h"
#include "vnUtils/Time.h"
#include "vnUtils/Trace.h"
#include "vnWindows/PixelProjection.h"
#include "vnWindows/WindowCalls.h"
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>

using namespace vorn;

namespace {

bool ViewerShowTileOutlines(void* s) { return static_cast<TilvexWnd*>(s)->ShowTileOutlines(); }
bool ViewerLinearMagFilter(void* s) { return static_cast<TilvexWnd*>(s)->LinearMagFilter(); }
bool ViewerLinearMinFilter(void* s) { return static_cast<TilvexWnd*>(s)->LinearMinFilter(); }
bool ViewerBindTexture(void* s, OID tile) { return static_cast<TilvexWnd*>(s)->BindTileTexture(tile); }

constexpr ITilvexViewerTable kTilvexWndViewerTable{MakeIObjectTable<TilvexWnd>(), &ViewerShowTileOutlines,
                                                   &ViewerLinearMagFilter, &ViewerLinearMinFilter,
                                                   &ViewerBindTexture};

void Trace(const char* text) { WriteTraceText(xstring(text)); }

double RoundHalfAwayFromZero(double v) { return std::trunc(v >= 0 ? v + 0.5 : v - 0.5); }

// Tour periods of the keys '0' to '9'.
constexpr int32_t kTourIntervals[10] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};

bool OverlapsClient(const Rect2i& r, int32_t w, int32_t h) { return r.x1 < w && r.x2 > 0 && r.y1 < h && r.y2 > 0; }

// Bounds computed in 64 bits, brought back into the int32 range.
int32_t Saturate(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

void SetCursorFor(bool dragging, int32_t mode)
{
    if (!IsWindowSystemStarted()) return;
    const uintptr_t id = !dragging ? IDC_ARROW : (mode == 1 ? IDC_SIZEALL : IDC_HAND);
    SetCursor(LoadCursorW(nullptr, id));
}

} // namespace

void TilvexWnd::Agent_m_displayAgent::VisitObjects(IObjectVisitor& v) { v.VisitStrong(m_owner->AsObject()); }

bool TilvexWnd::Agent_m_displayAgent::Recompute()
{
    m_owner->DrawTiles();
    return true;
}

void TilvexWnd::Agent_m_displayAgent::OnInvalidate()
{
    if (!m_owner->m_inDrawScene) vnWIN32::InvalidateRect(m_owner);
}

TilvexWnd::TilvexWnd(Tilvex* image, int32_t imageSize) : m_image(image), m_maxWidth(imageSize) {}

TilvexWnd::~TilvexWnd()
{
    // The agent leaves the observer list before it goes, unless the collection that found
    // the window garbage took it off already.
    m_observerExit.OnDestroyed(m_sys, {&m_displayAgent});
}

ITilvexViewerPtr TilvexWnd::AsViewer() { return ITilvexViewerPtr{this, &kTilvexWndViewerTable}; }

AnyInterface TilvexWnd::QueryInterface(const ReflectedInterface& ri)
{
    if (std::strcmp(ri.GetName(), "vorn::IObject") == 0) return AsObject();
    if (&ri == &kITilvexViewerInterface) return AsViewer().Any();
    return AnyInterface{nullptr, nullptr};
}

bool TilvexWnd::BindTileTexture(OID tile)
{
    const bool upload = m_textures.BindTileTexture(tile);
    if (upload) ++m_numUploads;
    return upload;
}

LRESULT TilvexWnd::OnUserMessage(uint32_t, WPARAM, LPARAM) { return 0; }

LRESULT TilvexWnd::OnTimer(WPARAM)
{
    if (m_rasterTour) {
        RasterStep();
    } else if (!RandomStep()) {
        return 0;
    }
    InvalidateDisplay();
    return 0;
}

void TilvexWnd::SetTourInterval(int32_t ms)
{
    if (ms == m_tourInterval) return;
    m_tourInterval = ms;
    if (m_tourTimerId != 0) {
        vnWIN32::KillTimer(this, m_tourTimerId);
        m_tourTimerId = vnWIN32::SetTimer(this, uint32_t(m_tourInterval));
    }
}

void TilvexWnd::StopTour()
{
    if (m_tourTimerId == 0) return;
    vnWIN32::KillTimer(this, m_tourTimerId);
    m_tourTimerId = 0;
}

void TilvexWnd::ToggleRasterTour()
{
    if (m_tourTimerId != 0) {
        StopTour();
        m_rasterTour = false;
        return;
    }
    m_tourStartRect = m_viewRect;
    m_rasterTour = true;
    m_tourTimerId = vnWIN32::SetTimer(this, uint32_t(m_tourInterval));
}

void TilvexWnd::ToggleRandomTour()
{
    if (m_tourTimerId != 0) {
        StopTour();
        return;
    }
    m_tourStartRect = m_viewRect;
    m_rasterTour = false;
    m_tourTimerId = vnWIN32::SetTimer(this, uint32_t(m_tourInterval));
}

void TilvexWnd::RasterStep()
{
    const int32_t w = m_clientWidth, h = m_clientHeight;
    Rect2i v = m_viewRect;
    const int32_t step = w / 4;
    v.x1 += step;
    v.x2 += step;
    if (!OverlapsClient(v, w, h)) {
        // Back to the starting column, one window lower; past the last row, the start.
        v.x1 = m_tourStartRect.x1;
        v.x2 = m_tourStartRect.x2;
        v.y1 += h;
        v.y2 += h;
        if (!OverlapsClient(v, w, h)) v = m_tourStartRect;
    }
    m_viewRect = v;
}

bool TilvexWnd::RandomStep()
{
    const Rect2i& s = m_tourStartRect;
    const int64_t sw = s.Width(), sh = s.Height();
    // A start view with no width or height cannot be scaled.
    if (sw <= 0 || sh <= 0) return false;
    const int64_t cw = m_clientWidth, ch = m_clientHeight;
    RandomGenerator& g = GetRandomGenerator();
    const int64_t w = m_randomSize ? g.RandomInt(int32_t(sw), Saturate(int64_t(m_maxWidth) + 1)) : m_maxWidth;
    // The start view scaled by w / sw about a random point of the window: its left edge
    // lies between where the scaling about the window's right and left edges puts it.
    const int64_t x1 = g.RandomInt(Saturate(cw - (cw - s.x1) * w / sw), Saturate(s.x1 * w / sw + 1));
    const int64_t y1 = g.RandomInt(Saturate(ch - (ch - s.y1) * w / sh), Saturate(s.y1 * w / sh + 1));
    m_viewRect = Rect2i(int32_t(x1), int32_t(y1), Saturate(x1 + w), Saturate(y1 + w));
    return true;
}

LRESULT TilvexWnd::OnCreate(LPARAM)
{
    Trace("Activating display agent\n");
    {
        ModelTransaction txn;
        ActivateAgent(m_displayAgent);
    }
    return CallDefault();
}

void TilvexWnd::OnDestroy()
{
    Trace("Deactivating display agent\n");
    // A tour's timer goes with the window.
    StopTour();
    {
        ModelTransaction txn;
        DeactivateAgent(m_displayAgent);
    }
    ReleaseOpenGLState();
    PostQuitMessage(0);
}

void TilvexWnd::OnNcDestroy()
{
    m_hWnd = nullptr;
    ModelTransaction txn;
    RemoveGcRoot(AsObject());
}

void TilvexWnd::OnSize(WPARAM, int32_t width, int32_t height)
{
    m_clientWidth = width;
    m_clientHeight = height;
    const int32_t n = std::min(width, height);
    const int32_t m = n / 20;
    SetViewRect(Rect2i(m, m, n - m, n - m));
    // A resized window repaints even while the agent is still invalid (before its
    // first paint the invalidation above asks for none).
    vnWIN32::InvalidateRect(this);
}

Rect2i TilvexWnd::ScaleRectAboutPoint(const Rect2i& r, double px, double py, double sx, double sy)
{
    auto edge = [](int32_t e, double p, double s) { return int32_t(RoundHalfAwayFromZero((e - p) * s + p)); };
    return Rect2i(edge(r.x1, px, sx), edge(r.y1, py, sy), edge(r.x2, px, sx), edge(r.y2, py, sy));
}

double TilvexWnd::LimitedScale(double s, int32_t width) const
{
    s = std::max(s, double(m_minWidth) / width);
    return std::min(s, double(m_maxWidth) / width);
}

void TilvexWnd::SetViewRect(const Rect2i& view)
{
    m_viewRect = view;
    InvalidateDisplay();
}

void TilvexWnd::InvalidateDisplay()
{
    ModelTransaction txn;
    m_displayAgent.Invalidate(true);
}

LRESULT TilvexWnd::OnKey(const WindowsKeyEvent& event)
{
    if (event.keyEvent == WND_SYS_KEY_CHAR && event.vkeyOrChar == 13 && (event.nFlags & KF_ALTDOWN) != 0) {
        if (m_hWnd) ToggleFullScreen(m_fullScreen, m_hWnd);
    } else if (event.keyEvent == WND_KEY_CHAR) {
        const uint32_t c = event.vkeyOrChar;
        if (c >= '0' && c <= '9') {
            SetTourInterval(kTourIntervals[c - '0']);
        } else if (c == 'o') {
            m_showOutlines = !m_showOutlines;
            InvalidateDisplay();
        } else if (c == 'p') {
            ToggleRasterTour();
        } else if (c == 't') {
            ToggleRandomTour();
        } else if (c == 'r') {
            m_randomSize = !m_randomSize; // used by the next random view; no repaint
        }
    }
    return 0;
}

LRESULT TilvexWnd::OnMouse(EMouseEventType kind, uint32_t keyFlags, int32_t zDelta, Point2i point)
{
    switch (kind) {
    case LBUTTON_DOWN:
        m_dragStartRect = m_viewRect;
        m_dragAnchor = point;
        if (keyFlags & MK_SHIFT) {
            m_dragMode = 1;
            m_zoomCentre = Point2d(point.x, point.y);
        } else {
            m_dragMode = 0;
        }
        if (m_hWnd) SetCapture(m_hWnd);
        m_dragging = true;
        break;
    case MOVE:
        if (m_dragging) {
            const int32_t dx = point.x - m_dragAnchor.x;
            const int32_t dy = point.y - m_dragAnchor.y;
            if (m_dragMode == 0) {
                const Rect2i& s = m_dragStartRect;
                SetViewRect(Rect2i(s.x1 + dx, s.y1 + dy, s.x2 + dx, s.y2 + dy));
            } else {
                const int32_t w0 = m_dragStartRect.Width();
                if (w0 > 0) { // a zero-wide view cannot be scaled
                    const double s = LimitedScale(std::exp(dy / 50.0), w0);
                    SetViewRect(ScaleRectAboutPoint(m_dragStartRect, m_zoomCentre.x, m_zoomCentre.y, s, s));
                }
            }
        }
        break;
    case LBUTTON_UP:
        if (m_dragging) {
            ReleaseCapture();
            m_dragging = false;
        }
        break;
    case WHEEL:
        if (!m_dragging && zDelta != 0 && m_viewRect.Width() > 0) {
            Point2i p = point;
            vnWIN32::ScreenToClient(this, &p);
            const double s = LimitedScale(std::exp(zDelta / 750.0), m_viewRect.Width());
            SetViewRect(ScaleRectAboutPoint(m_viewRect, p.x, p.y, s, s));
        }
        break;
    case LOSE_CAPTURE:
        m_dragging = false;
        break;
    default:
        break;
    }
    SetCursorFor(m_dragging, m_dragMode);
    return 0;
}

void TilvexWnd::InitGL(HDC, HGLRC)
{
    Gl().Disable(GL_DEPTH_TEST);
    Gl().Enable(GL_TEXTURE_2D);
}

// Under the space lock: the text that tells the user of tiles whose load failed, or
// nothing when every load so far succeeded.
xstring TilvexWnd::TileLoadFailure()
{
    PSpace* space = GetThreadPSpace();
    if (space == nullptr) return xstring();
    const ResidentObjectTable& tiles = space->GetResidentObjects();
    if (tiles.GetNumFailedLoads() == 0) return xstring();
    return xstring("Tiles that cannot be loaded are shown as missing : ") + tiles.GetFirstLoadFailure();
}

void TilvexWnd::DrawScene()
{
    bool failed = false;
    xstring loadFailure;
    {
        ModelTransaction txn;
        try {
            m_inDrawScene = true;
            m_displayAgent.Invalidate(true);
            m_inDrawScene = false;
            ScopedTimer timer;
            m_displayAgent.EvaluateIfNeeded();
            timer.Label() << "DrawScene()";
            timer.Stop();
            if (!m_toldLoadFailure) loadFailure = TileLoadFailure();
        } catch (const IException& e) {
            m_inDrawScene = false;
            m_failure = e.Describe();
            failed = true;
        } catch (const std::exception& e) { // out of memory, say
            m_inDrawScene = false;
            m_failure = xstring(e.what());
            failed = true;
        }
    }
    if (!failed) {
        // Once per window: the tiles stay missing, and the first failure says why.
        if (!loadFailure.empty()) {
            m_toldLoadFailure = true;
            WriteTraceText(loadFailure + xstring("\n"));
            ShowPlatformErrorBox(loadFailure.c_str());
        }
        return;
    }
    WriteTraceText(m_failure + xstring("\n"));
    ShowPlatformErrorBox(m_failure.c_str());
    // Ends the program through the window's destruction, outside the paint.
    if (m_hWnd) PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

void TilvexWnd::DrawTiles()
{
    GLSetPixelProjection(Rect2i(0, 0, m_clientWidth, m_clientHeight));
    Gl().ClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    Gl().Clear(GL_COLOR_BUFFER_BIT);
    const Rect2i clip = Rect2i(0, 0, m_clientWidth, m_clientHeight).Intersection(m_viewRect);
    if (m_image) m_image->GLDraw(AsViewer(), m_viewRect, clip);
}

bool OpenViewerWindow(TilvexWnd* window, const Rect2i& rect)
{
    CSpace* space = GetThreadCSpace();
    space->RegisterGcObject(window->AsObject());
    space->AddGcRoot(window->AsObject());
    // On failure the window was destroyed again; its object stays with the space.
    return OpenGLWnd::Create(window, rect, xstring("Open GL Wnd"));
}

TilvexWnd* CreateViewerWindow(Tilvex* image, int32_t imageSize)
{
    auto* window = new TilvexWnd(image, imageSize);
    return OpenViewerWindow(window) ? window : nullptr;
}
