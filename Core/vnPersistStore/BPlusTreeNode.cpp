#include "vnPersistStore/BPlusTreeNode.h"
#include "vnPersistStore/ObjectSerialisation.h"
#include "vnPersistStore/PSpace.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/OperationCallBacks.h"
#include <cstring>

namespace vorn {

namespace {

constexpr int32_t kEntryAlignment = 8;

int32_t RoundUp(int32_t n) { return (n + kEntryAlignment - 1) & ~(kEntryAlignment - 1); }

void RequireSlots(const TypeOps* ops, bool isKey)
{
    const bool ok = ops->m_size > 0 && ops->m_constructN && ops->m_copyConstructN && ops->m_assignN &&
                    ops->m_destructN && ops->m_serialiseN && ops->m_deserialiseN &&
                    (!isKey || (ops->m_equal && ops->m_lowerBound && ops->m_upperBound));
    if (!ok)
        throw ProgrammingErrorException(isKey ? xstring("B+ tree key type lacks an operation the tree needs")
                                              : xstring("B+ tree payload type lacks an operation the tree needs"));
}

} // namespace

InputArchive ReadBPlusTreeHeader(InputArchive in, int schemaNumber, BPlusTreeTypeBinding& b)
{
    int schema;
    in = ReadSchema(in, schemaNumber, schema);
    uint32_t key = 0, payload = 0;
    in = ReadCompressedUInt32FromBuffer(in, key);
    in = ReadCompressedUInt32FromBuffer(in, payload);
    if (key > uint32_t(INT32_MAX) || payload > uint32_t(INT32_MAX))
        ThrowDeserialisationException("Bad B+ tree record : type id out of range");
    b.m_keyId = TypeOpsId(key);
    b.m_payloadId = TypeOpsId(payload);
    b.Clear();
    return in;
}

void WriteBPlusTreeHeader(Archive& ar, int schema, const BPlusTreeTypeBinding& b)
{
    ar.WriteCompressedUInt32(uint32_t(schema));
    ar.WriteCompressedUInt32(uint32_t(b.m_keyId));
    ar.WriteCompressedUInt32(uint32_t(b.m_payloadId));
}

namespace {

InputArchive ReadCount(InputArchive in, int32_t& count)
{
    in = Read4FromBuffer(in, count);
    if (count < 0 || count > kBPlusTreeNodeCapacity)
        ThrowDeserialisationException("Bad B+ tree node : entry count outside 0..100");
    return in;
}

void AllocateEntries(xvector<uint8_t>& entries, int32_t stride)
{
    entries.clear();
    entries.resize(stride * kBPlusTreeNodeCapacity);
}

// The collector's and the pref walkers' view of count values at a stride.
void VisitValues(ValueVisitFunction visit, void* context, void* first, int32_t stride, int32_t count)
{
    if (visit != nullptr && count > 0) visit(context, first, stride, count);
}

} // namespace

// ---- binding -----------------------------------------------------------------------

void BPlusTreeTypeBinding::Bind()
{
    // A node being read binds through the store it is read from; a tree in use through
    // the thread's space.
    PersistSchema* schema = GetReadingSchema();
    if (schema == nullptr) {
        PSpace* space = GetThreadPSpace();
        if (space == nullptr) throw ProgrammingErrorException(xstring("B+ tree types bound without a thread PSpace"));
        schema = &space->GetSchema();
    }
    TypeOpsTable& table = schema->m_typeOps;
    const TypeOps* key = table.GetTypeOps(m_keyId).m_ops;
    RequireSlots(key, true);
    const TypeOps* payload = nullptr;
    if (m_payloadId != 0) {
        payload = table.GetTypeOps(m_payloadId).m_ops;
        RequireSlots(payload, false);
    }
    m_keyOps = key;
    m_payloadOps = payload;
    m_keySlot = RoundUp(key->m_size);
    m_internalStride = m_keySlot + int32_t(sizeof(pref));
    m_leafStride = payload ? RoundUp(m_keySlot + payload->m_size) : m_keySlot;
}

void BPlusTreeTypeBinding::Clear()
{
    m_keyOps = nullptr;
    m_payloadOps = nullptr;
    m_keySlot = m_internalStride = m_leafStride = 0;
}

// ---- entries ----------------------------------------------------------------------------

namespace {

// How a node's entries lie: count entries at stride, each a key and, at the key slot, a
// second value (an internal entry's child pref, a leaf entry's payload, or none), both
// handled through their type operations.
struct EntryLayout {
    const TypeOps* m_key;
    const TypeOps* m_second; // null: keys alone
    int32_t m_keySlot;
    int32_t m_stride;

    char* Seconds(char* first) const { return first + m_keySlot; }
    const char* Seconds(const char* first) const { return first + m_keySlot; }
};

EntryLayout InternalLayout(const BPlusTreeTypeBinding& b)
{
    return EntryLayout{b.m_keyOps, &GetPrefTypeOpsTable(), b.m_keySlot, b.m_internalStride};
}

EntryLayout LeafLayout(const BPlusTreeTypeBinding& b)
{
    return EntryLayout{b.m_keyOps, b.m_payloadOps, b.m_keySlot, b.m_leafStride};
}

void DestroyEntries(const EntryLayout& l, char* first, int32_t count)
{
    if (count <= 0) return;
    l.m_key->m_destructN(first, l.m_stride, count);
    if (l.m_second) l.m_second->m_destructN(l.Seconds(first), l.m_stride, count);
}

// Copy-constructs count entries; nothing is left constructed when it throws.
void CopyConstructEntries(const EntryLayout& l, char* to, const char* from, int32_t count)
{
    l.m_key->m_copyConstructN(to, l.m_stride, from, l.m_stride, count);
    if (l.m_second == nullptr) return;
    try {
        l.m_second->m_copyConstructN(l.Seconds(to), l.m_stride, l.Seconds(from), l.m_stride, count);
    } catch (...) {
        l.m_key->m_destructN(to, l.m_stride, count);
        throw;
    }
}

// Default-constructs count entries; nothing is left constructed when it throws.
void ConstructEntries(const EntryLayout& l, char* first, int32_t count)
{
    l.m_key->m_constructN(first, l.m_stride, count);
    if (l.m_second == nullptr) return;
    try {
        l.m_second->m_constructN(l.Seconds(first), l.m_stride, count);
    } catch (...) {
        l.m_key->m_destructN(first, l.m_stride, count);
        throw;
    }
}

// The collector's (m_visit1) or a pref walker's (m_visit2) view of the entries.
void VisitEntries(const EntryLayout& l, ValueVisitFunction TypeOps::*visit, void* context, char* first, int32_t count)
{
    VisitValues(l.m_key->*visit, context, first, l.m_stride, count);
    if (l.m_second) VisitValues(l.m_second->*visit, context, l.Seconds(first), l.m_stride, count);
}

// Stored form: every key, then every second value.
void SerialiseEntries(const EntryLayout& l, Archive& ar, const char* first, int32_t count)
{
    if (count == 0) return;
    l.m_key->m_serialiseN(ar, first, l.m_stride, count);
    if (l.m_second) l.m_second->m_serialiseN(ar, l.Seconds(first), l.m_stride, count);
}

InputArchive DeserialiseEntries(const EntryLayout& l, InputArchive in, char* first, int32_t count)
{
    in = l.m_key->m_deserialiseN(in, first, l.m_stride, count);
    if (l.m_second) in = l.m_second->m_deserialiseN(in, l.Seconds(first), l.m_stride, count);
    return in;
}

// Reads the count and count entries into storage for a full node; count is the node's
// count, set once the entries are constructed. A failure leaves none.
InputArchive ReadEntries(InputArchive in, const EntryLayout& l, char* first, int32_t& count)
{
    int32_t n = 0;
    in = ReadCount(in, n);
    ConstructEntries(l, first, n);
    try {
        in = DeserialiseEntries(l, in, first, n);
    } catch (...) {
        DestroyEntries(l, first, n);
        throw;
    }
    count = n;
    return in;
}

} // namespace

// ---- internal nodes ------------------------------------------------------------------

const ReflectedClass InternalNode::s_class =
    MakeClassRecord<InternalNode>("vorn::InternalNode", 1, ValueTypeOps<InternalNode>(), nullptr, nullptr, 0, nullptr, 0,
                                  &NewPersistableFactory<InternalNode>);

InternalNode::InternalNode(const InternalNode& o) : PersistableMixin(), m_firstChild(o.m_firstChild) { CopyEntriesFrom(o); }

InternalNode& InternalNode::operator=(const InternalNode& o)
{
    if (this == &o) return *this;
    DestructEntries();
    m_firstChild = o.m_firstChild;
    CopyEntriesFrom(o);
    return *this;
}

InternalNode::~InternalNode() { DestructEntries(); }

void InternalNode::CopyEntriesFrom(const InternalNode& o)
{
    m_binding = o.m_binding;
    if (!m_binding.IsBound()) return;
    AllocateEntries(m_entries, m_binding.m_internalStride);
    CopyConstructEntries(InternalLayout(m_binding), Entry(0), o.Entry(0), o.m_count);
    m_count = o.m_count;
}

void InternalNode::DestructEntries()
{
    if (m_binding.IsBound()) DestroyEntries(InternalLayout(m_binding), Entry(0), m_count);
    m_count = 0;
}

void InternalNode::SetBinding(const BPlusTreeTypeBinding& b)
{
    DestructEntries();
    m_binding = b;
    AllocateEntries(m_entries, b.m_internalStride);
}

pref& InternalNode::ChildFor(const void* key)
{
    const ssize_t i = m_binding.m_keyOps->m_upperBound(Entry(0), m_binding.m_internalStride, m_count, key);
    return i > 0 ? ChildAt(int32_t(i - 1)) : m_firstChild;
}

void InternalNode::VisitObjects(IObjectVisitor& v)
{
    VisitPref(v, m_firstChild);
    if (m_binding.IsBound()) VisitEntries(InternalLayout(m_binding), &TypeOps::m_visit1, &v, Entry(0), m_count);
}

void InternalNode::VisitPrefs(IPrefVisitor& v)
{
    v.VisitPref(m_firstChild);
    if (m_binding.IsBound()) VisitEntries(InternalLayout(m_binding), &TypeOps::m_visit2, &v, Entry(0), m_count);
}

void InternalNode::Serialise(Archive& ar) const
{
    WriteBPlusTreeHeader(ar, kInternalNodeSchema, m_binding);
    SerialisePref(ar, const_cast<pref&>(m_firstChild));
    ar.Write4(uint32_t(m_count));
    SerialiseEntries(InternalLayout(m_binding), ar, Entry(0), m_count);
}

InputArchive InternalNode::Deserialise(InputArchive in)
{
    DestructEntries();
    in = ReadBPlusTreeHeader(in, kInternalNodeSchema, m_binding);
    m_binding.Bind();
    AllocateEntries(m_entries, m_binding.m_internalStride);
    in = DeserialisePref(in, m_firstChild);
    return ReadEntries(in, InternalLayout(m_binding), Entry(0), m_count);
}

// ---- leaf nodes ------------------------------------------------------------------------

const ReflectedClass LeafNode::s_class = MakeClassRecord<LeafNode>(
    "vorn::LeafNode", 1, ValueTypeOps<LeafNode>(), nullptr, nullptr, 0, nullptr, 0, &NewPersistableFactory<LeafNode>);

LeafNode::LeafNode(const LeafNode& o) : PersistableMixin(), m_previous(o.m_previous), m_next(o.m_next) { CopyEntriesFrom(o); }

LeafNode& LeafNode::operator=(const LeafNode& o)
{
    if (this == &o) return *this;
    DestructEntries();
    m_previous = o.m_previous;
    m_next = o.m_next;
    CopyEntriesFrom(o);
    return *this;
}

LeafNode::~LeafNode() { DestructEntries(); }

void LeafNode::CopyEntriesFrom(const LeafNode& o)
{
    m_binding = o.m_binding;
    if (!m_binding.IsBound()) return;
    AllocateEntries(m_entries, m_binding.m_leafStride);
    CopyConstructEntries(LeafLayout(m_binding), Entry(0), o.Entry(0), o.m_count);
    m_count = o.m_count;
}

void LeafNode::DestructEntries()
{
    if (m_binding.IsBound()) DestroyEntries(LeafLayout(m_binding), Entry(0), m_count);
    m_count = 0;
}

void LeafNode::SetBinding(const BPlusTreeTypeBinding& b)
{
    DestructEntries();
    m_binding = b;
    AllocateEntries(m_entries, b.m_leafStride);
}

void LeafNode::VisitObjects(IObjectVisitor& v)
{
    VisitPref(v, m_previous);
    VisitPref(v, m_next);
    if (m_binding.IsBound()) VisitEntries(LeafLayout(m_binding), &TypeOps::m_visit1, &v, Entry(0), m_count);
}

void LeafNode::VisitPrefs(IPrefVisitor& v)
{
    if (m_binding.IsBound()) VisitEntries(LeafLayout(m_binding), &TypeOps::m_visit2, &v, Entry(0), m_count);
}

void LeafNode::Serialise(Archive& ar) const
{
    WriteBPlusTreeHeader(ar, kLeafNodeSchema, m_binding);
    SerialisePref(ar, const_cast<pref&>(m_previous));
    SerialisePref(ar, const_cast<pref&>(m_next));
    ar.Write4(uint32_t(m_count));
    SerialiseEntries(LeafLayout(m_binding), ar, Entry(0), m_count);
}

InputArchive LeafNode::Deserialise(InputArchive in)
{
    DestructEntries();
    in = ReadBPlusTreeHeader(in, kLeafNodeSchema, m_binding);
    m_binding.Bind();
    AllocateEntries(m_entries, m_binding.m_leafStride);
    in = DeserialisePref(in, m_previous);
    in = DeserialisePref(in, m_next);
    return ReadEntries(in, LeafLayout(m_binding), Entry(0), m_count);
}

} // namespace vorn
