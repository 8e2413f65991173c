// The failures of the persistent store, each thrown by value as a vorn::IException
// that writes its own description.
#pragma once
#include "vnLss/LssSettings.h"
#include "vnPersistStore/Oid.h"
#include "vnReflection/ByteCodeValue.h"
#include "vnReflection/Records.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/XString.h"
#include <cstdint>

namespace vorn {

// An object's class does not offer an interface that its use needs.
class TypeMismatchException : public IException {
public:
    TypeMismatchException(const ReflectedClass* cls, const ReflectedInterface* wanted)
        : m_class(cls), m_interface(wanted) {}
    // "Type mismatch during deserialisation : class C doesn't support interface I"
    void Write(TextWriter& w) const override;
    const ReflectedClass* GetClass() const { return m_class; }
    const ReflectedInterface* GetInterface() const { return m_interface; }
private:
    const ReflectedClass* m_class;
    const ReflectedInterface* m_interface;
};

// An identifier names no (live) object of the store.
class DerefDanglingOidException : public IException {
public:
    explicit DerefDanglingOidException(OID oid) : m_oid(oid) {}
    // "Dereferenced dangling OID = hhhhhhhh.llllllll"
    void Write(TextWriter& w) const override;
    OID GetOid() const { return m_oid; }
private:
    OID m_oid;
};

// A space could not be opened, created or deleted in the given mode.
class OpenPSpaceException : public IException {
public:
    OpenPSpaceException(const xstring& name, EOpenMode mode) : m_name(name), m_mode(mode) {}
    // By mode: a lead text, the name in double quotes, a tail; nothing for other modes.
    void Write(TextWriter& w) const override;
    const xstring& GetName() const { return m_name; }
    EOpenMode GetMode() const { return m_mode; }
private:
    xstring m_name;
    EOpenMode m_mode;
};

// A stored class-id map names one class twice.
class RepeatedClassNameInCidMapException : public IException {
public:
    explicit RepeatedClassNameInCidMapException(const xstring& name) : m_name(name) {}
    void Write(TextWriter& w) const override; // "Repeated class name " + name
    const xstring& GetName() const { return m_name; }
private:
    xstring m_name;
};

class DerefNullPrefException : public IException {
public:
    void Write(TextWriter& w) const override; // "Attempt to dereference null pref<T>"
};

// No type operations are known for a type of the type-operations table.
class TypeOpsNotFoundException : public IException {
public:
    explicit TypeOpsNotFoundException(const ReflectionByteCodeValue& type) : m_type(type) {}
    void Write(TextWriter& w) const override; // "TypeOps not found for " + the type
    const ReflectionByteCodeValue& GetType() const { return m_type; }
private:
    ReflectionByteCodeValue m_type;
};

// A type-operations id outside the store's table.
class BadTypeOpsIdException : public IException {
public:
    explicit BadTypeOpsIdException(int32_t id) : m_id(id) {}
    void Write(TextWriter& w) const override; // "Bad TypeOpsId : " + id
    int32_t GetId() const { return m_id; }
private:
    int32_t m_id;
};

// A class id outside the store's class-id map.
class BadCidException : public IException {
public:
    explicit BadCidException(int32_t cid) : m_cid(cid) {}
    void Write(TextWriter& w) const override; // "Bad CID : " + id
    int32_t GetCid() const { return m_cid; }
private:
    int32_t m_cid;
};

} // namespace vorn
