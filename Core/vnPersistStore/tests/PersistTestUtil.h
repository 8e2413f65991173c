// Test classes and a small space context: a store on the process's memory storage, its
// schema and loader, and one PSpace over a CSpace without a collector thread.
#pragma once
#include <stdexcept>
#include "vnLss/LssInterfaces.h"
#include "vnObject/CSpace.h"
#include "vnObject/ObjHeader.h"
#include "vnPersistStore/AsyncObjectLoader.h"
#include "vnPersistStore/ObjectSerialisation.h"
#include "vnPersistStore/PSpace.h"
#include "vnPersistStore/Pref.h"
#include "vnReflection/Registry.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Streams.h"
#include <atomic>
#include <memory>
#include <vector>

namespace vorn::test {

inline std::atomic<int> g_liveObjects{0};

// A persistable node: a value, a child reference and a payload of bytes.
class PNode {
public:
    PNode() { ++g_liveObjects; }
    ~PNode() { --g_liveObjects; }
    static const ReflectedClass s_class;

    AnyInterface QueryInterface(const ReflectedInterface& ri) { return QueryPersistableInterface(this, ri); }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void VisitObjects(IObjectVisitor& v) { VisitPref(v, m_child); }
    void OnGarbageCollect() { OnGarbageCollectPersistable(AsAny()); }
    void DestroyObject() { delete this; }
    ObjSysState& GetSysState() { return m_sys; }
    PersistObjState& GetPersistObjState() { return m_pos; }
    // A node whose value has kWalkFails fails every walk through its prefs.
    static constexpr uint32_t kWalkFails = 0x40000000u;
    void VisitPrefs(IPrefVisitor& v)
    {
        if (m_value & kWalkFails) throw std::runtime_error("a walk that fails");
        v.VisitPref(m_child);
    }
    bool RepresentsSubTree() const { return false; }
    void Serialise(Archive& ar) const
    {
        ar.WriteCompressedUInt32(1);
        ar.WriteCompressedUInt32(m_value);
        SerialisePref(ar, const_cast<pref&>(m_child));
        ar.SerialiseXvector(m_payload);
    }
    InputArchive Deserialise(InputArchive in)
    {
        int schema;
        in = ReadSchema(in, 1, schema);
        in = ReadCompressedUInt32FromBuffer(in, m_value);
        in = DeserialisePref(in, m_child);
        return DeserialiseXvector(in, m_payload);
    }
    void OnCreate(bool) {}

    AnyInterface AsAny() { return AnyInterface{this, &kPersistableTableOf<PNode>}; }
    IPersistablePtr AsPersistable() { return IPersistablePtr{this, &kPersistableTableOf<PNode>}; }

    ObjSysState m_sys{};
    PersistObjState m_pos;
    uint32_t m_value = 0;
    pref m_child;
    xvector<uint8_t> m_payload;
};

// A second persistable class: one 32-bit word, stored raw.
class PLeaf {
public:
    PLeaf() { ++g_liveObjects; }
    ~PLeaf() { --g_liveObjects; }
    static const ReflectedClass s_class;

    AnyInterface QueryInterface(const ReflectedInterface& ri) { return QueryPersistableInterface(this, ri); }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() { OnGarbageCollectPersistable(AnyInterface{this, &kPersistableTableOf<PLeaf>}); }
    void DestroyObject() { delete this; }
    ObjSysState& GetSysState() { return m_sys; }
    PersistObjState& GetPersistObjState() { return m_pos; }
    void VisitPrefs(IPrefVisitor&) {}
    bool RepresentsSubTree() const { return false; }
    void Serialise(Archive& ar) const
    {
        ar.WriteCompressedUInt32(1);
        ar.Write4(m_word);
    }
    InputArchive Deserialise(InputArchive in)
    {
        int schema;
        in = ReadSchema(in, 1, schema);
        return Read4FromBuffer(in, m_word);
    }
    void OnCreate(bool) {}
    IPersistablePtr AsPersistable() { return IPersistablePtr{this, &kPersistableTableOf<PLeaf>}; }

    ObjSysState m_sys{};
    PersistObjState m_pos;
    uint32_t m_word = 0;
};

// A reflected class that is not persistable.
class PPlain {
public:
    PPlain() { ++g_liveObjects; }
    ~PPlain() { --g_liveObjects; }
    static const ReflectedClass s_class;
    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    AnyInterface BindInterface(const ReflectedInterface& ri) { return QueryInterface(ri); }
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() {}
    void DestroyObject() { delete this; }
    ObjSysState& GetSysState() { return m_sys; }
    AnyInterface AsAny() { return AnyInterface{this, &kIObjectTableOf<PPlain>}; }
    ObjSysState m_sys{};
};

inline constexpr ReflectedClass MakeClassRecord(const char* name, int32_t size, ClassFactory factory)
{
    return ReflectedClass{1, name, size, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, 0, 0, nullptr, factory, TypeOps{}};
}
inline const ReflectedClass PNode::s_class = MakeClassRecord("vorn::test::PNode", sizeof(PNode), &NewPersistableFactory<PNode>);
inline const ReflectedClass PLeaf::s_class = MakeClassRecord("vorn::test::PLeaf", sizeof(PLeaf), &NewPersistableFactory<PLeaf>);
inline const ReflectedClass PPlain::s_class = MakeClassRecord("vorn::test::PPlain", sizeof(PPlain), &NewObjectFactory<PPlain>);
// Known by name but without a factory.
inline const ReflectedClass kAbstractClass = MakeClassRecord("vorn::test::PAbstract", 8, nullptr);

inline void RegisterTestClasses()
{
    static const bool once = [] {
        for (const ReflectedClass* c : {&PNode::s_class, &PLeaf::s_class, &PPlain::s_class, &kAbstractClass})
            RegisterReflectedItem(c->GetName(), GetReflectedClassRegistry(), c);
        return true;
    }();
    (void)once;
}

// The bytes that write produces through an archive.
template <class F>
std::vector<uint8_t> ArchiveBytes(F&& write)
{
    VectorOutputStream out;
    {
        Archive ar(&out);
        write(ar);
    }
    return out.m_bytes;
}

inline InputArchive InputOf(const std::vector<uint8_t>& v) { return InputArchive(v.data(), v.size()); }

// One store, schema, loader and space; the thread's spaces are set while it lives.
class SpaceContext {
public:
    // fresh: a new store on the memory storage; otherwise the one left by the last
    // context, with the schema given (as a stored class-id map).
    explicit SpaceContext(bool fresh = true, const std::vector<uint8_t>* storedClassIds = nullptr, bool startLoader = true)
    {
        RegisterTestClasses();
        bool created = false;
        LssSettings settings;
        settings.m_segmentSize = 0x10000;
        m_lss = OpenLSS("memfile", nullptr, &created, fresh ? OM_CREATE_ALWAYS : OM_OPEN_EXISTING, &settings);
        if (storedClassIds) {
            bool dirty = false;
            m_schema.m_classIds.Read(InputOf(*storedClassIds), nullptr, dirty);
        }
        if (startLoader) m_loader.Start();
        m_cspace = CreateCSpace(false, GCThreadFn{});
        const OidHigh high = fresh ? m_lss->AllocateSeidHigh() : kSeidCounterStart;
        if (fresh) m_rootsOid = OID(m_lss->AllocateSeid(high));
        else m_rootsOid = OID(kSeidCounterStart, high);
        m_space = std::make_unique<PSpace>(m_lss, &m_schema, &m_loader, m_cspace, xstring("P"), m_rootsOid, fresh);
        m_savedC = GetThreadCSpace();
        m_savedP = GetThreadPSpace();
        SetThreadCSpace(m_cspace);
        SetThreadPSpace(m_space.get());
    }
    ~SpaceContext()
    {
        SetThreadCSpace(m_savedC);
        SetThreadPSpace(m_savedP);
        m_space.reset(); // waits for the loads
        m_loader.Stop();
        m_cspace->Destroy();
        m_lss->Close();
    }

    PSpace& Space() { return *m_space; }
    CSpace* CS() { return m_cspace; }

    // A new node registered with the space.
    PNode* NewNode(uint32_t value, size_t payload = 0)
    {
        auto* n = new PNode;
        n->m_value = value;
        for (size_t i = 0; i < payload; ++i) n->m_payload.push_back(uint8_t(i * 7 + value));
        m_cspace->RegisterGcObject(n->AsAny());
        return n;
    }
    // Writes objects (each under its own OID) in one transaction.
    void Write(std::initializer_list<IPersistablePtr> objects)
    {
        ILssTransaction* txn = m_lss->OpenTransaction();
        for (IPersistablePtr p : objects) {
            const OID oid = p.m_table->GetPersistObjState(p.m_object).m_oid;
            ICloseableOutputStream* s = txn->WriteSerialElement(oid.m_low, oid.m_high);
            {
                Archive ar(s);
                WritePersistentObject(ar, m_schema, p);
                ar.Flush();
            }
            s->Close();
        }
        txn->Close();
    }
    // Writes raw bytes under an OID.
    void WriteRaw(OID oid, const std::vector<uint8_t>& bytes)
    {
        ILssTransaction* txn = m_lss->OpenTransaction();
        ICloseableOutputStream* s = txn->WriteSerialElement(oid.m_low, oid.m_high);
        s->WriteStream(bytes.data(), ssize_t(bytes.size()));
        s->Close();
        txn->Close();
    }
    std::vector<uint8_t> StoredClassIds()
    {
        return ArchiveBytes([&](Archive& ar) { m_schema.m_classIds.Write(ar); });
    }

    ILogStructuredStore* m_lss = nullptr;
    PersistSchema m_schema;
    AsyncObjectLoader m_loader;
    CSpace* m_cspace = nullptr;
    OID m_rootsOid;
    std::unique_ptr<PSpace> m_space;
    CSpace* m_savedC = nullptr;
    PSpace* m_savedP = nullptr;
};

// An observed computation that asks for one object asynchronously each time it runs.
class Asker final : public DGDepNode {
public:
    explicit Asker(PSpace& space, OID oid = OID()) : m_oid(oid), m_space(space)
    {
        m_flags |= DG_OBSERVER;
        PropagateObserved(this);
    }
    ~Asker() override { LoseInterest(); }
    // Drops its dependencies (its interest in the object).
    void LoseInterest()
    {
        m_flags &= ~DG_OBSERVER;
        ClearDependencies(this);
    }
    void VisitObjects(IObjectVisitor&) override {}
    bool IsInvalid() const { return (m_flags & DG_INVALID) != 0; }

    OID m_oid;
    IPersistablePtr m_got;
    int m_runs = 0;

protected:
    bool Recompute() override
    {
        ++m_runs;
        m_got = m_space.AsyncBind(m_oid);
        return true;
    }

private:
    PSpace& m_space;
};

} // namespace vorn::test
