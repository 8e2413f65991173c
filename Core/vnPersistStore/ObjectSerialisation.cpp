#include "vnPersistStore/ObjectSerialisation.h"
#include "vnObject/CSpace.h"
#include "vnObject/ObjHeader.h"
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistLayout.h"
#include "vnUtils/Trace.h"
#include <limits>

namespace vorn {

namespace {

int32_t ClampedSize(int64_t n) { return n > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : int32_t(n); }

} // namespace

void WritePersistentObject(Archive& ar, PersistSchema& schema, IPersistablePtr object)
{
    if (object.IsNull()) {
        ar.WriteCompressedUInt32(kNullClassId);
        return;
    }
    const IObjectTable& t = object.Object();
    const ReflectedClass* cls = t.GetReflectedClass(object.m_object);
    ar.WriteCompressedUInt32(uint32_t(schema.GetCid(cls)));
    const int64_t before = ar.GetNumBytesWritten();
    object.m_table->Serialise(object.m_object, ar);
    StoreEvictableSize(t.GetSysState(object.m_object), ClampedSize(ar.GetNumBytesWritten() - before));
}

namespace {

thread_local PersistSchema* t_readingSchema = nullptr;

// Names the schema of the record being read for the scope; nested reads restore the
// outer one.
class ReadingSchemaScope {
public:
    explicit ReadingSchemaScope(PersistSchema& schema) : m_saved(t_readingSchema) { t_readingSchema = &schema; }
    ~ReadingSchemaScope() { t_readingSchema = m_saved; }
    ReadingSchemaScope(const ReadingSchemaScope&) = delete;
    ReadingSchemaScope& operator=(const ReadingSchemaScope&) = delete;
private:
    PersistSchema* m_saved;
};

} // namespace

PersistSchema* GetReadingSchema() { return t_readingSchema; }

InputArchive ReadPersistentObject(InputArchive in, PersistSchema& schema, bool registerObject, IPersistablePtr& out)
{
    out = IPersistablePtr{};
    uint32_t cid;
    in = ReadCompressedUInt32FromBuffer(in, cid);
    if (cid == kNullClassId) return in;
    if (cid > uint32_t(std::numeric_limits<int32_t>::max())) throw BadCidException(int32_t(cid));
    const ReflectedClass* cls = schema.m_classIds.GetClass(int32_t(cid));
    if (!cls->CanCreate()) throw ReflectedClassNotFoundException(xstring(cls->GetName()));

    const AnyInterface created = cls->m_factory();
    if (created.m_object == nullptr) throw ReflectedClassNotFoundException(xstring(cls->GetName()));
    const IObjectTable& t = *static_cast<const IObjectTable*>(created.m_table);
    if (registerObject) {
        CSpace* space = GetThreadCSpace();
        if (space == nullptr) {
            t.Destroy(created.m_object);
            throw ProgrammingErrorException("reading a persistent object needs a thread CSpace");
        }
        space->RegisterGcObject(created);
    }
    try {
        const IPersistablePtr p = QueryPersistable(created);
        if (p.IsNull()) throw TypeMismatchException(cls, &kIPersistableInterface);
        const uint8_t* start = in.Ptr();
        ReadingSchemaScope reading(schema);
        in = p.m_table->Deserialise(p.m_object, in);
        StoreEvictableSize(t.GetSysState(created.m_object), ClampedSize(in.Ptr() - start));
        out = p;
    } catch (...) {
        if (!registerObject) t.Destroy(created.m_object);
        throw;
    }
    return in;
}

void ReleaseElementNoThrow(IContiguousSerialElement* element) noexcept
{
    try {
        element->Release();
    } catch (const IException& e) {
        TraceStream ts;
        ts << "Releasing a serial element failed : ";
        e.Write(ts);
        ts << '\n';
    } catch (...) {
        TraceStream() << "Releasing a serial element failed\n";
    }
}

IPersistablePtr LoadPersistentObject(ILogStructuredStore* lss, PersistSchema& schema, OID oid)
{
    IPersistablePtr p;
    const bool found = ReadSerialElement(lss, oid.AsSeid(), [&](InputArchive in) {
        ReadPersistentObject(in, schema, true, p);
        if (p.IsNull()) ThrowDeserialisationException("Bad object record : class id 0 under an OID");
    });
    if (!found) return p;
    p.m_table->GetPersistObjState(p.m_object).m_oid = oid;
    return p;
}

} // namespace vorn
