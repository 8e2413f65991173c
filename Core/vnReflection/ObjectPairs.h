// Vectors of object pairs: each element is an {object, function table} pair
// (AnyInterface) that the vector's holder refers to strongly, such as a space's
// collector roots or a list of objects kept alive. AppendObjectPair adds one at the end
// (the vector grows by the append rule); VisitObjectPairs hands each pair, in order, to
// the visitor's strong-reference operation, which is what the holder's VisitObjects does.
#pragma once
#include "vnReflection/IObject.h"
#include "vnUtils/XVector.h"

namespace vorn {

void AppendObjectPair(xvector<AnyInterface>& pairs, AnyInterface pair);
void VisitObjectPairs(const xvector<AnyInterface>& pairs, IObjectVisitor& visitor);

} // namespace vorn
