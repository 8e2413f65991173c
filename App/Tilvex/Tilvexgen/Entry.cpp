#include "Tilvex/Tilvexgen/Entry.h"
#include "Tilvex/Tilvexgen/BuildMontage.h"
#include "Tilvex/Tilvexgen/ShownName.h"
#include "Tilvex/Model/TilvexModule.h"
#include "vnReflection/XTarget.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Trace.h"
#include "vnPlatform/Interrupt.h"
#include "vnPlatform/StandardDescriptors.h"
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

namespace vorn {

namespace {

bool IsDotName(const char* b, const char* e)
{
    return (e - b == 1 && b[0] == '.') || (e - b == 2 && b[0] == '.' && b[1] == '.');
}

// The last name of the directory that dir resolves to ("." and ".." are resolved
// against the current directory); empty when it has none (the root).
xstring ResolvedDirectoryName(const xstring& dir)
{
    namespace fs = std::filesystem;
    xstring z(dir);
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(fs::path(z.c_str()), ec), ec);
    if (ec) p = fs::absolute(fs::path(z.c_str()), ec).lexically_normal();
    while (p.has_relative_path() && p.filename().empty()) p = p.parent_path();
    const std::string name = p.has_relative_path() ? p.filename().string() : std::string();
    return xstring(name.c_str());
}

int UsageError()
{
    TextWriter& console = GetConsoleWriter();
    console << "Usage: Tilvexgen pathToDirContainingImages\n";
    console.Flush();
    return -1;
}

} // namespace

void RegisterBuilderModule()
{
    static const int32_t rows[] = {-1};
    static const dsTargetConfig config[] = {{"Release 0.0", 0x180807D8u, rows}};
    static const dsTarget target{"Vorn/App/Tilvex/Tilvexgen", 0, nullptr, 1, config};
    InitTilvexModule(CreateProgramModule(target));
}

bool DeriveStorePath(SubString8 programPath, SubString8 dirArg, xstring& out)
{
    const xstring program = ToForwardSlashes(programPath);
    const xstring dir = ToForwardSlashes(dirArg);

    const char* pb = program.data();
    const char* pe = pb + program.size();
    const char* slash = pe;
    while (slash != pb && slash[-1] != '/') --slash;
    const SubString8 programDir(pb, slash == pb ? pb : slash - 1);

    const char* db = dir.data();
    const char* de = db + dir.size();
    while (de != db && de[-1] == '/') --de;
    const char* nb = de;
    while (nb != db && nb[-1] != '/') --nb;
    if (nb == db) {
        // No '/': the name follows the last ':' (a drive prefix), if any.
        const char* colon = de;
        while (colon != db && colon[-1] != ':') --colon;
        nb = colon;
    }
    if (nb == de) return false;

    xstring resolved;
    if (IsDotName(nb, de)) {
        resolved = ResolvedDirectoryName(dir);
        if (resolved.empty()) return false;
        nb = resolved.data();
        de = nb + resolved.size();
    }
    out = CombinePaths(programDir, SubString8(nb, de));
    out += ".tvx";
    return true;
}

int TilvexgenMain(int argc, const char** argv, const char* nullDevice)
{
    // Before anything is opened: a closed standard output must not become the store.
    // When one cannot be filled, nothing may be opened at all.
    if (const int e = OpenClosedStandardDescriptors(nullDevice)) {
        xstring message("Error : ");
        message += FileException(uint32_t(e), xstring(nullDevice)).Describe();
        message += "\n";
        WriteToAnOpenStandardStream(message.data(), size_t(message.size()));
        return 1;
    }
    bool built = false;
    try {
        CatchInterrupts();
        GetLogSink()->Open("stdout");
        TraceShowTime = false;
        if (argc != 2) return UsageError();

        xstring storePath;
        if (!DeriveStorePath(argv[0], argv[1], storePath)) return UsageError();
        const xstring dir = ToForwardSlashes(argv[1]);

        {
            TraceStream t;
            t << "Scanning directory " << ShownName(dir.Range()) << " for jpeg images\n";
        }
        {
            TraceStream t;
            t << "Tilvex will be written as file : " << ShownName(storePath.Range()) << "\n";
        }
        RegisterBuilderModule();
        built = BuildMontage(storePath, dir);
    } catch (const std::exception& e) {
        // Memory ran out before the build began (the build catches its own failures):
        // said without allocating, and the build has failed.
        char line[512];
        const int n = std::snprintf(line, sizeof line, "Error : %s\n", e.what());
        if (n > 0) WriteToAnOpenStandardStream(line, std::min(size_t(n), sizeof line - 1));
    } catch (...) {
        static const char line[] = "Error : the build could not begin\n";
        WriteToAnOpenStandardStream(line, sizeof line - 1);
    }
    try {
        TraceStream t;
        t << "\nHit a key...\n";
    } catch (const std::exception&) {
        // The store stands as the build left it, said or not.
    }
    WaitForKeyPress();
    CloseLogSink();
    return built ? 0 : 1;
}

} // namespace vorn
