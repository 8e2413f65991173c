// Drawing a tile pyramid with OpenGL: Tilvex::GLDraw and its steps, TilvexNode's
// drawing members (TilvexNode.h says what they promise and what the caller sets up).
// OpenGL is reached through vnWindows, so a program that links no window system can
// link this and throws only if it draws.
#include "Tilvex/Model/TileGeometry.h"
#include "Tilvex/Model/Tilvex.h"
#include "vnObject/DepGraph.h"
#include "vnWindows/OpenGL.h"

namespace vorn {

namespace {

const Rect2i kWholeTile(0, 0, kTileSize, kTileSize);

// The child, if it is in memory; a load is requested otherwise. When a dependent node
// is evaluating, it now depends on the child's tile (which, when that makes the tile
// observed, calls the installed decode trigger).
TilvexNode* ChildForDrawing(TilvexNode* n, int32_t col, int32_t row)
{
    TilvexNode* child = TilvexNode::FromPersistable(n->m_children[col + 2 * row].AsyncGet());
    if (child) child->RecordDibRead();
    return child;
}

} // namespace

void TilvexNode::GLDrawTree(const Rect2i& r, TilvexNode* node, const Rect2i& clip, ITilvexViewerPtr viewer)
{
    GLDraw(node, r, clip, node, r, kWholeTile, viewer);
    if (viewer.m_table->ShowTileOutlines(viewer.m_object)) GLDrawOutline(r);
}

void TilvexNode::GLDraw(TilvexNode* n, const Rect2i& r, const Rect2i& clip, TilvexNode* t, const Rect2i& s,
                        const Rect2i& x, ITilvexViewerPtr viewer)
{
    if (!n->HasChildren() || r.x2 - r.x1 <= kTileSize) {
        GLDrawTexturedQuad(t, s, x, viewer);
        return;
    }
    for (int32_t row = 0; row < 2; ++row) {
        for (int32_t col = 0; col < 2; ++col) {
            const Rect2i q = Quadrant(r, col, row);
            const Rect2i k = q.Intersection(clip);
            if (k.IsEmpty()) continue;
            TilvexNode* child = ChildForDrawing(n, col, row);
            if (child == nullptr) {
                GLDrawTexturedQuad(t, Quadrant(s, col, row), Quadrant(x, col, row), viewer);
            } else if (child->GetDecodeState() == TDS_DECODED) {
                GLDraw(child, q, k, child, q, kWholeTile, viewer);
                if (viewer.m_table->ShowTileOutlines(viewer.m_object)) GLDrawOutline(q);
            } else {
                GLDraw(child, q, k, t, Quadrant(s, col, row), Quadrant(x, col, row), viewer);
            }
        }
    }
}

void TilvexNode::GLDrawTexturedQuad(TilvexNode* t, const Rect2i& s, const Rect2i& x, ITilvexViewerPtr viewer)
{
    // Only a decoded tile is drawn: a root without a usable image leaves the
    // background black, and no bitmap of another shape is ever uploaded.
    if (t == nullptr || t->GetDecodeState() != TDS_DECODED || !IsTileBitmap(t->m_dib)) return;
    const GlCalls& gl = Gl();
    const ResDIB& dib = t->m_dib;
    const int32_t w = dib.GetWidth();
    const int32_t h = dib.GetHeight();
    if (viewer.m_table->BindTexture(viewer.m_object, t->m_pos.m_oid)) {
        gl.TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        gl.TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        gl.TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER,
                         viewer.m_table->LinearMagFilter(viewer.m_object) ? GL_LINEAR : GL_NEAREST);
        gl.TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER,
                         viewer.m_table->LinearMinFilter(viewer.m_object) ? GL_LINEAR : GL_NEAREST);
        gl.TexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
        gl.PixelStorei(GL_UNPACK_ALIGNMENT, 4);
        gl.TexImage2D(GL_TEXTURE_2D, 0, GL_RGB, w, h, 0, GL_BGR_EXT, GL_UNSIGNED_BYTE, dib.GetPixels());
    }
    const float fw = float(w), fh = float(h);
    gl.Begin(GL_QUADS);
    gl.TexCoord2f(float(x.x1) / fw, float(h - x.y1) / fh);
    gl.Vertex2i(s.x1, s.y1);
    gl.TexCoord2f(float(x.x2) / fw, float(h - x.y1) / fh);
    gl.Vertex2i(s.x2, s.y1);
    gl.TexCoord2f(float(x.x2) / fw, float(h - x.y2) / fh);
    gl.Vertex2i(s.x2, s.y2);
    gl.TexCoord2f(float(x.x1) / fw, float(h - x.y2) / fh);
    gl.Vertex2i(s.x1, s.y2);
    gl.End();
}

void TilvexNode::GLDrawOutline(const Rect2i& r)
{
    const GlCalls& gl = Gl();
    gl.Disable(GL_TEXTURE_2D);
    gl.PolygonMode(GL_FRONT_AND_BACK, GL_LINE);
    gl.Color3f(1.0f, 1.0f, 0.0f);
    gl.Begin(GL_QUADS);
    gl.Vertex2i(r.x1, r.y1);
    gl.Vertex2i(r.x2 - 1, r.y1);
    gl.Vertex2i(r.x2 - 1, r.y2 - 1);
    gl.Vertex2i(r.x1, r.y2 - 1);
    gl.End();
    gl.PolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    gl.Enable(GL_TEXTURE_2D);
}

void Tilvex::GLDraw(ITilvexViewerPtr view, const Rect2i& bdRect, const Rect2i& updateRect) const
{
    TilvexNode* root = const_cast<Tilvex*>(this)->GetRootNode();
    if (root == nullptr) return;
    root->GetDib();
    TilvexNode::GLDrawTree(bdRect, root, updateRect, view);
}

} // namespace vorn
