// The settings that the system hands to a log-structured store when it opens it, and
// the modes of opening its file.
#pragma once
#include <cstdint>

namespace vorn {

enum EOpenMode : int32_t {
    OM_CREATE_NEW = 0,      // fails if the file exists
    OM_CREATE_ALWAYS = 1,   // an existing file is replaced
    OM_OPEN_EXISTING = 2,   // fails if the file is missing
    OM_OPEN_ALWAYS = 3,     // a missing file is created empty
    OM_DELETE_EXISTING = 4, // an existing file is emptied; fails if missing
};

// Copied by value into the store when it is opened.
struct LssSettings {
    int32_t m_flushTimeMilliSec = 1000;          // period of the lazy flusher
    double m_cleanerUtilisationPercent = 85.0;   // the cleaner takes segments below this
    bool m_enableFileBuffering = false;          // false: direct (unbuffered) file I/O
    bool m_enableWriteThrough = false;           // true: writes reach the device before returning
    int32_t m_maxNumSegmentsInCache = 32;        // capacity of the segment cache
    int32_t m_numSegmentsPerCheckPoint = 128;    // segments filled between check points
    int32_t m_segmentSize = 0x80000;             // segment size of a new store, in bytes
    bool m_forceIncrementMSSN = false;           // recovery always increments the start number
    bool m_validateSUTDuringCheckPoint = false;  // check points validate the utilisation table
};

} // namespace vorn
