#include "vnPersistStore/Oid.h"
#include "vnPersistStore/PersistLayout.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

static_assert(detail::kOidBias == kOidWordBias);

void detail::ThrowBadOidWord() { ThrowDeserialisationException("Bad OID : a word that names no serial element"); }

TextWriter& operator<<(TextWriter& w, OID oid) { return w << oid.AsSeid(); }

} // namespace vorn
