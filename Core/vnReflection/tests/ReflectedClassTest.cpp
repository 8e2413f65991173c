#include "vnReflection/CoreInterfaces.h"
#include "vnReflection/CoreModule.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnReflection/IObject.h"
#include "vnReflection/Invoke.h"
#include "vnReflection/Registry.h"
#include "TestModule.h"
#include "vnUtils/AmbientResources.h"
#include "vnUtils/Geometry.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/ThreadPool.h"
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace vorn;

namespace {

std::string Text(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

// ---- object creation ---------------------------------------------------------------

int g_liveWidgets = 0;

struct Widget {
    ObjSysState sys{};
    int value = 42;
    Widget() { ++g_liveWidgets; }
    ~Widget() { --g_liveWidgets; }

    AnyInterface QueryInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    AnyInterface BindInterface(const ReflectedInterface&) { return AnyInterface{nullptr, nullptr}; }
    const ReflectedClass* GetReflectedClass() const;
    void VisitObjects(IObjectVisitor&) {}
    void OnGarbageCollect() {}
    void DestroyObject() { delete this; }
    ObjSysState& GetSysState() { return sys; }
};

constexpr ReflectedClass kWidgetClass = [] {
    ReflectedClass rc{};
    rc.m_flags = RcfBit(RCF_ADT);
    rc.m_name = "vnReflectionTest::Widget";
    rc.m_size = int32_t(sizeof(Widget));
    rc.m_factory = &NewObjectFactory<Widget>;
    rc.m_typeOps = AdtTypeOps<Widget>();
    return rc;
}();
const ReflectedClass* Widget::GetReflectedClass() const { return &kWidgetClass; }

constexpr ReflectedClass kNoFactoryClass = [] {
    ReflectedClass rc{};
    rc.m_name = "vnReflectionTest::NoFactory";
    return rc;
}();

// A stand-in object space: counts registrations and owns what it registered.
std::vector<AnyInterface> g_space;
bool g_threadHasSpace = true;
int g_hookCalls = 0;
bool TestHook(AnyInterface obj)
{
    ++g_hookCalls;
    if (!g_threadHasSpace) return false;
    static_cast<const IObjectTable*>(obj.m_table)->GetSysState(obj.m_object).m_flags = 0x40;
    g_space.push_back(obj);
    return true;
}
void EmptySpace()
{
    for (AnyInterface o : g_space) static_cast<const IObjectTable*>(o.m_table)->Destroy(o.m_object);
    g_space.clear();
}

struct HookGuard {
    CreateRegistrationHook old;
    explicit HookGuard(CreateRegistrationHook h) : old(SetCreateRegistrationHook(h)) {}
    ~HookGuard()
    {
        SetCreateRegistrationHook(old);
        EmptySpace();
        g_threadHasSpace = true;
        g_hookCalls = 0;
    }
};

TEST(ReflectedClassCreate, RegistersTheNewObjectExactlyOnce)
{
    HookGuard guard(&TestHook);
    EXPECT_TRUE(kWidgetClass.CanCreate());
    const AnyInterface obj = kWidgetClass.Create();
    ASSERT_FALSE(obj.IsNull());
    EXPECT_EQ(obj.m_table, &kIObjectTableOf<Widget>);
    EXPECT_EQ(g_hookCalls, 1);
    ASSERT_EQ(g_space.size(), 1u);
    EXPECT_EQ(g_space[0].m_object, obj.m_object);
    const IObjectTable& t = *static_cast<const IObjectTable*>(obj.m_table);
    EXPECT_EQ(t.GetReflectedClass(obj.m_object), &kWidgetClass);
    EXPECT_EQ(t.GetSysState(obj.m_object).m_flags, 0x40);
    EXPECT_EQ(static_cast<Widget*>(obj.m_object)->value, 42);
    // The factory alone only allocates.
    const AnyInterface raw = kWidgetClass.m_factory();
    EXPECT_EQ(g_hookCalls, 1);
    static_cast<const IObjectTable*>(raw.m_table)->Destroy(raw.m_object);
}

TEST(ReflectedClassCreate, WithoutAFactoryGivesANullPair)
{
    HookGuard guard(nullptr);
    EXPECT_FALSE(kNoFactoryClass.CanCreate());
    const AnyInterface obj = kNoFactoryClass.Create();
    EXPECT_EQ(obj.m_object, nullptr);
    EXPECT_EQ(obj.m_table, nullptr);
}

TEST(ReflectedClassCreate, WithoutAHookOrASpaceThrows)
{
    const int live = g_liveWidgets;
    {
        HookGuard guard(nullptr);
        EXPECT_THROW(kWidgetClass.Create(), ProgrammingErrorException);
        EXPECT_EQ(g_liveWidgets, live);
    }
    {
        HookGuard guard(&TestHook);
        g_threadHasSpace = false;
        EXPECT_THROW(kWidgetClass.Create(), ProgrammingErrorException);
        EXPECT_EQ(g_hookCalls, 1);
        EXPECT_EQ(g_liveWidgets, live); // the unregistered object was destroyed
        EXPECT_TRUE(g_space.empty());
    }
}

// ---- lookups by name ----------------------------------------------------------------

// ---- the IObject members every class shares ----------------------------------------

int g_liveGadgets = 0;
int g_gadgetCollects = 0;

// Takes every default of the mixin.
struct Gadget : IObjectBaseMixin<Gadget> {
    Gadget() { ++g_liveGadgets; }
    ~Gadget() { --g_liveGadgets; }
};
// Declares its own OnGarbageCollect and class record.
struct CountingGadget : IObjectBaseMixin<CountingGadget> {
    void OnGarbageCollect() { ++g_gadgetCollects; }
    const ReflectedClass* GetReflectedClass() const { return &kWidgetClass; }
};

TEST(IObjectBaseMixin, DefaultsAndTheMembersAClassDeclaresItself)
{
    auto* g = new Gadget();
    const AnyInterface obj = g->AsObject();
    EXPECT_EQ(obj.m_table, &kIObjectTableOf<Gadget>);
    const IObjectTable& t = *static_cast<const IObjectTable*>(obj.m_table);
    // IObject is answered by record and by name; nothing else is.
    const ReflectedInterface sameName{"vorn::IObject", nullptr, nullptr, 0, 0, nullptr, 0, nullptr, 0, nullptr};
    const ReflectedInterface other{"vorn::IOther", nullptr, nullptr, 0, 0, nullptr, 0, nullptr, 0, nullptr};
    for (const ReflectedInterface* ri : {&GetIObjectInterfaceRecord(), &sameName}) {
        const AnyInterface q = t.QueryInterface(g, *ri);
        EXPECT_EQ(q.m_object, g);
        EXPECT_EQ(q.m_table, obj.m_table);
        const AnyInterface b = t.BindInterface(g, *ri);
        EXPECT_EQ(b.m_object, g);
        EXPECT_EQ(b.m_table, obj.m_table);
    }
    EXPECT_TRUE(t.QueryInterface(g, other).IsNull());
    EXPECT_TRUE(t.BindInterface(g, other).IsNull());
    EXPECT_EQ(t.GetReflectedClass(g), nullptr);
    EXPECT_EQ(&t.GetSysState(g), &g->m_sys);
    t.OnGarbageCollect(g);
    EXPECT_EQ(g_liveGadgets, 1);
    t.Destroy(g);
    EXPECT_EQ(g_liveGadgets, 0);

    CountingGadget c;
    const IObjectTable& ct = kIObjectTableOf<CountingGadget>;
    ct.OnGarbageCollect(&c);
    EXPECT_EQ(g_gadgetCollects, 1);
    EXPECT_EQ(ct.GetReflectedClass(&c), &kWidgetClass);
}

// A record built by MakeClassRecord has what it was given and nothing else.
TEST(IObjectBaseMixin, MakeClassRecordFillsWhatItIsGiven)
{
    constexpr ReflectedClass rc = MakeClassRecord<Gadget>("vnReflectionTest::Gadget", RcfBit(RCF_ADT), AdtTypeOps<Gadget>(),
                                                          nullptr, nullptr, 0, nullptr, 0, &NewObjectFactory<Gadget>);
    EXPECT_EQ(rc.GetFlags(), RcfBit(RCF_ADT));
    EXPECT_STREQ(rc.GetName(), "vnReflectionTest::Gadget");
    EXPECT_EQ(rc.GetSize(), int32_t(sizeof(Gadget)));
    EXPECT_EQ(rc.GetNumFields(), 0);
    EXPECT_EQ(rc.GetNumModelFields(), 0);
    EXPECT_EQ(rc.GetNumMethods(), 0);
    EXPECT_EQ(rc.GetNumInterfaces(), 0);
    EXPECT_TRUE(rc.CanCreate());
    EXPECT_NE(rc.m_typeOps.m_destructN, nullptr);
}

TEST(ReflectedClassNotFound, ExactText)
{
    EXPECT_EQ(Text(ReflectedClassNotFoundException("vorn::Nowhere").Describe()), "Reflected Class not found : vorn::Nowhere");
    EXPECT_EQ(Text(ReflectedClassNotFoundException("").Describe()), "Reflected Class not found : ");
}

TEST(ReflectedClassNotFound, FindOrThrowCarriesTheName)
{
    test::TestModule();
    EXPECT_STREQ(FindReflectedClassOrThrow("vorn::XTarget")->GetName(), "vorn::XTarget");
    EXPECT_EQ(FindReflectedClass("vorn::NoSuchClass"), nullptr);
    try {
        FindReflectedClassOrThrow("vorn::NoSuchClass");
        FAIL() << "no exception";
    } catch (const ReflectedClassNotFoundException& e) {
        EXPECT_EQ(Text(e.GetName()), "vorn::NoSuchClass");
        EXPECT_EQ(Text(e.Describe()), "Reflected Class not found : vorn::NoSuchClass");
    }
    // An interface of that name is not a class.
    EXPECT_THROW(FindReflectedClassOrThrow("vorn::IObject"), ReflectedClassNotFoundException);
}

// ---- record accessors ----------------------------------------------------------------

TEST(ReflectedRecords, XTargetClassRecord)
{
    test::TestModule();
    const ReflectedClass* rc = FindReflectedClass("vorn::XTarget");
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(rc->GetFlags(), 8);
    EXPECT_TRUE(rc->IsAdt());
    EXPECT_FALSE(rc->IsStruct());
    EXPECT_EQ(rc->GetSize(), int32_t(sizeof(XTarget)));
    EXPECT_EQ(rc->GetNumFields(), 0);
    EXPECT_EQ(rc->GetNumMethods(), 19);
    EXPECT_STREQ(rc->GetMethod(0)->GetName(), "Unregister");
    EXPECT_STREQ(rc->GetMethod(1)->GetName(), "GetdsTarget");
    EXPECT_STREQ(rc->GetMethod(2)->GetName(), "GetTin");
    EXPECT_STREQ(rc->GetMethod(3)->GetName(), "RegisterInterface");
    EXPECT_STREQ(rc->GetMethod(6)->GetName(), "GetClassRegistry");
    EXPECT_STREQ(rc->GetMethod(18)->GetName(), "GetGlobalVariableRegistry");
    EXPECT_TRUE(rc->GetMethod(2)->IsConst());
    EXPECT_FALSE(rc->CanCreate());
    const TypeOps& ops = rc->m_typeOps;
    EXPECT_EQ(ops.m_size, int32_t(sizeof(XTarget)));
    EXPECT_NE(ops.m_destructN, nullptr);
    EXPECT_EQ(ops.m_constructN, nullptr);
    EXPECT_EQ(ops.m_copyConstructN, nullptr);
    EXPECT_EQ(ops.m_assignN, nullptr);
    EXPECT_EQ(ops.m_print, nullptr);
    EXPECT_EQ(ops.m_equal, nullptr);
    EXPECT_EQ(ops.m_serialiseN, nullptr);
    EXPECT_EQ(ops.m_lowerBound, nullptr);

    // The methods can be called through their invokers.
    XTarget& module = test::TestModule();
    TIN tin = -1;
    rc->GetMethod(2)->m_address(&module, &tin, nullptr);
    EXPECT_EQ(tin, module.GetTin());
    const dsTarget* d = nullptr;
    rc->GetMethod(1)->m_address(&module, &d, nullptr);
    EXPECT_EQ(d, &module.GetdsTarget());
    xvector<const ReflectedClass*>* list = nullptr;
    rc->GetMethod(6)->m_address(&module, &list, nullptr);
    EXPECT_EQ(list, module.GetClassRegistry());
}

// The record kinds are reflected classes whose methods are their accessors.
const ReflectedClassMethod* MethodNamed(const ReflectedClass* rc, const char* name)
{
    for (int32_t i = 0; i < rc->GetNumMethods(); ++i)
        if (std::string(rc->GetMethod(i)->GetName()) == name) return rc->GetMethod(i);
    return nullptr;
}

TEST(ReflectedRecords, RecordAccessorsAreReflectedMethods)
{
    test::TestModule();
    const ReflectedClass* classRecord = FindReflectedClass("vorn::ReflectedClass");
    ASSERT_NE(classRecord, nullptr);
    EXPECT_EQ(classRecord->GetSize(), int32_t(sizeof(ReflectedClass)));
    EXPECT_EQ(classRecord->GetNumMethods(), 19);
    const ReflectedClass* xtarget = FindReflectedClass("vorn::XTarget");
    const ReflectedClassMethod* getSize = MethodNamed(classRecord, "GetSize");
    ASSERT_NE(getSize, nullptr);
    EXPECT_TRUE(getSize->IsConst());
    int32_t size = 0;
    getSize->m_address(const_cast<ReflectedClass*>(xtarget), &size, nullptr);
    EXPECT_EQ(size, int32_t(sizeof(XTarget)));
    const ReflectedClassMethod* getMethod = MethodNamed(classRecord, "GetMethod");
    ASSERT_NE(getMethod, nullptr);
    ASSERT_EQ(getMethod->GetNumArgs(), 1);
    EXPECT_STREQ(getMethod->GetArg(0)->GetName(), "i");
    int32_t index = 2;
    void* args[] = {&index};
    const ReflectedClassMethod* third = nullptr;
    getMethod->m_address(const_cast<ReflectedClass*>(xtarget), &third, args);
    EXPECT_STREQ(third->GetName(), "GetTin");

    const ReflectedClass* enumRecord = FindReflectedClass("vorn::ReflectedEnum");
    const ReflectedClassMethod* getValue = MethodNamed(enumRecord, "GetValue");
    ASSERT_NE(getValue, nullptr);
    int32_t value = 0;
    index = 71;
    getValue->m_address(const_cast<ReflectedEnum*>(FindReflectedEnum("vorn::ETypeByteCode")), &value, args);
    EXPECT_EQ(value, 229);
    EXPECT_NE(MethodNamed(FindReflectedClass("vorn::ReflectedModelField"), "Present"), nullptr);
    EXPECT_NE(MethodNamed(FindReflectedClass("vorn::ReflectedGlobalVariable"), "GetAddress"), nullptr);
}

TEST(ReflectedRecords, EnumsWithAndWithoutValueArrays)
{
    test::TestModule();
    const ReflectedEnum* bits = FindReflectedEnum("vorn::EReflectedClassBits");
    ASSERT_NE(bits, nullptr);
    EXPECT_FALSE(bits->ValuesRedefined());
    ASSERT_EQ(bits->GetCount(), 6);
    for (int32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(bits->GetValue(i), i);
        EXPECT_TRUE(bits->GetEnable(i));
    }
    EXPECT_STREQ(bits->GetString(3), "RCF_ADT");

    const ReflectedEnum* codes = FindReflectedEnum("vorn::ETypeByteCode");
    ASSERT_NE(codes, nullptr);
    EXPECT_TRUE(codes->ValuesRedefined());
    ASSERT_EQ(codes->GetCount(), 72);
    EXPECT_STREQ(codes->GetString(18), "FT_CLASS");
    EXPECT_EQ(codes->GetValue(18), 32);
    EXPECT_STREQ(codes->GetString(71), "MDT_LIST_5");
    EXPECT_EQ(codes->GetValue(71), 229);

    const ReflectedEnum* q = FindReflectedEnum("vorn::EByteCodeQualifier");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->GetValue(4), 16);

    const uint8_t enables[] = {1, 0};
    const char* names[] = {"On", "Off"};
    const ReflectedEnum partial{"x", nullptr, nullptr, 2, names, nullptr, enables};
    EXPECT_TRUE(partial.GetEnable(0));
    EXPECT_FALSE(partial.GetEnable(1));
}

TEST(ReflectedRecords, ModelFieldsAndInterfaces)
{
    const ReflectedModelField present{"m_a", 8, nullptr, 1, -1, 0};
    const ReflectedModelField retired{"m_b", 12, nullptr, 1, 3, 0};
    EXPECT_TRUE(present.Present());
    EXPECT_FALSE(retired.Present());
    EXPECT_EQ(retired.GetRsn2(), 3);

    const char* interfaces[] = {"vorn::IObject", "vorn::INsNode", "vorn::IOther"};
    ReflectedClass rc{};
    rc.m_interfaces = interfaces;
    rc.m_numIndirectInterfaces = 1;
    rc.m_numDirectInterfaces = 2;
    EXPECT_EQ(rc.GetNumInterfaces(), 3);
    EXPECT_STREQ(rc.GetInterfaceName(0), "vorn::IObject");
    rc.m_flags = RcfBit(RCF_CLASS) | RcfBit(RCF_MODEL) | RcfBit(RCF_REFERENCES_MODEL);
    EXPECT_TRUE(rc.IsStruct());
    EXPECT_TRUE(rc.IsModel());
    EXPECT_TRUE(rc.ReferencesModel());
    EXPECT_FALSE(rc.IsAdt());

    test::TestModule();
    const ReflectedInterface* iobject = FindReflectedInterface("vorn::IObject");
    ASSERT_EQ(iobject, &GetIObjectInterfaceRecord());
    EXPECT_EQ(iobject->GetNumBaseInterfaces(), 0);
    ASSERT_EQ(iobject->GetNumMethods(), 7);
    EXPECT_STREQ(iobject->GetMethod(0)->GetName(), "QueryInterface");
    EXPECT_STREQ(iobject->GetMethod(0)->GetArg(0)->GetName(), "ri");
    EXPECT_STREQ(iobject->GetMethod(6)->GetName(), "GetSysState");
    const ReflectedInterface* node = FindReflectedInterface("vorn::INsNode");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->GetNumBaseMethods(), 7);
    EXPECT_STREQ(node->GetBaseInterfaceName(0), "vorn::IObject");
    EXPECT_STREQ(node->GetMethod(3)->GetName(), "FindChildNsNode");
    EXPECT_EQ(node->GetMethod(3)->GetNumArgs(), 2);
}

// The interfaces that add nothing to IObject: IObject is their one base, and a class's
// table of one of them is its IObject table.
TEST(ReflectedRecords, ObjectOnlyInterfacesAndTheTaskFunctor)
{
    test::TestModule();
    const ReflectedInterface* records[] = {&GetIBiDirIteratorInterfaceRecord(), &GetIKeyTypeInterfaceRecord(),
                                           &GetIXMapInterfaceRecord(), &GetIXSetInterfaceRecord(),
                                           &GetIVectorFieldNotificationsInterfaceRecord()};
    for (const ReflectedInterface* ri : records) {
        SCOPED_TRACE(ri->GetName());
        EXPECT_EQ(FindReflectedInterface(ri->GetName()), ri);
        ASSERT_EQ(ri->GetNumBaseInterfaces(), 1);
        EXPECT_STREQ(ri->GetBaseInterfaceName(0), "vorn::IObject");
        EXPECT_EQ(ri->GetNumBaseMethods(), 7);
        EXPECT_EQ(ri->GetNumMethods(), 0);
    }
    Gadget g;
    const IXSetTable& set = kObjectOnlyTableOf<IXSetTable, Gadget>;
    EXPECT_EQ(&set.m_object.GetSysState(&g), &g.m_sys);
    EXPECT_EQ(set.m_object.GetReflectedClass(&g), nullptr);

    const ReflectedFunctor* functor = FindReflectedFunctor("vorn::ThreadTaskFunctor");
    ASSERT_NE(functor, nullptr);
    EXPECT_EQ(functor->GetNumArgs(), 0);
    EXPECT_EQ(functor->m_returnType, nullptr);
    int runs = 0;
    const ThreadTaskFunctor task{&runs, [](void* object) { ++*static_cast<int*>(object); }};
    EXPECT_FALSE(task.IsNull());
    task();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(ThreadTaskFunctor{}.IsNull());
}

// ---- the foundation's value types ----------------------------------------------------

TEST(CoreTypes, GeometryRecordsPrintAndCopy)
{
    test::TestModule();
    const ReflectedClass* rect = FindReflectedClass("vorn::Rect2i");
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->GetSize(), int32_t(sizeof(Rect2i)));
    ASSERT_EQ(rect->GetNumFields(), 4);
    EXPECT_STREQ(rect->GetField(2)->GetName(), "x2");
    EXPECT_EQ(rect->GetField(2)->GetOffset(), int32_t(offsetof(Rect2i, x2)));
    StringTextWriter w;
    const Rect2i r(0, 0, 256, 256);
    rect->m_typeOps.m_print(w, &r);
    const Point2i p(-1, 2);
    FindReflectedClass("vorn::Point2i")->m_typeOps.m_print(w, &p);
    EXPECT_EQ(Text(w.TakeText()), "(0,0,256,256)(-1,2)");

    // Arrays inside larger records: the stride leaves the bytes between elements alone.
    struct Slot {
        Point2i pt;
        int32_t tag;
    } slots[3] = {{{1, 1}, 7}, {{2, 2}, 8}, {{3, 3}, 9}};
    const TypeOps& ops = FindReflectedClass("vorn::Point2i")->m_typeOps;
    ops.m_constructN(&slots[0].pt, sizeof(Slot), 3);
    for (const Slot& s : slots) EXPECT_EQ(s.pt, Point2i(0, 0));
    EXPECT_EQ(slots[1].tag, 8);
    ops.m_constructN(nullptr, sizeof(Slot), 3); // nothing to do, no failure
    const Point2i src[3] = {{4, 5}, {6, 7}, {8, 9}};
    ops.m_assignN(&slots[0].pt, sizeof(Slot), src, sizeof(Point2i), 3);
    EXPECT_EQ(slots[2].pt, Point2i(8, 9));
    EXPECT_EQ(slots[2].tag, 9);

    EXPECT_EQ(FindReflectedTypedef("vorn::ARN")->m_type[0], FT_STRING8);
    EXPECT_NE(FindReflectedGlobalFunction("vorn::GetThreadAmbientResourceTable"), nullptr);
}

TEST(CoreTypes, AmbientResourceTableOpsAndFunctions)
{
    test::TestModule();
    const ReflectedClass* rc = FindReflectedClass("vorn::AmbientResourceTable");
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(rc->GetNumFields(), 0);
    alignas(AmbientResourceTable) unsigned char storage[2][sizeof(AmbientResourceTable)];
    rc->m_typeOps.m_constructN(storage, sizeof(AmbientResourceTable), 2);
    auto* tables = reinterpret_cast<AmbientResourceTable*>(storage);
    tables[0].Set("brush", 5);
    rc->m_typeOps.m_assignN(&tables[1], sizeof(AmbientResourceTable), &tables[0], sizeof(AmbientResourceTable), 1);
    ASSERT_NE(tables[1].Find("brush"), nullptr);
    EXPECT_EQ(*tables[1].Find("brush"), 5u);
    rc->m_typeOps.m_destructN(storage, sizeof(AmbientResourceTable), 2);

    // The global functions by name, on a thread that has no table yet.
    const ReflectedGlobalFunction* get = FindReflectedGlobalFunction("vorn::GetThreadAmbientResourceTable");
    const ReflectedGlobalFunction* set = FindReflectedGlobalFunction("vorn::SetThreadAmbientResourceTable");
    ASSERT_NE(get, nullptr);
    ASSERT_NE(set, nullptr);
    std::thread([&] {
        AmbientResourceTable* current = reinterpret_cast<AmbientResourceTable*>(1);
        get->m_address(&current, nullptr);
        EXPECT_EQ(current, nullptr);
        AmbientResourceTable mine;
        AmbientResourceTable* arg = &mine;
        void* args[] = {&arg};
        set->m_address(nullptr, args);
        EXPECT_EQ(GetThreadAmbientResourceTable(), &mine);
        SetThreadAmbientResourceTable(nullptr);
    }).join();
}

// ---- concurrent lookups ----------------------------------------------------------------

TEST(RegistryThreaded, ConcurrentLookupsAndRegistrations)
{
    test::TestModule();
    static const char* const kNames[] = {"vnReflectionTest::Threaded::A", "vnReflectionTest::Threaded::B",
                                         "vnReflectionTest::Threaded::C", "vnReflectionTest::Threaded::D"};
    static int records[4];
    std::atomic<int> wins{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (!FindReflectedClass("vorn::XTarget")) ADD_FAILURE();
                if (i == 100 * t) wins += RegisterReflectedItem(kNames[t % 4], GetReflectedVariantRegistry(), &records[t]);
                if (i % 97 == 0) wins += RegisterReflectedItem(kNames[0], GetReflectedVariantRegistry(), &records[t]);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    // Name A may have been taken by any thread, and only once; B, C and D each once.
    EXPECT_EQ(wins.load(), 4);
    for (const char* n : kNames) EXPECT_NE(FindReflectedItem(n, GetReflectedVariantRegistry()), nullptr);
}

} // namespace
