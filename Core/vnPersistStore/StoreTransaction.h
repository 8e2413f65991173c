// One log-structured store transaction around a piece of work. The store has no abort:
// when the work throws, the transaction is still closed (quietly, its own failure
// dropped) so that the store's writer lock is released, and the work's failure goes on.
// The work must therefore finish every element it starts, or fail only through the
// store (whose recorded failure then keeps the transaction from committing).
#pragma once
#include "vnLss/LssInterfaces.h"
#include "vnUtils/QuietClose.h"

namespace vorn {

template <class F>
void RunInStoreTransaction(ILogStructuredStore* lss, bool flushToDisk, F&& work)
{
    ILssTransaction* txn = lss->OpenTransaction();
    try {
        if (flushToDisk) txn->FlushWhenClose();
        work(txn);
    } catch (...) {
        CloseQuietly([txn] { txn->Close(); });
        throw;
    }
    txn->Close();
}

} // namespace vorn
