#include "vnPersistStore/Oid.h"
#include "vnPersistStore/PersistLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

namespace {

inline uint32_t StoredWord(uint32_t w) { return w == 0 ? 0 : w - kOidWordBias; }

// A stored value back to its word; 0 stays 0. Throws for a value that cannot come
// from a valid word.
inline uint32_t WordFromStored(uint32_t v)
{
    if (v == 0) return 0;
    if (v > 0xFFFFFFFFu - kOidWordBias) ThrowDeserialisationException("Bad OID : word out of range");
    const uint32_t w = v + kOidWordBias;
    if (!AllBytesNonZero(w)) ThrowDeserialisationException("Bad OID : word with a zero byte");
    return w;
}

} // namespace

void WriteOid(Archive& ar, OID oid)
{
    ar.WriteCompressedUInt32(StoredWord(oid.m_low));
    if (oid.m_low == 0) return;
    if (IOidRemapHook* hook = ar.GetOidRemapHook()) hook->WriteOidHigh(ar, oid.m_high);
    else ar.WriteCompressedUInt32(StoredWord(oid.m_high));
}

InputArchive ReadOid(InputArchive in, OID& oid)
{
    uint32_t v;
    in = ReadCompressedUInt32FromBuffer(in, v);
    if (v == 0) {
        oid = OID();
        return in;
    }
    const OidLow low = WordFromStored(v);
    OidHigh high;
    if (IOidReadRemapHook* hook = GetThreadOidReadRemapHook()) {
        in = hook->ReadOidHigh(in, high);
    } else {
        in = ReadCompressedUInt32FromBuffer(in, v);
        high = WordFromStored(v);
    }
    oid = OID(low, high);
    return in;
}

TextWriter& operator<<(TextWriter& w, OID oid) { return w << oid.AsSeid(); }

} // namespace vorn
