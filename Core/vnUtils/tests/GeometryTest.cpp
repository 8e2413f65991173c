#include "vnUtils/Geometry.h"
#include "vnUtils/AmbientResources.h"
#include "vnUtils/TextWriter.h"
#include <gtest/gtest.h>
#include <iomanip>
#include <string>
#include <thread>

using namespace vorn;

namespace {

template <class V>
std::string Printed(const V& v)
{
    StringTextWriter w;
    w << v;
    const xstring s = w.TakeText();
    return std::string(s.data(), size_t(s.size()));
}

} // namespace

TEST(Geometry, PrintedForms)
{
    EXPECT_EQ(Printed(Rect2i(0, 0, 256, 256)), "(0,0,256,256)");
    EXPECT_EQ(Printed(Point2i(-1, 2)), "(-1,2)");
    EXPECT_EQ(Printed(Point2i()), "(0,0)");
    EXPECT_EQ(Printed(Rect2i(-2147483647 - 1, 5, 2147483647, -3)), "(-2147483648,5,2147483647,-3)");
    EXPECT_EQ(Printed(Point2d(0.5, -1.25)), "(0.5,-1.25)");
    EXPECT_EQ(Printed(Rect2f(1.5f, 2.0f, 3.25f, 0.1f)), "(1.5,2,3.25,0.1)");
    EXPECT_EQ(Printed(Rect2d(1.0 / 3, 0, 1e20, -0.0)), "(0.333333,0,1e+20,-0)");
}

TEST(Geometry, PrintingFollowsTheWritersFormat)
{
    StringTextWriter w;
    w << std::hex << Point2i(255, 16) << std::dec;
    w.GetStream() << std::fixed << std::setprecision(2);
    w << Point2d(1.0, 2.5);
    const xstring s = w.TakeText();
    EXPECT_EQ(std::string(s.data(), size_t(s.size())), "(ff,10)(1.00,2.50)");
}

TEST(Geometry, ValuesStartAtZeroAndCompare)
{
    Rect2d r;
    EXPECT_EQ(r, Rect2d(0, 0, 0, 0));
    EXPECT_TRUE(r.IsEmpty());
    const Rect2i a(0, 0, 256, 128);
    EXPECT_EQ(a.Width(), 256);
    EXPECT_EQ(a.Height(), 128);
    EXPECT_TRUE(a.Contains(Point2i(0, 0)));
    EXPECT_FALSE(a.Contains(Point2i(256, 0))); // x2 and y2 are exclusive
    EXPECT_TRUE(a.Intersects(Rect2i(255, 127, 300, 300)));
    EXPECT_FALSE(a.Intersects(Rect2i(256, 0, 300, 300)));
    EXPECT_EQ(a.Intersection(Rect2i(100, -5, 400, 50)), Rect2i(100, 0, 256, 50));
    EXPECT_NE(Point2i(1, 2), Point2i(2, 1));
    static_assert(sizeof(Point2i) == 8 && sizeof(Rect2i) == 16 && sizeof(Rect2d) == 32);
}

TEST(AmbientResources, TableIsAnOrderedMapCopiedWhole)
{
    AmbientResourceTable t;
    t.Set(ARN("pen"), 2);
    t.Set(ARN("brush"), 1);
    t.Set(ARN("pen"), 3);
    ASSERT_EQ(t.Size(), 2u);
    ASSERT_NE(t.Find(ARN("pen")), nullptr);
    EXPECT_EQ(*t.Find(ARN("pen")), 3u);
    EXPECT_EQ(t.Find(ARN("font")), nullptr);
    EXPECT_EQ(std::string(t.GetMap().begin()->first.data(), 5), "brush");

    AmbientResourceTable copy = t;
    t.Remove(ARN("brush"));
    EXPECT_EQ(copy.Size(), 2u);
    EXPECT_EQ(t.Size(), 1u);
    EXPECT_NE(copy, t);
}

TEST(AmbientResources, ThreadedCurrentTableIsPerThread)
{
    AmbientResourceTable mine;
    SetThreadAmbientResourceTable(&mine);
    AmbientResourceTable* seenByNewThread = &mine;
    AmbientResourceTable theirs;
    AmbientResourceTable* afterSet = nullptr;
    std::thread t([&] {
        seenByNewThread = GetThreadAmbientResourceTable();
        SetThreadAmbientResourceTable(&theirs);
        afterSet = GetThreadAmbientResourceTable();
    });
    t.join();
    EXPECT_EQ(seenByNewThread, nullptr);
    EXPECT_EQ(afterSet, &theirs);
    EXPECT_EQ(GetThreadAmbientResourceTable(), &mine);
    SetThreadAmbientResourceTable(nullptr);
    EXPECT_EQ(GetThreadAmbientResourceTable(), nullptr);
}
