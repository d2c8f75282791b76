#include "send/Preflight.h"

#include "send/MailingView.h"

#include "body/MailMerger.h"
#include "body/MergeEngine.h"
#include "platform/Text.h"
#include "platform/formats/TextFile.h"
#include "platform/mail/MailSession.h"
#include "platform/mail/MailText.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

const QString Crlf = QStringLiteral("\r\n");

// A tag typed with a full-width sign looks right on screen and is no tag; the check sees both.
bool isOpen(QChar a, QChar b)
{
    return (a == u'<' || a == u'＜') && (b == u'%' || b == u'％');
}

bool isClose(QChar a, QChar b)
{
    return (a == u'%' || a == u'％') && (b == u'>' || b == u'＞');
}

// Names that differ only in surrounding spaces, character width or letter case.
QString folded(QStringView name)
{
    return trimSpaces(name.toString().normalized(QString::NormalizationForm_KC)).toCaseFolded();
}

// A value as one short line of the report: line breaks and tabs made visible, long texts cut.
QString shown(QStringView text)
{
    constexpr qsizetype Longest = 60;
    QString out;
    for (qsizetype i = 0; i < text.size() && i < Longest; ++i) {
        const QChar c = text[i];
        if (c == u'\n')
            out += u'↵';
        else if (c == u'\r')
            out += (i + 1 < text.size() && text[i + 1] == u'\n') ? QString() : QStringLiteral("↵");
        else if (c == u'\t')
            out += u'⇥';
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += u'?';
        else
            out += c;
    }
    if (text.size() > Longest)
        out += u'…';
    return out;
}

// How many "<%" and "%>" a text holds ("<%>" counts twice).
int markers(QStringView text)
{
    int n = 0;
    for (qsizetype at = text.indexOf(u'%'); at >= 0; at = text.indexOf(u'%', at + 1)) {
        if (at > 0 && text[at - 1] == u'<')
            ++n;
        if (at + 1 < text.size() && text[at + 1] == u'>')
            ++n;
    }
    return n;
}

// The markers the template itself leaves in every row: those of the merge with every value an
// inert character that can neither form nor break a marker or a tag.
int templateMarkers(const RecipientTable &table, const QString &text)
{
    RecipientTable probe = RecipientTable::sized(1, table.lastColumn());
    for (int c = 1; c <= table.lastColumn(); ++c) {
        probe.setCell(0, c, table.cellView(0, c));
        probe.setCell(1, c, u"\u0001");
    }
    return markers(mergeSequential(probe, 1, text));
}

// Whether a row's cells can neither form a marker nor join two parts of the template into one:
// every cell holds something, and nothing of "<", "%" or ">" in either width. Merged into a
// template without markers of its own, such a row leaves none either.
bool inertCells(const RecipientTable &table, int row)
{
    for (int c = 1; c <= table.lastColumn(); ++c) {
        const QStringView cell = table.cellView(row, c);
        if (cell.isEmpty())
            return false;
        for (const QChar ch : cell) {
            const char16_t u = ch.unicode();
            if (u == u'<' || u == u'%' || u == u'>' || u == u'＜' || u == u'％' || u == u'＞')
                return false;
        }
    }
    return true;
}

// The first row of each delivery key, by a 64-bit hash of the key in a table of open addressing:
// a million addresses cost no allocation each. Rows whose hashes meet are told apart by their
// keys, computed again.
class FirstRows
{
  public:
    explicit FirstRows(qsizetype rows)
    {
        size_t n = 64;
        while (n < size_t(rows) * 2)
            n *= 2;
        m_slots.assign(n, Slot{});
    }
    // The row that had the key first, or 0 when `row` is the first; keyOf(r) gives row r's key.
    template <class KeyOf> int firstOrAdd(const QString &key, int row, KeyOf &&keyOf)
    {
        const quint64 h = hashOf(key);
        if (2 * (m_used + 1) > m_slots.size())
            grow();
        for (size_t i = size_t(h) & (m_slots.size() - 1);; i = (i + 1) & (m_slots.size() - 1)) {
            Slot &s = m_slots[i];
            if (s.row == 0) {
                s = {h, row};
                ++m_used;
                return 0;
            }
            if (s.hash == h && keyOf(s.row) == key)
                return s.row;
        }
    }

  private:
    struct Slot {
        quint64 hash = 0;
        int row = 0;
    };
    static quint64 hashOf(const QString &key)
    {
        // FNV-1a over the UTF-16 units, then mixed so that the low bits pick the slot well.
        quint64 h = 1469598103934665603ull;
        for (const QChar c : key)
            h = (h ^ c.unicode()) * 1099511628211ull;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
        return h;
    }
    void grow()
    {
        std::vector<Slot> old(m_slots.size() * 2);
        old.swap(m_slots);
        for (const Slot &s : old) {
            if (s.row == 0)
                continue;
            size_t i = size_t(s.hash) & (m_slots.size() - 1);
            while (m_slots[i].row != 0)
                i = (i + 1) & (m_slots.size() - 1);
            m_slots[i] = s;
        }
    }
    std::vector<Slot> m_slots;
    size_t m_used = 0;
};

struct UnknownTag {
    QString where; // "件名" or "本文"
    QString written;
    int uses = 0;
};

// Every "<%…%>" on one line of the template (either sign in either width) that is not exactly the
// tag of a column.
void findUnknownTags(QStringView text, const QString &where, const QSet<QString> &tags,
                     std::vector<UnknownTag> &unknown)
{
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i + 1 < n) {
        if (!isOpen(text[i], text[i + 1])) {
            ++i;
            continue;
        }
        qsizetype j = i + 2, close = -1;
        for (; j + 1 < n; ++j) {
            if (text[j] == u'\r' || text[j] == u'\n' || isOpen(text[j], text[j + 1]))
                break;
            if (isClose(text[j], text[j + 1])) {
                close = j;
                break;
            }
        }
        if (close < 0) {
            i = j;
            continue;
        }
        const QString written = text.mid(i, close + 2 - i).toString();
        if (!tags.contains(written)) {
            auto it = std::find_if(unknown.begin(), unknown.end(), [&](const UnknownTag &u) {
                return u.where == where && u.written == written;
            });
            if (it == unknown.end())
                unknown.push_back({where, written, 1});
            else
                ++it->uses;
        }
        i = close + 2;
    }
}

// "3, 7, 12 行目", the first PreflightListed of them, then how many more.
QString rowList(const std::vector<int> &rows)
{
    QString out;
    const size_t listed = qMin(rows.size(), size_t(PreflightListed));
    for (size_t k = 0; k < listed; ++k) {
        if (k > 0)
            out += QStringLiteral(", ");
        out += QString::number(rows[k]);
    }
    out += QStringLiteral(" 行目");
    if (rows.size() > listed)
        out += QStringLiteral(" ほか %1 行").arg(rows.size() - listed);
    return out;
}

// The rest of a list cut after PreflightListed entries.
QString moreLine(size_t total, const QString &unit)
{
    return total > size_t(PreflightListed)
               ? QStringLiteral("  ほか %1 %2").arg(total - size_t(PreflightListed)).arg(unit) + Crlf
               : QString();
}

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

// The key a server delivers by: the local part as written, the domain case-folded in ACE form.
QString deliveryKey(const QString &address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    if (at < 0)
        return address.toLower(); // Postmaster, the one address without a domain
    return address.left(at + 1) + address.mid(at + 1).toLower();
}

// A row's own attachment as a run would find it: its size, or why it cannot go out.
struct RowFile {
    qint64 size = 0;
    QString problem;
};
RowFile rowFile(const QString &path, const QString &what = QStringLiteral("添付ファイル"))
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (path.isEmpty() || ::stat(name.constData(), &st) != 0)
        return {0, QStringLiteral("%1「%2」がありません").arg(what, shown(path))};
    if (!S_ISREG(st.st_mode))
        return {0, QStringLiteral("%1「%2」はファイルではありません").arg(what, shown(path))};
    if (::access(name.constData(), R_OK) != 0)
        return {0, QStringLiteral("%1「%2」を読み込めません").arg(what, shown(path))};
    return {qint64(st.st_size), QString()};
}

struct Repeat {
    QString shownAddress;
    std::vector<int> rows; // the first row and every later one
};

struct Group {
    QString title;
    QString lines;
    int problems = 0;
};

} // namespace

std::vector<int> PreflightReport::problemRowNumbers() const
{
    std::vector<int> rows;
    rows.reserve(problemRows.size());
    for (const PreflightRow &r : problemRows)
        rows.push_back(r.row);
    return rows;
}

UserDialogs::Message PreflightReport::question() const
{
    return {QStringLiteral("送信前の確認で問題が %1 件見つかりました（%2 行中 %3 行）。\r\n\r\n"
                           "送信をやめて、問題の一覧を確認しますか？\r\n"
                           "「はい」：送信せずに一覧を表示します。\r\n"
                           "「いいえ」：このまま送信します。")
                .arg(problems)
                .arg(rows)
                .arg(problemRows.size()),
            QStringLiteral("送信前の確認"),
            UserDialogs::Icon::Warning,
            UserDialogs::Buttons::YesNo,
            UserDialogs::Answer::Yes,
            MailingTopic::CheckProblems};
}

UserDialogs::Message PreflightReport::repeatQuestion() const
{
    return {QStringLiteral("%1 件のアドレスが複数の行にあり、そのままでは同じ宛先に %2 通多く送られます。"
                           "\r\n\r\nアドレスごとに1通だけ（最初の行だけ）送りますか？\r\n"
                           "「はい」：2行目以降の %2 行は送りません。\r\n"
                           "「いいえ」：すべての行に送ります。")
                .arg(repeatedAddresses)
                .arg(repeatedRows),
            QStringLiteral("送信前の確認"),
            UserDialogs::Icon::Question,
            UserDialogs::Buttons::YesNo,
            UserDialogs::Answer::Yes,
            MailingTopic::OnePerAddress};
}

PreflightReport checkBeforeSending(const RecipientTable &table, const SendInputs &inputs,
                                   const PreflightOptions &options)
{
    PreflightReport report;
    const int rows = qMax(0, table.lastRow());
    report.rows = rows;
    // The subject and body exactly as a run merges them.
    const QString subject = inputs.subject;
    const QString body = QString(inputs.body).replace(u'\n', Crlf);

    QSet<QString> tags;
    QStringList names;
    std::vector<int> usedColumns;
    for (int c = 1; c <= table.lastColumn(); ++c) {
        names << table.cell(0, c);
        const QString tag = mergeTag(names.back());
        tags.insert(tag);
        if (subject.contains(tag) || body.contains(tag))
            usedColumns.push_back(c);
    }
    std::vector<UnknownTag> unknown;
    findUnknownTags(subject, QStringLiteral("件名"), tags, unknown);
    findUnknownTags(body, QStringLiteral("本文"), tags, unknown);

    // The attachment box's names with merge tags are each row's own files; the others every row's.
    QStringList everyRow, rowOwn;
    if (!trimSpaces(inputs.attachments).isEmpty())
        for (const QString &piece : inputs.attachments.split(u','))
            (hasMergeTag(piece) ? rowOwn : everyRow).append(piece);
    qint64 everyRowBytes = 0;
    for (const QString &piece : std::as_const(everyRow))
        everyRowBytes += QFileInfo(piece).size();
    const MailMerger merger(table, subject, body, rowOwn);
    const int subjectMarkers = templateMarkers(table, subject);
    const int bodyMarkers = templateMarkers(table, body);

    std::vector<int> leftSubject, leftBody, tooLarge, badSubject, emptyAddress, utf8Rows;
    const bool checkIso = options.iso2022jp && !inputs.html;
    const bool senderFits = fitsIso2022Jp(inputs.sender);
    std::vector<std::vector<int>> emptyCells(usedColumns.size());
    std::vector<std::pair<int, QString>> badAddress;
    FirstRows firstOf(rows);
    // The key of a row whose address was usable, as the check below made it.
    const auto keyOfRow = [&table](int r) { return deliveryKey(mailRecipientOf(table.cell(r, 1)).address); };
    std::vector<Repeat> repeats;
    QHash<QString, int> repeatOf;
    report.onePerAddress.reserve(size_t(rows));
    // A row's own files: what is wrong with them, rows over the size, and a file another row has.
    std::vector<std::pair<int, QString>> badFiles, badCopies, sharedFiles;
    std::vector<int> largeRows, crowdedRows;
    QHash<QString, int> fileRow;

    for (int row = 1; row <= rows; ++row) {
        QStringList notes;
        Result<MergedMail> merged = merger.mail(row);
        if (!merged) {
            tooLarge.push_back(row);
            notes << QStringLiteral("差込の結果が大きすぎます（送信されません）");
        } else {
            const bool inert = (subjectMarkers == 0 || bodyMarkers == 0) && inertCells(table, row);
            const bool inSubject =
                !(inert && subjectMarkers == 0) && markers(merged->subject) != subjectMarkers;
            const bool inBody = !(inert && bodyMarkers == 0) && markers(merged->body) != bodyMarkers;
            if (inSubject)
                leftSubject.push_back(row);
            if (inBody)
                leftBody.push_back(row);
            if (inSubject || inBody)
                notes << QStringLiteral("差込後も「<%」か「%>」が残ります（%1）")
                             .arg(inSubject && inBody ? QStringLiteral("件名と本文")
                                  : inSubject         ? QStringLiteral("件名")
                                                      : QStringLiteral("本文"));
            // The sender's name and the row's texts go in one encoding: one character outside
            // ISO-2022-JP sends the whole mail as UTF-8.
            if (checkIso && !(senderFits && fitsIso2022Jp(merged->subject) && fitsIso2022Jp(merged->body)))
                utf8Rows.push_back(row);
            if (!checkSubject(merged->subject).isEmpty()) {
                badSubject.push_back(row);
                notes << QStringLiteral("件名に改行などが入ります（送信されません）");
            }
            qint64 bytes = everyRowBytes;
            for (const QString &file : std::as_const(merged->attachments)) {
                const RowFile found = rowFile(file);
                if (!found.problem.isEmpty()) {
                    badFiles.emplace_back(row, found.problem);
                    notes << found.problem;
                    continue;
                }
                bytes += found.size;
                const auto earlier = fileRow.constFind(file);
                if (earlier == fileRow.cend()) {
                    fileRow.insert(file, row);
                } else {
                    sharedFiles.emplace_back(
                        row, QStringLiteral("「%1」（%2 行目と同じ）").arg(shown(file)).arg(*earlier));
                    notes << QStringLiteral("%1 行目と同じ添付ファイルです").arg(*earlier);
                }
            }
            if (!merged->attachments.isEmpty() && bytes > PreflightLargeAttachments) {
                largeRows.push_back(row);
                notes << QStringLiteral("添付ファイルが合計 %1 MB あります").arg(megabytes(bytes));
            }
            // The copies are checked as the main address is: one the library refuses stops the mail.
            const std::pair<QString, const QStringList *> copies[] = {
                {QStringLiteral("CC"), &merged->cc},
                {QStringLiteral("BCC"), &merged->bcc},
                {QStringLiteral("返信先"), &merged->replyTo}};
            for (const auto &[label, list] : copies) {
                for (const QString &address : *list) {
                    const MailRecipient r = mailRecipientOf(address);
                    if (r.error.isEmpty())
                        continue;
                    badCopies.emplace_back(
                        row, QStringLiteral("%1「%2」：%3").arg(label, shown(address), r.reason));
                    notes << QStringLiteral("%1のアドレスを送信に使えません：%2").arg(label, r.reason);
                }
            }
            const qsizetype recipients =
                1 + merged->cc.size() + merged->bcc.size() + (options.bccSelf ? 1 : 0);
            if (options.recipientsPerMessage > 0 && recipients > options.recipientsPerMessage) {
                crowdedRows.push_back(row);
                notes << QStringLiteral("宛先が %1 件あります（1通あたり %2 件まで）")
                             .arg(recipients)
                             .arg(options.recipientsPerMessage);
            }
        }
        for (size_t k = 0; k < usedColumns.size(); ++k) {
            if (trimSpaces(table.cellView(row, usedColumns[k])).isEmpty()) {
                emptyCells[k].push_back(row);
                notes << QStringLiteral("「%1」が空です").arg(shown(names[usedColumns[k] - 1]));
            }
        }
        const QStringView cell = table.hasCell(row, 1) ? table.cellView(row, 1) : QStringView();
        if (trimSpaces(cell).isEmpty()) {
            emptyAddress.push_back(row);
            report.onePerAddress.push_back(row);
            notes << QStringLiteral("アドレスが空です（送信されません）");
        } else if (const MailRecipient recipient = mailRecipientOf(cell.toString());
                   !recipient.error.isEmpty()) {
            badAddress.emplace_back(
                row, QStringLiteral("「%1」：%2").arg(shown(trimSpaces(cell)), recipient.reason));
            report.onePerAddress.push_back(row);
            notes << QStringLiteral("アドレスを送信に使えません：%1").arg(recipient.reason);
        } else {
            const QString key = deliveryKey(recipient.address);
            const int firstRow = firstOf.firstOrAdd(key, row, keyOfRow);
            if (firstRow == 0) {
                report.onePerAddress.push_back(row);
            } else {
                auto group = repeatOf.constFind(key);
                if (group == repeatOf.cend()) {
                    group = repeatOf.insert(key, int(repeats.size()));
                    repeats.push_back({shown(trimSpaces(table.cellView(firstRow, 1))), {firstRow}});
                }
                repeats[size_t(*group)].rows.push_back(row);
                ++report.repeatedRows;
                notes << QStringLiteral("%1 行目と同じアドレスです").arg(firstRow);
            }
        }
        if (!notes.isEmpty())
            report.problemRows.push_back({row, std::move(notes)});
    }
    report.repeatedAddresses = int(repeats.size());

    std::vector<Group> groups;
    if (!unknown.empty()) {
        Group g{QStringLiteral("列名と一致しない差込タグ（置き換わらずに、そのまま送られます）"), {}, 0};
        for (const UnknownTag &u : unknown) {
            const QString name = folded(QStringView(u.written).mid(2, u.written.size() - 4));
            QStringList near;
            for (const QString &column : std::as_const(names))
                if (folded(column) == name)
                    near << QStringLiteral("「%1」").arg(shown(column));
            g.lines += QStringLiteral("  %1の「%2」").arg(u.where, shown(u.written));
            if (u.uses > 1)
                g.lines += QStringLiteral("（%1 か所）").arg(u.uses);
            g.lines += near.isEmpty() ? QStringLiteral("：近い列名はありません")
                                      : QStringLiteral("：近い列名") + near.join(QString());
            g.lines += Crlf;
            ++g.problems;
        }
        QStringList all;
        for (const QString &column :
             std::as_const(names).first(qMin(names.size(), qsizetype(PreflightListed))))
            all << QStringLiteral("「%1」").arg(shown(column));
        g.lines += QStringLiteral("  表の列名：") + all.join(QString()) + Crlf;
        groups.push_back(g);
    }
    if (subjectMarkers + bodyMarkers > 0 || !leftSubject.empty() || !leftBody.empty()) {
        Group g{QStringLiteral("差込後も「<%」か「%>」が残る行"), {}, 0};
        if (subjectMarkers + bodyMarkers > 0) {
            g.lines += QStringLiteral("  すべての行：%1に書かれた「<%」か「%>」が残ります\r\n")
                           .arg(subjectMarkers > 0 && bodyMarkers > 0 ? QStringLiteral("件名と本文")
                                : subjectMarkers > 0                  ? QStringLiteral("件名")
                                                                      : QStringLiteral("本文"));
            ++g.problems;
        }
        if (!leftSubject.empty())
            g.lines += QStringLiteral("  件名（差込項目の値から）：") + rowList(leftSubject) + Crlf;
        if (!leftBody.empty())
            g.lines += QStringLiteral("  本文（差込項目の値から）：") + rowList(leftBody) + Crlf;
        g.problems += int(leftSubject.size() + leftBody.size());
        groups.push_back(g);
    }
    {
        Group g{QStringLiteral("差込タグの列が空の行（その部分は何も入らずに送られます）"), {}, 0};
        for (size_t k = 0; k < usedColumns.size(); ++k) {
            if (emptyCells[k].empty())
                continue;
            g.lines += QStringLiteral("  「%1」：").arg(shown(names[usedColumns[k] - 1])) +
                       rowList(emptyCells[k]) + Crlf;
            g.problems += int(emptyCells[k].size());
        }
        if (g.problems > 0)
            groups.push_back(g);
    }
    if (!emptyAddress.empty())
        groups.push_back({QStringLiteral("アドレスが空の行（送信されません）"),
                          QStringLiteral("  ") + rowList(emptyAddress) + Crlf, int(emptyAddress.size())});
    if (!badAddress.empty()) {
        Group g{QStringLiteral("送信に使えないアドレス（送信されません）"), {}, int(badAddress.size())};
        for (size_t k = 0; k < badAddress.size() && k < size_t(PreflightListed); ++k)
            g.lines += QStringLiteral("  %1 行目").arg(badAddress[k].first) + badAddress[k].second + Crlf;
        g.lines += moreLine(badAddress.size(), QStringLiteral("行"));
        groups.push_back(g);
    }
    if (!repeats.empty()) {
        Group g{QStringLiteral("同じアドレスの行（同じ宛先に2通以上送られます）"), {}, report.repeatedRows};
        for (size_t k = 0; k < repeats.size() && k < size_t(PreflightListed); ++k)
            g.lines +=
                QStringLiteral("  %1：").arg(repeats[k].shownAddress) + rowList(repeats[k].rows) + Crlf;
        g.lines += moreLine(repeats.size(), QStringLiteral("件"));
        g.lines += QStringLiteral("  アドレスごとに最初の行だけ送ると、%1 行は送りません。\r\n")
                       .arg(report.repeatedRows);
        groups.push_back(g);
    }
    if (!everyRow.isEmpty()) {
        Group g{QStringLiteral("添付ファイル"), {}, 0};
        qint64 total = 0;
        // Split and tested as the run does: every piece as it stands.
        for (const QString &piece : std::as_const(everyRow)) {
            QFile file(piece);
            if (piece.isEmpty()) {
                g.lines += QStringLiteral("  カンマの間か最後が空です（送信できません）\r\n");
            } else if (!fileExists(piece)) {
                g.lines += QStringLiteral("  「%1」がありません（送信できません）\r\n").arg(shown(piece));
            } else if (!file.open(QIODevice::ReadOnly)) {
                g.lines += QStringLiteral("  「%1」を読み込めません（読み取りの権限を確認してください）\r\n")
                               .arg(shown(piece));
            } else {
                total += file.size();
                continue;
            }
            ++g.problems;
        }
        if (total > PreflightLargeAttachments) {
            g.lines += QStringLiteral(
                           "  合計 %1 MB あります。%2 MB を超える添付は、受け取れないメールサーバーがあります"
                           "（どのメールにも添付されます）\r\n")
                           .arg(megabytes(total), megabytes(PreflightLargeAttachments).section(u'.', 0, 0));
            ++g.problems;
        }
        if (g.problems > 0)
            groups.push_back(g);
    }
    const auto rowsGroup = [&groups](const QString &title, const std::vector<std::pair<int, QString>> &found,
                                     const QString &unit) {
        if (found.empty())
            return;
        Group g{title, {}, int(found.size())};
        for (size_t k = 0; k < found.size() && k < size_t(PreflightListed); ++k)
            g.lines += QStringLiteral("  %1 行目 ").arg(found[k].first) + found[k].second + Crlf;
        g.lines += moreLine(found.size(), unit);
        groups.push_back(g);
    };
    rowsGroup(QStringLiteral("行ごとの添付ファイルが使えない行（送信されません）"), badFiles,
              QStringLiteral("件"));
    rowsGroup(QStringLiteral("ほかの行と同じ添付ファイルの行（同じファイルが別の宛先にも送られます）"),
              sharedFiles, QStringLiteral("件"));
    if (!largeRows.empty())
        groups.push_back(
            {QStringLiteral("添付ファイルが合計 %1 MB を超える行（受け取れないメールサーバーがあります）")
                 .arg(megabytes(PreflightLargeAttachments).section(u'.', 0, 0)),
             QStringLiteral("  ") + rowList(largeRows) + Crlf, int(largeRows.size())});
    rowsGroup(QStringLiteral("送信に使えない CC・BCC・返信先のアドレス（CC・BCC "
                             "はそのアドレスを除いて送ります。返信先のときはその行を送信しません）"),
              badCopies, QStringLiteral("件"));
    if (!crowdedRows.empty())
        groups.push_back(
            {QStringLiteral("宛先（CC・BCC を含む）が 1 通あたり %1 件を超える行（メールサーバーが"
                            "受け付けないことがあります）")
                 .arg(options.recipientsPerMessage),
             QStringLiteral("  ") + rowList(crowdedRows) + Crlf, int(crowdedRows.size())});
    if (inputs.html) {
        // Images the HTML names by a local path go inside every mail: one missing fails them all.
        // A path made by a merge tag is a row's own, and the run tells of it.
        Group g{QStringLiteral("HTML の画像ファイルが使えません（どのメールも送信されません）"), {}, 0};
        for (const QString &image : localImagesOf(inputs.body, inputs.bodyFolder)) {
            if (hasMergeTag(image))
                continue;
            const RowFile found = rowFile(image, QStringLiteral("画像ファイル"));
            if (found.problem.isEmpty())
                continue;
            g.lines += QStringLiteral("  ") + found.problem + Crlf;
            ++g.problems;
        }
        if (g.problems > 0)
            groups.push_back(g);
    }
    if (!badSubject.empty())
        groups.push_back(
            {QStringLiteral("件名に改行などが入る行（送信されません。表のセルの改行を取り除いてください）"),
             QStringLiteral("  ") + rowList(badSubject) + Crlf, int(badSubject.size())});
    if (!tooLarge.empty())
        groups.push_back({QStringLiteral("差込の結果が大きすぎる行（送信されません）"),
                          QStringLiteral("  ") + rowList(tooLarge) + Crlf, int(tooLarge.size())});

    for (const Group &g : groups)
        report.problems += g.problems;
    // Not a problem, but what the operator chose does not hold for these rows.
    QString utf8Note;
    if (!utf8Rows.empty())
        utf8Note = Crlf + QStringLiteral("■ ISO-2022-JP で書けない文字がある行（UTF-8 で送られます）") +
                   Crlf + QStringLiteral("  ") + rowList(utf8Rows) + Crlf;
    if (report.clean()) {
        report.text = QStringLiteral("送信前の確認：%1 行を確認し、問題は見つかりませんでした。").arg(rows);
        if (!utf8Note.isEmpty())
            report.text += Crlf + utf8Note;
        return report;
    }
    report.text =
        QStringLiteral("送信前の確認：%1 行を確認し、問題が %2 件見つかりました（問題のある行 %3 行）。"
                       "宛先の表は変更していません。\r\n")
            .arg(rows)
            .arg(report.problems)
            .arg(report.problemRows.size());
    for (const Group &g : groups)
        report.text += Crlf + QStringLiteral("■ ") + g.title + Crlf + g.lines;
    report.text += utf8Note;
    return report;
}
