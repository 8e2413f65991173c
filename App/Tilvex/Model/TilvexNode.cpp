#include "Tilvex/Model/TilvexNode.h"
#include "Tilvex/Model/TileGeometry.h"
#include "vnObject/CSpace.h"
#include "vnPersistStore/SpaceOperations.h"
#include <atomic>
#include <exception>

namespace vorn {

namespace {

std::atomic<TileDecodeTrigger> g_decodeTrigger{nullptr};

} // namespace

void SetTileDecodeTrigger(TileDecodeTrigger trigger) { g_decodeTrigger.store(trigger); }

void TilvexNode::Indepnode_m_dib::OnObserved()
{
    if (TileDecodeTrigger trigger = g_decodeTrigger.load()) trigger(m_owner);
}

void TilvexNode::Indepnode_m_dib::OnUnobserved()
{
    TilvexNode* n = m_owner;
    if (n->m_decodeState != TDS_DECODED) return;
    n->m_dib.Clear();
    n->m_decodeState = TDS_STALE;
}

bool IsTileBitmap(const ResDIB& bitmap)
{
    return !bitmap.IsEmpty() && bitmap.GetBitsPerPixel() == kTileBitsPerPixel && bitmap.GetWidth() == kTileSize &&
           bitmap.GetHeight() == kTileSize;
}

TilvexNode* TilvexNode::FromPersistable(IPersistablePtr p)
{
    if (p.IsNull()) return nullptr;
    if (p.m_table != &kPersistableTableOf<TilvexNode>)
        throw DeserialisationException(xstring("a tile reference names an object that is not a vorn::TilvexNode"));
    return static_cast<TilvexNode*>(p.m_object);
}

void TilvexNode::VisitObjects(IObjectVisitor& v)
{
    for (pref& c : m_children) VisitPref(v, c);
}

void TilvexNode::VisitPrefs(IPrefVisitor& v)
{
    for (pref& c : m_children) v.VisitPref(c);
}

void TilvexNode::Serialise(Archive& ar) const
{
    ar.WriteCompressedUInt32(kSchema);
    m_jpeg.Serialise(ar);
    for (const pref& c : m_children) SerialisePref(ar, const_cast<pref&>(c));
}

InputArchive TilvexNode::Deserialise(InputArchive in)
{
    int schema = 0;
    in = ReadSchema(in, int(kSchema), schema);
    in = m_jpeg.Deserialise(in);
    for (pref& c : m_children) {
        c = pref();
        in = DeserialisePref(in, c);
    }
    m_dib.Clear();
    m_decodeState = m_jpeg.IsValid() ? TDS_STALE : TDS_NO_IMAGE;
    m_undecodable = false;
    return in;
}

TilvexNode* TilvexNode::GetChild(int32_t col, int32_t row)
{
    CheckChildIndex(col, row);
    return FromPersistable(m_children[col + 2 * row].Get());
}

void TilvexNode::SetChild(int32_t col, int32_t row, TilvexNode* child)
{
    CheckChildIndex(col, row);
    // What may fail first, the change last (as Tilvex::SetRootNode).
    MarkDirty();
    if (child) DeclareReachable(AsObject(), child->AsObject(), true);
    m_children[col + 2 * row] = child ? pref(child->AsPersistable()) : pref();
}

bool TilvexNode::HasChildren() const
{
    for (const pref& c : m_children)
        if (!c.IsNull()) return true;
    return false;
}

void TilvexNode::CreateChildren()
{
    for (int32_t row = 0; row < 2; ++row)
        for (int32_t col = 0; col < 2; ++col) SetChild(col, row, NewTilvexNode());
}

ResDIB& TilvexNode::GetDib()
{
    if (!m_jpeg.IsValid()) {
        m_decodeState = TDS_NO_IMAGE;
        return m_dib;
    }
    // Bytes found undecodable before would only fail again.
    if (m_undecodable && m_decodeState == TDS_NO_IMAGE) return m_dib;
    if (m_dib.IsEmpty()) {
        m_decodeState = TDS_DECODING;
        ResDIB decoded;
        SetDecodeResult(DecodeJpegTile(decoded), decoded);
        return m_dib;
    }
    m_decodeState = TDS_DECODED;
    return m_dib;
}

bool TilvexNode::DecodeJpegTile(ResDIB& decoded) const
{
    if (!m_jpeg.IsValid()) return false;
    try {
        // The frame header is checked before any pixel memory is taken.
        decoded.ReadJpeg(m_jpeg.m_bytes.data(), size_t(m_jpeg.m_bytes.size()),
                         JpegShape{kTileSize, kTileSize, kTileBitsPerPixel});
    } catch (const IException&) {
        decoded.Clear();
    } catch (const std::exception&) { // out of memory, say: the tile stays undecodable
        decoded.Clear();
    }
    if (IsTileBitmap(decoded)) return true;
    decoded.Clear();
    return false;
}

void TilvexNode::SetDecodeResult(bool ok, ResDIB& decoded)
{
    m_undecodable = !ok;
    m_decodeState = ok ? TDS_DECODED : TDS_NO_IMAGE;
    if (ok) m_dib.swap(decoded);
}

void TilvexNode::RecordDibRead()
{
    DGState* st = GetThreadDGState();
    if (st && st->GetCurrentNode()) AddDependency(&m_dibIndepNode, st->GetCurrentNode());
}

void TilvexNode::TakeJpegBytes(xvector<uint8_t>& bytes)
{
    MarkDirty(); // first: a failure to mark leaves the tile as it was
    m_jpeg.m_bytes.swap(bytes);
    bytes = xvector<uint8_t>();
    m_jpeg.m_valid = true;
    m_dib.Clear();
    m_decodeState = TDS_STALE;
    m_undecodable = false;
    if (GetThreadDGState()) m_dibIndepNode.MarkDirty();
}

void TilvexNode::ClearImage()
{
    const bool had = m_jpeg.IsValid() || !m_jpeg.m_bytes.empty();
    if (had) MarkDirty(); // first, as in TakeJpegBytes
    m_jpeg.Clear();
    m_dib.Clear();
    m_decodeState = TDS_NO_IMAGE;
    m_undecodable = false;
    if (had && GetThreadDGState()) m_dibIndepNode.MarkDirty();
}

void TilvexNode::MarkDirty() { MarkPersistentAsDirtyWithoutTrace(AsObject()); }

TilvexNode* NewTilvexNode()
{
    CSpace* space = GetThreadCSpace();
    if (space == nullptr) throw ProgrammingErrorException(xstring("a new tile needs a thread space"));
    auto* node = new TilvexNode();
    space->RegisterGcObject(node->AsObject());
    return node;
}

} // namespace vorn
