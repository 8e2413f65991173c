// Helpers of the persistent-store tests: a store over storage whose bytes outlive it
// (so a test can close, reopen, damage and cut them), raw reads of elements, and a
// transaction scope on a space.
#pragma once
#include "vnLss/tests/LssClientTestUtil.h"
#include "PersistTestUtil.h"
#include "vnPersistStore/PersistStore.h"
#include "vnPersistStore/PersistStoreLayout.h"
#include "vnPersistStore/PersistStoreTxn.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnPersistStore/StoreTransaction.h"
#include <string>

namespace vorn::test {

inline PersistStoreSettings QuietStoreSettings(bool startWriter = false)
{
    PersistStoreSettings s;
    s.lssSettings = SmallSettings(0x4000);
    s.startObjectDeletion = startWriter;
    return s;
}

// Opens a persistent store over bytes (created when empty).
inline PersistStore* OpenStoreOn(const std::shared_ptr<SharedBytes>& bytes, const PersistStoreSettings& s)
{
    RegisterTestClasses();
    bool created = false;
    ILogStructuredStore* lss = OpenLSSOnStorage(new SharedRAS(bytes), nullptr, &created, false, s.lssSettings);
    return OpenPersistStoreOnLss(lss, created, &s);
}

// The transactions the store has committed in its life.
inline int64_t NumStoreTransactions(ILogStructuredStore* lss)
{
    LssStats stats;
    lss->GetStats(&stats);
    return stats.m_numTransactions;
}

// The element's bytes (empty and false when missing).
inline bool ReadElement(ILogStructuredStore* lss, Seid seid, std::vector<uint8_t>& out)
{
    out.clear();
    IContiguousSerialElement* e = lss->GetContiguousSerialElement(seid);
    if (e == nullptr) return false;
    int64_t n = 0;
    const uint8_t* b = e->GetBuffer(n);
    out.assign(b, b + n);
    e->Release();
    return true;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> v)
{
    std::vector<uint8_t> r;
    for (int b : v) r.push_back(uint8_t(b));
    return r;
}

inline void AppendOid(std::vector<uint8_t>& v, OID oid)
{
    const std::vector<uint8_t> b = ArchiveBytes([&](Archive& ar) { WriteOid(ar, oid); });
    v.insert(v.end(), b.begin(), b.end());
}

inline void AppendName(std::vector<uint8_t>& v, const std::string& s)
{
    v.push_back(uint8_t(s.size()));
    v.insert(v.end(), s.begin(), s.end());
}

// Makes a space the thread's, with its CSpace, for a scope.
class ThreadSpaces {
public:
    explicit ThreadSpaces(PSpace* space) : m_p(space), m_c(space ? space->GetCSpace() : nullptr) {}
private:
    RestoreThreadPSpace m_p;
    RestoreThreadCSpace m_c;
};

// An exclusive space transaction on the thread's space for a scope.
class Txn {
public:
    Txn() : m_txn(OpenPSpaceTxn(PSPACE_LOCK_EXCLUSIVE)) {}
    ~Txn() { ClosePSpaceTxn(m_txn); }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    PersistStoreTxn* Get() const { return m_txn; }
private:
    PersistStoreTxn* m_txn;
};

// Holds the locks of two spaces, entered in ascending address order as the writer does.
class OrderedLocks {
public:
    OrderedLocks(CSpace* a, CSpace* b) : m_first(a < b ? a : b), m_second(a < b ? b : a)
    {
        m_first->Lock();
        m_second->Lock();
    }
    ~OrderedLocks()
    {
        m_second->Unlock();
        m_first->Unlock();
    }
    OrderedLocks(const OrderedLocks&) = delete;
    OrderedLocks& operator=(const OrderedLocks&) = delete;
private:
    CSpace* m_first;
    CSpace* m_second;
};

// A node of a reflected class of its own, Derived, which declares s_class and what it
// does differently.
template <class Derived>
class PNodeOf : public PNode {
public:
    AnyInterface QueryInterface(const ReflectedInterface& ri) { return QueryPersistableInterface(Self(), ri); }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return &Derived::s_class; }
    void OnGarbageCollect() { OnGarbageCollectPersistable(AsAny()); }
    AnyInterface AsAny() { return AnyInterface{Self(), &kPersistableTableOf<Derived>}; }
    IPersistablePtr AsPersistable() { return IPersistablePtr{Self(), &kPersistableTableOf<Derived>}; }
private:
    Derived* Self() { return static_cast<Derived*>(this); }
};

// A new node of the thread's CSpace.
inline PNode* NewNodeIn(CSpace* cs, uint32_t value, size_t payload = 0)
{
    auto* n = new PNode;
    n->m_value = value;
    for (size_t i = 0; i < payload; ++i) n->m_payload.push_back(uint8_t(i * 7 + value));
    cs->RegisterGcObject(n->AsAny());
    return n;
}

// Assigns a node's child through the thread's callbacks, as generated setters do.
inline void SetChild(PNode* parent, const pref& value)
{
    PrefAssignRecord op;
    op.m_object = parent->AsAny();
    op.m_target = &parent->m_child;
    op.m_source = &value;
    NotifyPrefAssign(op);
}

// Changes a node's value as a generated setter does.
inline void SetValue(PNode* n, uint32_t v)
{
    OperationRecord op;
    op.m_object = n->AsAny();
    op.m_fieldAddress = &n->m_value;
    NotifyOperationCallBacks(op);
    n->m_value = v;
}

// An element under a new OID of the store whose bytes are no object (class id 99).
inline OID WriteDamagedElement(PersistStore* store)
{
    ILogStructuredStore* lss = store->GetLss();
    const OID oid(lss->AllocateSeid(store->GetSeidHigh()));
    RunInStoreTransaction(lss, false, [&](ILssTransaction* txn) {
        ICloseableOutputStream* out = txn->WriteSerialElement(oid.m_low, oid.m_high);
        const uint8_t bytes[] = {99, 1, 2, 3};
        out->WriteStream(bytes, sizeof bytes);
        out->Close();
    });
    return oid;
}

} // namespace vorn::test
