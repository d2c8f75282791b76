// Sends one mail and ends the process without SendMailShutdown(): the kept session must still be
// ended cleanly at exit. Arguments: server text, optional CA file.
#include "platform/mail/SendMail.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 64;
    SendMailOptions options;
    options.connectTimeoutSeconds = 5;
    options.responseTimeoutSeconds = 5;
    if (argc > 2)
        options.caFile = QString::fromLocal8Bit(argv[2]);
    setSendMailOptions(options);
    const QString result =
        SendMail(QString::fromLocal8Bit(argv[1]), ">Content-Type: text/plain;\t<taro@example.com>",
                 "Probe <probe@example.com>", "exit", "body", {});
    if (!result.isEmpty()) {
        std::fprintf(stderr, "%s\n", result.toUtf8().constData());
        return 1;
    }
    return 0;
}
