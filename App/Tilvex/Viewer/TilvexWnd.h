// TilvexWnd: the viewer's one window, an OpenGL window showing the pyramid of one
// vorn::Tilvex drawn onto a view rectangle of client pixels that the user pans (drag)
// and zooms (wheel, shift-drag) about the cursor. Its display agent draws the
// pyramid; every view change invalidates the agent, which asks for a repaint, and the
// paint re-evaluates it, so tiles that arrive later repaint too. It answers the
// drawing's questions (vorn::ITilvexViewer) with its texture cache.
//
// Tours: one timer of the window (timer 1) drives either the raster tour ('p'), which
// slides the image right by a quarter of the window per tick, row by row, or the
// random tour ('t'), which jumps to a randomly placed close-up of the start view at
// every tick ('r' also picks a random zoom). Either key stops whichever tour runs;
// '0'..'9' set the period. The timer is killed when the tour stops or the window is
// destroyed.
//
// The window is a collected object of the thread's CSpace: CreateViewerWindow
// registers it and keeps it a collector root until its window is gone (OnNcDestroy);
// the space deletes it. Every handler runs on the main thread with the image's space
// current; view changes and paints run inside exclusive space transactions.
#pragma once
#include "Tilvex/WindowLayer/FullScreen.h"
#include "Tilvex/Viewer/TextureCache.h"
#include "Tilvex/Model/Tilvex.h"
#include "vnObject/DepGraph.h"
#include "vnObject/ObjHeader.h"
#include "vnWindows/OpenGLWnd.h"

class TilvexWnd : public vorn::OpenGLWnd, public vorn::IObjectBaseMixin<TilvexWnd> {
public:
    class Agent_m_displayAgent final : public vorn::DGDepNode {
    public:
        explicit Agent_m_displayAgent(TilvexWnd* owner) : m_owner(owner) {}
        void VisitObjects(vorn::IObjectVisitor& v) override;
        bool Recompute() override;
        void OnInvalidate() override;
    private:
        TilvexWnd* m_owner;
    };

    TilvexWnd(vorn::Tilvex* image, int32_t imageSize);
    ~TilvexWnd() override;

    // IObject (the rest from IObjectBaseMixin).
    vorn::AnyInterface QueryInterface(const vorn::ReflectedInterface& ri);
    void OnGarbageCollect() { m_observerExit.OnCollected(m_sys, {&m_displayAgent}); }
    vorn::ITilvexViewerPtr AsViewer();

    // ITilvexViewer.
    bool ShowTileOutlines() const { return m_showOutlines; }
    bool LinearMagFilter() const { return false; }
    bool LinearMinFilter() const { return false; }
    bool BindTileTexture(vorn::OID tile);
    // How many times a tile's pixels had to be uploaded.
    int64_t GetNumUploads() const { return m_numUploads; }

    // Window handlers.
    vorn::LRESULT OnUserMessage(uint32_t msg, vorn::WPARAM wParam, vorn::LPARAM lParam) override;
    // One step of the running tour (the id is not examined), then a repaint.
    vorn::LRESULT OnTimer(vorn::WPARAM id) override;
    vorn::LRESULT OnCreate(vorn::LPARAM createData) override;
    void OnDestroy() override;
    // Clears the handle and stops keeping the object alive; does not delete it.
    void OnNcDestroy() override;
    void OnSize(vorn::WPARAM type, int32_t width, int32_t height) override;
    vorn::LRESULT OnKey(const vorn::WindowsKeyEvent& event) override;
    vorn::LRESULT OnMouse(vorn::EMouseEventType kind, uint32_t keyFlags, int32_t zDelta, vorn::Point2i point) override;
    void InitGL(vorn::HDC dc, vorn::HGLRC context) override;
    // Re-evaluates the display agent in a transaction. A failure of the drawing is
    // traced and reported, and the window is closed (the program then ends).
    void DrawScene() override;
    // The agent's computation: clears to black and draws the pyramid onto the view.
    void DrawTiles();

    // Each edge e becomes (e - p) * s + p, rounded half away from zero.
    static vorn::Rect2i ScaleRectAboutPoint(const vorn::Rect2i& rect, double px, double py, double sx, double sy);
    // s limited so that a view width times s stays within the zoom limits (max wins).
    double LimitedScale(double s, int32_t width) const;
    // Stores the view and invalidates the display agent (in a transaction).
    void SetViewRect(const vorn::Rect2i& view);
    void InvalidateDisplay();

    // The tour period in ms; a running tour's timer is set again with it.
    void SetTourInterval(int32_t ms);
    // Stop whichever tour runs, or else start the raster ('p') or random ('t') tour
    // from the current view.
    void ToggleRasterTour();
    void ToggleRandomTour();
    void StopTour();
    bool IsTouring() const { return m_tourTimerId != 0; }
    // One tour step on the view (no repaint). A random step from a start rectangle of
    // no width or height changes nothing and returns false.
    void RasterStep();
    bool RandomStep();

    const vorn::Rect2i& GetViewRect() const { return m_viewRect; }
    bool IsDragging() const { return m_dragging; }
    int32_t GetDragMode() const { return m_dragMode; }

    vorn::FullScreenState m_fullScreen;
    bool m_showOutlines = false;
    uint32_t m_tourTimerId = 0;
    vorn::Rect2i m_tourStartRect;
    bool m_randomSize = false;
    int32_t m_tourInterval = 200;
    bool m_rasterTour = false;
    vorn::Tilvex* m_image;
    vorn::Rect2i m_viewRect;
    int32_t m_minWidth = 128;
    int32_t m_maxWidth;
    int32_t m_clientWidth = 0;
    int32_t m_clientHeight = 0;
    TextureCache m_textures;
    bool m_dragging = false;
    int32_t m_dragMode = 0;
    vorn::Point2i m_dragAnchor;
    vorn::Rect2i m_dragStartRect;
    vorn::Point2d m_zoomCentre;
    bool m_inDrawScene = false;
    Agent_m_displayAgent m_displayAgent{this};
    vorn::ObserverListExit m_observerExit;

private:
    vorn::xstring m_failure;
    bool m_toldLoadFailure = false; // a tile load failed and the user was told
    vorn::xstring TileLoadFailure();
    int64_t m_numUploads = 0;
};

// Creates the viewer window for image (imageSize pixels square): registered with the
// thread's CSpace, a collector root until its window is gone, its window and context
// made with the title "Open GL Wnd" at (100, 100)-(800, 600). Called inside an
// exclusive space transaction. Null, after the failure was reported, when the window
// or its context could not be made.
TilvexWnd* CreateViewerWindow(vorn::Tilvex* image, int32_t imageSize);
// The same steps for a window object made by the caller, at rect (its client area on
// the screen); false when it was not made.
bool OpenViewerWindow(TilvexWnd* window, const vorn::Rect2i& rect = vorn::Rect2i(100, 100, 800, 600));
