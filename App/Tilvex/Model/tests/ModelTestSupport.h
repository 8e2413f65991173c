// Shared set-up of the image-model tests: the model's registration into a module record
// of the tests' own (once), a store file in a fresh temporary folder with its space "P"
// made the thread's, helpers for archives and for tiles of one colour.
#pragma once
#include "Tilvex/Model/ModelTransaction.h"
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Model/TilvexModule.h"
#include "vnImage/Jpeg.h"
#include "vnObject/CSpace.h"
#include "vnObject/DepGraph.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnUtils/Archive.h"
#include "vnUtils/PagedBuffer.h"
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace vorn::test {

inline XTarget& TestModule()
{
    static XTarget* module = [] {
        static const int32_t rows[] = {-1};
        static const dsTargetConfig config[] = {{"Release 0.0", 0x180807D8u, rows}};
        static const dsTarget target{"Vorn/App/Tilvex/Tests", 0, nullptr, 1, config};
        XTarget* m = XTarget::Create(target);
        InitTilvexModule(*m);
        return m;
    }();
    return *module;
}

inline std::vector<uint8_t> Serialised(const std::function<void(Archive&)>& write)
{
    PagedBuffer buffer;
    PagedBufferToOutputStreamAdapter out(&buffer);
    {
        Archive ar(&out);
        write(ar);
    }
    xvector<uint8_t> bytes;
    buffer.CopyTo(bytes);
    return std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.size());
}

inline InputArchive InputOf(const std::vector<uint8_t>& v) { return InputArchive(v.data(), v.size()); }

// JPEG bytes of a bitmap of one colour (24 bits, blue-green-red).
inline xvector<uint8_t> JpegOfColour(int32_t width, int32_t height, uint8_t b, uint8_t g, uint8_t r)
{
    ResDIB dib;
    dib.Create(24, width, height);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = dib.GetImageRow(y);
        for (int32_t x = 0; x < width; ++x) {
            row[3 * x] = b;
            row[3 * x + 1] = g;
            row[3 * x + 2] = r;
        }
    }
    JpegImage jpeg;
    EncodeJpegImage(dib, jpeg);
    return jpeg.m_bytes;
}

// The colour at the tile's centre as 0xRRGGBB.
inline uint32_t CentreColour(const ResDIB& dib)
{
    const uint8_t* p = dib.GetImageRow(128) + 3 * 128;
    return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

inline bool Near(uint32_t a, uint32_t b)
{
    for (int shift = 0; shift < 24; shift += 8) {
        const int d = int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF);
        if (d < -6 || d > 6) return false;
    }
    return true;
}

// A computation that reads the decoded tiles of its nodes, each read a dependency.
class TileReader final : public DGDepNode {
public:
    void VisitObjects(IObjectVisitor&) override {}
    bool Recompute() override
    {
        for (TilvexNode* n : m_tiles) n->RecordDibRead();
        return true;
    }
    std::vector<TilvexNode*> m_tiles;
};

// A stale node (JPEG bytes, not decoded) of one colour, registered with the thread's
// space.
inline TilvexNode* StaleNodeOfColour(uint32_t rgb)
{
    TilvexNode* n = NewTilvexNode();
    xvector<uint8_t> bytes = JpegOfColour(kTileSize, kTileSize, uint8_t(rgb), uint8_t(rgb >> 8), uint8_t(rgb >> 16));
    n->TakeJpegBytes(bytes);
    return n;
}

inline std::filesystem::path FreshFolder()
{
    std::random_device rd;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tilvex-model-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(dir);
    return dir;
}

// A store file with space "P" as the thread's spaces while open.
class StoreSession {
public:
    explicit StoreSession(const std::string& path, EOpenMode mode) : StoreSession(path, mode, TestSettings()) {}
    StoreSession(const std::string& path, EOpenMode mode, const PersistStoreSettings& s)
    {
        TestModule();
        m_store = OpenPersistStore(path.c_str(), mode, &s);
        m_store->SetDosPeriod(5); // the writer runs while the tests change objects
        m_space = OpenPSpace(m_store, "P", nullptr);
        m_savedP = GetThreadPSpace();
        m_savedC = GetThreadCSpace();
        SetThreadPSpace(m_space);
        SetThreadCSpace(m_space->GetCSpace());
    }
    ~StoreSession() { Close(); }
    void Close()
    {
        if (!m_store) return;
        SetThreadPSpace(m_savedP);
        SetThreadCSpace(m_savedC);
        m_store->ClosePSpace(m_space);
        m_store->Close();
        m_store = nullptr;
    }
    // Root "R", created as a new Tilvex when missing.
    Tilvex* Root()
    {
        ModelTransaction txn;
        Tilvex* t = Tilvex::FromPersistable(GetPSpaceRoot("R"));
        if (t == nullptr) {
            t = NewTilvex();
            AddPSpaceRoot("R", t->AsObject());
        }
        if (!m_rooted) AddGcRoot(t->AsObject()); // kept in memory while the test uses it
        m_rooted = true;
        return t;
    }
    PersistStore* m_store = nullptr;
    PSpace* m_space = nullptr;
private:
    static PersistStoreSettings TestSettings()
    {
        PersistStoreSettings s;
        s.lssSettings.m_segmentSize = 0x10000;
        s.lssSettings.m_flushTimeMilliSec = 50;
        return s;
    }
    bool m_rooted = false;
    PSpace* m_savedP = nullptr;
    CSpace* m_savedC = nullptr;
};

// A test with a store file of its own, in a fresh folder, whose space "P" is the
// thread's while the test runs.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = FreshFolder();
        m_session = std::make_unique<StoreSession>((m_dir / "test.tvx").string(), OM_CREATE_ALWAYS);
    }
    void TearDown() override
    {
        m_session.reset();
        std::filesystem::remove_all(m_dir);
    }
    std::filesystem::path m_dir;
    std::unique_ptr<StoreSession> m_session;
};

} // namespace vorn::test
