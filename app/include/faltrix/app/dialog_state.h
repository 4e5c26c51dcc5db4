// What the dialog keeps of a run in a small file of the user's state folder,
// $XDG_STATE_HOME/faltrix/dialog-state (~/.local/state when the variable is unset or not an
// absolute path): the fields, check boxes and plug-in choices as the user last set them, the
// plug-in calls under way, the storing temporaries in use, and whether the run ended cleanly.
// A run that crashes or is killed leaves the file as it last wrote it, which lets the next
// start put the dialog back, name the plug-in that was running and remove the temporary it
// was storing into.
//
// The file is one JSON object: "format" 1, "endedCleanly", "fields" and "checks" (objects by
// name), "inputPlugin" and "outputPlugin" (paths), "running" (an array of {"list": "input"
// or "output", "path"}) and "temporaries" (an array of paths, each the file system's bytes in
// hex, since a name need not be UTF-8). It is rewritten whole at every change through a temporary
// renamed over it, so a kill during a write leaves the file before it. A file that is missing,
// unreadable or not of this format counts as none.
#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include <mutex>
#include <optional>
#include <string_view>

#include "faltrix/plugin_list.h"

namespace faltrix {

// What the user set in the dialog; fields and check boxes by the names the dialog gives them.
struct DialogSettings {
    QMap<QString, QString> fields;
    QMap<QString, bool> checks;
    QString inputPlugin, outputPlugin;  // the chosen plug-ins' file paths; empty for none

    bool operator==(const DialogSettings &) const = default;
};

// A call into a plug-in that had not returned when the file was written.
struct RunningPlugin {
    PluginKind kind;
    QString path;

    bool operator==(const RunningPlugin &) const = default;
};

struct DialogRecord {
    DialogSettings settings;
    QList<RunningPlugin> running;   // in the order the calls started
    QList<QByteArray> temporaries;  // storing temporaries named and not yet gone
    bool endedCleanly = false;
};

class DialogState {
public:
    // Reads the file at `path` and removes the temporaries a run killed while storing left
    // (see RemoveTemporariesLeft); nothing is written before the first change.
    explicit DialogState(QString path = DefaultPath());
    // Stops watching plug-in calls (no job may run by then).
    ~DialogState();
    DialogState(const DialogState &) = delete;
    DialogState &operator=(const DialogState &) = delete;

    // $XDG_STATE_HOME/faltrix/dialog-state, with ~/.local/state for an unset, empty or
    // relative $XDG_STATE_HOME.
    static QString DefaultPath();
    // The record a state file holds; nothing when it is missing or unusable.
    static std::optional<DialogRecord> Read(const QString &path);

    // What the file held at construction when that run did not end cleanly; nothing otherwise.
    const std::optional<DialogRecord> &LeftByUncleanEnd() const { return leftByUncleanEnd_; }

    // Keeps the user's settings and writes them, the run marked as not ended.
    void Remember(DialogSettings settings);
    // From now on every call into a plug-in is recorded as running until it returns (through
    // the plug-in host's call hook; one state at a time watches).
    void WatchPluginCalls();
    // From now on SIGINT, SIGTERM and SIGHUP received while no plug-in call is under way end
    // the run like Exit (the file is removed, so the next start is fresh); received during a
    // call, they leave the file as a crash does. The signals then take their earlier course.
    void EndCleanlyWhenStoppedIdle();
    // Records a call into a plug-in as started or as returned; any thread.
    void NotePluginCall(PluginKind kind, std::u16string_view path, bool started);
    // From now on every storing temporary is recorded by name before its file is created, and
    // forgotten once it is gone (through the host's temporary observer; one state at a time
    // watches). However the run ends, even by SIGKILL, the next start finds the name.
    void WatchTemporaries();
    // Records a temporary's name as made (before the file exists) or as gone; any thread.
    void NoteTemporary(const QByteArray &path, bool made);
    // Removes the temporaries a record names, as far as they are the host's: a name whose
    // last part begins ".faltrix-" and that is a regular file; nothing else is touched.
    // Returns how many were removed.
    static int RemoveTemporariesLeft(const DialogRecord &record);
    // Marks the run as ended cleanly: written when this run wrote anything, otherwise the file
    // is left as it is (a run that changed nothing leaves no file behind).
    void EndCleanly();

private:
    // Writes the record whole; called with mutex_ held. Failures are ignored: the file is a
    // convenience, and the next change tries again.
    void Write();

    const QString path_;
    std::optional<DialogRecord> leftByUncleanEnd_;
    // Guards the record and the writing: the dialog's thread and a job's thread may both
    // change it.
    std::mutex mutex_;
    DialogRecord record_;
    bool written_ = false;
};

}  // namespace faltrix
