// dialog_figures stall [width height]: the longest time the dialog's event loop went without
//     serving events while converting a 24-bit picture (default 6000 x 4000) to half its size
//     with anti-alias, next to the same figure for the idle dialog over the same time.
// dialog_figures startup [runs]: time from starting a process to its shown dialog, for the
//     program's dialog with the bundled plug-ins and for a bare Qt dialog.
//
// Both use the offscreen platform unless QT_QPA_PLATFORM says otherwise; the plug-ins are
// those beside this program (bin/plugins).
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "faltrix/app/application.h"
#include "faltrix/app/main_dialog.h"
#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"

namespace {

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

bool WriteBmp(const QString &path, int width, int height) {
    const qint64 stride = (int64_t{width} * 3 + 3) & ~int64_t{3};
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    QByteArray header(54, '\0');
    auto put = [&](int at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) header[at + i] = static_cast<char>(value >> (8 * i));
    };
    header[0] = 'B';
    header[1] = 'M';
    put(2, static_cast<uint32_t>(54 + stride * height), 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<uint32_t>(width), 4);
    put(22, static_cast<uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    put(34, static_cast<uint32_t>(stride * height), 4);
    file.write(header);
    QByteArray row(stride, '\0');
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<char>(x * 7 + y);
            row[3 * x + 1] = static_cast<char>(y * 3);
            row[3 * x + 2] = static_cast<char>(x ^ y);
        }
        file.write(row);
    }
    return true;
}

// The longest gap between the turns of a 1 ms timer, while `running` holds.
double LongestGapMs(const std::function<bool()> &running) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 longest = 0;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(1);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    timer.start();
    while (running())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    return static_cast<double>(longest) / 1e6;
}

int Stall(int width, int height) {
    QTemporaryDir work;
    const QString input = work.filePath(QStringLiteral("big.bmp"));
    if (!WriteBmp(input, width, height)) return 1;
    faltrix::MainDialog dialog(103);
    dialog.show();
    qobject_cast<QLineEdit *>(dialog.Control(faltrix::kInputPathField))->setText(input);
    qobject_cast<QLineEdit *>(dialog.Control(faltrix::kOutputPathField))
        ->setText(QStringLiteral("small.bmp"));
    qobject_cast<QLineEdit *>(dialog.Control(faltrix::kOutputWidthField))
        ->setText(QString::number(width / 2));
    qobject_cast<QLineEdit *>(dialog.Control(faltrix::kOutputHeightField))
        ->setText(QString::number(height / 2));
    qobject_cast<QCheckBox *>(dialog.Control(faltrix::kAntiAliasCheck))->setChecked(true);

    QElapsedTimer total;
    total.start();
    qobject_cast<QPushButton *>(dialog.Control(faltrix::kCodeButton))->click();
    const double busy = LongestGapMs([] { return faltrix::JobRunning(); });
    const qint64 jobMs = total.elapsed();
    const bool stored = faltrix::LastConversionOutcome() == faltrix::ConversionOutcome::Stored;

    QElapsedTimer idleClock;
    idleClock.start();
    const double idle = LongestGapMs([&] { return idleClock.elapsed() < jobMs; });
    std::printf("conversion %dx%d -> %dx%d, anti-alias: %s in %lld ms\n", width, height, width / 2,
                height / 2, stored ? "stored" : "FAILED", static_cast<long long>(jobMs));
    std::printf("longest event-loop gap: %.2f ms during the job, %.2f ms idle (ratio %.2f)\n", busy,
                idle, idle > 0 ? busy / idle : 0.0);
    dialog.done(0);
    return stored ? 0 : 1;
}

// Child of the startup figure: prints the monotonic time once its dialog has been shown and
// painted, then ends.
int StartupChild(QApplication &app, bool bare) {
    auto report = [] {
        std::printf("%lld\n", static_cast<long long>(MonotonicNs()));
        std::fflush(stdout);
    };
    if (bare) {
        QDialog dialog;
        new QLabel(QStringLiteral("Faltrix v1.01"), &dialog);
        QTimer::singleShot(0, &dialog, [&] {
            report();
            dialog.done(0);
        });
        return dialog.exec();
    }
    return faltrix::RunFaltrix(app, [report](faltrix::MainDialog &dialog) {
        QTimer::singleShot(0, &dialog, [report, &dialog] {
            report();
            dialog.done(0);
        });
    });
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

int Startup(int runs) {
    std::vector<double> program;
    std::vector<double> bare;
    for (int i = 0; i < 2 * runs; ++i) {
        const bool isBare = i % 2 == 1;
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("FALTRIX_INSTANCE_NAME"),
                           QStringLiteral("faltrix-figures-%1").arg(getpid()));
        if (!environment.contains(QStringLiteral("QT_QPA_PLATFORM"))) {
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        }
        child.setProcessEnvironment(environment);
        const int64_t start = MonotonicNs();
        child.start(QCoreApplication::applicationFilePath(),
                    {isBare ? QStringLiteral("startup-bare") : QStringLiteral("startup-child")});
        if (!child.waitForFinished(30000)) return 1;
        const int64_t shown = child.readAllStandardOutput().trimmed().toLongLong();
        if (shown <= start) return 1;
        (isBare ? bare : program).push_back(static_cast<double>(shown - start) / 1e6);
    }
    const double programMs = Median(program);
    const double bareMs = Median(bare);
    std::printf(
        "start to shown dialog (median of %d): %.1f ms with the bundled plug-ins, %.1f ms for a "
        "bare Qt "
        "dialog (ratio %.2f)\n",
        runs, programMs, bareMs, bareMs > 0 ? programMs / bareMs : 0.0);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    faltrix::InputPlugins();
    faltrix::OutputPlugins();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("stall");
    // A state folder of its own (children make theirs): what the user's last run left is
    // neither put back nor replaced.
    const QTemporaryDir state;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    if (mode == QStringLiteral("startup-child")) return StartupChild(app, false);
    if (mode == QStringLiteral("startup-bare")) return StartupChild(app, true);
    if (mode == QStringLiteral("startup")) return Startup(argc > 2 ? std::atoi(argv[2]) : 7);
    const int width = argc > 3 ? std::atoi(argv[2]) : 6000;
    const int height = argc > 3 ? std::atoi(argv[3]) : 4000;
    return Stall(width, height);
}
