#include "vnLss/RPM.h"
#include "vnLss/SUT.h"
#include "vnLss/LogFormat.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Streams.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Trace.h"
#include <cstdio>
#include <cstring>
#include <memory>

namespace vorn {

namespace {

[[noreturn]] void ThrowCorrupt(const char* what)
{
    xstring m("LSS is corrupt : ");
    m += what;
    throw CorruptLSSException(m);
}

// Closes a packet on every way out.
struct PacketCloser {
    IRpmPacketReader* m_reader;
    RpmPacket& m_packet;
    ~PacketCloser() { m_reader->ClosePacket(m_packet); }
};

uint8_t ByteOrOne(uint32_t v, int i)
{
    const uint8_t b = uint8_t(v >> (8 * i));
    return b ? b : 1;
}

} // namespace

// ---------------------------------------------------------------------------------
// RPMNode

void RPMNode::MarkDirty()
{
    for (RPMNode* n = this; n && !n->m_isDirty; n = n->m_parent) n->m_isDirty = true;
}

void RPMNode::RaiseMaxIndex(int i)
{
    if (m_maxIndex < i) {
        m_maxIndex = i;
        MarkDirty();
    }
}

void RPMNode::Clear()
{
    for (RpmPosition& e : m_entries) e = RpmPosition();
    m_maxIndex = 0;
    m_isDirty = false;
    m_totalPacketSize = 0;
    m_nextNode = 0;
    m_numAllocations = 0;
}

void RPMNode::Serialise(Archive& ar)
{
    ar.Write4(uint32_t(kSchema));
    ar.Write4(uint32_t(m_maxIndex));
    for (int i = 1; i <= m_maxIndex; ++i) {
        ar.Write4(uint32_t(m_entries[i].m_segmentId));
        ar.Write4(uint32_t(m_entries[i].m_offset));
    }
    ar.Write4(m_nextNode);
    ar.Write4(uint32_t(m_numAllocations));
    m_isDirty = false;
}

InputArchive RPMNode::Deserialise(InputArchive ar)
{
    if (ar.Remaining() < 8) ThrowCorrupt("RPM node image too short");
    int32_t schema, maxIndex;
    ar = Read4FromBuffer(ar, schema);
    if (schema < 1 || schema > kSchema) {
        char m[80];
        std::snprintf(m, sizeof m, "Bad schema (%d) - should be between 1 and %d", schema, kSchema);
        ThrowDeserialisationException(m);
    }
    ar = Read4FromBuffer(ar, maxIndex);
    if (maxIndex < 0 || maxIndex > kMaxIndex) ThrowCorrupt("RPM node entry count out of range");
    const size_t need = size_t(maxIndex) * 8 + (schema >= 2 ? 4 : 0) + (schema >= 3 ? 4 : 0) + size_t(ExtraBytes());
    if (ar.Remaining() < need) ThrowCorrupt("RPM node entries exceed its image");

    const int32_t numSegments = m_root->m_sut->GetNumSegments();
    const int32_t segmentSize = m_root->m_sut->GetSegmentSize();
    RpmPosition entries[256];
    for (int i = 1; i <= maxIndex; ++i) {
        RpmPosition p;
        ar = Read4FromBuffer(ar, p.m_segmentId);
        ar = Read4FromBuffer(ar, p.m_offset);
        if (p.m_segmentId == 0) {
            p.m_offset = 0;
        } else if (p.m_segmentId < 0 || p.m_segmentId >= numSegments || p.m_offset < 0 ||
                   p.m_offset > segmentSize - kPacketHeaderBytes) {
            ThrowCorrupt("RPM node entry points outside the store's segments");
        }
        entries[i] = p;
    }
    uint32_t nextNode = 0;
    int32_t numAllocations = 0;
    if (schema >= 2) ar = Read4FromBuffer(ar, nextNode);
    if (schema >= 3) ar = Read4FromBuffer(ar, numAllocations);
    std::memcpy(m_entries, entries, sizeof entries);
    m_maxIndex = maxIndex;
    m_nextNode = nextNode;
    m_numAllocations = numAllocations;
    return ar;
}

void RPMNode::Write(TextWriter& w)
{
    w << "m_level = " << m_level << "\n";
    w << "m_index = " << m_index << "\n";
    w << "m_seid = " << m_seid << "\n";
    w << "m_isDirty = " << m_isDirty << "\n";
    w << "m_totalPacketSize = " << m_totalPacketSize << "\n";
    w << "m_maxIndex = " << m_maxIndex << "\n";
}

void RPMNode::WriteOwnPacket(IRpmPacketWriter& w)
{
    TraceIndenter indent(2);
    IOutputStream& out = w.BeginNodePacket(m_seid);
    try {
        Archive ar(&out);
        Serialise(ar);
        ar.Flush();
    } catch (...) {
        m_isDirty = true; // not written: it must not be dropped as clean
        throw;
    }
    RpmPosition pos;
    int32_t size = 0;
    try {
        w.EndNodePacket(pos, size);
    } catch (...) {
        m_isDirty = true;
        throw;
    }
    m_root->SetNodePositionLocked(this, size, pos);
}

// ---------------------------------------------------------------------------------
// RPM0

void RPM0::Clear()
{
    RPMNode::Clear();
    m_stamp = 0;
}

void RPM0::WritePackets(IRpmPacketWriter& w)
{
    if (m_isDirty) WriteOwnPacket(w);
}

bool RPM0::ClearEntry(int index)
{
    if (m_entries[index].m_segmentId == 0) return false;
    m_entries[index] = RpmPosition();
    MarkDirty();
    return true;
}

// ---------------------------------------------------------------------------------
// RPMi

RPMi::~RPMi() { DeleteChildren(); }

void RPMi::DeleteChildren()
{
    for (RPMNode*& c : m_children) {
        delete c;
        c = nullptr;
    }
}

void RPMi::Clear()
{
    DeleteChildren();
    RPMNode::Clear();
}

bool RPMi::Trim(uint64_t threshold)
{
    bool anyLeft = false;
    for (int i = 1; i <= kMaxIndex; ++i) {
        RPMNode*& c = m_children[i];
        if (!c) continue;
        if (c->Trim(threshold)) {
            delete c;
            c = nullptr;
        } else {
            anyLeft = true;
        }
    }
    return !m_isDirty && !anyLeft;
}

void RPMi::WritePackets(IRpmPacketWriter& w)
{
    if (!m_isDirty) return;
    for (int i = 1; i <= kMaxIndex; ++i)
        if (m_children[i]) m_children[i]->WritePackets(w);
    WriteOwnPacket(w);
}

void RPMi::DumpSeidAllocation(TextWriter& w)
{
    for (int i = 1; i <= m_maxIndex; ++i)
        if (RPMNode* c = GetChild(i)) c->DumpSeidAllocation(w);
}

bool RPMi::ClearEntry(int index)
{
    if (!m_children[index] && m_entries[index].m_segmentId == 0) return false;
    RPMNode* child = GetChild(index);
    if (m_entries[index].m_segmentId != 0 && child && child->m_totalPacketSize != 0)
        m_root->m_sut->AddUtilisation(m_entries[index].m_segmentId, -child->m_totalPacketSize);
    delete child;
    m_children[index] = nullptr;
    m_entries[index] = RpmPosition();
    MarkDirty();
    return true;
}

RPMNode* RPMi::NewChild(int i)
{
    const Seid prefix = m_seid.WithByte(m_level, uint8_t(i));
    if (m_level == 1) return new RPM0(m_root, this, i, prefix);
    if (m_level == 4) return new RPM3(m_root, this, i, prefix);
    return new RPMi(m_root, this, i, m_level - 1, prefix);
}

RPMNode* RPMi::GetChild(int i)
{
    if (m_children[i]) return m_children[i];
    const RpmPosition pos = m_entries[i];
    if (pos.m_segmentId == 0) return nullptr;
    RpmPacket packet;
    m_root->m_reader->OpenPacket(pos, packet);
    PacketCloser closer{m_root->m_reader, packet};
    const Seid expected = m_seid.WithByte(m_level, uint8_t(i));
    if (packet.m_seid != expected) throw CorruptLSSException(xstring("Seid doesn't match in packet header"));
    if (packet.m_length < 0 || (packet.m_length > 0 && !packet.m_payload)) ThrowCorrupt("Bad packet header");
    std::unique_ptr<RPMNode> child(NewChild(i));
    child->m_totalPacketSize = PacketSize(packet.m_hasNext ? PF_HAS_NEXT : 0, packet.m_length);
    child->Deserialise(InputArchive(packet.m_payload, size_t(packet.m_length)));
    m_children[i] = child.release();
    return m_children[i];
}

RPMNode* RPMi::GetOrCreateChild(int i)
{
    if (RPMNode* c = GetChild(i)) return c;
    RaiseMaxIndex(i);
    m_children[i] = NewChild(i);
    return m_children[i];
}

RPMNode* RPMi::AppendChild()
{
    if (m_maxIndex >= kMaxIndex) return nullptr;
    MarkDirty();
    ++m_maxIndex;
    RPMNode*& c = m_children[m_maxIndex];
    delete c; // nothing can be there: the slot lies above every used index
    c = NewChild(m_maxIndex);
    return c;
}

// ---------------------------------------------------------------------------------
// RPM3

void RPM3::Clear()
{
    RPMi::Clear();
    m_nextSeidLow = kSeidCounterStart;
}

void RPM3::Serialise(Archive& ar)
{
    RPMNode::Serialise(ar);
    ar.Write4(m_nextSeidLow);
}

InputArchive RPM3::Deserialise(InputArchive ar)
{
    ar = RPMNode::Deserialise(ar);
    uint32_t v;
    ar = Read4FromBuffer(ar, v);
    if (!IsValidSeidLowCounter(v)) ThrowCorrupt("bad SeidLow counter in RPM node");
    m_nextSeidLow = v;
    return ar;
}

void RPM3::DumpSeidAllocation(TextWriter& w)
{
    w << "    Next seid low = ";
    WriteHexLower(w, m_nextSeidLow);
    w << " for seidHigh = ";
    WriteHexLower(w, m_seid.m_high);
    w << "\n";
}

void RPM3::Write(TextWriter& w)
{
    RPMNode::Write(w);
    w << "m_nextSeidLow = ";
    WriteHexLower(w, m_nextSeidLow);
    w << "\n";
}

// ---------------------------------------------------------------------------------
// RPM7

RPM7::RPM7(SUT* sut, IRpmPacketReader* reader) : RPMi(this, nullptr, 0, 7, Seid()), m_sut(sut), m_reader(reader) {}

RPM7::~RPM7() { DeleteChildren(); }

void RPM7::Clear()
{
    Lock lock(m_lock);
    RPMi::Clear();
    m_nextSeidHigh = kSeidCounterStart;
}

void RPM7::Serialise(Archive& ar)
{
    Lock lock(m_lock);
    RPMNode::Serialise(ar);
    ar.Write4(m_nextSeidHigh);
}

InputArchive RPM7::Deserialise(InputArchive ar)
{
    Lock lock(m_lock);
    Clear();
    try {
        ar = RPMNode::Deserialise(ar);
        uint32_t v;
        ar = Read4FromBuffer(ar, v);
        if (!IsValidSeidHighCounter(v)) ThrowCorrupt("bad SeidHigh counter in RPM root");
        m_nextSeidHigh = v;
    } catch (...) {
        Clear();
        throw;
    }
    return ar;
}

void RPM7::Write(TextWriter& w)
{
    Lock lock(m_lock);
    RPMNode::Write(w);
    w << "m_nextSeidHigh = ";
    WriteHexLower(w, m_nextSeidHigh);
    w << "\n";
}

RPMNode* RPM7::Walk(Seid seid, bool create, int& index)
{
    if (seid.Byte(7) == 0) return nullptr;
    RPMNode* node = this;
    for (int level = 7;; --level) {
        const int b = seid.Byte(level);
        if (level == 0 || seid.Byte(level - 1) == 0) {
            index = b;
            break;
        }
        RPMi* in = node->AsInterior();
        node = create ? in->GetOrCreateChild(b) : in->GetChild(b);
        if (!node) return nullptr;
    }
    if (node->m_level == 0) static_cast<RPM0*>(node)->m_stamp = ++m_accessCounter;
    return node;
}

RpmPosition RPM7::Lookup(Seid seid, bool reserve)
{
    Lock lock(m_lock);
    int index = 0;
    RPMNode* node = Walk(seid, false, index);
    if (!node) return RpmPosition();
    const RpmPosition pos = node->m_entries[index];
    if (reserve && !pos.IsEmpty()) m_sut->Reserve(pos.m_segmentId);
    return pos;
}

void RPM7::CheckPosition(int32_t segmentId, int32_t offset)
{
    if (segmentId <= 0 || segmentId >= m_sut->GetNumSegments() || offset < 0 ||
        offset > m_sut->GetSegmentSize() - kPacketHeaderBytes)
        ThrowCorrupt("position outside the store's segments");
}

void RPM7::SetPosition(Seid seid, int32_t segmentId, int32_t offset)
{
    Lock lock(m_lock);
    if (!IsValidOverflowSeid(seid) && (!IsSeidPrefix(seid) || seid.IsNull())) ThrowCorrupt("bad seid for the RPM");
    CheckPosition(segmentId, offset);
    if (!(seid.m_high & kSeidOverflowBit) && AdvanceSeidHighPast(m_nextSeidHigh, seid.m_high)) MarkDirty();
    int index = 0;
    RPMNode* node = Walk(seid, true, index);
    if (node->m_level == 0) {
        RPM3* space = static_cast<RPM3*>(node->m_parent->m_parent->m_parent);
        if (AdvanceSeidLowPast(space->m_nextSeidLow, seid.m_low)) space->MarkDirty();
    }
    const RpmPosition pos{segmentId, offset};
    if (node->m_entries[index] == pos) return;
    node->m_entries[index] = pos;
    node->MarkDirty();
    node->RaiseMaxIndex(index);
}

bool RPM7::RemovePosition(Seid seid)
{
    Lock lock(m_lock);
    int index = 0;
    RPMNode* node = Walk(seid, false, index);
    if (!node) return false;
    return node->ClearEntry(index);
}

RPM3* RPM7::Space(SeidHigh space)
{
    if (!AllBytesNonZero(space)) ThrowProgrammingError("RPM : invalid seid space");
    RPMNode* n = this;
    for (int level = 7; level >= 4; --level) n = n->AsInterior()->GetOrCreateChild(Seid(0, space).Byte(level));
    return static_cast<RPM3*>(n);
}

SeidHigh RPM7::AllocateSeidHigh()
{
    TraceIndenter indent(2);
    Lock lock(m_lock);
    SeidHigh h;
    if (!TakeNextSeidHigh(m_nextSeidHigh, h)) ThrowSeidSpaceOverflow();
    MarkDirty();
    return h;
}

uint32_t RPM7::GetNextSeidHigh()
{
    Lock lock(m_lock);
    return m_nextSeidHigh;
}

Seid RPM7::AllocateSeid(SeidHigh space)
{
    TraceIndenter indent(2);
    Lock lock(m_lock);
    RPM3* s = Space(space);
    SeidLow low;
    if (!TakeNextSeidLow(s->m_nextSeidLow, low)) ThrowSeidSpaceOverflow();
    s->MarkDirty();
    return Seid(low, space);
}

Seid RPM7::AllocateOverflowSeid(SeidHigh space) { return AllocateSeid(space | kSeidOverflowBit); }

SeidLow RPM7::GetNextSeidLow(SeidHigh space)
{
    TraceIndenter indent(2);
    Lock lock(m_lock);
    return Space(space)->m_nextSeidLow;
}

void RPM7::GetSeidLowsInSpace(xvector<SeidLow>& out, SeidHigh space)
{
    Lock lock(m_lock);
    RPM3* s = Space(space);
    for (int i = 1; i <= s->m_maxIndex; ++i) {
        RPMi* n2 = s->GetChild(i) ? s->GetChild(i)->AsInterior() : nullptr;
        if (!n2) continue;
        for (int j = 1; j <= n2->m_maxIndex; ++j) {
            RPMi* n1 = n2->GetChild(j) ? n2->GetChild(j)->AsInterior() : nullptr;
            if (!n1) continue;
            for (int k = 1; k <= n1->m_maxIndex; ++k) {
                RPMNode* leaf = n1->GetChild(k);
                if (!leaf) continue;
                for (int l = 1; l <= leaf->m_maxIndex; ++l)
                    if (leaf->HasEntry(l)) out.push_back(SeidLow(i) << 24 | SeidLow(j) << 16 | SeidLow(k) << 8 | SeidLow(l));
            }
        }
    }
}

// The node a packing hint names (a SeidLow prefix of the given level under the space),
// when it exists and the hint is well formed.
RPMNode* RPM7::FindHinted(RPM3* space, uint32_t prefix, int level)
{
    if (prefix == 0) return nullptr;
    const Seid p(prefix, 0);
    for (int i = 0; i <= 3; ++i) {
        const bool mustBeSet = i > level - 1; // bytes 3 .. level are the path
        if ((p.Byte(i) != 0) != mustBeSet) return nullptr;
    }
    RPMNode* n = space;
    for (int b = 3; b >= level && n; --b) n = n->AsInterior()->GetChild(p.Byte(b));
    return n;
}

RPM0* RPM7::AllocateInLeafNear(RPM3* space, SeidLow near, int& index)
{
    RPMi* n2 = space->GetOrCreateChild(ByteOrOne(near, 3))->AsInterior();
    RPMi* n1 = n2->GetOrCreateChild(ByteOrOne(near, 2))->AsInterior();
    RPMNode* n0 = n1->GetOrCreateChild(ByteOrOne(near, 1));
    RPMNode* target = nullptr;
    if (n0->m_maxIndex != kMaxIndex) {
        n0->CountAllocation();
        target = n0;
    } else {
        RPMNode* e = FindHinted(space, n0->m_nextNode, 1);
        if (e && e->m_maxIndex != kMaxIndex && (e->m_maxIndex < 77 || e->m_numAllocations < 13)) {
            target = e;
        } else {
            RPMi* p1 = nullptr;
            if (n1->m_maxIndex != kMaxIndex) {
                n1->CountAllocation();
                p1 = n1;
            } else if (RPMNode* f = FindHinted(space, n1->m_nextNode, 2); f && f->m_maxIndex < 128) {
                p1 = f->AsInterior();
            } else {
                RPMi* p2 = nullptr;
                if (n2->m_maxIndex != kMaxIndex) {
                    n2->CountAllocation();
                    p2 = n2;
                } else if (RPMNode* h = FindHinted(space, n2->m_nextNode, 3); h && h->m_maxIndex < 128) {
                    p2 = h->AsInterior();
                } else {
                    RPMNode* fresh = space->AppendChild();
                    if (!fresh) return nullptr; // the space has no room for another level-2 node
                    n2->m_nextNode = fresh->m_seid.m_low;
                    n2->MarkDirty();
                    p2 = fresh->AsInterior();
                }
                RPMNode* fresh1 = p2->AppendChild();
                if (!fresh1) return nullptr;
                n1->m_nextNode = fresh1->m_seid.m_low;
                n1->MarkDirty();
                p1 = fresh1->AsInterior();
            }
            RPMNode* leaf = p1->AppendChild();
            if (!leaf) return nullptr;
            n0->m_nextNode = leaf->m_seid.m_low;
            n0->MarkDirty();
            target = leaf;
        }
    }
    ++target->m_maxIndex;
    target->MarkDirty();
    index = target->m_maxIndex;
    return static_cast<RPM0*>(target);
}

bool RPM7::AllocateSeidNear(Seid& seid)
{
    TraceIndenter indent(2);
    Lock lock(m_lock);
    RPM3* space = Space(seid.m_high);
    int index = 0;
    RPM0* leaf = AllocateInLeafNear(space, seid.m_low, index);
    if (!leaf) return false;
    seid.m_low = leaf->m_seid.WithByte(0, uint8_t(index)).m_low;
    return true;
}

// The node that a prefix names (the root for the null prefix), or null.
RPMNode* RPM7::FindPrefixNode(Seid prefix)
{
    if (prefix.IsNull()) return this;
    if (!IsSeidPrefix(prefix)) return nullptr;
    int index = 0;
    RPMNode* parent = Walk(prefix, false, index);
    if (!parent || !parent->AsInterior()) return nullptr;
    return parent->AsInterior()->GetChild(index);
}

bool RPM7::GetChildren(Seid prefix, xvector<Seid>& out)
{
    Lock lock(m_lock);
    RPMNode* node = FindPrefixNode(prefix);
    if (!node) return false;
    for (int i = 1; i <= node->m_maxIndex; ++i)
        if (node->HasEntry(i)) out.push_back(node->m_seid.WithByte(node->m_level, uint8_t(i)));
    return true;
}

// Walks node's subtree in index order. bounded: node lies on after's path, so only
// entries from after's byte at this level on are taken. False once out holds max.
bool RPM7::CollectElementSeids(RPMNode* node, bool bounded, Seid after, int32_t max, xvector<Seid>& out)
{
    const int level = node->m_level;
    const int first = bounded && after.Byte(level) > 1 ? after.Byte(level) : 1;
    // Spaces whose SeidHigh has the top bit set hold only continuation packets.
    const int last = level == 7 && node->m_maxIndex > 0x7F ? 0x7F : node->m_maxIndex;
    for (int i = first; i <= last; ++i) {
        const bool onPath = bounded && i == after.Byte(level);
        if (level == 0) {
            if (onPath || !node->HasEntry(i)) continue; // onPath: after itself
            out.push_back(node->m_seid.WithByte(0, uint8_t(i)));
            if (out.size() >= max) return false;
        } else if (RPMNode* child = node->AsInterior()->GetChild(i)) {
            if (!CollectElementSeids(child, onPath, after, max, out)) return false;
        }
    }
    return true;
}

bool RPM7::GetElementSeids(Seid after, int32_t max, xvector<Seid>& out)
{
    Lock lock(m_lock);
    if (max < 1) return true;
    const int32_t before = out.size();
    const bool complete = CollectElementSeids(this, !after.IsNull(), after, before + max, out);
    return !complete || out.size() > before;
}

bool RPM7::DumpNode(Seid prefix, TextWriter& w)
{
    Lock lock(m_lock);
    RPMNode* node = FindPrefixNode(prefix);
    if (!node) return false;
    node->Write(w);
    return true;
}

void RPM7::DumpSeidAllocationInfo(TextWriter& w)
{
    Lock lock(m_lock);
    w << "Seid allocation info\n";
    w << "Next SeidHigh = ";
    WriteHexLower(w, m_nextSeidHigh);
    w << "\n";
    RPMi::DumpSeidAllocation(w);
}

void RPM7::TrimNodeCache()
{
    Lock lock(m_lock);
    const uint64_t threshold = m_accessCounter > kTrimAge ? m_accessCounter - kTrimAge : 0;
    RPMi::Trim(threshold); // the root itself stays
}

void RPM7::WriteDirtyNodes(IRpmPacketWriter& w, Archive& ar)
{
    Lock lock(m_lock);
    if (m_isDirty)
        for (int i = 1; i <= kMaxIndex; ++i)
            if (m_children[i]) m_children[i]->WritePackets(w);
    Serialise(ar);
}

void RPM7::SetNodePositionLocked(RPMNode* node, int32_t packetSize, RpmPosition pos)
{
    RPMNode* parent = node->m_parent;
    if (!parent) ThrowProgrammingError("RPM : the root has no packet");
    CheckPosition(pos.m_segmentId, pos.m_offset);
    RpmPosition& entry = parent->m_entries[node->m_index];
    if (!entry.IsEmpty() && node->m_totalPacketSize != 0) m_sut->AddUtilisation(entry.m_segmentId, -node->m_totalPacketSize);
    if (entry != pos) {
        entry = pos;
        parent->RaiseMaxIndex(node->m_index);
        parent->MarkDirty();
    }
    node->m_totalPacketSize = packetSize;
    m_sut->AddUtilisation(pos.m_segmentId, packetSize);
}

void RPM7::SetNodePosition(RPMNode* node, int32_t packetSize, int32_t segmentId, int32_t offset)
{
    Lock lock(m_lock);
    SetNodePositionLocked(node, packetSize, RpmPosition{segmentId, offset});
}

bool RPM7::IsRootDirty()
{
    Lock lock(m_lock);
    return m_isDirty;
}

uint64_t RPM7::GetAccessCounter()
{
    Lock lock(m_lock);
    return m_accessCounter;
}

namespace {
int32_t CountBelow(RPMNode* n)
{
    RPMi* in = n->AsInterior();
    if (!in) return 0;
    int32_t c = 0;
    for (int i = 1; i <= RPMNode::kMaxIndex; ++i)
        if (RPMNode* k = in->GetLoadedChild(i)) c += 1 + CountBelow(k);
    return c;
}
} // namespace

int32_t RPM7::CountLoadedNodes()
{
    Lock lock(m_lock);
    return CountBelow(this);
}

} // namespace vorn
