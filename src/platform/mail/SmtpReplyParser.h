#pragma once

#include <QByteArray>

// One complete SMTP reply: the code and the text of all its lines.
struct SmtpReply {
    int code = 0;
    QByteArray text; // "550 5.1.1 first line second line": the code, then each line's text

    bool positive() const { return code >= 200 && code < 300; }
};

// Splits the bytes read from the server into replies. Bytes arrive in any pieces: a reply may be
// split across reads, and one read may hold several replies (pipelining) or a multi-line reply.
class SmtpReplyParser
{
  public:
    enum class Result { Incomplete, Reply, Malformed };

    void append(const char *data, qsizetype size);
    // Takes the next complete reply out of the buffer.
    Result next(SmtpReply *reply);
    // Bytes received but not yet part of a returned reply.
    bool hasPending() const { return m_start < m_buffer.size(); }
    void clear();

  private:
    QByteArray m_buffer;
    qsizetype m_start = 0; // where the unread part of m_buffer begins
};
