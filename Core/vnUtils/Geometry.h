// 2-D points and rectangles of int32, float and double coordinates. Plain values:
// default construction zero-fills. Rectangles hold two corners (x1, y1) and (x2, y2);
// the framework uses them with exclusive x2, y2. Printed as "(x,y)" and
// "(x1,y1,x2,y2)" with no spaces: integers by the TextWriter's integer rules, floating
// coordinates through its standard stream with the current format.
#pragma once
#include <cstdint>

namespace vorn {

class TextWriter;

// A pixel coordinate.
using coord_t = int32_t;

template <class T>
struct Point2 {
    T x = 0;
    T y = 0;

    constexpr Point2() = default;
    constexpr Point2(T x_, T y_) : x(x_), y(y_) {}

    constexpr bool operator==(const Point2& o) const { return x == o.x && y == o.y; }
    constexpr bool operator!=(const Point2& o) const { return !(*this == o); }
    constexpr Point2 operator+(const Point2& o) const { return Point2(x + o.x, y + o.y); }
    constexpr Point2 operator-(const Point2& o) const { return Point2(x - o.x, y - o.y); }
};

template <class T>
struct Rect2 {
    T x1 = 0;
    T y1 = 0;
    T x2 = 0;
    T y2 = 0;

    constexpr Rect2() = default;
    constexpr Rect2(T x1_, T y1_, T x2_, T y2_) : x1(x1_), y1(y1_), x2(x2_), y2(y2_) {}

    constexpr T Width() const { return x2 - x1; }
    constexpr T Height() const { return y2 - y1; }
    // True when the rectangle covers no area.
    constexpr bool IsEmpty() const { return !(x1 < x2 && y1 < y2); }
    // Half-open containment: x1 <= x < x2, y1 <= y < y2.
    constexpr bool Contains(const Point2<T>& p) const { return x1 <= p.x && p.x < x2 && y1 <= p.y && p.y < y2; }
    constexpr bool Intersects(const Rect2& o) const
    {
        return x1 < o.x2 && o.x1 < x2 && y1 < o.y2 && o.y1 < y2;
    }
    // The common part (empty, possibly with crossed corners, when there is none).
    constexpr Rect2 Intersection(const Rect2& o) const
    {
        return Rect2(x1 > o.x1 ? x1 : o.x1, y1 > o.y1 ? y1 : o.y1, x2 < o.x2 ? x2 : o.x2, y2 < o.y2 ? y2 : o.y2);
    }

    constexpr bool operator==(const Rect2& o) const { return x1 == o.x1 && y1 == o.y1 && x2 == o.x2 && y2 == o.y2; }
    constexpr bool operator!=(const Rect2& o) const { return !(*this == o); }
};

using Point2i = Point2<int32_t>;
using Point2f = Point2<float>;
using Point2d = Point2<double>;
using Rect2i = Rect2<int32_t>;
using Rect2f = Rect2<float>;
using Rect2d = Rect2<double>;

TextWriter& operator<<(TextWriter& w, const Point2i& p);
TextWriter& operator<<(TextWriter& w, const Point2f& p);
TextWriter& operator<<(TextWriter& w, const Point2d& p);
TextWriter& operator<<(TextWriter& w, const Rect2i& r);
TextWriter& operator<<(TextWriter& w, const Rect2f& r);
TextWriter& operator<<(TextWriter& w, const Rect2d& r);

} // namespace vorn
