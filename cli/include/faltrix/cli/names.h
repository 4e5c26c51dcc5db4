// File names in the converter: a name is bytes on disk and a QString here, the bytes that are
// not UTF-8 held as U+DC80..U+DCFF (see faltrix/text_qt.h). Every name that reaches the file
// system goes through these or NameBytes, never through Qt's file classes.
#pragma once

#include <sys/stat.h>
#include <QByteArray>
#include <QString>
#include <QStringList>

#include "faltrix/text_qt.h"

namespace faltrix {

// The program's arguments as their bytes say, argv[0] first.
QStringList ArgumentsFromArgv(int argc, char **argv);

// stat() of the file a name names; false when there is none (errno set).
bool StatName(const QString &name, struct stat *info);
bool IsFolder(const QString &name);
// Makes the folder and those above it that are missing; false when one cannot be made.
bool MakeFolders(const QString &name);

}  // namespace faltrix
