// Server text, recipients and sender as the operator could type them. Whatever is accepted must
// be safe to put into an SMTP command and a header, and must read back as exactly itself.
#include "FuzzInput.h"
#include "platform/mail/MailAddress.h"
#include "platform/mail/MailArguments.h"
#include "platform/mail/MailServer.h"

#include <cstdlib>

namespace
{

bool hasControlOrSpace(const QString &s)
{
    for (const QChar c : s)
        if (c.unicode() < 0x21 || c.unicode() == 0x7f)
            return true;
    return false;
}

// An address the library accepted is accepted again, unchanged.
void checkAddress(const QString &address)
{
    // White space only inside a quoted local part
    const bool quoted = address.startsWith(u'"');
    for (const QChar c : address)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || (c == u' ' && !quoted) || c == u'<' || c == u'>')
            std::abort();
    if (address.compare(QLatin1String("postmaster"), Qt::CaseInsensitive) == 0)
        return;
    const CheckedAddress again = checkMailAddress(address);
    if (!again.reason.isEmpty() || again.address != address)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    const QString serverText = in.next();
    const QString recipients = in.next();
    const QString sender = in.next();
    const QString address = in.next();

    const MailServerParse server = parseMailServer(serverText);
    if (server.error.isEmpty()) {
        const MailServer &s = server.server;
        if (s.kind == MailServer::Kind::Outbox) {
            if (s.folder.isEmpty() || !s.folder.startsWith(u'/'))
                std::abort();
        } else {
            if (s.port < 1 || s.port > 65535 || s.host.isEmpty() || hasControlOrSpace(s.host))
                std::abort();
            for (const char c : s.curlUrl())
                if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) >= 0x7f)
                    std::abort();
        }
    }

    const MailRecipient r = parseRecipients(recipients);
    if (r.error.isEmpty())
        checkAddress(r.address);

    const MailSender from = parseSender(sender);
    if (from.error.isEmpty()) {
        checkAddress(from.address);
        for (const QChar c : from.name)
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                std::abort();
    }

    const CheckedAddress checked = checkMailAddress(address);
    if (checked.reason.isEmpty())
        checkAddress(checked.address);
    // The shortcut for plain addresses answers exactly as the parser does.
    const CheckedAddress parsed = parseMailAddress(address);
    if (parsed.address != checked.address || parsed.reason != checked.reason ||
        parsed.utf8LocalPart != checked.utf8LocalPart)
        std::abort();
    return 0;
}
