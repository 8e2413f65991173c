// vorn::TilvexNode: one tile of a pyramid's quadtree: its 256 x 256, 24-bit tile stored
// as JPEG bytes (m_jpeg), the decoded tile (m_dib, never stored), the dependency-graph
// node of the decoded tile, its decode state and four children (index col + 2 x row).
// A persistable object of the thread's CSpace: create it with NewTilvexNode; it becomes
// persistent when a persistent parent refers to it (SetChild, Tilvex::SetRootNode).
// Every operation is called inside a space transaction (ModelTransaction).
//
// The members live with what they do: the object, its tile and its children here
// (TilvexNode.cpp); painting in TilePainting.cpp; the full tree and the levels in
// PyramidComputation.cpp; drawing in PyramidDrawing.cpp. The background decode of an
// observed tile is not a member: a node is a collected object, kept while its decode
// waits by the program's keep-alive list, and is never queued on a pool itself; the
// program that decodes in the background installs a trigger (SetTileDecodeTrigger)
// whose task refers to the node.
//
// Stored form: schema 1 (compressed); m_jpeg in its own form (schema 1, valid byte,
// and when valid the byte count and the bytes); the four children's OIDs in index
// order. A node read back is stale (state 1) when it has an image, else state 0.
#pragma once
#include "Tilvex/Model/TilvexInterfaces.h"
#include "vnImage/Jpeg.h"
#include "vnImage/ResDIB.h"
#include "vnObject/DepGraph.h"
#include "vnPersistStore/Pref.h"

namespace vorn {

class ITilePaintSink;
class PSpace;
class TilvexWorkStack;

// Decode states of a node's m_dib.
enum ETileDecodeState : int32_t {
    TDS_NO_IMAGE = 0, // no image (or an image that cannot be decoded into a tile)
    TDS_STALE = 1,    // JPEG bytes present, not decoded
    TDS_DECODING = 2, // queued or decoding
    TDS_DECODED = 3,  // m_dib holds the 256 x 256, 24-bit tile
};

// True when bitmap is a tile: 256 x 256 at 24 bits per pixel. Anything else taken from
// a store is not used as a tile.
bool IsTileBitmap(const ResDIB& bitmap);

class TilvexNode;

// What a program that decodes tiles in the background does when a tile becomes observed
// (called with the node's CSpace lock held; it must not block). None is installed at
// start: a tile that becomes observed is then left as it is.
using TileDecodeTrigger = void (*)(TilvexNode* node);
void SetTileDecodeTrigger(TileDecodeTrigger trigger);

class TilvexNode : public PersistableMixin<TilvexNode> {
public:
    // Stands for m_dib in the dependency graph: drawing that used the tile depends on it.
    // Becoming observed calls the installed decode trigger.
    class Indepnode_m_dib final : public DGIndepNode {
    public:
        explicit Indepnode_m_dib(TilvexNode* owner) : m_owner(owner) {}
        ~Indepnode_m_dib() override = default;
        void OnObserved() override;
        // A decoded tile that nothing observes any longer gives back its pixels (state 1
        // again): only the tiles in view hold decoded bitmaps.
        void OnUnobserved() override;
        // An observed tile keeps its node alive.
        void VisitObjects(IObjectVisitor& v) override { v.VisitStrong(m_owner->AsObject()); }
    private:
        TilvexNode* m_owner;
    };

    static constexpr uint32_t kSchema = 1;

    TilvexNode() = default;
    ~TilvexNode() = default;
    TilvexNode(const TilvexNode&) = delete;
    TilvexNode& operator=(const TilvexNode&) = delete;

    static const ReflectedClass* GetClassRecord();
    // The node behind a reference's object; throws DeserialisationException when the
    // object is of another class (a damaged store).
    static TilvexNode* FromPersistable(IPersistablePtr p);

    // IObject and IPersistable (the rest from PersistableMixin).
    const ReflectedClass* GetReflectedClass() const { return GetClassRecord(); }
    void VisitObjects(IObjectVisitor& v);
    void VisitPrefs(IPrefVisitor& v);
    void Serialise(Archive& ar) const;
    InputArchive Deserialise(InputArchive in);

    bool HasImage() const { return m_jpeg.IsValid(); }
    int32_t GetDecodeState() const { return m_decodeState; }
    // Child (col, row), bound synchronously (read from the store when not in memory);
    // null when there is none.
    TilvexNode* GetChild(int32_t col, int32_t row);
    // Refers child (col, row) to child, which becomes persistent when this node is;
    // marks this node dirty.
    void SetChild(int32_t col, int32_t row, TilvexNode* child);
    // True when any child reference is set (an OID or a bound object).
    bool HasChildren() const;
    // Four new children, registered with the thread's CSpace.
    void CreateChildren();
    // The decoded tile: decodes the JPEG bytes synchronously when not yet decoded (state
    // 3 after). Bytes that do not decode, or decode to anything but a tile, leave m_dib
    // empty and the state 0, and are not tried again until the node takes new bytes
    // (TakeJpegBytes) or is read from the store again. Empty without an image.
    ResDIB& GetDib();
    // Decodes the JPEG bytes into decoded, touching nothing of the node (no lock needed
    // while nothing writes the bytes); false, with decoded empty, when they do not give
    // a tile.
    bool DecodeJpegTile(ResDIB& decoded) const;
    // Publishes a decode's result: decoded (when ok) is exchanged with m_dib, the state
    // becomes 3, or 0 with the bytes remembered as undecodable.
    void SetDecodeResult(bool ok, ResDIB& decoded);
    // Records a read of the tile by the evaluation in progress (if any).
    void RecordDibRead();
    // The node's image becomes bytes (taken, bytes is left empty): valid, not decoded
    // (state 1, m_dib freed, readers of the tile told), marked dirty.
    void TakeJpegBytes(xvector<uint8_t>& bytes);
    // The node has no image any more (state 0); marked dirty when it had one.
    void ClearImage();
    void MarkDirty();

    // ---- Painting (TilePainting.h says how, TilePainting.cpp defines it)
    // Paints rectangle updateRect of srcImg (24-bit) into this node's subtree, bdRect
    // being this node's square (its side a power of two times 256), both in srcImg's
    // pixel coordinates. Without a sink every painted tile is JPEG-encoded at once and
    // marked dirty, its decoded tile kept; with one, the sink is told instead and the
    // tile is left decoded and unencoded for the caller to finish.
    void SetImage(const ResDIB& srcImg, const Rect2i& bdRect, const Rect2i& updateRect,
                  ITilePaintSink* sink = nullptr);

    // ---- Pyramid computation (PyramidComputation.h says how, PyramidComputation.cpp
    // defines it): the steps of Tilvex::CreateFullTree and Tilvex::CalcIntermediateTiles.
    // Completes a full tree of height h below this node (h counting this node's level),
    // creating the missing children; each child is held on work while its subtree is
    // made, and counted there.
    void CreateFullTree(TilvexWorkStack* work, int32_t h);
    // The state of one Tilvex::CalcIntermediateTiles run (its pool, the path walked, the
    // parents being computed), and a node's reference to one of its children (none for
    // the root); both are the computation's own.
    struct LevelContext;
    struct ChildSlot;
    // On a node at level L (slot its reference in its parent): computes the nodes at
    // level L + n - 1 of its subtree.
    void CalcLevel(LevelContext& ctx, const ChildSlot& slot, int32_t n);
    // Queues node (slot its reference in its parent) for its tile to be computed from
    // its children's on the run's pool; the tile is handed over, and the node and its
    // children released from the references that hold them in memory, when its batch
    // of parents finishes. A parent that the run keeps (computedAlready) is only released.
    static void ComputeImageFromChildren(LevelContext& ctx, TilvexNode* node, const ChildSlot& slot);

    // ---- Drawing with OpenGL (PyramidDrawing.cpp), the steps of Tilvex::GLDraw. The
    // recursion descends only while a node is wider than 256 screen pixels, never waits
    // for a node or a decode, and draws the matching part of the nearest decoded
    // ancestor's tile wherever a finer one is not available yet. Children read while a
    // dependent node evaluates become its dependencies (which may make a tile observed
    // and so call the decode trigger). The caller has its OpenGL context current with a
    // pixel projection (GLSetPixelProjection) and GL_TEXTURE_2D enabled, and holds the
    // space transaction for the whole pass. Rectangles are window pixels, y downwards,
    // x2 and y2 exclusive; texture rectangles are tile pixels (0..256) from the tile's
    // top row.
    // The node's subtree with its own tile as texture, onto r, visiting only quadrants
    // that meet clip; then its outline when the viewer asks for outlines.
    static void GLDrawTree(const Rect2i& r, TilvexNode* node, const Rect2i& clip, ITilvexViewerPtr viewer);
    // The recursion: node n on r, its pixels from the decoded tile of t, whose part x
    // maps onto s.
    static void GLDraw(TilvexNode* n, const Rect2i& r, const Rect2i& clip, TilvexNode* t, const Rect2i& s,
                       const Rect2i& x, ITilvexViewerPtr viewer);
    // One quad of s textured with the part x of t's tile; nothing when t has no tile.
    static void GLDrawTexturedQuad(TilvexNode* t, const Rect2i& s, const Rect2i& x, ITilvexViewerPtr viewer);
    // A yellow frame whose right and bottom edges lie one pixel inside r.
    static void GLDrawOutline(const Rect2i& r);

    JpegImage m_jpeg;
    ResDIB m_dib;
    Indepnode_m_dib m_dibIndepNode{this};
    int32_t m_decodeState = TDS_NO_IMAGE;
    pref m_children[4];
    // The present bytes failed to decode into a tile (in memory only).
    bool m_undecodable = false;
};

// A new node registered with the calling thread's CSpace (ProgrammingErrorException
// without one).
TilvexNode* NewTilvexNode();

} // namespace vorn
