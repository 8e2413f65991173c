// libFuzzer target: the input is a whole store file. It is opened over an in-memory
// storage; a store that opens has every element of the seed spaces read (as a stream
// and contiguously), its figures taken, one element written with a flush, and is
// closed. Only the store's reports of damage are expected; anything else (another
// exception, a crash, a leak, undefined behaviour) is a finding.
#include "FuzzStore.h"
#include "vnUtils/Exceptions.h"
#include <cstddef>
#include <cstdint>

using namespace vorn;
using namespace vorn::fuzz;

namespace {

void ReadAll(LSS* lss, Seid s)
{
    try {
        if (IContiguousSerialElement* e = lss->GetContiguousSerialElement(s)) {
            int64_t n = 0;
            const uint8_t* p = e->GetBuffer(n);
            volatile uint8_t sink = 0;
            for (int64_t i = 0; i < n; i += 509) sink = sink + p[i];
            e->Release();
        }
    } catch (const CorruptLSSException&) {
    } catch (const DeserialisationException&) {
    }
    try {
        if (ICloseableInputStream* in = lss->ReadSerialElement(s)) {
            uint8_t buf[1024];
            try {
                while (in->ReadStream(buf, sizeof buf) > 0) {
                }
            } catch (...) {
                in->Close();
                throw;
            }
            in->Close();
        }
    } catch (const CorruptLSSException&) {
    } catch (const DeserialisationException&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto bytes = std::make_shared<test::SharedBytes>();
    bytes->m_bytes.assign(data, data + size);
    LSS* lss = nullptr;
    bool created = false;
    try {
        lss = LSS::OpenOnStorage(new test::SharedRAS(bytes), nullptr, &created, false, FuzzSettings());
    } catch (const CorruptLSSException&) {
        return 0;
    } catch (const DeserialisationException&) {
        return 0;
    }
    for (int space = 0; space < 2; ++space) {
        for (int i = 1; i <= kSeedElements; ++i) ReadAll(lss, SeedSeid(space, i));
        xvector<SeidLow> lows;
        try {
            lss->GetSeidLowsInSpace(lows, kSeedSpaces[space]);
        } catch (const CorruptLSSException&) {
        } catch (const DeserialisationException&) {
        }
        for (int32_t i = 0; i < lows.size() && i < 64; ++i) ReadAll(lss, Seid(lows[i], kSeedSpaces[space]));
    }
    try {
        LssStats stats;
        lss->GetStats(&stats);
    } catch (const CorruptLSSException&) {
    } catch (const DeserialisationException&) {
    }
    try {
        std::vector<uint8_t> probe(300, 0);
        probe[0] = 1, probe[1] = 2, probe[2] = 3;
        test::WriteElement(lss, SeedSeid(0, kSeedElements + 1), probe, true);
    } catch (const CorruptLSSException&) {
    } catch (const DeserialisationException&) {
    } catch (const FileException&) { // a failure the store recorded earlier
    }
    lss->Close();
    return 0;
}
