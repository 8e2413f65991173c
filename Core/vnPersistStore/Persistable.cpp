#include "vnPersistStore/Persistable.h"

namespace vorn {

namespace {
constexpr const char* kNames[] = {"vorn::IObject"};
constexpr const char* kIObjectBase[] = {"vorn::IObject"};
constexpr ReflectedInterfaceMethod kPersistableMethods[] = {
    {"GetPersistObjState", nullptr, nullptr, 0, nullptr, false},
    {"VisitPrefs", nullptr, nullptr, 0, nullptr, false},
    {"RepresentsSubTree", nullptr, nullptr, 0, nullptr, true},
    {"Serialise", nullptr, nullptr, 0, nullptr, true},
    {"Deserialise", nullptr, nullptr, 0, nullptr, false},
    {"OnCreate", nullptr, nullptr, 0, nullptr, false},
};
} // namespace

const ReflectedInterface kIPersistableInterface{"vorn::IPersistable", nullptr, kIObjectBase, 1, kNumIObjectMethods,
                                                kPersistableMethods, 6, nullptr, 0, kNames};
const ReflectedInterface kIObjectInterfaceName{"vorn::IObject", nullptr, nullptr, 0, 0, nullptr, 0, nullptr, 0, kNames};

} // namespace vorn
