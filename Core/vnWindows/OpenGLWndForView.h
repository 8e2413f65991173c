// An OpenGL window that hosts a view (vorn::IView): it forwards input to the view and
// lets the dependency graph decide when to repaint. Its focus and client size are model
// fields (HasFocus, SizeX, SizeY) whose reads and writes the graph tracks. Two agents
// recompute from them: the size agent asks the view for its suggested size (so that
// the view's size analysis is redone when what it read changes), and the display agent
// draws; invalidating the display agent requests a repaint, and the paint re-evaluates
// it. The agents are observers from OnCreate to OnDestroy.
//
// The window is a collected object of the thread's CSpace: whoever creates it
// registers it there and keeps it reachable while its window exists (OnNcDestroy does
// not delete it). Handlers run on the window's thread; agents, model writes and the
// view's Draw run under the thread's CSpace lock, input handlers call the view without
// it. A copy takes the model fields, the view and the ambient table only: it has fresh
// agents and no window or OpenGL handles.
#pragma once
#include "vnObject/DepGraph.h"
#include "vnUtils/AmbientResources.h"
#include "vnWindows/OpenGLWnd.h"
#include "vnWindows/View.h"

namespace vorn {

class OpenGLWndForView;

// The model fields after the object header, first in the object's model part.
struct OpenGLWndForView_model_mixin : public IObjectBaseMixin<OpenGLWndForView> {
    static constexpr int32_t kHasFocusField = 0;
    static constexpr int32_t kSizeXField = 1;
    static constexpr int32_t kSizeYField = 2;
    // The stored form's current schema.
    static constexpr uint32_t kModelSchema = 1;

    bool HasFocus = false;
    int32_t SizeX = 0;
    int32_t SizeY = 0;
};

class OpenGLWndForView : public OpenGLWndForView_model_mixin, public OpenGLWnd, public IViewSizeProvider {
public:
    class Agent_m_sizeAnalysisAgent final : public DGDepNode {
    public:
        explicit Agent_m_sizeAnalysisAgent(OpenGLWndForView* owner) : m_owner(owner) {}
        void VisitObjects(IObjectVisitor& v) override;
        bool Recompute() override;
    private:
        OpenGLWndForView* m_owner;
    };
    class Agent_m_displayAgent final : public DGDepNode {
    public:
        explicit Agent_m_displayAgent(OpenGLWndForView* owner) : m_owner(owner) {}
        void VisitObjects(IObjectVisitor& v) override;
        bool Recompute() override;
        // Requests a repaint, except while the window paints.
        void OnInvalidate() override;
    private:
        OpenGLWndForView* m_owner;
    };

    OpenGLWndForView();
    OpenGLWndForView(const OpenGLWndForView& o);
    OpenGLWndForView& operator=(const OpenGLWndForView& o);
    ~OpenGLWndForView() override;

    // The class record (built on first request).
    static const ReflectedClass* GetClassRecord();

    // IObject (the rest from IObjectBaseMixin).
    const ReflectedClass* GetReflectedClass() const { return GetClassRecord(); }
    void VisitObjects(IObjectVisitor& v);
    void OnGarbageCollect() { m_observerExit.OnCollected(m_sys, {&m_displayAgent, &m_sizeAnalysisAgent}); }

    // Window handlers.
    LRESULT OnTimer(WPARAM id) override;
    LRESULT OnCreate(LPARAM createData) override;
    void OnDestroy() override;
    void OnNcDestroy() override;
    void OnSize(WPARAM type, int32_t width, int32_t height) override;
    void OnSetFocus(HWND lostFocus) override;
    void OnKillFocus(HWND gainsFocus) override;
    LRESULT OnKey(const WindowsKeyEvent& event) override;
    LRESULT OnMouse(EMouseEventType kind, uint32_t keyFlags, int32_t zDelta, Point2i point) override;
    void InitGL(HDC dc, HGLRC context) override;
    void DrawScene() override;

    // The model fields, with a read recorded for the evaluation in progress.
    int32_t GetSizeX() override;
    int32_t GetSizeY() override;
    bool GetHasFocus();
    // Model writes: announced to the thread's operation callbacks (and so to the
    // dependency graph), then stored. The caller holds the space lock.
    void SetHasFocus(bool v);
    void SetSizeX(int32_t v);
    void SetSizeY(int32_t v);

    void SetView(IViewPtr view) { m_view = view; }
    IViewPtr GetView() const { return m_view; }
    // Records the window as the current view, sets the thread's ambient table and
    // size provider to the window's.
    void MakeCurrentView();

    int32_t m_mouseState = 0;
    AmbientResourceTable m_ambient;
    IViewPtr m_view;
    int32_t m_clientWidth = 0;
    int32_t m_clientHeight = 0;
    Agent_m_sizeAnalysisAgent m_sizeAnalysisAgent{this};
    Agent_m_displayAgent m_displayAgent{this};

private:
    void WriteModelField(int32_t index, void* field);
    void DeliverMouseEvent(EMouseEventType type, uint32_t flags, int32_t zDelta, Point2i point);
    void Draw();
    bool m_painting = false;
    ObserverListExit m_observerExit;
};

// Stored form of the model: schema (compressed), HasFocus (one byte), SizeX and SizeY
// (4 bytes each, least significant first).
void SerialiseOpenGLWndForViewModel(Archive& ar, const OpenGLWndForView& w);
InputArchive DeserialiseOpenGLWndForViewModel(InputArchive in, OpenGLWndForView& w);

} // namespace vorn
