// Delta files: the writer on hand-made units (unit stepping, cpid changes, fragments,
// truncation, the end record), and stores with a deltas directory, whose delta files
// must be byte for byte what the lazy writer wrote to the segments of the store file.
#include "LssStoreTestUtil.h"
#include "LssTestUtil.h"
#include "vnLss/LssLayout.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

namespace {

constexpr int32_t kSector = 512;

Bytes ReadFileBytes(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Names List(const fs::path& dir)
{
    Names v;
    for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& b : parts) all.insert(all.end(), b.begin(), b.end());
    return all;
}

Guid MakeGuid(uint8_t seed)
{
    Guid g;
    for (int i = 0; i < 16; ++i) reinterpret_cast<uint8_t*>(&g)[i] = uint8_t(seed + i * 7);
    return g;
}

// A sealed unit with size record bytes, padded to the sector.
Bytes MakeUnit(const Guid& cpid, uint32_t fsn, int32_t size)
{
    Bytes u(size_t(NextUnitOffset(0, size, kSector)), 0);
    FlushUnitHeader h;
    h.m_cpid = cpid;
    h.m_fsn = fsn;
    h.m_size = size;
    h.m_nextSegId = 2;
    EncodeFlushUnitHeader(u.data(), h);
    for (int32_t i = 0; i < size; ++i) u[32 + i] = uint8_t(i * 13 + fsn);
    StoreU32(u.data(), ComputeFlushUnitCrc(u.data(), size));
    return u;
}

Bytes EndRecord(const Guid& next)
{
    Bytes e(32, 0xFF);
    std::memcpy(e.data() + 4, &next, 16);
    return e;
}

// Every write that reaches the segments of the store file, in order.
struct WriteLog {
    std::mutex m_lock;
    Bytes m_bytes;
    Bytes Copy()
    {
        std::lock_guard<std::mutex> l(m_lock);
        return m_bytes;
    }
};

class RecordingRAS : public SharedRAS {
public:
    RecordingRAS(std::shared_ptr<SharedBytes> d, std::shared_ptr<WriteLog> log)
        : SharedRAS(std::move(d)), m_log(std::move(log))
    {
    }
    void Write(const void* buffer, uint64_t offset, uint32_t length) override
    {
        SharedRAS::Write(buffer, offset, length);
        if (offset < uint64_t(kLssRootBlockSize)) return;
        const uint8_t* p = static_cast<const uint8_t*>(buffer);
        // Only zeros: the dropped log that a recovery clears, no unit of the log.
        if (std::all_of(p, p + length, [](uint8_t b) { return b == 0; })) return;
        std::lock_guard<std::mutex> l(m_log->m_lock);
        m_log->m_bytes.insert(m_log->m_bytes.end(), p, p + length);
    }
private:
    std::shared_ptr<WriteLog> m_log;
};

LSS* OpenRecording(const std::shared_ptr<SharedBytes>& d, const std::shared_ptr<WriteLog>& log, const fs::path& dir)
{
    bool created = false;
    return LSS::OpenOnStorage(new RecordingRAS(d, log), dir.string().c_str(), &created, false, SmallSettings(4096));
}

// A writer over an unopened store (for its storage's sector size).
struct BareWriter {
    TempDir m_dir;
    LSS m_lss{std::make_unique<SharedRAS>(std::make_shared<SharedBytes>()), m_dir.Path().string().c_str(),
              SmallSettings(4096)};
    DeltaFileWriter& w = m_lss.GetDeltas();
    void Append(const Bytes& b) { w.AppendUnits(b.data(), int64_t(b.size())); }
    Bytes File(const char* name) { return ReadFileBytes(m_dir.Path() / name); }
};

struct DeltaFileInfo {
    int32_t m_number = -1;
    bool m_finished = false;
    Guid m_cpid{};
    Guid m_next{};
    int32_t m_units = 0;
    Bytes m_data; // the units, without the end record
};

// Checks the files of a deltas directory: numbered without gaps, only the last one
// ".partial", each a sequence of valid sealed units of one cpid with fsn 1, 2, 3 ...,
// a finished one ending in an end record that names the next file's cpid.
std::vector<DeltaFileInfo> CheckDeltaDir(const fs::path& dir)
{
    std::vector<DeltaFileInfo> files;
    for (const std::string& name : List(dir)) {
        DeltaFileInfo f;
        const size_t dot = name.find('.');
        f.m_number = std::stoi(name.substr(0, dot));
        f.m_finished = name.substr(dot) == ".lssdelta";
        EXPECT_TRUE(f.m_finished || name.substr(dot) == ".partial") << name;
        const Bytes b = ReadFileBytes(dir / name);
        size_t o = 0;
        bool ended = false;
        while (o < b.size() && !ended) {
            if (b.size() - o < 32) {
                ADD_FAILURE() << name << ": " << b.size() - o << " bytes left over";
                break;
            }
            if (LoadU32(&b[o]) == 0xFFFFFFFFu) { // the end record
                std::memcpy(&f.m_next, &b[o + 4], 16);
                EXPECT_EQ(Bytes(b.begin() + std::ptrdiff_t(o), b.end()), EndRecord(f.m_next)) << name;
                ended = true;
                break;
            }
            const FlushUnitHeader h = DecodeFlushUnitHeader(&b[o]);
            const int64_t next = NextUnitOffset(int64_t(o), h.m_size, kSector);
            if (h.m_size < 1 || next > int64_t(b.size())) {
                ADD_FAILURE() << name << ": bad unit size " << h.m_size << " at " << o;
                break;
            }
            EXPECT_EQ(ComputeFlushUnitCrc(&b[o], h.m_size), h.m_crc) << name << " at " << o;
            if (f.m_units == 0) f.m_cpid = h.m_cpid;
            EXPECT_TRUE(h.m_cpid == f.m_cpid) << name << ": a second cpid at " << o;
            EXPECT_EQ(h.m_fsn, uint32_t(++f.m_units)) << name << " at " << o;
            o = size_t(next);
        }
        EXPECT_EQ(ended, f.m_finished) << name;
        EXPECT_GT(f.m_units, 0) << name;
        f.m_data.assign(b.begin(), b.begin() + std::ptrdiff_t(o));
        files.push_back(std::move(f));
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.m_number < b.m_number; });
    for (size_t i = 1; i < files.size(); ++i) {
        EXPECT_EQ(files[i].m_number, files[i - 1].m_number + 1);
        EXPECT_TRUE(files[i - 1].m_finished && files[i - 1].m_next == files[i].m_cpid) << files[i - 1].m_number;
    }
    return files;
}

Bytes Concatenation(const std::vector<DeltaFileInfo>& files)
{
    Bytes all;
    for (const DeltaFileInfo& f : files) all.insert(all.end(), f.m_data.begin(), f.m_data.end());
    return all;
}

Seid kSeid(uint32_t i) { return Seid(0x01010101u + i, 0x01010101u); }

} // namespace

// ---------------------------------------------------------------------------------
// The writer alone, on units made here.

TEST(DeltaFileWriter, StepsOverUnitsAndStartsTheNextFileAtANewCpid)
{
    BareWriter b;
    ASSERT_TRUE(b.w.IsEnabled());
    const Guid a = MakeGuid(1), c = MakeGuid(50), e = MakeGuid(100);
    b.w.Position(a, 5);
    // Units of one and two sectors, then a new cpid, in one range; then another range.
    const Bytes a1 = MakeUnit(a, 1, 10), a2 = MakeUnit(a, 2, 600), c1 = MakeUnit(c, 1, 480), c2 = MakeUnit(c, 2, 1);
    b.Append(Cat({a1, a2, c1}));
    b.Append(c2);
    EXPECT_EQ(b.w.GetFileNumber(), 6);
    EXPECT_TRUE(b.w.GetCpid() == c);
    EXPECT_EQ(List(b.m_dir.Path()), (Names{"5.lssdelta", "6.partial"}));
    EXPECT_EQ(b.File("5.lssdelta"), Cat({a1, a2, EndRecord(c)}));
    EXPECT_EQ(b.File("6.partial"), Cat({c1, c2}));

    // Finish names the next cpid; the next unit opens number 7.
    b.w.Finish(e);
    EXPECT_FALSE(b.w.IsFileOpen());
    EXPECT_EQ(b.File("6.lssdelta"), Cat({c1, c2, EndRecord(e)}));
    const Bytes e1 = MakeUnit(e, 1, 40);
    b.Append(e1);
    EXPECT_EQ(b.File("7.partial"), e1);

    // A failed rename is not reported: the finished file keeps its name.
    fs::create_directories(b.m_dir.Path() / "7.lssdelta" / "x");
    EXPECT_NO_THROW(b.w.Finish(a));
    EXPECT_EQ(b.File("7.partial"), Cat({e1, EndRecord(a)}));
}

// Bytes that do not form whole units are copied as they are, and nothing beyond the
// range is read (exact-size heap blocks, watched by the address sanitizer).
TEST(DeltaFileWriter, FragmentsAreCopiedWithoutReadingPastTheRange)
{
    BareWriter b;
    const Guid a = MakeGuid(1), c = MakeGuid(50);
    b.w.Position(a, 0);
    const Bytes big = MakeUnit(a, 1, 2000);
    const Bytes cut(big.begin(), big.begin() + 700); // the size runs past the end
    Bytes negative = MakeUnit(a, 2, 10), huge = MakeUnit(a, 3, 10), empty = MakeUnit(a, 4, 10);
    StoreU32(negative.data() + 24, 0x80000000u);
    StoreU32(huge.data() + 24, 0x7FFFFFFFu);
    StoreU32(empty.data() + 24, 0);
    const Bytes other = MakeUnit(c, 1, 10);
    const Bytes shortPiece(other.begin(), other.begin() + 31); // no whole header: stays here
    for (const Bytes& p : {cut, negative, huge, shortPiece}) b.Append(p);
    b.Append(Cat({empty, other})); // size 0 steps one sector, then the new cpid is seen
    b.w.AppendUnits(nullptr, 0);
    b.w.AppendUnits(other.data(), 0);
    EXPECT_EQ(b.File("0.lssdelta"), Cat({cut, negative, huge, shortPiece, empty, EndRecord(c)}));
    EXPECT_EQ(b.File("1.partial"), other);
}

// Truncate cuts the open file and later units follow at the cut without a hole; 0
// closes it, and the next unit creates the file of that number afresh.
TEST(DeltaFileWriter, TruncateCutsAndLaterUnitsFollowTheCut)
{
    BareWriter b;
    const Guid a = MakeGuid(1);
    b.w.Position(a, 3);
    const Bytes u1 = MakeUnit(a, 1, 100), u2 = MakeUnit(a, 2, 900), u3 = MakeUnit(a, 3, 5);
    b.Append(Cat({u1, u2}));
    b.w.Truncate(int64_t(u1.size()));
    b.Append(u3);
    EXPECT_EQ(b.File("3.partial"), Cat({u1, u3}));
    b.w.Truncate(0);
    EXPECT_FALSE(b.w.IsFileOpen());
    EXPECT_TRUE(b.File("3.partial").empty());
    b.Append(u2);
    EXPECT_EQ(b.File("3.partial"), u2);
    b.w.Close(); // without a file, Truncate and Finish do nothing
    b.w.Truncate(5);
    b.w.Finish(a);
    EXPECT_EQ(List(b.m_dir.Path()), Names{"3.partial"});
}

// ---------------------------------------------------------------------------------
// Stores with a deltas directory.

// A new store writes every unit into file 0 (".partial") until a check point adopts a
// new cpid; that check point's flush ends file 0 with the end record naming the new
// cpid and renames it, and the next unit opens file 1. After a clean close and a reopen
// the numbering continues. The files together are what reached the store's segments.
TEST(DeltaFileThreaded, FilesFollowTheCheckPointsAndCopyTheLog)
{
    Watchdog dog;
    TempDir dir;
    auto d = std::make_shared<SharedBytes>();
    auto log = std::make_shared<WriteLog>();
    LSS* lss = OpenRecording(d, log, dir.Path());
    ASSERT_EQ(lss->GetNumCheckPoints(), 0);
    EXPECT_EQ(lss->GetDeltas().GetFileNumber(), 0);
    const Guid cpid0 = lss->GetCpid();
    for (uint32_t i = 0; i < 6; ++i) WriteElement(lss, kSeid(i), Pattern(1500, i), true);
    EXPECT_EQ(List(dir.Path()), Names{"0.partial"});
    auto files = CheckDeltaDir(dir.Path());
    EXPECT_TRUE(files.at(0).m_cpid == cpid0);
    EXPECT_EQ(Concatenation(files), log->Copy());

    lss->CheckPointWithNewId();
    EXPECT_EQ(lss->GetNumCheckPoints(), 1);
    EXPECT_EQ(List(dir.Path()), Names{"0.lssdelta"});
    files = CheckDeltaDir(dir.Path());
    EXPECT_TRUE(files.at(0).m_next == lss->GetCpid());
    EXPECT_EQ(Concatenation(files), log->Copy());

    // Elements over several segments, some not flushed by their transaction.
    for (uint32_t i = 0; i < 5; ++i) WriteElement(lss, kSeid(10 + i), Pattern(7000, 20 + i), i % 2 == 1);
    lss->Flush();
    EXPECT_EQ(List(dir.Path()), (Names{"0.lssdelta", "1.partial"}));
    files = CheckDeltaDir(dir.Path());
    EXPECT_TRUE(files.at(1).m_cpid == lss->GetCpid());
    EXPECT_EQ(Concatenation(files), log->Copy());
    lss->CheckPointWithNewId();
    lss->CheckPointWithNewId(); // nothing new: the same cpid and file
    EXPECT_EQ(lss->GetNumCheckPoints(), 2);
    lss->Close();
    const auto before = CheckDeltaDir(dir.Path());

    lss = OpenRecording(d, log, dir.Path());
    EXPECT_EQ(lss->GetDeltas().GetFileNumber(), lss->GetNumCheckPoints());
    EXPECT_TRUE(lss->GetDeltas().GetCpid() == lss->GetCpid());
    WriteElement(lss, kSeid(20), Pattern(3000, 3), true);
    lss->Close();
    const auto after = CheckDeltaDir(dir.Path());
    ASSERT_GT(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        if (before[i].m_finished) {
            EXPECT_EQ(after[i].m_data, before[i].m_data) << i;
        }
    }
    EXPECT_EQ(Concatenation(after), log->Copy());
}

// After an unclean shutdown the current ".partial" file is rewritten from the check
// point and cut after the last unit that completed a transaction: a unit holding only
// packets of an open transaction is dropped, and what the open writes follows.
TEST(DeltaFileThreaded, UncleanShutdownRewritesThePartialFileFromTheCheckPoint)
{
    Watchdog dog;
    TempDir dirA, dirB;
    auto d = std::make_shared<SharedBytes>();
    auto log = std::make_shared<WriteLog>();
    LSS* lss = OpenRecording(d, log, dirA.Path());
    WriteElement(lss, kSeid(0), Pattern(2000, 1), true);
    lss->CheckPointWithNewId();
    const int32_t n = lss->GetNumCheckPoints();
    const Guid cpid = lss->GetCpid();
    for (uint32_t i = 1; i < 4; ++i) WriteElement(lss, kSeid(i), Pattern(700, 10 + i), true);
    const std::string partial = std::to_string(n) + ".partial";
    const Bytes committed = ReadFileBytes(dirA.Path() / partial);
    ASSERT_FALSE(committed.empty());

    // A transaction whose packets reach the file without its record.
    ILssTransaction* t = lss->OpenTransaction();
    ICloseableOutputStream* out = t->WriteSerialElement(kSeid(9).m_low, kSeid(9).m_high);
    const Bytes bytes = Pattern(900, 30);
    out->WriteStream(bytes.data(), ssize_t(bytes.size()));
    out->Close();
    lss->Flush();
    const Bytes atCrash = ReadFileBytes(dirA.Path() / partial);
    ASSERT_GT(atCrash.size(), committed.size());
    // The crash: the store file and the deltas directory as they are now.
    auto crashed = std::make_shared<SharedBytes>();
    crashed->m_bytes = d->Copy();
    fs::copy(dirA.Path(), dirB.Path(), fs::copy_options::overwrite_existing);
    t->Close();
    lss->Close();

    auto log2 = std::make_shared<WriteLog>();
    lss = OpenRecording(crashed, log2, dirB.Path());
    EXPECT_TRUE(lss->SerialElementExists(kSeid(3)));
    EXPECT_FALSE(lss->SerialElementExists(kSeid(9)));
    lss->Close();

    const auto files = CheckDeltaDir(dirB.Path());
    const auto it = std::find_if(files.begin(), files.end(), [&](const auto& f) { return f.m_number == n; });
    ASSERT_NE(it, files.end());
    EXPECT_TRUE(it->m_cpid == cpid);
    // The committed units, then what the reopened store wrote (and nothing else).
    ASSERT_GE(it->m_data.size(), committed.size());
    EXPECT_TRUE(std::equal(committed.begin(), committed.end(), it->m_data.begin()));
    EXPECT_FALSE(it->m_data.size() >= atCrash.size() && std::equal(atCrash.begin(), atCrash.end(), it->m_data.begin()));
    Bytes rest(it->m_data.begin() + std::ptrdiff_t(committed.size()), it->m_data.end());
    for (auto f = it + 1; f != files.end(); ++f) rest.insert(rest.end(), f->m_data.begin(), f->m_data.end());
    EXPECT_EQ(rest, log2->Copy());
}

TEST(DeltaFileThreaded, StoreWithoutDeltasDirectoryWritesNoFile)
{
    for (const char* dirArg : {static_cast<const char*>(nullptr), ""}) {
        bool created = false;
        LSS* lss = LSS::OpenOnStorage(new SharedRAS(std::make_shared<SharedBytes>()), dirArg, &created, false,
                                    SmallSettings(4096));
        EXPECT_FALSE(lss->GetDeltas().IsEnabled());
        WriteElement(lss, kSeid(0), Pattern(5000, 1), true);
        lss->CheckPointWithNewId();
        WriteElement(lss, kSeid(1), Pattern(500, 2), true);
        EXPECT_FALSE(lss->GetDeltas().IsFileOpen());
        EXPECT_FALSE(fs::exists("/0.partial") || fs::exists("/1.partial"));
        EXPECT_TRUE(lss->CloseReporting(nullptr));
    }
}

// A deltas directory that does not exist: the lazy writer's first write fails, the
// failure is the store's, nothing more reaches the store file, and Close reports it.
TEST(DeltaFileThreaded, MissingDeltasDirectoryBecomesTheStoresFailure)
{
    Watchdog dog;
    TempDir dir;
    const std::string missing = (dir.Path() / "missing").string();
    auto check = [&](const FileException& e) {
        EXPECT_EQ(e.GetErrorCode(), uint32_t(ENOENT));
        EXPECT_EQ(std::string(e.GetPath().data(), size_t(e.GetPath().size())), missing + "/0.partial");
    };
    auto d = std::make_shared<SharedBytes>();
    bool created = false;
    LSS* lss = nullptr;
    try {
        lss = LSS::OpenOnStorage(new SharedRAS(d), missing.c_str(), &created, false, SmallSettings(4096));
    } catch (const FileException& e) { // should the creation's check point write units
        check(e);
        return;
    }
    const Bytes bytesBefore = d->Copy();
    try {
        WriteElement(lss, kSeid(0), Pattern(3000, 1), true);
        ADD_FAILURE() << "the flushed transaction did not fail";
    } catch (const FileException& e) {
        check(e);
    }
    EXPECT_TRUE(lss->HasBackgroundFailure());
    EXPECT_THROW(lss->OpenTransaction(), FileException);
    std::exception_ptr failure;
    EXPECT_FALSE(lss->CloseReporting(&failure));
    EXPECT_TRUE(d->Copy() == bytesBefore); // not even the clean-shutdown mark
    ASSERT_TRUE(failure);
    try {
        std::rethrow_exception(failure);
    } catch (const FileException& e) {
        check(e);
    }
    EXPECT_FALSE(fs::exists(missing));
}
