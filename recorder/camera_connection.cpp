// camera_connection.cpp -- connecting to the camera without blocking the main
// loop, sending the request that starts its stream, and closing it.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "camera.h"
#include "logging.h"
#include "recording.h"

static_assert(CAMERA_CREDENTIALS_SIZE >= 2 * (CONFIG_NAME_SIZE - 1) + 2, "credentials fit");
static_assert(CAMERA_REQUEST_SIZE > CONFIG_HTTP_COMMAND_SIZE + CAMERA_CREDENTIALS_BASE64_SIZE + 80,
              "request fits");

void CloseCamera(RecorderContext *pCtx) {
    struct pollfd *entry = &pCtx->connection[pCtx->cameraIndex];
    if (entry->fd != -1) close(entry->fd);
    entry->fd = -1;
    entry->revents = 0;
}

void ReportNoReceiveBuffer() {
    if (cameraErrorReportArmed == 1) {
        cameraErrorReportArmed = 0;
        LogError("All frame buffers are occupied. Reconnect IP camera...");
    }
}

// Set-up failures of the socket end the process; vidula's parent starts it
// again.
[[noreturn]] static void FailSetUp(RecorderContext *pCtx, const char *error) {
    LogError("%s", error);
    CloseCamera(pCtx);
    Shutdown(pCtx);
}

// The camera's IPv4 address by host name look-up (a dotted address as well).
static int ResolveCameraAddress(const RecorderConfig *config, struct sockaddr_in *address) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(config->ipcam_address, nullptr, &hints, &found) != 0 || found == nullptr) {
        return 1;
    }
    memcpy(address, found->ai_addr, sizeof(*address));
    freeaddrinfo(found);
    address->sin_port = htons(static_cast<uint16_t>(config->ipcam_port));
    return 0;
}

// The connection is made: send the request and take a receive buffer.
static void StartCameraStream(RecorderContext *pCtx) {
    LogEvent(LOG_CONSOLE, "IP camera is TCP connected");
    pCtx->camera.reconnectDelay = 1;
    // The main loop's clock may be a whole back-off sleep old by now.
    gettimeofday(&pCtx->frameBuffer.lastFrameTime, nullptr);
    SendIpcamRequest(pCtx, pCtx->cameraIndex);
    if (GetNextReceiveFrameBuffer(&pCtx->frameBuffer, -1) == -1) {
        LogError("All frame buffers are occupied. Reconnect IP camera...");
        CloseCamera(pCtx);
        Shutdown(pCtx);
    }
}

int DoConnectIPcam(RecorderContext *pCtx) {
    if (pCtx == nullptr) {
        LogError("null pointer pCtx in DoConnectIPcam()");
        Shutdown(pCtx);
    }
    if (pCtx->pConfig == nullptr) {
        LogError("null pointer pConfig in DoConnectIPcam()");
        Shutdown(pCtx);
    }
    struct pollfd *entry = &pCtx->connection[pCtx->cameraIndex];
    if (entry->fd != -1) {
        LogError("trying to connect to IP camera before closing previous IP camera connection");
        CloseCamera(pCtx);
    }
    entry->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (entry->fd == -1) FailSetUp(pCtx, "fail to create socket to connect to IP camera");
    int flags = fcntl(entry->fd, F_GETFL, 0);
    if (flags == -1) FailSetUp(pCtx, "fail to get socket flags in DoConnectIPcam()");
    if (fcntl(entry->fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        FailSetUp(pCtx, "fail to set socket flags in DoConnectIPcam()");
    }

    struct sockaddr_in address;
    if (ResolveCameraAddress(pCtx->pConfig, &address) != 0) {
        LogError("invalid IP camera address");
        CloseCamera(pCtx);
        NotifyManager(NOTIFY_CAMERA_FAILURE, "invalid IP camera address");
        Shutdown(pCtx);
    }
    entry->events = 0;
    entry->revents = 0;
    if (connect(entry->fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) == 0) {
        StartCameraStream(pCtx);
        return 0;
    }
    if (errno == EINPROGRESS || errno == EINTR) {
        pCtx->camera.cameraState = IPCAM_STATE_CONNECTING;
        entry->events |= POLLOUT;
        LogEvent(LOG_CONSOLE, "Connecting to IP camera");
        return 0;
    }
    LogError("fail to connect IP camera");
    CloseCamera(pCtx);
    NotifyManager(NOTIFY_CAMERA_FAILURE, "fail to connect IP camera");
    Shutdown(pCtx);
}

// The completed connect: send the request and take a receive buffer.
void CompleteIpcamConnect(RecorderContext *pCtx, int index) {
    LogEvent(LOG_CONSOLE, "IP camera is TCP connected");
    pCtx->camera.reconnectDelay = 1;
    pCtx->frameBuffer.lastFrameTime = pCtx->now;
    pCtx->camera.oversizeReported = 0;
    pCtx->camera.pictureSizeChecked = 0;
    SendIpcamRequest(pCtx, index);
    if (GetNextReceiveFrameBuffer(&pCtx->frameBuffer, -1) == -1) {
        ReportNoReceiveBuffer();
        CloseCamera(pCtx);
    }
}

// The request line of the configured camera type, CRLF included; 1 for an
// unknown type.
static int BuildRequestLine(const RecorderConfig *config, char *out, size_t outSize) {
    switch (config->ipcam_type) {
        case CAMERA_TYPE_ZORVAN:
            snprintf(out, outSize, "GET /mjpg/video.mjpg HTTP/1.0\r\n");
            return 0;
        case CAMERA_TYPE_AXIS:
            snprintf(out, outSize,
                     "GET /axis-cgi/mjpg/video.cgi?fps=%d&resolution=%dx%d HTTP/1.0\r\n",
                     config->ipcam_fps, config->ipcam_video_width, config->ipcam_video_height);
            return 0;
        case CAMERA_TYPE_OTHER:
            snprintf(out, outSize, "%s\r\n", config->ipcam_http_command);
            return 0;
        default:
            return 1;
    }
}

int SendIpcamRequest(RecorderContext *pCtx, int index) {
    if (pCtx == nullptr || pCtx->pConfig == nullptr) {
        LogError("null pointer pCtx in SendIpcamRequest()");
        return 1;
    }
    const RecorderConfig *config = pCtx->pConfig;
    struct pollfd *entry = &pCtx->connection[index];
    char credentials[CAMERA_CREDENTIALS_SIZE];
    char encoded[CAMERA_CREDENTIALS_BASE64_SIZE];
    snprintf(credentials, sizeof(credentials), "%s:%s", config->ipcam_username,
             config->ipcam_password);
    Base64Encode(credentials, encoded);

    char request[CAMERA_REQUEST_SIZE];
    if (BuildRequestLine(config, request, sizeof(request)) != 0) {
        LogError("unknown IP camera type in config file");
        CloseCamera(pCtx);
        return 1;
    }
    size_t line = strlen(request);
    snprintf(request + line, sizeof(request) - line,
             "Authorization: Basic %s\r\nAccept: image/jpeg,*/*\r\nConnection: Keep-Alive\r\n\r\n",
             encoded);
    size_t length = strlen(request);
    ssize_t written = send(entry->fd, request, length, MSG_NOSIGNAL);
    if (written < 0 || static_cast<size_t>(written) < length) {
        LogError("fail to send IP camera request");
        CloseCamera(pCtx);
        return 1;
    }
    pCtx->camera.cameraState = IPCAM_STATE_CHECK_STATUS;
    entry->events = POLLIN;
    LogInfo("Send IP camera request");
    return 0;
}

int DoDisconnectIPcam(RecorderContext *pCtx) {
    LogInfo("DoDisconnectIPcam()");
    CloseCamera(pCtx);
    pCtx->camera.cameraState = IPCAM_STATE_DISCONNECTED;
    timerclear(&pCtx->frameBuffer.lastFrameTime);
    return 0;
}

int DisconnectIPcam(RecorderContext *pCtx) {
    DoDisconnectIPcam(pCtx);
    ResetFrameBuffer(&pCtx->frameBuffer);
    pCtx->cameraSchedule.enabled = 0;
    RecordingBlocked(pCtx);
    LogInfo("DisconnectIPcam() ok");
    return 0;
}
