#include "vnPersistStore/PersistStorePtr.h"
#include "vnPersistStore/PersistStore.h"

namespace vorn {

PersistStorePtr::PersistStorePtr(PersistStore* store) : m_store(store) {}

PersistStorePtr::PersistStorePtr(PersistStorePtr&& other) noexcept
    : m_store(other.Release())
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
    m_leave.Run([this] { Close(); });
}

} // namespace vorn
