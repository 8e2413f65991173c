// The cost of a space transaction on the thread's space (which holds the space in the
// store's registry while it is open) beside entering and leaving the space's lock alone.
#include "../tests/PersistTestUtil.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

struct TxnSpace {
    TxnSpace()
    {
        RegisterTestClasses();
        const char* dir = std::getenv("VORN_PSTORE_BENCH_DIR");
        const std::string path = std::string(dir ? dir : ".") + "/bench-txn.tvx";
        PersistStoreSettings s;
        s.startObjectDeletion = false;
        m_store = OpenPersistStore(path.c_str(), OM_CREATE_ALWAYS, &s);
        m_space = OpenPSpace(m_store, "P", nullptr);
    }
    ~TxnSpace() { m_store->Close(); }
    PersistStore* m_store;
    PSpace* m_space;
};

void BM_SpaceTxn(benchmark::State& state)
{
    TxnSpace t;
    RestoreThreadPSpace p(t.m_space);
    RestoreThreadCSpace c(t.m_space->GetCSpace());
    for (auto _ : state) ClosePSpaceTxn(OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE));
}
BENCHMARK(BM_SpaceTxn);

void BM_SpaceLock_Baseline(benchmark::State& state)
{
    TxnSpace t;
    CSpace* cs = t.m_space->GetCSpace();
    for (auto _ : state) {
        cs->Lock();
        cs->Unlock();
    }
}
BENCHMARK(BM_SpaceLock_Baseline);

} // namespace
