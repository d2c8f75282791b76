// velmora-send JOB: sends a mailing saved from the window, without a window.
#include "cli/SendCommand.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    const ParsedCommand parsed = parseSendCommand(QCoreApplication::arguments().mid(1));
    if (!parsed.options) {
        if (!parsed.error.isEmpty()) {
            std::fprintf(stderr, "velmora-send: %s\n%s\n", parsed.error.toUtf8().constData(),
                         "使い方は velmora-send --help または man velmora-send をご覧ください。");
            return int(SendExit::Usage);
        }
        std::fputs(parsed.help.toUtf8().constData(), stdout);
        std::fputc('\n', stdout);
        return 0;
    }
    return runSendCommand(*parsed.options);
}
