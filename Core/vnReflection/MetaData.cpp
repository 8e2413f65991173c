#include "vnReflection/MetaData.h"
#include "vnReflection/ByteCodeScan.h"
#include "vnUtils/TextWriter.h"
#include <cstring>

namespace vorn {

bool MetaData::Empty() const
{
    return m_cursor == nullptr || !detail::IsListCode(*m_cursor) || *m_cursor == MDT_LIST_0;
}

bool MetaData::FindFunctor(const char* name, int32_t& arity, ByteCode& args) const
{
    if (!m_cursor || !detail::IsListCode(*m_cursor)) return false;
    const int n = *m_cursor - MDT_LIST_0;
    ByteCode p = m_cursor + 1;
    for (int i = 0; i < n; ++i) {
        const uint8_t c = *p;
        if (!detail::IsFunctorCode(c)) {
            p = detail::SkipMetaDataItem(p, nullptr);
            if (!p) return false;
            continue;
        }
        const int16_t index = ReadByteCodeInt16(p + 1);
        const int32_t functorArity = c - MDT_FUNCTOR_0;
        if (index >= 0 && std::strcmp(m_stringTable[index], name) == 0) {
            arity = functorArity;
            args = p + 3;
            return true;
        }
        p += 3;
        for (int32_t a = 0; a < functorArity && p; ++a) p = detail::SkipMetaDataItem(p, nullptr);
        if (!p) return false;
    }
    return false;
}

bool MetaData::ExistsFunctor0(const char* name) const
{
    int32_t arity = 0;
    ByteCode args = nullptr;
    return FindFunctor(name, arity, args) && arity == 0;
}

namespace {

// The argument of the one-argument functor of that name when it has the expected code.
ByteCode FindArgument(const MetaData& md, const char* name, uint8_t expected, xstring& errorReason)
{
    int32_t arity = 0;
    ByteCode args = nullptr;
    if (!md.FindFunctor(name, arity, args)) {
        errorReason = xstring("Functor named '") + name + "' not found";
        return nullptr;
    }
    if (arity != 1) {
        StringTextWriter w;
        w << "Functor '" << name << "' has bad arity " << arity;
        errorReason = w.TakeText();
        return nullptr;
    }
    if (*args != expected) {
        errorReason = xstring("Functor '") + name + "' has incompatible type";
        return nullptr;
    }
    return args + 1;
}

} // namespace

bool MetaData::GetBool(const char* name, bool& value, xstring& errorReason) const
{
    const ByteCode p = FindArgument(*this, name, MDT_BOOL, errorReason);
    if (!p) return false;
    value = *p != 0;
    return true;
}

bool MetaData::GetInt(const char* name, int32_t& value, xstring& errorReason) const
{
    const ByteCode p = FindArgument(*this, name, MDT_INT32, errorReason);
    if (!p) return false;
    value = ReadByteCodeInt32(p);
    return true;
}

bool MetaData::GetDouble(const char* name, double& value, xstring& errorReason) const
{
    const ByteCode p = FindArgument(*this, name, MDT_FLOAT64, errorReason);
    if (!p) return false;
    std::memcpy(&value, p, 8);
    return true;
}

bool MetaData::GetString(const char* name, xstring& value, xstring& errorReason) const
{
    const ByteCode p = FindArgument(*this, name, MDT_STRING, errorReason);
    if (!p) return false;
    value = m_stringTable[ReadByteCodeInt16(p)];
    return true;
}

xstring MetaData::GetString2(const char* name) const
{
    xstring value;
    xstring error;
    GetString(name, value, error);
    return value;
}

void PrintMetaDataItem(TextWriter& w, ReflectionByteCode& bc)
{
    const uint8_t c = bc.ReadType();
    switch (c) {
    case MDT_FLAGS:
    case MDT_INT32: w << bc.ReadInt32(); return;
    case MDT_BOOL: w << bc.ReadBool(); return;
    case MDT_FLOAT64: w << bc.ReadFloat64(); return;
    case MDT_STRING: w << '"' << bc.ReadString() << '"'; return;
    case MDT_BEGIN_FUNCTOR:
    case MDT_END_FUNCTOR:
    case MDT_BEGIN_LIST:
    case MDT_END_LIST: return;
    default: break;
    }
    if (detail::IsFunctorCode(c)) {
        w << bc.ReadString();
        const int n = c - MDT_FUNCTOR_0;
        if (n == 0) return;
        w << '(';
        for (int i = 0; i < n; ++i) {
            if (i) w << ',';
            PrintMetaDataItem(w, bc);
        }
        w << ')';
    } else if (detail::IsListCode(c)) {
        const int n = c - MDT_LIST_0;
        w << '[';
        for (int i = 0; i < n; ++i) {
            if (i) w << ',';
            PrintMetaDataItem(w, bc);
        }
        w << ']';
    } else {
        w << '?';
    }
}

} // namespace vorn
