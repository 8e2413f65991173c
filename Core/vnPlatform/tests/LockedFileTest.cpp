#include "vnPlatform/LockedFile.h"
#include <gtest/gtest.h>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using namespace vorn;

namespace {

std::string TempPath(const char* name)
{
    return (std::filesystem::temp_directory_path() / (std::string(name) + "." + std::to_string(::getpid()))).string();
}

void Write(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

uintmax_t SizeOf(const std::string& path) { return std::filesystem::file_size(path); }

} // namespace

// The first opener holds the file: a second open, even one that would empty it, is
// refused with EBUSY and leaves the file as it was; once closed, the file is emptied only
// on request; a missing file without O_CREAT gives the system's error.
TEST(LockedFile, OneOwnerAtATime)
{
    const std::string path = TempPath("vnLockedFile");
    Write(path, "twelve bytes");
    int a = -1, b = -1;
    ASSERT_EQ(OpenLockedFile(path.c_str(), O_RDWR, false, &a), 0);
    EXPECT_GE(a, 0);
    EXPECT_EQ(OpenLockedFile(path.c_str(), O_RDWR | O_TRUNC, true, &b), EBUSY);
    EXPECT_EQ(b, -1);
    EXPECT_EQ(SizeOf(path), 12u);
    ::close(a);

    ASSERT_EQ(OpenLockedFile(path.c_str(), O_RDWR | O_TRUNC, false, &b), 0);
    EXPECT_EQ(SizeOf(path), 12u);   // O_TRUNC alone never empties
    ::close(b);
    ASSERT_EQ(OpenLockedFile(path.c_str(), O_WRONLY, true, &b), 0);
    EXPECT_EQ(SizeOf(path), 0u);
    ::close(b);

    std::remove(path.c_str());
    EXPECT_EQ(OpenLockedFile(path.c_str(), O_RDWR, false, &b), ENOENT);
    ASSERT_EQ(OpenLockedFile(path.c_str(), O_RDWR | O_CREAT, false, &b), 0);
    ::close(b);
    std::remove(path.c_str());
}
