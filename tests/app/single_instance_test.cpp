// One instance at a time: a second start asks the first to come to the front and ends with 0;
// the lock of a killed instance does not block the next start.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QUuid>

#include <signal.h>

#include "faltrix/app/single_instance.h"
#include "test_support.h"

namespace faltrix {
namespace {

QString PrivateName() {
    return QStringLiteral("faltrix-test-") + QUuid::createUuid().toString(QUuid::Id128);
}

// Starts the program with a private instance name on the offscreen platform.
void StartProgram(QProcess &process, const QString &name, const QStringList &arguments = {}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FALTRIX_INSTANCE_NAME"), name);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(FALTRIX_EXECUTABLE), arguments);
}

TEST(SingleInstance, SecondStartAsksTheFirstToComeToTheFrontAndEndsWithZero) {
    test::App();
    const QString name = PrivateName();
    SingleInstance first(name);
    ASSERT_TRUE(first.TryBecomeFirst());
    int raised = 0;
    QObject::connect(&first, &SingleInstance::RaiseRequested, [&raised] { ++raised; });

    // The command line is ignored: arguments change nothing.
    QProcess second;
    StartProgram(second, name, {QStringLiteral("--some"), QStringLiteral("picture.png")});
    ASSERT_TRUE(second.waitForStarted());
    ASSERT_TRUE(test::WaitUntil([&] { return second.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(test::WaitUntil([&] { return raised == 1; }, 5000));
}

TEST(SingleInstance, OnlyOneHolderAtATime) {
    test::App();
    const QString name = PrivateName();
    SingleInstance first(name);
    ASSERT_TRUE(first.TryBecomeFirst());
    SingleInstance second(name);
    EXPECT_FALSE(second.TryBecomeFirst());
    EXPECT_TRUE(second.AskFirstToRaise());
}

TEST(SingleInstance, LockOfAKilledInstanceIsTakenOver) {
    test::App();
    const QString name = PrivateName();
    SingleInstance probe(name);
    QProcess running;
    StartProgram(running, name);
    ASSERT_TRUE(running.waitForStarted());
    // The program holds its lock once the lock file and its socket exist.
    ASSERT_TRUE(test::WaitUntil([&] { return QFile::exists(probe.SocketPath()); }, 20000));
    {
        SingleInstance blocked(name);
        EXPECT_FALSE(blocked.TryBecomeFirst());
    }
    ::kill(static_cast<pid_t>(running.processId()), SIGKILL);
    ASSERT_TRUE(running.waitForFinished());
    EXPECT_TRUE(QFile::exists(probe.LockPath()));

    SingleInstance next(name);
    EXPECT_TRUE(next.TryBecomeFirst());
}

}  // namespace
}  // namespace faltrix
