#include "VectorRas.h"
#include "vnLss/LogLayout.h"
#include "vnLss/RPM.h"
#include "vnLss/SUT.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Streams.h"
#include "vnUtils/TextWriter.h"
#include "LssTestUtil.h"
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

using namespace vorn;
using vorn::test::VectorRAS;

namespace {

constexpr int32_t kSegSize = 4096;

// The log's part for the map: node packets kept in memory by position.
class FakeNodeLog : public IRpmPacketReader, public IRpmPacketWriter, public IOutputStream {
public:
    explicit FakeNodeLog(SUT* sut) : m_sut(sut) {}
    ~FakeNodeLog() override
    {
        if (m_segment) m_sut->Release(m_segment);
    }

    struct Packet {
        Seid seid;
        std::vector<uint8_t> payload;
    };

    void OpenPacket(RpmPosition pos, RpmPacket& packet) override
    {
        std::lock_guard<std::mutex> l(m_lock);
        auto it = m_packets.find({pos.m_segmentId, pos.m_offset});
        if (it == m_packets.end()) throw CorruptLSSException(xstring("LSS is corrupt : Bad packet header"));
        ++m_reads;
        packet.m_seid = it->second.seid;
        // A private copy, so that a reader running past it is caught by the sanitizers.
        auto* copy = new std::vector<uint8_t>(it->second.payload);
        packet.m_payload = copy->data();
        packet.m_length = int32_t(copy->size());
        packet.m_handle = copy;
    }
    void ClosePacket(RpmPacket& packet) noexcept override { delete static_cast<std::vector<uint8_t>*>(packet.m_handle); }

    IOutputStream& BeginNodePacket(Seid seid) override
    {
        m_current = Packet{seid, {}};
        return *this;
    }
    void WriteStream(const void* buffer, ssize_t n) override
    {
        const uint8_t* p = static_cast<const uint8_t*>(buffer);
        m_current.payload.insert(m_current.payload.end(), p, p + n);
    }
    void Flush() override {}
    void EndNodePacket(RpmPosition& pos, int32_t& size) override
    {
        std::lock_guard<std::mutex> l(m_lock);
        size = int32_t(m_current.payload.size()) + 13;
        if (!m_segment || m_offset + size > kSegSize) {
            if (m_segment) m_sut->Release(m_segment);
            m_segment = m_sut->AllocateSegment();
            m_offset = 32;
        }
        pos = RpmPosition{m_segment, m_offset};
        m_offset += size;
        m_packets[{pos.m_segmentId, pos.m_offset}] = m_current;
        ++m_writes;
    }

    Packet& At(RpmPosition pos) { return m_packets.at({pos.m_segmentId, pos.m_offset}); }

    std::mutex m_lock;
    std::map<std::pair<int32_t, int32_t>, Packet> m_packets;
    int m_reads = 0, m_writes = 0;

private:
    SUT* m_sut;
    Packet m_current;
    int32_t m_segment = 0;
    int32_t m_offset = 0;
};

struct MapFixture {
    VectorRAS ras;
    SUT sut{&ras};
    FakeNodeLog log{&sut};
    std::unique_ptr<RPM7> rpm;
    MapFixture()
    {
        sut.SetSegmentSize(kSegSize);
        // Segments 1 .. 40 exist for the positions the tests record.
        for (int i = 0; i < 40; ++i) sut.Release(sut.AllocateSegment());
        rpm = std::make_unique<RPM7>(&sut, &log);
    }
    std::vector<uint8_t> Checkpoint()
    {
        PagedBuffer buf;
        PagedBufferToOutputStreamAdapter out(&buf);
        {
            Archive ar(&out);
            rpm->WriteDirtyNodes(log, ar);
            ar.Flush();
        }
        std::vector<uint8_t> image(size_t(buf.GetSize()));
        buf.CopyTo(image.data());
        return image;
    }
    void Reload(const std::vector<uint8_t>& image)
    {
        rpm = std::make_unique<RPM7>(&sut, &log);
        rpm->Deserialise(InputArchive(image.data(), image.size()));
    }
};

uint32_t RandomWord(std::mt19937& rng, int spread)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(rng() % uint32_t(spread) + 1) << (8 * i);
    return v;
}

} // namespace

TEST(RPM, CountersOfANewMap)
{
    MapFixture f;
    EXPECT_EQ(f.rpm->AllocateSeidHigh(), 0x01010101u);
    EXPECT_EQ(f.rpm->AllocateSeidHigh(), 0x01010102u);
    EXPECT_EQ(f.rpm->AllocateSeidHigh(), 0x01010103u);
    EXPECT_EQ(f.rpm->AllocateSeid(0x01010101u), Seid(0x01010101u, 0x01010101u));
    EXPECT_EQ(f.rpm->AllocateSeid(0x01010101u), Seid(0x01010102u, 0x01010101u));
    EXPECT_EQ(f.rpm->GetNextSeidLow(0x01010101u), 0x01010103u);
    EXPECT_EQ(f.rpm->AllocateOverflowSeid(0x01010101u), Seid(0x01010101u, 0x81010101u));
    // A position above the counter moves it past.
    f.rpm->SetPosition(Seid(0x01020304u, 0x01010101u), 3, 100);
    EXPECT_EQ(f.rpm->AllocateSeid(0x01010101u), Seid(0x01020305u, 0x01010101u));
    f.rpm->SetPosition(Seid(0x01010101u, 0x05010101u), 3, 100);
    EXPECT_EQ(f.rpm->AllocateSeidHigh(), 0x05010102u);
    EXPECT_THROW(f.rpm->SetPosition(Seid(0x01010101u, 0x05000001u), 3, 100), CorruptLSSException);
    EXPECT_THROW(f.rpm->SetPosition(Seid(0x01010101u, 0x01010101u), 41, 100), CorruptLSSException);
    EXPECT_THROW(f.rpm->SetPosition(Seid(0x01010101u, 0x01010101u), 3, kSegSize - 12), CorruptLSSException);
    // The last value of the space: then exhausted for good, never wrapping around.
    f.rpm->SetPosition(Seid(0x01010101u, 0x7FFFFFFEu), 3, 200);
    EXPECT_THROW(f.rpm->AllocateSeidHigh(), CorruptLSSException);
    EXPECT_THROW(f.rpm->AllocateSeidHigh(), CorruptLSSException);
    EXPECT_EQ(f.rpm->GetNextSeidHigh(), 0x7FFFFFFFu);
    // The last SeidHigh itself in use: the counter holds it bumped.
    f.rpm->SetPosition(Seid(0x01010101u, 0x7FFFFFFFu), 3, 250);
    EXPECT_EQ(f.rpm->GetNextSeidHigh(), 0x80010101u);
    EXPECT_THROW(f.rpm->AllocateSeidHigh(), CorruptLSSException);
    f.rpm->SetPosition(Seid(0xFFFFFFFFu, 0x01010102u), 3, 300);
    EXPECT_THROW(f.rpm->AllocateSeid(0x01010102u), CorruptLSSException);
    // The exhausted counters survive a check point and a reload.
    f.Reload(f.Checkpoint());
    EXPECT_EQ(f.rpm->GetNextSeidHigh(), 0x80010101u);
    EXPECT_THROW(f.rpm->AllocateSeidHigh(), CorruptLSSException);
    EXPECT_THROW(f.rpm->AllocateSeid(0x01010102u), CorruptLSSException);
    EXPECT_EQ(f.rpm->Lookup(Seid(0xFFFFFFFFu, 0x01010102u), false), (RpmPosition{3, 300}));
    EXPECT_THROW(f.rpm->AllocateSeid(0x01000101u), ProgrammingErrorException);
}

TEST(RPM, LookupRemoveAndChildren)
{
    MapFixture f;
    const Seid a(0x01010101u, 0x01010101u);
    EXPECT_EQ(f.rpm->Lookup(Seid(0x01010101u, 0x00010101u), false), RpmPosition());
    EXPECT_EQ(f.rpm->CountLoadedNodes(), 0);
    EXPECT_FALSE(f.rpm->RemovePosition(a));
    f.rpm->SetPosition(a, 5, 64);
    EXPECT_EQ(f.rpm->Lookup(a, false), (RpmPosition{5, 64}));
    EXPECT_EQ(f.rpm->Lookup(a, true), (RpmPosition{5, 64}));
    EXPECT_EQ(f.sut.GetReservationCount(5), 1);
    f.sut.Release(5);
    EXPECT_TRUE(f.rpm->RemovePosition(a));
    EXPECT_FALSE(f.rpm->RemovePosition(a));
    EXPECT_EQ(f.rpm->Lookup(a, false), RpmPosition());

    f.rpm->SetPosition(Seid(0x01010101u, 0x02010101u), 5, 64);
    xvector<Seid> children;
    EXPECT_TRUE(f.rpm->GetChildren(Seid(), children));
    ASSERT_EQ(children.size(), 2);
    EXPECT_EQ(children[0], Seid(0, 0x01000000u));
    EXPECT_EQ(children[1], Seid(0, 0x02000000u));
    children.clear();
    EXPECT_TRUE(f.rpm->GetChildren(Seid(0x01010100u, 0x02010101u), children));
    ASSERT_EQ(children.size(), 1);
    EXPECT_EQ(children[0], Seid(0x01010101u, 0x02010101u));
    EXPECT_FALSE(f.rpm->GetChildren(Seid(0, 0x03000000u), children));
    StringTextWriter w;
    EXPECT_TRUE(f.rpm->DumpNode(Seid(0, 0x02010101u), w));
    const xstring text = w.TakeText();
    const std::string s(text.data(), size_t(text.size()));
    EXPECT_NE(s.find("m_level = 3\nm_index = 1\nm_seid = 02010101.00000000\n"), std::string::npos) << s;
    EXPECT_NE(s.find("m_nextSeidLow = 01010102\n"), std::string::npos) << s;
    // Hexadecimal in lower case.
    f.rpm->SetPosition(Seid(0x010101FEu, 0x0A0B0C0Du), 5, 128);
    StringTextWriter w2;
    EXPECT_TRUE(f.rpm->DumpNode(Seid(0, 0x0A0B0C0Du), w2));
    const xstring text2 = w2.TakeText();
    const std::string s2(text2.data(), size_t(text2.size()));
    EXPECT_NE(s2.find("m_nextSeidLow = 010101ff\n"), std::string::npos) << s2;
}

TEST(RPM, RandomOperationsMatchStdMapThroughCheckpoints)
{
    MapFixture f;
    std::mt19937 rng(2024);
    std::map<Seid, RpmPosition> model;
    const SeidHigh spaces[] = {0x01010101u, 0x01010102u, 0x02010101u, 0x81010101u};
    auto randomSeid = [&] {
        const SeidHigh h = spaces[rng() % 4];
        SeidLow l = RandomWord(rng, 3);
        l = (l & 0xFFFFFF00u) | (rng() % 255 + 1);
        return Seid(l, h);
    };
    int reloads = 0;
    for (int step = 0; step < vorn::test::Scaled(30000); ++step) {
        const uint32_t op = rng() % 100;
        const Seid s = randomSeid();
        if (op < 45) {
            const RpmPosition p{int32_t(rng() % 39) + 1, int32_t(rng() % 4000)};
            f.rpm->SetPosition(s, p.m_segmentId, p.m_offset);
            model[s] = p;
            if (!(s.m_high & kSeidOverflowBit)) {
                ASSERT_GT(f.rpm->GetNextSeidHigh(), s.m_high);
            }
        } else if (op < 65) {
            const bool had = model.erase(s) != 0;
            ASSERT_EQ(f.rpm->RemovePosition(s), had) << "step " << step;
        } else if (op < 98) {
            auto it = model.find(s);
            ASSERT_EQ(f.rpm->Lookup(s, false), it == model.end() ? RpmPosition() : it->second) << "step " << step;
        } else {
            const auto image = f.Checkpoint();
            if (rng() % 2) {
                f.rpm->TrimNodeCache();
            } else {
                f.Reload(image);
                ++reloads;
            }
        }
    }
    EXPECT_GT(reloads, vorn::test::Scaled(50));
    EXPECT_GT(f.log.m_reads, 0);
    // A last round trip, then every entry of the model is found, and nothing else.
    f.Reload(f.Checkpoint());
    for (auto& [s, p] : model) ASSERT_EQ(f.rpm->Lookup(s, false), p);
    for (SeidHigh h : spaces) {
        xvector<SeidLow> lows;
        f.rpm->GetSeidLowsInSpace(lows, h);
        std::vector<SeidLow> expect;
        for (auto& [s, p] : model)
            if (s.m_high == h) expect.push_back(s.m_low);
        ASSERT_EQ(std::vector<SeidLow>(lows.begin(), lows.end()), expect);
        if (!(h & kSeidOverflowBit) && !expect.empty()) {
            EXPECT_GT(f.rpm->GetNextSeidLow(h), expect.back());
        }
    }
}

TEST(RPM, TrimDropsOnlyCleanUnusedNodes)
{
    MapFixture f;
    const Seid a(0x01010101u, 0x01010101u), b(0x01010101u, 0x02020202u);
    f.rpm->SetPosition(a, 2, 10);
    f.rpm->SetPosition(b, 2, 20);
    for (int i = 0; i < 300; ++i) f.rpm->Lookup(b, false);
    f.rpm->TrimNodeCache();
    EXPECT_EQ(f.rpm->CountLoadedNodes(), 14); // dirty: nothing goes
    f.Checkpoint();
    const int32_t total = int32_t(f.sut.GetTotalUtilisation());
    EXPECT_GT(total, 0);
    f.rpm->TrimNodeCache();
    EXPECT_EQ(f.rpm->CountLoadedNodes(), 7); // a's path went, b was looked up recently
    const int reads = f.log.m_reads;
    EXPECT_EQ(f.rpm->Lookup(a, false), (RpmPosition{2, 10}));
    EXPECT_EQ(f.log.m_reads, reads + 7);
    // Changing a and writing it again moves its nodes' packets: the old ones stop counting.
    f.rpm->SetPosition(a, 2, 11);
    f.Checkpoint();
    EXPECT_EQ(f.sut.GetTotalUtilisation(), total);
    EXPECT_TRUE(f.rpm->RemovePosition(Seid(0, 0x02000000u))); // a whole subtree
    EXPECT_EQ(f.rpm->Lookup(b, false), RpmPosition());
}

TEST(RPM, LeafPackingFillsLeafThenMovesOn)
{
    MapFixture f;
    const SeidHigh h = 0x01010101u;
    Seid first;
    for (int i = 1; i <= 255; ++i) {
        Seid s(0x05060700u, h);
        ASSERT_TRUE(f.rpm->AllocateSeidNear(s));
        EXPECT_EQ(s, Seid(0x05060700u | uint32_t(i), h));
    }
    Seid s(0x05060700u, h);
    ASSERT_TRUE(f.rpm->AllocateSeidNear(s));
    EXPECT_EQ(s.m_low & 0xFFu, 1u);
    EXPECT_NE(s.m_low & 0xFFFFFF00u, 0x05060700u);
    EXPECT_EQ(s.m_low & 0xFFFF0000u, 0x05060000u); // a sibling leaf
    StringTextWriter w;
    ASSERT_TRUE(f.rpm->DumpNode(Seid(0x05060700u, h), w));
    (void)w.TakeText();
    xvector<Seid> leaves;
    ASSERT_TRUE(f.rpm->GetChildren(Seid(0x05060000u, h), leaves));
    // The next allocation near the full leaf goes to the hinted one.
    Seid t(0x05060700u, h);
    ASSERT_TRUE(f.rpm->AllocateSeidNear(t));
    EXPECT_EQ(t.m_low, (s.m_low & 0xFFFFFF00u) | 2u);
    (void)first;
}

// A stored node's allocation count at the top of its range: packing near it goes on
// (the count stays there) and still hands out new seids.
TEST(RPM, LeafPackingNearNodesWithTheHighestStoredCount)
{
    MapFixture f;
    const SeidHigh h = 0x01010101u;
    std::set<Seid> seen;
    for (int i = 0; i < 300; ++i) {
        Seid s(0x05060700u, h);
        ASSERT_TRUE(f.rpm->AllocateSeidNear(s));
        f.rpm->SetPosition(s, 7, 100);
        seen.insert(s);
    }
    const auto image = f.Checkpoint();
    int patched = 0;
    for (auto& [pos, packet] : f.log.m_packets) {
        std::vector<uint8_t>& b = packet.payload;
        const size_t at = 8 + 8 * size_t(LoadU32(&b[4])) + 4; // after the entries and the hint
        ASSERT_LE(at + 4, b.size());
        StoreU32(&b[at], 0x7FFFFFFFu);
        ++patched;
    }
    ASSERT_GT(patched, 3);
    f.Reload(image);
    for (int i = 0; i < 300; ++i) {
        Seid s(0x05060700u, h);
        ASSERT_TRUE(f.rpm->AllocateSeidNear(s));
        ASSERT_TRUE(seen.insert(s).second) << "handed out twice: " << SeidToString(s).c_str();
        f.rpm->SetPosition(s, 7, 100);
    }
}

TEST(RPM, LeafPackingHandsOutUniqueSeids)
{
    MapFixture f;
    std::mt19937 rng(77);
    std::set<Seid> seen;
    std::vector<Seid> recorded;
    const SeidHigh spaces[] = {0x01010101u, 0x03030303u};
    for (int i = 0; i < 60000; ++i) {
        Seid s(RandomWord(rng, 2), spaces[rng() % 2]);
        if (rng() % 5 == 0) s.m_low &= 0xFFFF00FFu; // a zero byte in the hint
        if (!recorded.empty() && rng() % 2) s = recorded[rng() % recorded.size()];
        const SeidHigh space = s.m_high;
        ASSERT_TRUE(f.rpm->AllocateSeidNear(s));
        ASSERT_EQ(s.m_high, space);
        ASSERT_TRUE(IsValidSeid(s)) << SeidToString(s).c_str();
        ASSERT_TRUE(seen.insert(s).second) << "handed out twice: " << SeidToString(s).c_str() << " at " << i;
        if (rng() % 3 == 0) {
            f.rpm->SetPosition(s, 7, 100);
            recorded.push_back(s);
        }
        if (i % 5000 == 4999) {
            const auto image = f.Checkpoint();
            if (i % 10000 == 9999) f.Reload(image);
            else f.rpm->TrimNodeCache();
        }
    }
    for (const Seid& s : recorded) ASSERT_EQ(f.rpm->Lookup(s, false), (RpmPosition{7, 100}));
}

TEST(RPM, DamagedRootImagesAreRejected)
{
    MapFixture f;
    f.rpm->SetPosition(Seid(0x01010101u, 0x01010101u), 3, 10);
    const auto good = f.Checkpoint();
    ASSERT_EQ(good.size(), size_t(4 + 4 + 8 + 4 + 4 + 4));
    auto patched = [&](size_t at, int32_t v) {
        auto b = good;
        std::memcpy(b.data() + at, &v, 4);
        return b;
    };
    auto load = [&](const std::vector<uint8_t>& b) {
        RPM7 r(&f.sut, &f.log);
        r.Deserialise(InputArchive(b.data(), b.size()));
    };
    EXPECT_NO_THROW(load(good));
    try {
        load(patched(0, 4));
        ADD_FAILURE();
    } catch (const DeserialisationException& e) {
        EXPECT_EQ(e.GetMessage(), "Bad schema (4) - should be between 1 and 3");
    }
    EXPECT_THROW(load(patched(4, 256)), CorruptLSSException);
    EXPECT_THROW(load(patched(4, -1)), CorruptLSSException);
    EXPECT_THROW(load(patched(4, 2)), CorruptLSSException);      // more entries than bytes
    EXPECT_THROW(load(patched(8, 9999)), CorruptLSSException);   // a segment the store lacks
    EXPECT_THROW(load(patched(12, -4)), CorruptLSSException);    // an offset before the segment
    EXPECT_THROW(load(patched(12, kSegSize)), CorruptLSSException);
    EXPECT_THROW(load(patched(24, 0x01000101)), CorruptLSSException); // a counter with a zero byte
    for (size_t n = 0; n < good.size(); ++n) EXPECT_ANY_THROW(load(std::vector<uint8_t>(good.begin(), good.begin() + long(n))));
    // Schema 1: no hint, no count, then the counter.
    const std::vector<int32_t> s1 = {1, 1, 3, 10, 0x01010105};
    std::vector<uint8_t> b1(s1.size() * 4);
    std::memcpy(b1.data(), s1.data(), b1.size());
    RPM7 r(&f.sut, &f.log);
    r.Deserialise(InputArchive(b1.data(), b1.size()));
    EXPECT_EQ(r.GetNextNode(), 0u);
    EXPECT_EQ(r.GetNumAllocations(), 0);
    EXPECT_EQ(r.GetNextSeidHigh(), 0x01010105u);
    EXPECT_EQ(r.GetEntry(1), (RpmPosition{3, 10}));
    EXPECT_FALSE(r.IsDirty());
}

TEST(RPM, DamagedNodePacketsThrowCorruptLSSException)
{
    std::mt19937 rng(99);
    int corrupt = 0, deserial = 0, accepted = 0;
    for (int round = 0; round < 300; ++round) {
        MapFixture f;
        for (int i = 0; i < 20; ++i) f.rpm->SetPosition(Seid(0x01010100u | uint32_t(i + 1), 0x01010101u), 3, i * 8);
        const auto image = f.Checkpoint();
        // Damage one node packet: flip bytes, cut it, or grow it.
        auto it = f.log.m_packets.begin();
        std::advance(it, long(rng() % f.log.m_packets.size()));
        auto& payload = it->second.payload;
        switch (rng() % 3) {
        case 0: for (int k = 0; k < 3; ++k) payload[rng() % payload.size()] ^= uint8_t(rng() % 255 + 1); break;
        case 1: payload.resize(rng() % payload.size()); break;
        default: {
            const int32_t big = int32_t(rng());
            std::memcpy(payload.data() + 4, &big, 4);
        }
        }
        f.Reload(image);
        try {
            for (int i = 0; i < 20; ++i) f.rpm->Lookup(Seid(0x01010100u | uint32_t(i + 1), 0x01010101u), false);
            ++accepted;
        } catch (const CorruptLSSException&) {
            ++corrupt;
        } catch (const DeserialisationException&) {
            ++deserial; // an unknown schema
        }
    }
    EXPECT_GT(corrupt, 100);
    EXPECT_EQ(corrupt + deserial + accepted, 300);

    MapFixture f;
    f.rpm->SetPosition(Seid(0x01010101u, 0x01010101u), 3, 8);
    const auto image = f.Checkpoint();
    for (auto& [pos, p] : f.log.m_packets) p.seid.m_low ^= 0x100;
    f.Reload(image);
    try {
        f.rpm->Lookup(Seid(0x01010101u, 0x01010101u), false);
        ADD_FAILURE();
    } catch (const CorruptLSSException& e) {
        EXPECT_EQ(e.GetMessage(), "Seid doesn't match in packet header");
    }
}

TEST(RPM, ThreadedOperationsWithCheckpoints)
{
    MapFixture f;
    constexpr int kThreads = 4;
    std::vector<std::map<Seid, RpmPosition>> models(kThreads);
    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    std::thread checkpointer([&] {
        while (!done) {
            f.Checkpoint();
            f.rpm->TrimNodeCache();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(uint32_t(t) + 5);
            auto& model = models[size_t(t)];
            for (int i = 0; i < 3000; ++i) {
                // Each thread owns one top byte of the SeidLow.
                const Seid s((uint32_t(t + 1) << 24) | (RandomWord(rng, 3) & 0x00FFFFFFu), 0x01010101u + uint32_t(rng() % 2));
                const uint32_t op = rng() % 10;
                if (op < 4) {
                    const RpmPosition p{int32_t(rng() % 39) + 1, int32_t(rng() % 4000)};
                    f.rpm->SetPosition(s, p.m_segmentId, p.m_offset);
                    model[s] = p;
                } else if (op < 6) {
                    if (f.rpm->RemovePosition(s) != (model.erase(s) != 0)) ++mismatches;
                } else {
                    auto it = model.find(s);
                    if (f.rpm->Lookup(s, false) != (it == model.end() ? RpmPosition() : it->second)) ++mismatches;
                }
                if (i % 500 == 0) f.rpm->AllocateSeid(0x01010101u);
            }
        });
    }
    for (auto& t : threads) t.join();
    done = true;
    checkpointer.join();
    EXPECT_EQ(mismatches.load(), 0);
    f.Reload(f.Checkpoint());
    for (auto& m : models)
        for (auto& [s, p] : m) ASSERT_EQ(f.rpm->Lookup(s, false), p);
}
