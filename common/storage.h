// storage.h -- storage accounting and reclamation of one camera's recordings,
// run by tarsel on each request from vidula.
#pragma once

#include <sys/types.h>

#include "config.h"

// Measures the recordings and the volume, deletes the oldest recordings when
// needed, and answers vidulaPid by signal. Returns 0 when recording may go on,
// 1 otherwise.
int CheckStorage(const RecorderConfig *pConfig, pid_t vidulaPid);
