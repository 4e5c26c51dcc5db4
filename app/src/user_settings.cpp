// The dialog's settings between runs.
#include "faltrix/app/user_settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace faltrix {
namespace {

using namespace Qt::StringLiterals;

// The fields kept: the output size is the user's choice; the rest belongs to a picture.
const QString kKeptFields[] = {u"outputWidth"_s, u"outputHeight"_s};

QString FolderKey(PluginKind kind) {
    return kind == PluginKind::Input ? u"folders/input"_s : u"folders/output"_s;
}

}  // namespace

UserSettings::UserSettings(const QString &path) : settings_(path, QSettings::IniFormat) {}

QString UserSettings::DefaultPath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(base)) base = QDir::homePath() + u"/.config"_s;
    return base + u"/faltrix/faltrix.conf"_s;
}

QString UserSettings::PluginSettingsPath() {
    return QFileInfo(DefaultPath()).absolutePath() + u"/plugins.conf"_s;
}

void UserSettings::NamePluginSettingsFile() {
    if (QCoreApplication *app = QCoreApplication::instance())
        app->setProperty("faltrixPluginSettings", PluginSettingsPath());
}

QString UserSettings::Folder(PluginKind kind) const {
    return settings_.value(FolderKey(kind)).toString();
}

void UserSettings::SetFolder(PluginKind kind, const QString &folder) {
    settings_.setValue(FolderKey(kind), folder);
    settings_.sync();
}

void UserSettings::Keep(const DialogSettings &settings) {
    for (const QString &name : kKeptFields) {
        if (settings.fields.contains(name))
            settings_.setValue(u"fields/"_s + name, settings.fields.value(name));
    }
    for (auto it = settings.checks.cbegin(); it != settings.checks.cend(); ++it) {
        settings_.setValue(u"checks/"_s + it.key(), it.value());
    }
    settings_.setValue(u"plugins/input"_s, QFileInfo(settings.inputPlugin).fileName());
    settings_.setValue(u"plugins/output"_s, QFileInfo(settings.outputPlugin).fileName());
    settings_.sync();
}

DialogSettings UserSettings::Kept() const {
    DialogSettings kept;
    for (const QString &name : kKeptFields) {
        const QVariant value = settings_.value(u"fields/"_s + name);
        if (value.isValid()) kept.fields.insert(name, value.toString());
    }
    settings_.beginGroup(u"checks"_s);
    for (const QString &name : settings_.childKeys())
        kept.checks.insert(name, settings_.value(name).toBool());
    settings_.endGroup();
    kept.inputPlugin = settings_.value(u"plugins/input"_s).toString();
    kept.outputPlugin = settings_.value(u"plugins/output"_s).toString();
    return kept;
}

}  // namespace faltrix
