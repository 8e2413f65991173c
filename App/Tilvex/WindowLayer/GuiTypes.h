// GUI value types of the framework's window library that the viewer registers for
// reflection: border and button models, slider parameters, providers of pens, fonts
// and brushes, and three layout types. The viewer only registers them and runs their
// type operations; no code calls the interfaces. Drawing objects (GDI+ brushes, fonts,
// pens, graphics) are opaque on this platform.
#pragma once
#include "vnReflection/XTarget.h"
#include "vnUtils/XVector.h"
#include <cstdint>

namespace vorn {

enum EBorderCtrlStyle : int32_t { BCS_RAISED = 0, BCS_LOWERED = 1, BCS_FLAT = 2 };

enum EButtonEvent : int32_t { BeginPressed = 0, EndPressed = 1, AbortPressed = 2, MouseEnter = 3, MouseLeave = 4 };

// The mouse state of a button. Printed "MButton(" Captured "," MouseOver ")";
// stored as two bytes; ordered by Captured, then MouseOver.
struct MButton {
    bool Captured = false;
    bool MouseOver = false;
};

// Four parameters of a slider, 5, 7, 5, 4 by default.
struct SliderParams {
    int32_t m_values[4] = {5, 7, 5, 4};
};

// The layout of word-wrapped text: a graphics object (always empty here, so copies
// never share an owner), four lines of layout state and the laid-out runs.
struct WordWrapLayout {
    struct Run {
        int32_t m_start = 0;
        int32_t m_length = 0;
        int32_t m_width = 0;
    };
    void* m_graphics = nullptr;
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_firstLine = -1;
    int32_t m_lastLine = -1;
    xvector<Run> m_runs;
    double m_lineHeight = -1.0;
};

// A grid whose rows share one height: the positions of its columns.
struct GridWithFixedRowHeight {
    int32_t m_rowHeight = 0;
    xvector<int32_t> m_columns;
};

// A grid with rows and columns of their own sizes.
struct IrregularGrid {
    xvector<int32_t> m_rows;
    xvector<int32_t> m_columns;
};

// Registers the GUI types, once: first makes sure the core framework, the utility-and-
// window and the image modules are registered, then the types in their order; a type
// whose name is registered already is left alone.
void RegisterGuiModuleReflection(XTarget& module);
ReflectedItemTable GetGuiModuleItems();

// The palette calculator's record, which the viewer's module registers after the
// image module; no code creates or calls it.
ReflectedItemEntry PaletteChannelCalculatorEntry();

} // namespace vorn

// A palette calculator of the image library; registered, never used.
class PaletteChannelCalculator {
public:
    int32_t m_channels[8] = {};
};
