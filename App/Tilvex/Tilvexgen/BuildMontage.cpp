#include "Tilvex/Tilvexgen/BuildMontage.h"
#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Tilvexgen/MontagePyramid.h"
#include "Tilvex/Tilvexgen/Scan.h"
#include "vnObject/CSpace.h"
#include "vnLss/LssInterfaces.h"
#include "vnLss/Ras.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStorePtr.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnPersistStore/ThreadPSpaceGuard.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"
#include "vnPlatform/Interrupt.h"
#include "vnPlatform/PartialFile.h"
#include <cerrno>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

namespace vorn {

namespace {

namespace fs = std::filesystem;

// The store's writer writes the changed nodes this often while the build runs, rather
// than once a second: the finished tiles go to the store in the background as they
// come (and can then be let go by their parents), instead of all at once when the
// space is closed, which no other thread can share.
constexpr int32_t kBuildWriterPeriodMs = 20;

PersistStore* OpenStoreOnFile(IRAS* storage, const PersistStoreSettings& settings)
{
    bool created = false;
    ILogStructuredStore* lss = OpenLSSOnStorage(storage, settings.deltasDirPath, &created, false, settings.lssSettings);
    return OpenPersistStoreOnLss(lss, created, &settings);
}

BuildStoreOpener g_openStore = &OpenStoreOnFile;
BuildSessionHook g_sessionHook = nullptr;

// The partial file as the store sees it: everything but Close goes to the file, which
// the build keeps open, and so locked, until the file has its final name.
class HeldFileStorage final : public IRAS {
public:
    explicit HeldFileStorage(IRAS* file) : m_file(file) {}
    int32_t GetSectorSize() override { return m_file->GetSectorSize(); }
    void* AllocBuffer(uint32_t size) override { return m_file->AllocBuffer(size); }
    void FreeBuffer(void* buffer) override { m_file->FreeBuffer(buffer); }
    void Close() override {}
    void Read(void* buffer, uint64_t offset, uint32_t length) override { m_file->Read(buffer, offset, length); }
    void Write(const void* buffer, uint64_t offset, uint32_t length) override { m_file->Write(buffer, offset, length); }
    uint64_t GetSize() override { return m_file->GetSize(); }
    void SetSize(uint64_t size) override { m_file->SetSize(size); }
    void Sync() override { m_file->Sync(); }

private:
    IRAS* m_file;
};

PersistStoreSettings BuilderStoreSettings()
{
    PersistStoreSettings s;
    s.deltasDirPath = nullptr;
    s.lssSettings.m_flushTimeMilliSec = 10000;
    s.lssSettings.m_cleanerUtilisationPercent = 85.0;
    s.lssSettings.m_enableFileBuffering = false;
    s.lssSettings.m_maxNumSegmentsInCache = 512;
    s.lssSettings.m_numSegmentsPerCheckPoint = 256;
    s.lssSettings.m_segmentSize = 0x80000;
    s.lssSettings.m_forceIncrementMSSN = false;
    s.lssSettings.m_validateSUTDuringCheckPoint = false;
    s.translationTable = nullptr;
    s.startObjectDeletion = true;
    return s;
}

// Throws a FileException with the system's error when dir is not a directory that can
// be read.
void CheckDirectory(const xstring& dir)
{
    xstring z(dir);
    std::error_code ec;
    const fs::path p(z.c_str());
    if (!fs::is_directory(p, ec)) throw FileException(uint32_t(ec ? ec.value() : ENOTDIR), dir);
    fs::directory_iterator it(p, ec);
    if (ec) throw FileException(uint32_t(ec.value()), dir);
}

// The partial file, created new (never through a link; what a finished or failed build
// left there is replaced, a file another build holds is not touched) and kept open, and
// so locked, until Rename has given it its final name; on any other way out it is
// removed while still held, so a build removes only a partial file it created and
// holds. An interrupt meanwhile removes it too.
class PartialFile {
public:
    PartialFile(const xstring& path, const LssSettings& settings) : m_path(path)
    {
        xstring z(m_path);
        if (const int e = ClearPartialFile(z.c_str())) throw FileException(uint32_t(e), m_path);
        m_file = std::make_unique<FileRAS>(z.c_str(), OM_CREATE_NEW, settings.m_enableFileBuffering,
                                           settings.m_enableWriteThrough);
        RemoveOnInterrupt(z.c_str());
    }
    ~PartialFile()
    {
        if (!m_file) return;
        HoldInterrupts();
        std::error_code ec;
        xstring z(m_path);
        fs::remove(fs::path(z.c_str()), ec);
        m_file.reset();
        ReleaseInterrupts();
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    IRAS* Get() const { return m_file.get(); }

    // Renames the complete file to storePath, durably.
    void Rename(const xstring& storePath)
    {
        HoldInterrupts();
        xstring from(m_path), to(storePath);
        const int e = RenameDurably(from.c_str(), to.c_str());
        if (e == 0) m_file.reset();
        ReleaseInterrupts();
        // A missing partial file is the one named; anything else concerns the store's name.
        if (e != 0) throw FileException(uint32_t(e), e == ENOENT ? m_path : storePath);
    }

private:
    xstring m_path;
    std::unique_ptr<FileRAS> m_file;
};

// The partial file, the store on it and its space "P" (the thread's current space while
// the session lasts), closed on every way out in order: the space (then the thread's
// spaces are restored), the store, the file. After a failure the first failure is the
// one that goes on.
class BuildSession {
public:
    BuildSession(const xstring& partPath, const PersistStoreSettings& settings)
        : m_file(partPath, settings.lssSettings),
          m_store(g_openStore(new HeldFileStorage(m_file.Get()), settings))
    {
        m_store->SetDosPeriod(kBuildWriterPeriodMs);
        m_space.emplace(OpenPSpace(m_store.Get(), "P", nullptr));
    }
    BuildSession(const BuildSession&) = delete;
    BuildSession& operator=(const BuildSession&) = delete;

    PersistStore* GetStore() const { return m_store.Get(); }

    // Closes the space and the store, throwing what fails, and renames the complete
    // file to storePath.
    void Commit(const xstring& storePath)
    {
        m_space->Close();
        m_store.Close();
        m_file.Rename(storePath);
    }

private:
    PartialFile m_file;
    PersistStorePtr m_store;
    std::optional<ThreadPSpaceGuard> m_space;
};

void TraceError(const xstring& description)
{
    TraceStream t;
    t << "Error : " << description << "\n";
}

} // namespace

void SetBuildStoreOpener(BuildStoreOpener opener) { g_openStore = opener ? opener : &OpenStoreOnFile; }

void SetBuildSessionHook(BuildSessionHook hook) { g_sessionHook = hook; }

bool BuildMontage(const xstring& storePath, const xstring& dir)
{
    // The store is written under a temporary name and takes the store's name only when
    // it is complete and closed, so a failed or interrupted build leaves the previous
    // store.
    xstring partPath(storePath);
    partPath += ".part";
    try {
        CheckDirectory(dir);
        const PersistStoreSettings settings = BuilderStoreSettings();
        {
            BuildSession session(partPath, settings);
            Tilvex* tilvex = Tilvex::FromPersistable(
                IPersistablePtr::FromAny(BootstrapPSpaceRoot(Tilvex::GetClassRecord(), "R")));
            if (!tilvex) throw ProgrammingErrorException(xstring("root \"R\" is not a vorn::Tilvex"));
            SetMilliSecsPerGc(2000);
            if (g_sessionHook) g_sessionHook(session.GetStore(), GetThreadCSpace());
            {
                Montage montage;
                ScanAndLayOutImages(dir, montage);
                CalcTilvexFromMontage(montage, tilvex);
            }
            session.Commit(storePath);
        }
        return true;
    } catch (const IException& e) {
        TraceError(e.Describe());
    } catch (const std::exception& e) {
        TraceError(xstring(e.what()));
    }
    return false;
}

} // namespace vorn
