// Crashes of a persistent store. (1) Power cut after every storage operation of a
// scripted store life, and torn inside larger writes: every image opens, every object
// reachable from a root binds, and what the spaces hold is the state after some whole
// write group, no earlier than the last flushed one; a new object then gets an
// identifier that nothing in the store holds. (2) A real crash: a child process that
// writes objects is killed with SIGKILL at random moments; the store it leaves holds
// every write-back the child reported and a whole, bindable chain.
#include "vnLss/LssInternal.h"
#include "vnLss/tests/CrashRAS.h"
#include "StoreTestUtil.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPlatform/Process.h"
#include <gtest/gtest.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

// What a store holds: per space, per root, the values along the chain of children.
using Chains = std::map<std::string, std::vector<uint32_t>>;
using StoreState = std::map<std::string, Chains>;

std::string Describe(const IException& e)
{
    const xstring m = e.Describe();
    return std::string(m.data(), m.size());
}

const char* const kSpaceNames[] = {"P", "Q"};

// Reads every space of kSpaceNames that the registry knows, binding every object
// reachable from a root; the OIDs met go to oids. Throws what binding throws.
StoreState ReadState(PersistStore* store, std::set<OID>* oids = nullptr)
{
    StoreState state;
    for (const char* name : kSpaceNames) {
        PSpace* space = nullptr;
        bool created = false;
        try {
            space = store->OpenPSpace(name, OM_OPEN_EXISTING, &created, nullptr);
        } catch (const OpenPSpaceException&) {
            continue;
        }
        Chains& chains = state[name];
        ThreadSpaces ts(space);
        Txn txn;
        if (oids) {
            oids->insert(space->GetRoots().GetOwnOid());
            oids->insert(space->GetRoots().GetPendingDeletionsOid());
        }
        for (const auto& [root, p] : space->GetRoots().GetMap()) {
            std::vector<uint32_t>& values = chains[std::string(root.data(), root.size())];
            const std::string rootName(root.data(), root.size());
            IPersistablePtr o = space->GetRoot(rootName.c_str());
            while (!o.IsNull()) {
                auto* n = static_cast<PNode*>(o.m_object);
                if (oids) oids->insert(n->m_pos.m_oid);
                values.push_back(n->m_value);
                o = n->m_child.Get();
            }
        }
    }
    return state;
}

PNode* NewChainNode(PSpace* space, uint32_t value) { return NewNodeIn(space->GetCSpace(), value, (value % 7) * 150); }

// Adds root name over a new chain of values (the thread's space is space).
void AddChain(PSpace* space, const char* name, std::initializer_list<uint32_t> values)
{
    PNode* head = nullptr;
    PNode* last = nullptr;
    for (uint32_t v : values) {
        PNode* n = NewChainNode(space, v);
        if (head == nullptr) {
            head = n;
            ASSERT_TRUE(space->AddRoot(name, head->AsAny()));
        } else {
            SetChild(last, pref(n->AsPersistable()));
        }
        last = n;
    }
}

PNode* RootNode(PSpace* space, const char* name) { return static_cast<PNode*>(space->GetRoot(name).m_object); }

struct Script {
    std::vector<StoreState> states{StoreState{}}; // after each store transaction of the script
    std::vector<size_t> durableAt;                // ops recorded when a flushed write returned
    std::vector<size_t> durableState;             // ...and the state it left
};

PersistStoreSettings CrashStoreSettings()
{
    PersistStoreSettings s = QuietStoreSettings(false);
    s.lssSettings.m_segmentSize = 4096;
    s.lssSettings.m_numSegmentsPerCheckPoint = 1000000;
    s.lssSettings.m_cleanerUtilisationPercent = 0;
    return s;
}

Script Record(const std::shared_ptr<CrashLog>& log)
{
    Script s;
    RegisterTestClasses();
    const PersistStoreSettings settings = CrashStoreSettings();
    bool created = false;
    ILogStructuredStore* lss = OpenLSSOnStorage(new CrashRAS(log), nullptr, &created, false, settings.lssSettings);
    LssInternal& checkPoints = dynamic_cast<LssInternal&>(*lss); // the script takes check points of its own
    PersistStore* store = OpenPersistStoreOnLss(lss, created, &settings);
    s.states.push_back(StoreState{}); // the store's own elements
    PSpace* p = OpenPSpace(store, "P", nullptr);
    PSpace* q = nullptr;
    auto write = [&](PSpace* space, bool flush) {
        WriteDirtyObjectsToLss(*space, flush);
        s.states.push_back(ReadState(store));
        if (flush) {
            s.durableAt.push_back(log->NumOps());
            s.durableState.push_back(s.states.size() - 1);
        }
    };
    auto change = [&](PSpace* space, auto&& body) {
        ThreadSpaces ts(space);
        Txn txn;
        body();
    };
    change(p, [&] { AddChain(p, "A", {1, 2, 3, 4}); });
    write(p, true);
    change(p, [&] { SetValue(static_cast<PNode*>(RootNode(p, "A")->m_child.Get().m_object), 9); });
    write(p, false);
    change(p, [&] { AddChain(p, "B", {5, 6}); });
    write(p, true);
    q = OpenPSpace(store, "Q", nullptr);
    change(q, [&] { AddChain(q, "C", {7, 8, 10}); });
    write(q, false);
    // A replaced subtree is queued for deletion, then deleted by a batch.
    change(p, [&] {
        PNode* fresh = NewChainNode(p, 11);
        SetChild(RootNode(p, "A"), pref(fresh->AsPersistable()));
    });
    write(p, true);
    checkPoints.CheckPointWithNewId();
    while (store->GetWriter().DoDeletionStep()) s.states.push_back(s.states.back());
    change(p, [&] { p->RemoveRoot("B"); });
    write(p, false);
    // Two spaces changed in one exclusive transaction reach the store together.
    {
        OrderedLocks locks(p->GetCSpace(), q->GetCSpace());
        const PSpaceLockPair pairs[] = {{p, PSPACE_LOCK_EXCLUSIVE}, {q, PSPACE_LOCK_EXCLUSIVE}};
        PersistStoreTxn* txn = store->OpenTxn(pairs, 2);
        {
            ThreadSpaces ts(p);
            AddChain(p, "D", {12, 13});
            SetValue(RootNode(p, "A"), 14);
        }
        {
            ThreadSpaces ts(q);
            AddChain(q, "E", {15});
            SetValue(RootNode(q, "C"), 16);
        }
        txn->Close();
    }
    write(p, true);
    for (uint32_t i = 0; i < 6; ++i) {
        change(q, [&] { SetValue(RootNode(q, "E"), 20 + i); });
        write(q, i % 2 == 0);
    }
    checkPoints.CheckPointWithNewId();
    change(p, [&] { AddChain(p, "F", {30, 31, 32, 33, 34}); });
    write(p, true);
    store->Close();
    return s;
}

// Opens an image and checks the promise; returns an empty text or what is wrong.
std::string Check(const std::vector<uint8_t>& image, const Script& s, size_t k)
{
    auto bytes = std::make_shared<SharedBytes>();
    bytes->m_bytes = image;
    PersistStore* store = nullptr;
    try {
        store = OpenStoreOn(bytes, CrashStoreSettings());
    } catch (const IException& e) {
        return "open failed: " + Describe(e);
    }
    std::string trouble;
    std::set<OID> oids;
    StoreState got;
    try {
        got = ReadState(store, &oids);
    } catch (const IException& e) {
        trouble = "reading failed: " + Describe(e);
    }
    // The state after the last write that was flushed before the cut, or a later one.
    size_t earliest = 0;
    for (size_t t = 0; t < s.durableAt.size(); ++t)
        if (s.durableAt[t] <= k) earliest = s.durableState[t];
    if (trouble.empty()) {
        bool found = false;
        for (size_t n = earliest; n < s.states.size(); ++n)
            if (s.states[n] == got) found = true;
        if (!found) trouble = "not the state after a whole write group from " + std::to_string(earliest);
    }
    // No identifier twice: a new object's OID is none that the store holds.
    if (trouble.empty()) {
        try {
            PSpace* p = OpenPSpace(store, "P", nullptr);
            ThreadSpaces ts(p);
            OID fresh;
            {
                Txn txn;
                PNode* n = NewChainNode(p, 99);
                p->AddRoot("Z", n->AsAny());
                fresh = n->m_pos.m_oid;
            }
            if (oids.count(fresh)) trouble = "a new object took an identifier in use";
            WriteDirtyObjectsToLss(*p, true);
        } catch (const IException& e) {
            trouble = "writing after recovery failed: " + Describe(e);
        }
    }
    std::exception_ptr failure;
    if (!store->CloseReporting(&failure) && trouble.empty()) trouble = "close after recovery failed";
    return trouble;
}

} // namespace

TEST(PersistCrashPoint, EveryCutOfAStoreLifeRecoversWholeWriteGroups)
{
    auto log = std::make_shared<CrashLog>();
    Script s;
    try {
        s = Record(log);
    } catch (const IException& e) {
        FAIL() << "the script failed: " << Describe(e);
    }
    ASSERT_FALSE(HasFailure());
    ExpectEveryCrashImageRecovers(*log, 5,
                                  [&](const std::vector<uint8_t>& image, size_t n) { return Check(image, s, n); });
}

// ---- a real crash ----------------------------------------------------------------------

namespace {

const char* const kKillStoreVar = "VORN_PSTORE_KILL_STORE";
const char* const kKillReportVar = "VORN_PSTORE_KILL_REPORT";
constexpr uint32_t kChainLength = 12;

PersistStoreSettings KillSettings()
{
    PersistStoreSettings s;
    s.lssSettings.m_segmentSize = 4096;
    s.lssSettings.m_numSegmentsPerCheckPoint = 16;
    s.lssSettings.m_flushTimeMilliSec = 50;
    s.startObjectDeletion = true;
    return s;
}

void KillReport(const char* path, const std::string& line)
{
    const std::string text = line + "\n";
    if (AppendToFileDurably(path, text.data(), text.size()) != 0) std::abort();
}

// The head of the chain under "K" and its length; the chain must run n, n-1, ...
uint32_t ReadKillChain(PSpace* space, std::string& trouble)
{
    ThreadSpaces ts(space);
    Txn txn;
    IPersistablePtr o = space->GetRoot("K");
    if (o.IsNull()) return 0;
    const uint32_t head = static_cast<PNode*>(o.m_object)->m_value;
    uint32_t expect = head, length = 0;
    while (!o.IsNull()) {
        auto* n = static_cast<PNode*>(o.m_object);
        if (n->m_value != expect) trouble = "the chain skips from " + std::to_string(expect);
        if (size_t(n->m_payload.size()) != size_t(n->m_value % 5) * 400) trouble = "a node lost its payload";
        --expect;
        ++length;
        o = n->m_child.Get();
    }
    if (length != std::min(head, kChainLength)) trouble = "the chain has " + std::to_string(length) + " nodes";
    return head;
}

// The child: each step puts a new node at the head of the chain under "K", cuts the
// chain behind its twelfth node (queuing the rest for deletion) and writes it back
// flushed; the background writer runs meanwhile. Killed by the parent.
[[noreturn]] void RunKillChild(const char* path, const char* report)
{
    RegisterTestClasses();
    const PersistStoreSettings s = KillSettings();
    PersistStore* store = OpenPersistStore(path, OM_OPEN_ALWAYS, &s);
    store->SetDosPeriod(5);
    PSpace* space = OpenPSpace(store, "P", nullptr);
    std::string trouble;
    uint32_t n = ReadKillChain(space, trouble);
    KillReport(report, "open " + std::to_string(n));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        ++n;
        {
            ThreadSpaces ts(space);
            Txn txn;
            PNode* node = NewNodeIn(space->GetCSpace(), n, size_t(n % 5) * 400);
            IPersistablePtr old = space->GetRoot("K");
            if (!old.IsNull()) space->RemoveRoot("K");
            space->AddRoot("K", node->AsAny());
            SetChild(node, old.IsNull() ? pref() : pref(old));
            // Cut behind the last node the chain keeps.
            PNode* last = node;
            for (uint32_t i = 1; i < kChainLength && !last->m_child.IsNull(); ++i)
                last = static_cast<PNode*>(last->m_child.Get().m_object);
            if (!last->m_child.IsNull()) SetChild(last, pref());
        }
        WriteDirtyObjectsToLss(*space, true);
        KillReport(report, "closed " + std::to_string(n));
    }
    store->Close();
    std::_Exit(0);
}

class KillChildEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const char* store = std::getenv(kKillStoreVar);
        const char* report = std::getenv(kKillReportVar);
        if (store && report) RunKillChild(store, report);
    }
};
::testing::Environment* const kKillChildEnvironment = ::testing::AddGlobalTestEnvironment(new KillChildEnvironment);

struct KillReportFile {
    std::vector<int64_t> m_closed;
    std::vector<int64_t> m_opens;
};

KillReportFile ReadKillReport(const std::string& path)
{
    KillReportFile r;
    std::ifstream in(path);
    std::string word;
    int64_t n;
    while (in >> word >> n) (word == "open" ? r.m_opens : r.m_closed).push_back(n);
    return r;
}

} // namespace

TEST(PersistKill, AKilledWriterLosesNoReportedWriteBack)
{
    RegisterTestClasses();
    TempDir dir;
    const std::string store = dir.File("store.tvx");
    const std::string copy = dir.File("check.tvx");
    const std::string report = dir.File("report.txt");
    const std::string output = dir.File("child.txt");
    const std::string storeEnv = std::string(kKillStoreVar) + "=" + store;
    const std::string reportEnv = std::string(kKillReportVar) + "=" + report;
    const char* const args[] = {"vnPersistStore_tests", nullptr};
    const char* const env[] = {storeEnv.c_str(), reportEnv.c_str(), nullptr};
    std::mt19937 rng(1717u);
    int64_t seen = 0;
    size_t opensChecked = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const size_t opens = ReadKillReport(report).m_opens.size();
        ChildProcess child;
        ASSERT_EQ(StartProcess(kSelfExecutable, args, env, output.c_str(), &child), 0);
        // Most rounds kill the child while it writes, some while it opens.
        if (round % 3 != 2) {
            for (int i = 0; i < 2000 && ReadKillReport(report).m_opens.size() == opens; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
        ASSERT_EQ(KillProcess(child), 0);
        int code = 0;
        ASSERT_EQ(WaitProcess(child, &code), 0);
        std::ifstream out(output);
        std::stringstream text;
        text << out.rdbuf();
        ASSERT_EQ(code, -SIGKILL) << "the child ended on its own:\n" << text.str();

        const KillReportFile r = ReadKillReport(report);
        for (; opensChecked < r.m_opens.size(); ++opensChecked)
            EXPECT_EQ(r.m_opens[opensChecked], seen) << "a child found another chain than the last check";
        if (!std::filesystem::exists(store)) continue;
        std::filesystem::copy_file(store, copy, std::filesystem::copy_options::overwrite_existing);
        const PersistStoreSettings s = KillSettings();
        PersistStore* ps = nullptr;
        try {
            ps = OpenPersistStore(copy.c_str(), OM_OPEN_EXISTING, &s);
        } catch (const IException& e) {
            FAIL() << "the killed store does not open: " << Describe(e);
        }
        std::string trouble;
        int64_t head = 0;
        try {
            bool created = false;
            PSpace* space = ps->OpenPSpace("P", OM_OPEN_ALWAYS, &created, nullptr);
            head = ReadKillChain(space, trouble);
        } catch (const IException& e) {
            trouble = "reading failed: " + Describe(e);
        }
        EXPECT_EQ(trouble, "");
        if (!r.m_closed.empty()) {
            EXPECT_GE(head, r.m_closed.back()) << "a reported write-back was lost";
        }
        EXPECT_GE(head, seen) << "a write-back seen after an earlier kill was lost";
        std::exception_ptr failure;
        EXPECT_TRUE(ps->CloseReporting(&failure));
        std::filesystem::remove(copy);
        seen = head;
    }
    EXPECT_GT(seen, 0) << "no child got to write";
}
