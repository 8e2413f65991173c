#include "Tilvex/Viewer/TileDecoding.h"
#include "vnObject/CSpace.h"
#include "vnReflection/ObjectPairs.h"
#include <atomic>
#include <cstring>

namespace vorn {

ITaskExecuter* TileDecodeExecuter = nullptr;

namespace {

std::atomic<PendingTaskList*> g_pendingList{nullptr};

// One queued decode; frees itself after running.
class TileDecodeTask final : public IThreadPoolTask {
public:
    explicit TileDecodeTask(TilvexNode* node) : m_node(node) {}
    void Run() override
    {
        TilvexNode* node = m_node;
        delete this;
        RunTileDecode(node);
    }
private:
    TilvexNode* m_node;
};

} // namespace

PendingTaskList* PendingTaskList::Get() { return g_pendingList.load(); }

void PendingTaskList::Add(AnyInterface node)
{
    PendingTaskList* list = g_pendingList.load();
    if (list == nullptr) {
        CSpace* space = GetThreadCSpace();
        if (space == nullptr) throw ProgrammingErrorException(xstring("the decode list needs a thread space"));
        list = new PendingTaskList();
        const AnyInterface obj{list, &kIObjectTableOf<PendingTaskList>};
        space->RegisterGcObject(obj);
        space->AddGcRoot(obj);
        g_pendingList.store(list);
    }
    std::lock_guard<std::mutex> g(list->m_lock);
    AppendObjectPair(list->m_entries, node);
}

void PendingTaskList::Remove(void* node)
{
    PendingTaskList* list = g_pendingList.load();
    if (list == nullptr) return;
    std::lock_guard<std::mutex> g(list->m_lock);
    for (int32_t i = 0; i < list->m_entries.size(); ++i) {
        if (list->m_entries[i].m_object != node) continue;
        list->m_entries.erase(i, i + 1);
        return;
    }
}

size_t PendingTaskList::Size()
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_entries.size();
}

bool PendingTaskList::Contains(void* node)
{
    std::lock_guard<std::mutex> g(m_lock);
    for (const AnyInterface& e : m_entries)
        if (e.m_object == node) return true;
    return false;
}

void PendingTaskList::VisitObjects(IObjectVisitor& v)
{
    std::lock_guard<std::mutex> g(m_lock);
    VisitObjectPairs(m_entries, v);
}

void PendingTaskList::DestroyObject()
{
    PendingTaskList* self = this;
    g_pendingList.compare_exchange_strong(self, nullptr);
    delete this;
}

void StartTileDecoding(ITaskExecuter* executer)
{
    TileDecodeExecuter = executer;
    SetTileDecodeTrigger(&TriggerTileDecode);
}

void StopTileDecoding()
{
    SetTileDecodeTrigger(nullptr);
    delete TileDecodeExecuter; // waits for every queued decode
    TileDecodeExecuter = nullptr;
}

void TriggerTileDecode(TilvexNode* node)
{
    if (node->m_decodeState != TDS_STALE || TileDecodeExecuter == nullptr) return;
    node->m_decodeState = TDS_DECODING;
    PendingTaskList::Add(node->AsObject());
    TileDecodeExecuter->AddTask(new TileDecodeTask(node));
}

void RunTileDecode(TilvexNode* node)
{
    CSpace* space = LoadOwner(node->m_sys);
    RestoreThreadCSpace current(space);
    ResDIB decoded;
    const bool ok = node->DecodeJpegTile(decoded);
    {
        CSpaceLock lock(space);
        // A tile that left the view while it waited is not kept: nothing would give its
        // pixels back, and it is decoded again should it return. Undecodable tiles stay
        // without pixels until their bytes change; the ancestor stands in.
        if (ok && (node->m_dibIndepNode.GetFlags() & DGBaseNode::DG_OBSERVED) == 0)
            node->m_decodeState = TDS_STALE;
        else
            node->SetDecodeResult(ok, decoded);
        node->m_dibIndepNode.MarkDirty();
    }
    PendingTaskList::Remove(node);
    decoded.Clear();
}

} // namespace vorn
