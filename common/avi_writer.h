// avi_writer.h -- the AVI writer (aviwriter): JPEG frames into an AVI file.
//
// Calling order for a recording: AVI_create_output_file, AVI_set_video_format,
// AVI_rewrite_header (the in-progress header), any number of
// AVI_write_video_frame, AVI_close_file (index and final header). The writer
// knows nothing of cameras, time or folders. Results: 0 success, -1 failure
// with the cause in AVI_last_error (texts through AVI_error_text).
//
// Until AVI_close_file the index lives only in memory: a file whose writer
// ended during a recording holds the in-progress header (0 frames, RIFF and
// movi sizes 4), its complete chunks and no index.
#pragma once

#include <stdint.h>

// Codes of AVI_last_error.
enum {
    AVI_ERR_NONE = 0,
    AVI_ERR_SIZELIMIT = 1,    // a chunk would pass the size limit
    AVI_ERR_OPEN = 2,         // the output file cannot be opened or created
    AVI_ERR_READ = 3,         // (reading side)
    AVI_ERR_WRITE = 4,        // the zero header or a chunk cannot be written in full
    AVI_ERR_WRITE_INDEX = 5,  // the idx1 chunk cannot be written
    AVI_ERR_CLOSE = 6,        // the header cannot be written or the file truncated
    AVI_ERR_NOT_PERM = 7,     // a write operation on a reading file
    AVI_ERR_NO_MEM = 8,       // the record or the index cannot be allocated
    AVI_ERR_NO_AVI = 9,       // (reading side)
    AVI_ERR_NO_HDRL = 10,     // (reading side)
    AVI_ERR_NO_MOVI = 11,     // (reading side)
    AVI_ERR_NO_VIDS = 12,     // (reading side)
    AVI_ERR_NO_IDX = 13,      // (reading side)
    AVI_ERR_UNKNOWN = 14,     // text of any code outside 0-13
};

enum { AVI_MODE_WRITE = 0, AVI_MODE_READ = 1 };

// One open AVI file. Allocated zero-filled by AVI_create_output_file, freed
// by AVI_close_file; it belongs to one caller.
struct AviFile {
    int32_t fileDescriptor;  // open file descriptor
    int32_t openMode;        // AVI_MODE_*; writes on a reading file fail with error 7
    int32_t width;           // pixels
    int32_t height;          // pixels
    double fps;              // frames per second
    char codecCode[8];       // four-character code, NUL-terminated ("MJPG")
    int32_t frameCount;      // video frames written
    int32_t largestChunk;    // largest data length entered into the index
    int32_t audioFormat, audioChannels, audioRate, audioBits, audioKbps;  // always 0
    int32_t audioByteCount;       // always 0: the recorder writes video only
    uint32_t dataEnd;             // file offset of the next chunk; 2048 after creation
    int32_t indexCount;           // index entries in use
    int32_t indexCapacity;        // index capacity in entries
    unsigned char *indexEntries;  // 16-byte entries exactly as written to idx1
    void *readVideoIndex;         // reading side only; null when writing
    void *readAudioIndex;         // reading side only; null when writing
    uint32_t lastFramePos;        // chunk position of the last video frame
    uint32_t lastFrameLen;        // data length of the last video frame
    int32_t mustUseIndex;         // header flag 0x20 with the index; never set here
};

// Code of the last failure (AVI_ERR_*), process-wide, and the system error
// number saved with it.
extern int32_t AVI_last_error;
extern int32_t AVI_last_system_error;

// Creates (or opens, without truncating) path read-write with permissions
// 0664 whatever the umask, takes an exclusive flock on it for as long as it
// is open (a file another process holds locked fails as an open failure),
// writes 2048 zero bytes at its start and returns
// the new record with dataEnd 2048. Returns null on failure: error 8 (no
// memory), 2 (open) or 4 (short write of the zero header); nothing stays
// allocated, a file already created stays on disk.
AviFile *AVI_create_output_file(const char *path);

// Stores the video format: fps as given, the compressor's first four
// characters as codecCode (four zero bytes for a code beginning with "RGB").
// Does nothing on a reading file.
void AVI_set_video_format(AviFile *avi, int32_t width, int32_t height, double fps,
                          const char *compressor);

// Reserves index room for at least entries frames (rounded up to the growth
// step) so that frames up to that count allocate nothing. Returns 0, or -1
// with error 8 (the index is then unchanged) or 7 (reading file).
int AVI_reserve_index(AviFile *avi, int32_t entries);

// Writes the in-progress header ("j8l", RIFF size dataEnd - 2044, flags 0x100)
// at offset 0 and puts the file offset back at dataEnd. The frames are not
// touched. Returns 0, or -1 with error 6 (or 7 on a reading file).
int AVI_rewrite_header(AviFile *avi);

// Appends one "00db" chunk of length bytes (padded with a zero byte to even
// length) and its index entry, flags 0x10 when keyframe is non-zero. A length
// of 0 writes the 8-byte head only; data may then be null. Returns 0; -1 with
// error 1 (size limit), 7 (reading file) or 8 (index growth) when nothing was
// written, or error 4 when the chunk could not be written in full: dataEnd,
// the index and the counts then stay as they were, so the index never points
// at a chunk that is not on disk and the next chunk overwrites the partial one.
int AVI_write_video_frame(AviFile *avi, const unsigned char *data, int32_t length, int keyframe);

// Finishes a writing file: writes the idx1 chunk at dataEnd, the final header
// ("nmm", RIFF size = file length - 8, flags 0x110) at offset 0, and truncates
// the file at the end of the index. Returns 0; -1 with error 5 when the index
// could not be written (the header is still written, flags 0x100, and the
// file ends after the last frame) or error 6 when the header or the
// truncation failed. Used by AVI_close_file.
int AVI_close_output_file(AviFile *avi);

// Finishes a writing file (result of AVI_close_output_file; 0 for a reading
// file), then closes the descriptor and frees the record and its tables
// whatever the result.
int AVI_close_file(AviFile *avi);

// The text of AVI_last_error; an out-of-range code gives "aviwriter - Unkown
// Error". For codes 2 to 6 the text is followed by " - " and the system's
// text for the error number saved when the failure happened. The result
// lives in a process-wide buffer until the next call.
const char *AVI_error_text();

// Prints "text: <error text>" on standard error; for codes 2 to 6 a second
// line "REASON: <system error text>" follows.
void AVI_report_error(const char *text);

// The identity text of the last header built ("j8l-0.0.1" or "nmm-0.0.1").
const char *AVI_identity_text();
