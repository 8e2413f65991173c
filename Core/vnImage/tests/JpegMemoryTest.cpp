// A decode that cannot get the memory its frame header asks for fails as a
// vorn::JpegException that says so, never as std::bad_alloc. The decode runs in a child process
// whose allocations are capped at 1 GiB (by the sanitizer's allocator in the
// sanitizer builds, by the address-space limit otherwise), on a stream of a few
// hundred bytes whose frame header claims 30000 x 30000 pixels (2.7 GB).
#include "ImageTestUtil.h"
#include "vnImage/Jpeg.h"
#include "vnPlatform/Process.h"
#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

using namespace vorn;
using namespace vorn::test;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

constexpr const char* kChildVar = "VORN_JPEG_MEMORY_CHILD";

// Exit codes of the child.
enum ChildOutcome { kRefused = 0, kBadAlloc = 3, kOtherException = 4, kDecoded = 5, kBitmapKept = 6, kNotForMemory = 7 };

[[noreturn]] void RunChild()
{
    std::vector<uint8_t> bytes = LibraryJpeg(16, 16, 3, JCS_RGB, RgbGradient(16, 16));
    for (size_t i = 2; i + 9 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
            bytes[i + 5] = bytes[i + 7] = uint8_t(30000 >> 8);
            bytes[i + 6] = bytes[i + 8] = uint8_t(30000 & 0xFF);
            break;
        }
    ResDIB b;
    try {
        b.ReadJpeg(bytes.data(), bytes.size());
    } catch (const JpegException& x) {
        if (!x.IsOutOfMemory()) std::_Exit(kNotForMemory);
        std::_Exit(b.IsEmpty() ? kRefused : kBitmapKept);
    } catch (const std::bad_alloc&) {
        std::_Exit(kBadAlloc);
    } catch (...) {
        std::_Exit(kOtherException);
    }
    std::_Exit(kDecoded);
}

// The test binary started as the child runs the decode in place of the tests.
class ChildEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (std::getenv(kChildVar)) RunChild();
    }
};
::testing::Environment* const kChildEnvironment = ::testing::AddGlobalTestEnvironment(new ChildEnvironment);

} // namespace

TEST(JpegMemory, DecodeWithoutMemoryForItsPixelsIsAJpegException)
{
    TempDir dir;
    const std::string output = dir.File("child.txt");
    const std::string childEnv = std::string(kChildVar) + "=1";
    ChildProcess child;
    if (kUnderAddressSanitizer || kUnderThreadSanitizer) {
        // A sanitizer's shadow memory needs more address space than any cap: its own
        // allocator caps the child instead.
        const char* const args[] = {"vnImage_tests", nullptr};
        const char* const env[] = {childEnv.c_str(),
                                   kUnderThreadSanitizer
                                       ? "TSAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1024"
                                       : "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1024:detect_leaks=0",
                                   nullptr};
        ASSERT_EQ(StartProcess(kSelfExecutable, args, env, output.c_str(), &child), 0);
    } else {
        const char* prlimit = "/usr/bin/prlimit";
        if (!std::filesystem::exists(prlimit)) GTEST_SKIP() << "no prlimit to cap the child's address space";
        const std::string self = std::filesystem::read_symlink(kSelfExecutable).string();
        const char* const args[] = {"prlimit", "--as=1073741824", self.c_str(), nullptr};
        const char* const env[] = {childEnv.c_str(), nullptr};
        ASSERT_EQ(StartProcess(prlimit, args, env, output.c_str(), &child), 0);
    }
    int code = -1;
    ASSERT_EQ(WaitProcess(child, &code), 0);
    EXPECT_EQ(code, int(kRefused)) << "3: std::bad_alloc, 4: another exception, 5: decoded, 6: bitmap kept, "
                                      "7: not said to be for want of memory\n"
                                   << ReadText(output);
}
