#include "vnPersistStore/PersistStorePtr.h"
#include "vnPersistStore/PersistStore.h"

namespace vorn {

PersistStorePtr::PersistStorePtr(PersistStore* store) : m_store(store), m_uncaught(std::uncaught_exceptions()) {}

PersistStorePtr::PersistStorePtr(PersistStorePtr&& other) noexcept
    : m_store(other.Release()), m_uncaught(std::uncaught_exceptions())
{
}

PersistStore* PersistStorePtr::Release()
{
    PersistStore* store = m_store;
    m_store = nullptr;
    return store;
}

void PersistStorePtr::Close()
{
    if (PersistStore* store = Release()) store->Close();
}

PersistStorePtr::~PersistStorePtr() noexcept(false)
{
    if (std::uncaught_exceptions() <= m_uncaught) {
        Close();
        return;
    }
    if (PersistStore* store = Release()) store->CloseReporting(nullptr);
}

} // namespace vorn
