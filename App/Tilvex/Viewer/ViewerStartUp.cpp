#include "Tilvex/Viewer/ViewerStartUp.h"
#include "Tilvex/WindowLayer/FrameworkWindowClass.h"
#include "Tilvex/WindowLayer/GuiTypes.h"
#include "Tilvex/WindowLayer/MessageLoop.h"
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Viewer/TileDecoding.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Model/TilvexModule.h"
#include "Tilvex/Viewer/TilvexWnd.h"
#include "vnObject/CSpace.h"
#include "vnObject/ObjectModule.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistModule.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnWindows/WindowSystem.h"
#include "vnReflection/CoreModule.h"
#include "vnReflection/XTarget.h"
#include "vnWindows/WindowModule.h"
#include "vnUtils/Trace.h"
#include <algorithm>
#include <string>

using namespace vorn;

namespace {

void Report(const xstring& text)
{
    WriteTraceText(text + xstring("\n"));
    ShowPlatformErrorBox(std::string(text.data(), text.size()).c_str());
}

// Everything the run owns, undone in reverse order of making.
struct ViewerSession {
    PersistStore* m_store = nullptr;
    PSpace* m_space = nullptr;
    PSpace* m_savedP = nullptr;
    CSpace* m_savedC = nullptr;
    bool m_slotsSet = false;
    IThreadPool* m_pool = nullptr;

    void Open(const xstring& path)
    {
        PersistStoreSettings settings;
        settings.lssSettings.m_flushTimeMilliSec = 10000;
        settings.lssSettings.m_maxNumSegmentsInCache = 512;
        settings.lssSettings.m_numSegmentsPerCheckPoint = 256;
        settings.lssSettings.m_segmentSize = 0x80000;
        m_store = OpenPersistStore(std::string(path.data(), path.size()).c_str(), OM_OPEN_ALWAYS, &settings);
        m_space = OpenPSpace(m_store, "P", nullptr);
        m_savedP = GetThreadPSpace();
        m_savedC = GetThreadCSpace();
        m_slotsSet = true;
        SetThreadPSpace(m_space);
        SetThreadCSpace(m_space->GetCSpace());
        WriteTraceText(xstring("Default Eviction threshold = ") + xstring(std::to_string(GetEvictionThreshold()).c_str()) + xstring("\n"));
        SetEvictionThreshold(0x800000);
        WriteTraceText(xstring("Eviction threshold = ") + xstring(std::to_string(GetEvictionThreshold()).c_str()) + xstring("\n"));
        WriteTraceText(xstring("Time per GC = ") + xstring(std::to_string(GetMilliSecsPerGc()).c_str()) + xstring("\n"));
    }

    // Undoes what was made; a failure while closing is reported and makes the status 1.
    void Close()
    {
        StopTileDecoding();
        delete m_pool;
        m_pool = nullptr;
        if (m_space) {
            try {
                m_store->ClosePSpace(m_space);
            } catch (const IException& e) {
                Report(e.Describe());
            }
            m_space = nullptr;
        }
        if (m_slotsSet) {
            SetThreadPSpace(m_savedP);
            SetThreadCSpace(m_savedC);
            m_slotsSet = false;
        }
        if (m_store) {
            try {
                m_store->Close();
            } catch (const IException& e) {
                Report(e.Describe());
            }
            m_store = nullptr;
        }
    }
};

} // namespace

void RegisterViewerModule()
{
    static bool done = false;
    if (done) return;
    done = true;
    static const int32_t rows[] = {-1};
    static const dsTargetConfig config[] = {{"Release 0.0", 0x180807D8u, rows}};
    static const dsTarget target{"Vorn/App/Tilvex", 0, nullptr, 1, config};
    XTarget* existing = GetProgramModule();
    XTarget& module = existing ? *existing : CreateProgramModule(target);
    RegisterObjectSpaceModule(module);
    RegisterPersistModule(module);
    RegisterGeometryReflection(module);
    InitUtilsModuleReflection(module);
    RegisterGuiModuleReflection(module);
    InitTilvexModule(module);
    InitImageModuleReflection(module);
    const ReflectedItemEntry palette = PaletteChannelCalculatorEntry();
    RegisterReflectedItemsOnce(module, ReflectedItemTable{&palette, 1});
}

xstring JoinCommandLine(int argc, char** argv)
{
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return xstring(line.c_str());
}

xstring StorePathOf(const xstring& commandLine)
{
    std::string s(commandLine.data(), commandLine.size());
    if (s.size() > 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return xstring(s.c_str());
}

int32_t RunViewer(const xstring& commandLine)
{
    RegisterViewerModule();
    // Registration starts the window system and says on standard error why it could
    // not: a viewer with nothing to show on has failed.
    if (RegisterFrameworkWindowClass(nullptr) == 0) return -1;
    // The window system that the registration started stops when the run ends, however
    // it ends, after the store is closed; then the run waits for its error boxes to be
    // closed (a stop signal takes them down).
    struct WindowSystemStop {
        ~WindowSystemStop()
        {
            StopWindowSystem();
            WaitPlatformErrorBoxes();
        }
    } windowSystemStop;
    if (commandLine.empty()) {
        ShowPlatformErrorBox("Command line required");
        return -1;
    }
    const xstring path = StorePathOf(commandLine);
    ViewerSession session;
    int32_t status = 1;
    try {
        session.Open(path);
        Tilvex* root = Tilvex::FromPersistable(IPersistablePtr::FromAny(BootstrapPSpaceRoot(Tilvex::GetClassRecord(), "R")));
        if (root == nullptr) throw DeserialisationException(xstring("the root \"R\" is not a vorn::Tilvex"));
        session.m_pool = CreateThreadPool(4);
        StartTileDecoding(session.m_pool->CreateTaskExecuter());
        TilvexWnd* window = nullptr;
        {
            ModelTransaction txn;
            const int32_t height = root->GetHeight();
            // A stored height whose image side would not fit 32 bits is damage.
            if (height > 23) throw DeserialisationException(xstring("the stored pyramid is too high to show"));
            // The image's side is its root tile's; a new image (height 0) shows one tile.
            window = CreateViewerWindow(root, int32_t(NodeSideInPixels(std::max(height, 1), 1)));
        }
        if (window != nullptr) {
            MSG msg;
            while (GetMessageW(&msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    } catch (const IException& e) {
        Report(e.Describe());
    } catch (const std::exception& e) { // out of memory, say: reported like the rest
        Report(xstring(e.what()));
    }
    // A window still open (the loop ended with WM_QUIT) is destroyed as a closed one is,
    // while the space that holds its object is still open. The window system stops only
    // after the store is closed: its end may still meet X errors.
    DestroyAllWindows();
    session.Close();
    return status;
}
