// signal_log.cpp -- the ring of signal notes between handlers and the loop.
#include "signal_log.h"

#include <atomic>

#include "logging.h"

namespace {

enum { NOTE_RING_SIZE = 64 };

struct SignalNote {
    std::atomic<int> ready;  // 1 when sig, kind and value are written
    int sig;
    int kind;
    int value;
};

SignalNote gNotes[NOTE_RING_SIZE];
std::atomic<unsigned> gWriteCount{0};
std::atomic<unsigned> gReadCount{0};  // advanced by the main loop only

static_assert(std::atomic<int>::is_always_lock_free, "signal-safe atomics");
static_assert(std::atomic<unsigned>::is_always_lock_free, "signal-safe atomics");

}  // namespace

void NoteSignal(int sig, int kind, int value) {
    unsigned n = gWriteCount.load();
    do {
        if (n - gReadCount.load() >= NOTE_RING_SIZE) return;  // full: drop the note
    } while (!gWriteCount.compare_exchange_weak(n, n + 1));
    SignalNote &note = gNotes[n % NOTE_RING_SIZE];
    note.sig = sig;
    note.kind = kind;
    note.value = value;
    note.ready.store(1);
}

void FlushSignalNotes() {
    while (gReadCount != gWriteCount.load()) {
        SignalNote &note = gNotes[gReadCount.load() % NOTE_RING_SIZE];
        if (note.ready.load() == 0) return;  // a handler is still writing it
        if (note.kind == SIGNAL_NOTE_PLAIN || note.kind == SIGNAL_NOTE_IGNORED) {
            LogEvent(LOG_CONSOLE | LOG_QUEUE, "Receive signal (%d)", note.sig);
        } else {
            LogEvent(LOG_CONSOLE | LOG_QUEUE, "Receive signal (%d) with value (%d)", note.sig,
                     note.value);
        }
        if (note.kind == SIGNAL_NOTE_UNDEFINED) LogInfo("undefined signal value");
        if (note.kind == SIGNAL_NOTE_IGNORED) {
            LogEvent(LOG_CONSOLE | LOG_QUEUE, "Do nothing for this signal");
        }
        note.ready.store(0);
        gReadCount++;
    }
}
