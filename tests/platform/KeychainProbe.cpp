// Reads, writes or removes one secret through the desktop's keyring, in a process of its own: the
// D-Bus session a process first talks to is the one it keeps, so each desktop a test plays needs a
// new process. Prints the outcome as one JSON line.
#include "platform/KeychainSecretStore.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || (args[1] != u"available" && args.size() < 3))
        return 2;
    KeychainSecretStore store;
    QJsonObject out;
    const QString op = args[1];
    if (op == u"read") {
        const SecretStore::Read r = store.read(args[2]);
        const char *status[] = {"found", "notfound", "unavailable", "refused"};
        out = {{"status", status[int(r.status)]}, {"secret", r.secret}, {"detail", r.detail}};
    } else if (op == u"write" && args.size() == 4) {
        const std::optional<Failure> f = store.write(args[2], args[3]);
        out = {{"failure", f ? f->description : QString()}};
    } else if (op == u"remove") {
        const std::optional<Failure> f = store.remove(args[2]);
        out = {{"failure", f ? f->description : QString()}};
    } else if (op == u"available") {
        out = {{"available", store.available()}};
    }
    std::puts(QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    // Out before any exit handler of a sanitizer build can end the process.
    std::fflush(stdout);
    return 0;
}
