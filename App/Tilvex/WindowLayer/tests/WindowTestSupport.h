// Shared set-up of the window tests: the window system on the test's display, or on
// the offscreen driver when there is none; error boxes off (their text still goes to
// standard error); and a window that records the handler calls it receives.
#pragma once
#include "Tilvex/WindowLayer/FrameworkWindowClass.h"
#include "Tilvex/WindowLayer/MessageLoop.h"
#include "vnWindows/WindowSystem.h"
#include "vnWindows/OpenGLWnd.h"
#include "vnPlatform/Process.h"
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vorn::test {

inline void StartTestWindowSystem()
{
    const char* display = std::getenv("DISPLAY");
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    if ((!display || !*display) && (!driver || !*driver)) setenv("SDL_VIDEODRIVER", "offscreen", 1);
    EnablePlatformErrorBoxes(false);
    ASSERT_NE(RegisterFrameworkWindowClass(nullptr), 0);
}

struct Call {
    std::string what;
    int64_t a = 0, b = 0, c = 0, d = 0, e = 0;
    bool operator==(const Call& o) const { return what == o.what; }
};

// An OpenGL window that records its handler calls into a list that outlives it.
class RecordingWnd : public OpenGLWnd {
public:
    explicit RecordingWnd(std::vector<Call>* log) : m_log(log) {}
    ~RecordingWnd() override { m_log->push_back({"deleted"}); }

    LRESULT OnUserMessage(uint32_t msg, WPARAM w, LPARAM l) override
    {
        m_log->push_back({"user", msg, int64_t(w), l});
        return 77;
    }
    LRESULT OnTimer(WPARAM id) override
    {
        m_log->push_back({"timer", int64_t(id)});
        return 0;
    }
    LRESULT OnCreate(LPARAM l) override
    {
        m_log->push_back({"create", l, m_hWnd != nullptr});
        if (!m_destroyInCreate) return m_createResult;
        Destroy(); // deletes this
        return 0;
    }
    void OnClose() override
    {
        m_log->push_back({"close"});
        OpenGLWnd::OnClose();
    }
    void OnDestroy() override
    {
        m_log->push_back({"destroy"});
        OpenGLWnd::OnDestroy();
    }
    void OnNcDestroy() override
    {
        m_log->push_back({"ncdestroy"});
        OpenGLWnd::OnNcDestroy();
    }
    void OnSize(WPARAM type, int32_t w, int32_t h) override { m_log->push_back({"size", int64_t(type), w, h}); }
    void OnPaint(DeviceContextHolder* dc, const Rect2i& r) override
    {
        m_log->push_back({"paint", dc != nullptr, r.x2, r.y2});
        OpenGLWnd::OnPaint(dc, r);
    }
    void OnSetFocus(HWND) override { m_log->push_back({"setfocus"}); }
    void OnKillFocus(HWND) override { m_log->push_back({"killfocus"}); }
    LRESULT OnKey(const WindowsKeyEvent& e) override
    {
        m_log->push_back({"key", e.keyEvent, e.vkeyOrChar, e.cRepeat, e.nFlags});
        return 0;
    }
    LRESULT OnMouse(EMouseEventType kind, uint32_t flags, int32_t delta, Point2i p) override
    {
        m_log->push_back({"mouse", kind, flags, delta, p.x, p.y});
        return 0;
    }
    void OnCommand(uint32_t code, uint32_t id, LPARAM ctl) override { m_log->push_back({"command", code, id, ctl}); }

    LRESULT m_createResult = 0;
    bool m_destroyInCreate = false;

private:
    std::vector<Call>* m_log;
};

inline std::vector<std::string> Names(const std::vector<Call>& log)
{
    std::vector<std::string> v;
    for (const Call& c : log) v.push_back(c.what);
    return v;
}

// After a test that failed early: destroys its windows without their objects (whose
// logs are gone by now).
inline void DestroyLeftoverWindows()
{
    for (PlatformWindow* w : GetPlatformWindows()) {
        ADD_FAILURE() << "a test left a window";
        SetWindowLongPtrW(w, 0, 0);
        DestroyWindow(w);
    }
}

// Dispatches what the loop has until nothing arrives for waitMs.
inline int PumpMessages(int32_t waitMs = 50)
{
    int n = 0;
    MSG msg;
    while (PeekMessageW(&msg, waitMs)) {
        DispatchMessageW(&msg);
        ++n;
    }
    return n;
}

// Waits, checking every 10 ms, until done() holds; false when it did not within the
// (generous) limit. For what another process does, which sends no event here.
template <class F>
bool WaitUntil(F done, std::chrono::seconds limit = std::chrono::seconds(120))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// What a program writes to its standard output and error; false when it cannot be run
// or ends with another status than 0.
inline bool RunTool(const std::vector<std::string>& args, std::string* output)
{
    // The output file takes standard error: the program's output is sent there too.
    std::vector<const char*> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 1>&2"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("vorn-tool-" + std::to_string(std::random_device()()) + ".out")).string();
    ChildProcess child;
    int status = -1;
    const bool ran = StartProcess(argv[0], argv.data(), nullptr, path.c_str(), &child) == 0 &&
                     WaitProcess(child, &status) == 0;
    std::ifstream f(path);
    std::stringstream text;
    text << f.rdbuf();
    *output = text.str();
    std::filesystem::remove(path);
    return ran && status == 0;
}

// The X server's top-level windows named "Error" (error boxes), as xwininfo lists them.
inline int CountErrorBoxes()
{
    std::string out;
    if (!RunTool({"/usr/bin/xwininfo", "-root", "-children"}, &out)) return -1;
    int n = 0;
    for (size_t at = out.find("\"Error\":"); at != std::string::npos; at = out.find("\"Error\":", at + 1)) ++n;
    return n;
}

// An X server (Xvfb) of the test's own, named by DISPLAY while it runs, so that no window
// of another test covers the test's windows, takes their input or counts as theirs. The
// window system is stopped on entry and on exit, so that it starts on this server.
class PrivateXServer {
public:
    PrivateXServer()
    {
        // A death test's child runs on the server its parent named.
        if (!GTEST_FLAG_GET(internal_run_death_test).empty()) {
            m_inChild = true;
            return;
        }
        if (!std::filesystem::exists("/usr/bin/Xvfb")) return;
        StopWindowSystem();
        if (const char* d = std::getenv("DISPLAY")) m_savedDisplay = d;
        if (const char* v = std::getenv("SDL_VIDEODRIVER")) m_savedDriver = v;
        m_log = (std::filesystem::temp_directory_path() /
                 ("vorn-xvfb-" + std::to_string(std::random_device()()) + ".log")).string();
        // The server picks a free display and writes its number once it takes clients.
        const char* args[] = {"/usr/bin/Xvfb", "-displayfd", "2", "-screen", "0", "1280x1024x24",
                              "-nolisten", "tcp", "-noreset", nullptr};
        if (StartProcess(args[0], args, nullptr, m_log.c_str(), &m_server) != 0) return;
        WaitUntil([&] {
            std::ifstream f(m_log);
            std::string line;
            while (std::getline(f, line)) {
                if (line.find("Fatal server error") != std::string::npos) return true;
                if (!f.eof() && !line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
                    m_display = ":" + line;
                    return true;
                }
            }
            return false;
        });
        if (m_display.empty()) {
            std::ifstream f(m_log);
            std::stringstream text;
            text << f.rdbuf();
            ADD_FAILURE() << "Xvfb named no display:\n" << text.str();
            return;
        }
        setenv("DISPLAY", m_display.c_str(), 1);
        unsetenv("SDL_VIDEODRIVER");
    }
    ~PrivateXServer()
    {
        if (m_inChild) return;
        StopWindowSystem();
        if (m_server.m_pid != 0) {
            int status = 0;
            KillProcess(m_server);
            WaitProcess(m_server, &status);
            std::filesystem::remove(m_log);
        }
        if (!m_display.empty()) {
            if (m_savedDisplay.empty()) unsetenv("DISPLAY"); else setenv("DISPLAY", m_savedDisplay.c_str(), 1);
            if (!m_savedDriver.empty()) setenv("SDL_VIDEODRIVER", m_savedDriver.c_str(), 1);
        }
    }
    // False when no Xvfb could be started here.
    bool Running() const { return m_inChild || !m_display.empty(); }

private:
    bool m_inChild = false;
    ChildProcess m_server;
    std::string m_log, m_display, m_savedDisplay, m_savedDriver;
};

} // namespace vorn::test
