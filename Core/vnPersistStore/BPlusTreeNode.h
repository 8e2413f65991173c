// The nodes of the persistent B+ tree (BPlusTree.h) and the type binding that the tree
// and each of its nodes carry.
//
// vorn::BPlusTreeTypeBinding names the key and payload types by their ids in the store's
// type-operations table and, once bound, holds their operations and the entry layouts.
// In memory an entry is the key, then (at the binding's m_keySlot, the key size rounded
// up to 8 bytes so that every value stays aligned) the child pref of an internal entry
// or the payload of a leaf entry. Both kinds of node keep their entries through one
// body, which handles the second value by its type operations (a pref's for a child).
//
// vorn::InternalNode holds up to 100 {key, child} entries after its first child;
// vorn::LeafNode up to 100 {key, payload} entries, keys ascending and unique, linked to
// its neighbours. Both are persistable objects that the tree creates, links and changes;
// a node read from the store binds its types through the store it is read from, on any
// thread.
#pragma once
#include "vnPersistStore/BPlusTreeLayout.h"
#include "vnPersistStore/Pref.h"
#include "vnPersistStore/TypeOpsTable.h"
#include "vnUtils/XVector.h"

namespace vorn {

struct BPlusTreeTypeBinding {
    TypeOpsId m_keyId = 0;
    TypeOpsId m_payloadId = 0; // 0: no payload
    // Filled by Bind; never stored.
    const TypeOps* m_keyOps = nullptr;
    const TypeOps* m_payloadOps = nullptr;
    int32_t m_keySlot = 0;        // bytes from an entry's start to its second part
    int32_t m_internalStride = 0; // key slot + pref
    int32_t m_leafStride = 0;     // key slot + payload (or the key alone)

    bool IsBound() const { return m_keyOps != nullptr; }
    bool SameIds(const BPlusTreeTypeBinding& o) const { return m_keyId == o.m_keyId && m_payloadId == o.m_payloadId; }
    // Looks both ids up in the type-operations table of the store whose object the
    // thread is reading (GetReadingSchema), else of the store of the thread's PSpace
    // (BadTypeOpsIdException, TypeOpsNotFoundException). Throws
    // ProgrammingErrorException when there is neither, or when a
    // type lacks an operation the tree needs (order, bounds, copies, serialisation).
    void Bind();
    // Forgets the operations, keeps the ids.
    void Clear();
};

// The start of every record of a tree or node: schema, key id, payload id. Reading
// checks the schema and the ids' range (DeserialisationException) and leaves b's ids
// set and its operations cleared.
void WriteBPlusTreeHeader(Archive& ar, int schema, const BPlusTreeTypeBinding& b);
InputArchive ReadBPlusTreeHeader(InputArchive in, int schema, BPlusTreeTypeBinding& b);

class InternalNode : public PersistableMixin<InternalNode> {
public:
    static const ReflectedClass s_class; // "vorn::InternalNode"

    InternalNode() = default;
    // Copies entries through the key type's operations (a bound source only).
    InternalNode(const InternalNode& o);
    InternalNode& operator=(const InternalNode& o);
    ~InternalNode();

    // Takes the binding (bound) and makes room for a full node's entries.
    void SetBinding(const BPlusTreeTypeBinding& b);
    int32_t GetCount() const { return m_count; }
    char* Entry(int32_t i) { return reinterpret_cast<char*>(m_entries.data()) + size_t(i) * size_t(m_binding.m_internalStride); }
    const char* Entry(int32_t i) const
    {
        return reinterpret_cast<const char*>(m_entries.data()) + size_t(i) * size_t(m_binding.m_internalStride);
    }
    void* KeyAt(int32_t i) { return Entry(i); }
    pref& ChildAt(int32_t i) { return *reinterpret_cast<pref*>(Entry(i) + m_binding.m_keySlot); }
    pref& FirstChild() { return m_firstChild; }
    // The child whose subtree holds key: after the last entry key not above it.
    pref& ChildFor(const void* key);
    const BPlusTreeTypeBinding& GetBinding() const { return m_binding; }

    // IObject and IPersistable (the rest from PersistableMixin).
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void VisitObjects(IObjectVisitor& v);
    void VisitPrefs(IPrefVisitor& v);
    bool RepresentsSubTree() const { return true; }
    void Serialise(Archive& ar) const;
    // Throws DeserialisationException for another schema, a count outside 0..100 or a
    // damaged record; the node is then empty.
    InputArchive Deserialise(InputArchive in);

private:
    friend class BPlusTree;
    void DestructEntries();
    void CopyEntriesFrom(const InternalNode& o);

    pref m_firstChild;
    int32_t m_count = 0;
    xvector<uint8_t> m_entries;
    BPlusTreeTypeBinding m_binding;
};

class LeafNode : public PersistableMixin<LeafNode> {
public:
    static const ReflectedClass s_class; // "vorn::LeafNode"

    LeafNode() = default;
    LeafNode(const LeafNode& o);
    LeafNode& operator=(const LeafNode& o);
    ~LeafNode();

    void SetBinding(const BPlusTreeTypeBinding& b);
    int32_t GetCount() const { return m_count; }
    char* Entry(int32_t i) { return reinterpret_cast<char*>(m_entries.data()) + size_t(i) * size_t(m_binding.m_leafStride); }
    const char* Entry(int32_t i) const
    {
        return reinterpret_cast<const char*>(m_entries.data()) + size_t(i) * size_t(m_binding.m_leafStride);
    }
    const void* KeyAt(int32_t i) const { return Entry(i); }
    // Null when the tree has no payload.
    void* PayloadAt(int32_t i) { return m_binding.m_payloadOps ? Entry(i) + m_binding.m_keySlot : nullptr; }
    pref& Previous() { return m_previous; }
    pref& Next() { return m_next; }
    const BPlusTreeTypeBinding& GetBinding() const { return m_binding; }

    // IObject and IPersistable (the rest from PersistableMixin).
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void VisitObjects(IObjectVisitor& v);
    void VisitPrefs(IPrefVisitor& v);
    bool RepresentsSubTree() const { return true; }
    void Serialise(Archive& ar) const;
    // As InternalNode::Deserialise.
    InputArchive Deserialise(InputArchive in);

private:
    friend class BPlusTree;
    void DestructEntries();
    void CopyEntriesFrom(const LeafNode& o);

    pref m_previous;
    pref m_next;
    int32_t m_count = 0;
    xvector<uint8_t> m_entries;
    BPlusTreeTypeBinding m_binding;
};

} // namespace vorn
