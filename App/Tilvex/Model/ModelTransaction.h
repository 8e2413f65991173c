// An exclusive space transaction on the thread's current space for a scope: the space's
// CSpace lock plus a persistent-store transaction, or only the thread CSpace's lock
// when the thread has no persistent space. Every change of image-model objects is made
// inside one.
#pragma once
#include "vnPersistStore/PersistStoreTxn.h"

namespace vorn {

class ModelTransaction {
public:
    ModelTransaction() : m_txn(OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE)) {}
    ~ModelTransaction() { ClosePSpaceTxn(m_txn); }
    ModelTransaction(const ModelTransaction&) = delete;
    ModelTransaction& operator=(const ModelTransaction&) = delete;
private:
    PersistStoreTxn* m_txn;
};

} // namespace vorn
