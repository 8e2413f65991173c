#include "vnReflection/MetaData.h"
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

using namespace vorn;

namespace {

std::string Text(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

constexpr const char* kNames[] = {"count", "flag", "ratio", "label", "hello", "pair", "other"};

MetaData MD(const std::vector<uint8_t>& v) { return MetaData{v.data(), kNames, 0}; }

// A list of: MDT_FLAGS 5; count(7); flag(true); ratio(2.5); label("hello"); pair(1, 2);
// other().
std::vector<uint8_t> SampleList()
{
    std::vector<uint8_t> v = {MDT_LIST_0 + 7,
                              MDT_FLAGS, 5, 0, 0, 0,
                              MDT_FUNCTOR_1, VORN_BC_INDEX(0), MDT_INT32, 7, 0, 0, 0,
                              MDT_FUNCTOR_1, VORN_BC_INDEX(1), MDT_BOOL, 1,
                              MDT_FUNCTOR_1, VORN_BC_INDEX(2), MDT_FLOAT64};
    const double d = 2.5;
    uint8_t raw[8];
    std::memcpy(raw, &d, 8);
    for (uint8_t b : raw) v.push_back(b);
    const uint8_t rest[] = {MDT_FUNCTOR_1, VORN_BC_INDEX(3), MDT_STRING, VORN_BC_INDEX(4),
                            MDT_FUNCTOR_2, VORN_BC_INDEX(5), MDT_INT32, 1, 0, 0, 0, MDT_INT32, 2, 0, 0, 0,
                            MDT_FUNCTOR_0, VORN_BC_INDEX(6),
                            FT_INT32};
    for (uint8_t b : rest) v.push_back(b);
    return v;
}

} // namespace

TEST(MetaData, TypedGetters)
{
    const std::vector<uint8_t> list = SampleList();
    const MetaData md = MD(list);
    EXPECT_FALSE(md.Empty());

    xstring error = "untouched";
    int32_t i = 0;
    EXPECT_TRUE(md.GetInt("count", i, error));
    EXPECT_EQ(i, 7);
    EXPECT_EQ(Text(error), "untouched");

    bool b = false;
    EXPECT_TRUE(md.GetBool("flag", b, error));
    EXPECT_TRUE(b);
    double d = 0;
    EXPECT_TRUE(md.GetDouble("ratio", d, error));
    EXPECT_EQ(d, 2.5);
    xstring s;
    EXPECT_TRUE(md.GetString("label", s, error));
    EXPECT_EQ(Text(s), "hello");
    EXPECT_EQ(Text(md.GetString2("label")), "hello");
    EXPECT_EQ(Text(error), "untouched");

    EXPECT_TRUE(md.ExistsFunctor0("other"));
    EXPECT_FALSE(md.ExistsFunctor0("count"));
    EXPECT_FALSE(md.ExistsFunctor0("missing"));
}

TEST(MetaData, ErrorTexts)
{
    const std::vector<uint8_t> list = SampleList();
    const MetaData md = MD(list);
    xstring error;
    bool b = true;
    EXPECT_FALSE(md.GetBool("count", b, error));
    EXPECT_EQ(Text(error), "Functor 'count' has incompatible type");
    EXPECT_TRUE(b);

    int32_t i = 99;
    EXPECT_FALSE(md.GetInt("pair", i, error));
    EXPECT_EQ(Text(error), "Functor 'pair' has bad arity 2");
    EXPECT_FALSE(md.GetInt("other", i, error));
    EXPECT_EQ(Text(error), "Functor 'other' has bad arity 0");
    EXPECT_EQ(i, 99);

    EXPECT_FALSE(md.GetInt("nothing here", i, error));
    EXPECT_EQ(Text(error), "Functor named 'nothing here' not found");
    double d = 0;
    EXPECT_FALSE(md.GetDouble("label", d, error));
    EXPECT_EQ(Text(error), "Functor 'label' has incompatible type");
    xstring s = "kept";
    EXPECT_FALSE(md.GetString("ratio", s, error));
    EXPECT_EQ(Text(error), "Functor 'ratio' has incompatible type");
    EXPECT_EQ(Text(s), "kept");
    EXPECT_EQ(Text(md.GetString2("ratio")), "");
    EXPECT_EQ(Text(md.GetString2("missing")), "");
}

TEST(MetaData, EmptyAndNullLists)
{
    xstring error;
    int32_t i = 0;
    const MetaData null{};
    EXPECT_TRUE(null.Empty());
    EXPECT_FALSE(null.GetInt("count", i, error));
    EXPECT_EQ(Text(error), "Functor named 'count' not found");
    EXPECT_FALSE(null.ExistsFunctor0("count"));

    const std::vector<uint8_t> empty = {MDT_LIST_0, FT_INT32};
    EXPECT_TRUE(MD(empty).Empty());
    EXPECT_FALSE(MD(empty).GetInt("count", i, error));

    // A cursor on something that is not a list (a type, a lone item) is an empty list:
    // nothing after it is taken for list items.
    const std::vector<uint8_t> notList = {FT_INT32, MDT_FUNCTOR_1, VORN_BC_INDEX(0), MDT_INT32, 7, 0, 0, 0};
    EXPECT_TRUE(MD(notList).Empty());
    EXPECT_FALSE(MD(notList).GetInt("count", i, error));
    EXPECT_EQ(Text(error), "Functor named 'count' not found");
    const std::vector<uint8_t> loneFunctor = {MDT_FUNCTOR_0, VORN_BC_INDEX(6)};
    EXPECT_TRUE(MD(loneFunctor).Empty());
    EXPECT_FALSE(MD(loneFunctor).ExistsFunctor0("other"));
}

TEST(MetaData, LookupSkipsItemsAndStopsAtUnknownCodes)
{
    xstring error;
    int32_t i = 0;
    // Nested lists, markers and functors with arguments are skipped whole.
    const std::vector<uint8_t> nested = {MDT_LIST_4,
                                         MDT_LIST_2, MDT_BOOL, 0, MDT_FUNCTOR_1, VORN_BC_INDEX(0), MDT_INT32, 1, 0, 0, 0,
                                         MDT_BEGIN_LIST,
                                         MDT_FUNCTOR_1, VORN_BC_INDEX(5), MDT_LIST_1, MDT_STRING, VORN_BC_INDEX(4),
                                         MDT_FUNCTOR_1, VORN_BC_INDEX(0), MDT_INT32, 42, 0, 0, 0};
    EXPECT_TRUE(MD(nested).GetInt("count", i, error));
    EXPECT_EQ(i, 42); // not the count inside the nested list

    // The functor is the second item, after a flags item.
    const std::vector<uint8_t> afterFlags = {MDT_LIST_2, MDT_FLAGS, 0xFF, 0xFF, 0xFF, 0xFF,
                                             MDT_FUNCTOR_1, VORN_BC_INDEX(0), MDT_INT32, 3, 0, 0, 0};
    EXPECT_TRUE(MD(afterFlags).GetInt("count", i, error));
    EXPECT_EQ(i, 3);

    // An unknown item code ends the lookup: the functor after it is not found and no
    // byte beyond the unknown code is read as an item.
    const std::vector<uint8_t> unknown = {MDT_LIST_2, 170, MDT_FUNCTOR_1, VORN_BC_INDEX(0), MDT_INT32, 3, 0, 0, 0};
    EXPECT_FALSE(MD(unknown).GetInt("count", i, error));
    EXPECT_EQ(Text(error), "Functor named 'count' not found");
    const std::vector<uint8_t> typeInList = {MDT_LIST_2, FT_INT32, MDT_FUNCTOR_0, VORN_BC_INDEX(6)};
    EXPECT_FALSE(MD(typeInList).ExistsFunctor0("other"));
    const std::vector<uint8_t> unknownArg = {MDT_LIST_2, MDT_FUNCTOR_1, VORN_BC_INDEX(5), 180,
                                             MDT_FUNCTOR_0, VORN_BC_INDEX(6)};
    EXPECT_FALSE(MD(unknownArg).ExistsFunctor0("other"));

    // Codes up to 223 are functors and up to 255 lists, by the same rule.
    const std::vector<uint8_t> wide = {255, MDT_FUNCTOR_0 + 31, VORN_BC_INDEX(1),
                                       MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0,
                                       MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0,
                                       MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0,
                                       MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0,
                                       MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0, MDT_BOOL, 0,
                                       MDT_BOOL, 0,
                                       MDT_FUNCTOR_0, VORN_BC_INDEX(6)};
    EXPECT_TRUE(MD(wide).ExistsFunctor0("other"));
    bool b = false;
    EXPECT_FALSE(MD(wide).GetBool("flag", b, error));
    EXPECT_EQ(Text(error), "Functor 'flag' has bad arity 31");
}
