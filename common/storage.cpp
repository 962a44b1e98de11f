// storage.cpp -- storage accounting and reclamation. (Measurement and
// deletion arrive with the storage issue; until then a request only logs.)
#include "storage.h"

#include "logging.h"

int CheckStorage(const RecorderConfig *pConfig, pid_t vidulaPid) {
    LogInfo("CheckStorage()");
    return 0;
}
