#include "Tilvex/Model/Tilvex.h"
#include "Tilvex/Model/TileGeometry.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/SpaceOperations.h"

namespace vorn {

Tilvex* Tilvex::FromPersistable(IPersistablePtr p)
{
    if (p.IsNull()) return nullptr;
    if (p.m_table != &kPersistableTableOf<Tilvex>)
        throw DeserialisationException(xstring("the object is not a vorn::Tilvex"));
    return static_cast<Tilvex*>(p.m_object);
}

void Tilvex::Serialise(Archive& ar) const
{
    ar.WriteCompressedUInt32(kSchema);
    SerialisePref(ar, const_cast<pref&>(m_root));
    ar.WriteCompressedUInt32(uint32_t(m_height));
}

InputArchive Tilvex::Deserialise(InputArchive in)
{
    int schema = 0;
    in = ReadSchema(in, int(kSchema), schema);
    m_root = pref();
    in = DeserialisePref(in, m_root);
    uint32_t height = 0;
    in = ReadCompressedUInt32FromBuffer(in, height);
    if (height > uint32_t(kMaxPyramidHeight)) throw DeserialisationException(xstring("Bad Tilvex height"));
    m_height = int32_t(height);
    return in;
}

PSpace* Tilvex::GetPSpace() { return GetAssociatedPSpace(AsObject()); }

void Tilvex::MarkDirty() { MarkPersistentAsDirtyWithoutTrace(AsObject()); }

void Tilvex::SetHeight(int32_t height)
{
    CheckPyramidHeight(height);
    // Marked first: marking may fail for want of memory, and a change made before it
    // would then never be written.
    MarkDirty();
    m_height = height;
}

void Tilvex::IncreaseHeight(int32_t row, int32_t col)
{
    CheckChildIndex(col, row);
    TilvexNode* old = GetRootNode();
    if (old == nullptr) return;
    TilvexNode* top = NewTilvexNode();
    SetRootNode(top);
    top->SetChild(col, row, old);
}

void Tilvex::SetRootNode(TilvexNode* node)
{
    // What may fail first (marking, declaring), the change last: a failure leaves the
    // root as it was, never changed but not to be written.
    MarkDirty();
    if (node) DeclareReachable(AsObject(), node->AsObject(), true);
    m_root = node ? pref(node->AsPersistable()) : pref();
}

TilvexNode* Tilvex::GetRootNode() { return TilvexNode::FromPersistable(m_root.Get()); }

TilvexNode* Tilvex::GetDecodedRootNode()
{
    if (m_root.IsNull()) return nullptr;
    TilvexNode* root = TilvexNode::FromPersistable(m_root.Get());
    if (root == nullptr) throw DerefNullPrefException();
    root->GetDib();
    return root;
}

Tilvex* NewTilvex()
{
    CSpace* space = GetThreadCSpace();
    if (space == nullptr) throw ProgrammingErrorException(xstring("a new Tilvex needs a thread space"));
    auto* t = new Tilvex();
    space->RegisterGcObject(t->AsObject());
    return t;
}

} // namespace vorn
