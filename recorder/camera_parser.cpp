// camera_parser.cpp -- the camera stream parser. (Arrives with the camera
// client.)
#include "camera.h"

int HandleCameraEvent(RecorderContext *pCtx, int index) { return 0; }
