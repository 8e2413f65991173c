// Reads check the flush units they read from: one flipped bit anywhere in the file of a
// store built through the interface, and every element reads back as written, or is
// refused as corrupt (or the store is refused at open); no read returns changed bytes.
// Bytes that no unit CRC covers (the root block, whose divisions have CRCs of their own;
// each unit's CRC field; the padding after a unit; free and stale space) are told apart
// in the counts, and the same rule holds for them.
#include "LssStoreTestUtil.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

constexpr int32_t kSeg = 4096;
const SeidHigh kSpace = 0x07070707u;
Seid S(uint32_t i) { return Seid(0x01010100u + i, kSpace); }

LssSettings CrcSettings()
{
    LssSettings s = SmallSettings(kSeg);
    s.m_numSegmentsPerCheckPoint = 8;
    s.m_maxNumSegmentsInCache = 8; // most reads load their segment from the bytes
    return s;
}

using Contents = std::map<uint32_t, std::vector<uint8_t>>;

// A cleanly closed store: elements of 1 byte to a few segments, some rewritten, some
// deleted, over several transactions and check points. Returns what each index holds
// (an empty vector: deleted).
Contents BuildStore(const std::shared_ptr<SharedBytes>& d)
{
    LSS* lss = OpenShared(d, CrcSettings());
    Contents c;
    std::mt19937 rng(40);
    for (uint32_t round = 0; round < 3; ++round) {
        for (uint32_t i = 1; i <= 40; ++i) {
            if (round > 0 && rng() % 3 != 0) continue;
            const size_t n = (i % 7 == 0) ? 5000 + rng() % 4000 : 1 + rng() % 900;
            c[i] = Pattern(n, i * 100 + round);
            WriteElement(lss, S(i), c[i], i % 5 == 0);
        }
    }
    for (uint32_t i = 3; i <= 40; i += 9) {
        ILssTransaction* t = lss->OpenTransaction();
        t->DeleteSerialElement(S(i).m_low, S(i).m_high);
        t->Close();
        c[i].clear();
    }
    lss->Close();
    return c;
}

enum class Where { RootBlock, UnitCrc, Unit, Elsewhere };

// What covers byte p of the image: walks every segment's valid units.
Where Classify(const std::vector<uint8_t>& b, size_t p)
{
    if (p < size_t(kLssRootBlockSize)) return Where::RootBlock;
    const size_t seg = (p - size_t(kLssRootBlockSize)) / kSeg;
    const size_t at = size_t(kLssRootBlockSize) + seg * kSeg;
    std::vector<uint8_t> s(kSeg, 0);
    std::memcpy(s.data(), &b[at], std::min<size_t>(kSeg, b.size() - at));
    const int64_t rel = int64_t(p - at);
    for (int64_t o = 0; o + kFlushUnitHeaderSize <= kSeg;) {
        if (!SealedUnitIsValid(s.data(), kSeg, o)) {
            o += 512;
            continue;
        }
        const int32_t size = int32_t(LoadU32(&s[size_t(o)] + kUnitSizeOffset));
        if (rel >= o && rel < o + 4) return Where::UnitCrc;
        if (rel >= o + 4 && rel < o + kFlushUnitHeaderSize + size) return Where::Unit;
        o = NextUnitOffset(o, size, 512);
    }
    return Where::Elsewhere;
}

} // namespace

TEST(LssUnitCrc, NoSingleFlippedBitChangesWhatAReadReturns)
{
    auto d = std::make_shared<SharedBytes>();
    const Contents c = BuildStore(d);
    const std::vector<uint8_t> image = d->Copy();
    std::mt19937_64 rng(0x40C5u);
    const int trials = 1500;
    std::map<Where, int> flips, refusedOpens, refusedReads;
    int changed = 0;
    std::string firstChange;
    for (int t = 0; t < trials; ++t) {
        // A fifth of the flips in the root block, the rest over the segments.
        const size_t root = size_t(kLssRootBlockSize);
        const size_t p = rng() % 5 == 0 ? size_t(rng() % root) : root + size_t(rng() % (image.size() - root));
        const uint8_t bit = uint8_t(1u << (rng() % 8));
        const Where where = Classify(image, p);
        ++flips[where];
        auto damaged = std::make_shared<SharedBytes>();
        damaged->m_bytes = image;
        damaged->m_bytes[p] ^= bit;
        LSS* lss = nullptr;
        try {
            lss = OpenShared(damaged, CrcSettings());
        } catch (const IException&) {
            ++refusedOpens[where];
            continue;
        }
        for (const auto& [i, want] : c) {
            std::vector<uint8_t> got;
            bool found = false;
            try {
                found = (i % 2) ? ReadWhole(lss, S(i), got) : ReadByStream(lss, S(i), got, 333);
            } catch (const CorruptLSSException&) {
                ++refusedReads[where];
                continue;
            }
            const bool same = want.empty() ? !found : (found && got == want);
            if (!same) {
                if (changed++ == 0)
                    firstChange = "byte " + std::to_string(p) + " bit " + std::to_string(bit) + " element " +
                                  std::to_string(i) + (found ? " changed" : " missing");
            }
        }
        std::exception_ptr failure;
        lss->CloseReporting(&failure);
    }
    EXPECT_EQ(changed, 0) << "first: " << firstChange;
    // The flips reached the units, and reads from damaged units were refused.
    EXPECT_GT(flips[Where::Unit], trials / 4);
    EXPECT_GT(refusedReads[Where::Unit], 0);
    for (Where w : {Where::RootBlock, Where::UnitCrc, Where::Unit, Where::Elsewhere}) {
        std::printf("where %d: %d flips, %d opens refused, %d reads refused\n", int(w), flips[w], refusedOpens[w],
                    refusedReads[w]);
    }
}

namespace {

// Sets the process-wide check for the caches made in its scope.
struct CheckUnitsOnLoad {
    explicit CheckUnitsOnLoad(bool on) { SegmentCache::SetCheckUnitsOnLoad(on); }
    ~CheckUnitsOnLoad() { SegmentCache::SetCheckUnitsOnLoad(true); }
};

// Every element of c read back from the store, in an order that cycles over the
// segments, twice.
void ExpectAllRead(LSS* lss, const Contents& c, const char* what)
{
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t k = 0; k < c.size(); ++k) {
            auto it = c.begin();
            std::advance(it, (k * 7) % c.size());
            const auto& [i, want] = *it;
            std::vector<uint8_t> got;
            bool found = false;
            ASSERT_NO_THROW(found = (i % 2) ? ReadWhole(lss, S(i), got) : ReadByStream(lss, S(i), got, 333))
                << what << ": element " << i;
            EXPECT_EQ(found, !want.empty()) << what << ": element " << i;
            if (found) {
                EXPECT_EQ(got, want) << what << ": element " << i;
            }
        }
    }
}

// A store of 30 elements over a few segments of 16 KB, cleanly closed.
Contents BuildSmallStore(const std::shared_ptr<SharedBytes>& d, const LssSettings& s)
{
    Contents c;
    LSS* lss = OpenShared(d, s);
    for (uint32_t i = 1; i <= 30; ++i) {
        c[i] = Pattern(1000 + 37 * i, i);
        WriteElement(lss, S(i), c[i], i % 4 == 0);
    }
    lss->Close();
    return c;
}

} // namespace

// A store reopened (its log's head segment loaded and resumed by the writer) and read
// through a cache of 2 records, so that records are reused across segments: with the
// check and without it (the benchmarks' baseline), in either order in one process, and
// with the switch flipped while the store is open. Nothing a read returns depends on
// the switch or on what a record held before.
TEST(LssUnitCrc, ReadsAfterAReopenDoNotDependOnTheCheckSwitchOrOnRecordReuse)
{
    LssSettings s = SmallSettings(16384);
    auto d = std::make_shared<SharedBytes>();
    const Contents c = BuildSmallStore(d, s);
    s.m_maxNumSegmentsInCache = 2;
    for (const bool check : {false, true, false}) {
        const std::string what = check ? "checked" : "unchecked";
        CheckUnitsOnLoad on(check);
        LSS* lss = OpenShared(d, s);
        // The head segment is the writer's and stays cached: its units before the
        // writer's resume point are read like any other.
        EXPECT_GT(lss->GetSegmentWriter().GetHead().m_offset, 0);
        ExpectAllRead(lss, c, what.c_str());
        SegmentCache::SetCheckUnitsOnLoad(!check); // flipped while records are cached
        ExpectAllRead(lss, c, (what + ", switch flipped while open").c_str());
        lss->Close();
    }
}

// The units of a segment that passed are remembered for the next read of the segment,
// but only while their headers are unchanged: a unit whose header changed behind the
// store is checked again (and here refused) when its segment is read again.
TEST(LssUnitCrc, ASegmentReadAgainIsCheckedAgainWhereAUnitHeaderChanged)
{
    LssSettings s = SmallSettings(16384);
    auto d = std::make_shared<SharedBytes>();
    const Contents c = BuildSmallStore(d, s);
    s.m_maxNumSegmentsInCache = 2;
    LSS* lss = OpenShared(d, s);
    ExpectAllRead(lss, c, "before"); // every segment read (and left) at least once
    const RpmPosition at = lss->GetRPM().Lookup(S(1), false);
    ASSERT_FALSE(at.IsEmpty());
    ASSERT_NE(at.m_segmentId, lss->GetSegmentWriter().GetHead().m_segmentId);
    // The unit that holds element 1 gets one bit of its CRC word flipped.
    const size_t seg = size_t(SegmentOffset(at.m_segmentId, 16384));
    int64_t unit = 0;
    for (;;) {
        const int32_t size = int32_t(LoadU32(&d->m_bytes[seg + size_t(unit)] + kUnitSizeOffset));
        if (at.m_offset < unit + kFlushUnitHeaderSize + size) break;
        unit = NextUnitOffset(unit, size, 512);
    }
    {
        std::lock_guard<std::mutex> lock(d->m_lock);
        d->m_bytes[seg + size_t(unit)] ^= 0x10;
    }
    std::vector<uint8_t> got;
    for (uint32_t i = 2; i <= 30 && lss->GetCache().IsCached(at.m_segmentId); ++i) ReadWhole(lss, S(i), got);
    ASSERT_FALSE(lss->GetCache().IsCached(at.m_segmentId));
    EXPECT_THROW(ReadWhole(lss, S(1), got), CorruptLSSException);
    std::exception_ptr failure;
    lss->CloseReporting(&failure);
}

// After a unit that fails its check the units behind it in its segment are found again:
// the damage stays within the unit it hit, and the elements of the units after it read.
TEST(LssUnitCrc, UnitsBehindADamagedOneInItsSegmentStillRead)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, CrcSettings());
    for (uint32_t i = 1; i <= 4; ++i) WriteElement(lss, S(i), Pattern(300, i), true); // a unit each
    std::vector<RpmPosition> at;
    for (uint32_t i = 1; i <= 4; ++i) at.push_back(lss->GetRPM().Lookup(S(i), false));
    WriteElement(lss, S(5), Pattern(size_t(2 * kSeg), 5)); // the last check point lies in a later segment
    lss->Close();
    for (const RpmPosition& p : at) ASSERT_EQ(p.m_segmentId, at[0].m_segmentId);
    d->m_bytes[size_t(SegmentOffset(at[0].m_segmentId, kSeg)) + size_t(at[0].m_offset) + kPacketHeaderBytes] ^= 0x01;
    lss = OpenShared(d, CrcSettings());
    std::vector<uint8_t> r;
    EXPECT_THROW(ReadWhole(lss, S(1), r), CorruptLSSException);
    for (uint32_t i = 2; i <= 4; ++i) EXPECT_TRUE(ReadWhole(lss, S(i), r) && r == Pattern(300, i)) << i;
    std::exception_ptr failure;
    lss->CloseReporting(&failure);
}
