// The model's start-up registration: its items in their order after the modules it
// needs, each found under its name, and no window system started by it.
#include "ModelTestSupport.h"
#include "vnWindows/WindowSystem.h"
#include "vnReflection/Registry.h"
#include <algorithm>
#include <string>

namespace vorn::test {
namespace {

template <class R>
std::vector<std::string> Names(xvector<const R*>* list)
{
    std::vector<std::string> r;
    for (int32_t i = 0; i < list->size(); ++i) r.push_back((*list)[i]->GetName());
    return r;
}

size_t IndexOf(const std::vector<std::string>& v, const std::string& name)
{
    return size_t(std::find(v.begin(), v.end(), name) - v.begin());
}

TEST(TilvexRegistration, ItemsInOrderAfterTheImageAndWindowModulesEachFoundByName)
{
    XTarget& module = TestModule();
    InitTilvexModule(module); // once only: a second call adds nothing
    const std::vector<std::string> interfaces = Names(module.GetInterfaceRegistry());
    const std::vector<std::string> classes = Names(module.GetClassRegistry());
    const std::vector<std::string> functions = Names(module.GetGlobalFunctionRegistry());

    ASSERT_GE(interfaces.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(interfaces.end() - 2, interfaces.end()),
              (std::vector<std::string>{"vorn::IImageTileCalculator", "vorn::ITilvexViewer"}));
    ASSERT_GE(classes.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(classes.end() - 5, classes.end()),
              (std::vector<std::string>{"vorn::TilvexCalculatorProgress", "vorn::TilvexCalculatorSettings",
                                        "vorn::Tilvex", "vorn::TilvexCalculator", "vorn::TilvexNode"}));
    EXPECT_EQ(functions.back(), "vorn::CreateTilvexCalculator");

    // The core, geometry, image and window items came first, in their order.
    const char* order[] = {"vorn::CSpace",     "vorn::Point2d",       "vorn::Rect2i",        "vorn::JpegImage",
                           "vorn::ResDIB",     "vorn::AmbientResourceTable", "vorn::WindowsKeyEvent",
                           "vorn::MouseEvent", "vorn::Dib32",         "vorn::GdiPlusRasterImage", "vorn::OpenGLWnd",
                           "vorn::OpenGLWndForView", "vorn::TilvexCalculatorProgress"};
    for (size_t i = 0; i + 1 < std::size(order); ++i) {
        EXPECT_LT(IndexOf(classes, order[i]), IndexOf(classes, order[i + 1])) << order[i] << " / " << order[i + 1];
        EXPECT_LT(IndexOf(classes, order[i + 1]), classes.size()) << order[i + 1];
    }
    const char* interfaceOrder[] = {"vorn::IObject", "vorn::IControledAspect", "vorn::IKeyboardFocus", "vorn::ITimer",
                                    "vorn::IView", "vorn::IViewVisitor", "vorn::IImageTileCalculator"};
    for (size_t i = 0; i + 1 < std::size(interfaceOrder); ++i)
        EXPECT_LT(IndexOf(interfaces, interfaceOrder[i]), IndexOf(interfaces, interfaceOrder[i + 1])) << interfaceOrder[i];
    EXPECT_NE(FindReflectedEnum(SubString8("vorn::EMouseEventType")), nullptr);
    EXPECT_NE(FindReflectedEnum(SubString8("vorn::ESizeCaps")), nullptr);
    EXPECT_NE(FindReflectedTypedef(SubString8("vorn::coord_t")), nullptr);

    // Every item of the model is found under its name, as the record registered.
    const ReflectedItemTable items = GetTilvexModuleItems();
    ASSERT_EQ(items.m_count, 8);
    for (int32_t i = 0; i < items.m_count; ++i) {
        const ReflectedItemEntry& e = items.m_items[i];
        EXPECT_EQ(FindReflectedItem(SubString8(e.GetName()), GetReflectedItemRegistry(e.m_kind)), e.GetRecord())
            << e.GetName();
    }
    const ReflectedClass* node = FindReflectedClass(SubString8("vorn::TilvexNode"));
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(node->CanCreate());
    const ReflectedClass* tilvex = FindReflectedClass(SubString8("vorn::Tilvex"));
    ASSERT_NE(tilvex, nullptr);
    // The reflected methods in their order, with their parameter names and constness.
    struct Expected {
        const char* name;
        std::vector<std::string> args;
        bool isConst;
    };
    const Expected methods[] = {{"GetPSpace", {}, false},
                                {"SetHeight", {"height"}, false},
                                {"GetHeight", {}, true},
                                {"GLDraw", {"view", "bdRect", "updateRect"}, true},
                                {"SetImage2", {"srcImg"}, false},
                                {"SetImage", {"srcImg", "bdRect", "updateRect"}, false},
                                {"IncreaseHeight", {"row", "col"}, false}};
    ASSERT_EQ(tilvex->GetNumMethods(), int32_t(std::size(methods)));
    for (int32_t i = 0; i < tilvex->GetNumMethods(); ++i) {
        const ReflectedClassMethod* m = tilvex->GetMethod(i);
        EXPECT_STREQ(m->GetName(), methods[i].name);
        EXPECT_EQ(m->IsConst(), methods[i].isConst) << methods[i].name;
        EXPECT_NE(m->m_address, nullptr) << methods[i].name;
        std::vector<std::string> args;
        for (int32_t a = 0; a < m->GetNumArgs(); ++a) args.push_back(m->GetArg(a)->GetName());
        EXPECT_EQ(args, methods[i].args) << methods[i].name;
    }

    // Registration is safe in the builder: it starts no window system.
    EXPECT_FALSE(IsWindowSystemStarted());
}

} // namespace
} // namespace vorn::test
