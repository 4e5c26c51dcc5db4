// The file-name conversions of faltrix/text.h for the Qt front ends, where a name is a QString
// with the bytes that are not UTF-8 held as U+DC80..U+DCFF, the form the plug-ins get. Qt's own
// conversions (QFile::encodeName, QCoreApplication::arguments(), QFileInfo::exists) turn such
// bytes into U+FFFD and would name another file. Header only: the text library stays free of Qt.
#pragma once

#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QString>
#include <climits>
#include <string>

#include "faltrix/text.h"

namespace faltrix {

inline std::u16string_view UnitsOf(const QString &text) {
    return {reinterpret_cast<const char16_t *>(text.utf16()), static_cast<size_t>(text.size())};
}

// The name's QString form, whatever its bytes.
inline QString NameFromBytes(const QByteArray &bytes) {
    const std::u16string units =
        PathBytesToUtf16(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    return QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
}

// The bytes a name stands for. A QString that names no file (a surrogate that stands for no
// byte, which no name from the command line or the disk gives) is taken as far as it goes,
// its other surrogates as U+FFFD.
inline QByteArray NameBytes(const QString &name) {
    std::string bytes;
    if (!Utf16ToPathBytes(UnitsOf(name), &bytes)) bytes = Utf16ToUtf8(UnitsOf(name));
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The name made absolute against the current folder, cleaned of "." and "..". In place of
// QFileInfo::absoluteFilePath(), which turns escaped bytes into U+FFFD (its other string work,
// fileName(), path(), suffix(), and QDir::cleanPath() and filePath(), keeps them).
inline QString AbsoluteName(const QString &name) {
    if (name.startsWith(u'/')) return QDir::cleanPath(name);
    char here[PATH_MAX];
    const QString folder = ::getcwd(here, sizeof here) != nullptr ? NameFromBytes(QByteArray(here))
                                                                  : QDir::currentPath();
    return QDir::cleanPath(folder + u'/' + name);
}

// Text with names in it as UTF-8 for a terminal, control characters and escaped bytes written
// out as "\x1b", "\xe9" (see ShownText).
inline QByteArray Printable(const QString &text) {
    const std::string shown = ShownText(UnitsOf(text));
    return QByteArray(shown.data(), static_cast<qsizetype>(shown.size()));
}

// The same for a label or a message box.
inline QString Shown(const QString &text) { return QString::fromUtf8(Printable(text)); }

// A JSON string, quotes included, that gives the name back exactly (see JsonString).
inline QByteArray JsonText(const QString &text) {
    const std::string json = JsonString(UnitsOf(text));
    return QByteArray(json.data(), static_cast<qsizetype>(json.size()));
}

}  // namespace faltrix
