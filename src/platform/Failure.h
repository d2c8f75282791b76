#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <utility>
#include <variant>

// A failure the operator is told about: its number becomes the message box title and its
// description the text. Every platform failure is made by one of the named constructors below,
// so numbers and wording stay in one place.
struct Failure {
    int number = 0;
    QString description;

    static Failure fileNotFound(const QString &path);
    static Failure permissionDenied(const QString &path);
    static Failure readError(const QString &path, const QString &reason);
    static Failure writeError(const QString &path, const QString &reason);
    static Failure emptyFile(const QString &path);
    static Failure undecodableBytes(const QString &path, qsizetype line);
    static Failure tooFewFields(qsizetype line, qsizetype expected, qsizetype found);
    static Failure extraEmptyLine(qsizetype line, qsizetype expected);
    static Failure noHeaderCell(const QString &path);
    static Failure notAWorkbook(const QString &path, const QString &reason);
    static Failure unreadableCell(int row, int column, const QString &reason);
    static Failure noAddressColumn();
    static Failure sourceNotSupported(const QString &source);
    static Failure outOfMemory();
    // vCard files and the desktop's address book.
    static Failure notAVCard(const QString &path);
    static Failure unclosedVCard(const QString &path, qsizetype line);
    static Failure damagedUtf16(const QString &path, qsizetype line);
    static Failure addressBookNotFound(const QStringList &placesLookedAt);
    static Failure profileFolderMissing(const QString &iniPath, const QString &folder);
    static Failure noDefaultProfile(const QString &iniPath);
    static Failure addressBookMissing(const QString &path);
    static Failure notAnAddressBook(const QString &path, const QString &reason);
    static Failure addressBookInUse(const QString &path);
    static Failure addressBookUnsafe(const QString &path, const QString &object);
    static Failure addressBookValueTooLarge(const QString &path, int limitBytes);
    static Failure addressBookTimedOut(const QString &path, qint64 seconds);
    static Failure inconsistentProfilePath(const QString &iniPath, const QString &path, bool markedRelative);
    static Failure odbcUnavailable();
    static Failure odbcConnect(const QString &dataSource, const QString &diagnostics);
    static Failure odbcStatement(const QString &tableOrStatement, const QString &diagnostics);
    static Failure odbcNoColumns(const QString &tableOrStatement);
    static Failure odbcNotAQuery(const QString &statement);
    // The database refused a change the statement tried to make: the source is only read.
    static Failure odbcWriteRefused(const QString &tableOrStatement, const QString &diagnostics);
    static Failure odbcNoTransaction(const QString &dataSource, const QString &diagnostics);
    static Failure odbcRead(qint64 record, const QString &diagnostics);
    static Failure nullField(qint64 record, const QString &field);
    static Failure damagedWorkbook(const QString &path);
    // The operator stopped a long import; the table loaded before stays.
    static Failure importCancelled();
    // A workbook of another format than .xls (format names it, with its extension), one that asks
    // for more than the workbook reader allows itself, and one the reader did not finish in time.
    static Failure notAWorkbookOf(const QString &path, const QString &format, const QString &reason);
    static Failure workbookLimit(const QString &path, const QString &reason);
    static Failure workbookTimedOut(const QString &path, int seconds);
    // The file that keeps the mails of the last 24 hours for the sending limits.
    static Failure sendCountRecord(const QString &path, const QString &reason);
    // A send run's server text or sender the mail library cannot use; its own text.
    static Failure mailSettingsUnusable(const QString &reason);
    // An attachment of a send run that cannot be read; the mail library's text.
    static Failure attachmentUnreadable(const QString &reason);
    // The journal of a send run; err is the errno of the call that failed.
    static Failure journalFolder(const QString &folder, int err);
    static Failure journalFolderNotOwn(const QString &folder);
    static Failure journalWrite(const QString &path, int err);
    static Failure notAJournal(const QString &path);
    static Failure journalVersion(const QString &path, const QString &version);
    static Failure journalHeadDamaged(const QString &path);
    static Failure journalOtherTable(const QString &path, const QString &source);
    static Failure journalInUse(const QString &path);
    // Another Velmora holds a run of the same table open: sending it now too would mail twice.
    static Failure tableBeingSent(const QString &source);
    // A test mail that cannot be made: no such data row, or a destination the mail library refuses.
    static Failure testSendRow(int row, int lastRow);
    static Failure testSendAddress(const QString &address, const QString &reason);
    static Failure journalFinished(const QString &path);
    // The desktop's keyring: none on this desktop, or one that refused (locked, denied).
    static Failure keyringUnavailable(const QString &detail);
    static Failure keyringRefused(const QString &detail);
    // OAuth 2.0 sign-in to a mail server and its tokens.
    static Failure oauthNotConfigured(const QString &host);
    static Failure oauthUnsafeUrl(const QString &url);
    static Failure signInCancelled();
    // A run without the window (velmora-send) found no kept sign-in or password for the account.
    static Failure signInNeedsWindow(const QString &account);
    static Failure passwordNeedsWindow(const QString &account);
    // The desktop session's timer manager would not take or drop a scheduled run.
    static Failure userTimerRefused(const QString &detail);
    static Failure signInBrowser();
    static Failure signInListen(const QString &detail);
    static Failure signInTimedOut(int minutes);
    static Failure signInRefused(const QString &error, const QString &description);
    static Failure tokenClientRefused(const QString &detail);
    static Failure tokenGrantRefused(const QString &detail);
    static Failure tokenUnreadable(const QString &url);
    static Failure tokenUnreachable(const QString &url, const QString &detail);
    // The operator's mailbox over IMAP; `where` is its "host:port".
    static Failure mailboxUnreachable(const QString &where, const QString &detail);
    static Failure mailboxTls(const QString &where, const QString &detail);
    static Failure mailboxLoginRefused(const QString &where, const QString &user, const QString &detail);
    static Failure mailboxTimedOut(const QString &where, int seconds);
    static Failure mailboxConnectionLost(const QString &where, const QString &detail);
    // The server answered NO or BAD to a command; `what` says what was asked in the operator's words.
    static Failure mailboxRefused(const QString &where, const QString &what, const QString &reply);
    static Failure mailboxNoSentFolder(const QString &where);
    // A folder name, header or search value that cannot go into an IMAP command (a line break in it).
    static Failure mailboxUnsafeValue(const QString &value);
};

// Set by the window's thread when the operator stops a long import; a reader looks at it as it goes
// and ends with Failure::importCancelled().
using CancelFlag = std::atomic<bool>;

// Failure numbers shown as message box titles.
namespace FailureNumber
{
constexpr int InvalidProcedureCall = 5;
// The operator stopped a long operation: no box is shown for it.
constexpr int UserInterrupt = 18;
constexpr int OutOfMemory = 7;
constexpr int SubscriptOutOfRange = 9;
constexpr int FileNotFound = 53;
constexpr int InputPastEnd = 62;
constexpr int PermissionDenied = 70;
constexpr int PathFileAccessError = 75;
constexpr int PathNotFound = 76;
constexpr int InvalidFileFormat = 321;
constexpr int CannotCreateObject = 429;
constexpr int InvalidCharacters = 1001;
constexpr int TooFewFields = 1002;
constexpr int InvalidUseOfNull = 94;
// Any failure the ODBC driver or its driver manager reports.
constexpr int OdbcFailure = 1010;
// The desktop's keyring, and signing in to a mail server with OAuth 2.0.
constexpr int KeyringFailure = 1020;
constexpr int SignInFailure = 1021;
// The operator's mailbox on an IMAP server.
constexpr int MailboxFailure = 1022;
} // namespace FailureNumber

// Either a value or the failure that prevented it.
template <class T> class Result
{
  public:
    Result(T value) : m_v(std::move(value)) {}
    Result(Failure failure) : m_v(std::move(failure)) {}
    bool ok() const { return std::holds_alternative<T>(m_v); }
    explicit operator bool() const { return ok(); }
    T &value() { return std::get<T>(m_v); }
    const T &value() const { return std::get<T>(m_v); }
    const Failure &failure() const { return std::get<Failure>(m_v); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }

  private:
    std::variant<T, Failure> m_v;
};
