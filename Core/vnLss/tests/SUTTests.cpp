#include "VectorRas.h"
#include "vnLss/LssLayout.h"
#include "vnLss/SUT.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/TextWriter.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

using namespace vorn;
using vorn::test::VectorRAS;

namespace {

constexpr int32_t kSegSize = 4096;

std::vector<uint8_t> SerialiseSut(SUT& sut)
{
    PagedBuffer buf;
    PagedBufferToOutputStreamAdapter out(&buf);
    {
        Archive ar(&out);
        sut.Serialise(ar);
        ar.Flush();
    }
    std::vector<uint8_t> bytes(size_t(buf.GetSize()));
    if (!bytes.empty()) buf.CopyTo(bytes.data());
    return bytes;
}

InputArchive Cursor(const std::vector<uint8_t>& b) { return InputArchive(b.data(), b.size()); }

} // namespace

TEST(SUT, FirstAllocationAndOutOfRangeIds)
{
    VectorRAS ras;
    SUT sut(&ras);
    sut.SetSegmentSize(kSegSize);
    EXPECT_EQ(sut.GetNumSegments(), 0);
    EXPECT_EQ(sut.AllocateSegment(), 1);
    EXPECT_EQ(sut.GetNumSegments(), 2);
    EXPECT_EQ(sut.GetReservationCount(1), 1);
    EXPECT_EQ(sut.AllocateSegment(), 2);
    EXPECT_THROW(sut.GetUtilisation(0), CorruptLSSException);
    EXPECT_THROW(sut.GetUtilisation(3), CorruptLSSException);
    EXPECT_THROW(sut.AddUtilisation(-1, 5), CorruptLSSException);
    EXPECT_THROW(sut.AddUtilisation(3, 5), CorruptLSSException);
    EXPECT_THROW(sut.Reserve(77), CorruptLSSException);
    EXPECT_THROW(sut.Release(0), CorruptLSSException);
    EXPECT_THROW(sut.TakeSegment(0), CorruptLSSException);
    EXPECT_THROW(sut.SetSegmentSize(1000), CorruptLSSException);
    sut.Release(1);
    sut.Release(2);
    EXPECT_THROW(sut.Release(2), ProgrammingErrorException);
}

TEST(SUT, FreedSegmentsAreReusedOnlyAfterTheMerge)
{
    VectorRAS ras;
    SUT sut(&ras);
    sut.SetSegmentSize(kSegSize);
    const int32_t a = sut.AllocateSegment(), b = sut.AllocateSegment(), c = sut.AllocateSegment();
    sut.AddUtilisation(b, 100);
    sut.Release(b); // the writer moves on; the packets keep it in use
    EXPECT_TRUE(sut.GetDeltaFSS().empty());
    sut.AddUtilisation(b, -60);
    sut.AddUtilisation(b, -40);
    EXPECT_EQ(sut.GetDeltaFSS(), std::deque<int32_t>({b}));
    EXPECT_EQ(sut.GetTotalUtilisation(), 0);
    EXPECT_EQ(sut.AllocateSegment(), 4); // not b: the last check point may still need it
    std::deque<int32_t> taken;
    sut.TakeDeltaFSS(taken);
    EXPECT_EQ(taken, std::deque<int32_t>({b}));
    EXPECT_TRUE(sut.GetDeltaFSS().empty());
    EXPECT_EQ(sut.AllocateSegment(), 5);
    sut.MergeIntoFSS(taken);
    EXPECT_EQ(sut.GetFSS(), std::deque<int32_t>({b}));
    EXPECT_EQ(sut.AllocateSegment(), b);
    EXPECT_EQ(sut.GetReservationCount(b), 1);

    // A reader's reservation keeps an emptied segment out of the lists until released.
    sut.AddUtilisation(c, 300);
    sut.Release(c);
    sut.Reserve(c);
    sut.AddUtilisation(c, -300);
    EXPECT_TRUE(sut.GetDeltaFSS().empty());
    sut.Release(c);
    EXPECT_EQ(sut.GetDeltaFSS(), std::deque<int32_t>({c}));
    // Utilisation arriving before the merge takes it out again.
    sut.TakeDeltaFSS(taken);
    sut.AddUtilisation(c, 10);
    sut.MergeIntoFSS(taken);
    EXPECT_TRUE(sut.GetFSS().empty());
    (void)a;
}

TEST(SUT, RandomOperationsMatchModel)
{
    VectorRAS ras;
    SUT sut(&ras);
    sut.SetSegmentSize(kSegSize);
    std::mt19937 rng(12345);
    std::map<int32_t, int32_t> util, res;
    std::set<int32_t> delta, pending, ready;
    int32_t count = 0;
    auto freeNow = [&](int32_t id) { return util[id] == 0 && res[id] == 0; };
    auto listed = [&](int32_t id) { return delta.count(id) || pending.count(id) || ready.count(id); };
    auto update = [&](int32_t id) {
        if (freeNow(id)) {
            if (!listed(id)) delta.insert(id);
        } else {
            delta.erase(id);
            pending.erase(id);
            ready.erase(id);
        }
    };
    std::vector<int32_t> inUse;
    for (int step = 0; step < 20000; ++step) {
        const uint32_t op = rng() % 100;
        if (op < 15 || count < 2) {
            const int32_t id = sut.AllocateSegment();
            ASSERT_GT(id, 0);
            if (ready.empty()) {
                ASSERT_EQ(id, count == 0 ? 1 : count) << "step " << step;
                count = id + 1;
            } else {
                ASSERT_TRUE(ready.count(id)) << "handed out a segment not free since the merge, step " << step;
                ready.erase(id);
            }
            ASSERT_EQ(util[id], 0);
            ASSERT_EQ(res[id], 0);
            res[id] = 1;
            inUse.push_back(id);
        } else if (op < 45 && !inUse.empty()) {
            const int32_t id = inUse[rng() % inUse.size()];
            if (res[id] == 0 && util[id] == 0) continue; // no one writes into a free segment
            const int32_t add = int32_t(rng() % 200) + 1;
            sut.AddUtilisation(id, add);
            util[id] += add;
            update(id);
        } else if (op < 70 && !inUse.empty()) {
            const int32_t id = inUse[rng() % inUse.size()];
            if (util[id] == 0) continue;
            const int32_t sub = std::min<int32_t>(util[id], int32_t(rng() % 300) + 1);
            sut.AddUtilisation(id, -sub);
            util[id] -= sub;
            update(id);
        } else if (op < 78 && !inUse.empty()) {
            const int32_t id = inUse[rng() % inUse.size()];
            if (util[id] == 0 && res[id] == 0) continue;
            sut.Reserve(id);
            ++res[id];
            update(id);
        } else if (op < 90 && !inUse.empty()) {
            const int32_t id = inUse[rng() % inUse.size()];
            if (res[id] == 0) continue;
            sut.Release(id);
            --res[id];
            update(id);
        } else if (op < 95) {
            std::deque<int32_t> q;
            sut.TakeDeltaFSS(q);
            std::set<int32_t> got(q.begin(), q.end());
            ASSERT_EQ(got, delta);
            ASSERT_EQ(got.size(), q.size());
            // Some operations happen between taking and merging.
            for (int i = 0; i < 3 && !inUse.empty(); ++i) {
                const int32_t id = inUse[rng() % inUse.size()];
                if (res[id] > 0) {
                    sut.AddUtilisation(id, 7);
                    util[id] += 7;
                    update(id);
                }
            }
            pending.insert(delta.begin(), delta.end());
            delta.clear();
            sut.MergeIntoFSS(q);
            for (int32_t id : pending)
                if (freeNow(id)) ready.insert(id);
            pending.clear();
            const auto fss = sut.GetFSS();
            ASSERT_TRUE(std::is_sorted(fss.begin(), fss.end()));
        } else {
            // A round trip through the image keeps utilisation, rebuilds the lists.
            if (step % 7 != 0) continue;
            auto bytes = SerialiseSut(sut);
            SUT other(&ras);
            other.SetSegmentSize(kSegSize);
            other.Deserialise(Cursor(bytes));
            ASSERT_EQ(other.GetNumSegments(), sut.GetNumSegments());
            ASSERT_EQ(other.GetTotalUtilisation(), sut.GetTotalUtilisation());
            for (int32_t id = 1; id < count; ++id) ASSERT_EQ(other.GetUtilisation(id), util[id]);
            const auto fss = other.GetFSS();
            for (int32_t id : fss) ASSERT_EQ(util[id], 0);
        }
        // Invariants: every listed segment is free, none is listed twice, the lists match.
        const auto fss = sut.GetFSS();
        const auto dfss = sut.GetDeltaFSS();
        std::set<int32_t> all;
        for (int32_t id : fss) { ASSERT_TRUE(all.insert(id).second) << "listed twice"; ASSERT_TRUE(freeNow(id)); }
        for (int32_t id : dfss) { ASSERT_TRUE(all.insert(id).second) << "listed twice"; ASSERT_TRUE(freeNow(id)); }
        ASSERT_EQ(std::set<int32_t>(fss.begin(), fss.end()), ready) << "step " << step;
        ASSERT_EQ(std::set<int32_t>(dfss.begin(), dfss.end()), delta) << "step " << step;
    }
    for (auto& [id, n] : res)
        for (int i = 0; i < n; ++i) sut.Release(id);
}

TEST(SUT, TakeSegmentGrowsTableAndReserves)
{
    VectorRAS ras;
    ras.Grow(kLssRootBlockSize + 10 * kSegSize);
    SUT sut(&ras);
    sut.SetSegmentSize(kSegSize);
    sut.TakeSegment(4);
    EXPECT_EQ(sut.GetNumSegments(), 5);
    EXPECT_EQ(sut.GetFSS(), std::deque<int32_t>({1, 2, 3}));
    EXPECT_EQ(sut.GetReservationCount(4), 1);
    sut.TakeSegment(2);
    EXPECT_EQ(sut.GetFSS(), std::deque<int32_t>({1, 3}));
    EXPECT_EQ(sut.AllocateSegment(), 1);
    EXPECT_THROW(sut.TakeSegment(12), CorruptLSSException); // past the storage's end
    sut.TakeSegment(11);                                      // the one after the last is allowed
    EXPECT_EQ(sut.GetNumSegments(), 12);
    for (int32_t id : {1, 2, 4, 11}) sut.Release(id);
}

TEST(SUT, HighestUsedSegment)
{
    VectorRAS ras;
    SUT sut(&ras);
    sut.SetSegmentSize(kSegSize);
    EXPECT_EQ(sut.GetHighestUsedSegment(), 0);
    for (int i = 0; i < 6; ++i) sut.AllocateSegment();
    sut.AddUtilisation(3, 10);
    for (int32_t id = 1; id <= 6; ++id) sut.Release(id);
    EXPECT_EQ(sut.GetHighestUsedSegment(), 3);
    sut.Reserve(5);
    EXPECT_EQ(sut.GetHighestUsedSegment(), 5);
    sut.Release(5);
    sut.AddUtilisation(3, -10);
    EXPECT_EQ(sut.GetHighestUsedSegment(), 0);
}

TEST(SUT, DamagedImagesAreRejected)
{
    VectorRAS ras;
    SUT sut(&ras);
    sut.SetSegmentSize(kSegSize);
    for (int i = 0; i < 4; ++i) sut.AllocateSegment();
    sut.AddUtilisation(2, 500);
    const auto good = SerialiseSut(sut);
    ASSERT_EQ(good.size(), size_t(4 + 8 + 1 + 4 + 4 + 5 * 4));
    auto expectCorrupt = [&](std::vector<uint8_t> b, const char* what) {
        SUT other(&ras);
        other.SetSegmentSize(kSegSize);
        EXPECT_THROW(other.Deserialise(Cursor(b)), CorruptLSSException) << what;
        EXPECT_EQ(other.GetNumSegments(), 0) << what;
    };
    auto patch = [&](size_t at, int32_t v) {
        auto b = good;
        std::memcpy(b.data() + at, &v, 4);
        return b;
    };
    {
        SUT other(&ras);
        other.SetSegmentSize(kSegSize);
        other.Deserialise(Cursor(good));
        EXPECT_EQ(other.GetUtilisation(2), 500);
        EXPECT_EQ(other.GetFSS(), std::deque<int32_t>({1, 3, 4}));
    }
    try {
        SUT other(&ras);
        other.SetSegmentSize(kSegSize);
        other.Deserialise(Cursor(patch(0, 2)));
        ADD_FAILURE() << "schema 2 accepted";
    } catch (const DeserialisationException& e) {
        EXPECT_EQ(e.GetMessage(), "Bad schema (2) - should be 1");
    }
    EXPECT_THROW({ SUT o(&ras); o.SetSegmentSize(kSegSize); o.Deserialise(Cursor(patch(13, 5))); }, DeserialisationException);
    expectCorrupt(patch(17, 6), "count beyond the image");
    expectCorrupt(patch(17, -1), "negative count");
    expectCorrupt(patch(21 + 8, -5), "negative utilisation");
    expectCorrupt(patch(21 + 8, kSegSize + 1), "utilisation above the segment size");
    expectCorrupt(patch(4, 499), "total does not match");
    auto b = good;
    b[12] = 7;
    expectCorrupt(b, "bad form byte");
    for (size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + long(n));
        SUT o(&ras);
        o.SetSegmentSize(kSegSize);
        EXPECT_ANY_THROW(o.Deserialise(Cursor(cut))) << n;
    }
    for (int32_t id = 1; id <= 4; ++id) sut.Release(id);
}

TEST(SUT, ChangesOverToLargeTableAndRoundTrips)
{
    VectorRAS ras;
    SUT sut(&ras);
    sut.SetSegmentSize(kSegSize); // 1024 entries per page
    // 5114 entries stay small.
    while (sut.GetNumSegments() < 5114) sut.Release(sut.AllocateSegment());
    for (int32_t id = 1; id < 5114; id += 3) sut.AddUtilisation(id, id % 4000 + 1);
    sut.ChangeOverIfNeeded();
    EXPECT_FALSE(sut.IsLarge());
    EXPECT_LT(SerialiseSut(sut).size(), size_t(0x5000));
    sut.Release(sut.AllocateSegment()); // 5115 entries
    ASSERT_EQ(sut.GetNumSegments(), 5115);
    const int writesBefore = ras.m_writes;
    sut.ChangeOverIfNeeded();
    ASSERT_TRUE(sut.IsLarge());
    EXPECT_EQ(ras.m_writes - writesBefore, 5); // ceil(5115 / 1024) pages, each a new segment
    for (int32_t id = 1; id < 5114; ++id) ASSERT_EQ(sut.GetUtilisation(id), id % 3 == 1 ? id % 4000 + 1 : 0) << id;
    const int32_t count = sut.GetNumSegments();
    EXPECT_EQ(count, 5120); // five page segments were appended
    EXPECT_GE(sut.GetHighestUsedSegment(), 5119);
    // No page was written twice into one segment, and their segments are reserved.
    for (int32_t id = 5115; id < 5120; ++id) EXPECT_EQ(sut.GetReservationCount(id), 1);

    const auto image = SerialiseSut(sut);
    EXPECT_EQ(image.size(), size_t(4 + 8 + 1 + 12 + 5 * 4));
    SUT other(&ras);
    other.SetSegmentSize(kSegSize);
    other.Deserialise(Cursor(image));
    EXPECT_TRUE(other.IsLarge());
    EXPECT_EQ(other.GetNumSegments(), count);
    for (int32_t id = 1; id < 5114; ++id) ASSERT_EQ(other.GetUtilisation(id), sut.GetUtilisation(id)) << id;
    for (int32_t id = 5115; id < 5120; ++id) EXPECT_EQ(other.GetReservationCount(id), 1);
    for (int32_t id : other.GetFSS()) ASSERT_EQ(other.GetUtilisation(id), 0);

    // A change dirties one page; the next check point writes it to a new segment and
    // lets the old one go through the delta-FSS.
    other.AddUtilisation(2, 5);
    const int w2 = ras.m_writes;
    other.ChangeOverIfNeeded();
    EXPECT_EQ(ras.m_writes - w2, 1);
    const auto d = other.GetDeltaFSS();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_GE(d.front(), 5115);
    EXPECT_EQ(other.GetUtilisation(2), sut.GetUtilisation(2) + 5);

    // Damaged large images.
    auto patched = image;
    int32_t v = 4;
    std::memcpy(patched.data() + 21, &v, 4); // page count does not match
    SUT bad(&ras);
    bad.SetSegmentSize(kSegSize);
    EXPECT_THROW(bad.Deserialise(Cursor(patched)), CorruptLSSException);
    patched = image;
    v = 5115;
    std::memcpy(patched.data() + 25 + 4, &v, 4); // two pages in one segment
    EXPECT_THROW(bad.Deserialise(Cursor(patched)), CorruptLSSException);
    patched = image;
    v = 99999;
    std::memcpy(patched.data() + 25, &v, 4); // a page outside the store
    EXPECT_THROW(bad.Deserialise(Cursor(patched)), CorruptLSSException);
}

TEST(SUT, DumpFormat)
{
    VectorRAS ras;
    SUT sut(&ras);
    sut.SetSegmentSize(kSegSize);
    sut.AllocateSegment();
    sut.AllocateSegment();
    sut.AddUtilisation(1, 1024);
    sut.Release(2);
    ASSERT_EQ(sut.AllocateSegment(), 3);
    sut.AddUtilisation(3, 0xABC);
    StringTextWriter w;
    sut.Dump(w);
    const xstring text = w.TakeText();
    const std::string s(text.data(), size_t(text.size()));
    EXPECT_NE(s.find("SUT\n  Segment Id       Utilisation       % Utilisation\n"), std::string::npos);
    EXPECT_NE(s.find("    00000001        00000400               25%\n"), std::string::npos) << s;
    // Hexadecimal in lower case.
    EXPECT_NE(s.find("    00000003        00000abc               67.1%\n"), std::string::npos) << s;
    EXPECT_NE(s.find("  Total utilisation = 0000000000000ebc\n"), std::string::npos) << s;
    EXPECT_NE(s.find("  FSS               = []\n  delta-FSS         = [2]\n"), std::string::npos) << s;
    sut.Release(1);
}
