#include "send/journal/JournalReport.h"

#include "recipients/RecipientTable.h"
#include "send/journal/JournalHead.h"
#include "send/journal/JournalRecord.h"

#include <QFile>
#include <QSysInfo>
#include <QtEndian>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <sys/stat.h>

namespace
{

using Row = JournalReport::Row;

// What the journal last said of a row.
enum class Step : quint8 { None, Declared, Started, Outcome };

// Where reading goes on after a damaged record: the next whole "resumed" record, else the end.
qsizetype nextResumed(const QByteArray &bytes, qsizetype from)
{
    QList<QByteArray> fields;
    for (qsizetype pos = from; pos < bytes.size();) {
        const qsizetype lf = bytes.indexOf('\n', pos);
        if (lf < 0)
            break;
        if (QByteArrayView(bytes).sliced(pos).startsWith(JournalHead::Resumed) &&
            JournalRecord::open(QByteArrayView(bytes).sliced(pos, lf - pos), fields) &&
            fields[0] == JournalHead::Resumed)
            return pos;
        pos = lf + 1;
    }
    return bytes.size();
}

bool rowIn(const std::vector<std::pair<int, int>> &ranges, int row)
{
    auto after = std::upper_bound(ranges.begin(), ranges.end(), row,
                                  [](int r, const std::pair<int, int> &range) { return r < range.first; });
    return after != ranges.begin() && row <= std::prev(after)->second;
}

} // namespace

size_t JournalReport::Rows::Index::slotOf(int row) const
{
    // Sixteen rows in a row share a cache line of slots: a journal names its rows mostly in order,
    // so a million of them are looked up without a cache miss each. The blocks are spread over the
    // table by the high bits of a Fibonacci product, which also parts rows a power of two apart.
    const int bits = std::countr_zero(m_slots.size()) - 4; // at least 64 slots
    const quint32 spread = (quint32(row) >> 4) * 0x9E3779B1u >> (32 - bits);
    return size_t(spread) << 4 | (quint32(row) & 15);
}

const JournalReport::Rows::Named *JournalReport::Rows::Index::find(int row) const
{
    if (m_slots.empty())
        return nullptr;
    for (size_t i = slotOf(row);; i = (i + 1) & (m_slots.size() - 1)) {
        const quint32 at = m_slots[i];
        if (at == 0)
            return nullptr;
        if (m_entries[at - 1].first == row)
            return &m_entries[at - 1].second;
    }
}

std::pair<JournalReport::Rows::Named *, bool> JournalReport::Rows::Index::tryEmplace(int row)
{
    // At most half full, so that a search ends soon.
    if (2 * (m_entries.size() + 1) > m_slots.size())
        rehash(std::max<size_t>(64, 2 * m_slots.size()));
    size_t i = slotOf(row);
    for (; m_slots[i] != 0; i = (i + 1) & (m_slots.size() - 1))
        if (m_entries[m_slots[i] - 1].first == row)
            return {&m_entries[m_slots[i] - 1].second, false};
    m_entries.emplace_back(row, Named{});
    m_slots[i] = quint32(m_entries.size());
    return {&m_entries.back().second, true};
}

void JournalReport::Rows::Index::reserve(size_t rows)
{
    m_entries.reserve(rows);
    size_t wanted = 64;
    while (wanted < 2 * rows)
        wanted *= 2;
    if (wanted > m_slots.size())
        rehash(wanted);
}

void JournalReport::Rows::Index::rehash(size_t count)
{
    m_slots.assign(count, 0);
    for (size_t k = 0; k < m_entries.size(); ++k) {
        size_t i = slotOf(m_entries[k].first);
        while (m_slots[i] != 0)
            i = (i + 1) & (count - 1);
        m_slots[i] = quint32(k + 1);
    }
}

JournalReport::RowEntry JournalReport::Rows::operator[](size_t row) const
{
    if (row > size_t(std::numeric_limits<int>::max()))
        return {chosen(int(row)) ? m_rest : Row::LeftOut, QString(), {}};
    if (const Named *n = m_named.find(int(row)))
        return {n->state, n->reason, n->attachments};
    return {chosen(int(row)) ? m_rest : Row::LeftOut, QString(), {}};
}

bool JournalReport::Rows::chosen(int row) const
{
    return m_chosen.empty() || rowIn(m_chosen, row);
}

// Applies the records of a journal one by one. Each record costs time in proportion to its own
// length, whatever the row count its head declares: rows are kept only once a record names them,
// and a damaged record or a continuation's "resumed" visits only the rows still open since the last
// one.
class JournalReplay
{
  public:
    JournalReplay(JournalReport &r, qsizetype fileSize, QString bootIdNow)
        : m_r(r), m_rows(r.rows.m_named), m_boot(r.bootId), m_bootNow(std::move(bootIdNow))
    {
        m_r.rows.m_size = size_t(r.identity.rows) + 1;
        m_rows.reserve(size_t(std::min<qsizetype>(fileSize / 48, r.identity.rows)));
    }

    // Applies one record; false for a record that cannot be part of this run, which then changes
    // nothing. The records written with the head (the chosen rows, the run's other inputs) come
    // before any record of what the run did.
    bool apply(const QList<QByteArray> &f)
    {
        using namespace JournalHead;
        const int rows = m_r.identity.rows;
        if (f[0] == Chosen || f[0] == Templates || f[0] == TextVersion || f[0] == Options || f[0] == Stamp ||
            f[0] == MailToken)
            return m_headRecords && headRecord(f);
        m_headRecords = false;
        if (f[0] == Closed && f.size() == 2 && (f[1] == Finished || f[1] == Stopped)) {
            m_r.ending = f[1] == Finished ? JournalReport::Ending::Finished : JournalReport::Ending::Stopped;
            closed();
            return true;
        }
        if (f[0] == Declare && f.size() == 2) {
            if (!JournalRecord::readRows(f[1], rows, RunJournal::MostDeclared, m_ranges))
                return false;
            // The writer never declares a row that was started and has no outcome yet.
            for (const auto &[firstRow, lastRow] : m_ranges)
                for (int row = firstRow; row <= lastRow; ++row)
                    if (!m_r.rows.chosen(row) || stepOf(row) == Step::Started)
                        return false;
            goingOn();
            for (const auto &[firstRow, lastRow] : m_ranges)
                for (int row = firstRow; row <= lastRow; ++row)
                    declared(row);
            return true;
        }
        if (f[0] == Resumed && f.size() == 2) {
            goingOn();
            resumed(JournalRecord::text(f[1]));
            return true;
        }
        int row = 0;
        if (f.size() < 2 || !JournalRecord::readRows(f[1], rows, 1, m_ranges) || m_ranges.size() != 1 ||
            !m_r.rows.chosen(row = m_ranges[0].first))
            return false;
        if (f[0] == Attached && f.size() == 5) {
            std::optional<FileStamp> stamp = stampFrom(f[2], f[3], f[4]);
            if (!stamp)
                return false;
            goingOn();
            track(row).attachments.push_back(std::move(*stamp));
            return true;
        }
        if (f[0] == Finding && f.size() == 4)
            return finding(row, f[2], JournalRecord::text(f[3]));
        if (f[0] == Started && f.size() == 2) {
            goingOn();
            JournalReport::Rows::Named &n = track(row);
            n.step = quint8(Step::Started);
            m_unsettled.push_back(row);
            m_open.push_back(row);
            return true;
        }
        if (f[0] != Outcome || f.size() != 4)
            return false;
        Row state;
        if (f[2] == Accepted)
            state = Row::Accepted;
        else if (f[2] == Refused)
            state = Row::Refused;
        else if (f[2] == Retry)
            state = Row::Retry;
        else if (f[2] == MayHaveArrived)
            state = Row::MayHaveArrived;
        else
            return false;
        goingOn();
        JournalReport::Rows::Named &n = track(row);
        n.state = state;
        n.reason = JournalRecord::text(f[3]);
        n.step = quint8(Step::Outcome);
        if (!settledForGood(n))
            m_open.push_back(row);
        return true;
    }

    // A damaged record, and the records after it up to the next "resumed" one, are unknown: any row
    // not settled for good may have gone out in them, also one the journal never named before.
    void damaged()
    {
        m_unknownRest = true;
        for (const int row : m_open) {
            JournalReport::Rows::Named &n = m_rows[row];
            if (settledForGood(n))
                continue;
            if (Step(n.step) != Step::Outcome)
                n.reason.clear();
            n.state = Row::MayHaveArrived;
            n.step = quint8(Step::Outcome);
        }
        m_open.clear();
        m_unsettled.clear();
    }

    // The rows' states from what was read.
    void settle()
    {
        m_r.bootId = m_boot;
        m_r.sameBoot = !m_boot.isEmpty() && m_boot == m_bootNow;
        m_r.rows.m_rest = m_unknownRest ? Row::MayHaveArrived : Row::NotTried;
        qint64 chosen = m_r.identity.rows;
        if (!m_r.rows.m_chosen.empty()) {
            chosen = 0;
            for (const auto &[first, last] : m_r.rows.m_chosen)
                chosen += qint64(last) - first + 1;
        }
        m_r.leftOut = int(m_r.identity.rows - chosen);
        for (auto &[row, n] : m_rows) {
            settleRow(n, m_r.sameBoot);
            count(n.state);
        }
        const qint64 rest = chosen - qint64(m_rows.size());
        (m_unknownRest ? m_r.mayHaveArrived : m_r.notTried) += int(rest);
    }

  private:
    static std::optional<FileStamp> stampFrom(const QByteArray &path, const QByteArray &size,
                                              const QByteArray &hex)
    {
        bool ok = false;
        const qint64 bytes = size.toLongLong(&ok);
        const QByteArray sha = QByteArray::fromHex(hex);
        if (!ok || bytes < 0 || hex.size() != 64 || sha.size() != 32)
            return std::nullopt;
        return FileStamp{JournalRecord::text(path), bytes, sha};
    }

    bool headRecord(const QList<QByteArray> &f)
    {
        using namespace JournalHead;
        RunIdentity &id = m_r.identity;
        if (f[0] == Chosen)
            return f.size() == 2 && m_r.rows.m_chosen.empty() && chooseRows(f[1]);
        if (f[0] == Templates) {
            for (qsizetype i = 1; i < f.size(); ++i)
                id.attachmentTemplates.append(JournalRecord::text(f[i]));
            return f.size() > 1;
        }
        if (f[0] == TextVersion && f.size() == 2) {
            id.plainText = JournalRecord::text(f[1]);
            return true;
        }
        const auto flag = [](const QByteArray &v, bool &out) {
            out = v == "True";
            return v == "True" || v == "False";
        };
        if (f[0] == Options && f.size() == 4 && flag(f[1], id.bccSelf) && flag(f[2], id.iso2022jp)) {
            id.imageFolder = JournalRecord::text(f[3]);
            return true;
        }
        if (f[0] == MailToken && f.size() == 2) {
            id.mailToken = f[1];
            // Only what newMailToken() writes: the token goes into every mail's headers.
            return id.mailToken.size() <= 64 &&
                   std::all_of(id.mailToken.begin(), id.mailToken.end(),
                               [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); });
        }
        if (f[0] == Stamp && f.size() == 4) {
            std::optional<FileStamp> stamp = stampFrom(f[1], f[2], f[3]);
            if (stamp)
                id.attachmentStamps.push_back(std::move(*stamp));
            return stamp.has_value();
        }
        return false;
    }

    static bool settledForGood(const JournalReport::Rows::Named &n)
    {
        return Step(n.step) == Step::Outcome &&
               (n.state == Row::Accepted || n.state == Row::Refused || n.state == Row::Bounced);
    }

    // A later finding about a row: a notice that its accepted mail came back, or its copy in the
    // provider's Sent folder for a mail whose final reply was lost. Neither changes how the run
    // ended; a finding that does not fit what the journal says of the row is not the writer's.
    bool finding(int row, const QByteArray &word, QString reason)
    {
        JournalReport::Rows::Named &n = track(row);
        const Step step = Step(n.step);
        if (word == JournalHead::Bounced) {
            if (step != Step::Outcome || (n.state != Row::Accepted && n.state != Row::Bounced))
                return false;
            n.state = Row::Bounced;
        } else if (word == JournalHead::FoundInSent) {
            const bool unknown = step == Step::Started || step == Step::Declared ||
                                 (step == Step::Outcome && n.state == Row::MayHaveArrived);
            if (!unknown)
                return false;
            n.state = Row::Accepted;
            n.step = quint8(Step::Outcome);
        } else {
            return false;
        }
        n.reason = std::move(reason);
        return true;
    }

    void count(Row state)
    {
        switch (state) {
        case Row::NotTried: ++m_r.notTried; break;
        case Row::Accepted: ++m_r.accepted; break;
        case Row::Refused: ++m_r.refused; break;
        case Row::Retry: ++m_r.retry; break;
        case Row::MayHaveArrived: ++m_r.mayHaveArrived; break;
        case Row::LeftOut: ++m_r.leftOut; break;
        case Row::Bounced: ++m_r.bounced; break;
        }
    }

    bool chooseRows(const QByteArray &field)
    {
        std::vector<std::pair<int, int>> &chosen = m_r.rows.m_chosen;
        if (!JournalRecord::readRows(field, m_r.identity.rows, 0, chosen) || chosen.empty()) {
            chosen.clear();
            return false;
        }
        // Written ascending and without overlaps; anything else is not the writer's.
        for (size_t i = 1; i < chosen.size(); ++i) {
            if (chosen[i].first <= chosen[i - 1].second) {
                chosen.clear();
                return false;
            }
        }
        return true;
    }

    Step stepOf(int row) const
    {
        const JournalReport::Rows::Named *n = m_rows.find(row);
        return !n ? (m_unknownRest ? Step::Outcome : Step::None) : Step(n->step);
    }

    // The row's entry; one the journal had not named yet is what the rows it never named are: not
    // tried, or, after damage, may have arrived.
    JournalReport::Rows::Named &track(int row)
    {
        auto [n, added] = m_rows.tryEmplace(row);
        if (added && m_unknownRest) {
            n->state = Row::MayHaveArrived;
            n->step = quint8(Step::Outcome);
        }
        return *n;
    }

    void declared(int row)
    {
        JournalReport::Rows::Named &n = track(row);
        // A row that was accepted, or may have arrived, stays so until it is started again.
        if (Step(n.step) == Step::Outcome && (n.state == Row::Accepted || n.state == Row::MayHaveArrived))
            return;
        n.step = quint8(Step::Declared);
        // A new try: its files are recorded as it goes out.
        n.attachments.clear();
        m_unsettled.push_back(row);
        m_open.push_back(row);
    }

    // Anything recorded after a close means the run went on.
    void goingOn() { m_r.ending = JournalReport::Ending::Abrupt; }

    // A row not settled by an outcome, as the boot it was declared in and the boot it is read in
    // tell.
    static void settleRow(JournalReport::Rows::Named &n, bool sameBoot)
    {
        switch (Step(n.step)) {
        case Step::None: n.state = Row::NotTried; break;
        // Declared rows were synced before any of them was sent, but a started record written after
        // that sync is lost with a restart of the machine.
        case Step::Declared: n.state = sameBoot ? Row::NotTried : Row::MayHaveArrived; break;
        case Step::Started: n.state = Row::MayHaveArrived; break;
        case Step::Outcome: return;
        }
        n.reason.clear();
    }

    // The continuation read the journal in `boot` and acted on the rows as they were then: those
    // states hold from here on, and declared rows are judged by the new boot.
    void resumed(const QString &boot)
    {
        const bool sameBoot = !m_boot.isEmpty() && m_boot == boot;
        for (const int row : m_unsettled) {
            JournalReport::Rows::Named &n = m_rows[row];
            const Step step = Step(n.step);
            if (step != Step::Declared && step != Step::Started)
                continue;
            settleRow(n, sameBoot);
            n.step = quint8(n.state == Row::NotTried ? Step::None : Step::Outcome);
        }
        m_unsettled.clear();
        m_boot = boot;
    }

    // The close was written only once everything before it was durable: a row declared and never
    // started was not sent, whatever boot reads it.
    void closed()
    {
        std::vector<int> started;
        for (const int row : m_unsettled) {
            JournalReport::Rows::Named &n = m_rows[row];
            if (Step(n.step) == Step::Declared) {
                n.step = quint8(Step::None);
                n.reason.clear();
            } else if (Step(n.step) == Step::Started) {
                started.push_back(row);
            }
        }
        m_unsettled.swap(started);
    }

    JournalReport &m_r;
    JournalReport::Rows::Index &m_rows;
    // Rows whose step became Declared or Started since the last settling point.
    std::vector<int> m_unsettled;
    // Rows that became open (not accepted or refused for good) since the last damage.
    std::vector<int> m_open;
    // After damage, the rows the journal does not name may have gone out too.
    bool m_unknownRest = false;
    // Still reading the records written with the head.
    bool m_headRecords = true;
    std::vector<std::pair<int, int>> m_ranges;
    QString m_boot; // of the records being read
    const QString m_bootNow;
};

Result<JournalReport> readJournal(const QString &path, const QString &bootIdNow)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!file.exists())
            return Failure::fileNotFound(path);
        if (file.error() == QFileDevice::PermissionsError)
            return Failure::permissionDenied(path);
        return Failure::readError(path, file.errorString());
    }
    const JournalReport::FileState before = journalFileState(file.handle());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Failure::readError(path, file.errorString());
    const JournalReport::FileState after = journalFileState(file.handle());
    Result<JournalHead::Head> head = JournalHead::read(bytes, path);
    if (!head)
        return head.failure();

    JournalReport r;
    r.path = path;
    r.identity = std::move(head->identity);
    r.bootId = head->bootId;
    r.appendAt = bytes.size();
    if (before == after && after.size == bytes.size())
        r.readFrom = after;
    JournalReplay replay(r, bytes.size(), bootIdNow);
    QList<QByteArray> fields;
    for (qsizetype pos = head->end; pos < bytes.size();) {
        const qsizetype lf = bytes.indexOf('\n', pos);
        if (lf >= 0 && JournalRecord::open(QByteArrayView(bytes).sliced(pos, lf - pos), fields) &&
            replay.apply(fields)) {
            pos = lf + 1;
            continue;
        }
        if (r.damagedAt < 0)
            r.damagedAt = pos;
        r.ending = JournalReport::Ending::Abrupt;
        if (lf < 0 || lf + 1 == bytes.size()) {
            if (r.tail == JournalReport::Tail::Whole)
                r.tail = JournalReport::Tail::Torn;
            r.appendAt = pos;
            break;
        }
        r.tail = JournalReport::Tail::Damaged;
        replay.damaged();
        pos = nextResumed(bytes, lf + 1);
    }
    replay.settle();
    return r;
}

JournalReport::FileState journalFileState(int fd)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return {};
    const auto ns = [](const timespec &t) { return qint64(t.tv_sec) * 1000000000 + t.tv_nsec; };
    return {qint64(st.st_size), ns(st.st_mtim), ns(st.st_ctim), quint64(st.st_ino), quint64(st.st_dev)};
}

QByteArray tableDigest(const RecipientTable &table)
{
    // OpenSSL's SHA-256 uses the processor's SHA instructions: a table of a million rows is a few
    // hundred megabytes to hash, which QCryptographicHash's portable code took seconds over.
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
    // The cells go into a buffer of their own, which the digest takes a block at a time: a call per
    // cell would cost more than the hashing.
    constexpr size_t Block = 1 << 16;
    const std::unique_ptr<char[]> buffer(new char[Block]);
    size_t used = 0;
    const auto flush = [&] {
        if (EVP_DigestUpdate(ctx.get(), buffer.get(), used) != 1)
            throw std::bad_alloc();
        used = 0;
    };
    const auto add = [&](const void *bytes, size_t size) {
        const char *p = static_cast<const char *>(bytes);
        while (size > 0) {
            if (used == Block)
                flush();
            const size_t n = std::min(size, Block - used);
            std::memcpy(buffer.get() + used, p, n);
            used += n;
            p += n;
            size -= n;
        }
    };
    auto number = [&](quint64 n) {
        const quint64 le = qToLittleEndian(n);
        add(&le, sizeof le);
    };
    number(quint64(table.lastRow()) + 1);
    number(quint64(qMax(table.lastColumn(), 0)));
    for (int row = 0; row <= table.lastRow(); ++row) {
        for (int column = 1; column <= table.lastColumn(); ++column) {
            const QStringView cell = table.cellView(row, column);
            number(quint64(cell.size()));
            if constexpr (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
                add(cell.utf16(), size_t(cell.size()) * 2);
            } else {
                for (const QChar c : cell) {
                    const quint16 le = qToLittleEndian(c.unicode());
                    add(&le, sizeof le);
                }
            }
        }
    }
    flush();
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(digest.data()), &size) != 1)
        throw std::bad_alloc();
    digest.truncate(int(size));
    return digest;
}

std::optional<Failure> checkJournalTable(const JournalReport &report, const RecipientTable &table)
{
    if (table.lastRow() == report.identity.rows && tableDigest(table) == report.identity.tableDigest)
        return std::nullopt;
    return Failure::journalOtherTable(report.path, report.identity.sourceText());
}
