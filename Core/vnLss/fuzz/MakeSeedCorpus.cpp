// Writes the seed corpus of OpenStoreFuzz into a directory: small valid stores with
// 4096-byte segments - one closed cleanly, one copied after its last flushed
// transaction while still open (as a crash leaves it), one over many segments with
// check points, deletes and cleaned segments, and one whose clean-shutdown byte is 0;
// and copies of the clean ones whose divisions carry master sequence numbers at the top
// of the signed and of the unsigned range.
#include "FuzzStore.h"
#include "vnLss/LogLayout.h"
#include "vnLss/RootBlock.h"
#include <cstdio>
#include <string>

using namespace vorn;
using namespace vorn::fuzz;

namespace {

std::vector<uint8_t> Content(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : v) {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    return v;
}

void Write(LSS* lss, std::initializer_list<std::pair<Seid, size_t>> elements, uint32_t seed, const Seid* del = nullptr)
{
    ILssTransaction* t = lss->OpenTransaction();
    for (const auto& [s, n] : elements) {
        const std::vector<uint8_t> v = Content(n, seed++);
        ICloseableOutputStream* w = t->WriteSerialElement(s.m_low, s.m_high);
        w->WriteStream(v.data(), ssize_t(v.size()));
        w->Close();
    }
    if (del) t->DeleteSerialElement(del->m_low, del->m_high);
    t->FlushWhenClose();
    t->Close();
}

bool Save(const std::string& dir, const char* name, const std::vector<uint8_t>& bytes)
{
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

LSS* New(std::shared_ptr<test::SharedBytes>& bytes)
{
    bytes = std::make_shared<test::SharedBytes>();
    bool created = false;
    return LSS::OpenOnStorage(new test::SharedRAS(bytes), nullptr, &created, false, FuzzSettings());
}

// The store with the newer division's msn set to top (top + 1 when that division is A)
// and the older one's to one less, both re-sealed.
std::vector<uint8_t> WithMsnAt(std::vector<uint8_t> b, uint32_t top)
{
    if (b.size() < size_t(kLssRootBlockSize)) return b;
    uint8_t* a = b.data() + kDivisionAOffset;
    uint8_t* d = b.data() + kDivisionBOffset;
    const bool aNewer = RootBlock::DivisionIsValid(a, false) &&
                        (!RootBlock::DivisionIsValid(d, true) || RootBlock::IsNewerMsn(LoadU32(a + 4), LoadU32(d + 4)));
    const uint32_t newer = aNewer ? top + 1 : top;
    for (const auto& [div, msn] : {std::pair<uint8_t*, uint32_t>{aNewer ? a : d, newer}, {aNewer ? d : a, newer - 1}}) {
        StoreU32(div + 4, msn);
        StoreU32(div + kDivisionSize - 4, msn);
        StoreU32(div, RootBlock::DivisionCrc(div));
    }
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpusDir\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::shared_ptr<test::SharedBytes> bytes;
    bool ok = true;

    LSS* lss = New(bytes);
    Write(lss, {{SeedSeid(0, 1), 100}, {SeedSeid(0, 2), 700}}, 1);
    Write(lss, {{SeedSeid(1, 1), 2000}}, 5);
    lss->Close();
    ok = ok && Save(dir, "clean.lss", bytes->m_bytes);

    ok = ok && Save(dir, "clean-msn-signed-top.lss", WithMsnAt(bytes->m_bytes, 0x7FFFFFFFu));
    ok = ok && Save(dir, "clean-msn-unsigned-top.lss", WithMsnAt(bytes->m_bytes, 0xFFFFFFFFu));

    lss = New(bytes);
    Write(lss, {{SeedSeid(0, 1), 300}, {SeedSeid(0, 3), 5000}}, 11);
    lss->CheckPointWithNewId();
    const Seid gone = SeedSeid(0, 1);
    Write(lss, {{SeedSeid(0, 2), 60}}, 21, &gone);
    Write(lss, {{SeedSeid(1, 2), 1500}, {SeedSeid(0, 3), 200}}, 31);
    ok = ok && Save(dir, "unclean.lss", bytes->m_bytes);
    lss->Close();

    lss = New(bytes);
    for (uint32_t round = 0; round < 6; ++round) {
        Write(lss, {{SeedSeid(0, int(1 + round % kSeedElements)), 900 + 1700 * (round % 3)},
                    {SeedSeid(1, int(1 + (round * 5) % kSeedElements)), 2500}},
              100 + round * 10);
        if (round == 2) {
            const Seid d = SeedSeid(1, 1);
            Write(lss, {}, 0, &d);
        }
    }
    lss->CheckPointWithNewId();
    Write(lss, {{SeedSeid(0, 6), 6000}}, 200);
    lss->Close();
    ok = ok && Save(dir, "multiseg.lss", bytes->m_bytes);
    std::vector<uint8_t> dirty = bytes->m_bytes;
    if (dirty.size() > 1024) dirty[1024] = 0;
    ok = ok && Save(dir, "multiseg-unclean-byte.lss", dirty);

    if (!ok) {
        std::fprintf(stderr, "cannot write the corpus into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
