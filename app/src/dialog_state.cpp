// The dialog's state file: reading it at start, rewriting it whole at every change.
#include "faltrix/app/dialog_state.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "faltrix/stop_signals.h"
#include "faltrix/temporaries.h"

namespace faltrix {
namespace {

using namespace Qt::StringLiterals;

// Told apart from any other JSON a file of that name might hold; a later format takes 2.
constexpr int kFormat = 1;

QLatin1String KindName(PluginKind kind) {
    return kind == PluginKind::Input ? QLatin1String("input") : QLatin1String("output");
}

// The state that the plug-in host's call hook reports to. The hook is a plain function, so
// the state it serves is found here.
std::atomic<DialogState *> g_watching{nullptr};

void TellWatchingState(PluginKind kind, std::u16string_view path, bool started) {
    if (DialogState *state = g_watching.load()) state->NotePluginCall(kind, path, started);
}

// The state that the host's temporary observer reports to, for the same reason.
std::atomic<DialogState *> g_watchingTemporaries{nullptr};

void TemporaryMade(const char *path) {
    if (DialogState *state = g_watchingTemporaries.load())
        state->NoteTemporary(QByteArray(path), true);
}

void TemporaryGone(const char *path) {
    if (DialogState *state = g_watchingTemporaries.load())
        state->NoteTemporary(QByteArray(path), false);
}

// A stop by SIGINT, SIGTERM or SIGHUP while no plug-in call is under way ends the run like
// Exit: the file is removed, and the next start is fresh. A stop during a call (how a hanging
// plug-in gets ended) leaves the file as a crash does. A hook of the one stop handler, which
// then lets the signal go on: async-signal-safe, an atomic counter and unlink() of a name
// prepared beforehand.
std::atomic<int> g_callsUnderWay{0};
char g_stopPath[PATH_MAX];

void OnStop(int) {
    if (g_callsUnderWay.load() == 0 && g_stopPath[0] != 0) (void)unlink(g_stopPath);
}

}  // namespace

DialogState::DialogState(QString path) : path_(std::move(path)) {
    std::optional<DialogRecord> left = Read(path_);
    if (left) RemoveTemporariesLeft(*left);
    if (left && !left->endedCleanly) leftByUncleanEnd_ = std::move(left);
}

DialogState::~DialogState() {
    DialogState *self = this;
    if (g_watching.compare_exchange_strong(self, nullptr)) SetPluginCallHook(nullptr);
    self = this;
    if (g_watchingTemporaries.compare_exchange_strong(self, nullptr))
        ObserveTemporaries(nullptr, nullptr);
}

int DialogState::RemoveTemporariesLeft(const DialogRecord &record) {
    int removed = 0;
    for (const QByteArray &path : record.temporaries) {
        // Only what the host names its temporaries, and only a file: a record that was edited
        // or damaged must not make this remove anything else.
        if (!path.contains('\0') && RemoveHostTemporary(path.constData())) ++removed;
    }
    return removed;
}

QString DialogState::DefaultPath() {
    QString home = qEnvironmentVariable("XDG_STATE_HOME");
    // The XDG base directory rules count a relative path as unset.
    if (!QDir::isAbsolutePath(home)) home = QDir::homePath() + QStringLiteral("/.local/state");
    return home + QStringLiteral("/faltrix/dialog-state");
}

std::optional<DialogRecord> DialogState::Read(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    const QJsonObject root = document.object();
    if (root.value(u"format").toInt() != kFormat) return std::nullopt;
    DialogRecord record;
    record.endedCleanly = root.value(u"endedCleanly").toBool();
    const QJsonObject fields = root.value(u"fields").toObject();
    for (auto it = fields.begin(); it != fields.end(); ++it)
        record.settings.fields.insert(it.key(), it->toString());
    const QJsonObject checks = root.value(u"checks").toObject();
    for (auto it = checks.begin(); it != checks.end(); ++it)
        record.settings.checks.insert(it.key(), it->toBool());
    record.settings.inputPlugin = root.value(u"inputPlugin").toString();
    record.settings.outputPlugin = root.value(u"outputPlugin").toString();
    for (const QJsonValue entry : root.value(u"temporaries").toArray())
        record.temporaries.append(QByteArray::fromHex(entry.toString().toLatin1()));
    for (const QJsonValue entry : root.value(u"running").toArray()) {
        const QString list = entry[u"list"].toString();
        const QString runningPath = entry[u"path"].toString();
        // An entry of a list this program does not have says nothing it could act on.
        if (list == KindName(PluginKind::Input))
            record.running.append({PluginKind::Input, runningPath});
        if (list == KindName(PluginKind::Output))
            record.running.append({PluginKind::Output, runningPath});
    }
    return record;
}

void DialogState::Remember(DialogSettings settings) {
    const std::lock_guard lock(mutex_);
    if (written_ && !record_.endedCleanly && record_.settings == settings) return;
    record_.settings = std::move(settings);
    record_.endedCleanly = false;
    Write();
}

void DialogState::WatchPluginCalls() {
    g_watching.store(this);
    SetPluginCallHook(TellWatchingState);
}

void DialogState::EndCleanlyWhenStoppedIdle() {
    const QByteArray name = QFile::encodeName(path_);
    if (name.size() >= PATH_MAX) return;
    std::memcpy(g_stopPath, name.constData(), static_cast<size_t>(name.size()) + 1);
    AddStopHook(OnStop, false);
}

void DialogState::NotePluginCall(PluginKind kind, std::u16string_view path, bool started) {
    const RunningPlugin call{kind,
                             QString::fromUtf16(path.data(), static_cast<qsizetype>(path.size()))};
    g_callsUnderWay += started ? 1 : -1;
    const std::lock_guard lock(mutex_);
    if (started) {
        record_.running.append(call);
    } else {
        record_.running.removeOne(call);
    }
    record_.endedCleanly = false;
    Write();
}

void DialogState::WatchTemporaries() {
    g_watchingTemporaries.store(this);
    ObserveTemporaries(TemporaryMade, TemporaryGone);
}

void DialogState::NoteTemporary(const QByteArray &path, bool made) {
    // The next start may run in another folder.
    const QByteArray absolute =
        path.startsWith('/') ? path : QFile::encodeName(QDir::currentPath()) + '/' + path;
    const std::lock_guard lock(mutex_);
    if (made) {
        record_.temporaries.append(absolute);
    } else {
        record_.temporaries.removeOne(absolute);
    }
    record_.endedCleanly = false;
    Write();
}

void DialogState::EndCleanly() {
    const std::lock_guard lock(mutex_);
    if (!written_) return;
    record_.endedCleanly = true;
    Write();
}

void DialogState::Write() {
    written_ = true;
    QJsonObject fields, checks;
    for (auto it = record_.settings.fields.cbegin(); it != record_.settings.fields.cend(); ++it) {
        fields.insert(it.key(), it.value());
    }
    for (auto it = record_.settings.checks.cbegin(); it != record_.settings.checks.cend(); ++it) {
        checks.insert(it.key(), it.value());
    }
    QJsonArray running;
    for (const RunningPlugin &call : record_.running) {
        running.append(QJsonObject{{u"list"_s, KindName(call.kind)}, {u"path"_s, call.path}});
    }
    QJsonArray temporaries;
    for (const QByteArray &temporary : record_.temporaries)
        temporaries.append(QString::fromLatin1(temporary.toHex()));
    const QJsonObject root{{u"format"_s, kFormat},
                           {u"endedCleanly"_s, record_.endedCleanly},
                           {u"fields"_s, fields},
                           {u"checks"_s, checks},
                           {u"inputPlugin"_s, record_.settings.inputPlugin},
                           {u"outputPlugin"_s, record_.settings.outputPlugin},
                           {u"running"_s, running},
                           {u"temporaries"_s, temporaries}};
    // The folder holds what the user typed, so it is the user's alone, as the XDG base
    // directory rules ask.
    const QString folder = QFileInfo(path_).absolutePath();
    QDir().mkpath(QFileInfo(folder).absolutePath());
    QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(QJsonDocument(root).toJson());
    file.commit();
}

}  // namespace faltrix
