// Running one check in a child process of its own, so that a plug-in that crashes, hangs or
// ends the process fails that check alone and the checker goes on with the next.
//
// The child reports on a pipe, one line per event: each call into the plug-in as it starts and
// as it returns (with its time and peak memory), a value for the parent (what a later check
// needs to know), and the check's verdict. When the child dies or stops answering, the parent
// blames the call that had started and not returned.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace faltrix::check {

// What the child measured of one call that returned.
struct CallRecord {
    std::string call;  // "GetPictureDIB(sample)"
    double milliseconds = 0;
    long peakKiB = -1;  // the process's peak resident memory during the call; -1 when unknown
};

struct CheckOutcome {
    enum class Verdict { Passed, Failed, Skipped } verdict = Verdict::Passed;
    std::string reason;  // why it failed or was skipped
    std::vector<CallRecord> calls;
    std::map<std::string, std::string> values;  // Tell()'s, by key
};

// Runs body in a forked child; each call into the plug-in may take up to `limit` before the
// child is killed and the check failed for hanging. The parent must not have threads.
CheckOutcome RunInChild(const std::function<void()> &body, std::chrono::milliseconds limit);

// ---- In the child -------------------------------------------------------------------------

// Ends the check as failed (or skipped), with the reason.
[[noreturn]] void Fail(std::string_view reason);
[[noreturn]] void Skip(std::string_view reason);
// A value the parent receives in CheckOutcome::values.
void Tell(std::string_view key, std::string_view value);

// Marks `call` as started, for blame should the process die in it; Returned ends the mark and
// reports the call's time and peak memory. Safe from several threads.
struct CallMark {
    long id;
    std::chrono::steady_clock::time_point start;
};
CallMark Started(std::string call);
void Returned(const CallMark &mark);

// Calls fn() between Started and Returned and answers what it answers.
template <class Fn>
auto Traced(std::string call, Fn &&fn) {
    const CallMark mark = Started(std::move(call));
    if constexpr (std::is_void_v<decltype(fn())>) {
        fn();
        Returned(mark);
    } else {
        auto answer = fn();
        Returned(mark);
        return answer;
    }
}

}  // namespace faltrix::check
