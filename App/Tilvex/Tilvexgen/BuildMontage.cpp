#include "Tilvex/Tilvexgen/BuildMontage.h"
#include "Tilvex/Tilvex.h"
#include "Tilvex/Tilvexgen/MontagePyramid.h"
#include "Tilvex/Tilvexgen/Scan.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Trace.h"
#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

namespace vorn {

namespace {

namespace fs = std::filesystem;

// The store's writer writes the changed nodes this often while the build runs, rather
// than once a second: the finished tiles go to the store in the background as they
// come (and can then be let go by their parents), instead of all at once when the
// space is closed, which no other thread can share.
constexpr int32_t kBuildWriterPeriodMs = 20;

PersistStore* CreateStoreFile(const char* path, const PersistStoreSettings& settings)
{
    return OpenPersistStore(path, OM_CREATE_ALWAYS, &settings);
}

BuildStoreOpener g_openStore = &CreateStoreFile;

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

// The store and its space "P", closed on every path out. On the success path Close
// closes both and throws what fails; the destructor closes what is still open after a
// failure and keeps quiet about it (the first failure is the one reported).
class BuildSession {
public:
    BuildSession(const xstring& path, const PersistStoreSettings& settings)
    {
        xstring z(path);
        m_store = g_openStore(z.c_str(), settings);
        m_store->SetDosPeriod(kBuildWriterPeriodMs);
        m_space = OpenPSpace(m_store, "P", nullptr);
        m_savedP = GetThreadPSpace();
        m_savedC = GetThreadCSpace();
        SetThreadPSpace(m_space);
        SetThreadCSpace(m_space->GetCSpace());
    }
    ~BuildSession()
    {
        try {
            CloseSpace();
        } catch (...) {
        }
        if (m_store) m_store->CloseReporting(nullptr);
    }
    BuildSession(const BuildSession&) = delete;
    BuildSession& operator=(const BuildSession&) = delete;

    void Close()
    {
        CloseSpace();
        PersistStore* store = m_store;
        m_store = nullptr;
        store->Close();
    }

private:
    void CloseSpace()
    {
        if (!m_space) return;
        SetThreadPSpace(m_savedP);
        SetThreadCSpace(m_savedC);
        PSpace* space = m_space;
        m_space = nullptr;
        m_store->ClosePSpace(space);
    }

    PersistStore* m_store = nullptr;
    PSpace* m_space = nullptr;
    PSpace* m_savedP = nullptr;
    CSpace* m_savedC = nullptr;
};

void TraceError(const xstring& description)
{
    TraceStream t;
    t << "Error : " << description << "\n";
}

void RemoveQuietly(const xstring& path)
{
    xstring z(path);
    std::error_code ec;
    fs::remove(fs::path(z.c_str()), ec);
}

} // namespace

void SetBuildStoreOpener(BuildStoreOpener opener) { g_openStore = opener ? opener : &CreateStoreFile; }

bool BuildMontage(const xstring& storePath, const xstring& dir)
{
    // The store is written under a temporary name and takes the store's name only when
    // it is complete and closed, so a failed or stopped build leaves the previous store.
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
            {
                Montage montage;
                ScanAndLayOutImages(dir, montage);
                CalcTilvexFromMontage(montage, tilvex);
            }
            session.Close();
        }
        xstring from(partPath), to(storePath);
        if (std::rename(from.c_str(), to.c_str()) != 0) throw FileException(storePath);
        return true;
    } catch (const IException& e) {
        TraceError(e.Describe());
    } catch (const std::exception& e) {
        TraceError(xstring(e.what()));
    }
    RemoveQuietly(partPath);
    return false;
}

} // namespace vorn
