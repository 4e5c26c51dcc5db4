// faltrix-convert: converts pictures on the command line through the Faltrix plug-ins.
#include <QCoreApplication>
#include <cstdio>

#include "faltrix/cli/convert.h"
#include "faltrix/cli/names.h"

int main(int argc, char **argv) {
    // The arguments from their bytes, before Qt sees them: QCoreApplication::arguments() would
    // turn a name's bytes that are not UTF-8 into U+FFFD.
    const QStringList arguments = faltrix::ArgumentsFromArgv(argc, argv);
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("faltrix-convert"));

    const faltrix::ParsedCommandLine parsed = faltrix::ParseCommandLine(arguments);
    switch (parsed.action) {
    case faltrix::ParsedCommandLine::Help:
    case faltrix::ParsedCommandLine::Version:
        std::fputs(parsed.text.toUtf8().constData(), stdout);
        return faltrix::kExitConverted;
    case faltrix::ParsedCommandLine::UsageError:
        // One line, as every usage error: a batch's mistake is said once.
        std::fprintf(stderr, "faltrix-convert: %s\n", faltrix::Printable(parsed.text).constData());
        return faltrix::kExitUsage;
    case faltrix::ParsedCommandLine::Run: break;
    }
    return faltrix::RunConvert(parsed.options);
}
