// vorn::PersistStorePtr: owns an open persistent store and closes it (PersistStore::
// Close) when the scope is left, if it still holds one. Declare it before the guards
// of the store's spaces, so that they are left first.
//
// A close that fails while no exception is passing throws out of Close or the
// destructor; while one is passing, the store is closed quietly and the first failure
// goes on.
#pragma once
#include "vnUtils/QuietClose.h"

namespace vorn {

class PersistStore;

class PersistStorePtr {
public:
    explicit PersistStorePtr(PersistStore* store = nullptr);
    ~PersistStorePtr() noexcept(false);
    PersistStorePtr(PersistStorePtr&& other) noexcept;
    PersistStorePtr(const PersistStorePtr&) = delete;
    PersistStorePtr& operator=(const PersistStorePtr&) = delete;

    PersistStore* Get() const { return m_store; }
    PersistStore* operator->() const { return m_store; }
    explicit operator bool() const { return m_store != nullptr; }
    // Gives the store up without closing it.
    PersistStore* Release();
    // Closes the store now (nothing when none is held); the pointer is empty afterwards,
    // also when the close throws.
    void Close();

private:
    PersistStore* m_store;
    CloseOnLeave m_leave;
};

} // namespace vorn
