// The one job slot shared by the conversion job and the preview job: at most one job runs at
// a time, and front ends can ask whether one runs or wait for it to end.
#pragma once

#include <array>
#include <functional>

#include "faltrix/conversion_job.h"

namespace faltrix::job_slot {

// Takes the slot when it is free; false when a job holds it.
bool TryAcquire();
// Takes the slot, waiting for a running job to end first.
void Acquire();
// Frees the slot and wakes whoever waits for it.
void Release();

// Starts `job` on a thread of its own, which frees the slot when the job returns. The slot
// must be held. False when no thread could be made (the slot is then still held).
bool StartThread(std::function<void()> job);

// Starts a job: takes the slot, lets `write` fill in the job's request, disables the controls
// here, before the thread exists, so that no command slips in between, and runs `job` on a
// thread of its own. False, with nothing done, while a job holds the slot; false, with the
// controls enabled again and the slot freed, when no thread could be made.
bool StartJob(const ControlSet &controls, const std::function<void()> &write,
              std::function<void()> job);

// A job's own terminated copy of one of the global path buffers, whatever the buffer holds,
// taken when the job starts and handed to the plug-ins.
using JobPath = std::array<char16_t, kPathBufferLength>;
JobPath CopyJobPath(const char16_t (&buffer)[kPathBufferLength]);

}  // namespace faltrix::job_slot
