// Conversions in child processes of their own (forks of this program), so that a plug-in
// that crashes or hangs on one file fails that file alone, with a word about it.
#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "faltrix/cli/convert.h"

namespace faltrix {

// What a child runs: converts the task, reporting over `reportFd` (see WorkerFrontEnd), and
// answers its exit code.
using ConvertInChild = std::function<int(const FileTask &task, int reportFd)>;

// Converts one file in a child, its reports shown by `terminal` as they come, stopped after
// options.timeoutSeconds (0: never). A crash or a stop names the plug-in that was running.
FileResult ConvertInWorker(const ConvertOptions &options, const PlannedTask &task,
                           const ConvertInChild &convert, TerminalFrontEnd *terminal);

// Told of each file as it ends, after its lines are printed.
using RecordResult = std::function<void(const FileTask &task, const FileResult &result)>;

// Runs the planned tasks, options.jobs at a time, each child stopped after
// options.timeoutSeconds (0: never). Reports each file as it ends and, when any failed, a
// summary of which and why. Returns kExitConverted or kExitFailed.
int RunBatch(const ConvertOptions &options, const std::vector<PlannedTask> &planned,
             const ConvertInChild &convert, bool onTerminal, const RecordResult &record);

// Where a child also reports its temporaries' names (see WorkerFrontEnd), for removal once
// every process of this run has gone; -1 when there is no such place.
int SweeperFd();

// The summary of a run that passed over files found by --recursive as no pictures, on
// standard output unless quiet: "N converted, M skipped (not a picture), K failed".
void PrintNotPictures(size_t converted, size_t notPictures, size_t failed, Verbosity verbosity);

// A file of this process's own making, named ".faltrix-..." (a copy of standard input, say),
// `made` or gone: the sweeper removes it if this process dies before it can.
void TrackScratchFile(const QByteArray &path, bool made);

// After SIGINT, SIGTERM or SIGHUP interrupted the children: ends this process by that signal
// (the children are stopped and their temporaries gone by then). Returns otherwise.
void EndIfInterrupted();

}  // namespace faltrix
