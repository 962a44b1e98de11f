// signal_log.h -- signals noted by handlers, logged later by the main loop.
//
// A signal handler may only set flags; the verbose "Receive signal" lines are
// therefore noted here by the handler (async-signal-safe: lock-free atomics,
// no formatting) and written by the main loop at its next pass.
#pragma once

enum {
    SIGNAL_NOTE_PLAIN = 0,      // "Receive signal (%d)"
    SIGNAL_NOTE_VALUE = 1,      // "Receive signal (%d) with value (%d)"
    SIGNAL_NOTE_UNDEFINED = 2,  // ... and then "undefined signal value"
    SIGNAL_NOTE_IGNORED = 3,    // ... and then "Do nothing for this signal"
};

// Called from a signal handler. Notes are dropped when 64 are pending.
void NoteSignal(int sig, int kind, int value);

// Called from the main loop: logs every pending note in arrival order,
// "Receive signal" lines with LogEvent to console and log queue.
void FlushSignalNotes();
