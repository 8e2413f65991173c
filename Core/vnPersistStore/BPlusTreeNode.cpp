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
    const int32_t s = m_binding.m_internalStride;
    m_binding.m_keyOps->m_copyConstructN(Entry(0), s, o.Entry(0), s, o.m_count);
    for (int32_t i = 0; i < o.m_count; ++i)
        new (Entry(i) + m_binding.m_keySlot) pref(*reinterpret_cast<const pref*>(o.Entry(i) + m_binding.m_keySlot));
    m_count = o.m_count;
}

void InternalNode::DestructEntries()
{
    if (m_binding.IsBound() && m_count > 0) {
        m_binding.m_keyOps->m_destructN(Entry(0), m_binding.m_internalStride, m_count);
        for (int32_t i = 0; i < m_count; ++i) ChildAt(i).~pref();
    }
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
    if (!m_binding.IsBound()) return;
    VisitValues(m_binding.m_keyOps->m_visit1, &v, Entry(0), m_binding.m_internalStride, m_count);
    for (int32_t i = 0; i < m_count; ++i) VisitPref(v, ChildAt(i));
}


void InternalNode::VisitPrefs(IPrefVisitor& v)
{
    v.VisitPref(m_firstChild);
    if (!m_binding.IsBound()) return;
    VisitValues(m_binding.m_keyOps->m_visit2, &v, Entry(0), m_binding.m_internalStride, m_count);
    for (int32_t i = 0; i < m_count; ++i) v.VisitPref(ChildAt(i));
}

void InternalNode::Serialise(Archive& ar) const
{
    auto& self = const_cast<InternalNode&>(*this);
    WriteBPlusTreeHeader(ar, kInternalNodeSchema, m_binding);
    SerialisePref(ar, self.m_firstChild);
    ar.Write4(uint32_t(m_count));
    if (m_count == 0) return;
    m_binding.m_keyOps->m_serialiseN(ar, Entry(0), m_binding.m_internalStride, m_count);
    for (int32_t i = 0; i < m_count; ++i) SerialisePref(ar, self.ChildAt(i));
}

InputArchive InternalNode::Deserialise(InputArchive in)
{
    DestructEntries();
    in = ReadBPlusTreeHeader(in, kInternalNodeSchema, m_binding);
    m_binding.Bind();
    AllocateEntries(m_entries, m_binding.m_internalStride);
    in = DeserialisePref(in, m_firstChild);
    int32_t count = 0;
    in = ReadCount(in, count);
    const int32_t s = m_binding.m_internalStride;
    m_binding.m_keyOps->m_constructN(Entry(0), s, count);
    for (int32_t i = 0; i < count; ++i) new (Entry(i) + m_binding.m_keySlot) pref();
    m_count = count; // from here a failure destructs exactly these
    try {
        in = m_binding.m_keyOps->m_deserialiseN(in, Entry(0), s, count);
        for (int32_t i = 0; i < count; ++i) in = DeserialisePref(in, ChildAt(i));
    } catch (...) {
        DestructEntries();
        throw;
    }
    return in;
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
    const int32_t s = m_binding.m_leafStride;
    m_binding.m_keyOps->m_copyConstructN(Entry(0), s, o.Entry(0), s, o.m_count);
    if (m_binding.m_payloadOps) {
        try {
            m_binding.m_payloadOps->m_copyConstructN(Entry(0) + m_binding.m_keySlot, s, o.Entry(0) + m_binding.m_keySlot, s,
                                                     o.m_count);
        } catch (...) {
            m_binding.m_keyOps->m_destructN(Entry(0), s, o.m_count);
            throw;
        }
    }
    m_count = o.m_count;
}

void LeafNode::DestructEntries()
{
    if (m_binding.IsBound() && m_count > 0) {
        m_binding.m_keyOps->m_destructN(Entry(0), m_binding.m_leafStride, m_count);
        if (m_binding.m_payloadOps)
            m_binding.m_payloadOps->m_destructN(Entry(0) + m_binding.m_keySlot, m_binding.m_leafStride, m_count);
    }
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
    if (!m_binding.IsBound()) return;
    VisitValues(m_binding.m_keyOps->m_visit1, &v, Entry(0), m_binding.m_leafStride, m_count);
    if (m_binding.m_payloadOps)
        VisitValues(m_binding.m_payloadOps->m_visit1, &v, Entry(0) + m_binding.m_keySlot, m_binding.m_leafStride, m_count);
}


void LeafNode::VisitPrefs(IPrefVisitor& v)
{
    if (!m_binding.IsBound()) return;
    VisitValues(m_binding.m_keyOps->m_visit2, &v, Entry(0), m_binding.m_leafStride, m_count);
    if (m_binding.m_payloadOps)
        VisitValues(m_binding.m_payloadOps->m_visit2, &v, Entry(0) + m_binding.m_keySlot, m_binding.m_leafStride, m_count);
}

void LeafNode::Serialise(Archive& ar) const
{
    auto& self = const_cast<LeafNode&>(*this);
    WriteBPlusTreeHeader(ar, kLeafNodeSchema, m_binding);
    SerialisePref(ar, self.m_previous);
    SerialisePref(ar, self.m_next);
    ar.Write4(uint32_t(m_count));
    if (m_count == 0) return;
    m_binding.m_keyOps->m_serialiseN(ar, Entry(0), m_binding.m_leafStride, m_count);
    if (m_binding.m_payloadOps)
        m_binding.m_payloadOps->m_serialiseN(ar, Entry(0) + m_binding.m_keySlot, m_binding.m_leafStride, m_count);
}

InputArchive LeafNode::Deserialise(InputArchive in)
{
    DestructEntries();
    in = ReadBPlusTreeHeader(in, kLeafNodeSchema, m_binding);
    m_binding.Bind();
    AllocateEntries(m_entries, m_binding.m_leafStride);
    in = DeserialisePref(in, m_previous);
    in = DeserialisePref(in, m_next);
    int32_t count = 0;
    in = ReadCount(in, count);
    const int32_t s = m_binding.m_leafStride;
    char* payloads = Entry(0) + m_binding.m_keySlot;
    m_binding.m_keyOps->m_constructN(Entry(0), s, count);
    if (m_binding.m_payloadOps) {
        try {
            m_binding.m_payloadOps->m_constructN(payloads, s, count);
        } catch (...) {
            m_binding.m_keyOps->m_destructN(Entry(0), s, count);
            throw;
        }
    }
    m_count = count;
    try {
        in = m_binding.m_keyOps->m_deserialiseN(in, Entry(0), s, count);
        if (m_binding.m_payloadOps) in = m_binding.m_payloadOps->m_deserialiseN(in, payloads, s, count);
    } catch (...) {
        DestructEntries();
        throw;
    }
    return in;
}

} // namespace vorn
