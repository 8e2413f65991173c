#include "LssStoreTestUtil.h"
#include "CleanerTestUtil.h"
#include "vnLss/LssLayout.h"
#include "Watchdog.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

std::vector<int32_t> Candidates(LSS* lss)
{
    CriticalSectionLock lock(lss->GetSegmentWriter().GetLock());
    const auto& q = lss->GetCleaner().GetCandidates();
    return std::vector<int32_t>(q.begin(), q.end());
}

int32_t HeadSegment(LSS* lss)
{
    CriticalSectionLock lock(lss->GetSegmentWriter().GetLock());
    return lss->GetSegmentWriter().GetSegmentId();
}

uint8_t FlagsAt(LSS* lss, RpmPosition p)
{
    PacketHeader h;
    h.Decode(lss->GetCache(), lss->GetSUT(), p.m_segmentId, p.m_offset, false);
    return h.m_flags;
}

void ExpectReadable(LSS* lss, Seid s, const std::vector<uint8_t>& expected)
{
    std::vector<uint8_t> r;
    ASSERT_TRUE(ReadByStream(lss, s, r, 777)) << s.m_low;
    EXPECT_EQ(r, expected) << s.m_low;
    ASSERT_TRUE(ReadWhole(lss, s, r)) << s.m_low;
    EXPECT_EQ(r, expected) << s.m_low;
}

// The cleaner's queue for fresh segments of these utilisations (the head holds some
// too), as indices into the list.
std::vector<int> CandidateOrder(int32_t segmentSize, const std::vector<int32_t>& utilisations)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(segmentSize));
    lss->GetCleaner().Stop();
    SUT& sut = lss->GetSUT();
    std::vector<int> order;
    {
        CriticalSectionLock lock(lss->GetSegmentWriter().GetLock());
        const int32_t head = lss->GetSegmentWriter().GetSegmentId();
        std::vector<int32_t> ids;
        for (int32_t u : utilisations) {
            ids.push_back(sut.AllocateSegment());
            sut.AddUtilisation(ids.back(), u);
        }
        sut.AddUtilisation(head, 1000);
        lss->GetCleaner().RecomputeCandidates();
        for (int32_t s : lss->GetCleaner().GetCandidates())
            order.push_back(int(std::find(ids.begin(), ids.end(), s) - ids.begin()));
        sut.AddUtilisation(head, -1000);
        for (size_t i = 0; i < ids.size(); ++i) {
            sut.AddUtilisation(ids[i], -utilisations[i]);
            sut.Release(ids[i]);
        }
    }
    lss->Close();
    return order;
}

const SeidHigh kSpace = 0x01010101u;
Seid Element(uint32_t i) { return Seid(0x01010101u + i, kSpace); }

} // namespace

TEST(LssCleaner, CandidatesEmptiestFirstBelowARealThresholdWithoutEmptyOrHeadSegments)
{
    // 85 % of 0x80000 is 445644.8.
    EXPECT_EQ(CandidateOrder(0x80000, {445000, 445645, 0, 1, 445644}), (std::vector<int>{3, 0, 4}));
    // 10 % (bucket 1), then 12.2 % and 11 % (bucket 2, ascending ids), then 40 %.
    EXPECT_EQ(CandidateOrder(4096, {1638, 500, 409, 450, 4000}), (std::vector<int>{2, 1, 3, 0}));
}

// A live packet that does not fit the head stays while the head is less full than the
// percentage; once the head is fuller, the writer takes a new segment for it. The moved
// packets survive a clean close.
TEST(LssCleaner, PacketThatDoesNotFitStaysUntilTheHeadIsFullEnough)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(4096));
    lss->GetCleaner().Stop();
    const Seid a = Element(1), f = Element(2), c = Element(3), c2 = Element(4);
    const auto pa = Pattern(2000, 1), pf = Pattern(1000, 2), pc = Pattern(2500, 3), pc2 = Pattern(1000, 4);
    const int32_t s1 = HeadSegment(lss);
    WriteElement(lss, a, pa);
    WriteElement(lss, f, pf);
    TakeNewSegment(lss);
    const int32_t s2 = HeadSegment(lss);
    WriteElement(lss, c, pc); // head fill 2562 of 4096 (62.5 %), 1534 bytes left
    const RpmPosition aBefore = lss->GetRPM().Lookup(a, false);
    ASSERT_EQ(aBefore.m_segmentId, s1);

    Clean(lss, s1);
    EXPECT_EQ(lss->GetRPM().Lookup(a, false), aBefore);           // 2013 bytes do not fit: stays
    const RpmPosition fMoved = lss->GetRPM().Lookup(f, false);    // 1013 bytes fit: moved
    EXPECT_EQ(fMoved, (RpmPosition{s2, 2562}));
    EXPECT_EQ(FlagsAt(lss, fMoved), PF_HEAD | PF_MOVED);
    EXPECT_EQ(lss->GetSUT().GetUtilisation(s1), 2013);
    EXPECT_EQ(lss->GetSUT().GetUtilisation(s2), 2513 + 1013);

    // The head is now 87 % full: the packet that does not fit goes to a new segment.
    Clean(lss, s1);
    const int32_t s3 = HeadSegment(lss);
    EXPECT_NE(s3, s2);
    EXPECT_EQ(lss->GetRPM().Lookup(a, false), (RpmPosition{s3, kFlushUnitHeaderSize}));
    EXPECT_EQ(lss->GetSUT().GetUtilisation(s1), 0);
    EXPECT_EQ(lss->GetSUT().GetUtilisation(s3), 2013);
    WriteElement(lss, c2, pc2); // the log goes on behind the moved packets
    EXPECT_EQ(UtilisationMismatches(lss), 0);
    ExpectReadable(lss, a, pa);
    ExpectReadable(lss, f, pf);
    ExpectReadable(lss, c, pc);

    lss->Close();
    lss = OpenShared(d, SmallSettings(4096));
    ExpectReadable(lss, a, pa);
    ExpectReadable(lss, f, pf);
    ExpectReadable(lss, c, pc);
    ExpectReadable(lss, c2, pc2);
    EXPECT_EQ(FlagsAt(lss, lss->GetRPM().Lookup(a, false)), PF_HEAD | PF_MOVED);
    EXPECT_EQ(UtilisationMismatches(lss), 0);
    lss->Close();
}

TEST(LssCleaner, CleanedStoreReadsBackAndCleanedSegmentsAreFreeAfterACheckPoint)
{
    auto d = std::make_shared<SharedBytes>();
    LssSettings settings = SmallSettings(4096);
    LSS* lss = OpenShared(d, settings);
    lss->GetCleaner().Stop();
    std::vector<std::vector<uint8_t>> expected(40);
    for (uint32_t i = 0; i < 40; ++i) {
        expected[i] = Pattern(30 + (i * 977) % 9000, i); // some span several segments
        WriteElement(lss, Element(i), expected[i]);
    }
    for (uint32_t i = 0; i < 40; i += 2) {
        if (i % 6 == 0) {
            ILssTransaction* t = lss->OpenTransaction();
            EXPECT_TRUE(t->DeleteSerialElement(Element(i).m_low, Element(i).m_high));
            t->Close();
            expected[i].clear();
        } else {
            expected[i] = Pattern(40 + (i * 313) % 3000, i + 100);
            WriteElement(lss, Element(i), expected[i]);
        }
    }
    lss->CheckPointWithNewId();
    const std::vector<int32_t> candidates = Candidates(lss);
    ASSERT_FALSE(candidates.empty());
    for (int32_t s : candidates) Clean(lss, s);
    EXPECT_GT(lss->GetCleaner().GetBytesMoved(), 0);

    std::vector<int32_t> emptied;
    for (int32_t s : candidates)
        if (lss->GetSUT().GetUtilisation(s) == 0) emptied.push_back(s);
    EXPECT_FALSE(emptied.empty()); // the others hold packets that stayed in place
    EXPECT_EQ(UtilisationMismatches(lss), 0);
    auto readAll = [&] {
        for (uint32_t i = 0; i < 40; ++i) {
            if (expected[i].empty()) EXPECT_FALSE(lss->SerialElementExists(Element(i)));
            else ExpectReadable(lss, Element(i), expected[i]);
        }
    };
    readAll();

    lss->CheckPointWithNewId();
    const std::deque<int32_t> fss = lss->GetSUT().GetFSS();
    for (int32_t s : emptied)
        EXPECT_NE(std::find(fss.begin(), fss.end(), s), fss.end()) << "segment " << s << " is not free";
    // Candidates are recomputed from what is left.
    for (int32_t s : Candidates(lss)) EXPECT_GT(lss->GetSUT().GetUtilisation(s), 0);

    lss->Close();
    lss = OpenShared(d, settings);
    readAll();
    EXPECT_EQ(UtilisationMismatches(lss), 0);
    lss->Close();
}

namespace {

// Self-describing contents: the element index and version lead the bytes.
// Elements below kHot are rewritten often (200 to 2000 bytes), the others seldom (60 to
// 260 bytes).
constexpr uint32_t kHot = 10;
std::vector<uint8_t> Content(uint32_t i, uint32_t v)
{
    const size_t n = i < kHot ? 200 + (i * 37 + v * 101) % 1800 : 60 + (i * 13 + v * 7) % 200;
    std::vector<uint8_t> p = Pattern(n, i * 7919 + v * 104729);
    std::memcpy(p.data(), &i, 4);
    std::memcpy(p.data() + 4, &v, 4);
    return p;
}
bool IsAVersionOf(const std::vector<uint8_t>& r, uint32_t i)
{
    if (r.size() < 8) return false;
    uint32_t ri, v;
    std::memcpy(&ri, r.data(), 4);
    std::memcpy(&v, r.data() + 4, 4);
    return ri == i && r == Content(i, v);
}

// Waits until a pass has run since `passes` and the queue is empty.
bool WaitForCleaner(LSS* lss, int64_t passes)
{
    for (int k = 0; k < 6000; ++k) {
        if (lss->GetCleaner().GetNumPasses() > passes && !lss->GetCleaner().HasCandidates()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

} // namespace

// A small live set rewritten many times, with the cleaner, the check-pointer and a
// reader running: the file stays bounded, and once the cleaner has nothing left to do
// every non-head segment in use is at least as full as the cleaner's target. A few
// elements are hot; each of the many cold ones is rewritten only once in a while, so
// nearly every segment keeps a live cold packet for long and, without cleaning, the
// file would grow with every round.
TEST(LssCleanerThreaded, RewrittenStoreStaysBoundedAndReadsBack)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LssSettings settings = SmallSettings(32768);
    settings.m_numSegmentsPerCheckPoint = 4;
    const int64_t S = settings.m_segmentSize;
    const double p = settings.m_cleanerUtilisationPercent / 100.0;
    LSS* lss = OpenShared(d, settings);
    constexpr uint32_t N = 210;
    std::vector<uint32_t> version(N, 0);
    int64_t live = 0;
    for (uint32_t i = 0; i < N; ++i) {
        WriteElement(lss, Element(i), Content(i, 0));
        live += int64_t(Content(i, 0).size());
    }

    std::atomic<bool> done{false};
    std::atomic<int64_t> reads{0};
    std::thread reader([&] {
        std::mt19937 rng(7);
        std::vector<uint8_t> r;
        while (!done) {
            const uint32_t i = rng() % N;
            try {
                if (ReadWhole(lss, Element(i), r)) {
                    EXPECT_TRUE(IsAVersionOf(r, i)) << i;
                }
                if (ReadByStream(lss, Element(i), r, 300)) {
                    EXPECT_TRUE(IsAVersionOf(r, i)) << i;
                }
                ++reads;
            } catch (const ProgrammingErrorException&) {
                // being written right now
            }
        }
    });

    // The file may hold the live set at the target, up to three rounds' writes not yet
    // cleaned or reused, the head, the next segment and a little more; without cleaning
    // it grows by about a round's 4 segments each round and passes this by round 3.
    constexpr int kRounds = 8;
    constexpr int64_t kRoundSegments = 4;
    const int64_t kRoundBytes = kRoundSegments * S;
    const int64_t bound = kLssRootBlockSize + S * (live / int64_t(p * double(S)) + 1 + 3 * kRoundSegments + 4);
    std::mt19937 rng(11);
    int64_t written = 0, maxFile = 0;
    uint32_t nextCold = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (int64_t bytes = 0; bytes < kRoundBytes;) {
            const uint32_t i = rng() % 4 == 0 ? kHot + (nextCold++ % (N - kHot)) : rng() % kHot;
            const std::vector<uint8_t> c = Content(i, version[i] + 1);
            ILssTransaction* t = lss->OpenTransaction();
            try {
                ICloseableOutputStream* w = t->WriteSerialElement(Element(i).m_low, Element(i).m_high);
                w->WriteStream(c.data(), ssize_t(c.size()));
                w->Close();
                ++version[i];
                bytes += int64_t(c.size());
            } catch (const ProgrammingErrorException&) {
                // being read right now
            }
            t->Close();
        }
        written += kRoundBytes;
        const int64_t passes = lss->GetCleaner().GetNumPasses();
        lss->CheckPointWithNewId();
        ASSERT_TRUE(WaitForCleaner(lss, passes));
        const int64_t file = int64_t(lss->GetStorage()->GetSize());
        maxFile = std::max(maxFile, file);
        EXPECT_LE(file, bound) << "round " << round;
    }
    done = true;
    reader.join();
    EXPECT_GT(written, bound - kLssRootBlockSize);
    EXPECT_GT(lss->GetCleaner().GetNumSegmentsCleaned(), 0);

    // Drive until a check point finds nothing to clean and no pass ran after it.
    bool stable = false;
    for (int k = 0; k < 30 && !stable; ++k) {
        const int64_t passes = lss->GetCleaner().GetNumPasses();
        lss->CheckPointWithNewId();
        {
            CriticalSectionLock lock(lss->GetSegmentWriter().GetLock());
            stable = !lss->GetCleaner().HasCandidates() && lss->GetCleaner().GetNumPasses() == passes;
        }
        if (!stable) {
            ASSERT_TRUE(WaitForCleaner(lss, passes));
        }
    }
    ASSERT_TRUE(stable);
    {
        CriticalSectionLock lock(lss->GetSegmentWriter().GetLock());
        SUT& sut = lss->GetSUT();
        const int32_t head = lss->GetSegmentWriter().GetSegmentId();
        const double threshold = double(S) * p;
        int64_t liveElsewhere = 0, used = 0;
        for (int32_t i = 1; i < sut.GetNumSegments(); ++i) {
            const int32_t u = sut.GetUtilisation(i);
            if (u == 0 || i == head) continue;
            EXPECT_GE(double(u), threshold) << "segment " << i;
            liveElsewhere += u;
            ++used;
        }
        // Live bytes against the file without the root block, the head, the segment
        // reserved to follow it and segments freed but not yet taken again.
        const int64_t file = int64_t(lss->GetStorage()->GetSize());
        const int64_t highest = (file - kLssRootBlockSize + S - 1) / S;
        const int64_t notLive = highest - used;
        EXPECT_GE(double(sut.GetTotalUtilisation()), p * double(file - kLssRootBlockSize - notLive * S));
        EXPECT_GE(double(liveElsewhere), p * double(used * S));
        RecordProperty("maxFileBytes", std::to_string(maxFile));
        RecordProperty("segmentsWithoutLiveData", std::to_string(notLive));
    }
    EXPECT_EQ(UtilisationMismatches(lss), 0);
    auto readAll = [&] {
        for (uint32_t i = 0; i < N; ++i) {
            std::vector<uint8_t> r;
            ASSERT_TRUE(ReadWhole(lss, Element(i), r));
            EXPECT_EQ(r, Content(i, version[i])) << i;
            ASSERT_TRUE(ReadByStream(lss, Element(i), r, 500));
            EXPECT_EQ(r, Content(i, version[i])) << i;
        }
    };
    readAll();
    EXPECT_FALSE(lss->HasBackgroundFailure());
    lss->Close();
    lss = OpenShared(d, settings);
    readAll();
    EXPECT_EQ(UtilisationMismatches(lss), 0);
    lss->Close();
}

// Any failure in a pass, not only a file error, is the store's failure: the writer is
// unlocked, the thread ends and the store refuses further work.
TEST(LssCleanerThreaded, FailureInAPassIsRecordedAndUnlocksTheWriter)
{
    Watchdog dog;
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(4096));
    const Seid a = Element(1), b = Element(2);
    WriteElement(lss, a, Pattern(1000, 1));
    WriteElement(lss, b, Pattern(1000, 2));
    const RpmPosition oldB = lss->GetRPM().Lookup(b, false);
    TakeNewSegment(lss);
    WriteElement(lss, b, Pattern(1000, 3));
    lss->Flush(); // the old segment is on disk; damage only its cached copy
    {
        SegmentWriter& w = lss->GetSegmentWriter();
        CriticalSectionLock lock(w.GetLock());
        Segment* s = lss->GetCache().Pin(oldB.m_segmentId);
        uint8_t* buf = s->GetBuffer();
        StoreU32(buf + oldB.m_offset + 1, 0); // a seid with zero bytes: a bad packet header
        const FlushUnitHeader h = DecodeFlushUnitHeader(buf);
        StoreU32(buf, ComputeFlushUnitCrc(buf, h.m_size));
        lss->GetCache().Unpin(s);
    }
    lss->CheckPointWithNewId();
    for (int k = 0; k < 2000 && !lss->HasBackgroundFailure(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(lss->HasBackgroundFailure());
    CriticalSection& lock = lss->GetSegmentWriter().GetLock();
    EXPECT_TRUE(lock.TryEnter());
    lock.Leave();
    EXPECT_THROW(lss->OpenTransaction(), CorruptLSSException);
    std::exception_ptr failure;
    EXPECT_FALSE(lss->CloseReporting(&failure));
    ASSERT_TRUE(failure);
    EXPECT_THROW(std::rethrow_exception(failure), CorruptLSSException);
}
