// The builder's whole build: the store file at storePath from the JPEG images of dir.
#pragma once
#include "vnUtils/XString.h"

namespace vorn {

// Runs one build; true when the pyramid was computed, false when it failed (the failure
// has then been traced).
bool BuildMontage(const xstring& storePath, const xstring& dir);

} // namespace vorn
