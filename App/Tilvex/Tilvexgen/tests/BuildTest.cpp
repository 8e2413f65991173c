// The whole build, run through the program's main routine on generated photos: the
// store's tiles against an independent reference pyramid, byte for byte; the store
// read back through the object store; damaged and unusual photos; failures that end
// the build with status 1 and leave an earlier store as it was.
#include "BuildTestSupport.h"
#include "Tilvex/Tilvexgen/BuildMontage.h"
#include "Tilvex/Model/PyramidComputation.h"
#include "Tilvex/Tilvexgen/MontagePyramid.h"
#include "vnLss/LssInterfaces.h"
#include "vnLss/LssInternal.h"
#include "vnLss/Ras.h"
#include "vnPlatform/Dir.h"
#include "vnPlatform/LockedFile.h"
#include "vnPlatform/PartialFile.h"
#include "vnPlatform/Process.h"
#include "vnUtils/Memory.h"
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cerrno>
#include <fstream>
#include <memory>
#include <iterator>
#include <thread>

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Photo(int w, int h, int seed) { return LibraryJpeg(w, h, 3, JCS_RGB, PhotoSamples(w, h, seed), 90); }

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A photo folder "pics" and the program's folder "bin" in a fresh directory.
struct BuildDirs {
    TempDir dir;
    std::string pics = dir.Path() + "/pics";
    std::string program = dir.Path() + "/bin/Tilvexgen";
    std::string store = dir.Path() + "/bin/pics.tvx";
    BuildDirs()
    {
        fs::create_directories(pics);
        fs::create_directories(dir.Path() + "/bin");
    }
    void Add(const std::string& name, const std::vector<uint8_t>& bytes) { WriteFile(pics + "/" + name, bytes); }
};

// Puts the build's test hooks back to none.
struct HooksRestored {
    ~HooksRestored()
    {
        SetBuildStoreOpener(nullptr);
        SetBuildSessionHook(nullptr);
        SetLevelBatchFinishHook(nullptr);
        SetBuildStepHook(nullptr);
    }
};

struct ReferenceCase {
    const char* name;
    int height;
    std::vector<PlacedPhoto> photos;
};

PlacedPhoto At(int x, int y, int w, int h, int seed) { return PlacedPhoto{x, y, w, h, Photo(w, h, seed)}; }

// A photo of noise at the highest quality: its file is larger than any buffer a photo
// is read through (over 1.5 MiB).
PlacedPhoto NoisyAt(int x, int y, int w, int h, uint32_t seed)
{
    std::vector<uint8_t> samples(size_t(w) * h * 3);
    for (uint8_t& v : samples) {
        seed = seed * 1664525u + 1013904223u;
        v = uint8_t(seed >> 24);
    }
    return PlacedPhoto{x, y, w, h, LibraryJpeg(w, h, 3, JCS_RGB, samples, 100)};
}

TEST(TilvexgenBuild, StoreTilesEqualAnIndependentReferencePyramid)
{
    const std::vector<ReferenceCase> cases = {
        {"1 x 1", 1, {At(0, 0, 1, 1, 1)}},
        {"256 x 256", 1, {At(0, 0, 256, 256, 2)}},
        {"257 x 256", 2, {At(0, 0, 257, 256, 3)}},
        {"300 x 200", 2, {At(0, 0, 300, 200, 4)}},
        // The root's right half has no children: it stays black.
        {"left half only", 3, {At(0, 0, 300, 600, 5)}},
        // Two photos share the tile from x 256 to 512.
        {"two photos in one tile", 3, {At(0, 0, 300, 200, 6), At(300, 0, 300, 150, 7)}},
        // Read whole, however large the file.
        {"photos larger than a read buffer", 3, {NoisyAt(0, 0, 1000, 1000, 8)}},
    };
    ASSERT_GT(cases.back().photos[0].jpeg.size(), size_t(3) << 19);
    for (const ReferenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        BuildDirs d;
        for (size_t i = 0; i < c.photos.size(); ++i) d.Add("p" + std::to_string(i) + ".jpg", c.photos[i].jpeg);
        const RunResult r = RunBuilder(d.program, d.pics);
        ASSERT_EQ(r.rc, 0) << r.out;
        EXPECT_NE(r.out.find("Depth = " + std::to_string(c.height) + "\n"), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(d.store + ".part"));

        const StoredPyramid stored = ReadStore(d.store);
        EXPECT_EQ(stored.numSpaces, 1);
        ASSERT_TRUE(stored.hasRoot);
        EXPECT_EQ(stored.height, c.height);
        const TileMap want = ReferencePyramid(c.photos, c.height);
        ASSERT_EQ(stored.tiles.size(), want.size());
        for (const auto& [key, bytes] : want) {
            auto it = stored.tiles.find(key);
            ASSERT_NE(it, stored.tiles.end()) << "missing node at level " << std::get<0>(key);
            EXPECT_TRUE(it->second == bytes) << "tile differs at level " << std::get<0>(key) << " ("
                                             << std::get<1>(key) << "," << std::get<2>(key) << ")";
        }
    }
}

TEST(TilvexgenBuild, SamePhotosGiveTheSameTileBytesOnEveryRun)
{
    BuildDirs d;
    // Six photos in two rows: several bottom tiles are shared between photos.
    for (int i = 0; i < 6; ++i) d.Add("p" + std::to_string(i) + ".jpg", Photo(170 + 10 * i, 130 + 7 * i, i));
    ASSERT_EQ(RunBuilder(d.program, d.pics).rc, 0);
    const StoredPyramid first = ReadStore(d.store);
    ASSERT_EQ(RunBuilder(d.program, d.pics).rc, 0); // replaces the store
    const StoredPyramid second = ReadStore(d.store);
    EXPECT_FALSE(first.tiles.empty());
    EXPECT_TRUE(first.tiles == second.tiles);
    for (const auto& [key, bytes] : first.tiles) EXPECT_FALSE(bytes.empty()) << "every node carries an image";
}

TEST(TilvexgenBuild, DirectoryWithoutJpegsGivesAnEmptyRoot)
{
    BuildDirs d;
    WriteFile(d.pics + "/notes.txt", std::vector<uint8_t>{'h', 'i'});
    const RunResult r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 0);
    for (const char* line : {"Width = 1  Height = 1  Area = 1  pixels\n", "Depth = 1\n", "Processing 0 images\n",
                             "Calculated 0 tiles\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    const StoredPyramid stored = ReadStore(d.store);
    EXPECT_TRUE(stored.hasRoot);
    EXPECT_EQ(stored.height, 1);
    EXPECT_TRUE(stored.tiles.empty());
}

TEST(TilvexgenBuild, UnusablePhotosAreReportedAndTheBuildGoesOn)
{
    BuildDirs d;
    d.Add("good.jpg", Photo(200, 100, 1));
    d.Add("grey.jpg", LibraryJpeg(120, 90, 1, JCS_GRAYSCALE, std::vector<uint8_t>(120 * 90, 77), 75));
    d.Add("cmyk.jpg", LibraryJpeg(64, 64, 4, JCS_CMYK, std::vector<uint8_t>(64 * 64 * 4, 50), 75));
    d.Add("text.jpg", std::vector<uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'});
    std::vector<uint8_t> cut = Photo(100, 80, 2);
    cut.resize(cut.size() / 2);
    d.Add("cut.jpg", cut);
    const RunResult r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find("Image mismatch : file = " + d.pics + "/grey.jpg bpp = 8\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Image " + d.pics + "/cmyk.jpg is not JCS_GRAYSCALE or JCS_RGB\n"), std::string::npos);
    EXPECT_NE(r.out.find("Error reading header of image " + d.pics + "/text.jpg\n"), std::string::npos);
    EXPECT_NE(r.out.find("Processing 3 images\n"), std::string::npos) << r.out;
    const StoredPyramid stored = ReadStore(d.store);
    EXPECT_FALSE(stored.tiles.empty());
}

// Memory running out while a photo is painted (here the block for its file's bytes)
// passes that photo over by name; the build goes on and ends with 0.
TEST(TilvexgenBuild, APhotoThatRunsOutOfMemoryIsNamedAndPassedOver)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(200, 100, 1));
    const std::vector<uint8_t> b = Photo(150, 120, 3);
    d.Add("b.jpg", b);
    static std::atomic<size_t> refused{0};
    refused = b.size();
    SetMemAllocFailureHook([](size_t n) { return n == refused.load(); });
    const RunResult r = RunBuilder(d.program, d.pics);
    SetMemAllocFailureHook(nullptr);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find("Image " + d.pics + "/b.jpg cannot be decoded : Insufficient memory to paint the image\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Error : "), std::string::npos) << r.out;
    EXPECT_EQ(ReadStore(d.store).height, 2);
}

TEST(TilvexgenBuild, FailedBuildsEndWithStatusOneAndKeepThePreviousStore)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(64, 64, 1));
    WriteFile(d.store, std::vector<uint8_t>{'o', 'l', 'd'});

    // The store cannot be created: its temporary name is taken by a directory.
    fs::create_directories(d.store + ".part");
    RunResult r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("Error : "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 14), "\nHit a key...\n");
    EXPECT_EQ(ReadAll(d.store), "old");
    fs::remove_all(d.store + ".part");

    // The directory does not exist.
    r = RunBuilder(d.program, d.dir.Path() + "/pics/missing");
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("Error : File error (" + d.dir.Path() + "/pics/missing) : No such file or directory\n"),
              std::string::npos)
        << r.out;

    // A file given as the directory.
    r = RunBuilder(d.program, d.pics + "/a.jpg");
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("Not a directory\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadAll(d.store), "old");

    // A good build replaces it.
    EXPECT_EQ(RunBuilder(d.program, d.pics).rc, 0);
    EXPECT_NE(ReadAll(d.store), "old");
    EXPECT_EQ(ReadStore(d.store).height, 1);
}

// The store file's storage, whose writes fail with "no space" once it has been opened:
// in a small build nothing is written before the space and the store are closed.
class StorageFullAfterOpen : public IRAS {
public:
    StorageFullAfterOpen(IRAS* file, const char* path) : m_file(file), m_path(path) {}
    int32_t GetSectorSize() override { return m_file->GetSectorSize(); }
    void* AllocBuffer(uint32_t size) override { return m_file->AllocBuffer(size); }
    void FreeBuffer(void* buffer) override { m_file->FreeBuffer(buffer); }
    void Close() override { m_file->Close(); }
    void Read(void* buffer, uint64_t offset, uint32_t length) override { m_file->Read(buffer, offset, length); }
    void Write(const void* buffer, uint64_t offset, uint32_t length) override
    {
        if (s_full) throw FileException(ENOSPC, m_path);
        m_file->Write(buffer, offset, length);
    }
    uint64_t GetSize() override { return m_file->GetSize(); }
    void SetSize(uint64_t size) override { m_file->SetSize(size); }
    void Sync() override { m_file->Sync(); }

    static inline std::string s_path;

    static PersistStore* Open(IRAS* file, const PersistStoreSettings& settings)
    {
        s_full = false;
        bool created = false;
        auto* storage = new StorageFullAfterOpen(file, s_path.c_str());
        ILogStructuredStore* lss = OpenLSSOnStorage(storage, settings.deltasDirPath, &created, false, settings.lssSettings);
        PersistStore* store = OpenPersistStoreOnLss(lss, created, &settings);
        s_full = true;
        return store;
    }

    static inline std::atomic<bool> s_full{false};

private:
    std::unique_ptr<IRAS> m_file;
    xstring m_path;
};

TEST(TilvexgenBuild, AFailureWritingTheLastObjectsIsReportedAndKeepsThePreviousStore)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(300, 200, 1));
    StorageFullAfterOpen::s_path = d.store + ".part";
    SetBuildStoreOpener(&StorageFullAfterOpen::Open);
    HooksRestored restore;
    const std::string error = "Error : File error (" + d.store + ".part) : No space left on device\n";

    // No store before: none after.
    RunResult r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 1);
    const size_t calculated = r.out.find("Calculated 1 tiles\n");
    ASSERT_NE(calculated, std::string::npos) << r.out; // the pyramid was complete
    EXPECT_NE(r.out.find(error, calculated), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(d.store));
    EXPECT_FALSE(fs::exists(d.store + ".part"));

    // An earlier store stays as it was.
    WriteFile(d.store, std::vector<uint8_t>{'o', 'l', 'd'});
    r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find(error), std::string::npos) << r.out;
    EXPECT_EQ(ReadAll(d.store), "old");
    EXPECT_FALSE(fs::exists(d.store + ".part"));

    // With room on the device the same build succeeds.
    SetBuildStoreOpener(nullptr);
    EXPECT_EQ(RunBuilder(d.program, d.pics).rc, 0);
    EXPECT_EQ(ReadStore(d.store).tiles.size(), 3u);
}

void BusyWriter(PersistStore* store, CSpace*) { store->SetDosPeriod(1); }

// A writer that writes every millisecond and a collector that runs every millisecond
// and evicts whatever it may; between the batches of every level the walking thread
// collects once more itself.
void CollectAllTheTime(PersistStore* store, CSpace* space)
{
    store->SetDosPeriod(1);
    space->SetMilliSecsPerGc(1);
    space->SetEvictionThreshold(1);
}
void CollectNow() { GetThreadCSpace()->SynchronousGc(); }

// The photos of a directory where the builder places them.
std::vector<PlacedPhoto> PlacedPhotosOf(const std::string& pics, int* height)
{
    xvector<ImageFileRecord> records;
    ScanDirectoryForJpegs(xstring(pics.c_str()), records);
    Montage m;
    LayOutImages(records, m);
    ComputeMontageBoundingBox(m);
    EXPECT_EQ(m.x1, 0);
    EXPECT_EQ(m.y1, 0);
    std::vector<PlacedPhoto> placed;
    for (const MontageEntry& e : m.entries) {
        const std::string bytes = ReadAll(Str(e.path));
        placed.push_back(PlacedPhoto{e.x1, e.y1, e.x2 - e.x1, e.y2 - e.y1, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    }
    *height = ComputeTilvexDepth(m);
    return placed;
}

// The store's tiles against the reference pyramid of the directory's photos.
void ExpectReferencePyramid(const BuildDirs& d, int minHeight)
{
    int height = 0;
    const std::vector<PlacedPhoto> placed = PlacedPhotosOf(d.pics, &height);
    ASSERT_GE(height, minHeight);
    const StoredPyramid stored = ReadStore(d.store);
    EXPECT_EQ(stored.height, height);
    const TileMap want = ReferencePyramid(placed, height);
    ASSERT_EQ(stored.tiles.size(), want.size());
    int differing = 0;
    for (const auto& [key, bytes] : want) {
        auto it = stored.tiles.find(key);
        ASSERT_NE(it, stored.tiles.end()) << "missing node at level " << std::get<0>(key);
        differing += it->second != bytes;
    }
    EXPECT_EQ(differing, 0);
}

// With a writer that writes every millisecond the painted tiles and the computed
// parents get their OIDs while the pyramid grows, so their parents let them go and the
// level above binds them again by OID: the tiles stay byte for byte the reference's.
TEST(TilvexgenBuild, TilesLetGoOnceWrittenKeepTheirBytes)
{
    BuildDirs d;
    for (int i = 0; i < 9; ++i) d.Add("p" + std::to_string(i) + ".jpg", Photo(260 + 37 * i, 180 + 23 * (i % 4), i));
    HooksRestored restore;
    SetBuildSessionHook(&BusyWriter);
    const RunResult r = RunBuilder(d.program, d.pics);
    ASSERT_EQ(r.rc, 0) << r.out;
    ExpectReferencePyramid(d, 3);
}

// The collector through every phase: whatever a batch of the levels writes into stays
// in memory until the batch is finished, so nothing is written after it was freed and
// the tiles stay byte for byte the reference's.
TEST(TilvexgenBuild, CollectingAllTheTimeKeepsTheTilesTheReferences)
{
    BuildDirs d;
    // Strips wider than 2048 pixels give five levels, so the nodes whose references the
    // batches of the third level write are below the root (and held by nothing else
    // once the walk has passed them).
    d.Add("wide0.jpg", Photo(2300, 40, 20));
    d.Add("wide1.jpg", Photo(2100, 70, 21));
    for (int i = 0; i < 8; ++i) d.Add("p" + std::to_string(i) + ".jpg", Photo(300 + 29 * i, 200 + 31 * (i % 5), i));
    HooksRestored restore;
    SetBuildSessionHook(&CollectAllTheTime);
    SetLevelBatchFinishHook(&CollectNow);
    for (int run = 0; run < 2; ++run) {
        const RunResult r = RunBuilder(d.program, d.pics);
        ASSERT_EQ(r.rc, 0) << r.out;
        ExpectReferencePyramid(d, 5);
    }
}

// The partial file's storage, telling when the store has closed it, and whether the
// file was still locked against other openers then.
class WatchedStorage : public IRAS {
public:
    explicit WatchedStorage(IRAS* file) : m_file(file) {}
    ~WatchedStorage() override { s_destroyed = true; }
    int32_t GetSectorSize() override { return m_file->GetSectorSize(); }
    void* AllocBuffer(uint32_t size) override { return m_file->AllocBuffer(size); }
    void FreeBuffer(void* buffer) override { m_file->FreeBuffer(buffer); }
    void Close() override
    {
        m_file->Close();
        // Another build starting now would clear the file unless it is still held.
        s_clearedAfterClose = ClearPartialFile(s_path.c_str());
    }
    void Read(void* buffer, uint64_t offset, uint32_t length) override { m_file->Read(buffer, offset, length); }
    void Write(const void* buffer, uint64_t offset, uint32_t length) override { m_file->Write(buffer, offset, length); }
    uint64_t GetSize() override { return m_file->GetSize(); }
    void SetSize(uint64_t size) override { m_file->SetSize(size); }
    void Sync() override { m_file->Sync(); }

    static PersistStore* Open(IRAS* file, const PersistStoreSettings& settings)
    {
        bool created = false;
        ILogStructuredStore* lss = OpenLSSOnStorage(new WatchedStorage(file), settings.deltasDirPath, &created,
                                                    false, settings.lssSettings);
        PersistStore* store = OpenPersistStoreOnLss(lss, created, &settings);
        if (s_failSpaces) {
            // Space "P" exists then, and reading it fails: the store records a failure as
            // its background work would.
            store->ClosePSpace(OpenPSpace(store, "P", nullptr));
            dynamic_cast<LssInternal&>(*lss).RecordBackgroundFailure(
                std::make_exception_ptr(FileException(uint32_t(EIO), xstring("disk"))));
        }
        return store;
    }

    static inline std::string s_path;
    static inline bool s_failSpaces = false;
    static inline bool s_destroyed = false;
    static inline int s_clearedAfterClose = -1;

private:
    std::unique_ptr<IRAS> m_file;
};

// A space that cannot be opened on the new store: the store is closed, and its file
// removed, before the build reports the failure.
TEST(TilvexgenBuild, AStoreWhoseSpaceCannotBeOpenedIsClosed)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(64, 64, 1));
    WriteFile(d.store, std::vector<uint8_t>{'o', 'l', 'd'});
    HooksRestored restore;
    WatchedStorage::s_path = d.store + ".part";
    WatchedStorage::s_failSpaces = true;
    WatchedStorage::s_destroyed = false;
    SetBuildStoreOpener(&WatchedStorage::Open);
    const RunResult r = RunBuilder(d.program, d.pics);
    WatchedStorage::s_failSpaces = false;
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("Error : File error (disk) : Input/output error\n"), std::string::npos) << r.out;
    EXPECT_TRUE(WatchedStorage::s_destroyed);
    EXPECT_FALSE(fs::exists(d.store + ".part"));
    EXPECT_EQ(ReadAll(d.store), "old");
}

// The build's space is the thread's current one only while the build runs: the thread's
// spaces are given back after a build that succeeds and after one that fails.
TEST(TilvexgenBuild, TheThreadsSpacesAreGivenBackOnEveryWayOut)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(64, 64, 1));
    HooksRestored restore;
    static CSpace* s_during = nullptr;
    SetBuildSessionHook([](PersistStore*, CSpace* space) { s_during = space; });
    ASSERT_EQ(GetThreadPSpace(), nullptr);
    ASSERT_EQ(GetThreadCSpace(), nullptr);
    RunResult r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(s_during, nullptr);
    EXPECT_EQ(GetThreadPSpace(), nullptr);
    EXPECT_EQ(GetThreadCSpace(), nullptr);

    // A failure while the space is current.
    SetBuildSessionHook([](PersistStore*, CSpace*) { throw FileException(uint32_t(EIO), xstring("hook")); });
    r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("Error : File error (hook) : Input/output error\n"), std::string::npos) << r.out;
    EXPECT_EQ(GetThreadPSpace(), nullptr);
    EXPECT_EQ(GetThreadCSpace(), nullptr);
}

// The finished file is still locked when the store has closed it, until it has its
// final name: a build starting then could not clear it.
TEST(TilvexgenBuild, TheFinishedFileStaysLockedUntilRenamed)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(300, 200, 1));
    HooksRestored restore;
    WatchedStorage::s_path = d.store + ".part";
    WatchedStorage::s_clearedAfterClose = -1;
    SetBuildStoreOpener(&WatchedStorage::Open);
    const RunResult r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(WatchedStorage::s_clearedAfterClose, EBUSY);
    EXPECT_EQ(ReadStore(d.store).tiles.size(), 3u);
}

// A partial file that another build holds is left to it; one that nobody holds, or a
// link, is replaced, never written through.
TEST(TilvexgenBuild, APartialFileIsCreatedNewAndOnlyItsOwnRemoved)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(300, 200, 1));
    const std::string part = d.store + ".part";
    {
        // Another build's partial file, held by it.
        WriteFile(part, std::vector<uint8_t>{'b', 'u', 's', 'y'});
        FileRAS held(part.c_str(), OM_OPEN_EXISTING, true, false);
        const RunResult r = RunBuilder(d.program, d.pics);
        EXPECT_EQ(r.rc, 1);
        EXPECT_NE(r.out.find("Error : File error (" + part + ") : Device or resource busy\n"), std::string::npos)
            << r.out;
        EXPECT_EQ(ReadAll(part), "busy");
        EXPECT_FALSE(fs::exists(d.store));
    }

    // Left by a build that ended: replaced.
    RunResult r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_FALSE(fs::exists(part));
    EXPECT_EQ(ReadStore(d.store).tiles.size(), 3u);

    // A link to a text file: the link is replaced, the text stays.
    const std::string text = d.dir.Path() + "/notes.txt";
    WriteFile(text, std::vector<uint8_t>{'n', 'o', 't', 'e'});
    fs::create_symlink(text, part);
    r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(ReadAll(text), "note");
    EXPECT_FALSE(fs::exists(fs::symlink_status(part)));
    EXPECT_EQ(ReadStore(d.store).tiles.size(), 3u);

    // A dangling link: not followed either.
    fs::create_symlink(d.dir.Path() + "/nowhere", part);
    r = RunBuilder(d.program, d.pics);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_FALSE(fs::exists(d.dir.Path() + "/nowhere"));
}

// A second build of the same name that clears the first one's new partial file between
// its creation and its lock, and creates and holds its own.
std::unique_ptr<FileRAS> g_secondBuildsFile;
void SecondBuildRaces(const char* path)
{
    SetBeforeLockHook(nullptr);
    EXPECT_EQ(ClearPartialFile(path), 0);
    WriteFile(path, std::vector<uint8_t>{'s', 'e', 'c', 'o', 'n', 'd'});
    g_secondBuildsFile = std::make_unique<FileRAS>(path, OM_OPEN_EXISTING, true, false);
}

// The first build finds, once it holds its file, that the name is no longer its file's:
// it fails as a build that finds a partial file held does, and leaves the second build's
// file and the previous store as they are.
TEST(TilvexgenBuild, APartialFileTakenOverBeforeItsLockIsLeftToTheOtherBuild)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(300, 200, 1));
    WriteFile(d.store, std::vector<uint8_t>{'o', 'l', 'd'});
    const std::string part = d.store + ".part";
    SetBeforeLockHook(&SecondBuildRaces);
    const RunResult r = RunBuilder(d.program, d.pics);
    SetBeforeLockHook(nullptr);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("Error : File error (" + part + ") : Device or resource busy\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(ReadAll(part), "second");
    EXPECT_EQ(ReadAll(d.store), "old");
    g_secondBuildsFile.reset();
}

void RemovePartialFile(PersistStore*, CSpace*) { fs::remove(WatchedStorage::s_path); }

void PutAnotherFileAtThePartialName(PersistStore*, CSpace*)
{
    const std::string other = WatchedStorage::s_path + ".other";
    WriteFile(other, std::vector<uint8_t>{'t', 'h', 'e', 'i', 'r', 's'});
    fs::rename(other, WatchedStorage::s_path);
}

// A rename that fails names the partial file and leaves the previous store: when the
// partial file is gone, and when another file has taken its name while the build ran
// (that file is neither renamed nor removed: nothing is removed by name).
TEST(TilvexgenBuild, AFailedRenameNamesThePartialFileAndLeavesWhatIsThere)
{
    struct Case {
        BuildSessionHook hook;
        const char* error;
        const char* left; // at the partial name; null for nothing
    };
    for (const Case& c : {Case{&RemovePartialFile, "No such file or directory", nullptr},
                          Case{&PutAnotherFileAtThePartialName, "Device or resource busy", "theirs"}}) {
        SCOPED_TRACE(c.error);
        BuildDirs d;
        d.Add("a.jpg", Photo(64, 64, 1));
        WriteFile(d.store, std::vector<uint8_t>{'o', 'l', 'd'});
        HooksRestored restore;
        WatchedStorage::s_path = d.store + ".part";
        SetBuildSessionHook(c.hook);
        const RunResult r = RunBuilder(d.program, d.pics);
        EXPECT_EQ(r.rc, 1);
        EXPECT_NE(r.out.find("Error : File error (" + d.store + ".part) : " + c.error + "\n"), std::string::npos)
            << r.out;
        if (c.left) EXPECT_EQ(ReadAll(d.store + ".part"), c.left);
        else EXPECT_FALSE(fs::exists(d.store + ".part"));
        EXPECT_EQ(ReadAll(d.store), "old");
    }
}

// A photo that has become a FIFO since the scan is refused without waiting for a
// writer, with its message, and the other photos are painted.
TEST(TilvexgenBuild, APhotoThatIsNoLongerARegularFileIsRefused)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(300, 200, 1));
    const std::string fifo = d.pics + "/b.jpg";
    ASSERT_TRUE(MakeFifo(fifo.c_str()));
    Montage m;
    m.entries.push_back(MontageEntry{xstring((d.pics + "/a.jpg").c_str()), 0, 0, 300, 200});
    m.entries.push_back(MontageEntry{xstring(fifo.c_str()), 300, 0, 400, 200});

    RegisterBuilderModule();
    PersistStoreSettings settings;
    PersistStore* store = OpenPersistStore(d.store.c_str(), OM_CREATE_ALWAYS, &settings);
    PSpace* space = OpenPSpace(store, "P", nullptr);
    {
        RestoreThreadPSpace sp(space);
        RestoreThreadCSpace sc(space->GetCSpace());
        Tilvex* tilvex =
            Tilvex::FromPersistable(IPersistablePtr::FromAny(BootstrapPSpaceRoot(Tilvex::GetClassRecord(), "R")));
        TraceCapture trace;
        CalcTilvexFromMontage(m, tilvex);
        EXPECT_NE(trace.Text().find("Error : " + fifo + " is not a regular file\n"), std::string::npos)
            << trace.Text();
    }
    store->ClosePSpace(space);
    store->Close();
    const StoredPyramid stored = ReadStore(d.store);
    EXPECT_EQ(stored.tiles.size(), 3u);
}

// The child's part of the interrupt test below (skipped unless started by it): a build
// of the folder TILVEXGEN_INTERRUPTED_BUILD that signals, through a marker file, that
// its partial file exists, and then waits for good.
void WaitForGood(PersistStore*, CSpace*)
{
    std::ofstream(std::string(std::getenv("TILVEXGEN_INTERRUPTED_BUILD")) + "/started") << "started";
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST(TilvexgenBuildChild, BuildThatWaitsToBeInterrupted)
{
    const char* dir = std::getenv("TILVEXGEN_INTERRUPTED_BUILD");
    if (!dir) GTEST_SKIP() << "run by TilvexgenBuild.AnInterruptedBuildRemovesItsPartialFile";
    SetBuildSessionHook(&WaitForGood);
    RunBuilder(std::string(dir) + "/bin/Tilvexgen", std::string(dir) + "/pics");
}

// SIGINT or SIGTERM during a build: the partial file is removed, the earlier store stays
// as it was, and the status is 1.
TEST(TilvexgenBuild, AnInterruptedBuildRemovesItsPartialFile)
{
    for (const bool terminate : {false, true}) {
        SCOPED_TRACE(terminate ? "SIGTERM" : "SIGINT");
        BuildDirs d;
        d.Add("a.jpg", Photo(64, 64, 1));
        WriteFile(d.store, std::vector<uint8_t>{'o', 'l', 'd'});
        const std::string env = "TILVEXGEN_INTERRUPTED_BUILD=" + d.dir.Path();
        const char* args[] = {"TilvexgenLib_tests", "--gtest_filter=TilvexgenBuildChild.*", nullptr};
        const char* extraEnv[] = {env.c_str(), nullptr};
        ChildProcess child;
        ASSERT_EQ(StartProcess(kSelfExecutable, args, extraEnv, (d.dir.Path() + "/out.txt").c_str(), &child), 0);
        // Until the child's partial file exists (a minute at most).
        for (int i = 0; i < 3000 && !fs::exists(d.dir.Path() + "/started"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(fs::exists(d.store + ".part"));
        ASSERT_EQ(InterruptProcess(child, terminate), 0);
        int status = 0;
        ASSERT_EQ(WaitProcess(child, &status), 0);
        EXPECT_EQ(status, 1) << ReadAll(d.dir.Path() + "/out.txt");
        EXPECT_FALSE(fs::exists(d.store + ".part"));
        EXPECT_EQ(ReadAll(d.store), "old");
    }
}

// The child's part of the test below (skipped unless started by it): a build of the
// folder TILVEXGEN_SIGNALLED_BUILD that raises SIGTERM at the step named by
// TILVEXGEN_SIGNAL_STEP.
const char* const kStepNames[] = {"created", "renaming", "rename-failed"};

void RaiseTermAtNamedStep(BuildStep step)
{
    if (std::string(std::getenv("TILVEXGEN_SIGNAL_STEP")) == kStepNames[int(step)]) std::raise(SIGTERM);
}

TEST(TilvexgenBuildChild, BuildSignalledAtAStep)
{
    const char* dir = std::getenv("TILVEXGEN_SIGNALLED_BUILD");
    if (!dir) GTEST_SKIP() << "run by TilvexgenBuild.ASignalAtTheEdgesOfThePartialFilesLifeRemovesIt";
    SetBuildStepHook(&RaiseTermAtNamedStep);
    RunBuilder(std::string(dir) + "/bin/Tilvexgen", std::string(dir) + "/pics");
}

// SIGTERM at the edges of the partial file's life: just after it is created (before a
// signal would remove it by itself) and just after the final rename failed (a folder
// has the store's name), the partial file is removed and the status is 1, not the
// signal's default action. A SIGTERM that comes just before the rename waits for it:
// a rename that then succeeds keeps the finished store and the signal ends the process
// as it would have; one that fails removes the partial file at once, status 1.
TEST(TilvexgenBuild, ASignalAtTheEdgesOfThePartialFilesLifeRemovesIt)
{
    struct Row {
        const char* step;
        bool renameFails;
        int status;
    };
    const Row rows[] = {{"created", false, 1},
                        {"renaming", false, -SIGTERM},
                        {"renaming", true, 1},
                        {"rename-failed", true, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.step) + (row.renameFails ? ", the rename fails" : ""));
        BuildDirs d;
        d.Add("a.jpg", Photo(64, 64, 1));
        if (row.renameFails) fs::create_directories(d.store + "/kept");
        const std::string dirEnv = "TILVEXGEN_SIGNALLED_BUILD=" + d.dir.Path();
        const std::string stepEnv = std::string("TILVEXGEN_SIGNAL_STEP=") + row.step;
        const char* args[] = {"TilvexgenLib_tests", "--gtest_filter=TilvexgenBuildChild.BuildSignalledAtAStep", nullptr};
        const char* extraEnv[] = {dirEnv.c_str(), stepEnv.c_str(), nullptr};
        ChildProcess child;
        ASSERT_EQ(StartProcess(kSelfExecutable, args, extraEnv, (d.dir.Path() + "/out.txt").c_str(), &child), 0);
        int status = 0;
        ASSERT_EQ(WaitProcess(child, &status), 0);
        EXPECT_EQ(status, row.status) << ReadAll(d.dir.Path() + "/out.txt");
        EXPECT_FALSE(fs::exists(d.store + ".part"));
        if (row.renameFails) EXPECT_TRUE(fs::is_directory(d.store + "/kept"));
        else if (row.status == 1) EXPECT_FALSE(fs::exists(d.store));
        else EXPECT_TRUE(fs::is_regular_file(d.store) && fs::file_size(d.store) > 0);
    }
}

// The child's part of the test below (skipped unless started by it): a build of the
// folder TILVEXGEN_NO_NULL_DEVICE with standard output closed and no null device to
// fill it with; exits 0 when the build's status is 1.
TEST(TilvexgenBuildChild, BuildWithoutANullDevice)
{
    const char* dir = std::getenv("TILVEXGEN_NO_NULL_DEVICE");
    if (!dir) GTEST_SKIP() << "run by TilvexgenBuild.ANullDeviceThatCannotBeOpenedStopsTheBuildFirst";
    const std::string program = std::string(dir) + "/bin/Tilvexgen";
    const std::string pics = std::string(dir) + "/pics";
    const char* argv[] = {program.c_str(), pics.c_str(), nullptr};
    std::fflush(stdout);
    std::fclose(stdout);
    const int rc = TilvexgenMain(2, argv, "/nonexistent-null-device");
    std::_Exit(rc == 1 ? 0 : 3);
}

// Standard output closed where no null device can be opened (a bare chroot): the
// build stops before it opens anything (no store, no partial file, whose descriptor
// would have been standard output), says why on standard error, and the status is 1.
TEST(TilvexgenBuild, ANullDeviceThatCannotBeOpenedStopsTheBuildFirst)
{
    BuildDirs d;
    d.Add("a.jpg", Photo(64, 64, 1));
    const std::string env = "TILVEXGEN_NO_NULL_DEVICE=" + d.dir.Path();
    const char* args[] = {"TilvexgenLib_tests", "--gtest_filter=TilvexgenBuildChild.BuildWithoutANullDevice", nullptr};
    const char* extraEnv[] = {env.c_str(), nullptr};
    const std::string outPath = d.dir.Path() + "/out.txt";
    ChildProcess child;
    ASSERT_EQ(StartProcess(kSelfExecutable, args, extraEnv, outPath.c_str(), &child), 0);
    int status = 0;
    ASSERT_EQ(WaitProcess(child, &status), 0);
    const std::string out = ReadAll(outPath);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Error : File error (/nonexistent-null-device) : No such file or directory\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(fs::exists(d.store));
    EXPECT_FALSE(fs::exists(d.store + ".part"));
}

TEST(TilvexgenBuild, StoreIsNamedAfterTheDirectoryADotArgumentResolvesTo)
{
    BuildDirs d;
    xstring out;
    ASSERT_TRUE(DeriveStorePath("/opt/bin/Tilvexgen", (d.pics + "/.").c_str(), out));
    EXPECT_EQ(Str(out), "/opt/bin/pics.tvx");
    ASSERT_TRUE(DeriveStorePath("/opt/bin/Tilvexgen", (d.pics + "/sub/..").c_str(), out));
    EXPECT_EQ(Str(out), "/opt/bin/pics.tvx");
    ASSERT_TRUE(DeriveStorePath("/opt/bin/Tilvexgen", (d.pics + "/./").c_str(), out));
    EXPECT_EQ(Str(out), "/opt/bin/pics.tvx");

    d.Add("a.jpg", Photo(40, 30, 1));
    EXPECT_EQ(RunBuilder(d.program, d.pics + "/.").rc, 0);
    EXPECT_TRUE(fs::is_regular_file(d.store));
}

TEST(TilvexgenBuild, MontageSidesAboveTwoToTheThirtyEndTheBuild)
{
    Montage m;
    m.entries.push_back(MontageEntry{xstring("a"), 0, 0, int32_t(kMaxMontageSide), 10});
    ComputeMontageBoundingBox(m);
    EXPECT_EQ(ComputeTilvexDepth(m), 23);
    m.entries.push_back(MontageEntry{xstring("b"), int32_t(kMaxMontageSide), 0, int32_t(kMaxMontageSide) + 1, 10});
    ComputeMontageBoundingBox(m);
    try {
        ComputeTilvexDepth(m);
        ADD_FAILURE() << "no exception";
    } catch (const IException& e) {
        EXPECT_NE(Str(e.Describe()).find("at most 1073741824 pixels"), std::string::npos) << Str(e.Describe());
    }
}

} // namespace
} // namespace vorn::test
