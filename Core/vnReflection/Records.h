// The reflection records: constant descriptions, in static data, of every reflected
// class, struct, interface, enum, variant, functor, typedef, global function and global
// variable, with their members. Records are immutable after start-up and live for the
// whole run. Types are reflection byte code (TypeByteCode.h) that indexes the string
// table of the record owning it; an array member is a pointer to count consecutive
// records (null when the count is 0). Accessors do not check indices.
#pragma once
#include "vnReflection/TypeByteCode.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/Streams.h"
#include "vnUtils/XString.h"
#include <cstdint>

namespace vorn {

class TextWriter;
class Archive;
struct InputArchive;
struct ReflectedClass;
struct ReflectedInterface;

// A pointer to reflection byte code.
using ByteCode = const uint8_t*;
// A string table: names indexed by byte code.
using StringTable = const char* const*;
// A schema release number.
using RSN = int32_t;
// The framework's character and plain-string names.
using xchar = char;
using ConstStringZ = const char*;

// An interface pointer: the object and the function table of one of its interfaces
// (every function of the table takes the object first).
struct AnyInterface {
    void* m_object;
    const void* m_table;
    bool IsNull() const { return m_object == nullptr; }
};
struct AnyConstInterface {
    const void* m_object;
    const void* m_table;
    bool IsNull() const { return m_object == nullptr; }
};

// A calendar date held in one 32-bit word.
struct Date {
    uint32_t m_value;
};

// Uniform entry points of reflected member and global functions. Each argument is
// passed by the address of its value (the referred object for a reference); a result is
// constructed at result (for a reference result, its address is stored there); result
// is unused for void.
using MethodInvoker = void (*)(void* object, void* result, void* const* args);
using FunctionInvoker = void (*)(void* result, void* const* args);

// The operations on values of one reflected type. A null slot is an operation that is
// not offered. Array operations walk count elements whose addresses advance by stride.
struct TypeOps {
    int32_t m_size; // element size in bytes
    bool (*m_equal)(const void* a, const void* b);
    bool (*m_less)(const void* a, const void* b);
    void (*m_print)(TextWriter& w, const void* value);
    void (*m_constructN)(void* first, ssize_t stride, ssize_t count);
    void (*m_copyConstructN)(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count);
    void (*m_assignN)(void* dst, ssize_t dstStride, const void* src, ssize_t srcStride, ssize_t count);
    void (*m_destructN)(void* first, ssize_t stride, ssize_t count);
    void (*m_serialiseN)(Archive& ar, const void* first, ssize_t stride, ssize_t count);
    // Returns the input position after the values.
    InputArchive (*m_deserialiseN)(InputArchive in, void* first, ssize_t stride, ssize_t count);
    void (*m_visit1)(void* context, void* first, ssize_t stride, ssize_t count);
    void (*m_visit2)(void* context, void* first, ssize_t stride, ssize_t count);
    // Binary searches over a sorted array: the first index not less than key / greater
    // than key (count when there is none).
    ssize_t (*m_lowerBound)(const void* first, ssize_t stride, ssize_t count, const void* key);
    ssize_t (*m_upperBound)(const void* first, ssize_t stride, ssize_t count, const void* key);
};

// ---- member records --------------------------------------------------------------

struct ReflectedArg {
    const char* m_name;
    ByteCode m_type;
    const char* GetName() const { return m_name; }
};

struct ReflectedAttribute {
    const char* m_name;
    ByteCode m_type;
    const char* GetName() const { return m_name; }
};

struct ReflectedReturnType {
    ByteCode m_type;
};

struct ReflectedField {
    const char* m_name;
    int32_t m_offset;
    ByteCode m_type;
    const char* GetName() const { return m_name; }
    int32_t GetOffset() const { return m_offset; }
};

struct ReflectedModelField {
    const char* m_name;
    int32_t m_offset;
    ByteCode m_type;
    RSN m_rsn1;         // first schema release
    RSN m_rsn2;         // last schema release, -1 while the field is present
    intptr_t m_extra;   // passed along with the field's byte code
    const char* GetName() const { return m_name; }
    int32_t GetOffset() const { return m_offset; }
    bool Present() const { return m_rsn2 == -1; }
    RSN GetRsn1() const { return m_rsn1; }
    RSN GetRsn2() const { return m_rsn2; }
};

struct ReflectedClassMethod {
    const char* m_name;
    ByteCode m_returnType; // null for void
    const ReflectedArg* m_args;
    int32_t m_numArgs;
    const void* m_reserved;
    bool m_isConst;
    MethodInvoker m_address;
    const char* GetName() const { return m_name; }
    bool IsConst() const { return m_isConst; }
    int32_t GetNumArgs() const { return m_numArgs; }
    const ReflectedArg* GetArg(int32_t i) const { return m_args + i; }
};

struct ReflectedInterfaceMethod {
    const char* m_name;
    ByteCode m_returnType;
    const ReflectedArg* m_args;
    int32_t m_numArgs;
    const void* m_reserved;
    bool m_isConst;
    const char* GetName() const { return m_name; }
    bool IsConst() const { return m_isConst; }
    int32_t GetNumArgs() const { return m_numArgs; }
    const ReflectedArg* GetArg(int32_t i) const { return m_args + i; }
};

struct ReflectedFunction {
    const char* m_name;
    ByteCode m_returnType;
    const ReflectedArg* m_args;
    int32_t m_numArgs;
    const void* m_reserved;
    const char* GetName() const { return m_name; }
    int32_t GetNumArgs() const { return m_numArgs; }
    const ReflectedArg* GetArg(int32_t i) const { return m_args + i; }
};

// ---- top-level records -----------------------------------------------------------

// Bit numbers of ReflectedClass::m_flags.
enum EReflectedClassBits : int32_t {
    RCF_CLASS = 0,
    RCF_MODEL = 1,
    RCF_REFERENCES_MODEL = 2,
    RCF_ADT = 3,
    RCF_ALLOW_PASS_BY_VALUE = 4,
    RCF_ALLOW_RETURN_BY_VALUE = 5,
};
constexpr int32_t RcfBit(EReflectedClassBits b) { return int32_t(1) << b; }

// Creates a heap instance of a class; only allocates (the caller registers it).
using ClassFactory = AnyInterface (*)();

// Classes and structs.
struct ReflectedClass {
    int32_t m_flags;
    const char* m_name;
    int32_t m_size;
    int32_t m_reserved1;
    const ReflectedField* m_fields;
    int32_t m_numFields;
    const ReflectedModelField* m_modelFields;
    int32_t m_numModelFields;
    const ReflectedClassMethod* m_methods;
    int32_t m_numMethods;
    StringTable m_stringTable;
    const char* const* m_interfaces; // indirect ones first, then direct ones
    int32_t m_numIndirectInterfaces;
    int32_t m_numDirectInterfaces;
    const void* m_reserved2;
    ClassFactory m_factory; // null when the class cannot be created by name
    TypeOps m_typeOps;

    int32_t GetFlags() const { return m_flags; }
    bool IsStruct() const { return (m_flags & RcfBit(RCF_CLASS)) != 0; }
    bool IsModel() const { return (m_flags & RcfBit(RCF_MODEL)) != 0; }
    bool ReferencesModel() const { return (m_flags & RcfBit(RCF_REFERENCES_MODEL)) != 0; }
    bool IsAdt() const { return (m_flags & RcfBit(RCF_ADT)) != 0; }
    const char* GetName() const { return m_name; }
    int32_t GetSize() const { return m_size; }
    int32_t GetNumFields() const { return m_numFields; }
    const ReflectedField* GetField(int32_t i) const { return m_fields + i; }
    int32_t GetNumModelFields() const { return m_numModelFields; }
    const ReflectedModelField* GetModelField(int32_t i) const { return m_modelFields + i; }
    int32_t GetNumMethods() const { return m_numMethods; }
    const ReflectedClassMethod* GetMethod(int32_t i) const { return m_methods + i; }
    int32_t GetNumIndirectInterfaces() const { return m_numIndirectInterfaces; }
    int32_t GetNumDirectInterfaces() const { return m_numDirectInterfaces; }
    int32_t GetNumInterfaces() const { return m_numIndirectInterfaces + m_numDirectInterfaces; }
    const char* GetInterfaceName(int32_t i) const { return m_interfaces[i]; }
    bool CanCreate() const { return m_factory != nullptr; }
    // Creates an instance and registers it with the calling thread's object space
    // (through the hook below); the space owns it from then on. A class without a
    // factory gives {null, null}. Throws ProgrammingErrorException when no hook is
    // installed or the thread has no current space (the new object is destroyed).
    AnyInterface Create() const;
};

// The record of a reflected class or struct of size bytes, written beside it; the parts
// not given are empty (no model fields, no interfaces: callers that have them set them).
constexpr ReflectedClass MakeClassRecord(const char* name, int32_t flags, int32_t size, const TypeOps& ops,
                                         StringTable names = nullptr, const ReflectedField* fields = nullptr,
                                         int32_t numFields = 0, const ReflectedClassMethod* methods = nullptr,
                                         int32_t numMethods = 0, ClassFactory factory = nullptr)
{
    ReflectedClass rc{};
    rc.m_flags = flags;
    rc.m_name = name;
    rc.m_size = size;
    rc.m_fields = fields;
    rc.m_numFields = numFields;
    rc.m_methods = methods;
    rc.m_numMethods = numMethods;
    rc.m_stringTable = names;
    rc.m_factory = factory;
    rc.m_typeOps = ops;
    return rc;
}

// The same for the class or struct T.
template <class T>
constexpr ReflectedClass MakeClassRecord(const char* name, int32_t flags, const TypeOps& ops, StringTable names = nullptr,
                                         const ReflectedField* fields = nullptr, int32_t numFields = 0,
                                         const ReflectedClassMethod* methods = nullptr, int32_t numMethods = 0,
                                         ClassFactory factory = nullptr)
{
    return MakeClassRecord(name, flags, int32_t(sizeof(T)), ops, names, fields, numFields, methods, numMethods, factory);
}

struct ReflectedInterface {
    const char* m_name;
    const void* m_reserved;
    const char* const* m_baseInterfaces;
    int32_t m_numBaseInterfaces;
    int32_t m_numBaseMethods; // methods inherited from the bases (7 below IObject)
    const ReflectedInterfaceMethod* m_methods; // own methods only
    int32_t m_numMethods;
    const ReflectedAttribute* m_attributes;
    int32_t m_numAttributes;
    StringTable m_stringTable;

    const char* GetName() const { return m_name; }
    int32_t GetNumBaseInterfaces() const { return m_numBaseInterfaces; }
    const char* GetBaseInterfaceName(int32_t i) const { return m_baseInterfaces[i]; }
    int32_t GetNumBaseMethods() const { return m_numBaseMethods; }
    int32_t GetNumMethods() const { return m_numMethods; }
    const ReflectedInterfaceMethod* GetMethod(int32_t i) const { return m_methods + i; }
    int32_t GetNumAttributes() const { return m_numAttributes; }
    const ReflectedAttribute* GetAttribute(int32_t i) const { return m_attributes + i; }
};

struct ReflectedEnum {
    const char* m_name;
    const void* m_reserved1;
    const void* m_reserved2;
    int32_t m_count;
    const char* const* m_names;
    const int32_t* m_values;  // null when every value equals its position
    const uint8_t* m_enables; // null when all are enabled

    const char* GetName() const { return m_name; }
    bool ValuesRedefined() const { return m_values != nullptr; }
    int32_t GetCount() const { return m_count; }
    int32_t GetValue(int32_t i) const { return m_values ? m_values[i] : i; }
    bool GetEnable(int32_t i) const { return m_enables ? m_enables[i] != 0 : true; }
    const char* GetString(int32_t i) const { return m_names[i]; }
};

struct ReflectedTypedef {
    const char* m_name;
    ByteCode m_type;
    StringTable m_stringTable;
    const char* GetName() const { return m_name; }
};

struct ReflectedVariant {
    const char* m_name;
    int32_t m_size;
    const void* m_reserved;
    const ReflectedField* m_fields;
    int32_t m_numFields;
    StringTable m_stringTable;
    TypeOps m_typeOps;

    const char* GetName() const { return m_name; }
    int32_t GetSize() const { return m_size; }
    int32_t GetNumFields() const { return m_numFields; }
    const ReflectedField* GetField(int32_t i) const { return m_fields + i; }
};

struct ReflectedFunctor {
    const char* m_name;
    ByteCode m_returnType;
    const ReflectedArg* m_args;
    int32_t m_numArgs;
    const void* m_reserved;
    StringTable m_stringTable;

    const char* GetName() const { return m_name; }
    int32_t GetNumArgs() const { return m_numArgs; }
    const ReflectedArg* GetArg(int32_t i) const { return m_args + i; }
};

struct ReflectedGlobalFunction {
    const char* m_name;
    ByteCode m_returnType; // null for void
    const ReflectedArg* m_args;
    int32_t m_numArgs;
    const void* m_reserved;
    StringTable m_stringTable;
    FunctionInvoker m_address;

    const char* GetName() const { return m_name; }
    int32_t GetNumArgs() const { return m_numArgs; }
    const ReflectedArg* GetArg(int32_t i) const { return m_args + i; }
};

struct ReflectedGlobalVariable {
    const char* m_name;
    void* m_address;
    ByteCode m_type;
    StringTable m_stringTable;

    const char* GetName() const { return m_name; }
    void* GetAddress() const { return m_address; }
};

// ---- object creation -------------------------------------------------------------

// Registers a newly created object with the calling thread's object space; returns
// false when the thread has no current space. Installed by the object-space module.
using CreateRegistrationHook = bool (*)(AnyInterface object);
// Installs the hook (null removes it) and returns the previous one.
CreateRegistrationHook SetCreateRegistrationHook(CreateRegistrationHook hook);
CreateRegistrationHook GetCreateRegistrationHook();

// Thrown when a class asked for by name is not registered.
class ReflectedClassNotFoundException : public IException {
public:
    explicit ReflectedClassNotFoundException(const xstring& name) : m_name(name) {}
    // "Reflected Class not found : " followed by the name.
    void Write(TextWriter& w) const override;
    const xstring& GetName() const { return m_name; }
private:
    xstring m_name;
};

} // namespace vorn
