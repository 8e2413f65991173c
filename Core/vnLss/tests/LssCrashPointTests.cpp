// Power cut after every storage operation of a scripted store life: the bytes of
// every prefix of the recorded writes (and, in a second pass, with the last write
// torn at a sector boundary) must open, hold every transaction flushed before the
// cut, and hold exactly the state after some prefix of the transaction history.
#include "CrashRAS.h"
#include "LssStoreTestUtil.h"
#include "vnLss/LssLayout.h"
#include <gtest/gtest.h>
#include <array>
#include <map>
#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

constexpr int32_t kSeg = 4096;
constexpr SeidHigh kSpace = 0x05050505u;
constexpr int kNumSeids = 8;
Seid SeidOf(int i) { return Seid(0x01010101u + uint32_t(i), kSpace); }

// An element's bytes name the transaction that wrote them and the element, so a
// read identifies its version; the rest is a pattern of both.
std::vector<uint8_t> Content(int txn, int elem, size_t size)
{
    std::vector<uint8_t> v = Pattern(size, uint32_t(txn * 97 + elem));
    StoreU32(v.data(), uint32_t(txn));
    StoreU32(v.data() + 4, uint32_t(elem));
    StoreU32(v.data() + 8, uint32_t(size));
    return v;
}

struct Version {
    int txn = -1; // -1: absent
    size_t size = 0;
    friend bool operator==(const Version&, const Version&) = default;
};
using State = std::array<Version, kNumSeids>;

struct Script {
    std::vector<State> states{State{}};  // states[s]: after the first s transactions
    std::vector<size_t> durableAt;       // per transaction: ops recorded when its flushed Close returned
};

struct Change {
    int elem;
    size_t size; // 0: delete
};

void RunTxn(LSS* lss, Script& s, std::initializer_list<Change> changes, bool flush)
{
    const int txn = int(s.states.size()); // 1-based
    State next = s.states.back();
    ILssTransaction* t = lss->OpenTransaction();
    for (const Change& c : changes) {
        const Seid id = SeidOf(c.elem);
        if (c.size == 0) {
            ASSERT_TRUE(t->DeleteSerialElement(id.m_low, id.m_high));
            next[c.elem] = Version{};
        } else {
            const std::vector<uint8_t> b = Content(txn, c.elem, c.size);
            ICloseableOutputStream* w = t->WriteSerialElement(id.m_low, id.m_high);
            w->WriteStream(b.data(), ssize_t(b.size()));
            w->Close();
            next[c.elem] = Version{txn, c.size};
        }
    }
    if (flush) t->FlushWhenClose();
    t->Close();
    s.states.push_back(next);
}

// The cleaner's work on every segment that is less than half used (but for the head).
void CleanLowSegments(LSS* lss)
{
    SegmentWriter& w = lss->GetSegmentWriter();
    w.Lock(false);
    const int32_t head = w.GetSegmentId();
    for (int32_t id = 1; id < lss->GetSUT().GetNumSegments(); ++id) {
        const int32_t u = lss->GetSUT().GetUtilisation(id);
        if (id != head && u > 0 && u < kSeg / 2) lss->GetCleaner().CleanSegment(id);
    }
    w.Unlock();
}

LssSettings ScriptSettings()
{
    LssSettings s = SmallSettings(kSeg);
    s.m_numSegmentsPerCheckPoint = 1000000; // only the script's own check points
    s.m_cleanerUtilisationPercent = 0;       // and its own cleaning
    return s;
}

// Records the script; returns its history.
Script Record(const std::shared_ptr<CrashLog>& log)
{
    Script s;
    bool created = false;
    LSS* lss = LSS::OpenOnStorage(new CrashRAS(log), nullptr, &created, false, ScriptSettings());
    EXPECT_TRUE(created);
    // A flushed transaction is durable in every image with the operations recorded
    // when its Close returned.
    auto run = [&](std::initializer_list<Change> c, bool flush) {
        RunTxn(lss, s, c, flush);
        s.durableAt.push_back(flush ? log->NumOps() : SIZE_MAX);
    };
    run({{0, 100}, {1, 600}}, true);
    run({{2, 9000}}, false);
    run({{0, 300}}, true);
    lss->CheckPointWithNewId();
    run({{3, 5000}}, true);
    run({{1, 0}, {2, 200}}, false);
    run({{4, 50}, {5, 2500}}, true);
    CleanLowSegments(lss);
    run({{6, 40}}, true);
    run({{3, 7000}}, false);
    run({{0, 0}}, true);
    lss->CheckPointWithNewId();
    run({{7, 3900}, {0, 20}}, false);
    run({{5, 0}, {6, 4100}}, true);
    CleanLowSegments(lss);
    run({{2, 12}}, false);
    run({{4, 12000}, {1, 700}}, true);
    run({{7, 0}}, false);
    // The log moves back into low segments and the highest ones empty: the check
    // point shrinks the file.
    run({{0, 0}, {1, 0}, {2, 0}, {3, 0}}, true);
    lss->CheckPointWithNewId();
    for (int i = 0; i < 8; ++i) run({{i % 4, 3000}}, i % 2 == 0);
    lss->CheckPointWithNewId();
    run({{4, 9000}}, true);
    run({{0, 100}, {1, 100}, {2, 100}, {3, 100}}, false);
    run({{4, 0}, {6, 0}}, true);
    lss->CheckPointWithNewId();
    run({{5, 6000}}, true);
    lss->Close();
    return s;
}

// Opens an image and checks the promise; returns an empty text or what is wrong.
std::string Check(const std::vector<uint8_t>& image, const Script& s, size_t k)
{
    auto d = std::make_shared<SharedBytes>();
    d->m_bytes = image;
    LSS* lss = nullptr;
    try {
        lss = OpenShared(d, ScriptSettings());
    } catch (const IException& e) {
        const xstring m = e.Describe();
        return "open failed: " + std::string(m.data(), m.size());
    }
    State got;
    std::string trouble;
    for (int i = 0; i < kNumSeids && trouble.empty(); ++i) {
        std::vector<uint8_t> b;
        try {
            if (!ReadWhole(lss, SeidOf(i), b)) continue;
        } catch (const IException& e) {
            trouble = "element " + std::to_string(i) + " unreadable";
            break;
        }
        if (b.size() < 12) {
            trouble = "element " + std::to_string(i) + " too short";
            break;
        }
        const int txn = int(LoadU32(b.data()));
        if (txn < 1 || txn >= int(s.states.size()) || b != Content(txn, i, b.size())) {
            trouble = "element " + std::to_string(i) + " holds no version ever written";
            break;
        }
        got[i] = Version{txn, b.size()};
    }
    size_t durable = 0;
    for (size_t t = 0; t < s.durableAt.size(); ++t)
        if (s.durableAt[t] <= k) durable = t + 1;
    int survived = -1;
    if (trouble.empty()) {
        for (size_t n = durable; n < s.states.size(); ++n)
            if (s.states[n] == got) survived = int(n);
        if (survived < 0) trouble = "not the state after any prefix from " + std::to_string(durable) + " transactions";
        else if (lss->GetNumTransactions() != survived)
            trouble = "transaction count " + std::to_string(lss->GetNumTransactions()) + " after " +
                      std::to_string(survived) + " transactions";
    }
    if (!trouble.empty()) {
        lss->Close();
        return trouble;
    }
    // The recovered store goes on working: a flushed write survives a second cut.
    const std::vector<uint8_t> probe = Pattern(700, 5);
    try {
        WriteElement(lss, SeidOf(kNumSeids), probe, true);
    } catch (const IException&) {
        trouble = "write after recovery failed";
    }
    auto again = std::make_shared<SharedBytes>();
    again->m_bytes = d->Copy();
    std::exception_ptr failure;
    if (!lss->CloseReporting(&failure) && trouble.empty()) trouble = "close after recovery not clean";
    if (!trouble.empty()) return trouble;
    try {
        lss = OpenShared(again, ScriptSettings());
    } catch (const IException& e) {
        const xstring m = e.Describe();
        return "second open failed: " + std::string(m.data(), m.size());
    }
    std::vector<uint8_t> b;
    if (!ReadWhole(lss, SeidOf(kNumSeids), b) || b != probe) trouble = "write after recovery lost in a second cut";
    for (int i = 0; i < kNumSeids && trouble.empty(); ++i)
        if (got[i].txn >= 0 && !ReadWhole(lss, SeidOf(i), b)) trouble = "element lost in a second cut";
    lss->Close();
    return trouble;
}

} // namespace

TEST(LssCrashPoint, EveryPrefixOfTheWritesRecovers)
{
    auto log = std::make_shared<CrashLog>();
    const Script s = Record(log);
    ASSERT_EQ(s.states.size(), 28u);
    // The last image is the cleanly closed store.
    ExpectEveryCrashImageRecovers(*log, 10,
                                  [&](const std::vector<uint8_t>& image, size_t n) { return Check(image, s, n); });
}
