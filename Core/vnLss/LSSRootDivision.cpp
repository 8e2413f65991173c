// The root block's division as the store writes and reads it.
#include "vnLss/LSS.h"
#include "vnLss/LssLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include <cstdio>
#include <cstring>

namespace vorn {

namespace {

void ReadMarker(InputArchive& ar, const char* text, const char* message)
{
    const size_t n = std::strlen(text);
    int32_t len = 0;
    if (ar.Remaining() < 4) throw CorruptLSSException(xstring(message));
    ar = Read4FromBuffer(ar, len);
    if (len != int32_t(n) || ar.Remaining() < n || std::memcmp(ar.Ptr(), text, n) != 0)
        throw CorruptLSSException(xstring(message));
    ar = SkipInBuffer(ar, n);
}

void NeedRoom(const InputArchive& ar, size_t n)
{
    if (ar.Remaining() < n) ThrowCorruptLss("LSS is corrupt : Root block division ends early");
}

} // namespace

void LSS::WriteRootDivision(Archive& ar, const PagedBuffer& rpmImage)
{
    m_divisionSchema = kDivisionSchema;
    ar.Write4(uint32_t(sizeof kDivisionBeginMarker - 1));
    ar.WriteBytes(kDivisionBeginMarker, sizeof kDivisionBeginMarker - 1);
    ar.Write4(uint32_t(kDivisionSchema));
    m_sut.Serialise(ar);
    int32_t left = rpmImage.GetSize();
    for (int32_t i = 0; left > 0; ++i) {
        const int32_t n = left < rpmImage.GetPageSize() ? left : rpmImage.GetPageSize();
        ar.WriteBytes(rpmImage.GetPage(i), n);
        left -= n;
    }
    ar.Write4(uint32_t(m_positionOfLastCheckPoint.m_segmentId));
    ar.Write4(uint32_t(m_positionOfLastCheckPoint.m_offset));
    ar.Write4(uint32_t(m_mssn));
    ar.SerialiseGuid(m_cpid);
    ar.Write8(uint64_t(m_numTransactions));
    ar.Write4(uint32_t(m_numCheckPoints.load()));
    ar.Write4(uint32_t(sizeof kDivisionEndMarker - 1));
    ar.WriteBytes(kDivisionEndMarker, sizeof kDivisionEndMarker - 1);
}

void LSS::ReadRootDivision(InputArchive ar)
{
    ReadMarker(ar, kDivisionBeginMarker, "LSS is corrupt : Root block division must begin with string 'LSS-BEGIN-DIV'");
    NeedRoom(ar, 4);
    int32_t schema = 0;
    ar = Read4FromBuffer(ar, schema);
    if (schema < 1 || schema > kDivisionSchema) {
        char m[96];
        std::snprintf(m, sizeof m, "Bad schema (%d) - should be between 1 and %d", schema, kDivisionSchema);
        ThrowDeserialisationException(m);
    }
    if (schema == 2 || schema == 3) ThrowCorruptLss("LSS schema 2,3 no longer supported");
    m_divisionSchema = schema;
    ar = m_sut.Deserialise(ar);
    ar = m_rpm.Deserialise(ar);
    NeedRoom(ar, 8 + 4 + 16);
    ar = Read4FromBuffer(ar, m_positionOfLastCheckPoint.m_segmentId);
    ar = Read4FromBuffer(ar, m_positionOfLastCheckPoint.m_offset);
    ar = Read4FromBuffer(ar, m_mssn);
    ar = DeserialiseGuid(ar, m_cpid);
    m_numTransactions = 0;
    m_numCheckPoints = 0;
    if (schema == 4) {
        NeedRoom(ar, 12);
        ar = Read8FromBuffer(ar, m_numTransactions);
        int32_t numCheckPoints = 0;
        ar = Read4FromBuffer(ar, numCheckPoints);
        m_numCheckPoints = numCheckPoints;
    }
    ReadMarker(ar, kDivisionEndMarker, "LSS is corrupt : Root block division must end with string 'LSS-END-DIV'");
}

} // namespace vorn
