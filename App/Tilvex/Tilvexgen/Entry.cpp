#include "Tilvex/Tilvexgen/Entry.h"
#include "Tilvex/Tilvexgen/BuildMontage.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Trace.h"

namespace vorn {

namespace {

int UsageError()
{
    TextWriter& console = GetConsoleWriter();
    console << "Usage: Tilvexgen pathToDirContainingImages\n";
    console.Flush();
    return -1;
}

} // namespace

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

    out = CombinePaths(programDir, SubString8(nb, de));
    out += ".tvx";
    return true;
}

int TilvexgenMain(int argc, const char** argv)
{
    GetLogSink()->Open("stdout");
    TraceShowTime = false;
    if (argc != 2) return UsageError();

    xstring storePath;
    if (!DeriveStorePath(argv[0], argv[1], storePath)) return UsageError();
    const xstring dir = ToForwardSlashes(argv[1]);

    {
        TraceStream t;
        t << "Scanning directory " << dir << " for jpeg images\n";
    }
    {
        TraceStream t;
        t << "Tilvex will be written as file : " << storePath << "\n";
    }
    BuildMontage(storePath, dir);
    {
        TraceStream t;
        t << "\nHit a key...\n";
    }
    WaitForKeyPress();
    CloseLogSink();
    return 0;
}

} // namespace vorn
