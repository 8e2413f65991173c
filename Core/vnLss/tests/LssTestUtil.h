// Helpers shared by the store's tests: a temporary directory removed afterwards, and
// iteration counts scaled down under ThreadSanitizer.
#pragma once
#include <filesystem>
#include <random>
#include <string>

namespace vorn::test {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

// An iteration count, smaller under ThreadSanitizer (which runs every test of the store).
constexpr int Scaled(int n) { return kUnderThreadSanitizer ? (n + 9) / 10 : n; }

class TempDir {
public:
    TempDir()
    {
        std::random_device rd;
        const auto base = std::filesystem::temp_directory_path();
        for (;;) {
            m_path = base / ("vnlss-test-" + std::to_string(rd()) + std::to_string(rd()));
            if (std::filesystem::create_directory(m_path)) break;
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const char* name) const { return (m_path / name).string(); }
    const std::filesystem::path& Path() const { return m_path; }
private:
    std::filesystem::path m_path;
};

} // namespace vorn::test
