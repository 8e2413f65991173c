#include "Tilvex/Model/TilvexStoreSettings.h"

namespace vorn {

PersistStoreSettings TilvexStoreSettings()
{
    PersistStoreSettings s;
    s.deltasDirPath = nullptr;
    s.lssSettings.m_flushTimeMilliSec = 10000;
    s.lssSettings.m_cleanerUtilisationPercent = 85.0;
    s.lssSettings.m_enableFileBuffering = false;
    s.lssSettings.m_maxNumSegmentsInCache = 512;
    s.lssSettings.m_numSegmentsPerCheckPoint = 256;
    s.lssSettings.m_segmentSize = 0x80000;
    s.lssSettings.m_forceIncrementMSSN = false;
    s.lssSettings.m_validateSUTDuringCheckPoint = false;
    s.translationTable = nullptr;
    s.startObjectDeletion = true;
    return s;
}

} // namespace vorn
