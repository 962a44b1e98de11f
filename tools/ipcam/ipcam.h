// ipcam.h -- the network camera stand-in: a motion-JPEG HTTP/1.0 server with fault modes.
//
// One process listens on 127.0.0.1; every accepted connection is served by a
// child process (or inline with --once): it reads the request head, checks the
// request line and the Basic credentials, and answers with a multipart stream
// of JPEG images, or with the misbehaviour chosen by --fault.
//
// Lines on standard output (each flushed at once, for tests reading a pipe):
//   "listening on 127.0.0.1:PORT"   ready
//   "connection from ADDR:PORT"     a connection was accepted
//   "request: LINE"                 its request line; "header: LINE" per header
//   "401 sent" / "404 sent" / ...   the connection got an error status
//   "sent N frames"                 the connection ended after N complete parts
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Which request line a connection must send (--type).
enum {
    IPCAM_TYPE_ZORVAN = 0,  // exactly "GET /mjpg/video.mjpg HTTP/1.0"
    IPCAM_TYPE_AXIS = 1,    // "GET /axis-cgi/mjpg/video.cgi?fps=N&resolution=WxH HTTP/1.0"
    IPCAM_TYPE_OTHER = 2,   // any line that starts with "GET "
};

// How the boundary parameter of the Content-Type header is written (--boundary-form).
enum {
    IPCAM_BOUNDARY_PLAIN = 0,   // boundary=NAME
    IPCAM_BOUNDARY_QUOTED = 1,  // boundary="NAME"
    IPCAM_BOUNDARY_DASHED = 2,  // boundary=--NAME
};

// The misbehaviour of a connection (--fault).
enum {
    IPCAM_FAULT_NONE = 0,
    IPCAM_FAULT_STATUS,           // status=CODE: another status line, a short body, close
    IPCAM_FAULT_NO_REASON,        // "HTTP/1.0 200" without a reason phrase, then the stream
    IPCAM_FAULT_NOT_HTTP,         // an answer in another protocol
    IPCAM_FAULT_LONG_STATUS,      // a status line of more than 64 bytes
    IPCAM_FAULT_LONG_HEAD,        // the boundary header only after byte 1024 of the head
    IPCAM_FAULT_ENDLESS_HEAD,     // header lines that never end
    IPCAM_FAULT_NO_LENGTH,        // parts without "Content-Length:"
    IPCAM_FAULT_LENGTH_NO_BLANK,  // "Content-Length:N"
    IPCAM_FAULT_LENGTH_TEXT,      // length=TEXT: "Content-Length: TEXT", image unchanged
    IPCAM_FAULT_HUGE_LENGTH,      // absurd and negative lengths in turn, image unchanged
    IPCAM_FAULT_OVERSIZE,         // one image of width x height x 3 + 1 bytes
    IPCAM_FAULT_DRIBBLE,          // every byte in a write of its own
    IPCAM_FAULT_CLOSE_MID_FRAME,  // after --frames good parts, half a part, then close
    IPCAM_FAULT_RESET,            // after --frames good parts, half a part, then a reset
    IPCAM_FAULT_STALL,            // after --frames good parts, silence until the peer closes
    IPCAM_FAULT_REFUSE,           // the port is bound but never listens
    IPCAM_FAULT_GARBAGE,          // random bytes from the first byte on
    IPCAM_FAULT_GARBAGE_BODY,     // a good head, then random bytes mixed with part pieces
};

// The command line, parsed.
struct IpcamOptions {
    int port = 0;  // 0: the system picks a free port
    int width = 640;
    int height = 480;
    double fps = 25;  // parts per second; 0: as fast as the socket takes
    long frames = 0;  // parts per connection, 0 endless; good parts before a late fault
    int type = IPCAM_TYPE_OTHER;
    std::string user;  // credentials the Authorization header must carry
    std::string password;
    bool noAuth = false;  // do not require the Authorization header at all
    std::string boundary = "ipcamframe";
    int boundaryForm = IPCAM_BOUNDARY_PLAIN;
    std::string jpegDir;  // send these files in name order instead of the test card
    int fault = IPCAM_FAULT_NONE;
    int faultStatus = 500;    // status=CODE
    std::string faultText;    // length=TEXT
    long faultAt = 0;         // index of the part that oversize replaces
    long padTo = 0;           // pad every image to exactly this many bytes (0: no padding)
    int dribbleMicros = 200;  // pause between the bytes of dribble
    unsigned seed = 1;        // random bytes of the garbage modes
    bool once = false;        // serve one connection, then exit
};

// Parses argv into *opts. Returns 0, or 1 after printing the reason to
// standard error, or 2 when --help printed the usage.
int ParseIpcamOptions(int argc, char **argv, IpcamOptions *opts);

// --- ipcam_standin.cpp ---

// Prints one line to standard output and flushes it, as one write.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The monotonic clock in milliseconds.
long NowMs();

// --- ipcam_request.cpp ---

// Reads the request head (up to 8192 bytes, within 10 seconds) and splits it
// into lines without their CRLF, the request line first. Returns 0, or 1 when
// the client closed, waited too long, sent too much or an empty line first.
int ReadRequest(int fd, std::vector<std::string> *lines);

// True when line is the request line that opts.type requires.
bool RequestLineFits(const IpcamOptions &opts, const std::string &line);

// True when opts.noAuth is set or one of lines is an Authorization header
// with the Basic form of opts.user ":" opts.password.
bool CredentialsFit(const IpcamOptions &opts, const std::vector<std::string> &lines);

// A complete answer with status code, its reason phrase, a one-line body, and
// for 401 the header that makes a browser or ffmpeg ask for credentials.
std::string ErrorAnswer(int code);

// --- ipcam_card.cpp ---

// Draws the test card for frame `number` into rgb (width x height x 3 bytes,
// resized by the call): colour bars, a grey ramp, a bar that moves with the
// frame number, and the frame number and wall-clock time in large digits.
void DrawTestCard(int width, int height, long number, std::vector<uint8_t> *rgb);

// --- ipcam_jpeg.cpp ---

// Encodes rgb (width x height x 3) as a baseline JPEG into *out. Returns 0.
int EncodeJpeg(const std::vector<uint8_t> &rgb, int width, int height, int quality,
               std::string *out);

// Grows the JPEG image in *jpeg to exactly size bytes by inserting comment
// segments (and fill bytes) after its start marker, so that it still decodes.
// Returns 0, or 1 when the image is already larger than size or not a JPEG.
int PadJpeg(std::string *jpeg, size_t size);

// Reads every *.jpg and *.jpeg file of dir, in name order, into *images.
// Returns 0, or 1 when the folder cannot be read or holds none.
int LoadJpegDir(const std::string &dir, std::vector<std::string> *images);

// --- ipcam_session.cpp ---

// The pictures a connection sends: the test card, or files that repeat.
struct FrameSource {
    std::vector<std::string> files;  // empty: draw the test card
    std::vector<uint8_t> rgb;        // drawing space of the test card
};

// Fills *image with the JPEG of frame `number` (padded to opts.padTo when set).
// Returns 0, or 1 when the image cannot be padded.
int NextImage(const IpcamOptions &opts, FrameSource *src, long number, std::string *image);

// Serves one accepted connection to its end and closes fd.
void ServeConnection(const IpcamOptions &opts, FrameSource *src, int fd);
