#include "vnUtils/Geometry.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

namespace {

template <class T>
TextWriter& PrintPoint(TextWriter& w, const Point2<T>& p)
{
    return w << '(' << p.x << ',' << p.y << ')';
}

template <class T>
TextWriter& PrintRect(TextWriter& w, const Rect2<T>& r)
{
    return w << '(' << r.x1 << ',' << r.y1 << ',' << r.x2 << ',' << r.y2 << ')';
}

} // namespace

TextWriter& operator<<(TextWriter& w, const Point2i& p) { return PrintPoint(w, p); }
TextWriter& operator<<(TextWriter& w, const Point2f& p) { return PrintPoint(w, p); }
TextWriter& operator<<(TextWriter& w, const Point2d& p) { return PrintPoint(w, p); }
TextWriter& operator<<(TextWriter& w, const Rect2i& r) { return PrintRect(w, r); }
TextWriter& operator<<(TextWriter& w, const Rect2f& r) { return PrintRect(w, r); }
TextWriter& operator<<(TextWriter& w, const Rect2d& r) { return PrintRect(w, r); }

} // namespace vorn
