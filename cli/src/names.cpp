#include "faltrix/cli/names.h"

#include <cerrno>

namespace faltrix {

QStringList ArgumentsFromArgv(int argc, char **argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << NameFromBytes(QByteArray(argv[i]));
    return arguments;
}

bool StatName(const QString &name, struct stat *info) {
    if (name.isEmpty()) {
        errno = ENOENT;
        return false;
    }
    return ::stat(NameBytes(name).constData(), info) == 0;
}

bool IsFolder(const QString &name) {
    struct stat info {};
    return StatName(name, &info) && S_ISDIR(info.st_mode);
}

bool MakeFolders(const QString &name) {
    const QByteArray path = NameBytes(name);
    for (qsizetype slash = path.indexOf('/', 1);; slash = path.indexOf('/', slash + 1)) {
        const QByteArray part = slash < 0 ? path : path.left(slash);
        if (!part.isEmpty() && ::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return false;
        if (slash < 0) break;
    }
    return IsFolder(name);
}

}  // namespace faltrix
