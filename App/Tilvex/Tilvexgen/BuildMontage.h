// The builder's whole build: the store file at storePath from the JPEG images of dir.
#pragma once
#include "vnUtils/XString.h"

namespace vorn {

class CSpace;
class IRAS;
class PersistStore;
struct PersistStoreSettings;

// Runs one build; true when the store is complete and closed under storePath, false
// when the build failed ("Error : " and the description have then been traced). The
// store is written as storePath + ".part", a file the build creates new, locks, and
// keeps only while the name still stands for it (another build that took the name
// first keeps it: "Device or resource busy"); it holds it locked until it is renamed
// to storePath at the end (the folder opened first, the rename made durable). So a
// failed build, or one ended by any signal that would end the process, leaves an
// earlier store of that name as it was and removes its own partial file, and never
// another's. A scan that finds no image builds the empty pyramid only where no store
// of that name exists. The program's module must be registered (the image model's
// classes).
bool BuildMontage(const xstring& storePath, const xstring& dir);

// How a build makes its store on the partial file's storage (which it takes over):
// OpenLSSOnStorage and OpenPersistStoreOnLss unless a test has put another opener here
// (one whose storage fails on demand, say). Null restores the default; not to be
// changed while a build runs.
using BuildStoreOpener = PersistStore* (*)(IRAS* storage, const PersistStoreSettings& settings);
void SetBuildStoreOpener(BuildStoreOpener opener);

// Called once the build's space is open and current, with its store and CSpace (a test
// tunes the writer and the collector there). Null for none; not to be changed while a
// build runs.
using BuildSessionHook = void (*)(PersistStore* store, CSpace* space);
void SetBuildSessionHook(BuildSessionHook hook);

// Points of a build at which a test may act (raise a signal there, say):
// PartialFileCreated, when the partial file has just been created and is not yet
// removed by a signal (signals are held); Renaming, just before the final rename
// (signals are held); RenameFailed, when the final rename has failed and the partial
// file is still the build's. Null for none; not to be changed
// while a build runs.
enum class BuildStep { PartialFileCreated, Renaming, RenameFailed };
using BuildStepHook = void (*)(BuildStep step);
void SetBuildStepHook(BuildStepHook hook);

} // namespace vorn
