// camera.h -- the camera connection (non-blocking connect and request) and
// the handler of the camera's connection[] entry (the stream parser).
#pragma once

#include "recorder.h"

/* camera_connection.cpp */
int DoConnectIPcam(RecorderContext *pCtx);
int SendIpcamRequest(RecorderContext *pCtx, int index);
int DoDisconnectIPcam(RecorderContext *pCtx);
int DisconnectIPcam(RecorderContext *pCtx);

/* camera_parser.cpp */
// Serves the camera entry when poll() returned events for it.
int HandleCameraEvent(RecorderContext *pCtx, int index);
