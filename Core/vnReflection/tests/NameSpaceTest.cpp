#include "vnReflection/NameSpace.h"
#include "TestModule.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace vorn;

namespace {

int g_recordA, g_recordB;

TEST(NameSpace, AddReportsTheErrorCodesOfMalformedNames)
{
    NameSpace ns;
    EXPECT_EQ(ns.Add("", NST_Class, &g_recordA), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(ns.Add(nullptr, NST_Class, &g_recordA), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(ns.Add("a::", NST_Class, &g_recordA), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(ns.Add("1a", NST_Class, &g_recordA), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(ns.Add("::a", NST_Class, &g_recordA), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(ns.Add("a::1b", NST_Class, &g_recordA), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(ns.Add("a:b", NST_Class, &g_recordA), NSE_COLON_EXPECTED);
    EXPECT_EQ(ns.Add("a b", NST_Class, &g_recordA), NSE_COLON_EXPECTED);
    EXPECT_EQ(ns.Add("a:", NST_Class, &g_recordA), NSE_COLON_EXPECTED);
    EXPECT_EQ(ns.Add("a ", NST_Class, &g_recordA), NSE_COLON_EXPECTED);
    EXPECT_EQ(ns.Add("a:::b", NST_Class, &g_recordA), NSE_IDENTIFIER_EXPECTED);
    // Nothing but the child name spaces on the way was entered.
    EXPECT_EQ(ns.GetNumElements(), 0);
    ASSERT_NE(ns.FindChildNameSpace("a"), nullptr);
    EXPECT_EQ(ns.FindChildNameSpace("a")->GetNumElements(), 0);
}

TEST(NameSpace, ValidNamesAndTheirElements)
{
    NameSpace ns;
    EXPECT_EQ(ns.Add("_x9::y", NST_Enum, &g_recordA), NSE_OK);
    EXPECT_EQ(ns.Add("Z_", NST_Class, &g_recordB), NSE_OK);
    const NameSpace* x9 = ns.FindChildNameSpace("_x9");
    ASSERT_NE(x9, nullptr);
    EXPECT_STREQ(x9->GetName(), "_x9");
    EXPECT_STREQ(ns.GetName(), "");
    const NameSpaceElement e = x9->FindElement("y");
    EXPECT_EQ(e.GetType(), NST_Enum);
    EXPECT_EQ(e.m_record, &g_recordA);
    const NameSpaceElement none = x9->FindElement("z");
    EXPECT_EQ(none.GetType(), NST_Unknown);
    EXPECT_EQ(none.m_record, nullptr);
    EXPECT_EQ(ns.FindChildNameSpace("Z_"), nullptr);
}

TEST(NameSpace, ANameUsedTwiceKeepsTheFirstElement)
{
    NameSpace ns;
    EXPECT_EQ(ns.Add("a::b", NST_Class, &g_recordA), NSE_OK);
    EXPECT_EQ(ns.Add("a::b", NST_Enum, &g_recordB), NSE_NAME_ALREADY_IN_USE);
    const NameSpaceElement e = ns.FindChildNameSpace("a")->FindElement("b");
    EXPECT_EQ(e.GetType(), NST_Class);
    EXPECT_EQ(e.m_record, &g_recordA);
}

TEST(NameSpace, AnElementBesideANameSpaceOfTheSameName)
{
    NameSpace ns;
    EXPECT_EQ(ns.Add("a", NST_Typedef, &g_recordA), NSE_OK);
    EXPECT_EQ(ns.Add("a::b", NST_Class, &g_recordB), NSE_OK);
    EXPECT_EQ(ns.FindElement("a").m_record, &g_recordA);
    ASSERT_NE(ns.FindChildNameSpace("a"), nullptr);
    EXPECT_EQ(ns.FindChildNameSpace("a")->FindElement("b").m_record, &g_recordB);
    // And the other way round.
    EXPECT_EQ(ns.Add("c::d", NST_Class, &g_recordB), NSE_OK);
    EXPECT_EQ(ns.Add("c", NST_Class, &g_recordA), NSE_OK);
}

TEST(NameSpace, IteratorsListNamesInBytewiseOrder)
{
    NameSpace ns;
    for (const char* n : {"b", "a", "B", "ab", "_", "a0"}) ASSERT_EQ(ns.Add(n, NST_Class, &g_recordA), NSE_OK);
    for (const char* n : {"b::x", "a::x", "B::x", "ab::x"}) ASSERT_EQ(ns.Add(n, NST_Class, &g_recordA), NSE_OK);

    std::vector<std::string> names;
    NameSpaceElementIterator* it = ns.GetElementIterator();
    for (; !it->AtEnd(); it->Next()) {
        names.emplace_back(it->GetName().begin(), it->GetName().end());
        EXPECT_EQ(it->GetElement().m_record, &g_recordA);
    }
    it->Close();
    EXPECT_EQ(names, (std::vector<std::string>{"B", "_", "a", "a0", "ab", "b"}));

    names.clear();
    ChildNameSpaceIterator* ci = ns.GetChildNameSpaceIterator();
    for (; !ci->AtEnd(); ci->Next()) {
        names.emplace_back(ci->GetName().begin(), ci->GetName().end());
        EXPECT_STREQ(ci->GetNameSpace()->GetName(), names.back().c_str());
    }
    ci->Close();
    EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "ab", "b"}));

    NameSpace empty;
    NameSpaceElementIterator* e = empty.GetElementIterator();
    EXPECT_TRUE(e->AtEnd());
    e->Close();
}

TEST(NameSpace, BytewiseOrderPutsHighBytesLast)
{
    // The maps order unsigned bytes, so a byte above 0x7F sorts after ASCII.
    NameSpace::ElementMap m;
    m.emplace(xstring("\xC3\xA9"), NameSpaceElement{NST_Class, nullptr});
    m.emplace(xstring("z"), NameSpaceElement{NST_Class, nullptr});
    m.emplace(xstring("zz"), NameSpaceElement{NST_Class, nullptr});
    auto it = m.begin();
    EXPECT_EQ(std::string(it->first.data(), it->first.size()), "z");
    ++it;
    EXPECT_EQ(std::string(it->first.data(), it->first.size()), "zz");
    ++it;
    EXPECT_EQ(uint8_t(it->first.data()[0]), 0xC3);
}

TEST(NameSpace, RelativePathLookups)
{
    NameSpace ns;
    ASSERT_EQ(ns.Add("vorn::inner::Thing", NST_Class, &g_recordA), NSE_OK);
    ASSERT_EQ(ns.Add("vorn::Top", NST_Enum, &g_recordB), NSE_OK);

    NameSpaceElement out{NST_Unknown, nullptr};
    EXPECT_EQ(ns.FindElementWithRelativePath("vorn::inner::Thing", out), NSE_OK);
    EXPECT_EQ(out.GetType(), NST_Class);
    EXPECT_EQ(out.m_record, &g_recordA);
    EXPECT_EQ(ns.FindChildNameSpace("vorn")->FindElementWithRelativePath("Top", out), NSE_OK);
    EXPECT_EQ(out.m_record, &g_recordB);
    EXPECT_EQ(ns.FindChildNameSpace("vorn")->FindElementWithRelativePath("inner::Thing", out), NSE_OK);

    // Errors leave out untouched.
    out = NameSpaceElement{NST_Unknown, nullptr};
    EXPECT_EQ(ns.FindElementWithRelativePath("vorn::inner::Missing", out), NSE_NAME_NOT_FOUND);
    EXPECT_EQ(ns.FindElementWithRelativePath("vorn::nowhere::Thing", out), NSE_NAME_NOT_FOUND);
    EXPECT_EQ(ns.FindElementWithRelativePath("vorn", out), NSE_NAME_NOT_FOUND); // a name space, not an element
    EXPECT_EQ(ns.FindElementWithRelativePath("", out), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(ns.FindElementWithRelativePath("vorn::", out), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(ns.FindElementWithRelativePath("vorn:Top", out), NSE_COLON_EXPECTED);
    EXPECT_EQ(ns.FindElementWithRelativePath("vorn Top", out), NSE_COLON_EXPECTED);
    EXPECT_EQ(ns.FindElementWithRelativePath("9vorn", out), NSE_IDENTIFIER_EXPECTED);
    EXPECT_EQ(out.m_record, nullptr);
    // A path given as a sub-range of a longer text.
    const char text[] = "vorn::Top::rest";
    EXPECT_EQ(ns.FindElementWithRelativePath(SubString8(text, text + 9), out), NSE_OK);
    EXPECT_EQ(out.m_record, &g_recordB);
}

TEST(NameSpace, TheRootHoldsTheRegisteredItems)
{
    test::TestModule();
    NameSpace* root = GetTheRootNameSpace();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root, GetTheRootNameSpace());
    NameSpaceElement e{};
    ASSERT_EQ(root->FindElementWithRelativePath("vorn::NameSpace", e), NSE_OK);
    EXPECT_EQ(e.GetType(), NST_Class);
    EXPECT_STREQ(e.AsClass()->GetName(), "vorn::NameSpace");
    ASSERT_EQ(root->FindElementWithRelativePath("vorn::IObject", e), NSE_OK);
    EXPECT_EQ(e.GetType(), NST_Interface);
    EXPECT_EQ(e.AsInterface(), &GetIObjectInterfaceRecord());
    EXPECT_STREQ(root->FindChildNameSpace("vorn")->GetName(), "vorn");
}

// ---- INsNode navigation ------------------------------------------------------------

// A node of a test tree; its FindChildNsNode clears the out-parameter before it scans.
struct TestNode {
    std::string name;
    std::vector<TestNode*> children;
    ObjSysState sys{};

    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    AnyInterface BindInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    const ReflectedClass* GetReflectedClass() const { return nullptr; }
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() {}
    void DestroyObject() {}
    ObjSysState& GetSysState() { return sys; }

    ssize_t GetNumNsChildren() { return ssize_t(children.size()); }
    xstring GetChildNsNodeName(ssize_t i) { return xstring(children[size_t(i)]->name.c_str()); }
    INsNodePtr GetChildNsNode(ssize_t i) { return Ptr(children[size_t(i)]); }
    ENavNamespaceResult FindChildNsNode(SubString8 n, INsNodePtr& found)
    {
        found = INsNodePtr{};
        return FindChildNsNodeWithLinearScan(Ptr(this), n, found);
    }
    static INsNodePtr Ptr(TestNode* n) { return INsNodePtr{n, &kINsNodeTableOf<TestNode>}; }
};

struct TestTree {
    TestNode root{"root", {}}, a{"a", {}}, b{"b", {}}, c{"c", {}}, dup1{"d", {}}, dup2{"d", {}};
    TestTree()
    {
        root.children = {&a, &b};
        a.children = {&c, &dup1, &dup2};
        b.children = {&c};
    }
};

TEST(NsNode, LinearScanFindsOneChildAndDetectsDuplicates)
{
    TestTree t;
    INsNodePtr found;
    EXPECT_EQ(FindChildNsNodeWithLinearScan(TestNode::Ptr(&t.root), "b", found), NPR_OK);
    EXPECT_EQ(found.m_object, &t.b);
    EXPECT_EQ(FindChildNsNodeWithLinearScan(TestNode::Ptr(&t.root), "x", found), NPR_NOT_FOUND);
    EXPECT_TRUE(found.IsNull());
    EXPECT_EQ(FindChildNsNodeWithLinearScan(TestNode::Ptr(&t.root), "", found), NPR_NOT_FOUND);
    EXPECT_EQ(FindChildNsNodeWithLinearScan(TestNode::Ptr(&t.root), "bb", found), NPR_NOT_FOUND);
    EXPECT_EQ(FindChildNsNodeWithLinearScan(TestNode::Ptr(&t.a), "d", found), NPR_AMBIGUOUS);
}

TEST(NsNode, BindPathDownwards)
{
    TestTree t;
    const INsNodePtr root = TestNode::Ptr(&t.root);
    const INsNodePtr sentinel = TestNode::Ptr(&t.c);
    INsNodePtr found = sentinel;

    EXPECT_EQ(BindPathDownwards(found, root, "a/c", '/'), NPR_OK);
    EXPECT_EQ(found.m_object, &t.c);
    EXPECT_EQ(BindPathDownwards(found, root, "b", '/'), NPR_OK);
    EXPECT_EQ(found.m_object, &t.b);
    EXPECT_EQ(BindPathDownwards(found, root, "", '/'), NPR_OK);
    EXPECT_EQ(found.m_object, &t.root);
    EXPECT_EQ(BindPathDownwards(found, root, "b.c", '.'), NPR_OK);
    EXPECT_EQ(found.m_object, &t.c);

    // Failures leave foundNode as it was.
    found = sentinel;
    EXPECT_EQ(BindPathDownwards(found, root, "a//c", '/'), NPR_SYNTAX_ERROR);
    EXPECT_EQ(BindPathDownwards(found, root, "/a", '/'), NPR_SYNTAX_ERROR);
    EXPECT_EQ(BindPathDownwards(found, root, "a/", '/'), NPR_SYNTAX_ERROR);
    EXPECT_EQ(BindPathDownwards(found, root, "/", '/'), NPR_SYNTAX_ERROR);
    EXPECT_EQ(BindPathDownwards(found, root, "a/x", '/'), NPR_NOT_FOUND);
    EXPECT_EQ(BindPathDownwards(found, root, "a/d", '/'), NPR_AMBIGUOUS);
    EXPECT_EQ(BindPathDownwards(found, root, "a/c/x", '/'), NPR_NOT_FOUND);
    EXPECT_TRUE(found == sentinel);

    // The start node may be the result variable itself.
    INsNodePtr node = root;
    EXPECT_EQ(BindPathDownwards(node, node, "a/c", '/'), NPR_OK);
    EXPECT_EQ(node.m_object, &t.c);
}

TEST(NsNode, TheNavigationFunctionsAreCallableByName)
{
    test::TestModule();
    const ReflectedGlobalFunction* f = FindReflectedGlobalFunction("vorn::BindPathDownwards");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->GetNumArgs(), 4);
    EXPECT_STREQ(f->GetArg(0)->GetName(), "foundNode");
    TestTree t;
    INsNodePtr found;
    INsNodePtr start = TestNode::Ptr(&t.root);
    SubString8 path("b/c");
    char delimiter = '/';
    void* args[] = {&found, &start, &path, &delimiter};
    ENavNamespaceResult r = NPR_SYNTAX_ERROR;
    f->m_address(&r, args);
    EXPECT_EQ(r, NPR_OK);
    EXPECT_EQ(found.m_object, &t.c);
}

} // namespace
