// The interfaces the core module reflects beside vorn::IObject and vorn::INsNode:
// vorn::IBiDirIterator, vorn::IKeyType, vorn::IXMap, vorn::IXSet and
// vorn::IVectorFieldNotifications. Each derives from IObject and adds no operation of
// its own, so its function table is IObject's seven operations; a class offers one by
// answering its record in QueryInterface with the table made here.
#pragma once
#include "vnReflection/IObject.h"

namespace vorn {

struct IBiDirIteratorTable {
    IObjectTable m_object;
};
struct IKeyTypeTable {
    IObjectTable m_object;
};
struct IXMapTable {
    IObjectTable m_object;
};
struct IXSetTable {
    IObjectTable m_object;
};
struct IVectorFieldNotificationsTable {
    IObjectTable m_object;
};

// The table of interface TTable (one of the above) for class C, from C's IObject members.
template <class TTable, class C>
inline constexpr TTable kObjectOnlyTableOf = TTable{MakeIObjectTable<C>()};

// The records, as the core module registers them.
const ReflectedInterface& GetIBiDirIteratorInterfaceRecord();
const ReflectedInterface& GetIKeyTypeInterfaceRecord();
const ReflectedInterface& GetIXMapInterfaceRecord();
const ReflectedInterface& GetIXSetInterfaceRecord();
const ReflectedInterface& GetIVectorFieldNotificationsInterfaceRecord();

} // namespace vorn
