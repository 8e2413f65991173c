// The viewer's start-up registers every reflected type the program links, the GUI value
// types and the palette calculator among them, in its fixed order. Each case runs in a
// fresh process of its own (other tests of this binary register parts of the same
// groups first), so that only the viewer's own start-up has registered anything.
#include "Tilvex/Viewer/ViewerStartUp.h"
#include "ViewerTestSupport.h"
#include "vnReflection/Registry.h"
#include "vnReflection/XTarget.h"
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorn::test {
namespace {

// The position of a class in the program module's list of registered classes, or -1.
int32_t ClassIndex(const char* name)
{
    const XTarget* module = GetProgramModule();
    if (module == nullptr) return -1;
    for (int32_t i = 0; i < module->GetNumRegistered(NST_Class); ++i) {
        auto* rc = static_cast<const ReflectedClass*>(module->GetRegistered(NST_Class, i));
        if (std::string(rc->GetName()) == name) return i;
    }
    return -1;
}

// Runs the viewer's start-up as the program does (an empty command line then ends the
// run), reports on standard error what is missing or out of order, and ends the process
// with 0 when nothing is.
[[noreturn]] void RunStartUpAndCheck()
{
    StartTestWindowSystem();
    const int32_t status = RunViewer(xstring(""));
    int failures = status == -1 ? 0 : 1;
    struct Item {
        ENSType kind;
        const char* name;
    };
    const Item items[] = {
        {NST_Class, "vorn::MButton"},        {NST_Class, "vorn::SliderParams"},
        {NST_Class, "vorn::WordWrapLayout"}, {NST_Enum, "vorn::EBorderCtrlStyle"},
        {NST_Class, "PaletteChannelCalculator"}, {NST_Interface, "vorn::IPenProvider"},
        {NST_Class, "vorn::Tilvex"},         {NST_Class, "vorn::OpenGLWndForView"},
    };
    for (const Item& item : items) {
        if (FindReflectedItem(SubString8(item.name), GetReflectedItemRegistry(item.kind)) == nullptr) {
            std::fprintf(stderr, "not registered: %s\n", item.name);
            ++failures;
        }
    }
    // Core and persistence, geometry, utility and window, GUI, tile model, palette.
    const char* order[] = {"vorn::PersistStoreSettings", "vorn::Point2d", "vorn::MouseEvent", "vorn::MButton",
                           "vorn::Tilvex", "PaletteChannelCalculator"};
    for (size_t i = 0; i + 1 < std::size(order); ++i) {
        const int32_t a = ClassIndex(order[i]), b = ClassIndex(order[i + 1]);
        if (a < 0 || b < 0 || a >= b) {
            std::fprintf(stderr, "out of order: %s (%d) before %s (%d)\n", order[i], a, order[i + 1], b);
            ++failures;
        }
    }
    std::fflush(stderr);
    std::_Exit(failures == 0 ? 0 : 1);
}

TEST(ViewerRegistration, StartUpRegistersTheGuiTypesAndThePaletteCalculatorInOrder)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunStartUpAndCheck(), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace vorn::test
