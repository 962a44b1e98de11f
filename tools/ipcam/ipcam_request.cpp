// ipcam_request.cpp -- the request a camera accepts: its head, request line and Basic credentials.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include "ipcam.h"

static const int kRequestWaitMs = 10000;  // a client gets this long to send its request head
static const size_t kRequestMax = 8192;   // and may send this many bytes in it

// Reads the bytes of the request head up to its empty line. Returns 0, or 1
// when the client closed, waited too long or sent too much.
static int ReadHeadBytes(int fd, std::string *head) {
    long deadline = NowMs() + kRequestWaitMs;
    while (head->find("\r\n\r\n") == std::string::npos) {
        if (head->size() >= kRequestMax) return 1;
        long left = deadline - NowMs();
        if (left <= 0) return 1;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 1;
        char buf[1024];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        head->append(buf, static_cast<size_t>(n));
    }
    return 0;
}

static bool TakeDigits(const std::string &s, size_t *pos) {
    size_t start = *pos;
    while (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9') (*pos)++;
    return *pos > start;
}

static bool TakeText(const std::string &s, size_t *pos, const char *text) {
    size_t n = strlen(text);
    if (s.compare(*pos, n, text) != 0) return false;
    *pos += n;
    return true;
}

bool RequestLineFits(const IpcamOptions &opts, const std::string &line) {
    if (opts.type == IPCAM_TYPE_ZORVAN) return line == "GET /mjpg/video.mjpg HTTP/1.0";
    if (opts.type == IPCAM_TYPE_AXIS) {
        size_t pos = 0;
        return TakeText(line, &pos, "GET /axis-cgi/mjpg/video.cgi?fps=") &&
               TakeDigits(line, &pos) && TakeText(line, &pos, "&resolution=") &&
               TakeDigits(line, &pos) && TakeText(line, &pos, "x") && TakeDigits(line, &pos) &&
               TakeText(line, &pos, " HTTP/1.0") && pos == line.size();
    }
    return line.compare(0, 4, "GET ") == 0;
}

static std::string Base64(const std::string &in) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<uint8_t>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<uint8_t>(in[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

// True when one header line carries the expected Basic credentials.
bool CredentialsFit(const IpcamOptions &opts, const std::vector<std::string> &headers) {
    if (opts.noAuth) return true;
    std::string expected = "Basic " + Base64(opts.user + ":" + opts.password);
    for (const std::string &h : headers) {
        if (strncasecmp(h.c_str(), "Authorization:", 14) != 0) continue;
        size_t pos = h.find_first_not_of(' ', 14);
        if (pos != std::string::npos && h.compare(pos, std::string::npos, expected) == 0) {
            return true;
        }
    }
    return false;
}

static const char *ReasonPhrase(int code) {
    switch (code) {
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

// A complete error answer: status line, a few headers, a one-line body.
std::string ErrorAnswer(int code) {
    char text[512];
    const char *reason = ReasonPhrase(code);
    snprintf(text, sizeof(text),
             "HTTP/1.0 %d %s\r\n%sContent-Type: text/plain\r\nContent-Length: %zu\r\n\r\n%s\n",
             code, reason, code == 401 ? "WWW-Authenticate: Basic realm=\"camera\"\r\n" : "",
             strlen(reason) + 1, reason);
    return text;
}
int ReadRequest(int fd, std::vector<std::string> *lines) {
    std::string head;
    lines->clear();
    if (ReadHeadBytes(fd, &head) != 0) return 1;
    for (size_t pos = 0, end; (end = head.find("\r\n", pos)) != pos; pos = end + 2) {
        lines->push_back(head.substr(pos, end - pos));
    }
    return lines->empty() ? 1 : 0;
}
