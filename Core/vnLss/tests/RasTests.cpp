#include "LssTestUtil.h"
#include "vnLss/Ras.h"
#include "vnUtils/Exceptions.h"
#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

using namespace vorn;
using vorn::test::TempDir;

namespace {

struct RasBuffer {
    IRAS& ras;
    uint8_t* p;
    RasBuffer(IRAS& r, uint32_t n) : ras(r), p(static_cast<uint8_t*>(r.AllocBuffer(n))) {}
    ~RasBuffer() { ras.FreeBuffer(p); }
};

uint32_t FileErrorCode(const std::function<void()>& f)
{
    try {
        f();
    } catch (const FileException& e) {
        return e.GetErrorCode();
    }
    return 0;
}

void WriteFileBytes(const std::string& path, size_t n, char fill)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string s(n, fill);
    out.write(s.data(), std::streamsize(n));
}

} // namespace

// Both the direct and the buffered path of the file storage.
class FileRasTest : public ::testing::TestWithParam<bool> {
protected:
    std::unique_ptr<FileRAS> Open(EOpenMode mode)
    {
        return std::make_unique<FileRAS>(m_path.c_str(), mode, GetParam(), false);
    }
    TempDir m_dir;
    std::string m_path = m_dir.File("store.lss");
};

TEST_P(FileRasTest, AllocBufferIsAlignedAndZeroed)
{
    auto ras = Open(OM_CREATE_NEW);
    EXPECT_EQ(ras->GetSectorSize(), 512);
    RasBuffer b(*ras, 10000);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.p) % 4096, 0u);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(b.p[i], 0);
}

TEST_P(FileRasTest, GrowthRoundsToHalfMegabyte)
{
    auto ras = Open(OM_CREATE_NEW);
    EXPECT_EQ(ras->GetSize(), 0u);
    RasBuffer b(*ras, 4096);
    std::memset(b.p, 0xAB, 4096);
    ras->Write(b.p, 0, 512);
    EXPECT_EQ(ras->GetSize(), 0x80000u);
    EXPECT_EQ(std::filesystem::file_size(m_path), 0x80000u);
    // One sector ending at 0x80001 (an unaligned offset).
    ras->Write(b.p, 0x80001 - 512, 512);
    EXPECT_EQ(ras->GetSize(), 0x100000u);
    EXPECT_EQ(std::filesystem::file_size(m_path), 0x100000u);
    // A write inside the file changes nothing.
    ras->Write(b.p, 0x1000, 4096);
    EXPECT_EQ(ras->GetSize(), 0x100000u);
    // 64-bit offsets: a write past 4 GiB (a sparse file).
    ras->Write(b.p, 0x100000000ull + 4096, 512);
    EXPECT_EQ(ras->GetSize(), 0x100080000ull);
    std::memset(b.p, 0, 4096);
    ras->Read(b.p, 0x100000000ull + 4096, 512);
    EXPECT_EQ(b.p[0], 0xAB);
    EXPECT_EQ(b.p[511], 0xAB);
}

TEST_P(FileRasTest, ReadsPastTheEndGiveZeros)
{
    auto ras = Open(OM_CREATE_ALWAYS);
    RasBuffer b(*ras, 4096);
    std::memset(b.p, 0x5A, 4096);
    ras->Write(b.p, 0x80000 - 512, 512);
    const uint64_t size = ras->GetSize();
    ASSERT_EQ(size, 0x80000u);
    std::memset(b.p, 0xFF, 4096);
    ras->Read(b.p, size - 512, 1024);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(b.p[i], 0x5A) << i;
    for (int i = 512; i < 1024; ++i) ASSERT_EQ(b.p[i], 0) << i;
    EXPECT_EQ(b.p[1024], 0xFF); // nothing beyond the length
    std::memset(b.p, 0xFF, 4096);
    ras->Read(b.p, size, 4096);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(b.p[i], 0);
    std::memset(b.p, 0xFF, 4096);
    ras->Read(b.p, size * 10, 512);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(b.p[i], 0);
}

TEST_P(FileRasTest, UnalignedTransfersWork)
{
    auto ras = Open(OM_CREATE_NEW);
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    ras->Write(data.data() + 1, 12345, 999);
    std::vector<uint8_t> back(1003, 0xEE);
    ras->Read(back.data() + 3, 12345, 999);
    EXPECT_EQ(std::memcmp(back.data() + 3, data.data() + 1, 999), 0);
    EXPECT_EQ(back[2], 0xEE);
}

TEST_P(FileRasTest, SetSizeOnlyShrinks)
{
    auto ras = Open(OM_CREATE_NEW);
    RasBuffer b(*ras, 512);
    ras->Write(b.p, 0x80000, 512);
    ASSERT_EQ(ras->GetSize(), 0x100000u);
    ras->SetSize(0x200000);
    EXPECT_EQ(ras->GetSize(), 0x100000u);
    EXPECT_EQ(std::filesystem::file_size(m_path), 0x100000u);
    ras->SetSize(0x10000);
    EXPECT_EQ(ras->GetSize(), 0x10000u);
    EXPECT_EQ(std::filesystem::file_size(m_path), 0x10000u);
}

TEST_P(FileRasTest, OpenModes)
{
    EXPECT_EQ(FileErrorCode([&] { Open(OM_OPEN_EXISTING); }), uint32_t(ENOENT));
    EXPECT_EQ(FileErrorCode([&] { Open(OM_DELETE_EXISTING); }), uint32_t(ENOENT));
    EXPECT_FALSE(std::filesystem::exists(m_path));
    { auto ras = Open(OM_OPEN_ALWAYS); EXPECT_EQ(ras->GetSize(), 0u); }
    EXPECT_TRUE(std::filesystem::exists(m_path));
    try {
        Open(OM_CREATE_NEW);
        FAIL() << "no exception";
    } catch (const FileException& e) {
        EXPECT_EQ(e.GetErrorCode(), uint32_t(EEXIST));
        EXPECT_EQ(e.GetPath(), xstring(m_path.c_str()));
    }
    WriteFileBytes(m_path, 3000, 'x');
    { auto ras = Open(OM_OPEN_EXISTING); EXPECT_EQ(ras->GetSize(), 3000u); }
    { auto ras = Open(OM_OPEN_ALWAYS); EXPECT_EQ(ras->GetSize(), 3000u); }
    { auto ras = Open(OM_DELETE_EXISTING); EXPECT_EQ(ras->GetSize(), 0u); }
    WriteFileBytes(m_path, 3000, 'x');
    { auto ras = Open(OM_CREATE_ALWAYS); EXPECT_EQ(ras->GetSize(), 0u); }
    EXPECT_EQ(std::filesystem::file_size(m_path), 0u);
    EXPECT_NE(FileErrorCode([&] { std::make_unique<FileRAS>(m_path.c_str(), EOpenMode(9), GetParam(), false); }), 0u);
}

TEST_P(FileRasTest, SecondOpenerIsRefusedWithoutTruncation)
{
    auto first = Open(OM_CREATE_NEW);
    RasBuffer b(*first, 512);
    std::memset(b.p, 0x77, 512);
    first->Write(b.p, 0, 512);
    for (EOpenMode mode : {OM_CREATE_ALWAYS, OM_DELETE_EXISTING, OM_OPEN_EXISTING, OM_OPEN_ALWAYS})
        EXPECT_EQ(FileErrorCode([&] { Open(mode); }), uint32_t(EBUSY)) << int(mode);
    EXPECT_EQ(std::filesystem::file_size(m_path), 0x80000u);
    std::memset(b.p, 0, 512);
    first->Read(b.p, 0, 512);
    EXPECT_EQ(b.p[0], 0x77);
    EXPECT_EQ(b.p[511], 0x77);
    first->Close();
    first->Close(); // a second close does nothing
    auto second = Open(OM_OPEN_EXISTING);
    EXPECT_EQ(second->GetSize(), 0x80000u);
}

TEST_P(FileRasTest, ShortReadIsAnError)
{
    auto ras = Open(OM_CREATE_NEW);
    RasBuffer b(*ras, 4096);
    ras->Write(b.p, 0, 4096);
    // The file shrinks behind the storage's back: the cached size promises more.
    std::filesystem::resize_file(m_path, 1024);
    EXPECT_EQ(FileErrorCode([&] { ras->Read(b.p, 0, 4096); }), uint32_t(EIO));
    EXPECT_EQ(FileErrorCode([&] { ras->Read(b.p, 0x1000, 512); }), uint32_t(EIO));
}

TEST_P(FileRasTest, ClosedStorageFails)
{
    auto ras = Open(OM_CREATE_NEW);
    RasBuffer b(*ras, 512);
    ras->Close();
    EXPECT_EQ(FileErrorCode([&] { ras->Read(b.p, 0, 512); }), uint32_t(EBADF));
    EXPECT_EQ(FileErrorCode([&] { ras->Write(b.p, 0, 512); }), uint32_t(EBADF));
}

TEST_P(FileRasTest, WriteThroughOpens)
{
    FileRAS ras(m_path.c_str(), OM_CREATE_NEW, GetParam(), true);
    RasBuffer b(ras, 512);
    b.p[0] = 9;
    ras.Write(b.p, 512, 512);
    b.p[0] = 0;
    ras.Read(b.p, 512, 512);
    EXPECT_EQ(b.p[0], 9);
}

TEST_P(FileRasTest, ThreadedReadersAndWriters)
{
    auto ras = Open(OM_CREATE_NEW);
    constexpr int kThreads = 6, kBlocks = 24, kBlock = 4096;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            RasBuffer b(*ras, kBlock);
            for (int i = 0; i < kBlocks; ++i) {
                const uint64_t off = uint64_t(t * kBlocks + i) * kBlock * 16; // grows as it goes
                std::memset(b.p, t * 31 + i, kBlock);
                ras->Write(b.p, off, kBlock);
                std::memset(b.p, 0, kBlock);
                ras->Read(b.p, off, kBlock);
                for (int k = 0; k < kBlock; ++k)
                    if (b.p[k] != uint8_t(t * 31 + i)) { ADD_FAILURE() << "thread " << t << " block " << i; return; }
                (void)ras->GetSize();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_GE(ras->GetSize(), uint64_t(kThreads * kBlocks - 1) * kBlock * 16 + kBlock);
}

INSTANTIATE_TEST_SUITE_P(Buffering, FileRasTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Buffered" : "Unbuffered"; });

TEST(MemRas, SharedBufferPersistsAcrossOpens)
{
    LssSettings settings;
    std::unique_ptr<IRAS> a(OpenRAS("memfile", OM_CREATE_ALWAYS, settings));
    ASSERT_NE(dynamic_cast<MemRAS*>(a.get()), nullptr);
    a->SetSize(0);
    EXPECT_EQ(a->GetSize(), 0u);
    std::vector<uint8_t> data(10000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 1);
    a->Write(data.data(), 5000, 10000); // the gap before it reads as zeros
    EXPECT_EQ(a->GetSize(), 15000u);
    a->Close();
    a.reset();

    std::unique_ptr<IRAS> b(OpenRAS("memfile", OM_CREATE_NEW, settings)); // the mode is ignored
    EXPECT_EQ(b->GetSize(), 15000u);
    std::vector<uint8_t> back(16000, 0xEE);
    b->Read(back.data(), 0, 16000);
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(back[i], 0) << i;
    EXPECT_EQ(std::memcmp(back.data() + 5000, data.data(), 10000), 0);
    for (int i = 15000; i < 16000; ++i) ASSERT_EQ(back[i], 0) << i;

    // A cut and a regrow leave no stale bytes behind the cut.
    b->SetSize(6000);
    b->SetSize(9000000); // larger: no effect
    EXPECT_EQ(b->GetSize(), 6000u);
    uint8_t one = 1;
    b->Write(&one, 7999, 1);
    b->Read(back.data(), 5000, 3000);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), 1000), 0);
    for (int i = 1000; i < 2999; ++i) ASSERT_EQ(back[i], 0) << i;
    EXPECT_EQ(back[2999], 1);

    std::vector<uint8_t> big(512, 3);
    EXPECT_EQ(FileErrorCode([&] { b->Write(big.data(), 0x7FFFFF00ull, 512); }), uint32_t(EFBIG));
    b->Read(back.data(), 0x100000000ull, 512); // far past the end: zeros
    EXPECT_EQ(back[0], 0);
    b->SetSize(0);
}
