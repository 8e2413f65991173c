// A child started with an output file writes both its standard output and its standard
// error there, in the order written.
#include "vnPlatform/Process.h"
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

TEST(ChildProcesses, StandardOutputAndErrorBothReachTheOutputFile)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("vorn-process-" + std::to_string(getpid()) + ".txt")).string();
    const char* const args[] = {"sh", "-c", "echo out; echo err >&2; echo \"$VORN_PROCESS_TEST\"", nullptr};
    const char* const env[] = {"VORN_PROCESS_TEST=extra", nullptr};
    vorn::ChildProcess child;
    ASSERT_EQ(vorn::StartProcess("/bin/sh", args, env, path.c_str(), &child), 0);
    int status = -1;
    ASSERT_EQ(vorn::WaitProcess(child, &status), 0);
    EXPECT_EQ(status, 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "out\nerr\nextra\n");
    std::filesystem::remove(path);
}
