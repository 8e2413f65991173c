// Opening a store after a clean close and after a crash: what the scan accepts, where
// the head resumes, what the open refuses, and the check points around it. A crash is
// a copy of the storage's bytes taken while the store is still open.
#include "CleanerTestUtil.h"
#include "CrashRAS.h"
#include "LssStoreTestUtil.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Trace.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

constexpr int32_t kSeg = 4096;
const SeidHigh kSpace = 0x05050505u;
Seid S(uint32_t i) { return Seid(0x01010100u + i, kSpace); }

std::string Text(StringTextWriter& w)
{
    w.Flush();
    xstring t;
    w.GetBuffer().CopyTo(t);
    return std::string(t.data(), t.size());
}

std::string Message(const IException& e)
{
    const xstring m = e.Describe();
    return std::string(m.data(), m.size());
}

std::shared_ptr<SharedBytes> CopyOf(const std::shared_ptr<SharedBytes>& d)
{
    auto c = std::make_shared<SharedBytes>();
    c->m_bytes = d->Copy();
    return c;
}

// Units of the log from the check point on, as (file offset of the header).
std::vector<size_t> UnitsAfterCheckPoint(const std::vector<uint8_t>& b, LogPosition cp, const Guid& cpid)
{
    std::vector<size_t> out;
    int32_t seg = cp.m_segmentId;
    int64_t off = cp.m_offset;
    uint32_t fsn = 1;
    while (seg > 0 && SegmentOffset(seg, kSeg) < b.size()) {
        std::vector<uint8_t> s(kSeg, 0);
        const size_t at = size_t(SegmentOffset(seg, kSeg));
        std::memcpy(s.data(), &b[at], std::min<size_t>(kSeg, b.size() - at));
        int32_t next = 0;
        const int64_t start = off;
        while (off < kSeg && SealedUnitIsValid(s.data(), kSeg, off)) {
            const FlushUnitHeader h = DecodeFlushUnitHeader(&s[size_t(off)]);
            if (!(h.m_cpid == cpid) || h.m_fsn != fsn) break;
            out.push_back(at + size_t(off));
            next = h.m_nextSegId;
            ++fsn;
            off = NextUnitOffset(off, h.m_size, 512);
        }
        if (off == start) break;
        seg = next;
        off = 0;
    }
    return out;
}

void Reseal(std::vector<uint8_t>& b, size_t unit)
{
    const int32_t size = int32_t(LoadU32(&b[unit + 24]));
    StoreU32(&b[unit], ComputeFlushUnitCrc(&b[unit], size));
}

bool Has(LSS* lss, Seid s, const std::vector<uint8_t>& v)
{
    std::vector<uint8_t> r;
    return ReadWhole(lss, s, r) && r == v;
}

int ReservedSegments(LSS* lss)
{
    int n = 0;
    for (int32_t id = 1; id < lss->GetSUT().GetNumSegments(); ++id)
        if (lss->GetSUT().GetReservationCount(id) > 0) ++n;
    return n;
}

} // namespace

TEST(LssRecovery, CleanReopenDoesNotScanAndKeepsTheMssn)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    EXPECT_FALSE(lss->GetCpid() == Guid{}); // a new store's first id is random
    EXPECT_EQ(lss->GetNumCheckPoints(), 0);
    WriteElement(lss, S(1), Pattern(5000, 1));
    lss->Close();

    lss = OpenShared(d, SmallSettings(kSeg));
    const std::string log = Text(lss->GetRecoveryLog());
    EXPECT_EQ(log.find("Starting recovery scan"), std::string::npos);
    EXPECT_EQ(log.find("not shutdown gracefully"), std::string::npos);
    EXPECT_EQ(lss->GetMSSN(), 0);
    EXPECT_TRUE(Has(lss, S(1), Pattern(5000, 1)));
    const Guid cpid = lss->GetCpid();
    lss->Close();

    LssSettings forced = SmallSettings(kSeg);
    forced.m_forceIncrementMSSN = true;
    lss = OpenShared(d, forced);
    EXPECT_EQ(lss->GetMSSN(), 1);
    EXPECT_NE(Text(lss->GetRecoveryLog()).find("LSS was not shutdown gracefully.  Incremented m_mssn to 1\n"),
              std::string::npos);
    EXPECT_FALSE(lss->GetCpid() == cpid);
    lss->Close();
}

// Three committed transactions (the third spanning segments) and a fourth cut off
// before its record: the three survive, the head resumes after the third's unit, and
// the segments the fourth entered are not held.
TEST(LssRecovery, CommittedTransactionsSurviveAndTheHeadFollowsTheLastCommit)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    lss->CheckPointWithNewId();
    WriteElement(lss, S(1), Pattern(100, 1), true);
    WriteElement(lss, S(2), Pattern(700, 2), true);
    WriteElement(lss, S(3), Pattern(9000, 3), true); // three segments
    const LogHead afterThird = lss->GetSegmentWriter().GetHead();
    const int64_t txns = lss->GetNumTransactions();
    const Guid cpid = lss->GetCpid();
    const int32_t count = lss->GetNumCheckPoints();

    ILssTransaction* t = lss->OpenTransaction();
    ICloseableOutputStream* w = t->WriteSerialElement(S(1).m_low, S(1).m_high); // a new version of S(1)
    const std::vector<uint8_t> big = Pattern(11000, 4);
    w->WriteStream(big.data(), ssize_t(big.size()));
    w->Close();
    w = t->WriteSerialElement(S(5).m_low, S(5).m_high);
    w->WriteStream(big.data(), 300);
    w->Close();
    lss->Flush(); // its units reach the file, its record never does
    auto crash = CopyOf(d);
    t->Close();
    lss->Close();

    lss = OpenShared(crash, SmallSettings(kSeg));
    const std::string log = Text(lss->GetRecoveryLog());
    EXPECT_NE(log.find("LSS was not shutdown gracefully.  Incremented m_mssn to 1\n"), std::string::npos);
    EXPECT_NE(log.find("Starting recovery scan from position "), std::string::npos);
    EXPECT_NE(log.find("Recovery scan completed with:  segs= "), std::string::npos);
    std::string endLine = "REC: endOfLogPos = { seg=" + std::to_string(afterThird.m_segmentId) + " offset=";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", unsigned(afterThird.m_offset));
    endLine += hex;
    const size_t last = log.rfind("REC: endOfLogPos = ");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(log.compare(last, endLine.size(), endLine), 0) << log.substr(last, 80);
    EXPECT_EQ(log.find("REC: endOfLogPos", last + 1), std::string::npos);
    EXPECT_EQ(lss->GetNumTransactions(), txns);
    EXPECT_TRUE(Has(lss, S(1), Pattern(100, 1)));
    EXPECT_TRUE(Has(lss, S(2), Pattern(700, 2)));
    EXPECT_TRUE(Has(lss, S(3), Pattern(9000, 3)));
    EXPECT_FALSE(lss->SerialElementExists(S(5)));
    EXPECT_EQ(ReservedSegments(lss), 2); // the head and its next segment only
    EXPECT_EQ(lss->GetNumCheckPoints(), count + 1);
    EXPECT_FALSE(lss->GetCpid() == cpid);
    // It goes on from there, and what it writes survives another crash.
    WriteElement(lss, S(6), Pattern(2000, 6), true);
    auto crash2 = CopyOf(crash);
    lss->Close();
    lss = OpenShared(crash2, SmallSettings(kSeg));
    EXPECT_TRUE(Has(lss, S(6), Pattern(2000, 6)));
    EXPECT_TRUE(Has(lss, S(3), Pattern(9000, 3)));
    lss->Close();
}

// Damage to a unit after the check point ends the scan when it is the log's last unit;
// followed by a unit of the log, it is refused.
TEST(LssRecovery, DamageAfterTheCheckPointEndsTheScanOrIsRefused)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    lss->CheckPointWithNewId();
    for (uint32_t i = 1; i <= 4; ++i) WriteElement(lss, S(i), Pattern(200, i), true);
    const std::vector<uint8_t> image = d->Copy();
    const LogPosition cp = lss->GetPositionOfLastCheckPoint();
    const Guid cpid = lss->GetCpid();
    lss->Close();
    const std::vector<size_t> units = UnitsAfterCheckPoint(image, cp, cpid);
    ASSERT_EQ(units.size(), 4u);

    struct Case {
        const char* name;
        void (*damage)(std::vector<uint8_t>&, size_t);
    };
    const Case cases[] = {
        {"crc", [](std::vector<uint8_t>& b, size_t u) { b[u + 40] ^= 1; }},
        {"fsn", [](std::vector<uint8_t>& b, size_t u) { StoreU32(&b[u + 20], 5); Reseal(b, u); }},
        {"nextsegid", [](std::vector<uint8_t>& b, size_t u) { StoreU32(&b[u + 28], LoadU32(&b[u + 28]) + 1); Reseal(b, u); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The last unit: the scan ends there, as at a torn tail.
        auto bad = std::make_shared<SharedBytes>();
        bad->m_bytes = image;
        c.damage(bad->m_bytes, units[3]);
        lss = OpenShared(bad, SmallSettings(kSeg));
        for (uint32_t i = 1; i <= 3; ++i) EXPECT_TRUE(Has(lss, S(i), Pattern(200, i)));
        EXPECT_FALSE(lss->SerialElementExists(S(4)));
        EXPECT_NE(Text(lss->GetRecoveryLog()).find("Invalid FU: "), std::string::npos);
        lss->Close();
        // The third unit: a sealed unit of the log follows it, which no crash leaves
        // behind a torn unit. The store is refused and its file left as it was.
        bad->m_bytes = image;
        c.damage(bad->m_bytes, units[2]);
        const std::vector<uint8_t> damaged = bad->m_bytes;
        try {
            OpenShared(bad, SmallSettings(kSeg))->Close();
            ADD_FAILURE() << "opened";
        } catch (const CorruptLSSException& e) {
            EXPECT_EQ(Message(e), "LSS is corrupt : The log after the last valid check point is damaged");
        }
        EXPECT_TRUE(bad->Copy() == damaged) << "the refused file was changed";
    }
}

TEST(LssRecovery, AUnitBeforeTheCheckPointWithTheStoresCpidIsRefused)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    WriteElement(lss, S(1), Pattern(300, 1), true);
    lss->CheckPointWithNewId();
    const LogPosition cp = lss->GetPositionOfLastCheckPoint();
    const Guid cpid = lss->GetCpid();
    ASSERT_GT(cp.m_offset, 0);
    auto crash = CopyOf(d);
    lss->Close();
    const size_t first = size_t(SegmentOffset(cp.m_segmentId, kSeg));
    std::memcpy(&crash->m_bytes[first + 4], &cpid, 16);
    Reseal(crash->m_bytes, first);
    try {
        OpenShared(crash, SmallSettings(kSeg))->Close();
        ADD_FAILURE() << "opened";
    } catch (const CorruptLSSException& e) {
        const std::string m = Message(e);
        EXPECT_NE(m.find("ERROR: FU has same cpid: <FU in seg "), std::string::npos) << m;
        EXPECT_NE(m.find("Root block diagnostic information"), std::string::npos);
        EXPECT_NE(m.find("p.GetPos() = "), std::string::npos);
        const std::string tail = "LSS is corrupt : Bad flush unit(s) in the segment containing the last valid check point";
        ASSERT_GE(m.size(), tail.size());
        EXPECT_EQ(m.substr(m.size() - tail.size()), tail);
    }
}

// A store whose creation stopped before its first division reached the file is
// created afresh; one whose first division is there opens.
TEST(LssRecovery, CreationCutOffBeforeTheFirstDivisionIsCreatedAfresh)
{
    auto log = std::make_shared<CrashLog>();
    bool created = false;
    LSS* lss = LSS::OpenOnStorage(new CrashRAS(log), nullptr, &created, false, SmallSettings(kSeg));
    const size_t createOps = log->NumOps();
    lss->Close();
    std::vector<uint8_t> image;
    int fresh = 0;
    for (size_t k = 0; k < createOps; ++k) {
        const CrashOp& op = log->m_ops[k];
        for (size_t keep : {size_t(512), op.m_bytes.size()}) {
            std::vector<uint8_t> b = image;
            CrashLog::Apply(b, op, keep);
            if (b.empty()) continue;
            auto d = std::make_shared<SharedBytes>();
            d->m_bytes = b;
            bool c = false;
            LSS* s = OpenShared(d, SmallSettings(kSeg), &c);
            fresh += c;
            WriteElement(s, S(1), Pattern(100, 1));
            s->Close();
            s = OpenShared(d, SmallSettings(kSeg));
            EXPECT_TRUE(Has(s, S(1), Pattern(100, 1)));
            s->Close();
        }
        CrashLog::Apply(image, op);
    }
    EXPECT_GE(fresh, 3); // header alone, header and shutdown byte, a torn division
    // A file that is all zero, of any length, is one whose creation wrote nothing yet
    // (the file grows before a write reaches it): created afresh in both modes that
    // open an existing file, as a zero-length one is.
    TempDir dir;
    const std::string path = dir.File("zero.lss");
    const LssSettings settings = SmallSettings(kSeg);
    for (const size_t size : {size_t(512), size_t(2048), size_t(kLssRootBlockSize) - 1, size_t(kLssRootBlockSize),
                              size_t(FileRAS::kGrowthUnit), size_t(3 * FileRAS::kGrowthUnit) + 4096}) {
        for (const EOpenMode mode : {OM_OPEN_ALWAYS, OM_OPEN_EXISTING}) {
            SCOPED_TRACE(std::to_string(size) + (mode == OM_OPEN_ALWAYS ? " OM_OPEN_ALWAYS" : " OM_OPEN_EXISTING"));
            {
                std::ofstream out(path, std::ios::binary | std::ios::trunc);
                const std::vector<char> zeros(size, 0);
                out.write(zeros.data(), std::streamsize(size));
            }
            bool c = false;
            ILogStructuredStore* s = OpenLSS(path.c_str(), nullptr, &c, mode, &settings);
            EXPECT_TRUE(c);
            WriteElement(s, S(1), Pattern(100, 1));
            s->Close();
            s = OpenLSS(path.c_str(), nullptr, &c, OM_OPEN_EXISTING, &settings);
            EXPECT_FALSE(c);
            std::vector<uint8_t> r;
            EXPECT_TRUE(ReadWhole(s, S(1), r) && r == Pattern(100, 1));
            s->Close();
        }
    }
    // One byte that is not zero, at its end, and the file is refused as it was.
    std::vector<char> almost(size_t(FileRAS::kGrowthUnit) + 4096, 0);
    almost.back() = 1;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(almost.data(), std::streamsize(almost.size()));
    }
    bool c = false;
    EXPECT_THROW(OpenLSS(path.c_str(), nullptr, &c, OM_OPEN_ALWAYS, &settings), CorruptLSSException);
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) == almost);
    // A header with a damaged (not zero) division A stays refused.
    std::vector<uint8_t> b = log->m_bytes;
    b.resize(kLssRootBlockSize);
    std::memset(&b[kDivisionBOffset], 0x5A, 100);
    b[kDivisionAOffset + 50] = 1;
    auto d = std::make_shared<SharedBytes>();
    d->m_bytes = b;
    EXPECT_THROW(OpenShared(d, SmallSettings(kSeg)), CorruptLSSException);
}

// A store with data whose two divisions are lost is no unfinished creation: it is
// refused and its file is left as it was, whether it was closed or crashed.
TEST(LssRecovery, StoreWithDataAndTwoInvalidDivisionsIsRefusedUntouched)
{
    for (bool crashed : {false, true}) {
        SCOPED_TRACE(crashed);
        auto d = std::make_shared<SharedBytes>();
        LSS* lss = OpenShared(d, SmallSettings(kSeg));
        for (uint32_t i = 1; i <= 50; ++i) WriteElement(lss, S(i), Pattern(200 + 10 * i, i), i % 10 == 0);
        std::vector<uint8_t> b = d->Copy();
        lss->Close();
        if (!crashed) b = d->Copy();
        ASSERT_GT(b.size(), size_t(kLssRootBlockSize));
        std::fill(b.begin() + 2048, b.begin() + kLssRootBlockSize, 0);
        auto damaged = std::make_shared<SharedBytes>();
        damaged->m_bytes = b;
        bool created = true;
        try {
            OpenShared(damaged, SmallSettings(kSeg), &created)->Close();
            ADD_FAILURE() << "opened";
        } catch (const CorruptLSSException& e) {
            EXPECT_EQ(std::string(e.GetMessage().data(), e.GetMessage().size()),
                      "LSS is corrupt : Both divisions in root block are invalid");
        }
        EXPECT_TRUE(damaged->Copy() == b) << "the refused file was changed";
        // A single byte of data beyond the root block is enough to refuse.
        std::vector<uint8_t> header(b.begin(), b.begin() + 2048);
        header.resize(size_t(kLssRootBlockSize) + kSeg, 0);
        header[size_t(kLssRootBlockSize) + 700] = 1;
        damaged->m_bytes = header;
        EXPECT_THROW(OpenShared(damaged, SmallSettings(kSeg)), CorruptLSSException);
        EXPECT_TRUE(damaged->Copy() == header);
    }
}

TEST(LssRecovery, CheckPointsCutTheFileOnlyAfterTheirDivisionAndRecordFailures)
{
    auto log = std::make_shared<CrashLog>();
    LSS* lss = LSS::OpenOnStorage(new CrashRAS(log), nullptr, nullptr, false, SmallSettings(kSeg));
    for (uint32_t i = 1; i <= 6; ++i) WriteElement(lss, S(i), Pattern(3500, i));
    lss->CheckPointWithNewId();
    for (uint32_t i = 1; i <= 6; ++i) {
        ILssTransaction* t = lss->OpenTransaction();
        t->DeleteSerialElement(S(i).m_low, S(i).m_high);
        t->Close();
    }
    lss->CheckPointWithNewId();
    lss->CheckPointWithNewId();
    {
        // Every cut follows a division write (nothing is cut while the committed
        // division may still need it).
        std::lock_guard<std::mutex> l(log->m_lock);
        bool divisionSeen = false;
        for (const CrashOp& op : log->m_ops) {
            if (op.m_kind == CrashOp::kWrite && op.m_bytes.size() == size_t(kDivisionSize)) divisionSeen = true;
            if (op.m_kind == CrashOp::kSetSize) {
                EXPECT_TRUE(divisionSeen);
                divisionSeen = false;
            }
        }
    }
    // A failing division write inside a check point stops the store.
    WriteElement(lss, S(9), Pattern(100, 9));
    {
        std::lock_guard<std::mutex> l(log->m_lock);
        log->m_failBegin = kDivisionAOffset;
        log->m_failEnd = kLssRootBlockSize;
    }
    EXPECT_THROW(lss->CheckPointWithNewId(), FileException);
    EXPECT_TRUE(lss->HasBackgroundFailure());
    EXPECT_THROW(lss->OpenTransaction(), FileException);
    std::exception_ptr failure;
    EXPECT_FALSE(lss->CloseReporting(&failure));
    EXPECT_TRUE(failure);
}

// After an unclean shutdown with nothing to replay the open still starts a new id.
TEST(LssRecovery, AnUncleanOpenAlwaysTakesANewCheckPointId)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    WriteElement(lss, S(1), Pattern(300, 1));
    lss->Close();
    lss = OpenShared(d, SmallSettings(kSeg));
    const Guid cpid = lss->GetCpid();
    const int32_t count = lss->GetNumCheckPoints();
    auto crash = CopyOf(d);
    lss->Close();
    lss = OpenShared(crash, SmallSettings(kSeg));
    EXPECT_FALSE(lss->GetCpid() == cpid);
    EXPECT_EQ(lss->GetNumCheckPoints(), count + 1);
    EXPECT_EQ(lss->GetMSSN(), 1);
    lss->Close();
}

TEST(LssRecovery, UtilisationCheckReportsADamagedValue)
{
    auto d = std::make_shared<SharedBytes>();
    LssSettings s = SmallSettings(kSeg);
    s.m_validateSUTDuringCheckPoint = true;
    LSS* lss = OpenShared(d, s);
    WriteElement(lss, S(1), Pattern(9000, 1));
    WriteElement(lss, S(2), Pattern(100, 2));
    const bool was = SetAssertionsNonFatal(true);
    const int64_t before = GetAssertionFailureCount();
    lss->CheckPointWithNewId();
    EXPECT_EQ(GetAssertionFailureCount(), before);
    const int32_t seg = lss->GetRPM().Lookup(S(2), false).m_segmentId;
    lss->GetSUT().AddUtilisation(seg, 5);
    WriteElement(lss, S(3), Pattern(100, 3));
    lss->CheckPointWithNewId();
    EXPECT_EQ(GetAssertionFailureCount(), before + 1);
    lss->GetSUT().AddUtilisation(seg, -5);
    SetAssertionsNonFatal(was);
    lss->Close();
}

// After a check point an element spanning segments is written again, and the cleaner
// moves live packets out of a segment the check point's table counts; the storage is
// then copied without a close. Recovery applies the rewrite (the old chain stops
// counting) and the moves (the old segment stops counting them): every segment's
// utilisation equals the live packets in it, as it did before the crash.
TEST(LssRecovery, UtilisationAfterRewritesAndCleanerMovesMatchesTheLivePackets)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    lss->GetCleaner().Stop();
    WriteElement(lss, S(1), Pattern(9000, 1)); // a chain over three segments
    WriteElement(lss, S(2), Pattern(600, 2));
    WriteElement(lss, S(3), Pattern(700, 3));
    WriteElement(lss, S(4), Pattern(800, 4));
    TakeNewSegment(lss);
    lss->CheckPointWithNewId();
    const RpmPosition before = lss->GetRPM().Lookup(S(3), false);

    WriteElement(lss, S(1), Pattern(5000, 5)); // the head written again, a new chain
    WriteElement(lss, S(2), Pattern(300, 6));
    Clean(lss, before.m_segmentId);
    ASSERT_FALSE(lss->GetRPM().Lookup(S(3), false) == before) << "the cleaner moved nothing";
    WriteElement(lss, S(5), Pattern(100, 7), true); // commits the moves
    ASSERT_EQ(UtilisationMismatches(lss), 0);
    auto crash = CopyOf(d);
    lss->Close();

    lss = OpenShared(crash, SmallSettings(kSeg));
    ASSERT_NE(Text(lss->GetRecoveryLog()).find("Starting recovery scan"), std::string::npos);
    EXPECT_EQ(UtilisationMismatches(lss), 0);
    EXPECT_TRUE(Has(lss, S(1), Pattern(5000, 5)));
    EXPECT_TRUE(Has(lss, S(2), Pattern(300, 6)));
    EXPECT_TRUE(Has(lss, S(3), Pattern(700, 3)));
    EXPECT_TRUE(Has(lss, S(4), Pattern(800, 4)));
    EXPECT_TRUE(Has(lss, S(5), Pattern(100, 7)));
    lss->Close();
}

// A transaction flushed while a check point is writing its division is durable when
// its Close returns, although its units carry the new id.
TEST(LssRecoveryThreaded, FlushedTransactionDuringACheckPointCommitIsDurable)
{
    Watchdog dog;
    struct SlowDivisionRAS : public SharedRAS {
        using SharedRAS::SharedRAS;
        std::atomic<bool>* m_started;
        void Write(const void* b, uint64_t offset, uint32_t length) override
        {
            if (length == uint32_t(kDivisionSize) && m_slow) {
                m_started->store(true);
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
            }
            SharedRAS::Write(b, offset, length);
        }
        std::atomic<bool> m_slow{false};
    };
    auto d = std::make_shared<SharedBytes>();
    std::atomic<bool> started{false};
    auto* ras = new SlowDivisionRAS(d);
    ras->m_started = &started;
    LSS* lss = LSS::OpenOnStorage(ras, nullptr, nullptr, false, SmallSettings(kSeg));
    WriteElement(lss, S(1), Pattern(100, 1));
    ras->m_slow = true;
    std::thread cp([&] { lss->CheckPointWithNewId(); });
    while (!started.load()) std::this_thread::yield();
    WriteElement(lss, S(2), Pattern(200, 2), true);
    auto crash = CopyOf(d); // the power goes as soon as Close returned
    cp.join();
    ras->m_slow = false;
    lss->Close();
    lss = OpenShared(crash, SmallSettings(kSeg));
    EXPECT_TRUE(Has(lss, S(2), Pattern(200, 2)));
    EXPECT_TRUE(Has(lss, S(1), Pattern(100, 1)));
    lss->Close();
}

// A new store's check point lies at the very start of its first segment: the log after
// it continues in the segment its first unit names, whatever segment the table would
// hand out next.
TEST(LssRecovery, TheLogContinuesInTheSegmentItsFirstUnitNames)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    ASSERT_TRUE((lss->GetPositionOfLastCheckPoint() == LogPosition{1, 0}));
    ASSERT_EQ(lss->GetRootBlock().GetMsn(), 1u);
    WriteElement(lss, S(1), Pattern(9000, 1), true); // segments 1, 2 and 3
    auto crash = CopyOf(d);
    lss->Close();
    // Segment 2 made to look used in the committed division (B): the lowest free
    // segment after 1 is then 3.
    uint8_t* payload = &crash->m_bytes[kDivisionBOffset + kDivisionPayloadOffset];
    uint8_t* sut = payload + 4 + 13 + 4;
    ASSERT_EQ(LoadU32(sut + 13 + 4), 3u);
    StoreI64(sut + 4, LoadI64(sut + 4) + 64);
    StoreU32(sut + 13 + 8 + 2 * 4, 64);
    uint8_t* division = &crash->m_bytes[kDivisionBOffset];
    StoreU32(division, RootBlock::DivisionCrc(division));
    lss = OpenShared(crash, SmallSettings(kSeg));
    EXPECT_TRUE(Has(lss, S(1), Pattern(9000, 1)));
    EXPECT_EQ(lss->GetSUT().GetUtilisation(2) >= 64, true);
    lss->Close();
}

// Back-to-back flushed transactions leave the check-pointer its turn: the log after the
// last check point stays within a small multiple of the segments per check point, so
// the time a recovery takes stays bounded.
TEST(LssRecoveryThreaded, CheckPointsKeepUpWithBackToBackFlushedTransactions)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LssSettings settings = SmallSettings(kSeg);
    settings.m_numSegmentsPerCheckPoint = 4;
    LSS* lss = OpenShared(d, settings);
    std::atomic<int32_t> longest{0};
    auto writer = [&](uint32_t first) {
        for (uint32_t i = 0; i < uint32_t(Scaled(1500)); ++i) {
            WriteElement(lss, S(first + i % 100), Pattern(1200, i), true);
            const int32_t n = lss->GetSegmentWriter().GetSegmentsAfterCheckPoint();
            for (int32_t l = longest; n > l && !longest.compare_exchange_weak(l, n);) {
            }
        }
    };
    std::thread a(writer, 1), b(writer, 101);
    a.join();
    b.join();
    // (Without check points the count would pass the bound: the writers fill far more.)
    EXPECT_LE(longest.load(), 4 * settings.m_numSegmentsPerCheckPoint);
    lss->Close();
}

// A crash in the middle of a transaction leaves units of the log that no transaction
// record follows: in the segment where the log resumes (the last one the file holds,
// and only in part), or also in whole segments after it, taken from the free ones below
// a live segment (so that no check point cuts them off the file). The recovery that
// drops them clears them all from the file, so that no later scan takes them for the
// log's own, or for a later unit of it behind a torn one. A power cut at any point of
// that recovery, a write torn too, leaves a store that opens with what was committed:
// the clearing goes from the far end back, a unit at a time, so a cut leaves what a
// crash leaves, a prefix of the dropped log.
TEST(LssRecovery, TheDroppedLogIsClearedAndACutWhileClearingLosesNothing)
{
    const std::vector<uint8_t> committed = Pattern(size_t(2 * kSeg + 300), 1);
    for (const int pieces : {3, 14}) {
        SCOPED_TRACE(std::to_string(pieces) + " units dropped");
        auto log = std::make_shared<CrashLog>();
        LSS* lss = LSS::OpenOnStorage(new CrashRAS(log), nullptr, nullptr, false, SmallSettings(kSeg));
        // Segments that become free, below one that stays live.
        WriteElement(lss, S(11), Pattern(size_t(kSeg + 100), 11));
        ILssTransaction* t = nullptr;
        if (pieces > 3) {
            WriteElement(lss, S(10), Pattern(size_t(4 * kSeg), 10));
            WriteElement(lss, S(11), Pattern(size_t(kSeg + 100), 11));
            t = lss->OpenTransaction();
            t->DeleteSerialElement(S(10).m_low, S(10).m_high);
            t->Close();
        }
        lss->CheckPointWithNewId();
        // The committed element takes the log past the size the check point gave the
        // file: the head segment is stored only in part.
        WriteElement(lss, S(1), committed, true);
        const LogPosition cp = lss->GetPositionOfLastCheckPoint();
        const Guid cpid = lss->GetCpid();
        t = lss->OpenTransaction();
        for (int i = 0; i < pieces; ++i) {
            ICloseableOutputStream* w = t->WriteSerialElement(S(20 + uint32_t(i)).m_low, S(20 + uint32_t(i)).m_high);
            const std::vector<uint8_t> v = Pattern(pieces > 3 ? 900 : 300, uint32_t(i));
            w->WriteStream(v.data(), ssize_t(v.size()));
            w->Close();
            lss->Flush(); // a unit of its own reaches the file; no transaction record follows
        }
        const std::vector<uint8_t> image = log->Copy();
        t->Close();
        lss->Close();
        const std::vector<size_t> units = UnitsAfterCheckPoint(image, cp, cpid);
        ASSERT_GT(units.size(), size_t(pieces)); // the committed units, then the dropped ones
        const size_t firstDropped = units.size() - size_t(pieces);
        const auto segmentOf = [](size_t at) { return (at - kLssRootBlockSize) / kSeg; };
        if (pieces == 3) {
            ASSERT_EQ(segmentOf(units.back()), segmentOf(units[firstDropped - 1]));
            ASSERT_LT(image.size(), kLssRootBlockSize + (segmentOf(units.back()) + 1) * kSeg) << "stored whole";
        } else {
            std::vector<size_t> segments;
            for (size_t i = firstDropped; i < units.size(); ++i) segments.push_back(segmentOf(units[i]));
            segments.erase(std::unique(segments.begin(), segments.end()), segments.end());
            ASSERT_GE(segments.size(), 3u);
        }

        auto recovery = std::make_shared<CrashLog>();
        recovery->m_bytes = image;
        LSS* r = LSS::OpenOnStorage(new CrashRAS(recovery), nullptr, nullptr, false, SmallSettings(kSeg));
        EXPECT_TRUE(Has(r, S(1), committed));
        EXPECT_FALSE(r->SerialElementExists(S(20)));
        r->Close();
        const std::vector<uint8_t> after = recovery->Copy();
        for (size_t i = firstDropped; i < units.size(); ++i) {
            const size_t at = units[i];
            const size_t length = kFlushUnitHeaderSize + LoadU32(&image[at + 24]);
            EXPECT_FALSE(at + length <= after.size() && std::memcmp(&after[at], &image[at], length) == 0)
                << "dropped unit " << i << " at " << at << " is still in the file";
        }

        std::vector<CrashOp> ops = {{CrashOp::kWrite, 0, image}};
        ops.insert(ops.end(), recovery->m_ops.begin(), recovery->m_ops.end());
        const auto [failures, torn] = ForEachCrashImage(ops, 1, [&](const std::vector<uint8_t>& b, size_t n) -> std::string {
            if (n == 0) return "";
            auto d = std::make_shared<SharedBytes>();
            d->m_bytes = b;
            try {
                LSS* s = OpenShared(d, SmallSettings(kSeg));
                const bool good = Has(s, S(1), committed) && Has(s, S(11), Pattern(size_t(kSeg + 100), 11)) &&
                                  !s->SerialElementExists(S(20));
                s->Close();
                return good ? "" : "a committed element is lost or a dropped one is there";
            } catch (const IException& e) {
                return "open failed: " + Message(e);
            }
        });
        EXPECT_EQ(failures, 0);
        EXPECT_GT(torn, 0u);
    }
}
