// Type-operation tables built from a C++ type, for the records written beside each
// reflected class or struct:
//   StructTypeOps<T>(slots, ...)  the table of a plain struct of sizeof(T) bytes with
//                           exactly the slots listed (EStructOpsSlot bits) filled and the
//                           rest null: construct N stores zeros, copy-construct N and
//                           assign N copy the bytes (pointers inside are shared),
//                           destruct N does nothing; print, serialise N and deserialise
//                           N are given by the caller;
//   ValueTypeOps<T>(print)  construct N, copy-construct N, assign N and destruct N (and
//                           print when given) through T's own constructors, assignment
//                           and destructor: a value struct that owns storage;
//   AdtTypeOps<T>()         destruct N only: a class that lives on the heap;
//   ConstructibleAdtTypeOps<T>()  construct N and destruct N.
// Array operations skip a null first address (nothing is constructed, copied into or
// destroyed there); assign N is never given one. Elements advance by the stride given,
// which may exceed the size; the bytes between elements are not touched.
#pragma once
#include "vnReflection/Records.h"
#include "vnUtils/TextWriter.h"
#include "vnUtils/Archive.h"
#include <cstring>
#include <new>
#include <type_traits>

namespace vorn {

template <class T>
struct GeneratedOps {
    static char* At(void* first, ssize_t stride, ssize_t i) { return static_cast<char*>(first) + stride * i; }
    static const char* At(const void* first, ssize_t stride, ssize_t i) { return static_cast<const char*>(first) + stride * i; }

    static void ConstructN(void* first, ssize_t stride, ssize_t count)
    {
        if (!first) return;
        for (ssize_t i = 0; i < count; ++i) new (At(first, stride, i)) T();
    }
    static void CopyConstructN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count)
    {
        if (!dst) return;
        for (ssize_t i = 0; i < count; ++i)
            new (At(dst, dstStride, i)) T(*reinterpret_cast<const T*>(At(src, srcStride, i)));
    }
    static void AssignN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i)
            *reinterpret_cast<T*>(At(dst, dstStride, i)) = *reinterpret_cast<const T*>(At(src, srcStride, i));
    }
    static void DestructN(void* first, ssize_t stride, ssize_t count)
    {
        if constexpr (!std::is_trivially_destructible_v<T>) {
            if (!first) return;
            for (ssize_t i = 0; i < count; ++i) reinterpret_cast<T*>(At(first, stride, i))->~T();
        } else {
            (void)first, (void)stride, (void)count;
        }
    }
    // Prints through the writer's operator<< for T.
    static void Print(TextWriter& w, const void* value) { w << *static_cast<const T*>(value); }
};

template <class T>
constexpr TypeOps ValueTypeOps(void (*print)(TextWriter&, const void*) = nullptr)
{
    TypeOps ops{};
    ops.m_size = int32_t(sizeof(T));
    ops.m_print = print;
    ops.m_constructN = &GeneratedOps<T>::ConstructN;
    ops.m_copyConstructN = &GeneratedOps<T>::CopyConstructN;
    ops.m_assignN = &GeneratedOps<T>::AssignN;
    ops.m_destructN = &GeneratedOps<T>::DestructN;
    return ops;
}

template <class T>
constexpr TypeOps AdtTypeOps()
{
    TypeOps ops{};
    ops.m_size = int32_t(sizeof(T));
    ops.m_destructN = &GeneratedOps<T>::DestructN;
    return ops;
}

template <class T>
constexpr TypeOps ConstructibleAdtTypeOps()
{
    TypeOps ops = AdtTypeOps<T>();
    ops.m_constructN = &GeneratedOps<T>::ConstructN;
    return ops;
}

// ---- plain structs -----------------------------------------------------------------

enum EStructOpsSlot : uint32_t {
    SOS_CONSTRUCT = 1,       // construct N: zeros
    SOS_COPY = 2,            // copy-construct N and assign N: byte copies
    SOS_DESTRUCT = 4,        // destruct N: nothing
    SOS_PRINT = 8,           // print (given)
    SOS_SERIALISE = 16,      // serialise N and deserialise N (given)
    SOS_VALUE = SOS_CONSTRUCT | SOS_COPY | SOS_DESTRUCT,
};

// The copy shared by every table of 8-byte plain values (the 64-bit basic types, pointers
// and 8-byte structs such as OID and HPTime): copies count values from src to dst at the
// given strides; a null dst copies nothing. Returns the destination address after the
// last element (null for a null dst).
void* CopyEightByteValuesN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count);

// Construct, copy, assign and destruct N of plain values of S bytes; the basic types'
// tables and the generated struct tables share them.
template <size_t S>
struct ByteStructOps {
    static char* At(void* first, ssize_t stride, ssize_t i) { return static_cast<char*>(first) + stride * i; }
    static const char* At(const void* first, ssize_t stride, ssize_t i) { return static_cast<const char*>(first) + stride * i; }

    static void ConstructN(void* first, ssize_t stride, ssize_t count)
    {
        if (!first) return;
        for (ssize_t i = 0; i < count; ++i) std::memset(At(first, stride, i), 0, S);
    }
    static void CopyConstructN(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count)
    {
        if constexpr (S == 8) {
            CopyEightByteValuesN(dst, dstStride, src, srcStride, count);
        } else {
            if (!dst) return;
            for (ssize_t i = 0; i < count; ++i) std::memcpy(At(dst, dstStride, i), At(src, srcStride, i), S);
        }
    }
    // Assignment is the same copy (assign N is never given a null destination).
    static constexpr auto AssignN = &CopyConstructN;
    static void DestructN(void*, ssize_t, ssize_t) {}

    // The stored form of a value that is its own S bytes (little-endian raw words).
    static void RawSerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) ar.WriteBytes(At(first, stride, i), int32_t(S));
    }
    static InputArchive RawDeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) in = ReadBytesFromBuffer(in, At(first, stride, i), S);
        return in;
    }
};

template <class T>
constexpr TypeOps StructTypeOps(uint32_t slots, void (*print)(TextWriter&, const void*) = nullptr,
                                void (*serialiseN)(Archive&, const void*, ssize_t, ssize_t) = nullptr,
                                InputArchive (*deserialiseN)(InputArchive, void*, ssize_t, ssize_t) = nullptr)
{
    static_assert(std::is_trivially_copyable_v<T>, "byte-copied structs must be trivially copyable");
    using Ops = ByteStructOps<sizeof(T)>;
    TypeOps ops{};
    ops.m_size = int32_t(sizeof(T));
    if (slots & SOS_CONSTRUCT) ops.m_constructN = &Ops::ConstructN;
    if (slots & SOS_COPY) {
        ops.m_copyConstructN = &Ops::CopyConstructN;
        ops.m_assignN = Ops::AssignN;
    }
    if (slots & SOS_DESTRUCT) ops.m_destructN = &Ops::DestructN;
    if (slots & SOS_PRINT) ops.m_print = print;
    if (slots & SOS_SERIALISE) {
        ops.m_serialiseN = serialiseN ? serialiseN : &Ops::RawSerialiseN;
        ops.m_deserialiseN = deserialiseN ? deserialiseN : &Ops::RawDeserialiseN;
    }
    return ops;
}

} // namespace vorn
