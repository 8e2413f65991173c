// Drawing a tile pyramid with OpenGL (Tilvex::GLDraw is defined here too). The
// recursion descends the quadtree only while a node is wider than 256 screen pixels,
// never waits for a node or a decode, and draws the matching part of the nearest
// decoded ancestor's tile wherever a finer one is not available yet. Children read
// while a dependent node evaluates become its dependencies; a tile that this makes
// observed gets the decode trigger that the program installed (TilvexNode.h).
//
// The caller has its OpenGL context current with a pixel projection (GLSetPixelProjection)
// and GL_TEXTURE_2D enabled, and holds the space transaction for the whole pass.
// Rectangles are window pixels, y downwards, x2 and y2 exclusive; texture rectangles
// are tile pixels (0..256) from the tile's top row.
#pragma once
#include "Tilvex/Model/TilvexInterfaces.h"
#include "Tilvex/Model/TilvexNode.h"

namespace vorn {

// The node's subtree with its own tile as texture, onto r, visiting only quadrants
// that meet clip; then its outline when the viewer asks for outlines.
void GLDrawTree(const Rect2i& r, TilvexNode* node, const Rect2i& clip, ITilvexViewerPtr viewer);
// The recursion: node n on r, its pixels from the decoded tile of t, whose part x
// maps onto s.
void GLDrawNode(TilvexNode* n, const Rect2i& r, const Rect2i& clip, TilvexNode* t, const Rect2i& s, const Rect2i& x,
                ITilvexViewerPtr viewer);
// One quad of s textured with the part x of t's tile; nothing when t has no tile.
void GLDrawTexturedQuad(TilvexNode* t, const Rect2i& s, const Rect2i& x, ITilvexViewerPtr viewer);
// A yellow frame whose right and bottom edges lie one pixel inside r.
void GLDrawOutline(const Rect2i& r);

} // namespace vorn
