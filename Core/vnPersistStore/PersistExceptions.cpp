#include "vnPersistStore/PersistExceptions.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

namespace {
const char* NameOf(const char* name) { return name ? name : ""; }
} // namespace

void TypeMismatchException::Write(TextWriter& w) const
{
    w << "Type mismatch during deserialisation : class " << NameOf(m_class ? m_class->GetName() : nullptr)
      << " doesn't support interface " << NameOf(m_interface ? m_interface->GetName() : nullptr);
}

void DerefDanglingOidException::Write(TextWriter& w) const { w << "Dereferenced dangling OID = " << m_oid; }

void OpenPSpaceException::Write(TextWriter& w) const
{
    const char* lead;
    const char* tail;
    switch (m_mode) {
    case OM_CREATE_NEW:
        lead = "Could not create new PSpace ";
        tail = ", a PSpace with that name already exists";
        break;
    case OM_OPEN_EXISTING:
        lead = "Could not open existing PSpace ";
        tail = ", a PSpace with that name does not exist";
        break;
    case OM_DELETE_EXISTING:
        lead = "Could not delete existing PSpace ";
        tail = ", a PSpace with that name does not exist";
        break;
    default: return;
    }
    w << lead << '"' << m_name << '"' << tail;
}

void RepeatedClassNameInCidMapException::Write(TextWriter& w) const { w << "Repeated class name " << m_name; }

void DerefNullPrefException::Write(TextWriter& w) const { w << "Attempt to dereference null pref<T>"; }

void TypeOpsNotFoundException::Write(TextWriter& w) const
{
    w << "TypeOps not found for ";
    m_type.Print(w);
}

void BadTypeOpsIdException::Write(TextWriter& w) const { w << "Bad TypeOpsId : " << m_id; }

void BadCidException::Write(TextWriter& w) const { w << "Bad CID : " << m_cid; }

} // namespace vorn
