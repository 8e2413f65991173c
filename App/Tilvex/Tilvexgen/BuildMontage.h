// The builder's whole build: the store file at storePath from the JPEG images of dir.
#pragma once
#include "vnUtils/XString.h"

namespace vorn {

class PersistStore;
struct PersistStoreSettings;

// Runs one build; true when the store is complete and closed under storePath, false
// when the build failed ("Error : " and the description have then been traced). The
// store is written as storePath + ".part" and renamed at the end, so a failed build
// leaves an earlier store of that name as it was. The program's module must be
// registered (the image model's classes).
bool BuildMontage(const xstring& storePath, const xstring& dir);

// How a build creates its store file: OpenPersistStore with OM_CREATE_ALWAYS unless a
// test has put another opener here (one whose storage fails on demand, say). Null
// restores the default; not to be changed while a build runs.
using BuildStoreOpener = PersistStore* (*)(const char* path, const PersistStoreSettings& settings);
void SetBuildStoreOpener(BuildStoreOpener opener);

} // namespace vorn
