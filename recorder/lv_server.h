// lv_server.h -- the live video server: up to five HTTP viewers of the
// camera's stream, served from the main loop.
#pragma once

#include "recorder.h"

int StartLvServer(RecorderContext *pCtx);
int StopLvServer(RecorderContext *pCtx);
int AcceptLvClient(RecorderContext *pCtx, int index);
int HandleLvClientEvent(RecorderContext *pCtx, int index);
