// A batch: every file converted by a child process of its own (this program in its hidden
// worker mode), so that a plug-in that crashes or hangs on one file fails that file alone.
#pragma once

#include <QString>
#include <vector>

#include "faltrix/cli/convert.h"

namespace faltrix {

// The descriptor on which a worker reports to its parent (one line per event).
inline constexpr int kWorkerReportFd = 3;

// The arguments of the worker that converts one task with these options.
QStringList WorkerArguments(const ConvertOptions &options, const FileTask &task);

// Runs the planned tasks, options.jobs at a time, each child stopped after
// options.timeoutSeconds (0: never). Reports each file as it ends and, when any failed, a
// summary of which and why. Returns kExitConverted or kExitFailed.
int RunBatch(const ConvertOptions &options, const std::vector<PlannedTask> &planned, const QString &executable,
             bool onTerminal);

}  // namespace faltrix
