// Background decoding of tiles. StartTileDecoding installs TriggerTileDecode as the
// model's decode trigger: whatever observes a stale tile (the viewer's drawing, or any
// other observer) gets it queued on TileDecodeExecuter, and the node is kept alive by
// the process-wide PendingTaskList until the decode has published its result.
// Publishing (under the node's CSpace lock) sets the decode state to decoded, marks the
// tile's graph node dirty (so observers repaint) and swaps the bitmap in; a tile that
// is no longer observed when its decode ends drops the result and is stale again. A tile that
// fails to decode, or decodes to anything but a 256 x 256, 24-bit tile, is left without
// pixels (state 0) and is not tried again until its bytes change; its coarser ancestor
// keeps standing in for it.
#pragma once
#include "Tilvex/Model/TilvexNode.h"
#include "vnObject/ObjHeader.h"
#include "vnUtils/ThreadPool.h"
#include "vnUtils/XVector.h"
#include <mutex>

namespace vorn {

// The executer that observed tiles are decoded on; null unless the viewer runs. With
// none, a trigger leaves the tile undecoded.
extern ITaskExecuter* TileDecodeExecuter;

// Tiles that become observed from now on are decoded on executer (owned from now on).
void StartTileDecoding(ITaskExecuter* executer);
// No tile is queued any more; the executer is deleted, which waits until every decode
// queued on it has finished. Call it before the space of the queued tiles closes.
void StopTileDecoding();

// The nodes whose decode is queued or running, as strong references of a collected
// object that is a collector root of the space it was created in.
class PendingTaskList : public IObjectBaseMixin<PendingTaskList> {
public:
    // Appends the node; creates the list in the thread's CSpace on first use.
    static void Add(AnyInterface node);
    // Removes the first entry of node; nothing when it is not listed.
    static void Remove(void* node);
    // The list, or null before the first Add (and after its space is gone).
    static PendingTaskList* Get();
    size_t Size();
    bool Contains(void* node);

    // IObject (the rest from IObjectBaseMixin).
    void VisitObjects(IObjectVisitor& v);
    // Clears the process-wide pointer and frees the list.
    void DestroyObject();

private:
    xvector<AnyInterface> m_entries;
    std::mutex m_lock;
};

// Called with the node's CSpace lock held, when the tile becomes observed: a stale
// tile (state 1) is queued once (state 2); any other state does nothing.
void TriggerTileDecode(TilvexNode* node);

// The decode of one queued node (the task of TriggerTileDecode); public for tests.
void RunTileDecode(TilvexNode* node);

} // namespace vorn
