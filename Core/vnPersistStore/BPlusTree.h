// vorn::BPlusTree: a persistable ordered map from keys to optional payloads of any
// reflected types, named by their ids in the store's type-operations table. Its nodes
// (BPlusTreeNode.h) are persistent objects of the tree's space, loaded one by one
// through prefs and written back only when changed. Entries are only ever added.
//
// The caller runs every operation inside a transaction on the tree's space, with that
// space as the thread's PSpace and its CSpace as the thread's CSpace (new nodes are
// registered there). A node that the tree binds must be of the expected class and carry
// the tree's type ids; anything else is a DeserialisationException, as is a stored tree
// whose count or height cannot be right.
#pragma once
#include "vnPersistStore/BPlusTreeNode.h"

namespace vorn {

class BPlusTree : public PersistableMixin<BPlusTree> {
public:
    static const ReflectedClass s_class; // "vorn::BPlusTree"

    struct InsertResult {
        LeafNode* m_leaf;
        int32_t m_index;
        bool m_inserted; // false: the key was there and nothing changed
    };
    struct FindResult {
        LeafNode* m_leaf; // null when the key is absent
        int32_t m_index;
    };

    BPlusTree() = default;
    // A copy through CopyFrom (the thread's spaces as for Insert).
    BPlusTree(const BPlusTree& o);
    BPlusTree& operator=(const BPlusTree& o);
    ~BPlusTree() = default;

    // Names the key and payload types (payload 0: none); only while the tree is empty.
    // Throws ProgrammingErrorException for a tree with entries.
    void SetTypeIds(TypeOpsId key, TypeOpsId payload);
    // Ids of types in the store of the thread's PSpace, added when new.
    static TypeOpsId GetTypeOpsIdOf(const ReflectionByteCodeValue& type);

    // value: a key and, when the tree has a payload, a payload at GetPayloadOffset().
    // Inserts the key (copy-constructed) with the payload (assigned) when absent; an
    // existing key keeps its payload.
    InsertResult Insert(const void* value);
    FindResult Find(const void* key);
    // Inserts every entry of source in key order, after taking source's type ids. A
    // source whose leaf chain holds more than its count is a DeserialisationException.
    void CopyFrom(BPlusTree& source);
    // Replaces the contents with a copy of source's; the old nodes of a persistent tree
    // are deleted from the store.
    void Assign(BPlusTree& source);

    int32_t GetCount() const { return m_count; }
    int32_t GetHeight() const { return m_height; }
    // The offset of the payload in a value given to Insert (binds the types).
    int32_t GetPayloadOffset();
    const BPlusTreeTypeBinding& GetBinding() const { return m_binding; }
    // The nodes, bound and checked (null for an empty tree).
    LeafNode* GetFirstLeaf() { return BindLeaf(m_firstLeaf, true); }
    LeafNode* GetLastLeaf() { return BindLeaf(m_lastLeaf, true); }
    // The leaf after or before leaf (null at the end).
    LeafNode* NextLeaf(LeafNode* leaf) { return BindLeaf(leaf->m_next, true); }
    LeafNode* PreviousLeaf(LeafNode* leaf) { return BindLeaf(leaf->m_previous, true); }
    // Root: a LeafNode at height 0, else an InternalNode.
    IPersistablePtr GetRoot();
    InternalNode* BindInternal(pref& p);
    LeafNode* BindLeaf(pref& p, bool mayBeNull);

    // IObject and IPersistable (the rest from PersistableMixin).
    const ReflectedClass* GetReflectedClass() const { return &s_class; }
    void VisitObjects(IObjectVisitor& v);
    void VisitPrefs(IPrefVisitor& v) { v.VisitPref(m_root); }
    bool RepresentsSubTree() const { return true; }
    void Serialise(Archive& ar) const;
    // Throws DeserialisationException for another schema, a negative count, a height
    // below -1 or one that disagrees with the root; the tree is then empty.
    InputArchive Deserialise(InputArchive in);

private:
    class Separator;
    void BindTypes();
    void Swap(BPlusTree& o);
    // Deletes the nodes of a persistent subtree from the store (not what they refer to).
    void DeleteNodes(pref& p, int32_t level);
    // A node with the tree's binding, registered with the thread's CSpace.
    template <class N>
    N* NewNode();
    InsertResult InsertIntoLeaf(LeafNode* leaf, const void* value, Separator& up);
    void InsertIntoInternal(InternalNode* node, Separator& sep, Separator& up);

    int32_t m_count = 0;
    pref m_firstLeaf;
    pref m_lastLeaf;
    pref m_root;
    int32_t m_height = -1;
    BPlusTreeTypeBinding m_binding;
};

// The tree and node classes, for the persistence module's registration; registers them
// with the class registry once.
void RegisterBPlusTreeClasses();

} // namespace vorn
