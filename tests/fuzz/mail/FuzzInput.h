#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// Splits a fuzz input into texts at NUL bytes; a missing piece is the empty text. Pieces are read
// as UTF-8, so that inputs can be written by hand.
class FuzzInput
{
  public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(reinterpret_cast<const char *>(data)), m_size(size)
    {
    }

    QString next()
    {
        size_t end = m_at;
        while (end < m_size && m_data[end] != '\0')
            ++end;
        const QString piece = QString::fromUtf8(m_data + m_at, qsizetype(end - m_at));
        m_at = end < m_size ? end + 1 : end;
        return piece;
    }
    uint8_t byte()
    {
        if (m_at >= m_size)
            return 0;
        const uint8_t b = static_cast<uint8_t>(m_data[m_at]);
        ++m_at;
        return b;
    }

  private:
    const char *m_data;
    size_t m_size;
    size_t m_at = 0;
};
