// The one stop handler, in a child process per case: what runs when a signal comes, and how
// the process ends. The hooks and the earlier handler leave their marks on a pipe, in order.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "faltrix/stop_signals.h"
#include "faltrix/temporaries.h"

namespace faltrix {
namespace {

int g_marks = -1;  // the pipe's write end, in the child
void Mark(char c) { (void)!::write(g_marks, &c, 1); }
void HookMark(int) { Mark('H'); }
void EarlierHandler(int) {
    Mark('E');
    ::_exit(7);
}

struct Case {
    const char *name;
    void (*run)();
    int ends;           // the child's exit code, or minus the signal that ends it
    const char *marks;  // what the child wrote, in order
};

const Case kCases[] = {
    {"HookThenDefaultAction",
     [] {
         AddStopHook(HookMark, false);
         ::raise(SIGTERM);
     },
     -SIGTERM, "H"},
    {"HookThenEarlierHandler",
     [] {
         ::signal(SIGINT, EarlierHandler);
         AddStopHook(HookMark, false);
         ::raise(SIGINT);
     },
     7, "HE"},
    {"IgnoredStaysIgnored",
     [] {
         ::signal(SIGHUP, SIG_IGN);
         AddStopHook(HookMark, false);
         ::raise(SIGHUP);
     },
     0, ""},
    {"RealFaultRunsFaultHook",
     [] {
         AddStopHook(HookMark, true);
         volatile int *nowhere = nullptr;
         *nowhere = 1;
     },
     -SIGSEGV, "H"},
    {"DeferredUntilEnded",
     [] {
         AddStopHook(HookMark, false);
         pollfd wake{DeferStopSignals(), POLLIN, 0};
         ::raise(SIGTERM);
         if (::poll(&wake, 1, 0) == 1 && DeferredStopSignal() == SIGTERM) Mark('D');
         EndByStopSignal();
     },
     -SIGTERM, "DH"},
    {"ResetInAChild",
     [] {
         AddStopHook(HookMark, true);
         ResetStopSignals();
         ::raise(SIGINT);
     },
     -SIGINT, ""},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class StopSignals : public testing::TestWithParam<Case> {};

TEST_P(StopSignals, RunsTheHooksAndEndsAsBefore) {
    const Case &c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reports a real fault itself and aborts; the plain build checks the hook.
    if (c.ends == -SIGSEGV) GTEST_SKIP() << "AddressSanitizer takes real faults itself";
#endif
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(ends[0]);
        g_marks = ends[1];
        ResetStopSignals();  // whatever this test program set up is not the case's
        c.run();
        ::_exit(0);
    }
    ::close(ends[1]);
    std::string marks;
    char buffer[16];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        marks.append(buffer, got);
    ::close(ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(marks, c.marks);
    EXPECT_EQ(WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status), c.ends);
}

INSTANTIATE_TEST_SUITE_P(Cases, StopSignals, testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Only the host's own temporaries, and only regular files, are removed by name.
TEST(RemoveHostTemporary, TakesOnlyTheHostsRegularFiles) {
    const std::string folder = testing::TempDir() + "host_temporary_test";
    ::mkdir(folder.c_str(), 0700);
    const std::string ours = folder + "/.faltrix-abc123.png", theirs = folder + "/picture.png",
                      link = folder + "/.faltrix-link.png";
    for (const std::string &path : {ours, theirs}) ::close(::creat(path.c_str(), 0600));
    ASSERT_EQ(::symlink(theirs.c_str(), link.c_str()), 0);
    EXPECT_TRUE(RemoveHostTemporary(ours.c_str()));
    EXPECT_FALSE(RemoveHostTemporary(theirs.c_str()));
    EXPECT_FALSE(RemoveHostTemporary(link.c_str()));
    EXPECT_FALSE(RemoveHostTemporary((folder + "/.faltrix-gone").c_str()));
    EXPECT_NE(::access(ours.c_str(), F_OK), 0);
    for (const std::string &path : {theirs, link}) EXPECT_EQ(::unlink(path.c_str()), 0) << path;
    ::rmdir(folder.c_str());
}

}  // namespace
}  // namespace faltrix
