// storage_signal.h -- the signals that the storage check sends to vidula.
//
// SIGUSR1 and SIGUSR2 are not queued by the kernel: a second SIGUSR1 sent
// while the first is still pending is merged into it and its value lost, and
// two pending signals are delivered lowest number first, whatever the order
// they were sent in. The check sends several in a row (a value 1 after each
// manager record, then value 2 or SIGUSR2), so each send first waits, for a
// bounded time, until vidula has taken the signals sent before.
#pragma once

#include <sys/types.h>

// Waits until neither SIGUSR1 nor SIGUSR2 is pending at pid, polling its
// /proc status every millisecond for at most 250 ms. Returns at once when
// the status cannot be read (no such process, or not on Linux).
void WaitSignalsTaken(pid_t pid);

// Queues SIGUSR1 with value to pid, after WaitSignalsTaken. Returns 0, or 1
// when pid is not above 0 or the signal cannot be sent.
int QueueSignalToVidula(pid_t pid, int value);

// Sends SIGUSR2 to pid, after WaitSignalsTaken. Returns 0 or 1 as above.
int BlockVidula(pid_t pid);

// NotifyManagerVia(pid, code, text) after WaitSignalsTaken; its SIGUSR1 with
// value 1 then cannot merge with one sent earlier.
int NotifyVidulaManager(pid_t pid, int code, const char *text);
