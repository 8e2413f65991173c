#include "LssStoreTestUtil.h"
#include "vnUtils/Crc32.h"
#include "vnUtils/TextWriter.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

// The cleaner stays out of the way: counts of obsolete packets stay put.
LssSettings DumpSettings()
{
    LssSettings s = SmallSettings(4096);
    s.m_cleanerUtilisationPercent = 0.0;
    return s;
}

LssStats Stats(LSS* lss)
{
    LssStats s;
    lss->GetStats(&s);
    return s;
}

// Packets of an element's chain, found through the map.
int32_t ChainLength(LSS* lss, Seid s)
{
    int32_t n = 0;
    RpmPosition p = lss->GetRPM().Lookup(s, false);
    PacketHeader h;
    while (!p.IsEmpty()) {
        h.Decode(lss->GetCache(), lss->GetSUT(), p.m_segmentId, p.m_offset, false);
        ++n;
        if (!h.HasNext()) break;
        p = lss->GetRPM().Lookup(h.m_next, false);
    }
    return n;
}

std::string DumpText(LSS* lss, LssStats* stats, bool all = true, bool statsOnly = false)
{
    StringTextWriter w;
    if (statsOnly) lss->Dump(stats, w, false, false, false, false, false, false, false, false, true, false);
    else lss->Dump(stats, w, all, all, all, all, all, all, all, all, all, all);
    const xstring t = w.TakeText();
    return std::string(t.data(), t.size());
}

uint32_t Crc(const std::map<Seid, std::vector<uint8_t>>& elements)
{
    uint32_t c = 0xFFFFFFFFu;
    for (const auto& e : elements) c = Crc32Update(c, e.second.data(), e.second.size());
    return c ^ 0xFFFFFFFFu;
}

} // namespace

TEST(LssDump, EmptyStoreHasNoPacketsAtAll)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, DumpSettings());
    // Its first check point has no node below the root to write (the root lives in the
    // root division), so not even a node packet exists yet.
    const LssStats s = Stats(lss);
    EXPECT_EQ(s.m_numSerialElements + s.m_numLiveOverflowPackets + s.m_numLiveRpmPackets + s.m_numObsoletePackets, 0);
    EXPECT_EQ(s.m_totalUtilisation, 0);
    EXPECT_EQ(s.m_fileSize, int64_t(d->Copy().size()));
    lss->Close();
}

TEST(LssDump, CountsFollowWhatWasWrittenAndRewritten)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, DumpSettings());
    // The big element starts behind another in segment 1 and ends before another in
    // segment 2, so both of its segments keep live bytes when it is rewritten (a
    // segment left without live bytes is free and is not scanned).
    const Seid big(0x01010102u, 0x01010101u);
    const Seid seids[] = {Seid(0x01010101u, 0x01010101u), big, Seid(0x01010103u, 0x01010101u),
                          Seid(0x01010101u, 0x01010102u)};
    const size_t sizes[] = {1000, 5000, 1000, 1};
    for (int i = 0; i < 4; ++i) WriteElement(lss, seids[i], Pattern(sizes[i], uint32_t(i)));
    const int32_t oldPackets = ChainLength(lss, big);
    EXPECT_EQ(oldPackets, 2);
    const LssStats before = Stats(lss);

    WriteElement(lss, big, Pattern(5000, 99));
    int32_t overflow = 0;
    for (const Seid& e : seids) overflow += ChainLength(lss, e) - 1;
    EXPECT_GE(ChainLength(lss, big), 3); // now across three segments
    const LssStats after = Stats(lss);
    EXPECT_EQ(after.m_numObsoletePackets, before.m_numObsoletePackets + oldPackets);
    EXPECT_EQ(after.m_numSerialElements, 4);
    EXPECT_EQ(after.m_numLiveOverflowPackets, overflow);
    EXPECT_EQ(after.m_totalUtilisation, lss->GetSUT().GetTotalUtilisation());
    EXPECT_EQ(after.m_numTransactions, 5);
    lss->Close();
}

TEST(LssDump, CrcOfAllObjectsFollowsTheSeidOrderAndTheBytes)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, DumpSettings());
    EXPECT_EQ(lss->CrcOfAllObjects(), 0u); // nothing: the CRC of no bytes
    std::map<Seid, std::vector<uint8_t>> elements;
    // Written out of order, in two spaces, one spanning segments and longer than a block.
    const Seid seids[] = {Seid(0x01010105u, 0x01010102u), Seid(0x01010101u, 0x01010101u),
                          Seid(0x01020101u, 0x01010101u), Seid(0x01010103u, 0x01010101u)};
    size_t n = 20000;
    for (const Seid& s : seids) {
        elements[s] = Pattern(n, s.m_low ^ s.m_high);
        WriteElement(lss, s, elements[s]);
        n = n / 3 + 7;
    }
    const uint32_t crc = lss->CrcOfAllObjects();
    EXPECT_EQ(crc, Crc(elements));
    lss->Close();

    lss = OpenShared(d, DumpSettings());
    EXPECT_EQ(lss->CrcOfAllObjects(), crc);
    elements[seids[2]][17] ^= 0x01;
    WriteElement(lss, seids[2], elements[seids[2]]);
    EXPECT_NE(lss->CrcOfAllObjects(), crc);
    EXPECT_EQ(lss->CrcOfAllObjects(), Crc(elements));
    lss->Close();
}

TEST(LssDump, FullDumpHasEveryPart)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, DumpSettings());
    const Seid a(0x01010101u, 0x01010101u), b(0x01010102u, 0x01010101u);
    WriteElement(lss, a, Pattern(9000, 1));
    WriteElement(lss, b, Pattern(40, 2));
    WriteElement(lss, b, Pattern(41, 3));
    lss->CheckPointWithNewId();
    LssStats s;
    const std::string t = DumpText(lss, &s);
    const std::string rule(109, '-');
    EXPECT_EQ(t.rfind("\n" + rule + "\n" + std::string(53, ' ') + "LSS\nSegment writer end of log position = { seg=", 0),
              0u);
    EXPECT_EQ(t.substr(t.size() - 110), "\n" + rule);
    for (const char* part :
         {"\nRecovery log:\n", "\nRoot block diagnostic information", "m_nextSeidHigh = ", "Seid allocation info\n",
          "\nSUT\n", "Flush units\n",
          "      segid          range        crc                  check point id             fsn    nextsegid  size\n",
          "\nSegment 1  Utilisation = ", "  Flush Unit :  [00000000,",
          "      Live Head  Type         Seid          Offset    Packet   Serial Elt\n",
          "       Y    Y    Data  01010101.01010101  ", "       N    Y    Data  01010101.01010102  ",
          "       Y    N    RPM   01010101.01010100  ", "  Next Seid = 81010101.", "\nNum check points          = 1\n",
          "\n32 bit CRC on all objects in the store = "})
        EXPECT_NE(t.find(part), std::string::npos) << part;
    EXPECT_EQ(t.find("ERROR"), std::string::npos);
    EXPECT_NE(t.find("    " + std::string(103, '-') + "\n"), std::string::npos);
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x\n", lss->CrcOfAllObjects());
    EXPECT_NE(t.find(std::string("store = ") + crc), std::string::npos);
    // The length of the whole element (16 digits) follows a live head's packet size.
    EXPECT_NE(t.find("  0000000000002328  Next Seid = "), std::string::npos);
    const LssStats g = Stats(lss);
    EXPECT_EQ(s.m_numSerialElements, g.m_numSerialElements);
    EXPECT_EQ(s.m_numObsoletePackets, g.m_numObsoletePackets);
    EXPECT_EQ(s.m_totalUtilisation, g.m_totalUtilisation);
    lss->Close();
}

TEST(LssDump, StatisticsTextOfASmallStore)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, DumpSettings());
    WriteElement(lss, Seid(0x01010101u, 0x01010101u), Pattern(100, 1));
    lss->CheckPointWithNewId();
    LssStats s;
    const std::string t = DumpText(lss, &s, false, true);
    const int64_t size = int64_t(d->Copy().size());
    // 113 bytes of element packet; six 37-byte node packets and the 41-byte space node.
    const int64_t total = 113 + 6 * 37 + 41;
    char pct[32], fileLine[96];
    std::snprintf(pct, sizeof pct, "%.3g", double(total) * 100.0 / double(size));
    std::snprintf(fileLine, sizeof fileLine, "File size                 = %016llx = %lld\n", (unsigned long long)size,
                  (long long)size);
    const std::string expected = std::string("\nNum check points          = 1\n"
                                             "Num recoveries            = 0\n"
                                             "Num transactions          = 1\n"
                                             "Segment size              = 4 kB\n"
                                             "Num serial elements       = 1\n"
                                             "Num live overflow packets = 0\n"
                                             "Num live RPM packets      = 7\n"
                                             "Num obsolete packets      = 0\n"
                                             "Total utilisation         = 0000000000000178 = 376\n") +
                                 fileLine + "  % utilisation           = " + pct + "%\n";
    const size_t at = t.find("\nNum check points");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(t.substr(at, t.size() - 109 - at), expected);
    EXPECT_EQ(s.m_totalUtilisation, total);
    lss->Close();
}

TEST(LssDump, AMismatchedUtilisationStopsTheListingAndPrintsTheStatistics)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, DumpSettings());
    for (uint32_t i = 1; i <= 3; ++i) WriteElement(lss, Seid(0x01010100u + i, 0x01010101u), Pattern(3000, i));
    lss->GetSUT().AddUtilisation(1, 5);
    StringTextWriter w;
    lss->Dump(nullptr, w, false, false, false, false, false, true, false, false, false, true);
    const xstring x = w.TakeText();
    const std::string t(x.data(), x.size());
    lss->GetSUT().AddUtilisation(1, -5);
    const size_t err = t.find("ERROR : Sum of sizes of live segments = ");
    ASSERT_NE(err, std::string::npos);
    EXPECT_EQ(t.find("\nSegment 2  Utilisation"), std::string::npos);
    EXPECT_NE(t.find("\nNum check points          = ", err), std::string::npos);
    EXPECT_NE(t.find("\n32 bit CRC on all objects in the store = ", err), std::string::npos);
    lss->Close();
}

TEST(LssDumpThreaded, DumpWhileAnotherThreadWrites)
{
    auto d = std::make_shared<SharedBytes>();
    LssSettings settings = SmallSettings(4096);
    settings.m_numSegmentsPerCheckPoint = 3; // check points and freed segments come often
    LSS* lss = OpenShared(d, settings);
    std::map<Seid, std::vector<uint8_t>> last; // the writer's, until it is joined
    std::jthread writer([&](std::stop_token stop) {
        for (uint32_t i = 0; !stop.stop_requested(); ++i) {
            const Seid s(0x01010101u + i % 5, 0x01010101u);
            const std::vector<uint8_t> bytes = Pattern(i % 3 == 0 ? 6000 : 200, i);
            ILssTransaction* t = lss->OpenTransaction();
            try {
                ICloseableOutputStream* out = t->WriteSerialElement(s.m_low, s.m_high);
                out->WriteStream(bytes.data(), ssize_t(bytes.size()));
                out->Close();
                last[s] = bytes;
            } catch (const ProgrammingErrorException&) {
                // The dump was reading this element: its writer is refused, as with any reader.
            }
            if (i % 7 == 0) t->FlushWhenClose();
            t->Close();
        }
    });
    for (int i = 0; i < 6 && !HasFatalFailure(); ++i) {
        const std::string t = DumpText(lss, nullptr);
        EXPECT_EQ(t.substr(t.size() - 109), std::string(109, '-'));
        LssStats s;
        lss->GetStats(&s);
        EXPECT_LE(s.m_numSerialElements, 5);
        lss->CrcOfAllObjects();
    }
    writer.request_stop();
    writer.join();
    EXPECT_FALSE(lss->HasBackgroundFailure());
    lss->Close();

    // Quiet again (no cleaner): the figures agree with the table and what was written.
    lss = OpenShared(d, DumpSettings());
    const LssStats quiet = Stats(lss);
    EXPECT_EQ(quiet.m_numSerialElements, int32_t(last.size()));
    EXPECT_EQ(quiet.m_totalUtilisation, lss->GetSUT().GetTotalUtilisation());
    EXPECT_EQ(DumpText(lss, nullptr).find("ERROR"), std::string::npos);
    EXPECT_EQ(lss->CrcOfAllObjects(), Crc(last));
    lss->Close();
}

TEST(LssDump, ElementSeidsComeInBatchesInTheMapsOrder)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, DumpSettings());
    std::vector<Seid> written = {Seid(0x01010102u, 0x02010101u), Seid(0x01010101u, 0x01010101u),
                                 Seid(0xFF010101u, 0x01010101u), Seid(0x01010201u, 0x01010101u),
                                 Seid(0x01010101u, 0x7F7F7F7Fu)};
    for (const Seid& s : written) WriteElement(lss, s, Pattern(5000, s.m_low)); // with overflow packets
    std::sort(written.begin(), written.end());
    std::vector<Seid> got;
    xvector<Seid> batch;
    Seid after;
    while (true) {
        batch.clear();
        if (!lss->GetRPM().GetElementSeids(after, 2, batch)) break;
        ASSERT_LE(batch.size(), 2);
        ASSERT_GT(batch.size(), 0);
        for (const Seid& s : batch) got.push_back(s);
        after = batch.back();
    }
    EXPECT_EQ(got, written);
    lss->Close();
}

TEST(LssDump, ARecordedFailureIsThrownAgain)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, DumpSettings());
    lss->RecordBackgroundFailure(std::make_exception_ptr(FileException(EIO, xstring("shared"))));
    LssStats s;
    EXPECT_THROW(lss->GetStats(&s), FileException);
    StringTextWriter w;
    EXPECT_THROW(lss->Dump(&s, w, true, true, true, true, true, true, true, true, true, true), FileException);
    EXPECT_FALSE(lss->CloseReporting(nullptr));
}
