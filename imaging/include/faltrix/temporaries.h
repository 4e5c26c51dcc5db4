// The temporaries a job stores its picture in before putting it in place, seen from outside
// the job: their removal when the process is stopped, and their names for a parent process
// that may have to remove them when this one cannot.
#pragma once

namespace faltrix {

// From now on SIGINT, SIGTERM and SIGHUP, and the crash signals (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGABRT), first remove the process's live temporaries and then take the course they
// would have taken without this: the handler in place before, or the default action. A signal
// that is ignored stays ignored. Call once, early, from the thread that sets up the process.
void RemoveTemporariesOnSignals();

// Tells `made` each temporary's name (the file system's bytes) after the file is created and
// before a plug-in is given it, and `ended` the same name once it is gone (put in place or
// removed). Called on the job's thread; nullptr for either turns it off.
using TemporaryObserver = void (*)(const char *path);
void ObserveTemporaries(TemporaryObserver made, TemporaryObserver ended);

}  // namespace faltrix
