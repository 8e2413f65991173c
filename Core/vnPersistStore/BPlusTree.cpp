#include "vnPersistStore/BPlusTree.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PersistCallBacks.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/SpaceOperations.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/Registry.h"
#include <cstring>
#include <memory>
#include <type_traits>

namespace vorn {

static_assert(std::is_trivially_copyable_v<pref>, "node entries are moved as raw bytes");

namespace {

// Far above any height a tree of 2^31 entries reaches; a stored height beyond it is damage.
constexpr int32_t kMaxHeight = 32;
constexpr int32_t kSplitAt = kBPlusTreeNodeCapacity / 2;

template <class T>
void MarkDirty(T* object)
{
    const PersistObjState& s = object->GetPersistObjState();
    if (s.m_oid.IsNull() || (s.m_flags & POS_DIRTY) != 0) return;
    MarkPersistentAsDirtyWithoutTrace(object->AsPersistable().Any());
}

template <class P, class C>
void MakeChildPersist(P* parent, C* child, bool trace)
{
    if (parent->GetPersistObjState().m_oid.IsNull()) return;
    DeclareReachable(parent->AsPersistable().Any(), child->AsPersistable().Any(), trace);
}

// Objects that a value reaches through prefs get OIDs near the node that now holds it.
template <class N>
void PersistReachable(N* node, const TypeOps* ops, void* value)
{
    if (ops == nullptr || ops->m_visit2 == nullptr || node->GetPersistObjState().m_oid.IsNull()) return;
    AllocateOidsReachableFromValue(node->AsPersistable().Any(), ops->m_visit2, value);
}

// One entry's bytes outside any node: inline for short entries, else on the heap.
class EntryBuffer {
public:
    explicit EntryBuffer(int32_t size)
    {
        if (size > int32_t(sizeof(m_inline))) {
            m_heap.reset(new unsigned char[size_t(size)]);
            m_data = reinterpret_cast<char*>(m_heap.get());
        } else {
            m_data = reinterpret_cast<char*>(m_inline);
        }
    }
    char* Data() { return m_data; }

private:
    alignas(16) unsigned char m_inline[256];
    std::unique_ptr<unsigned char[]> m_heap;
    char* m_data;
};

[[noreturn]] void ThrowBadNode(const char* what)
{
    ThrowDeserialisationException((xstring("Bad B+ tree node : ") + xstring(what)).c_str());
}

} // namespace

// An internal entry {key, child} on its way up from a split. While live it owns its
// key; placing it in a node hands the key over as raw bytes.
class BPlusTree::Separator {
public:
    explicit Separator(const BPlusTreeTypeBinding& b) : m_binding(b), m_buffer(b.m_internalStride) {}
    ~Separator()
    {
        if (m_live) m_binding.m_keyOps->m_destructN(m_buffer.Data(), m_binding.m_internalStride, 1);
    }
    Separator(const Separator&) = delete;
    Separator& operator=(const Separator&) = delete;

    bool IsLive() const { return m_live; }
    const void* Key() { return m_buffer.Data(); }
    // A copy of key (the right sibling's first key stays where it is).
    void CopyKey(const void* key, pref child)
    {
        m_binding.m_keyOps->m_copyConstructN(m_buffer.Data(), m_binding.m_internalStride, key, m_binding.m_internalStride, 1);
        new (m_buffer.Data() + m_binding.m_keySlot) pref(child);
        m_live = true;
    }
    // Takes the key of an entry that leaves its node.
    void TakeKey(const char* entry, pref child)
    {
        std::memcpy(m_buffer.Data(), entry, size_t(m_binding.m_keySlot));
        new (m_buffer.Data() + m_binding.m_keySlot) pref(child);
        m_live = true;
    }
    void PlaceAt(char* entry)
    {
        std::memcpy(entry, m_buffer.Data(), size_t(m_binding.m_internalStride));
        m_live = false;
    }

private:
    const BPlusTreeTypeBinding& m_binding;
    EntryBuffer m_buffer;
    bool m_live = false;
};

namespace {

// A new leaf entry: a copy of the value's key and a default payload.
class NewLeafEntry {
public:
    NewLeafEntry(const BPlusTreeTypeBinding& b, const void* value) : m_binding(b), m_buffer(b.m_leafStride)
    {
        b.m_keyOps->m_copyConstructN(m_buffer.Data(), b.m_leafStride, value, b.m_leafStride, 1);
        if (b.m_payloadOps) {
            try {
                b.m_payloadOps->m_constructN(m_buffer.Data() + b.m_keySlot, b.m_leafStride, 1);
            } catch (...) {
                b.m_keyOps->m_destructN(m_buffer.Data(), b.m_leafStride, 1);
                throw;
            }
        }
        m_live = true;
    }
    ~NewLeafEntry()
    {
        if (!m_live) return;
        m_binding.m_keyOps->m_destructN(m_buffer.Data(), m_binding.m_leafStride, 1);
        if (m_binding.m_payloadOps) m_binding.m_payloadOps->m_destructN(m_buffer.Data() + m_binding.m_keySlot, m_binding.m_leafStride, 1);
    }
    NewLeafEntry(const NewLeafEntry&) = delete;
    NewLeafEntry& operator=(const NewLeafEntry&) = delete;
    void PlaceAt(char* entry)
    {
        std::memcpy(entry, m_buffer.Data(), size_t(m_binding.m_leafStride));
        m_live = false;
    }

private:
    const BPlusTreeTypeBinding& m_binding;
    EntryBuffer m_buffer;
    bool m_live = false;
};

} // namespace

const ReflectedClass BPlusTree::s_class = MakeClassRecord<BPlusTree>(
    "vorn::BPlusTree", 1, ValueTypeOps<BPlusTree>(), nullptr, nullptr, 0, nullptr, 0, &NewPersistableFactory<BPlusTree>);

void RegisterBPlusTreeClasses()
{
    static const bool once = [] {
        for (const ReflectedClass* c : {&BPlusTree::s_class, &InternalNode::s_class, &LeafNode::s_class})
            RegisterReflectedItem(c->GetName(), GetReflectedClassRegistry(), c);
        return true;
    }();
    (void)once;
}

BPlusTree::BPlusTree(const BPlusTree& o) : PersistableMixin() { CopyFrom(const_cast<BPlusTree&>(o)); }

BPlusTree& BPlusTree::operator=(const BPlusTree& o)
{
    Assign(const_cast<BPlusTree&>(o));
    return *this;
}

void BPlusTree::SetTypeIds(TypeOpsId key, TypeOpsId payload)
{
    if (m_height != -1) throw ProgrammingErrorException(xstring("B+ tree types changed on a tree with entries"));
    if (m_binding.m_keyId == key && m_binding.m_payloadId == payload) return;
    m_binding.m_keyId = key;
    m_binding.m_payloadId = payload;
    m_binding.Clear();
    MarkDirty(this);
}

TypeOpsId BPlusTree::GetTypeOpsIdOf(const ReflectionByteCodeValue& type)
{
    PSpace* space = GetThreadPSpace();
    if (space == nullptr) throw ProgrammingErrorException(xstring("B+ tree type ids asked for without a thread PSpace"));
    return space->GetSchema().GetTypeOpsId(type);
}

void BPlusTree::BindTypes()
{
    if (m_binding.IsBound()) return;
    if (m_binding.m_keyId == 0) throw ProgrammingErrorException(xstring("B+ tree used before its key type is set"));
    m_binding.Bind();
}

int32_t BPlusTree::GetPayloadOffset()
{
    BindTypes();
    return m_binding.m_keySlot;
}

// ---- binding nodes -------------------------------------------------------------------

InternalNode* BPlusTree::BindInternal(pref& p)
{
    const IPersistablePtr o = p.Get();
    if (o.IsNull()) throw DerefNullPrefException();
    if (o.Object().GetReflectedClass(o.m_object) != &InternalNode::s_class) ThrowBadNode("an internal node of another class");
    auto* node = static_cast<InternalNode*>(o.m_object);
    if (!node->m_binding.SameIds(m_binding)) ThrowBadNode("type ids differ from its tree's");
    if (!node->m_binding.IsBound()) node->m_binding = m_binding;
    return node;
}

LeafNode* BPlusTree::BindLeaf(pref& p, bool mayBeNull)
{
    const IPersistablePtr o = p.Get();
    if (o.IsNull()) {
        if (mayBeNull) return nullptr;
        throw DerefNullPrefException();
    }
    if (o.Object().GetReflectedClass(o.m_object) != &LeafNode::s_class) ThrowBadNode("a leaf of another class");
    auto* leaf = static_cast<LeafNode*>(o.m_object);
    if (!leaf->m_binding.SameIds(m_binding)) ThrowBadNode("type ids differ from its tree's");
    if (!leaf->m_binding.IsBound()) leaf->m_binding = m_binding;
    return leaf;
}

IPersistablePtr BPlusTree::GetRoot()
{
    if (m_height < 0) return IPersistablePtr{};
    BindTypes();
    if (m_height == 0) return BindLeaf(m_root, false)->AsPersistable();
    return BindInternal(m_root)->AsPersistable();
}

template <class N>
N* BPlusTree::NewNode()
{
    auto* node = new N;
    try {
        node->SetBinding(m_binding);
    } catch (...) {
        delete node;
        throw;
    }
    RegisterGcObject(node->AsPersistable().Any());
    return node;
}

// ---- search and insertion ------------------------------------------------------------

BPlusTree::FindResult BPlusTree::Find(const void* key)
{
    if (m_height < 0) return {nullptr, 0};
    BindTypes();
    pref* p = &m_root;
    for (int32_t level = m_height; level > 0; --level) p = &BindInternal(*p)->ChildFor(key);
    LeafNode* leaf = BindLeaf(*p, false);
    const int32_t s = m_binding.m_leafStride;
    const ssize_t i = m_binding.m_keyOps->m_lowerBound(leaf->Entry(0), s, leaf->m_count, key);
    if (i < leaf->m_count && m_binding.m_keyOps->m_equal(leaf->Entry(int32_t(i)), key)) return {leaf, int32_t(i)};
    return {nullptr, 0};
}

BPlusTree::InsertResult BPlusTree::Insert(const void* value)
{
    BindTypes();
    if (m_height == -1) {
        LeafNode* leaf = NewNode<LeafNode>();
        m_firstLeaf = m_lastLeaf = m_root = pref(leaf->AsPersistable());
        m_height = 0;
        MarkDirty(this);
        MakeChildPersist(this, leaf, false);
    }

    InternalNode* path[kMaxHeight];
    int32_t depth = 0;
    pref* p = &m_root;
    for (int32_t level = m_height; level > 0; --level) {
        InternalNode* node = BindInternal(*p);
        path[depth++] = node;
        p = &node->ChildFor(value);
    }
    LeafNode* leaf = BindLeaf(*p, false);

    Separator first(m_binding), second(m_binding);
    Separator* up = &first;
    Separator* next = &second;
    const InsertResult r = InsertIntoLeaf(leaf, value, *up);
    if (!r.m_inserted) return r;
    while (up->IsLive() && depth > 0) {
        InsertIntoInternal(path[--depth], *up, *next);
        std::swap(up, next);
    }
    if (up->IsLive()) {
        InternalNode* root = NewNode<InternalNode>();
        root->m_firstChild = m_root;
        up->PlaceAt(root->Entry(0));
        root->m_count = 1;
        m_root = pref(root->AsPersistable());
        ++m_height;
        MarkDirty(this);
        MakeChildPersist(this, root, false);
    }

    if (m_binding.m_payloadOps) {
        void* payload = r.m_leaf->PayloadAt(r.m_index);
        m_binding.m_payloadOps->m_assignN(payload, m_binding.m_leafStride,
                                          static_cast<const char*>(value) + m_binding.m_keySlot, m_binding.m_leafStride, 1);
        MarkDirty(r.m_leaf);
        PersistReachable(r.m_leaf, m_binding.m_payloadOps, payload);
    }
    return r;
}

BPlusTree::InsertResult BPlusTree::InsertIntoLeaf(LeafNode* leaf, const void* value, Separator& up)
{
    const int32_t n = leaf->m_count;
    const int32_t s = m_binding.m_leafStride;
    const TypeOps* keyOps = m_binding.m_keyOps;
    const int32_t p = int32_t(keyOps->m_lowerBound(leaf->Entry(0), s, n, value));
    if (p < n && keyOps->m_equal(leaf->Entry(p), value)) return {leaf, p, false};

    NewLeafEntry entry(m_binding, value);
    LeafNode* holder = leaf;
    int32_t index = p;
    if (n < kBPlusTreeNodeCapacity) {
        std::memmove(leaf->Entry(p + 1), leaf->Entry(p), size_t(n - p) * size_t(s));
        entry.PlaceAt(leaf->Entry(p));
        leaf->m_count = n + 1;
    } else {
        LeafNode* right = NewNode<LeafNode>();
        right->m_previous = pref(leaf->AsPersistable());
        right->m_next = leaf->m_next;
        if (LeafNode* after = BindLeaf(leaf->m_next, true)) {
            after->m_previous = pref(right->AsPersistable());
            MarkDirty(after);
        } else {
            m_lastLeaf = pref(right->AsPersistable());
        }
        leaf->m_next = pref(right->AsPersistable());
        // Raw moves from here on: nothing below throws until the entry is placed.
        if (p > kSplitAt - 1) {
            const int32_t before = p - kSplitAt;
            std::memcpy(right->Entry(0), leaf->Entry(kSplitAt), size_t(before) * size_t(s));
            entry.PlaceAt(right->Entry(before));
            std::memcpy(right->Entry(before + 1), leaf->Entry(p), size_t(kBPlusTreeNodeCapacity - p) * size_t(s));
            holder = right;
            index = before;
        } else {
            std::memcpy(right->Entry(0), leaf->Entry(kSplitAt - 1), size_t(kSplitAt + 1) * size_t(s));
            std::memmove(leaf->Entry(p + 1), leaf->Entry(p), size_t(kSplitAt - 1 - p) * size_t(s));
            entry.PlaceAt(leaf->Entry(p));
        }
        leaf->m_count = kSplitAt;
        right->m_count = kBPlusTreeNodeCapacity + 1 - kSplitAt;
        MakeChildPersist(leaf, right, false);
        MarkDirty(right);
        up.CopyKey(right->Entry(0), pref(right->AsPersistable()));
    }
    ++m_count;
    MarkDirty(this);
    MarkDirty(leaf);
    MarkDirty(holder);
    PersistReachable(holder, keyOps, holder->Entry(index));
    return {holder, index, true};
}

void BPlusTree::InsertIntoInternal(InternalNode* node, Separator& sep, Separator& up)
{
    const int32_t n = node->m_count;
    const int32_t s = m_binding.m_internalStride;
    const int32_t p = int32_t(m_binding.m_keyOps->m_lowerBound(node->Entry(0), s, n, sep.Key()));
    if (n < kBPlusTreeNodeCapacity) {
        std::memmove(node->Entry(p + 1), node->Entry(p), size_t(n - p) * size_t(s));
        sep.PlaceAt(node->Entry(p));
        node->m_count = n + 1;
        PersistReachable(node, m_binding.m_keyOps, node->Entry(p));
    } else {
        InternalNode* right = NewNode<InternalNode>();
        if (p > kSplitAt) {
            const int32_t before = p - kSplitAt - 1;
            std::memcpy(right->Entry(0), node->Entry(kSplitAt + 1), size_t(before) * size_t(s));
            sep.PlaceAt(right->Entry(before));
            std::memcpy(right->Entry(before + 1), node->Entry(p), size_t(kBPlusTreeNodeCapacity - p) * size_t(s));
        } else {
            std::memcpy(right->Entry(0), node->Entry(kSplitAt), size_t(kSplitAt) * size_t(s));
            std::memmove(node->Entry(p + 1), node->Entry(p), size_t(kSplitAt - p) * size_t(s));
            sep.PlaceAt(node->Entry(p));
        }
        // The entry at kSplitAt goes up: its child leads the new node, its key separates.
        right->m_firstChild = node->ChildAt(kSplitAt);
        up.TakeKey(node->Entry(kSplitAt), pref(right->AsPersistable()));
        node->m_count = kSplitAt;
        right->m_count = kBPlusTreeNodeCapacity - kSplitAt;
        MakeChildPersist(node, right, false);
        MarkDirty(right);
    }
    MarkDirty(node);
}

// ---- copies --------------------------------------------------------------------------

void BPlusTree::CopyFrom(BPlusTree& source)
{
    if (&source == this) return;
    if (m_height != -1 && !m_binding.SameIds(source.m_binding))
        throw ProgrammingErrorException(xstring("B+ tree copied into a tree of other types"));
    SetTypeIds(source.m_binding.m_keyId, source.m_binding.m_payloadId);
    if (source.m_height < 0) return;
    source.BindTypes();
    BindTypes();
    // A damaged chain (a loop, or leaves the count does not know) ends the copy.
    int64_t seen = 0, leaves = 0;
    for (LeafNode* leaf = source.GetFirstLeaf(); leaf != nullptr; leaf = source.NextLeaf(leaf)) {
        seen += leaf->m_count;
        if (seen > source.m_count || ++leaves > int64_t(source.m_count) + 1)
            ThrowDeserialisationException("Bad B+ tree : the leaf chain holds more than the count");
        for (int32_t i = 0; i < leaf->m_count; ++i) Insert(leaf->Entry(i));
    }
}

void BPlusTree::Swap(BPlusTree& o)
{
    std::swap(m_count, o.m_count);
    std::swap(m_height, o.m_height);
    std::swap(m_root, o.m_root);
    std::swap(m_firstLeaf, o.m_firstLeaf);
    std::swap(m_lastLeaf, o.m_lastLeaf);
    std::swap(m_binding, o.m_binding);
}

void BPlusTree::Assign(BPlusTree& source)
{
    if (&source == this) return;
    auto* temp = new BPlusTree;
    RegisterGcObject(temp->AsPersistable().Any());
    temp->CopyFrom(source);
    Swap(*temp);
    const bool mine = !m_pos.m_oid.IsNull();
    const bool theirs = !temp->m_pos.m_oid.IsNull();
    if (mine && theirs) {
        MarkDirty(this);
        MarkDirty(temp);
    } else if (mine) {
        // The new nodes enter the store; the old ones (now the temporary's) leave it.
        // Only the nodes go: what their entries refer to may be shared with the copy.
        MarkDirty(this);
        const IPersistablePtr newRoot = m_root.Get();
        if (!newRoot.IsNull()) DeclareReachable(AsPersistable().Any(), newRoot.Any(), true);
        if (temp->m_height >= 0) temp->DeleteNodes(temp->m_root, temp->m_height);
        temp->m_count = 0;
        temp->m_height = -1;
        temp->m_firstLeaf = temp->m_lastLeaf = temp->m_root = pref();
    }
}

void BPlusTree::DeleteNodes(pref& p, int32_t level)
{
    if (level == 0) {
        SyncPermanentlyDeleteObject(BindLeaf(p, false)->AsPersistable().Any());
        return;
    }
    InternalNode* node = BindInternal(p);
    DeleteNodes(node->m_firstChild, level - 1);
    for (int32_t i = 0; i < node->m_count; ++i) DeleteNodes(node->ChildAt(i), level - 1);
    SyncPermanentlyDeleteObject(node->AsPersistable().Any());
}

// ---- IObject and IPersistable ----------------------------------------------------------

void BPlusTree::VisitObjects(IObjectVisitor& v)
{
    VisitPref(v, m_firstLeaf);
    VisitPref(v, m_lastLeaf);
    VisitPref(v, m_root);
}


void BPlusTree::Serialise(Archive& ar) const
{
    auto& self = const_cast<BPlusTree&>(*this);
    WriteBPlusTreeHeader(ar, kBPlusTreeSchema, m_binding);
    ar.Write4(uint32_t(m_count));
    SerialisePref(ar, self.m_firstLeaf);
    SerialisePref(ar, self.m_lastLeaf);
    SerialisePref(ar, self.m_root);
    ar.Write4(uint32_t(m_height));
}

InputArchive BPlusTree::Deserialise(InputArchive in)
{
    m_count = 0;
    m_height = -1;
    m_firstLeaf = m_lastLeaf = m_root = pref();
    BPlusTreeTypeBinding ids;
    in = ReadBPlusTreeHeader(in, kBPlusTreeSchema, ids);
    int32_t count = 0, height = 0;
    pref first, last, root;
    in = Read4FromBuffer(in, count);
    in = DeserialisePref(in, first);
    in = DeserialisePref(in, last);
    in = DeserialisePref(in, root);
    in = Read4FromBuffer(in, height);
    if (count < 0) ThrowDeserialisationException("Bad B+ tree : negative entry count");
    if (height < -1 || height > kMaxHeight) ThrowDeserialisationException("Bad B+ tree : height out of range");
    if ((height == -1) != root.IsNull() || (height == -1) != first.IsNull() || (height == -1) != last.IsNull())
        ThrowDeserialisationException("Bad B+ tree : height and nodes disagree");
    m_binding = ids;
    m_count = count;
    m_firstLeaf = first;
    m_lastLeaf = last;
    m_root = root;
    m_height = height;
    return in;
}

} // namespace vorn
