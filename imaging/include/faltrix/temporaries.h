// The temporaries a job stores its picture in before putting it in place, seen from outside
// the job: their removal when the process is stopped, and their names for a parent process
// that may have to remove them when this one cannot.
#pragma once

namespace faltrix {

// From now on SIGINT, SIGTERM and SIGHUP, and the crash signals (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGABRT), first remove the process's live temporaries and then take the course they
// would have taken without this: the handler in place before, or the default action. A signal
// that is ignored stays ignored. Call once, early, from the thread that sets up the process.
// (A hook of the program's one signal handler, faltrix/stop_signals.h.)
void RemoveTemporariesOnSignals();

// Removes `path` if it is one of the host's temporaries: a regular file (not a link) whose
// name begins ".faltrix-". Anything else is left alone, so that a name read back from a
// worker or a record on disk cannot make this remove another file. True when removed.
// Async-signal-safe (lstat and unlink only); every path that removes temporaries by name,
// the signal handler's included, comes here.
bool RemoveHostTemporary(const char *path);

// Tells `made` each temporary's name (the file system's bytes) before the file is created,
// so that whoever records it has the name whenever the process is stopped from then on, and
// `ended` the same name once it is gone (put in place, removed, or never created because the
// name was taken). Called on the job's thread; nullptr for either turns it off.
using TemporaryObserver = void (*)(const char *path);
void ObserveTemporaries(TemporaryObserver made, TemporaryObserver ended);

}  // namespace faltrix
