// The GUI value types' type operations and registration, the device-context holder,
// and the message names of the diagnostics.
#include "Tilvex/WindowLayer/DeviceContextHolder.h"
#include "Tilvex/WindowLayer/GuiTypes.h"
#include "Tilvex/WindowLayer/MessageNames.h"
#include "vnReflection/Registry.h"
#include "vnUtils/Archive.h"
#include "vnUtils/Streams.h"
#include "vnUtils/TextWriter.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vorn {
namespace {

const ReflectedClass* ClassNamed(XTarget& module, const char* name)
{
    for (int32_t i = 0; i < module.GetNumRegistered(NST_Class); ++i) {
        auto* rc = static_cast<const ReflectedClass*>(module.GetRegistered(NST_Class, i));
        if (std::string(rc->GetName()) == name) return rc;
    }
    return nullptr;
}

class GuiTypes : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static const dsTarget kTarget = {"TilvexWindowLayerTest/Gui", 0, nullptr, 0, nullptr};
        s_module = &CreateProgramModule(kTarget);
        RegisterGuiModuleReflection(*s_module);
        RegisterGuiModuleReflection(*s_module); // once only
    }
    static XTarget* s_module;
};
XTarget* GuiTypes::s_module = nullptr;

TEST_F(GuiTypes, AreRegisteredOnceInTableOrder)
{
    const ReflectedItemTable items = GetGuiModuleItems();
    ASSERT_EQ(items.m_count, 12);
    std::vector<std::string> classes;
    for (int32_t i = 0; i < s_module->GetNumRegistered(NST_Class); ++i)
        classes.push_back(static_cast<const ReflectedClass*>(s_module->GetRegistered(NST_Class, i))->GetName());
    const std::vector<std::string> gui = {"vorn::MButton", "vorn::WordWrapLayout", "vorn::GridWithFixedRowHeight",
                                          "vorn::IrregularGrid", "vorn::SliderParams"};
    ASSERT_GE(classes.size(), gui.size());
    EXPECT_EQ(std::vector<std::string>(classes.end() - 5, classes.end()), gui);
    int32_t interfaces = 0;
    for (int32_t i = 0; i < s_module->GetNumRegistered(NST_Interface); ++i) {
        const std::string n = static_cast<const ReflectedInterface*>(s_module->GetRegistered(NST_Interface, i))->GetName();
        if (n == "vorn::IBorderCtrlModel" || n.find("Provider") != std::string::npos) ++interfaces;
    }
    EXPECT_EQ(interfaces, 5);
}

TEST_F(GuiTypes, RegisteringThemRegistersTheModulesTheyNeedFirst)
{
    // The core module, the utility-and-window module (with vorn::coord_t, the margins'
    // type) and the image module.
    EXPECT_NE(FindReflectedItem(SubString8("vorn::IObject"), GetReflectedItemRegistry(NST_Interface)), nullptr);
    EXPECT_NE(FindReflectedItem(SubString8("vorn::OpenGLWndForView"), GetReflectedItemRegistry(NST_Class)), nullptr);
    EXPECT_NE(FindReflectedItem(SubString8("vorn::coord_t"), GetReflectedItemRegistry(NST_Typedef)), nullptr);
    EXPECT_NE(FindReflectedItem(SubString8("vorn::ResDIB"), GetReflectedItemRegistry(NST_Class)), nullptr);
}

TEST_F(GuiTypes, MButtonPrintsStoresAndOrders)
{
    const ReflectedClass* rc = ClassNamed(*s_module, "vorn::MButton");
    ASSERT_TRUE(rc);
    const TypeOps& ops = rc->m_typeOps;
    MButton b[4];
    ops.m_constructN(b, sizeof(MButton), 4);
    EXPECT_FALSE(b[0].Captured || b[0].MouseOver);
    b[0].Captured = true;

    StringTextWriter w, t, f;
    ops.m_print(w, &b[0]);
    t << true;
    f << false;
    xstring expect("MButton(");
    expect += t.TakeText();
    expect += ",";
    expect += f.TakeText();
    expect += ")";
    EXPECT_EQ(w.TakeText(), expect);

    // Stored as two bytes each.
    MButton in[2] = {{true, false}, {false, true}};
    VectorOutputStream s;
    {
        Archive ar(&s);
        ops.m_serialiseN(ar, in, sizeof(MButton), 2);
    }
    EXPECT_EQ(s.m_bytes, (std::vector<uint8_t>{1, 0, 0, 1}));
    MButton out[2];
    const InputArchive rest = ops.m_deserialiseN(InputArchive(s.m_bytes.data(), s.m_bytes.size()), out, sizeof(MButton), 2);
    EXPECT_TRUE(rest.AtEnd());
    EXPECT_TRUE(ops.m_equal(&out[0], &in[0]) && ops.m_equal(&out[1], &in[1]));

    // Ordered by Captured, then MouseOver.
    const MButton sorted[] = {{false, false}, {false, true}, {false, true}, {true, false}, {true, true}};
    const MButton key{false, true};
    EXPECT_TRUE(ops.m_less(&sorted[0], &sorted[1]));
    EXPECT_TRUE(ops.m_less(&sorted[2], &sorted[3]));
    EXPECT_FALSE(ops.m_less(&sorted[3], &sorted[2]));
    EXPECT_EQ(ops.m_lowerBound(sorted, sizeof(MButton), 5, &key), 1);
    EXPECT_EQ(ops.m_upperBound(sorted, sizeof(MButton), 5, &key), 3);
}

TEST_F(GuiTypes, SliderParamsAndLayoutsConstructAndCopyByValue)
{
    const ReflectedClass* sp = ClassNamed(*s_module, "vorn::SliderParams");
    ASSERT_TRUE(sp);
    SliderParams p[3];
    for (auto& x : p) x.m_values[0] = x.m_values[1] = x.m_values[2] = x.m_values[3] = 0;
    sp->m_typeOps.m_destructN(p, sizeof(SliderParams), 3);
    sp->m_typeOps.m_constructN(p, sizeof(SliderParams), 3);
    for (const auto& x : p) EXPECT_EQ(std::vector<int32_t>(x.m_values, x.m_values + 4), (std::vector<int32_t>{5, 7, 5, 4}));

    const ReflectedClass* wl = ClassNamed(*s_module, "vorn::WordWrapLayout");
    ASSERT_TRUE(wl);
    alignas(WordWrapLayout) unsigned char raw[2][sizeof(WordWrapLayout)];
    wl->m_typeOps.m_constructN(raw, sizeof(WordWrapLayout), 2);
    auto* a = reinterpret_cast<WordWrapLayout*>(raw[0]);
    auto* b = reinterpret_cast<WordWrapLayout*>(raw[1]);
    EXPECT_EQ(a->m_graphics, nullptr);
    EXPECT_EQ(a->m_firstLine, -1);
    EXPECT_EQ(a->m_lineHeight, -1.0);
    a->m_runs.push_back({1, 2, 3});
    a->m_width = 9;
    wl->m_typeOps.m_assignN(b, sizeof(WordWrapLayout), a, sizeof(WordWrapLayout), 1);
    a->m_runs[0].m_width = 99;
    ASSERT_EQ(b->m_runs.size(), 1);
    EXPECT_EQ(b->m_runs[0].m_width, 3); // element-wise, not shared
    EXPECT_EQ(b->m_width, 9);
    EXPECT_EQ(b->m_graphics, nullptr);
    wl->m_typeOps.m_destructN(raw, sizeof(WordWrapLayout), 2);

    const ReflectedClass* ig = ClassNamed(*s_module, "vorn::IrregularGrid");
    ASSERT_TRUE(ig);
    IrregularGrid g1, g2;
    g1.m_rows.push_back(4);
    g1.m_columns.push_back(5);
    ig->m_typeOps.m_assignN(&g2, sizeof(IrregularGrid), &g1, sizeof(IrregularGrid), 1);
    g1.m_rows[0] = 0;
    EXPECT_EQ(g2.m_rows[0], 4);
    EXPECT_EQ(g2.m_columns[0], 5);
}

TEST(DeviceContextHolder, KeepsOneSelectionLevelPerAttachedContext)
{
    PlatformWindow* const dc = reinterpret_cast<PlatformWindow*>(0x2000);
    DeviceContextHolder h;
    h.Detach(); // nothing held: nothing happens
    EXPECT_EQ(h.GetDC(), nullptr);
    EXPECT_EQ(h.GetNumSelectionLevels(), 0);
    h.Attach(dc);
    EXPECT_EQ(h.GetDC(), dc);
    EXPECT_FALSE(h.ReleasesOnDetach() || h.DeletesOnDetach());
    EXPECT_EQ(h.GetNumSelectionLevels(), 1);
    h.Attach(dc); // the first is detached first
    EXPECT_EQ(h.GetNumSelectionLevels(), 1);
    h.Detach();
    EXPECT_EQ(h.GetDC(), nullptr);
    EXPECT_EQ(h.GetNumSelectionLevels(), 0);
    h.Attach(nullptr);
    EXPECT_EQ(h.GetNumSelectionLevels(), 0);
}

TEST(MessageNames, TableLookupAndMessageLine)
{
    int32_t n = 0;
    const MessageName* t = GetMessageNameTable(&n);
    EXPECT_EQ(n, 185);
    EXPECT_STREQ(t[0].m_name, "WM_NULL");
    EXPECT_STREQ(t[n - 1].m_name, "WM_PENWINLAST");
    EXPECT_EQ(t[n - 1].m_message, 0x038Fu);
    for (int32_t i = 1; i < n; ++i) EXPECT_LE(t[i - 1].m_message, t[i].m_message) << t[i].m_name;
    EXPECT_EQ(GetMessageName(WM_PAINT), "WM_PAINT");
    EXPECT_EQ(GetMessageName(0x010F), "WM_IME_COMPOSITION"); // shares its number with WM_IME_KEYLAST
    EXPECT_EQ(GetMessageName(WM_CAPTURECHANGED), "WM_CAPTURECHANGED");
    EXPECT_EQ(GetMessageName(WM_USER + 0x1F), "WM_USER + 0000001f");
    EXPECT_EQ(GetMessageName(WM_MOUSEWHEEL), "Unknown : 0000020a");
    EXPECT_EQ(FormatMessageLine(reinterpret_cast<HWND>(0xABCDEF), WM_SIZE, 0x1F, -1),
              "hWnd= 00ABCDEF  msg= WM_SIZE  w= 0000001f  l= ffffffffffffffff\n");
}

} // namespace
} // namespace vorn
