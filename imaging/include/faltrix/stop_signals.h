// The program's one handler of the signals that stop it: SIGINT, SIGTERM and SIGHUP from
// outside, and, for those who ask, the signals of a fault of its own code (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGABRT). Each part of the program adds what must happen before the process
// ends (remove its temporaries, mark a state file); the signal then takes the course it had
// before the handler was put in place: the earlier handler, or the default action. A signal
// that is ignored stays ignored. The dialog, the converter and its workers all set up their
// signals here.
#pragma once

namespace faltrix {

// Runs in the signal handler, on whatever thread the signal came to: async-signal-safe calls
// only (unlink, write, atomics).
using StopHook = void (*)(int signal);

// Adds `hook`, run on each stop signal, and with `faults` on each fault signal too, and puts
// the handler in place for those signals if it is not yet. Adding a hook again changes nothing.
// At most a handful of hooks are kept; false when there is no room. Call from the thread that
// sets up the process, not from a handler.
bool AddStopHook(StopHook hook, bool faults);

// From now on a stop signal is only noted, not acted on, so that the program can wind down
// first (stop its workers, say) and then end by it with EndByStopSignal. Returns a descriptor
// that becomes readable at each stop signal, for a poll loop to wake; -1 if none could be made
// (the signal is still noted).
int DeferStopSignals();

// The stop signal noted since DeferStopSignals (the first one), or 0.
int DeferredStopSignal();

// Ends the process by the noted stop signal as if it had never been deferred: the hooks run,
// then the signal's earlier course. Returns at once when none was noted.
void EndByStopSignal();

// In a child just forked: the stop signals back to the action they had before the handler
// took them (an ignored one stays ignored), with no hooks and nothing deferred, so that the
// child sets up its own.
void ResetStopSignals();

}  // namespace faltrix
