// vorn::Tilvex: the root object of a multi-resolution image: the pyramid's height (the
// number of levels; 1 is a single 256 x 256 tile; 0 in a new object) and a reference
// to the root vorn::TilvexNode. Every change is made inside a space transaction
// (ModelTransaction) and marks the object dirty.
//
// Stored form: schema 1 (compressed), the root node's OID, the height (compressed). A
// stored height above 30 is refused as damaged.
#pragma once
#include "Tilvex/Model/TilvexInterfaces.h"
#include "Tilvex/Model/TilvexNode.h"
#include "vnPersistStore/Pref.h"

namespace vorn {

class IThreadPool;
class PSpace;

class Tilvex : public PersistableMixin<Tilvex> {
public:
    static constexpr uint32_t kSchema = 1;

    Tilvex() = default;
    // Copies take the root reference and the height; the copy's object header and
    // persistent state are its own (zero for a new copy).
    Tilvex(const Tilvex& o) : m_root(o.m_root), m_height(o.m_height) {}
    Tilvex& operator=(const Tilvex& o)
    {
        m_root = o.m_root;
        m_height = o.m_height;
        return *this;
    }

    static const ReflectedClass* GetClassRecord();
    // The Tilvex behind a persistable object; throws DeserialisationException for an
    // object of another class.
    static Tilvex* FromPersistable(IPersistablePtr p);

    // IObject and IPersistable (the rest from PersistableMixin).
    const ReflectedClass* GetReflectedClass() const { return GetClassRecord(); }
    void VisitObjects(IObjectVisitor& v) { VisitPref(v, m_root); }
    void VisitPrefs(IPrefVisitor& v) { v.VisitPref(m_root); }
    void Serialise(Archive& ar) const;
    InputArchive Deserialise(InputArchive in);

    // The persistent space the object belongs to (null when none).
    PSpace* GetPSpace();
    // Throws PyramidHeightException for a height outside 1..30.
    void SetHeight(int32_t height);
    int32_t GetHeight() const { return m_height; }
    // With a root node: a new node becomes the root and the old root its child (row,
    // col); the height is left as it is (the caller sets it). Nothing without a root.
    void IncreaseHeight(int32_t row, int32_t col);

    // The root node becomes node; it becomes persistent when this object is.
    void SetRootNode(TilvexNode* node);
    // The root node, bound synchronously; null when there is none.
    TilvexNode* GetRootNode();
    // The root node with its tile decoded; null when there is none.
    TilvexNode* GetDecodedRootNode();

    // Drawing and painting of the pyramid; defined with the drawing and painting code.
    void GLDraw(ITilvexViewerPtr view, const Rect2i& bdRect, const Rect2i& updateRect) const;
    void SetImage2(const ResDIB& srcImg);
    void SetImage(const ResDIB& srcImg, const Rect2i& bdRect, const Rect2i& updateRect);

    // ---- Pyramid computation (PyramidComputation.h says how, PyramidComputation.cpp
    // defines it). Called outside any transaction, with the pyramid's spaces as the
    // thread's current ones; both make transactions of their own.
    // Computes every level above the bottom one (height - 1 up to 1) on a pool of
    // kIntermediateThreads threads (a level that takes long prints "  <count> tiles so
    // far" every 2 s), printing "Calculating intermediate tiles at depth n" for each and
    // "Calculated <count> tiles" at the end. Returns the count. Nothing without a root.
    // With pool, its threads do the work (the caller keeps it, of that size, until this
    // returns); without, a pool of its own is made for the call. With computedAlready >=
    // 0, the parents of the bottom tiles that have an image were computed by the caller
    // (computedAlready of them, counted in the result) and are left as they are.
    int64_t CalcIntermediateTiles(IThreadPool* pool = nullptr, int64_t computedAlready = -1);
    // Creates every node of a full tree of height h below (and including) the root,
    // printing "Created <count> tiles".
    void CreateFullTree(int32_t h);

    pref m_root;
    int32_t m_height = 0;

private:
    void MarkDirty();
};

// A new Tilvex registered with the calling thread's CSpace.
Tilvex* NewTilvex();

} // namespace vorn
