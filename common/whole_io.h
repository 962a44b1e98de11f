// whole_io.h -- reading and writing whole buffers on a descriptor.
//
// The system calls may move fewer bytes than asked and may be cut short by a
// signal; these loops take both up again, so a caller sees either the whole
// transfer or a real error.
#pragma once

#include <stddef.h>
#include <sys/types.h>
#include <sys/uio.h>

// Writes all size bytes of buffer to fd, taking up short writes and writes
// interrupted by a signal (EINTR). Returns 0, or -1 with errno set when a
// write fails; an unspecified part of the buffer may then have been written.
// EAGAIN on a non-blocking descriptor is a failure like any other.
int WriteAll(int fd, const void *buffer, size_t size);

// Reads from fd until size bytes are in buffer or the end of the file is
// reached, taking up short reads and reads interrupted by a signal. Returns
// the number of bytes read (less than size only at the end of the file), or
// -1 with errno set when a read fails.
ssize_t ReadAll(int fd, void *buffer, size_t size);

// Writes every byte of iov[0..count) at offset (pwritev: the descriptor's
// position does not move), taking up partial and interrupted writes. Returns
// 0, or -1 with errno set at the first failing call (EIO when a write moves
// nothing). The iov array is used up.
int WriteAllAt(int fd, struct iovec *iov, int count, off_t offset);
