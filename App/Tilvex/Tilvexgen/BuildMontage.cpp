#include "Tilvex/Tilvexgen/BuildMontage.h"
#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Model/TilvexStoreSettings.h"
#include "Tilvex/Tilvexgen/MontagePyramid.h"
#include "Tilvex/Tilvexgen/Scan.h"
#include "Tilvex/Tilvexgen/ShownName.h"
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
#include "vnPlatform/Dir.h"
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
BuildStepHook g_stepHook = nullptr;

void AtStep(BuildStep step)
{
    if (g_stepHook) g_stepHook(step);
}

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

// A scan that found nothing is said so; it builds the empty pyramid only where there is
// no store of that name yet, never over one.
void CheckImagesFound(const Montage& montage, const xstring& dir, const xstring& storePath)
{
    if (!montage.entries.empty()) return;
    {
        TraceStream t;
        t << "No jpeg images found in " << ShownName(dir.Range()) << "\n";
    }
    std::error_code ec;
    xstring z(storePath);
    if (fs::exists(fs::symlink_status(fs::path(z.c_str()), ec))) {
        xstring message("No images to build from: ");
        message += storePath;
        message += " is left as it was";
        ThrowVornException(message);
    }
}

// Throws a FileException with the system's error when dir is not a directory that can
// be read.
void CheckDirectory(const xstring& dir)
{
    xstring z(dir);
    if (const int e = CheckReadableDirectory(z.c_str())) throw FileException(uint32_t(e), dir);
}

// The partial file, created new (never through a link; what a finished or failed build
// left there is replaced, a file another build holds is not touched), locked before it
// counts as the build's own (one that another build took over before the lock is
// refused), and kept open, and so locked, until Rename has given it its final name. It
// is known by its identity from then on: on any other way out it is removed while still
// held, and an interrupt removes it too, but only while the name still stands for it.
class PartialFile {
public:
    PartialFile(const xstring& path, const LssSettings& settings) : m_path(path), m_zpath(path)
    {
        const char* z = m_zpath.c_str();
        // A signal between the creation and the arming waits, so that no file is left.
        CatchInterrupts();
        HoldInterrupts();
        try {
            if (const int e = ClearPartialFile(z)) throw FileException(uint32_t(e), m_path);
            m_file = std::make_unique<FileRAS>(z, OM_CREATE_NEW, settings.m_enableFileBuffering,
                                               settings.m_enableWriteThrough);
            // Locked and still under its name (FileRAS refuses it otherwise): no other
            // build removes it now.
            if (const int e = QueryFileIdentity(z, &m_id)) throw FileException(uint32_t(e), m_path);
            AtStep(BuildStep::PartialFileCreated);
        } catch (...) {
            m_file.reset();
            ReleaseInterrupts();
            throw;
        }
        RemoveOnInterrupt(z, m_id);
    }
    // Allocates nothing: it runs on the way out of failures.
    ~PartialFile()
    {
        if (!m_file) return;
        HoldInterrupts();
        RemoveFileIfIdentity(m_zpath.c_str(), m_id);
        m_file.reset();
        ReleaseInterrupts();
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    IRAS* Get() const { return m_file.get(); }

    // Renames the complete file to storePath, durably. Once renamed it is no longer the
    // build's to remove, whatever follows; a failure to make the rename durable is then
    // reported, but the store stands.
    void Rename(const xstring& storePath)
    {
        xstring to(storePath);
        HoldInterrupts();
        AtStep(BuildStep::Renaming);
        RenameOutcome out;
        const int e = RenameDurably(m_zpath.c_str(), m_id, to.c_str(), &out);
        if (out.renamed) {
            m_file.reset();
            ReleaseInterrupts();
        } else {
            // Still the build's own file, which ~PartialFile removes: until then a
            // signal removes it too.
            ResumeInterrupts();
            AtStep(BuildStep::RenameFailed);
        }
        if (out.syncError != 0) {
            TraceStream t;
            t << "Warning : "
              << ShownName(FileException(uint32_t(out.syncError), FolderOf(storePath)).Describe().Range()) << "\n";
        }
        if (e == 0) return;
        const xstring& name = out.failedAt == RenameOutcome::kFolder ? FolderOf(storePath)
                              : out.failedAt == RenameOutcome::kFrom ? m_path
                                                                     : storePath;
        throw FileException(uint32_t(e), name);
    }

private:
    // The folder that holds path, as the rename opens it.
    static xstring FolderOf(const xstring& path)
    {
        const char* b = path.data();
        const char* e = b + path.size();
        while (e != b && e[-1] != '/') --e;
        if (e == b) return xstring(".");
        return xstring(SubString8(b, e - b == 1 ? e : e - 1));
    }

    xstring m_path;
    xstring m_zpath; // m_path, zero-terminated once (c_str) for the system calls
    FileIdentity m_id;
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
    t << "Error : " << ShownName(description.Range()) << "\n";
}

} // namespace

void SetBuildStoreOpener(BuildStoreOpener opener) { g_openStore = opener ? opener : &OpenStoreOnFile; }

void SetBuildSessionHook(BuildSessionHook hook) { g_sessionHook = hook; }

void SetBuildStepHook(BuildStepHook hook) { g_stepHook = hook; }

bool BuildMontage(const xstring& storePath, const xstring& dir)
{
    // The store is written under a temporary name and takes the store's name only when
    // it is complete and closed, so a failed or interrupted build leaves the previous
    // store.
    xstring partPath(storePath);
    partPath += ".part";
    try {
        CheckDirectory(dir);
        const PersistStoreSettings settings = TilvexStoreSettings();
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
                CheckImagesFound(montage, dir, storePath);
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
