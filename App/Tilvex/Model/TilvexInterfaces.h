// The two reflected interfaces through which the image model calls out, as function
// tables that begin with the IObject operations.
//   vorn::ITilvexViewer: what drawing a pyramid asks of its host (the viewer window):
//     whether to outline tiles, the texture filters, and BindTexture(tile), which binds
//     the texture of the tile whose node has that identifier and returns true when the
//     caller must upload the tile's pixels now (the texture was newly assigned).
//   vorn::IImageTileCalculator: WriteJpegImage(rect, ar) writes the JPEG bytes of the
//     image content of rect (the source's coordinates, y growing upwards) to ar and
//     returns whether there is any content.
#pragma once
#include "vnPersistStore/Oid.h"
#include "vnReflection/IObject.h"
#include "vnUtils/Archive.h"
#include "vnUtils/Geometry.h"

namespace vorn {

struct ITilvexViewerTable {
    IObjectTable m_object;
    bool (*ShowTileOutlines)(void* self);
    bool (*LinearMagFilter)(void* self);
    bool (*LinearMinFilter)(void* self);
    bool (*BindTexture)(void* self, OID tile);
};
using ITilvexViewerPtr = InterfacePtr<ITilvexViewerTable>;

struct IImageTileCalculatorTable {
    IObjectTable m_object;
    bool (*WriteJpegImage)(void* self, const Rect2d& rect, Archive& ar);
};
using IImageTileCalculatorPtr = InterfacePtr<IImageTileCalculatorTable>;

extern const ReflectedInterface kITilvexViewerInterface;
extern const ReflectedInterface kIImageTileCalculatorInterface;

} // namespace vorn
