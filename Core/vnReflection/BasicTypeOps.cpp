#include "vnReflection/BasicTypeOps.h"
#include "vnReflection/ExitManaged.h"
#include "vnReflection/GeneratedTypeOps.h"
#include "vnUtils/Archive.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Threads.h"
#include <atomic>
#include <cstring>
#include <map>
#include <new>

namespace vorn {

namespace {

// ---- array helpers ---------------------------------------------------------------

inline char* At(void* first, ssize_t stride, ssize_t i) { return static_cast<char*>(first) + stride * i; }
inline const char* At(const void* first, ssize_t stride, ssize_t i) { return static_cast<const char*>(first) + stride * i; }

void NoVisit(void*, void*, ssize_t, ssize_t) {}

// Binary searches by a strict order.
template <bool (*Less)(const void*, const void*)>
ssize_t LowerBound(const void* first, ssize_t stride, ssize_t count, const void* key)
{
    ssize_t lo = 0, hi = count;
    while (lo < hi) {
        const ssize_t mid = lo + (hi - lo) / 2;
        if (Less(At(first, stride, mid), key)) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}
template <bool (*Less)(const void*, const void*)>
ssize_t UpperBound(const void* first, ssize_t stride, ssize_t count, const void* key)
{
    ssize_t lo = 0, hi = count;
    while (lo < hi) {
        const ssize_t mid = lo + (hi - lo) / 2;
        if (Less(key, At(first, stride, mid))) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}

// ---- plain values of N bytes -------------------------------------------------------

// The generated plain-value operations and raw little-endian stored form: every table of
// 8-byte values shares one copy (CopyEightByteValuesN).
template <size_t N>
using RawOps = ByteStructOps<N>;

// A scalar compared as T (loaded unaligned), printed by Print.
template <class T, void (*Print)(TextWriter&, const void*), bool Serialisable = true>
struct ScalarOps {
    static T Load(const void* p)
    {
        T v;
        std::memcpy(&v, p, sizeof(T));
        return v;
    }
    static bool Equal(const void* a, const void* b) { return Load(a) == Load(b); }
    static bool Less(const void* a, const void* b) { return Load(a) < Load(b); }

    static constexpr TypeOps Table()
    {
        using Raw = RawOps<sizeof(T)>;
        TypeOps ops{};
        ops.m_size = int32_t(sizeof(T));
        ops.m_equal = &Equal;
        ops.m_less = &Less;
        ops.m_print = Print;
        ops.m_constructN = &Raw::ConstructN;
        ops.m_copyConstructN = &Raw::CopyConstructN;
        ops.m_assignN = Raw::AssignN;
        ops.m_destructN = &Raw::DestructN;
        if constexpr (Serialisable) {
            ops.m_serialiseN = &Raw::RawSerialiseN;
            ops.m_deserialiseN = &Raw::RawDeserialiseN;
        }
        ops.m_visit1 = &NoVisit;
        ops.m_visit2 = &NoVisit;
        ops.m_lowerBound = &LowerBound<&Less>;
        ops.m_upperBound = &UpperBound<&Less>;
        return ops;
    }
};

template <class T>
T LoadAs(const void* p)
{
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

void PrintBool(TextWriter& w, const void* v) { w << (*static_cast<const uint8_t*>(v) != 0); }
void PrintChar(TextWriter& w, const void* v) { w.Put(*static_cast<const char*>(v)); }
void PrintInt16(TextWriter& w, const void* v) { w << LoadAs<int16_t>(v); }
void PrintUInt16(TextWriter& w, const void* v) { w << LoadAs<uint16_t>(v); }
void PrintChar16(TextWriter& w, const void* v) { w << LoadAs<uint16_t>(v); }
void PrintInt32(TextWriter& w, const void* v) { w << LoadAs<int32_t>(v); }
void PrintUInt32(TextWriter& w, const void* v) { w << LoadAs<uint32_t>(v); }
void PrintInt64(TextWriter& w, const void* v) { w << static_cast<long long>(LoadAs<int64_t>(v)); }
void PrintUInt64(TextWriter& w, const void* v) { w << static_cast<unsigned long long>(LoadAs<uint64_t>(v)); }
void PrintFloat32(TextWriter& w, const void* v) { w << LoadAs<float>(v); }
void PrintFloat64(TextWriter& w, const void* v) { w << LoadAs<double>(v); }
void PrintPointer(TextWriter& w, const void* v) { w << LoadAs<const void*>(v); }

// ---- the special tables ------------------------------------------------------------

// PseudoFunctor: both words; ordered by the first word, then the second.
bool FunctorEqual(const void* a, const void* b)
{
    const PseudoFunctor x = LoadAs<PseudoFunctor>(a), y = LoadAs<PseudoFunctor>(b);
    return x.m_first == y.m_first && x.m_second == y.m_second;
}
bool FunctorLess(const void* a, const void* b)
{
    const PseudoFunctor x = LoadAs<PseudoFunctor>(a), y = LoadAs<PseudoFunctor>(b);
    return x.m_first != y.m_first ? x.m_first < y.m_first : x.m_second < y.m_second;
}
void FunctorPrint(TextWriter& w, const void* v)
{
    const PseudoFunctor f = LoadAs<PseudoFunctor>(v);
    w << "PseudoFunctor(" << reinterpret_cast<const void*>(f.m_first) << ','
      << reinterpret_cast<const void*>(f.m_second) << ')';
}

// Interface pointers: by the object pointer alone.
bool InterfaceEqual(const void* a, const void* b)
{
    return LoadAs<AnyInterface>(a).m_object == LoadAs<AnyInterface>(b).m_object;
}
bool InterfaceLess(const void* a, const void* b)
{
    return reinterpret_cast<uintptr_t>(LoadAs<AnyInterface>(a).m_object) <
           reinterpret_cast<uintptr_t>(LoadAs<AnyInterface>(b).m_object);
}
void InterfacePrint(TextWriter& w, const void* v) { w << static_cast<const void*>(LoadAs<AnyInterface>(v).m_object); }

template <size_t N, bool (*Equal)(const void*, const void*), bool (*Less)(const void*, const void*),
          void (*Print)(TextWriter&, const void*)>
constexpr TypeOps UnserialisedTable()
{
    using Raw = RawOps<N>;
    TypeOps ops{};
    ops.m_size = int32_t(N);
    ops.m_equal = Equal;
    ops.m_less = Less;
    ops.m_print = Print;
    ops.m_constructN = &Raw::ConstructN;
    ops.m_copyConstructN = &Raw::CopyConstructN;
    ops.m_assignN = Raw::AssignN;
    ops.m_destructN = &Raw::DestructN;
    ops.m_visit1 = &NoVisit;
    ops.m_visit2 = &NoVisit;
    ops.m_lowerBound = &LowerBound<Less>;
    ops.m_upperBound = &UpperBound<Less>;
    return ops;
}

// Strings: S is xstring or string16.
template <class S>
struct StringOps {
    static const S& Get(const void* p) { return *static_cast<const S*>(p); }
    static bool Equal(const void* a, const void* b) { return Get(a) == Get(b); }
    static bool Less(const void* a, const void* b)
    {
        const S& x = Get(a);
        const S& y = Get(b);
        if constexpr (sizeof(typename S::value_type) == 1)
            return CompareBytes(SubString8(x.data(), x.data() + x.size()), SubString8(y.data(), y.data() + y.size())) < 0;
        else
            return CompareUtf16(SubString16(x.data(), x.data() + x.size()), SubString16(y.data(), y.data() + y.size())) < 0;
    }
    static void Print(TextWriter& w, const void* v)
    {
        const S& s = Get(v);
        if constexpr (sizeof(typename S::value_type) == 1) {
            w.WriteString(s);
        } else {
            w << '[';
            for (int32_t i = 0; i < s.size(); ++i) {
                if (i) w << ',';
                w << uint32_t(uint16_t(s[i]));
            }
            w << ']';
        }
    }
    static void ConstructN(void* first, ssize_t stride, ssize_t count)
    {
        if (!first) return;
        for (ssize_t i = 0; i < count; ++i) new (At(first, stride, i)) S();
    }
    static void CopyConstructN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count)
    {
        if (!dst) return;
        for (ssize_t i = 0; i < count; ++i) new (At(dst, dstStride, i)) S(Get(At(src, srcStride, i)));
    }
    static void AssignN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i)
            *reinterpret_cast<S*>(At(dst, dstStride, i)) = Get(At(src, srcStride, i));
    }
    static void DestructN(void* first, ssize_t stride, ssize_t count)
    {
        if (!first) return;
        for (ssize_t i = 0; i < count; ++i) reinterpret_cast<S*>(At(first, stride, i))->~S();
    }
    static void SerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) {
            const S& s = Get(At(first, stride, i));
            ar.WriteCompressedUInt32(uint32_t(s.size()));
            ar.WriteBytes(s.data(), s.SizeInBytes());
        }
    }
    static InputArchive DeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count)
    {
        constexpr size_t unit = sizeof(typename S::value_type);
        for (ssize_t i = 0; i < count; ++i) {
            uint32_t n = 0;
            in = ReadCompressedUInt32FromBuffer(in, n);
            if (n > uint32_t(INT32_MAX) / unit) ThrowDeserialisationException("string longer than its block");
            CheckArchiveRoom(in, size_t(n) * unit);
            S& s = *reinterpret_cast<S*>(At(first, stride, i));
            s.resize(int32_t(n));
            if (n) std::memcpy(s.data(), in.m_ptr, size_t(n) * unit);
            in.m_ptr += size_t(n) * unit;
        }
        return in;
    }
    // The second visiting slot copies each element and lets the copy go.
    static void CopyAndDiscard(void*, void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) {
            const S copy(Get(At(first, stride, i)));
            (void)copy;
        }
    }

    static constexpr TypeOps Table()
    {
        TypeOps ops{};
        ops.m_size = int32_t(sizeof(S));
        ops.m_equal = &Equal;
        ops.m_less = &Less;
        ops.m_print = &Print;
        ops.m_constructN = &ConstructN;
        ops.m_copyConstructN = &CopyConstructN;
        ops.m_assignN = &AssignN;
        ops.m_destructN = &DestructN;
        ops.m_serialiseN = &SerialiseN;
        ops.m_deserialiseN = &DeserialiseN;
        ops.m_visit1 = &NoVisit;
        ops.m_visit2 = &CopyAndDiscard;
        ops.m_lowerBound = &LowerBound<&Less>;
        ops.m_upperBound = &UpperBound<&Less>;
        return ops;
    }
};

constexpr TypeOps kFixedTables[BTO_COUNT] = {
    ScalarOps<uint8_t, &PrintBool>::Table(),
    ScalarOps<int8_t, &PrintChar>::Table(),
    ScalarOps<int16_t, &PrintInt16>::Table(),
    ScalarOps<int32_t, &PrintInt32>::Table(),
    ScalarOps<int64_t, &PrintInt64>::Table(),
    ScalarOps<uint8_t, &PrintChar>::Table(),
    ScalarOps<uint16_t, &PrintUInt16>::Table(),
    ScalarOps<uint32_t, &PrintUInt32>::Table(),
    ScalarOps<uint64_t, &PrintUInt64>::Table(),
    ScalarOps<float, &PrintFloat32>::Table(),
    ScalarOps<double, &PrintFloat64>::Table(),
    ScalarOps<uint16_t, &PrintChar16>::Table(),
    StringOps<xstring>::Table(),
    StringOps<string16>::Table(),
    UnserialisedTable<sizeof(PseudoFunctor), &FunctorEqual, &FunctorLess, &FunctorPrint>(),
    ScalarOps<uintptr_t, &PrintPointer, false>::Table(),
    UnserialisedTable<sizeof(AnyInterface), &InterfaceEqual, &InterfaceLess, &InterfacePrint>(),
};

// ---- the registry ------------------------------------------------------------------

class TypeOpsRegistry {
public:
    bool Register(const ReflectionByteCodeValue& value, const TypeOps* ops)
    {
        CriticalSectionLock lock(m_lock);
        return m_map.try_emplace(value, ops).second;
    }
    const TypeOps* Find(const ReflectionByteCodeValue& value)
    {
        CriticalSectionLock lock(m_lock);
        const auto it = m_map.find(value);
        return it == m_map.end() ? nullptr : it->second;
    }

private:
    CriticalSection m_lock;
    std::map<ReflectionByteCodeValue, const TypeOps*> m_map;
};

using TheTypeOpsRegistry = ExitManaged<TypeOpsRegistry>;

std::atomic<const TypeOps*> g_prefTypeOps{nullptr};

} // namespace

const TypeOps& GetFixedTypeOps(EBasicTypeOps which) { return kFixedTables[which]; }

bool RegisterTypeOpsForByteCode(const ReflectionByteCodeValue& value, const TypeOps* ops)
{
    TypeOpsRegistry* r = TheTypeOpsRegistry::Get();
    return r ? r->Register(value, ops) : false;
}

const TypeOps* FindTypeOpsForByteCode(const ReflectionByteCodeValue& value)
{
    TypeOpsRegistry* r = TheTypeOpsRegistry::Get();
    return r ? r->Find(value) : nullptr;
}

void SetPrefTypeOps(const TypeOps* ops) { g_prefTypeOps.store(ops, std::memory_order_release); }
const TypeOps* GetPrefTypeOps() { return g_prefTypeOps.load(std::memory_order_acquire); }

const TypeOps* GetBasicTypeOps(const ReflectionByteCode& bc)
{
    if (bc.IsNull()) return nullptr;
    ReflectionByteCode u = bc.Clone();
    switch (u.AdvanceToUnderlyingType()) {
    case FT_BOOL: return &kFixedTables[BTO_BOOL];
    case FT_INT8:
    case FT_CHAR8: return &kFixedTables[BTO_INT8];
    case FT_INT16: return &kFixedTables[BTO_INT16];
    case FT_INT32:
    case FT_ENUM: return &kFixedTables[BTO_INT32];
    case FT_INT64: return &kFixedTables[BTO_INT64];
    case FT_UINT8: return &kFixedTables[BTO_UINT8];
    case FT_UINT16: return &kFixedTables[BTO_UINT16];
    case FT_UINT32: return &kFixedTables[BTO_UINT32];
    case FT_UINT64: return &kFixedTables[BTO_UINT64];
    case FT_FLOAT32: return &kFixedTables[BTO_FLOAT32];
    case FT_FLOAT64: return &kFixedTables[BTO_FLOAT64];
    case FT_CHAR16: return &kFixedTables[BTO_CHAR16];
    case FT_STRING8: return &kFixedTables[BTO_STRING8];
    case FT_STRING16: return &kFixedTables[BTO_STRING16];
    case FT_CLASS: {
        const ReflectedClass* rc = u.GetReflectedClass();
        return rc ? &rc->m_typeOps : nullptr;
    }
    case FT_VARIANT: {
        const ReflectedVariant* rv = u.GetReflectedVariant();
        return rv ? &rv->m_typeOps : nullptr;
    }
    case FT_FUNCTOR: return &kFixedTables[BTO_PSEUDO_FUNCTOR];
    case FT_FUNCTION_PTR:
    case FT_POINTER: return &kFixedTables[BTO_POINTER];
    case FT_INTERFACE_POINTER:
    case FT_OPEN_VARIANT: return &kFixedTables[BTO_INTERFACE_POINTER];
    case FT_PREF:
    case FT_CREF: return GetPrefTypeOps();
    case FT_TYPEDEF: return nullptr; // a typedef that is not registered
    default: {
        ReflectionByteCodeValue value;
        if (!value.Assign(u)) return nullptr;
        return FindTypeOpsForByteCode(value);
    }
    }
}

} // namespace vorn
