// The test program's module record, with the framework's groups registered into it.
#pragma once
#include "vnReflection/CoreModule.h"
#include "vnReflection/XTarget.h"

namespace vorn::test {

inline const dsTargetConfig kTestConfigs[] = {{"Release 0.0", 0x180807D8u, nullptr}};
inline const dsTarget kTestTarget = {"Vorn/Test/vnReflection", 0, nullptr, 1, kTestConfigs};

inline XTarget& TestModule()
{
    XTarget& m = CreateProgramModule(kTestTarget);
    RegisterCoreModuleReflection(m);
    RegisterGeometryReflection(m);
    RegisterAmbientResourceReflection(m);
    return m;
}

} // namespace vorn::test
