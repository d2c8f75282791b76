// The merge over any table and template: the prepared template (the send run's fast path), the
// straightforward merge and a plain replace-per-column merge must agree on every row, on the text
// and on whether the size bound stopped the merge.
#include "FuzzCheck.h"
#include "body/MailMerger.h"
#include "body/MergeEngine.h"
#include "body/MergeTemplate.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace
{

// The merge as plainly as it can be written, bounded like the others.
Result<QString> plainMerge(const RecipientTable &t, int row, const QString &text, qsizetype limit)
{
    QString out = text;
    for (int c = 1; c <= t.lastColumn(); ++c) {
        const QString tag = mergeTag(t.cellView(0, c));
        if (!out.contains(tag))
            continue;
        out.replace(tag, t.cell(row, c));
        if (out.size() > limit)
            return mergeTooLarge(limit);
    }
    return out;
}

} // namespace

// Input: columns, rows and size bound in the first three bytes, then UTF-8 text cut at U+0001 into
// the column names, the cells row by row, the subject and the body.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3 || size > 8192)
        return 0;
    const int columns = data[0] % 6 + 1;
    const int rows = data[1] % 3 + 1;
    const qsizetype limit = 16 + qsizetype(data[2]) * 8;
    const QStringList parts =
        QString::fromUtf8(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3)).split(QChar(1));
    qsizetype next = 0;
    const auto piece = [&] { return next < parts.size() ? parts[next++] : QString(); };

    RecipientTable t = RecipientTable::sized(rows, columns);
    for (int r = 0; r <= rows; ++r)
        for (int c = 1; c <= columns; ++c)
            t.setCell(r, c, piece());
    const QString subject = piece();
    const QString body = piece();

    const MergeTemplate prepared(t, body);
    const MailMerger merger(t, subject, body);
    for (int r = 1; r <= rows; ++r) {
        const Result<QString> reference = mergeRow(t, r, body, limit);
        const Result<QString> quick = prepared.mergeBounded(t, r, limit);
        const Result<QString> plain = plainMerge(t, r, body, limit);
        FUZZ_CHECK(reference.ok() == quick.ok());
        FUZZ_CHECK(reference.ok() == plain.ok());
        if (reference.ok()) {
            FUZZ_CHECK(quick.value() == reference.value());
            FUZZ_CHECK(plain.value() == reference.value());
            FUZZ_CHECK(reference.value() == body || reference.value().size() <= limit);
        }
        const Result<MergedMail> mail = merger.mail(r, limit);
        FUZZ_CHECK(mail.ok() == (reference.ok() && mergeRow(t, r, subject, limit).ok()));
        if (mail.ok())
            FUZZ_CHECK(mail->body == reference.value());
    }
    return 0;
}
