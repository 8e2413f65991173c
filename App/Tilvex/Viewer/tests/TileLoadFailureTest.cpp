// A tile whose flush unit is damaged in the store file: its background load fails, the
// viewer draws its parent's pixels in its place, never asks for it again, and tells the
// user once, without waiting for another paint, however many paints follow.
#include "ViewerTestSupport.h"
#include "vnLss/LSS.h"
#include "vnLss/LogLayout.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Trace.h"
#include <fstream>
#include <iterator>
#include <sstream>

namespace vorn::test {
namespace {

constexpr const char* kNotice = "Tiles that cannot be loaded are shown as missing : ";
// The view (25, 25, 475, 475) of a 700 x 500 client: children are 225 wide.
constexpr int kQ[4][2] = {{137, 137}, {362, 137}, {137, 362}, {362, 362}};

// Builds the two-level pyramid in path and damages the unit of child 3 (bottom right):
// its element is written once more, alone in a unit flushed before the closing check
// point writes the map, and one byte of that copy is flipped in the file. Returns the
// child's OID.
OID BuildWithDamagedChild(const std::string& path)
{
    {
        StoreSession s(path, OM_CREATE_ALWAYS);
        BuildTwoLevelPyramid(s.Root());
    }
    StoreSession s(path, OM_OPEN_ALWAYS);
    Tilvex* t = s.Root();
    OID oid;
    {
        ModelTransaction txn;
        oid = t->GetRootNode()->GetChild(1, 1)->m_pos.m_oid;
    }
    auto* lss = dynamic_cast<LSS*>(s.m_store->GetLss());
    const Seid seid = oid.AsSeid();
    IContiguousSerialElement* e = lss ? lss->GetContiguousSerialElement(seid) : nullptr;
    if (e == nullptr) {
        ADD_FAILURE() << "the child's element cannot be read";
        return oid;
    }
    std::vector<uint8_t> bytes;
    {
        int64_t n = 0;
        const uint8_t* p = e->GetBuffer(n);
        bytes.assign(p, p + n);
        e->Release();
    }
    const auto write = [&](Seid to, const std::vector<uint8_t>& what) {
        ILssTransaction* txn = lss->OpenTransaction();
        txn->FlushWhenClose();
        ICloseableOutputStream* out = txn->WriteSerialElement(to.m_low, to.m_high);
        out->WriteStream(what.data(), ssize_t(what.size()));
        out->Close();
        txn->Close();
    };
    write(seid, bytes);
    const RpmPosition at = lss->GetRPM().Lookup(seid, false);
    // A segment's worth of other bytes after it: the closing check point lies in a later
    // segment (whose units an open checks), so the store still opens.
    write(lss->AllocateSeid(lss->AllocateSeidHigh()), std::vector<uint8_t>(size_t(lss->m_segmentSize), 0x5A));
    EXPECT_FALSE(at.IsEmpty());
    // The first byte of the element's bytes, which the unit's CRC covers.
    const uint64_t flip =
        SegmentOffset(at.m_segmentId, lss->m_segmentSize) + uint64_t(at.m_offset) + uint64_t(kPacketHeaderBytes);
    s.Close();
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekg(std::streamoff(flip));
    const char old = char(f.get());
    f.seekp(std::streamoff(flip));
    f.put(char(old ^ 0x10));
    EXPECT_TRUE(f.good());
    return oid;
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string TraceSoFar(const std::filesystem::path& file)
{
    GetLogSink()->Flush();
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ShowADamagedTile()
{
    StartTestWindowSystem();
    const auto dir = FreshFolder();
    const std::string path = (dir / "damaged.tvx").string();
    const OID damaged = BuildWithDamagedChild(path);
    ASSERT_FALSE(::testing::Test::HasFailure());
    const auto traceFile = dir / "trace.txt";
    ASSERT_TRUE(GetLogSink()->Open(xstring(traceFile.string().c_str())));
    HoldingExecuter held;
    ScopedDecodeExecuter use(&held);
    ::testing::internal::CaptureStderr(); // error boxes write their text there too
    std::string boxes;
    {
        StoreSession s(path, OM_OPEN_ALWAYS);
        ResidentObjectTable& tiles = s.m_space->GetResidentObjects();
        ReadbackWnd* w = OpenReadbackWindow(s.Root(), 512);
        // Paints, loads and decodes until a round finds nothing to do. A load asks for
        // its repaint before its node goes (WaitForLoads), a decode before Release
        // returns. The bound only turns endless repainting into a failure.
        const auto settle = [&] {
            for (int round = 0; round < 200; ++round) {
                const int paints = w->m_paints;
                PumpMessages(20);
                if (w->m_paints == paints && paints > 0 && tiles.GetNumLoads() == 0 && held.GetNumPendingTasks() == 0)
                    return true;
                tiles.WaitForLoads();
                held.Release();
            }
            return false;
        };
        const auto failedLoads = [&] {
            ModelTransaction txn;
            EXPECT_EQ(tiles.FindLoad(damaged), nullptr);
            return tiles.GetNumFailedLoads();
        };

        // Only child 3's quarter, (0, 0)-(700, 700), lies in the client: its load is the
        // only one, and nothing but its failure can bring the paint that tells the user.
        w->SetViewRect(Rect2i(-700, -700, 700, 700));
        ASSERT_TRUE(settle());
        EXPECT_EQ(failedLoads(), 1);
        EXPECT_TRUE(Near(w->At(350, 250), kRootColour)) << std::hex << w->At(350, 250);
        boxes = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(Occurrences(boxes, kNotice), 1u) << boxes;
        EXPECT_EQ(Occurrences(TraceSoFar(traceFile), kNotice), 1u);
        ::testing::internal::CaptureStderr();

        // The whole image, then repaints: the others load and decode; child 3 stays
        // missing, is not asked for again, and nothing more is said.
        w->SetViewRect(Rect2i(25, 25, 475, 475));
        ASSERT_TRUE(settle());
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(Near(w->At(kQ[i][0], kQ[i][1]), kChildColours[i])) << i << " " << std::hex << w->At(kQ[i][0], kQ[i][1]);
        EXPECT_TRUE(Near(w->At(kQ[3][0], kQ[3][1]), kRootColour)) << std::hex << w->At(kQ[3][0], kQ[3][1]);
        const int paints = w->m_paints;
        for (int i = 0; i < 3; ++i) {
            w->InvalidateDisplay();
            ASSERT_TRUE(settle());
        }
        EXPECT_GE(w->m_paints, paints + 3);
        EXPECT_EQ(failedLoads(), 1);
        CloseWindow(w);
    }
    boxes = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Occurrences(boxes, kNotice), 0u) << boxes;
    const std::string trace = TraceSoFar(traceFile);
    CloseLogSink();
    EXPECT_EQ(Occurrences(trace, kNotice), 1u);
    EXPECT_EQ(Occurrences(trace, "AsyncObjectLoader : loading "), 1u) << trace; // asked for once
    const size_t told = trace.find(kNotice);
    ASSERT_NE(told, std::string::npos);
    EXPECT_NE(trace.find("corrupt", told), std::string::npos) << trace; // the first failure says why
    std::filesystem::remove_all(dir);
}

TEST(TileLoadFailure, ADamagedTileIsDrawnAsMissingNeverAskedForAgainAndToldOnce)
{
    try {
        ShowADamagedTile();
    } catch (const IException& e) { // the store's own failures say what went wrong
        FAIL() << e.Describe().c_str();
    }
}

} // namespace
} // namespace vorn::test
