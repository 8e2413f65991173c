#include "vnUtils/File.h"
#include "vnUtils/Exceptions.h"
#include <gtest/gtest.h>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace vorn;
namespace fs = std::filesystem;

namespace {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir()
    {
        std::random_device rd;
        for (;;) {
            m_path = fs::temp_directory_path() / ("vorn-file-test-" + std::to_string(rd()) + std::to_string(rd()));
            std::error_code ec;
            if (fs::create_directory(m_path, ec)) break;
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_path, ec);
    }
    std::string Path(const std::string& rel = "") const { return rel.empty() ? m_path.string() : (m_path / rel).string(); }

private:
    fs::path m_path;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

std::string Str(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

struct Entry {
    std::string name;
    uint32_t attributes;
    uint64_t size;
};

std::vector<Entry> List(const std::string& pattern)
{
    std::vector<Entry> out;
    DirSearch search;
    search.Start(xstring(pattern.c_str()));
    while (search.Next()) {
        const FileOrDirInfo& e = search.Current();
        out.push_back({Str(e.GetName()), e.GetAttributes(), e.GetSize()});
    }
    EXPECT_FALSE(search.Next());
    EXPECT_FALSE(search.IsOpen());
    return out;
}

std::vector<std::string> Names(const std::vector<Entry>& entries)
{
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    return names;
}

const Entry* Find(const std::vector<Entry>& entries, const std::string& name)
{
    for (const auto& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

} // namespace

TEST(ReadFileIntoBytes, ReadsWholeFilesOfEverySize)
{
    TempDir dir;
    for (size_t n : {size_t(0), size_t(1), size_t(4095), size_t(4096), size_t(8192), size_t(10000)}) {
        SCOPED_TRACE(n);
        const auto bytes = RandomBytes(n, unsigned(n));
        const std::string path = dir.Path("f" + std::to_string(n));
        WriteFile(path, bytes);
        xvector<uint8_t> out(3, 0xAA);
        ASSERT_TRUE(ReadFileIntoBytes(out, xstring(path.c_str())));
        ASSERT_EQ(size_t(out.size()), n);
        EXPECT_EQ(size_t(out.capacity()), n);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin()));
    }
}

TEST(ReadFileIntoBytes, FailuresLeaveTheOutputUntouched)
{
    TempDir dir;
    xvector<uint8_t> out(3, 0xAA);
    EXPECT_FALSE(ReadFileIntoBytes(out, xstring(dir.Path("missing").c_str())));
    EXPECT_FALSE(ReadFileIntoBytes(out, xstring(dir.Path().c_str()))); // a directory
    EXPECT_FALSE(ReadFileIntoBytes(out, xstring("")));
    // Reading this file fails at once (EIO): an error, not an empty file.
    if (fs::exists("/proc/self/mem")) {
        EXPECT_FALSE(ReadFileIntoBytes(out, xstring("/proc/self/mem")));
    }
    EXPECT_EQ(out, xvector<uint8_t>(3, 0xAA));
}

// Names are bytes: UTF-8 ones and others open as they are.
TEST(OpenFileUtf8, OpensNamesAsTheirBytes)
{
    TempDir dir;
    const std::string name = dir.Path("caf\xC3\xA9.txt");
    WriteFile(name, {1, 2, 3});
    FILE* f = OpenFileUtf8(name.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const std::string bad = dir.Path("bad\xC3(.txt");
    WriteFile(bad, {1});
    f = OpenFileUtf8(bad.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(OpenFileUtf8(dir.Path().c_str(), "rb"), nullptr);
    EXPECT_EQ(OpenFileUtf8(dir.Path("nope").c_str(), "rb"), nullptr);
}

TEST(File, ANeverOpenedFileIsNeitherReadableNorWritable)
{
    File f;
    EXPECT_FALSE(f.IsWritable());
    EXPECT_FALSE(f.IsOpen());
    char buf[8];
    EXPECT_EQ(f.ReadStream(buf, 8), 0);
    EXPECT_EQ(f.GetLength(), 0);
    EXPECT_EQ(f.GetPosition(), -1);
    f.Seek(10);
    f.Flush();
    f.WriteStream(buf, 0); // nothing to write: no failure
    try {
        f.WriteStream(buf, 1);
        FAIL() << "a write to a closed file must fail";
    } catch (const VornException& e) {
        EXPECT_EQ(e.GetCode(), 4);
        EXPECT_EQ(e.GetCategory(), FileErrorCategory());
        EXPECT_EQ(Str(e.GetMessage()), "Error writing data");
    }
    f.Close();
}

TEST(File, ReadingReportsTheRealLengthAndSeeks)
{
    TempDir dir;
    const auto bytes = RandomBytes(5000, 1);
    const std::string path = dir.Path("r.bin");
    WriteFile(path, bytes);
    File f;
    ASSERT_TRUE(f.OpenForReading(xstring(path.c_str())));
    EXPECT_EQ(f.GetMode(), File::kModeRead);
    EXPECT_FALSE(f.IsWritable());
    EXPECT_EQ(f.GetLength(), 5000);
    f.Seek(4990);
    EXPECT_EQ(f.GetPosition(), 4990);
    uint8_t buf[32];
    EXPECT_EQ(f.ReadStream(buf, 32), 10);
    EXPECT_EQ(buf[9], bytes[4999]);
    EXPECT_EQ(f.ReadStream(buf, 32), 0);
    EXPECT_FALSE(f.HasReadError());
    EXPECT_THROW(f.WriteStream(buf, 4), VornException); // a read-only stream
    f.Close();
    EXPECT_EQ(f.ReadStream(buf, 32), 0);
    EXPECT_FALSE(f.OpenForReading(xstring(dir.Path("missing").c_str())));
    EXPECT_FALSE(f.IsOpen());
}

TEST(File, WritingCountsTheBytesWrittenThroughIt)
{
    TempDir dir;
    const std::string path = dir.Path("w.bin");
    {
        File f;
        ASSERT_TRUE(f.OpenForWriting(xstring(path.c_str())));
        EXPECT_TRUE(f.IsWritable());
        f.WriteStream("hello", 5);
        f.WriteStream("", 0);
        f.WriteStream(" world", 6);
        EXPECT_EQ(f.GetLength(), 11);
        f.Flush();
        EXPECT_EQ(fs::file_size(path), 11u);
        f.Close();
        EXPECT_FALSE(f.IsWritable());
        ASSERT_TRUE(f.OpenForAppending(xstring(path.c_str())));
        EXPECT_EQ(f.GetLength(), 0); // the count starts again
        f.WriteStream("!", 1);
    } // the destructor closes
    xvector<uint8_t> back;
    ASSERT_TRUE(ReadFileIntoBytes(back, xstring(path.c_str())));
    EXPECT_EQ(std::string(back.begin(), back.end()), "hello world!");
}

TEST(File, SizesBeyondFourGiB)
{
    TempDir dir;
    const std::string path = dir.Path("sparse.bin");
    const uint64_t size = (uint64_t(5) << 30) + 123;
    {
        std::ofstream(path, std::ios::binary).put('x');
        std::error_code ec;
        fs::resize_file(path, size, ec);
        if (ec || fs::file_size(path) != size) GTEST_SKIP() << "no sparse file of 5 GiB here";
    }
    File f;
    ASSERT_TRUE(f.OpenForReading(xstring(path.c_str())));
    EXPECT_EQ(uint64_t(f.GetLength()), size);
    f.Seek(int64_t(size) - 1);
    EXPECT_EQ(uint64_t(f.GetPosition()), size - 1);
    char c = 1;
    EXPECT_EQ(f.ReadStream(&c, 1), 1);
    EXPECT_EQ(c, 0);

    FileOrDirInfo info;
    ASSERT_TRUE(info.Query(xstring(path.c_str())));
    EXPECT_EQ(info.GetSize(), size);
    const auto entries = List(dir.Path() + "/*");
    const Entry* e = Find(entries, "sparse.bin");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, size);
}

TEST(FileOrDirInfo, AFreshRecordIsNormalAndZero)
{
    FileOrDirInfo info;
    EXPECT_EQ(info.GetAttributes(), 0x80u);
    EXPECT_FALSE(info.IsDirectory() || info.IsHidden() || info.IsSystem() || info.IsReadOnly() || info.IsArchive() ||
                 info.IsCompressed() || info.IsEncrypted() || info.IsOffline() || info.IsSparse());
    EXPECT_EQ(info.GetSize(), 0u);
    EXPECT_EQ(info.GetLastWriteTime(), 0u);
    EXPECT_EQ(info.GetName().size(), 0);
}

TEST(DirSearch, ListsATreeSortedWithItsAttributes)
{
    TempDir dir;
    WriteFile(dir.Path("b.jpg"), RandomBytes(1234, 2));
    WriteFile(dir.Path("A.JPG"), {});
    WriteFile(dir.Path(".hidden"), {1});
    WriteFile(dir.Path("readonly.txt"), {1});
    fs::permissions(dir.Path("readonly.txt"), fs::perms::owner_read | fs::perms::group_read);
    fs::create_directory(dir.Path("sub"));
    fs::create_directory(dir.Path(".git"));
    WriteFile(dir.Path("sub/inner.jpg"), {1, 2});
    ASSERT_TRUE(MakeFifo(dir.Path("pipe").c_str()));
    fs::create_directory_symlink(dir.Path("sub"), dir.Path("linkToSub"));
    fs::create_symlink("loopB", dir.Path("loopA"));
    fs::create_symlink("loopA", dir.Path("loopB"));
    fs::create_directory_symlink(".", dir.Path("self"));

    const auto entries = List(dir.Path() + "/*");
    EXPECT_EQ(Names(entries), (std::vector<std::string>{".", "..", ".git", ".hidden", "A.JPG", "b.jpg", "linkToSub",
                                                        "loopA", "loopB", "pipe", "readonly.txt", "self", "sub"}));
    auto attr = [&](const char* name) { return Find(entries, name)->attributes; };
    EXPECT_EQ(attr("."), 0x10u);
    EXPECT_EQ(attr(".."), 0x10u);
    EXPECT_EQ(attr(".git"), 0x12u);
    EXPECT_EQ(attr(".hidden"), 0x2u);
    EXPECT_EQ(attr("A.JPG"), 0x80u);
    EXPECT_EQ(attr("b.jpg"), 0x80u);
    EXPECT_EQ(Find(entries, "b.jpg")->size, 1234u);
    EXPECT_EQ(attr("readonly.txt"), 0x1u);
    EXPECT_EQ(attr("sub"), 0x10u);
    for (const char* special : {"pipe", "linkToSub", "loopA", "loopB", "self"}) {
        EXPECT_EQ(attr(special), 0x4u) << special; // system, and never a directory
        EXPECT_EQ(Find(entries, special)->size, 0u);
    }

    // Times are on the 1601 scale, near now.
    DirSearch s;
    s.Start(xstring((dir.Path() + "/b.jpg").c_str()));
    ASSERT_TRUE(s.Next());
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const int64_t written = int64_t(s.Current().GetLastWriteTime() / 10000000u) - 11644473600LL;
    EXPECT_LT(std::abs(written - int64_t(now)), 3600);
    EXPECT_GE(s.Current().GetLastAccessTime(), uint64_t(11644473600LL) * 10000000u);
    EXPECT_GE(s.Current().GetCreationTime(), uint64_t(11644473600LL) * 10000000u);
    EXPECT_FALSE(s.Next());
    EXPECT_FALSE(s.Next());
}

TEST(DirSearch, ARecursiveWalkSkippingLinksFinishes)
{
    TempDir dir;
    fs::create_directories(dir.Path("a/b/c"));
    WriteFile(dir.Path("a/b/c/deep.jpg"), {1});
    WriteFile(dir.Path("a/one.jpg"), {1});
    fs::create_directory_symlink("..", dir.Path("a/b/up"));
    fs::create_directory_symlink(".", dir.Path("a/here"));
    ASSERT_TRUE(MakeFifo(dir.Path("a/b/fifo").c_str()));

    std::vector<std::string> files;
    int directories = 0;
    std::function<void(const std::string&)> walk = [&](const std::string& d) {
        ASSERT_LT(++directories, 50) << "the walk does not end";
        DirSearch s;
        s.Start(xstring((d + "/*").c_str()));
        while (s.Next()) {
            const FileOrDirInfo& e = s.Current();
            const std::string name = e.GetNameZ();
            if (e.IsSystem() || e.IsHidden()) continue;
            if (e.IsDirectory()) {
                if (name != "." && name != "..") walk(d + "/" + name);
            } else {
                files.push_back(d.substr(dir.Path().size()) + "/" + name);
            }
        }
    };
    walk(dir.Path());
    EXPECT_EQ(directories, 4);
    EXPECT_EQ(files, (std::vector<std::string>{"/a/b/c/deep.jpg", "/a/one.jpg"}));
}

TEST(DirSearch, PatternsAndEmptyEnumerations)
{
    TempDir dir;
    for (const char* n : {"x.jpg", "Y.JpG", "z.jpeg", "nodot", ".jpg"}) WriteFile(dir.Path(n), {});
    EXPECT_EQ(Names(List(dir.Path() + "/*.jpg")), (std::vector<std::string>{".jpg", "Y.JpG", "x.jpg"}));
    EXPECT_EQ(List(dir.Path() + "/*.*").size(), 7u); // every name, as "*" gives
    EXPECT_EQ(List(dir.Path() + "/*").size(), 7u);
    EXPECT_EQ(Names(List(dir.Path() + "/nodot")), (std::vector<std::string>{"nodot"}));
    EXPECT_TRUE(List(dir.Path() + "/*.png").empty());
    EXPECT_TRUE(List(dir.Path() + "/missing/*").empty());
    EXPECT_TRUE(List(dir.Path("x.jpg") + "/*").empty()); // not a directory
    EXPECT_TRUE(List(dir.Path() + "/\xC3(*").empty());   // not UTF-8, and no such name
    EXPECT_TRUE(List(dir.Path() + "/").empty());

    // A folder whose name is not UTF-8 is searched as its bytes name it; one that
    // cannot be searched says why.
    const std::string latin1 = dir.Path("Urlaub\xE9");
    fs::create_directory(latin1);
    WriteFile(latin1 + "/\xE9t\xE9.jpg", {});
    EXPECT_EQ(Names(List(latin1 + "/*")), (std::vector<std::string>{".", "..", "\xE9t\xE9.jpg"}));
    {
        DirSearch missing;
        missing.Start(xstring((dir.Path() + "/missing/*").c_str()));
        EXPECT_EQ(missing.GetError(), ENOENT);
        missing.Start(xstring((latin1 + "/*").c_str()));
        EXPECT_EQ(missing.GetError(), 0);
    }

    DirSearch s;
    EXPECT_FALSE(s.Next()); // never started
    s.Start(xstring((dir.Path() + "/*").c_str()));
    ASSERT_TRUE(s.Next());
    s.Start(xstring((dir.Path() + "/x.*").c_str())); // a restart closes the first search
    ASSERT_TRUE(s.Next());
    EXPECT_EQ(Str(s.Current().GetName()), "x.jpg");
    EXPECT_FALSE(s.Next());
    EXPECT_FALSE(s.Next());
}
