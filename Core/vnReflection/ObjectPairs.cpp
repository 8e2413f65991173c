#include "vnReflection/ObjectPairs.h"

namespace vorn {

void AppendObjectPair(xvector<AnyInterface>& pairs, AnyInterface pair) { pairs.push_back(pair); }

void VisitObjectPairs(const xvector<AnyInterface>& pairs, IObjectVisitor& visitor)
{
    for (const AnyInterface& pair : pairs) visitor.VisitStrong(pair);
}

} // namespace vorn
