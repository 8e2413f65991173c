// Helpers shared by the store's tests: a temporary directory removed afterwards.
#pragma once
#include <filesystem>
#include <random>
#include <string>

namespace vorn::test {

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
