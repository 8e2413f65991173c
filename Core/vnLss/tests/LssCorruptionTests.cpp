// Damaged store images. Every case states what the open of its image gives: a refusal
// with vorn::CorruptLSSException (vorn::DeserialisationException for a bad schema
// number) that leaves the file as it was, or a store that reads exactly the elements of
// one of the commits, or one whose reads report the damage a given number of times, or
// (for re-sealed changes that no check of the stored form can see) one that reads
// without crashing. An opened store also tells its figures, takes a write and closes. The images are small stores with 4096-byte
// segments: one closed cleanly, one copied after its last flushed transaction while
// the store was still open (as a crash would leave it).
#include "CrashRAS.h"
#include "LssStoreTestUtil.h"
#include "vnLss/LssLayout.h"
#include "vnLss/RootBlock.h"
#include "vnUtils/Trace.h"
#include <gtest/gtest.h>
#include <climits>
#include <fstream>
#include <iterator>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <typeinfo>
#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

std::string Text(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

constexpr int32_t kSeg = 4096;
using Bytes = std::vector<uint8_t>;

const Seid kA(0x01010101u, 0x05050505u);
const Seid kB(0x01010102u, 0x05050505u);
const Seid kC(0x01010103u, 0x05050505u);
const Seid kD(0x01010104u, 0x05050505u);
const Seid kE(0x01010105u, 0x05050505u);
const Seid kProbe(0x01010106u, 0x05050505u); // written after a successful open
const Seid kAll[] = {kA, kB, kC, kD, kE};

// One store image with what a correct open must find in it.
struct Image {
    Bytes bytes;
    std::map<Seid, Bytes> expected;            // elements present after a correct open
    std::map<Seid, std::vector<Bytes>> versions; // every content ever committed
    std::vector<std::map<Seid, Bytes>> states;   // the elements after 0, 1, .. commits
};

void Commit(LSS* lss, Image& img, std::initializer_list<std::pair<Seid, Bytes>> writes, const Seid* del = nullptr)
{
    ILssTransaction* t = lss->OpenTransaction();
    for (const auto& [s, v] : writes) {
        ICloseableOutputStream* w = t->WriteSerialElement(s.m_low, s.m_high);
        w->WriteStream(v.data(), ssize_t(v.size()));
        w->Close();
        img.expected[s] = v;
        img.versions[s].push_back(v);
    }
    if (del) {
        t->DeleteSerialElement(del->m_low, del->m_high);
        img.expected.erase(*del);
    }
    t->FlushWhenClose();
    t->Close();
    img.states.push_back(img.expected);
}

// The same history for both images: two transactions, a check point, three more
// (a new version, a delete, a three-segment element).
Image Build(bool clean)
{
    Image img;
    img.states.push_back({});
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    Commit(lss, img, {{kA, Pattern(100, 1)}, {kB, Pattern(1500, 2)}});
    Commit(lss, img, {{kC, Pattern(9000, 3)}});
    lss->CheckPointWithNewId();
    Commit(lss, img, {{kA, Pattern(200, 4)}, {kD, Pattern(50, 5)}});
    Commit(lss, img, {}, &kB);
    Commit(lss, img, {{kE, Pattern(5000, 6)}});
    if (!clean) img.bytes = d->Copy();
    lss->Close();
    if (clean) img.bytes = d->Copy();
    return img;
}

const Image& CleanImage()
{
    static const Image img = Build(true);
    return img;
}
const Image& UncleanImage()
{
    static const Image img = Build(false);
    return img;
}

// ---------------------------------------------------------------------------------
// Where things are in an image

struct Unit {
    int32_t m_seg;
    int64_t m_offset;      // in the segment
    size_t m_file;         // file offset of the header
    FlushUnitHeader m_header;
    std::vector<size_t> m_packets; // file offsets of packet records
    std::vector<size_t> m_txns;    // file offsets of transaction records
    std::vector<size_t> m_deletes; // file offsets of delete records
};

struct Layout {
    size_t m_division = 0; // file offset of the current division
    size_t m_other = 0;    // the other division
    size_t m_sut = 0;      // file offset of the SUT image
    size_t m_sutValues = 0;
    int32_t m_sutCount = 0;
    size_t m_rpm = 0;      // file offset of the RPM image
    size_t m_usedEntry = 0; // file offset of the root's first entry in use
    size_t m_tail = 0;     // file offset of the check-point position (fields 5..9)
    size_t m_endMarker = 0;
    int32_t m_cpSeg = 0;
    int32_t m_cpOffset = 0;
    Guid m_cpid{};
    std::vector<Unit> m_before; // units of the check-point segment before the position
    std::vector<Unit> m_after;  // units of the log after the check point
};

size_t SegFile(int32_t seg) { return size_t(SegmentOffset(seg, kSeg)); }

void CollectRecords(const Bytes& b, Unit& u)
{
    const size_t start = u.m_file + kFlushUnitHeaderSize;
    const size_t end = start + size_t(u.m_header.m_size);
    size_t p = start;
    while (p < end) {
        switch (b[p] & 3) {
        case LR_PACKET: {
            u.m_packets.push_back(p);
            const int32_t len = int32_t(LoadU32(&b[p + 9]));
            p += size_t(kPacketHeaderBytes) + size_t(len) + ((b[p] & PF_HAS_NEXT) ? kNextSeidBytes : 0);
            break;
        }
        case LR_DELETE: u.m_deletes.push_back(p); p += kDeleteRecordSize; break;
        case LR_TXN_MARK: p += 1; break;
        default: u.m_txns.push_back(p); p += kTransactionRecordSize; break;
        }
    }
}

Unit MakeUnit(const Bytes& b, int32_t seg, int64_t off)
{
    Unit u;
    u.m_seg = seg;
    u.m_offset = off;
    u.m_file = SegFile(seg) + size_t(off);
    u.m_header = DecodeFlushUnitHeader(&b[u.m_file]);
    CollectRecords(b, u);
    return u;
}

// The image ends where the last write ended; the walks read whole segments.
Layout Locate(const Bytes& image)
{
    Bytes b = image;
    if (b.size() > size_t(kLssRootBlockSize)) b.resize(SegFile(int32_t((b.size() - kLssRootBlockSize + kSeg - 1) / kSeg) + 1));
    Layout L;
    const bool aValid = RootBlock::DivisionIsValid(&b[kDivisionAOffset], false);
    const bool bValid = RootBlock::DivisionIsValid(&b[kDivisionBOffset], true);
    bool useB = bValid;
    if (aValid && bValid)
        useB = LoadU32(&b[kDivisionBOffset + 4]) > LoadU32(&b[kDivisionAOffset + 4]);
    L.m_division = useB ? kDivisionBOffset : kDivisionAOffset;
    L.m_other = useB ? kDivisionAOffset : kDivisionBOffset;
    const size_t payload = L.m_division + kDivisionPayloadOffset;
    L.m_sut = payload + 4 + 13 + 4;
    L.m_sutCount = int32_t(LoadU32(&b[L.m_sut + 13 + 4]));
    L.m_sutValues = L.m_sut + 13 + 8;
    L.m_rpm = L.m_sutValues + size_t(L.m_sutCount) * 4;
    static const uint8_t kEnd[15] = {11, 0, 0, 0, 'L', 'S', 'S', '-', 'E', 'N', 'D', '-', 'D', 'I', 'V'};
    for (size_t i = payload; i + 15 <= L.m_division + kDivisionSize; ++i)
        if (std::memcmp(&b[i], kEnd, 15) == 0) {
            L.m_endMarker = i;
            break;
        }
    L.m_tail = L.m_endMarker - 40;
    const uint32_t maxIndex = LoadU32(&b[L.m_rpm + 4]);
    for (uint32_t i = 1; i <= maxIndex && i < 256 && !L.m_usedEntry; ++i)
        if (LoadU32(&b[L.m_rpm + 8 * i]) != 0) L.m_usedEntry = L.m_rpm + 8 * i;
    L.m_cpSeg = int32_t(LoadU32(&b[L.m_tail]));
    L.m_cpOffset = int32_t(LoadU32(&b[L.m_tail + 4]));
    std::memcpy(&L.m_cpid, &b[L.m_tail + 12], 16);

    const uint8_t* s = &b[SegFile(L.m_cpSeg)];
    for (int64_t off = 0; off < L.m_cpOffset && SealedUnitIsValid(s, kSeg, off);) {
        L.m_before.push_back(MakeUnit(b, L.m_cpSeg, off));
        off = NextUnitOffset(off, L.m_before.back().m_header.m_size, kLssSectorSize);
    }
    int32_t seg = L.m_cpSeg;
    int64_t off = L.m_cpOffset;
    if (off >= kSeg && !L.m_before.empty()) {
        seg = L.m_before.back().m_header.m_nextSegId;
        off = 0;
    }
    uint32_t fsn = 1;
    while (seg > 0 && SegFile(seg) + kSeg <= b.size()) {
        const uint8_t* p = &b[SegFile(seg)];
        int32_t next = 0;
        bool any = false;
        while (off < kSeg && SealedUnitIsValid(p, kSeg, off)) {
            const FlushUnitHeader h = DecodeFlushUnitHeader(p + off);
            if (!(h.m_cpid == L.m_cpid) || h.m_fsn != fsn) break;
            L.m_after.push_back(MakeUnit(b, seg, off));
            next = h.m_nextSegId;
            any = true;
            ++fsn;
            off = NextUnitOffset(off, h.m_size, kLssSectorSize);
        }
        if (!any) break;
        seg = next;
        off = 0;
    }
    return L;
}

void ResealDivision(Bytes& b, size_t division) { StoreU32(&b[division], RootBlock::DivisionCrc(&b[division])); }

void ResealUnit(Bytes& b, size_t unit)
{
    const int64_t size = int32_t(LoadU32(&b[unit + 24]));
    const size_t inSeg = (unit - kLssRootBlockSize) % kSeg;
    if (size >= 1 && int64_t(inSeg) + kFlushUnitHeaderSize + size <= kSeg &&
        unit + kFlushUnitHeaderSize + size_t(size) <= b.size())
        StoreU32(&b[unit], ComputeFlushUnitCrc(&b[unit], int32_t(size)));
}

void Put32(Bytes& b, size_t at, uint32_t v) { StoreU32(&b[at], v); }

// The unit holding a file offset (among the units of a layout).
size_t UnitOf(const Layout& L, size_t at)
{
    for (const auto* list : {&L.m_before, &L.m_after})
        for (const Unit& u : *list)
            if (at >= u.m_file && at < u.m_file + kFlushUnitHeaderSize + size_t(u.m_header.m_size)) return u.m_file;
    return 0;
}

// The first unit of a segment that the log after the check point entered, when it
// fills the segment: the log's next unit is in the segment it names.
const Unit& WholeSegmentUnit(const Layout& L)
{
    for (size_t i = 0; i + 1 < L.m_after.size(); ++i)
        if (L.m_after[i].m_offset == 0 && L.m_after[i + 1].m_seg != L.m_after[i].m_seg) return L.m_after[i];
    throw std::out_of_range("no unit fills a segment of the log");
}

// Writes a sealed unit holding one transaction record a sector past the log's end in
// its last segment, with the header of the log's last unit and an fsn 5 further on;
// with otherCpid under a check-point id of no unit.
void PutUnitPastTheEnd(Bytes& b, const Layout& L, bool otherCpid)
{
    const Unit& u = L.m_after.at(L.m_after.size() - 1);
    const size_t end = SegFile(u.m_seg) + size_t(NextUnitOffset(u.m_offset, u.m_header.m_size, kLssSectorSize));
    const size_t at = end + kLssSectorSize;
    const size_t length = kFlushUnitHeaderSize + kTransactionRecordSize;
    if (at + length > SegFile(u.m_seg) + kSeg) throw std::out_of_range("no room after the log");
    if (b.size() < at + kLssSectorSize) b.resize(at + kLssSectorSize, 0);
    std::memcpy(&b[at], &b[u.m_file], kFlushUnitHeaderSize);
    Put32(b, at + 20, u.m_header.m_fsn + 5);
    Put32(b, at + 24, uint32_t(kTransactionRecordSize));
    std::fill_n(b.begin() + long(at + kFlushUnitHeaderSize), kTransactionRecordSize, uint8_t(0));
    b[at + kFlushUnitHeaderSize] = LR_TRANSACTION;
    if (otherCpid) b[at + 8] ^= 0x5A;
    ResealUnit(b, at);
}

// ---------------------------------------------------------------------------------
// Opening a damaged image

enum class Kind { Corrupt, BadSchema, Opened, Other };

struct Outcome {
    Kind m_kind = Kind::Other;
    std::string m_message;
    bool m_intact = true;      // every element as expected, no read failure
    bool m_consistent = true;  // every element read is one of its committed versions
    int m_readFailures = 0;
    std::map<Seid, Bytes> m_found; // what the contiguous reads found
    std::string m_trouble;     // faults that no image may cause
};

// Reads an element through its stream; the stream is closed also when a read throws.
bool ReadStreamed(ILogStructuredStore* lss, Seid s, Bytes& out)
{
    out.clear();
    ICloseableInputStream* in = lss->ReadSerialElement(s);
    if (!in) return false;
    uint8_t buf[700];
    try {
        for (ssize_t n; (n = in->ReadStream(buf, ssize_t(sizeof buf))) > 0;) out.insert(out.end(), buf, buf + n);
    } catch (...) {
        in->Close();
        throw;
    }
    in->Close();
    return true;
}

// Names the exception being handled (called inside a catch block).
std::string Unexpected()
{
    try {
        throw;
    } catch (const ExceptionBase& e) {
        return std::string(typeid(e).name()) + " " + Text(e.GetMessage());
    } catch (const VornException& e) {
        return std::string(typeid(e).name()) + " " + Text(e.GetMessage());
    } catch (const IException& e) {
        return typeid(e).name();
    } catch (const std::exception& e) {
        return std::string(typeid(e).name()) + " " + e.what();
    } catch (...) {
        return "an unknown exception";
    }
}

void CheckElements(ILogStructuredStore* lss, const Image& img, Outcome& o, bool byStream)
{
    for (const Seid& s : kAll) {
        Bytes got;
        bool found = false;
        try {
            found = byStream ? ReadStreamed(lss, s, got) : ReadWhole(lss, s, got);
        } catch (const CorruptLSSException&) {
            ++o.m_readFailures;
            o.m_intact = false;
            continue;
        } catch (const DeserialisationException&) { // a damaged map node's schema
            ++o.m_readFailures;
            o.m_intact = false;
            continue;
        } catch (const std::exception& e) {
            o.m_trouble += std::string(" read threw std::exception ") + e.what();
            continue;
        } catch (...) {
            o.m_trouble += " read threw " + Unexpected();
            continue;
        }
        if (found && !byStream) o.m_found[s] = got;
        const auto want = img.expected.find(s);
        if (found != (want != img.expected.end()) || (found && got != want->second)) o.m_intact = false;
        if (found) {
            bool known = false;
            for (const Bytes& v : img.versions.at(s)) known = known || v == got;
            if (!known) o.m_consistent = false;
        }
    }
}

void Exercise(ILogStructuredStore* lss, const Image& img, Outcome& o)
{
    CheckElements(lss, img, o, false);
    CheckElements(lss, img, o, true);
    try {
        LssStats st;
        lss->GetStats(&st);
    } catch (const CorruptLSSException&) {
        o.m_intact = false;
    } catch (const DeserialisationException&) {
        o.m_intact = false;
    } catch (...) {
        o.m_trouble += " GetStats threw " + Unexpected();
    }
    try {
        WriteElement(lss, kProbe, Pattern(300, 77), true);
    } catch (const CorruptLSSException&) {
        o.m_intact = false;
    } catch (const FileException&) {
        o.m_intact = false;
    } catch (const DeserialisationException&) {
        o.m_intact = false;
    } catch (...) {
        o.m_trouble += " a write threw " + Unexpected();
    }
}

Outcome Open(const Bytes& bytes, const Image& img, bool reopen = false)
{
    Outcome o;
    auto d = std::make_shared<SharedBytes>();
    d->m_bytes = bytes;
    LSS* lss = nullptr;
    try {
        lss = OpenShared(d, SmallSettings(kSeg));
    } catch (const CorruptLSSException& e) {
        o.m_kind = Kind::Corrupt;
        o.m_message = Text(e.GetMessage());
        if (d->Copy() != bytes) o.m_trouble = "the refused file was changed";
        return o;
    } catch (const DeserialisationException& e) {
        o.m_kind = Kind::BadSchema;
        o.m_message = Text(e.GetMessage());
        if (d->Copy() != bytes) o.m_trouble = "the refused file was changed";
        return o;
    } catch (const ProgrammingErrorException& e) {
        o.m_trouble = std::string("open threw ProgrammingErrorException ") + Text(e.GetMessage());
        return o;
    } catch (const std::exception& e) {
        o.m_trouble = std::string("open threw std::exception ") + e.what();
        return o;
    } catch (...) {
        o.m_trouble = "open threw " + Unexpected();
        return o;
    }
    o.m_kind = Kind::Opened;
    Exercise(lss, img, o);
    const bool clean = lss->CloseReporting(nullptr);
    if (!clean) o.m_intact = false;
    if (reopen && o.m_intact) {
        // What the recovered store wrote opens again with the same elements and the probe.
        Image next = img;
        next.expected[kProbe] = Pattern(300, 77);
        next.versions[kProbe] = {Pattern(300, 77)};
        const Bytes after = d->Copy();
        Outcome again;
        try {
            LSS* r = OpenShared(d, SmallSettings(kSeg));
            CheckElements(r, next, again, false);
            r->Close();
        } catch (...) {
            again.m_intact = false;
        }
        if (!again.m_intact) o.m_trouble += " the store did not reopen intact after its recovery and a write";
    }
    return o;
}

std::string Describe(const Outcome& o)
{
    switch (o.m_kind) {
    case Kind::Corrupt: return "CorruptLSSException: " + o.m_message;
    case Kind::BadSchema: return "DeserialisationException: " + o.m_message;
    case Kind::Opened:
        return std::string("opened") + (o.m_intact ? " intact" : "") + (o.m_consistent ? " consistent" : " INCONSISTENT") +
               " readFailures=" + std::to_string(o.m_readFailures);
    default: return "other: " + o.m_trouble;
    }
}

// What a case demands of the open.
enum class Expect {
    Refused,    // CorruptLSSException (with the message part when given)
    BadSchema,  // DeserialisationException (with the message part when given)
    Intact,     // opens and reads exactly the expected elements, reopens after a write
    AsAfter,    // opens and reads exactly the elements after m_arg commits, no read fails
    Damaged,    // opens; m_arg reads report the damage, every other read is right
    Undetected, // opens and reads without crashing, though what it reads may differ: the
                // damage (re-sealed) is one no check of the stored form can see
};

struct Want {
    Expect m_expect;
    int m_arg = 0;
    const char* m_message = nullptr;
};
constexpr Want kRefused{Expect::Refused};
constexpr Want kBadSchema{Expect::BadSchema};
constexpr Want kIntact{Expect::Intact};
constexpr Want kUndetected{Expect::Undetected};
constexpr Want After(int commits) { return {Expect::AsAfter, commits}; }
constexpr Want Damaged(int failures) { return {Expect::Damaged, failures}; }

struct Case {
    std::string m_name;
    bool m_unclean;
    std::function<void(Bytes&, const Layout&)> m_mutate;
    Expect m_expect;
    const char* m_message = nullptr;
    int m_arg = 0;
};

Case MakeCase(std::string name, bool unclean, std::function<void(Bytes&, const Layout&)> mutate, Want want)
{
    return {std::move(name), unclean, std::move(mutate), want.m_expect, want.m_message, want.m_arg};
}

void RunCases(const std::vector<Case>& cases)
{
    size_t index = 0;
    for (const Case& c : cases) {
        // Under ThreadSanitizer (these opens have no threads of their own to race) every
        // third case; the other builds run them all.
        if (kUnderThreadSanitizer && index++ % 3 != 0) continue;
        SCOPED_TRACE(c.m_name + (c.m_unclean ? " (unclean)" : " (clean)"));
        const Image& img = c.m_unclean ? UncleanImage() : CleanImage();
        Bytes b = img.bytes;
        const Layout L = Locate(b);
        try {
            c.m_mutate(b, L);
        } catch (const std::out_of_range&) {
            ADD_FAILURE() << "the image lacks the place to damage";
            continue;
        }
        const Outcome o = Open(b, img, c.m_expect == Expect::Intact);
        EXPECT_EQ(o.m_trouble, "") << Describe(o);
        switch (c.m_expect) {
        case Expect::Refused:
            EXPECT_EQ(o.m_kind, Kind::Corrupt) << Describe(o);
            break;
        case Expect::BadSchema:
            EXPECT_EQ(o.m_kind, Kind::BadSchema) << Describe(o);
            break;
        case Expect::Intact:
            EXPECT_TRUE(o.m_kind == Kind::Opened && o.m_intact) << Describe(o);
            break;
        case Expect::AsAfter:
            EXPECT_TRUE(o.m_kind == Kind::Opened && o.m_readFailures == 0 && o.m_found == img.states.at(size_t(c.m_arg)))
                << Describe(o) << " (expected the elements after " << c.m_arg << " commits)";
            break;
        case Expect::Damaged:
            EXPECT_TRUE(o.m_kind == Kind::Opened && o.m_consistent && o.m_readFailures == c.m_arg) << Describe(o);
            break;
        case Expect::Undetected:
            EXPECT_EQ(o.m_kind, Kind::Opened) << Describe(o);
            break;
        }
        if (c.m_message && (o.m_kind == Kind::Corrupt || o.m_kind == Kind::BadSchema)) {
            EXPECT_NE(o.m_message.find(c.m_message), std::string::npos) << o.m_message;
        }
    }
}

} // namespace

// The images themselves: the clean one opens as it was closed, the unclean one with
// every flushed transaction; the layout the other tests damage is where they expect.
TEST(LssCorruption, UndamagedImagesOpenIntact)
{
    for (bool unclean : {false, true}) {
        SCOPED_TRACE(unclean);
        const Image& img = unclean ? UncleanImage() : CleanImage();
        const Layout L = Locate(img.bytes);
        ASSERT_NE(L.m_endMarker, 0u);
        EXPECT_NE(L.m_usedEntry, 0u);
        EXPECT_EQ(L.m_rpm + 8 + 8 * LoadU32(&img.bytes[L.m_rpm + 4]) + 12, L.m_tail);
        EXPECT_GE(L.m_cpSeg, 1);
        EXPECT_FALSE(L.m_before.empty());
        if (unclean) {
            EXPECT_GE(L.m_after.size(), 3u);
            EXPECT_EQ(img.bytes[kGracefulShutdownOffset], 0);
        } else {
            EXPECT_EQ(img.bytes[kGracefulShutdownOffset], 1);
        }
        const Outcome o = Open(img.bytes, img, true);
        EXPECT_EQ(o.m_trouble, "");
        EXPECT_TRUE(o.m_kind == Kind::Opened && o.m_intact) << Describe(o);
    }
}

TEST(LssCorruption, DamagedHeaderIsRefusedOrHarmless)
{
    const auto at = [](size_t off, uint32_t v) { return [=](Bytes& b, const Layout&) { Put32(b, off, v); }; };
    const auto byte = [](size_t off, uint8_t v) { return [=](Bytes& b, const Layout&) { b[off] = v; }; };
    RunCases({
        {"magic first byte", false, byte(0, 'W'), Expect::Refused, "A valid LSS must contain 'VORNHAL-LSS'"},
        {"magic zero byte", false, byte(11, 'X'), Expect::Refused, "A valid LSS must contain 'VORNHAL-LSS'"},
        {"schema 3", false, at(12, 3), Expect::Refused, "LSS root block schema [3] invalid. Required schema [2]"},
        {"schema -1", true, at(12, 0xFFFFFFFFu), Expect::Refused, "LSS root block schema [-1]"},
        {"header size", false, at(16, 1024), Expect::Refused, "incompatible root block header size"},
        {"block size", true, at(20, 65537), Expect::Refused, "incompatible root block header size"},
        {"sector size", false, at(28, 4096), Expect::Refused, "incompatible disk sector size"},
        {"sector size 0", true, at(28, 0), Expect::Refused, "incompatible disk sector size"},
        {"segment size 0", false, at(24, 0), Expect::Refused},
        {"segment size -4096", true, at(24, uint32_t(-4096)), Expect::Refused},
        {"segment size not a sector multiple", false, at(24, 4097), Expect::Refused},
        {"segment size 2048", false, at(24, 2048), Expect::Refused},
        {"segment size huge", true, at(24, 0x40000000), Expect::Refused},
        {"segment size 8192", false, at(24, 8192), Expect::Refused},
        {"segment size 8192", true, at(24, 8192), Expect::Refused},
        {"segment size 512 kB", true, at(24, 0x80000), Expect::Refused},
        {"clean byte cleared", false, byte(1024, 0), Expect::Intact},
        {"clean byte 2", false, byte(1024, 2), Expect::Intact},
        // A crashed store that claims a clean shutdown resumes at its last check point.
        {"clean byte set", true, byte(1024, 1), Expect::AsAfter, nullptr, 2},
        {"file too small", false, [](Bytes& b, const Layout&) { b.resize(65535); }, Expect::Refused,
         "File too small - cannot read LSS root block"},
        {"root block only", false, [](Bytes& b, const Layout&) { b.resize(65536); }, Expect::Refused},
        {"root block only", true, [](Bytes& b, const Layout&) { b.resize(65536); }, Expect::Refused},
        {"cut inside the check-point segment", true,
         [](Bytes& b, const Layout& L) { b.resize(SegFile(L.m_cpSeg) + 1000); }, Expect::Refused},
        {"cut after the check-point segment", true,
         [](Bytes& b, const Layout& L) { b.resize(SegFile(L.m_cpSeg) + kSeg); }, Expect::AsAfter, nullptr, 2},
        // Data beyond the root block: not a creation cut off before its first check point.
        {"both divisions zero", false,
         [](Bytes& b, const Layout&) { std::fill(b.begin() + 2048, b.begin() + 65536, 0); }, Expect::Refused,
         "LSS is corrupt : Both divisions in root block are invalid"},
        {"both divisions zero", true,
         [](Bytes& b, const Layout&) { std::fill(b.begin() + 2048, b.begin() + 65536, 0); }, Expect::Refused,
         "LSS is corrupt : Both divisions in root block are invalid"},
    });
}

TEST(LssCorruption, DamagedDivisionIsRefusedOrFallsBack)
{
    // Writes v at the offset that pick() finds and re-seals the current division.
    const auto sealed = [](std::function<size_t(const Layout&)> pick, uint32_t v) {
        return [=](Bytes& b, const Layout& L) {
            Put32(b, pick(L), v);
            ResealDivision(b, L.m_division);
        };
    };
    const auto fld = [](size_t rel) { return [=](const Layout& L) { return L.m_division + rel; }; };
    // Gives the current division top or top - 1 (by its slot's parity) and the other
    // division the number before, both re-sealed.
    const auto atMsn = [](uint32_t top) {
        return [=](Bytes& b, const Layout& L) {
            const bool isB = L.m_division == size_t(kDivisionBOffset);
            const uint32_t m = isB ? top : top - 1;
            for (const auto& [at, v] : {std::pair<size_t, uint32_t>{L.m_division, m}, {L.m_other, m - 1}}) {
                Put32(b, at + 4, v);
                Put32(b, at + kDivisionSize - 4, v);
                ResealDivision(b, at);
            }
        };
    };
    const auto sut = [](size_t rel) { return [=](const Layout& L) { return L.m_sut + rel; }; };
    const auto rpm = [](size_t rel) { return [=](const Layout& L) { return L.m_rpm + rel; }; };
    // Field rel (0 segment, 4 offset) of the root's first entry in use.
    const auto entry = [](size_t rel) { return [=](const Layout& L) { return L.m_usedEntry + rel; }; };
    const auto tail = [](size_t rel) { return [=](const Layout& L) { return L.m_tail + rel; }; };
    std::vector<Case> cases = {
        // The store falls back to the older check point; a store that was closed cleanly
        // is then rolled forward through the log the newer one recorded, a crashed one
        // keeps what its log after the older check point holds.
        {"crc of the current division", false, [](Bytes& b, const Layout& L) { b[L.m_division] ^= 1; }, Expect::Intact},
        {"payload byte without a new crc", true, [](Bytes& b, const Layout& L) { b[L.m_tail] ^= 1; }, Expect::AsAfter, nullptr, 2},
        {"both crcs", false,
         [](Bytes& b, const Layout& L) {
             b[L.m_division] ^= 1;
             b[L.m_other] ^= 1;
         },
         Expect::Refused, "LSS is corrupt : Both divisions in root block are invalid"},
        {"msn1 differs from msn2", false, sealed(fld(4), 1000), Expect::Intact},
        {"msn2 differs from msn1", true, sealed(fld(kDivisionSize - 4), 1000), Expect::AsAfter, nullptr, 2},
        {"msn of the wrong parity", false,
         [](Bytes& b, const Layout& L) {
             const uint32_t m = LoadU32(&b[L.m_division + 4]) + 2 + 1;
             Put32(b, L.m_division + 4, m);
             Put32(b, L.m_division + kDivisionSize - 4, m);
             ResealDivision(b, L.m_division);
         },
         Expect::Intact},
        // Sequence numbers at the top of the signed and of the unsigned range (the other
        // division one step behind, as a store that long in use has it): the store opens,
        // its check points go on from there, wrapping past 0xFFFFFFFF, and it reopens.
        {"msn at the top of the signed range", false, atMsn(0x7FFFFFFFu), Expect::Intact},
        {"msn at the top of the signed range", true, atMsn(0x7FFFFFFFu), Expect::Intact},
        {"msn at the top of the unsigned range", false, atMsn(0xFFFFFFFFu), Expect::Intact},
        {"msn at the top of the unsigned range", true, atMsn(0xFFFFFFFFu), Expect::Intact},
        {"begin marker length", false, sealed(fld(8), 12), Expect::Refused,
         "LSS is corrupt : Root block division must begin with string 'LSS-BEGIN-DIV'"},
        {"begin marker length huge", true, sealed(fld(8), 0x7FFFFFFF), Expect::Refused,
         "must begin with string 'LSS-BEGIN-DIV'"},
        {"begin marker text", false,
         [](Bytes& b, const Layout& L) {
             b[L.m_division + 12] = 'X';
             ResealDivision(b, L.m_division);
         },
         Expect::Refused, "must begin with string 'LSS-BEGIN-DIV'"},
        {"division schema 5", false, sealed(fld(8 + 17), 5), Expect::BadSchema, "Bad schema (5) - should be between 1 and 4"},
        {"division schema 0", true, sealed(fld(8 + 17), 0), Expect::BadSchema, "Bad schema (0) - should be between 1 and 4"},
        {"division schema 2", false, sealed(fld(8 + 17), 2), Expect::Refused, "LSS schema 2,3 no longer supported"},
        {"division schema 3", true, sealed(fld(8 + 17), 3), Expect::Refused, "LSS schema 2,3 no longer supported"},
        {"division schema 1 with schema 4 fields", false, sealed(fld(8 + 17), 1), Expect::Refused,
         "must end with string 'LSS-END-DIV'"},
        {"SUT schema", false, sealed(sut(0), 2), Expect::BadSchema},
        {"SUT total", true, sealed(sut(4), 12345), Expect::Refused},
        {"SUT total negative", false, sealed(sut(8), 0x80000000u), Expect::Refused},
        {"SUT form 2", false, [](Bytes& b, const Layout& L) { b[L.m_sut + 12] = 2; ResealDivision(b, L.m_division); },
         Expect::Refused},
        {"SUT large form", true, [](Bytes& b, const Layout& L) { b[L.m_sut + 12] = 0; ResealDivision(b, L.m_division); },
         Expect::Refused},
        {"SUT table schema", false, sealed(sut(13), 7), Expect::BadSchema},
        {"SUT count huge", false, sealed(sut(17), 0x7FFFFFFF), Expect::Refused},
        {"SUT count negative", true, sealed(sut(17), 0xFFFFFFFFu), Expect::Refused},
        {"SUT count 0", false, sealed(sut(17), 0), Expect::Refused},
        {"SUT count one less", true,
         [](Bytes& b, const Layout& L) {
             Put32(b, L.m_sut + 17, uint32_t(L.m_sutCount - 1));
             ResealDivision(b, L.m_division);
         },
         Expect::BadSchema},
        {"SUT count one more", false,
         [](Bytes& b, const Layout& L) {
             Put32(b, L.m_sut + 17, uint32_t(L.m_sutCount + 1));
             ResealDivision(b, L.m_division);
         },
         Expect::Refused},
        {"SUT value over the segment size", false, sealed(sut(21 + 4), 5000), Expect::Refused},
        {"SUT value negative", true, sealed(sut(21 + 8), uint32_t(-5)), Expect::Refused},
        {"RPM schema", false, sealed(rpm(0), 9), Expect::BadSchema},
        {"RPM entry count over 255", true, sealed(rpm(4), 300), Expect::Refused},
        {"RPM entry count negative", false, sealed(rpm(4), uint32_t(-1)), Expect::Refused},
        {"RPM entry count 0", false, sealed(rpm(4), 0), Expect::Refused},
        {"RPM entry segment beyond the store", false, sealed(entry(0), 9999), Expect::Refused},
        {"RPM entry segment negative", true, sealed(entry(0), uint32_t(-3)), Expect::Refused},
        {"RPM entry segment + 1", false,
         [](Bytes& b, const Layout& L) {
             Put32(b, L.m_usedEntry, LoadU32(&b[L.m_usedEntry]) + 1);
             ResealDivision(b, L.m_division);
         },
         Expect::Damaged, nullptr, 10},
        {"RPM entry offset odd", false, sealed(entry(4), 3), Expect::Damaged, nullptr, 10},
        {"RPM entry offset past the segment", true, sealed(entry(4), kSeg + 512), Expect::Refused},
        {"RPM entry offset at the segment end", true, sealed(entry(4), kSeg - 13), Expect::Refused},
        {"RPM entry offset 0", false, sealed(entry(4), 0), Expect::Damaged, nullptr, 10},
        {"RPM entry offset negative", false, sealed(entry(4), uint32_t(-13)), Expect::Refused},
        {"RPM entry segment 0", true, sealed(entry(0), 0), Expect::Undetected},
        {"RPM next node", false, sealed([](const Layout& L) { return L.m_tail - 12; }, 0xFFFFFFFFu), Expect::AsAfter, nullptr, 5},
        {"RPM allocations", true, sealed([](const Layout& L) { return L.m_tail - 8; }, 0x80000000u), Expect::AsAfter, nullptr, 5},
        {"RPM seid high counter", false, sealed([](const Layout& L) { return L.m_tail - 4; }, 0), Expect::Refused},
        {"check-point segment 0", false, sealed(tail(0), 0), Expect::Refused, "LSS is corrupt : Check point position bad"},
        {"check-point segment negative", true, sealed(tail(0), uint32_t(-1)), Expect::Refused},
        {"check-point segment beyond the store", false, sealed(tail(0), 5000), Expect::Refused},
        {"check-point segment huge", true, sealed(tail(0), 0x7FFFFFFF), Expect::Refused},
        {"check-point offset odd", false, sealed(tail(4), 3), Expect::Refused},
        {"check-point offset negative", true, sealed(tail(4), uint32_t(-512)), Expect::Refused},
        {"check-point offset past the segment", false, sealed(tail(4), kSeg + 512), Expect::Refused},
        {"check-point offset at the segment end", true, sealed(tail(4), kSeg), Expect::AsAfter, nullptr, 5},
        {"check-point offset one sector early", false,
         [](Bytes& b, const Layout& L) {
             Put32(b, L.m_tail + 4, uint32_t(L.m_cpOffset - 512));
             ResealDivision(b, L.m_division);
         },
         Expect::Refused},
        {"check-point offset one sector late", true,
         [](Bytes& b, const Layout& L) {
             Put32(b, L.m_tail + 4, uint32_t(L.m_cpOffset + 512));
             ResealDivision(b, L.m_division);
         },
         Expect::Refused},
        {"check-point offset 0", false, sealed(tail(4), 0), Expect::Damaged, nullptr, 10},
        {"check point in another segment", true,
         [](Bytes& b, const Layout& L) {
             Put32(b, L.m_tail, uint32_t(L.m_cpSeg == 1 ? 2 : 1));
             ResealDivision(b, L.m_division);
         },
         Expect::Damaged, nullptr, 2},
        {"mssn highest", true, sealed(tail(8), 0x7FFFFFFF), Expect::AsAfter, nullptr, 5},
        {"mssn highest", false, sealed(tail(8), 0x7FFFFFFF), Expect::Intact},
        {"mssn negative", true, sealed(tail(8), 0x80000000u), Expect::AsAfter, nullptr, 5},
        {"cpid of no unit", false,
         [](Bytes& b, const Layout& L) {
             b[L.m_tail + 12] ^= 0x5A;
             ResealDivision(b, L.m_division);
         },
         Expect::Intact},
        // The crashed store then finds no unit of its check point: the flushed
        // transactions after it are lost, the state at the check point remains.
        {"cpid of no unit", true,
         [](Bytes& b, const Layout& L) {
             b[L.m_tail + 12] ^= 0x5A;
             ResealDivision(b, L.m_division);
         },
         Expect::AsAfter, nullptr, 2},
        {"cpid of a unit before the check point", false,
         [](Bytes& b, const Layout& L) {
             std::memcpy(&b[L.m_tail + 12], &L.m_before.front().m_header.m_cpid, 16);
             ResealDivision(b, L.m_division);
         },
         Expect::Refused, "Bad flush unit(s) in the segment containing the last valid check point"},
        {"transaction count highest", true,
         [](Bytes& b, const Layout& L) {
             StoreI64(&b[L.m_tail + 28], INT64_MAX);
             ResealDivision(b, L.m_division);
         },
         Expect::AsAfter, nullptr, 5},
        {"transaction count highest", false,
         [](Bytes& b, const Layout& L) {
             StoreI64(&b[L.m_tail + 28], INT64_MAX);
             ResealDivision(b, L.m_division);
         },
         Expect::AsAfter, nullptr, 5},
        {"transaction count negative", false,
         [](Bytes& b, const Layout& L) {
             StoreI64(&b[L.m_tail + 28], -5);
             ResealDivision(b, L.m_division);
         },
         Expect::AsAfter, nullptr, 5},
        {"check-point count highest", false, sealed(tail(36), 0x7FFFFFFF), Expect::AsAfter, nullptr, 5},
        {"check-point count highest", true, sealed(tail(36), 0x7FFFFFFF), Expect::AsAfter, nullptr, 5},
        {"check-point count negative", true, sealed(tail(36), uint32_t(-2)), Expect::AsAfter, nullptr, 5},
        {"end marker length", false, sealed(tail(40), 10), Expect::Refused,
         "LSS is corrupt : Root block division must end with string 'LSS-END-DIV'"},
        {"end marker text", true,
         [](Bytes& b, const Layout& L) {
             b[L.m_endMarker + 14] = 'W';
             ResealDivision(b, L.m_division);
         },
         Expect::Refused, "must end with string 'LSS-END-DIV'"},
        {"other division damaged", false, [](Bytes& b, const Layout& L) { b[L.m_other + 100] ^= 0xFF; }, Expect::Intact},
        {"other division zero", true,
         [](Bytes& b, const Layout& L) {
             std::fill(b.begin() + long(L.m_other), b.begin() + long(L.m_other + kDivisionSize), 0);
         },
         Expect::Intact},
    };
    RunCases(cases);
}

// One flipped bit anywhere in the newest division of a cleanly closed store: the store
// opens from the older check point and rolls forward through the log after it, so it
// reads as it was closed, and what its next check point records (in place of the
// damaged division) reopens the same. When the log after the older check point is
// damaged too, the store is refused and left as it was rather than cut short.
TEST(LssCorruption, DamagedNewestDivisionOfACleanStoreLosesNothing)
{
    const auto flip = [](size_t rel, uint8_t bit) {
        return [=](Bytes& b, const Layout& L) { b[L.m_division + rel] ^= bit; };
    };
    const Layout clean = Locate(CleanImage().bytes);
    const size_t d = clean.m_division;
    std::vector<Case> cases;
    for (size_t rel : {size_t(0), size_t(4), size_t(kDivisionPayloadOffset), clean.m_sut - d + 1, clean.m_rpm - d + 5,
                       clean.m_tail - d, clean.m_tail - d + 12, clean.m_endMarker - d + 7, size_t(20000),
                       size_t(kDivisionSize - 4)})
        cases.push_back(MakeCase("bit at " + std::to_string(rel), false, flip(rel, uint8_t(1u << (rel % 8))), kIntact));
    // Damage in the log after the older check point, found with the newest division out
    // of the way: a unit's CRC, and a unit's check-point id (the units after it go on).
    using PickUnit = std::function<size_t(const Layout&)>;
    const auto alsoUnit = [](PickUnit unit, size_t field) {
        return [=](Bytes& b, const Layout& L) {
            b[L.m_division] ^= 1;
            const Layout older = Locate(b);
            b[unit(older) + field] ^= 0x10;
        };
    };
    const PickUnit first = [](const Layout& L) { return L.m_after.at(0).m_file; };
    const PickUnit second = [](const Layout& L) { return L.m_after.at(1).m_file; };
    const PickUnit last = [](const Layout& L) { return L.m_after.at(L.m_after.size() - 1).m_file; };
    const Want damagedLog{Expect::Refused, 0, "LSS is corrupt : The log after the last valid check point is damaged"};
    cases.push_back(MakeCase("and the crc of the first unit after the older check point", false, alsoUnit(first, 0), damagedLog));
    cases.push_back(MakeCase("and the crc of the second unit after it", false, alsoUnit(second, 0), damagedLog));
    cases.push_back(MakeCase("and the crc of the last unit after it", false, alsoUnit(last, 0), damagedLog));
    cases.push_back(MakeCase("and the cpid of the first unit after it", false, alsoUnit(first, 8), damagedLog));
    // The last unit of that log damaged in one identifying field: the two others still
    // name it as the log's own, so the log is not shown whole.
    cases.push_back(MakeCase("and the cpid of the last unit after it", false, alsoUnit(last, 8), damagedLog));
    cases.push_back(MakeCase("and the fsn of the last unit after it", false, alsoUnit(last, 20), damagedLog));
    cases.push_back(MakeCase("and the next segment of the last unit after it", false, alsoUnit(last, 28), damagedLog));
    // Past the end of that log, a sealed unit of another check point with a later
    // number: it does not continue the log.
    for (const bool other : {true, false})
        cases.push_back(MakeCase(other ? "and a unit of another check point past its end" : "and a unit of its log past its end",
                                 false,
                                 [other](Bytes& b, const Layout& L) {
                                     b[L.m_division] ^= 1;
                                     PutUnitPastTheEnd(b, Locate(b), other);
                                 },
                                 other ? kIntact : damagedLog));
    // Damage that no longer lets the newest division show its msn: both copies changed
    // alike to an older number, or its CRC and msn1 zeroed.
    cases.push_back(MakeCase("both msn copies alike to an older msn", false,
                             [](Bytes& b, const Layout& L) {
                                 const uint32_t older = LoadU32(&b[L.m_other + 4]) - 1;
                                 Put32(b, L.m_division + 4, older);
                                 Put32(b, L.m_division + kDivisionSize - 4, older);
                             },
                             kIntact));
    cases.push_back(MakeCase("crc and msn1 zero", false,
                             [](Bytes& b, const Layout& L) { std::fill_n(b.begin() + long(L.m_division), 8, 0); }, kIntact));
    // Past the end of the log after the older check point, a sector further on, a unit
    // header of that log with a later fsn whose CRC fails: bytes that prove nothing.
    cases.push_back(MakeCase("and an unsealed unit of its log past its end", false,
                             [](Bytes& b, const Layout& L) {
                                 b[L.m_division] ^= 1;
                                 const Layout older = Locate(b);
                                 const Unit& u = older.m_after.at(older.m_after.size() - 1);
                                 const size_t end = SegFile(u.m_seg) +
                                                    size_t(NextUnitOffset(u.m_offset, u.m_header.m_size, kLssSectorSize));
                                 const size_t at = end + kLssSectorSize;
                                 if (at + kFlushUnitHeaderSize > SegFile(u.m_seg) + kSeg)
                                     throw std::out_of_range("no room after the log");
                                 if (b.size() < at + kLssSectorSize) b.resize(at + kLssSectorSize, 0);
                                 std::memcpy(&b[at], &b[u.m_file], kFlushUnitHeaderSize);
                                 Put32(b, at + 20, u.m_header.m_fsn + 5);
                                 Put32(b, at, LoadU32(&b[at]) ^ 1);
                             },
                             kIntact));
    RunCases(cases);
}

// A store recovered from a crash that tore one unit of its log, then closed cleanly:
// with a bit of its newest division flipped it opens with exactly what the recovery
// kept, from the older check point's log, and the open writes a sound division in place
// of the damaged one (after the recovery that kept nothing too, when the map is as the
// older division has it).
TEST(LssCorruption, DamagedNewestDivisionOfARecoveredStoreKeepsWhatTheRecoveryKept)
{
    auto log = std::make_shared<CrashLog>();
    Image life;
    life.states.push_back({});
    LSS* lss = LSS::OpenOnStorage(new CrashRAS(log), nullptr, nullptr, false, SmallSettings(kSeg));
    Commit(lss, life, {{kA, Pattern(100, 1)}});
    lss->CheckPointWithNewId();
    const size_t fromOp = log->NumOps();
    Commit(lss, life, {{kB, Pattern(1500, 2)}});
    Commit(lss, life, {{kC, Pattern(1500, 3)}});
    Commit(lss, life, {{kD, Pattern(1500, 4)}});
    std::vector<CrashOp> ops;
    {
        std::lock_guard<std::mutex> l(log->m_lock);
        ops = log->m_ops;
    }
    lss->Close();

    const auto readAll = [](LSS* s) {
        std::map<Seid, Bytes> found;
        for (const Seid& id : kAll) {
            Bytes v;
            if (ReadWhole(s, id, v)) found[id] = v;
        }
        return found;
    };
    int images = 0;
    std::vector<uint8_t> image;
    for (size_t k = 0; k < ops.size(); ++k) {
        const CrashOp& op = ops[k];
        const size_t sectors = op.m_bytes.size() / kLssSectorSize;
        if (k >= fromOp && op.m_kind == CrashOp::kWrite && op.m_offset >= uint64_t(kLssRootBlockSize) && sectors > 1) {
            for (size_t keep = 1; keep < sectors; ++keep) {
                SCOPED_TRACE("op " + std::to_string(k) + " torn after " + std::to_string(keep) + " sectors");
                auto d = std::make_shared<SharedBytes>();
                d->m_bytes = image;
                CrashLog::Apply(d->m_bytes, op, keep * kLssSectorSize);
                LSS* r = OpenShared(d, SmallSettings(kSeg));
                const std::map<Seid, Bytes> kept = readAll(r);
                r->Close();
                ASSERT_GE(kept.size(), 1u);
                const Bytes recovered = d->Copy();
                const Layout L = Locate(recovered);
                for (const size_t rel : {size_t(0), size_t(4), size_t(100), L.m_tail - L.m_division + 12,
                                         size_t(kDivisionSize - 4)}) {
                    SCOPED_TRACE("bit at " + std::to_string(rel));
                    ++images;
                    auto bad = std::make_shared<SharedBytes>();
                    bad->m_bytes = recovered;
                    bad->m_bytes[L.m_division + rel] ^= uint8_t(1u << (rel % 8));
                    try {
                        LSS* again = OpenShared(bad, SmallSettings(kSeg));
                        EXPECT_EQ(readAll(again), kept);
                        again->Close();
                    } catch (const CorruptLSSException& e) {
                        ADD_FAILURE() << "refused: " << Text(e.GetMessage());
                        continue;
                    }
                    const Bytes after = bad->Copy();
                    EXPECT_TRUE(RootBlock::DivisionIsValid(&after[kDivisionAOffset], false) &&
                                RootBlock::DivisionIsValid(&after[kDivisionBOffset], true))
                        << "the damaged division was left in place";
                }
            }
        }
        CrashLog::Apply(image, op);
    }
    EXPECT_GE(images, 3 * 5); // each commit's unit torn at least once
}

// A power cut at any point of the open that recovers past a damaged newest division,
// or of the session after it, leaves a store that opens with every element: until its
// new division is committed the older one still leads, and the clean-shutdown byte is
// cleared before anything else is written.
TEST(LssCorruption, PowerCutWhileRecoveringPastADamagedDivisionLosesNothing)
{
    const Image& img = CleanImage();
    Bytes damaged = img.bytes;
    damaged[Locate(img.bytes).m_division + 100] ^= 0x01;
    auto log = std::make_shared<CrashLog>();
    log->m_bytes = damaged;
    LSS* lss = LSS::OpenOnStorage(new CrashRAS(log), nullptr, nullptr, false, SmallSettings(kSeg));
    WriteElement(lss, kProbe, Pattern(300, 77), true);
    lss->Close();

    std::vector<CrashOp> ops = {{CrashOp::kWrite, 0, damaged}};
    ops.insert(ops.end(), log->m_ops.begin(), log->m_ops.end());
    const auto [failures, torn] = ForEachCrashImage(ops, 1, [&](const Bytes& image, size_t n) -> std::string {
        if (n == 0) return ""; // the damaged image itself is not written yet
        auto d = std::make_shared<SharedBytes>();
        d->m_bytes = image;
        Outcome o;
        try {
            LSS* r = OpenShared(d, SmallSettings(kSeg));
            CheckElements(r, img, o, false);
            Bytes probe;
            if (ReadWhole(r, kProbe, probe) && probe != Pattern(300, 77)) o.m_intact = false;
            r->Close();
        } catch (...) {
            return "open threw " + Unexpected();
        }
        return o.m_intact ? "" : "elements lost";
    });
    EXPECT_EQ(failures, 0);
    EXPECT_GT(torn, 0u);
}

// Only a division that may be newer than the one opened makes the clean-shutdown byte
// untrusted. The other division shows that it is the older only when it was never
// written (all zero) or when its CRC matches and its two msn copies agree on an older
// number: a clean store then opens without a recovery scan and keeps its start sequence
// number. Anything else in it is believed in nothing, whatever its msn copies say, and
// the store is recovered through its log and counts a start.
TEST(LssCorruption, OnlyAPossiblyNewerDamagedDivisionStartsARecovery)
{
    const Image& img = CleanImage();
    const Layout L = Locate(img.bytes);
    const auto mssnAfterOpen = [&](const Bytes& bytes, std::string* log) {
        auto d = std::make_shared<SharedBytes>();
        d->m_bytes = bytes;
        LSS* lss = OpenShared(d, SmallSettings(kSeg));
        const int32_t mssn = lss->GetMSSN();
        lss->GetRecoveryLog().Flush();
        xstring text;
        lss->GetRecoveryLog().GetBuffer().CopyTo(text);
        *log = Text(text);
        lss->Close();
        return mssn;
    };
    std::string log;
    const int32_t base = mssnAfterOpen(img.bytes, &log);
    EXPECT_EQ(log.find("Starting recovery scan"), std::string::npos) << log;

    const uint32_t msnNewer = LoadU32(&img.bytes[L.m_division + 4]);
    const uint32_t msnOlder = LoadU32(&img.bytes[L.m_other + 4]);
    ASSERT_GE(msnOlder, 2u);
    const auto msns = [](size_t division, uint32_t msn1, uint32_t msn2, bool reseal) {
        return [=](Bytes& b) {
            Put32(b, division + 4, msn1);
            Put32(b, division + kDivisionSize - 4, msn2);
            if (reseal) ResealDivision(b, division);
        };
    };
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
        bool recovers;
    };
    const Case cases[] = {
        {"older division zeroed: never written", [&](Bytes& b) { std::fill_n(b.begin() + long(L.m_other), kDivisionSize, 0); }, false},
        {"older division sealed with an even older msn in both copies", msns(L.m_other, msnOlder - 1, msnOlder - 1, true), false},
        {"older division: a payload byte", [&](Bytes& b) { b[L.m_other + 100] ^= 0x01; }, true},
        {"older division: its msn1", [&](Bytes& b) { b[L.m_other + 4] ^= 0x01; }, true},
        {"older division: both msn copies alike, to an older msn", msns(L.m_other, msnOlder - 2, msnOlder - 2, false), true},
        {"older division: its first 8 bytes zero", [&](Bytes& b) { std::fill_n(b.begin() + long(L.m_other), 8, 0); }, true},
        {"older division sealed with msn1 older and msn2 as it was", msns(L.m_other, msnOlder - 2, msnOlder, true), true},
        {"newer division: a payload byte", [&](Bytes& b) { b[L.m_division + 100] ^= 0x01; }, true},
        {"newer division: both msn copies alike, to an older msn", msns(L.m_division, msnOlder - 1, msnOlder - 1, false), true},
        {"newer division: its first 8 bytes zero", [&](Bytes& b) { std::fill_n(b.begin() + long(L.m_division), 8, 0); }, true},
        {"newer division sealed with msn1 older and msn2 as it was", msns(L.m_division, msnOlder - 1, msnNewer, true), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = img.bytes;
        c.damage(b);
        EXPECT_EQ(mssnAfterOpen(b, &log), c.recovers ? base + 1 : base);
        EXPECT_EQ(log.find("Starting recovery scan") != std::string::npos, c.recovers) << log;
        EXPECT_EQ(log.find("The other division may be a newer check point that is damaged") != std::string::npos, c.recovers);
    }
}

TEST(LssCorruption, DamagedFlushUnitsAreRefusedOrCutOff)
{
    // A unit of the check-point segment before the position (first, last) or of the log
    // after it (first, second, last).
    using Pick = std::function<const Unit&(const Layout&)>;
    const Pick firstBefore = [](const Layout& L) -> const Unit& { return L.m_before.at(0); };
    const Pick lastBefore = [](const Layout& L) -> const Unit& { return L.m_before.at(L.m_before.size() - 1); };
    const Pick firstAfter = [](const Layout& L) -> const Unit& { return L.m_after.at(0); };
    const Pick secondAfter = [](const Layout& L) -> const Unit& { return L.m_after.at(1); };
    const Pick lastAfter = [](const Layout& L) -> const Unit& { return L.m_after.at(L.m_after.size() - 1); };
    const auto hdr = [](Pick unit, size_t field, uint32_t v, bool reseal) {
        return [=](Bytes& b, const Layout& L) {
            const Unit& u = unit(L);
            Put32(b, u.m_file + field, v);
            if (reseal) ResealUnit(b, u.m_file);
        };
    };
    const auto rel = [](Pick unit, size_t field, int32_t delta, bool reseal) {
        return [=](Bytes& b, const Layout& L) {
            const Unit& u = unit(L);
            Put32(b, u.m_file + field, LoadU32(&b[u.m_file + field]) + uint32_t(delta));
            if (reseal) ResealUnit(b, u.m_file);
        };
    };
    std::vector<Case> cases;
    struct Where {
        const char* name;
        bool unclean;
        Pick unit;
        Want unsealed;   // any change without a new CRC ends the walk at this unit
        Want sealed[10]; // size - 1, size + 600, fsn + 1, fsn 0, nextsegid + 1, 0, -1,
                         // huge, its own segment, the store's cpid
    };
    // Before the check point a unit that is no longer valid fails the open; one whose
    // header still seals reads as before unless it names another next segment. After
    // it, the scan ends at the last unit when that is damaged: the commits before it
    // stay (4), unless a record walk then meets a packet that runs past the unit. A
    // damaged unit that a sealed unit of the log follows is no torn tail: the store is
    // refused.
    const Want A4 = After(4), A5 = After(5), R = kRefused;
    const Want G{Expect::Refused, 0, "LSS is corrupt : The log after the last valid check point is damaged"};
    const Want B{Expect::Refused, 0, "Bad flush unit(s) in the segment containing the last valid check point"};
    const Where wheres[] = {
        {"first unit before the check point", false, firstBefore, B, {A5, Damaged(4), A5, A5, R, R, R, R, R, B}},
        {"last unit before the check point", true, lastBefore, B, {R, B, A5, A5, R, R, R, R, R, B}},
        {"first unit after the check point", true, firstAfter, G, {R, R, G, G, G, G, G, G, G, A5}},
        {"second unit after the check point", true, secondAfter, G, {R, R, G, G, G, G, G, G, G, A5}},
        {"last unit after the check point", true, lastAfter, A4, {R, A4, A4, A4, A4, A4, A4, A4, A4, A5}},
    };
    for (const Where& w : wheres) {
        const auto name = [&](const char* what) { return std::string(w.name) + ": " + what; };
        cases.push_back(MakeCase(name("crc"), w.unclean, rel(w.unit, 0, 1, false), w.unsealed));
        cases.push_back(MakeCase(name("size + 1"), w.unclean, rel(w.unit, 24, 1, false), w.unsealed));
        cases.push_back(MakeCase(name("fsn + 1"), w.unclean, rel(w.unit, 20, 1, false), w.unsealed));
        cases.push_back(MakeCase(name("nextsegid"), w.unclean, rel(w.unit, 28, 1, false), w.unsealed));
        cases.push_back(MakeCase(name("cpid"), w.unclean, rel(w.unit, 4, 1, false), w.unsealed));
        // Sizes that no CRC can make valid, and a cpid of no check point.
        cases.push_back(MakeCase(name("size 0 sealed"), w.unclean, hdr(w.unit, 24, 0, true), w.unsealed));
        cases.push_back(MakeCase(name("size -1 sealed"), w.unclean, hdr(w.unit, 24, 0xFFFFFFFFu, true), w.unsealed));
        cases.push_back(MakeCase(name("size past the segment sealed"), w.unclean, hdr(w.unit, 24, kSeg, true), w.unsealed));
        cases.push_back(MakeCase(name("cpid changed sealed"), w.unclean, rel(w.unit, 8, 1, true),
                                 std::string(w.name).find("before") != std::string::npos ? kIntact : w.unsealed));
        const std::pair<const char*, std::function<void(Bytes&, const Layout&)>> kinds[] = {
            {"size - 1 sealed", rel(w.unit, 24, -1, true)},
            {"size + 600 sealed", rel(w.unit, 24, 600, true)},
            {"fsn + 1 sealed", rel(w.unit, 20, 1, true)},
            {"fsn 0 sealed", hdr(w.unit, 20, 0, true)},
            {"nextsegid + 1 sealed", rel(w.unit, 28, 1, true)},
            {"nextsegid 0 sealed", hdr(w.unit, 28, 0, true)},
            {"nextsegid -1 sealed", hdr(w.unit, 28, 0xFFFFFFFFu, true)},
            {"nextsegid huge sealed", hdr(w.unit, 28, 0x7FFFFFF0, true)},
            {"nextsegid its own segment sealed",
             [unit = w.unit](Bytes& b, const Layout& L) {
                 const Unit& u = unit(L);
                 Put32(b, u.m_file + 28, uint32_t(u.m_seg));
                 ResealUnit(b, u.m_file);
             }},
            {"the store's cpid sealed",
             [unit = w.unit](Bytes& b, const Layout& L) {
                 const Unit& u = unit(L);
                 std::memcpy(&b[u.m_file + 4], &L.m_cpid, 16);
                 ResealUnit(b, u.m_file);
             }},
        };
        for (size_t i = 0; i < 10; ++i) cases.push_back(MakeCase(name(kinds[i].first), w.unclean, kinds[i].second, w.sealed[i]));
    }
    cases.push_back({"last unit after the check point: nextsegid huge sealed ends the scan", true,
                     hdr(lastAfter, 28, 0x7FFFFFF0, true), Expect::AsAfter, nullptr, 4});
    // Past the end of the log, a sealed unit of another check point with a later
    // number: no unit of this log, the log ends where it ends.
    for (const bool other : {true, false})
        cases.push_back(MakeCase(other ? "a unit of another check point past the end of the log"
                                       : "a unit of the log past its end",
                                 true, [other](Bytes& b, const Layout& L) { PutUnitPastTheEnd(b, L, other); },
                                 other ? A5 : G));
    // Records inside units, sealed so that the damage reaches the walkers and readers.
    struct RecordWhere {
        const char* name;
        bool unclean;
        bool after;
        Want want[25]; // in the order of the cases below
    };
    // Before the check point damage shows when the damaged packet is read (each element
    // twice: whole and as a stream) or, in the crashed store, when the map's nodes are
    // loaded by the open; damage to transaction and delete records there is never read.
    // After it, the recovery scan refuses what it cannot walk.
    const Want S = kBadSchema, U = kUndetected, D2 = Damaged(2), D10 = Damaged(10);
    const RecordWhere rwheres[] = {
        {"before the check point", false, false, {D10, D10, Damaged(4), A5, D2, A5, A5, D10, D10, U, D10, D10, D10,
                                                  D2, D10, D10, A5, A5, D10, A5, A5, A5, A5, A5, A5}},
        {"before the check point", true, false, {R, R, R, A5, D2, A5, A5, R, R, R, R, R, R,
                                                 D2, R, R, A5, A5, S, A5, A5, A5, A5, A5, A5}},
        {"after the check point", true, true, {R, R, R, R, R, U, A4, R, R, R, R, R, R,
                                               R, R, D2, U, D2, U, R, R, A5, U, U, R}},
    };
    for (const RecordWhere& w : rwheres) {
        const auto name = [&](const char* what) { return std::string(what) + " " + w.name; };
        const bool after = w.after;
        // Applies f to every packet record of the units (each in its own image would be
        // many opens; the first, a middle and the last packet are enough).
        const auto packets = [after](std::function<void(Bytes&, size_t)> f) {
            return [after, f](Bytes& b, const Layout& L) {
                std::vector<std::pair<size_t, size_t>> all; // unit, record
                for (const Unit& u : after ? L.m_after : L.m_before)
                    for (size_t p : u.m_packets) all.push_back({u.m_file, p});
                if (all.empty()) return;
                for (size_t i : {size_t(0), all.size() / 2, all.size() - 1}) {
                    f(b, all[i].second);
                    ResealUnit(b, all[i].first);
                }
            };
        };
        const auto records = [after](bool txns, std::function<void(Bytes&, size_t)> f) {
            return [after, txns, f](Bytes& b, const Layout& L) {
                for (const Unit& u : after ? L.m_after : L.m_before) {
                    for (size_t p : txns ? u.m_txns : u.m_deletes) f(b, p);
                    ResealUnit(b, u.m_file);
                }
            };
        };
        size_t next = 0;
        const auto want = [&] { return w.want[next++]; };
        cases.push_back(MakeCase(name("packet type 1"), w.unclean, packets([](Bytes& b, size_t p) { b[p] = (b[p] & ~3) | 1; }), want()));
        cases.push_back(MakeCase(name("packet type 3"), w.unclean, packets([](Bytes& b, size_t p) { b[p] |= 3; }), want()));
        cases.push_back(MakeCase(name("packet with a next seid"), w.unclean, packets([](Bytes& b, size_t p) { b[p] |= PF_HAS_NEXT; }), want()));
        cases.push_back(MakeCase(name("packet without its next seid"), w.unclean,
                         packets([](Bytes& b, size_t p) { b[p] &= uint8_t(~PF_HAS_NEXT); }), want()));
        cases.push_back(MakeCase(name("packet head flag flipped"), w.unclean, packets([](Bytes& b, size_t p) { b[p] ^= PF_HEAD; }), want()));
        cases.push_back(MakeCase(name("packet map-node flag flipped"), w.unclean,
                         packets([](Bytes& b, size_t p) { b[p] ^= PF_RPM_NODE; }), want()));
        cases.push_back(MakeCase(name("packet moved flag"), w.unclean, packets([](Bytes& b, size_t p) { b[p] |= PF_MOVED; }), want()));
        cases.push_back(MakeCase(name("packet length -1"), w.unclean, packets([](Bytes& b, size_t p) { Put32(b, p + 9, 0xFFFFFFFFu); }), want()));
        cases.push_back(MakeCase(name("packet length huge"), w.unclean, packets([](Bytes& b, size_t p) { Put32(b, p + 9, 0x7FFFFFF0); }), want()));
        cases.push_back(MakeCase(name("packet length + 1"), w.unclean,
                         packets([](Bytes& b, size_t p) { Put32(b, p + 9, LoadU32(&b[p + 9]) + 1); }), want()));
        cases.push_back(MakeCase(name("packet length - 1"), w.unclean,
                         packets([](Bytes& b, size_t p) { Put32(b, p + 9, LoadU32(&b[p + 9]) - 1); }), want()));
        cases.push_back(MakeCase(name("packet length 0"), w.unclean, packets([](Bytes& b, size_t p) { Put32(b, p + 9, 0); }), want()));
        cases.push_back(MakeCase(name("packet seid zero"), w.unclean,
                         packets([](Bytes& b, size_t p) {
                             Put32(b, p + 1, 0);
                             Put32(b, p + 5, 0);
                         }), want()));
        cases.push_back(MakeCase(name("packet seid low byte zero"), w.unclean, packets([](Bytes& b, size_t p) { b[p + 1] = 0; }), want()));
        cases.push_back(MakeCase(name("packet seid top bit flipped"), w.unclean, packets([](Bytes& b, size_t p) { b[p + 8] ^= 0x80; }), want()));
        cases.push_back(MakeCase(name("packet seid of another element"), w.unclean,
                         packets([](Bytes& b, size_t p) { b[p + 1] ^= 0x07; }), want()));
        cases.push_back(MakeCase(name("packet next seid changed"), w.unclean,
                         packets([](Bytes& b, size_t p) {
                             if (b[p] & PF_HAS_NEXT) b[p + 13 + LoadU32(&b[p + 9])] ^= 0x01;
                         }), want()));
        cases.push_back(MakeCase(name("packet next seid zero"), w.unclean,
                         packets([](Bytes& b, size_t p) {
                             if (b[p] & PF_HAS_NEXT) {
                                 Put32(b, p + 13 + LoadU32(&b[p + 9]), 0);
                                 Put32(b, p + 17 + LoadU32(&b[p + 9]), 0);
                             }
                         }), want()));
        cases.push_back(MakeCase(name("packet payload byte"), w.unclean,
                         packets([](Bytes& b, size_t p) {
                             if (LoadU32(&b[p + 9]) > 0) {
                                 b[p + 13] ^= 0xFF;
                             }
                         }), want()));
        cases.push_back(MakeCase(name("transaction record type"), w.unclean,
                         records(true, [](Bytes& b, size_t p) { b[p] = 0; }), want()));
        cases.push_back(MakeCase(name("transaction record as a mark"), w.unclean,
                         records(true, [](Bytes& b, size_t p) { b[p] = 2; }), want()));
        cases.push_back(MakeCase(name("transaction number"), w.unclean,
                         records(true, [](Bytes& b, size_t p) { StoreI64(&b[p + 1], -7); }), want()));
        cases.push_back(MakeCase(name("delete record seid"), w.unclean,
                         records(false, [](Bytes& b, size_t p) { b[p + 1] ^= 0x07; }), want()));
        cases.push_back(MakeCase(name("delete record seid zero"), w.unclean,
                         records(false, [](Bytes& b, size_t p) { Put32(b, p + 1, 0); }), want()));
        cases.push_back(MakeCase(name("delete record as a packet"), w.unclean, records(false, [](Bytes& b, size_t p) { b[p] = 0x40; }), want()));
        ASSERT_EQ(next, std::size(w.want));
    }
    RunCases(cases);
}

// A log whose units fill whole segments (an element over three segments), as a
// builder's store has it. The first unit of a segment the log entered, damaged in its
// check-point id, its fsn or its CRC: the log goes on in the segment the unit names,
// where a unit of the log with a later number shows that this was no torn tail. The
// store is refused, crashed or closed cleanly (with its newest division damaged, so
// that the log is read), and its file is left as it was.
TEST(LssCorruption, DamagedUnitFillingASegmentIsFoundDamagedInTheNextSegment)
{
    for (const bool clean : {true, false}) {
        Image img;
        img.states.push_back({});
        auto d = std::make_shared<SharedBytes>();
        LSS* lss = OpenShared(d, SmallSettings(kSeg));
        Commit(lss, img, {{kA, Pattern(100, 1)}});
        lss->CheckPointWithNewId();
        Commit(lss, img, {{kB, Pattern(3 * kSeg, 2)}});
        Commit(lss, img, {{kC, Pattern(100, 3)}});
        if (!clean) img.bytes = d->Copy();
        lss->Close();
        if (clean) img.bytes = d->Copy();
        for (const size_t field : {size_t(0), size_t(8), size_t(20)}) {
            SCOPED_TRACE(std::string(clean ? "clean" : "crashed") + ", field at " + std::to_string(field));
            Bytes b = img.bytes;
            if (clean) b[Locate(b).m_division] ^= 1; // opened from the older check point
            const Layout L = Locate(b);
            b[WholeSegmentUnit(L).m_file + field] ^= 0x10;
            const Outcome o = Open(b, img);
            EXPECT_EQ(o.m_trouble, "") << Describe(o);
            EXPECT_EQ(o.m_kind, Kind::Corrupt) << Describe(o);
            EXPECT_EQ(o.m_message, "LSS is corrupt : The log after the last valid check point is damaged");
        }
    }
}

// Random damage at fixed seeds: single bytes, runs of bytes and 32-bit fields set to
// extreme values, anywhere in the file, in the used part of the root block, or in the
// log's units (half of those re-sealed with a fresh CRC, so that the damage gets past
// the unit check).
TEST(LssCorruption, RandomDamageNeverCrashes)
{
    std::mt19937 rng(20240517u);
    static const uint32_t kExtremes[] = {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 4096u, 4095u, 512u};
    int counts[4] = {0, 0, 0, 0};
    // Fewer rounds under ThreadSanitizer; every round runs under ASan and UBSan.
    for (int round = 0; round < (kUnderThreadSanitizer ? 60 : 300); ++round) {
        const bool unclean = (round & 1) != 0;
        const Image& img = unclean ? UncleanImage() : CleanImage();
        Bytes b = img.bytes;
        const Layout L = Locate(b);
        // Pick a place.
        size_t at;
        const int where = int(rng() % 4);
        if (where == 0) {
            at = rng() % b.size();
        } else if (where == 1) {
            const size_t used = L.m_endMarker + 15 - L.m_division;
            at = rng() % 3 == 0 ? size_t(rng() % 32 + (rng() % 2) * 1024) : L.m_division + rng() % used;
        } else {
            std::vector<const Unit*> units;
            for (const Unit& u : L.m_before) units.push_back(&u);
            for (const Unit& u : L.m_after) units.push_back(&u);
            const Unit& u = *units[rng() % units.size()];
            at = u.m_file + rng() % (kFlushUnitHeaderSize + size_t(u.m_header.m_size));
        }
        // Damage it.
        const int how = int(rng() % 3);
        if (how == 0) {
            b[at] ^= uint8_t(1u << (rng() % 8));
        } else if (how == 1) {
            const size_t n = 2 + rng() % 7;
            for (size_t i = 0; i < n && at + i < b.size(); ++i) b[at + i] = uint8_t(rng());
        } else if (at + 4 <= b.size()) {
            Put32(b, at, kExtremes[rng() % 8]);
        }
        // Re-seal.
        if (where == 1 && at >= kDivisionAOffset && rng() % 4 != 0) ResealDivision(b, L.m_division);
        if (where == 2 && rng() % 2) {
            const size_t u = UnitOf(L, at);
            if (u) ResealUnit(b, u);
        }
        SCOPED_TRACE("round " + std::to_string(round) + " at " + std::to_string(at) + " how " + std::to_string(how));
        const Outcome o = Open(b, img);
        EXPECT_EQ(o.m_trouble, "") << Describe(o);
        ++counts[int(o.m_kind)];
    }
    // The sweep reaches both ends: refusals and opens.
    EXPECT_GT(counts[int(Kind::Corrupt)], 0);
    EXPECT_GT(counts[int(Kind::Opened)], 0);
}

// Damaged copies of the images as files, opened through OpenLSS as the programs open
// them (OM_OPEN_ALWAYS and OM_OPEN_EXISTING): every copy that is refused is afterwards
// byte for byte what it was, its clean-shutdown byte included. Byte flips land in the
// header, the divisions and the log's units; truncations cut the log or the root block.
TEST(LssCorruption, RefusedStoreFilesAreLeftAsTheyWere)
{
    TempDir dir;
    const std::string path = dir.File("damaged.lss");
    const auto writeFile = [&](const Bytes& b) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    };
    const auto readFile = [&] {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    std::vector<std::pair<std::string, Bytes>> copies;
    std::mt19937 rng(77u);
    for (int image = 0; image < 2; ++image) {
        const Image& img = image ? UncleanImage() : CleanImage();
        const Layout L = Locate(img.bytes);
        const std::string name = image ? "unclean" : "clean";
        for (int i = 0; i < Scaled(40); ++i) {
            Bytes b = img.bytes;
            size_t at;
            switch (i % 4) {
            case 0: at = rng() % 32; break; // the header
            case 1: at = L.m_division + rng() % (L.m_endMarker + 15 - L.m_division); break;
            default: {
                std::vector<const Unit*> units;
                for (const Unit& u : L.m_before) units.push_back(&u);
                for (const Unit& u : L.m_after) units.push_back(&u);
                const Unit& u = *units[rng() % units.size()];
                at = u.m_file + rng() % (kFlushUnitHeaderSize + size_t(u.m_header.m_size));
            }
            }
            b[at] ^= uint8_t(1u << (rng() % 8));
            copies.emplace_back(name + " flipped at " + std::to_string(at), b);
        }
        for (const size_t size : {size_t(kLssRootBlockSize) - 1, size_t(kLssRootBlockSize), SegFile(L.m_cpSeg) + 512,
                                  L.m_before.empty() ? size_t(kLssRootBlockSize) + 100 : L.m_before.back().m_file + 40}) {
            Bytes b = img.bytes;
            if (size < b.size()) b.resize(size);
            copies.emplace_back(name + " cut to " + std::to_string(size), b);
        }
    }
    int refused = 0;
    int refusedCuts = 0;
    for (const auto& [name, bytes] : copies) {
        for (const EOpenMode mode : {OM_OPEN_ALWAYS, OM_OPEN_EXISTING}) {
            SCOPED_TRACE(name + (mode == OM_OPEN_ALWAYS ? " OM_OPEN_ALWAYS" : " OM_OPEN_EXISTING"));
            writeFile(bytes);
            const LssSettings settings = SmallSettings(kSeg);
            bool created = false;
            ILogStructuredStore* lss = nullptr;
            try {
                lss = OpenLSS(path.c_str(), nullptr, &created, mode, &settings);
            } catch (const CorruptLSSException&) {
            } catch (const DeserialisationException&) {
            }
            if (lss) {
                lss->Close();
                continue;
            }
            ++refused;
            if (name.find(" cut to ") != std::string::npos) ++refusedCuts;
            EXPECT_TRUE(readFile() == bytes) << "the refused file was changed";
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(refusedCuts, 0);
}

// An element's chain whose third packet links back to the second (a loop that only the
// rule of ascending overflow seids sees): reading it reports the damage instead of going
// round the loop, and so does deleting it.
TEST(LssCorruption, ChainLinkedBackToAnEarlierPacketIsReportedNotFollowed)
{
    auto d = std::make_shared<SharedBytes>();
    LSS* lss = OpenShared(d, SmallSettings(kSeg));
    WriteElement(lss, kA, Pattern(3 * kSeg + 500, 1)); // four packets
    struct Packet {
        RpmPosition m_pos;
        Seid m_next;
        bool m_hasNext;
        int32_t m_length;
    };
    auto packetOf = [&](Seid s) {
        const RpmPosition p = lss->GetRPM().Lookup(s, false);
        PacketHeader h;
        h.Decode(lss->GetCache(), lss->GetSUT(), p.m_segmentId, p.m_offset, false);
        return Packet{p, h.m_next, h.HasNext(), h.m_length};
    };
    const Seid second = packetOf(kA).m_next;
    const Packet third = packetOf(packetOf(second).m_next);
    ASSERT_TRUE(third.m_hasNext);
    const size_t nextAt = size_t(SegmentOffset(third.m_pos.m_segmentId, kSeg)) + size_t(third.m_pos.m_offset) +
                          size_t(kPacketHeaderBytes) + size_t(third.m_length);
    lss->Close();
    StoreU32(&d->m_bytes[nextAt], second.m_low);
    StoreU32(&d->m_bytes[nextAt + 4], second.m_high);
    const size_t segAt = size_t(SegmentOffset(third.m_pos.m_segmentId, kSeg));
    int64_t unit = 0; // the unit holding the link, sealed again so that the link is read
    while (int64_t(nextAt - segAt) >= unit + kFlushUnitHeaderSize + int32_t(LoadU32(&d->m_bytes[segAt + size_t(unit) + 24])))
        unit = NextUnitOffset(unit, int32_t(LoadU32(&d->m_bytes[segAt + size_t(unit) + 24])), 512);
    ResealUnit(d->m_bytes, segAt + size_t(unit));

    lss = OpenShared(d, SmallSettings(kSeg));
    ICloseableInputStream* in = lss->ReadSerialElement(kA);
    ASSERT_NE(in, nullptr);
    uint8_t buf[1000];
    int64_t total = 0;
    try {
        for (ssize_t n; total <= 4 * kSeg && (n = in->ReadStream(buf, ssize_t(sizeof buf))) > 0;) total += n;
        ADD_FAILURE() << "the loop was followed for " << total << " bytes";
    } catch (const CorruptLSSException& e) {
        EXPECT_NE(Text(e.Describe()).find("Next Seid invalid in packet chain"), std::string::npos);
    }
    in->Close();
    EXPECT_THROW(lss->GetContiguousSerialElement(kA), CorruptLSSException);
    ILssTransaction* t = lss->OpenTransaction();
    EXPECT_THROW(t->DeleteSerialElement(kA.m_low, kA.m_high), CorruptLSSException);
    t->Close();
    std::exception_ptr failure;
    EXPECT_FALSE(lss->CloseReporting(&failure)); // the damage met while changing the store
}
