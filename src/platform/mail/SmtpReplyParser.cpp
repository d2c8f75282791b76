#include "platform/mail/SmtpReplyParser.h"

#include <cstring>

namespace
{

// A reply line that never ends is a server we do not understand, not a reason to buffer forever.
constexpr qsizetype LongestReply = 64 * 1024;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

void SmtpReplyParser::append(const char *data, qsizetype size)
{
    if (m_start > 0) {
        m_buffer.remove(0, m_start);
        m_start = 0;
    }
    m_buffer.append(data, size);
}

void SmtpReplyParser::clear()
{
    m_buffer.clear();
    m_start = 0;
}

SmtpReplyParser::Result SmtpReplyParser::next(SmtpReply *reply)
{
    const auto consumedTo = [this](qsizetype pos) {
        if (pos == m_buffer.size()) {
            m_buffer.resize(0);
            m_start = 0;
        } else {
            m_start = pos;
        }
    };
    SmtpReply r;
    bool first = true; // a code of 000 is a code too
    qsizetype pos = m_start;
    for (;;) {
        const char *begin = m_buffer.constData() + pos;
        const qsizetype left = m_buffer.size() - pos;
        const void *newline = left > 0 ? std::memchr(begin, '\n', size_t(left)) : nullptr;
        if (!newline)
            return m_buffer.size() - m_start > LongestReply ? Result::Malformed : Result::Incomplete;
        const qsizetype lineEnd = static_cast<const char *>(newline) - m_buffer.constData();
        qsizetype length = lineEnd - pos;
        if (length > 0 && begin[length - 1] == '\r')
            --length;
        if (length < 3 || !isDigit(begin[0]) || !isDigit(begin[1]) || !isDigit(begin[2]) ||
            (length > 3 && begin[3] != ' ' && begin[3] != '-'))
            return Result::Malformed;
        const int code = (begin[0] - '0') * 100 + (begin[1] - '0') * 10 + (begin[2] - '0');
        if (first && (length == 3 || begin[3] == ' ')) {
            // One line, as most replies are: its text is the line itself.
            reply->code = code;
            reply->text = QByteArray(begin, length == 4 ? 3 : length);
            consumedTo(lineEnd + 1);
            return Result::Reply;
        }
        if (first)
            r.code = code;
        else if (code != r.code)
            return Result::Malformed; // every line of a reply carries the same code
        if (length > 4) {
            if (!r.text.isEmpty())
                r.text += ' ';
            r.text.append(begin + 4, length - 4);
        }
        first = false;
        pos = lineEnd + 1;
        if (length > 3 && begin[3] == '-')
            continue;
        r.text = QByteArray(begin, 3) + (r.text.isEmpty() ? QByteArray() : ' ' + r.text);
        *reply = std::move(r);
        consumedTo(pos);
        return Result::Reply;
    }
}
