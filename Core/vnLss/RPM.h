// The seid-to-position map: a radix tree over the eight bytes of a seid (byte 7 at the
// root, level 7, down to byte 0 at the leaves, level 0) that gives, for every live
// serial element, the position of its head packet in the log. The root lives in memory
// for the store's life and is saved in each root division; every other node is stored
// in the log as a packet of its own, loaded on first use and dropped again when clean
// and unused. The map also holds the two seid counters and the leaf-packing allocator.
//
// The map reaches the log only through IRpmPacketReader (loading a node packet) and
// IRpmPacketWriter (writing one), and the utilisation table for the packets' sizes.
// One lock in the root serialises every operation. Everything read from the log is
// checked before use: a damaged node throws vorn::CorruptLSSException (or
// vorn::DeserialisationException for an unknown schema).
#pragma once
#include "vnLss/SegmentCache.h"
#include "vnLss/Seid.h"
#include "vnUtils/Archive.h"
#include "vnUtils/XVector.h"
#include <climits>
#include <cstdint>
#include <mutex>

namespace vorn {

class IOutputStream;
class SUT;
class TextWriter;
class RPM7;
class RPMi;

struct RpmPosition {
    int32_t m_segmentId = 0; // 0: no position
    int32_t m_offset = 0;
    bool IsEmpty() const { return m_segmentId == 0; }
    friend bool operator==(const RpmPosition&, const RpmPosition&) = default;
};

// A node packet read from the log; its payload stays valid until the reader closes it.
struct RpmPacket {
    Seid m_seid;
    const uint8_t* m_payload = nullptr;
    int32_t m_length = 0;
    bool m_hasNext = false;   // a next seid follows the payload (8 more bytes in the log)
    void* m_handle = nullptr; // the reader's own (the pinned segment)
};

class IRpmPacketReader {
public:
    virtual ~IRpmPacketReader() = default;
    // Decodes the packet at pos; throws vorn::CorruptLSSException for a damaged header.
    virtual void OpenPacket(RpmPosition pos, RpmPacket& packet) = 0;
    virtual void ClosePacket(RpmPacket& packet) noexcept = 0;
};

class IRpmPacketWriter {
public:
    virtual ~IRpmPacketWriter() = default;
    // Begins a node packet under the node's prefix; the payload goes to the stream.
    virtual IOutputStream& BeginNodePacket(Seid seid) = 0;
    // Ends it: where the packet went and its whole size in the log, header included.
    virtual void EndNodePacket(RpmPosition& pos, int32_t& packetSize) = 0;
};

class RPMNode {
public:
    static constexpr int kMaxIndex = 255;
    static constexpr int32_t kSchema = 3;

    virtual ~RPMNode() = default;
    virtual void Clear();
    virtual bool Trim(uint64_t threshold) = 0;
    virtual void Serialise(Archive& ar);
    virtual InputArchive Deserialise(InputArchive ar);
    virtual void WritePackets(IRpmPacketWriter& w) = 0;
    virtual void DumpSeidAllocation(TextWriter&) {}
    virtual bool ClearEntry(int index) = 0;
    virtual bool HasEntry(int index) = 0;
    virtual void Write(TextWriter& w);
    virtual RPMi* AsInterior() { return nullptr; }

    int32_t GetLevel() const { return m_level; }
    int32_t GetIndex() const { return m_index; }
    Seid GetSeid() const { return m_seid; }
    bool IsDirty() const { return m_isDirty; }
    int32_t GetMaxIndex() const { return m_maxIndex; }
    int32_t GetTotalPacketSize() const { return m_totalPacketSize; }
    uint32_t GetNextNode() const { return m_nextNode; }
    int32_t GetNumAllocations() const { return m_numAllocations; }
    RpmPosition GetEntry(int i) const { return m_entries[i]; }

protected:
    friend class RPM7;
    friend class RPMi;
    RPMNode(RPM7* root, RPMNode* parent, int32_t index, int32_t level, Seid seid)
        : m_root(root), m_parent(parent), m_index(index), m_level(level), m_seid(seid) {}
    RPMNode(const RPMNode&) = delete;
    RPMNode& operator=(const RPMNode&) = delete;

    // This node and its ancestors up to the first one already dirty.
    void MarkDirty();
    void RaiseMaxIndex(int i);
    // Bytes that follow the common node format in this class's image.
    virtual int32_t ExtraBytes() const { return 0; }
    // Serialises the node as a packet and tells the map where it went.
    void WriteOwnPacket(IRpmPacketWriter& w);

    RPM7* m_root;
    RPMNode* m_parent;
    int32_t m_index;
    int32_t m_level;
    Seid m_seid;
    bool m_isDirty = false;
    int32_t m_totalPacketSize = 0;
    RpmPosition m_entries[256];
    int32_t m_maxIndex = 0;
    uint32_t m_nextNode = 0;
    int32_t m_numAllocations = 0;

    // The count comes from a stored node and only steers packing: it stops at the top.
    void CountAllocation()
    {
        if (m_numAllocations < INT32_MAX) ++m_numAllocations;
    }
};

// Leaves: entry i is the head packet of the seid {prefix with byte 0 = i}.
class RPM0 : public RPMNode {
public:
    RPM0(RPM7* root, RPMNode* parent, int32_t index, Seid seid) : RPMNode(root, parent, index, 0, seid) {}
    void Clear() override;
    bool Trim(uint64_t threshold) override { return !m_isDirty && m_stamp < threshold; }
    void WritePackets(IRpmPacketWriter& w) override;
    bool ClearEntry(int index) override;
    bool HasEntry(int index) override { return m_entries[index].m_segmentId != 0; }
    uint64_t m_stamp = 0; // the access counter at the last lookup
};

// Interior nodes (levels 6, 5, 4, 2, 1; RPM3 and RPM7 build on it): entry i is the
// packet of child i.
class RPMi : public RPMNode {
public:
    RPMi(RPM7* root, RPMNode* parent, int32_t index, int32_t level, Seid seid)
        : RPMNode(root, parent, index, level, seid) {}
    ~RPMi() override;
    void Clear() override;
    bool Trim(uint64_t threshold) override;
    void WritePackets(IRpmPacketWriter& w) override;
    void DumpSeidAllocation(TextWriter& w) override;
    bool ClearEntry(int index) override;
    bool HasEntry(int index) override { return m_children[index] || m_entries[index].m_segmentId != 0; }
    RPMi* AsInterior() override { return this; }

    // Child i, loaded from its packet if needed; null when there is none.
    RPMNode* GetChild(int i);
    // Child i, created (clean and empty) when there is none.
    RPMNode* GetOrCreateChild(int i);
    RPMNode* GetLoadedChild(int i) const { return m_children[i]; }
    // A new child after the highest index used; null when the node is full.
    RPMNode* AppendChild();

protected:
    void DeleteChildren();
    RPMNode* NewChild(int i);
    RPMNode* m_children[256] = {};
};

// Level 3: one per seid space, with the space's SeidLow counter.
class RPM3 : public RPMi {
public:
    RPM3(RPM7* root, RPMNode* parent, int32_t index, Seid seid) : RPMi(root, parent, index, 3, seid) {}
    void Clear() override;
    void Serialise(Archive& ar) override;
    InputArchive Deserialise(InputArchive ar) override;
    void DumpSeidAllocation(TextWriter& w) override;
    void Write(TextWriter& w) override;
    uint32_t m_nextSeidLow = kSeidCounterStart;
protected:
    int32_t ExtraBytes() const override { return 4; }
};

// The root, with the map's lock, the SeidHigh counter and the access counter; every
// operation of the map is here.
class RPM7 : public RPMi {
public:
    // How many lookups a clean leaf stays in memory after its last one.
    static constexpr uint64_t kTrimAge = 200;

    RPM7(SUT* sut, IRpmPacketReader* reader);
    ~RPM7() override;

    void Clear() override;
    void Serialise(Archive& ar) override;
    // Restores the root from its image in a root division (after Clear).
    InputArchive Deserialise(InputArchive ar) override;
    void Write(TextWriter& w) override;

    // The position of seid (or of the node a prefix names), or an empty one; with
    // reserve and a found position, reserves its segment in the utilisation table.
    RpmPosition Lookup(Seid seid, bool reserve);
    // Records a position for a seid (or, for a prefix, of the node it names). Positions
    // and seids are checked: recovery passes what it read from the log.
    void SetPosition(Seid seid, int32_t segmentId, int32_t offset);
    bool RemovePosition(Seid seid);

    SeidHigh AllocateSeidHigh();
    Seid AllocateSeid(SeidHigh space);
    SeidLow GetNextSeidLow(SeidHigh space);
    bool AllocateSeidNear(Seid& seid);
    void GetSeidLowsInSpace(xvector<SeidLow>& out, SeidHigh space);
    Seid AllocateOverflowSeid(SeidHigh space);
    uint32_t GetNextSeidHigh();

    bool GetChildren(Seid prefix, xvector<Seid>& out);
    // Appends to out, in the map's order (from the root down to the leaves, entries
    // ascending: ascending seids), the seids of up to max serial elements above after
    // (the null seid: from the first). Overflow seids are left out. Loads the nodes it
    // passes. Returns false when the map holds no further element.
    bool GetElementSeids(Seid after, int32_t max, xvector<Seid>& out);
    bool DumpNode(Seid prefix, TextWriter& w);
    void DumpSeidAllocationInfo(TextWriter& w);
    // Drops clean nodes not looked up within the last kTrimAge lookups.
    void TrimNodeCache();
    // Writes every dirty node below the root as a packet, children first, then
    // serialises the root into ar (its image in the root division).
    void WriteDirtyNodes(IRpmPacketWriter& w, Archive& ar);
    // Called when a node's packet has been written.
    void SetNodePosition(RPMNode* node, int32_t packetSize, int32_t segmentId, int32_t offset);

    // Whether anything of the map changed since it was last written (under the lock).
    bool IsRootDirty();
    uint64_t GetAccessCounter();
    // Loaded nodes below the root, for tests and statistics.
    int32_t CountLoadedNodes();

private:
    friend class RPMNode;
    friend class RPMi;
    // The map's lock; its holder is one that readers holding elements may wait for
    // (StoreLockMark).
    class Lock {
    public:
        explicit Lock(std::recursive_mutex& m) : m_guard(m) {}
    private:
        std::lock_guard<std::recursive_mutex> m_guard;
        StoreLockMark m_mark;
    };

    int32_t ExtraBytes() const override { return 4; }
    // Walks to the node holding seid's entry: byte 7 down to the last non-zero byte.
    RPMNode* Walk(Seid seid, bool create, int& index);
    RPMNode* FindPrefixNode(Seid prefix);
    bool CollectElementSeids(RPMNode* node, bool bounded, Seid after, int32_t max, xvector<Seid>& out);
    RPM3* Space(SeidHigh space);
    RPM0* AllocateInLeafNear(RPM3* space, SeidLow near, int& index);
    RPMNode* FindHinted(RPM3* space, uint32_t prefix, int level);
    void CheckPosition(int32_t segmentId, int32_t offset);
    void SetNodePositionLocked(RPMNode* node, int32_t packetSize, RpmPosition pos);

    std::recursive_mutex m_lock;
    uint32_t m_nextSeidHigh = kSeidCounterStart;
    uint64_t m_accessCounter = 0; // 64 bits: never wraps
    SUT* m_sut;
    IRpmPacketReader* m_reader;
};

} // namespace vorn
