// lv_server.cpp -- the live video server. (Arrives with its own issue.)
#include "lv_server.h"

int StartLvServer(RecorderContext *pCtx) { return 1; }
int StopLvServer(RecorderContext *pCtx) { return 0; }
int AcceptLvClient(RecorderContext *pCtx, int index) { return 0; }
int HandleLvClientEvent(RecorderContext *pCtx, int index) { return 0; }
