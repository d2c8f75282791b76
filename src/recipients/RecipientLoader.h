#pragma once

#include "platform/Failure.h"
#include "platform/UserDialogs.h"
#include "recipients/AddressCheck.h"
#include "recipients/Importers.h"
#include "recipients/RecipientTable.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>
#include <vector>

// What loading a table shows and asks: the status line (with the import's progress), the address
// list, whether an import runs, the suspect rows, and the ODBC data-source dialog. The main window
// is one, through the mailing.
class RecipientLoaderView
{
  public:
    virtual ~RecipientLoaderView() = default;
    // The status line; an import that reports thousands of texts paints some of them later.
    virtual void showStatus(const QString &text, bool paintNow) = 0;
    virtual void showAddresses(const RecipientAddresses &addresses) = 0;
    // While an import runs the window locks what could start another and shows the stop button.
    virtual void showImporting(bool importing) = 0;
    virtual UserDialogs::Answer ask(const UserDialogs::Message &message) = 0;
    virtual void showText(const QString &caption, const QString &text) = 0;
    // Sets both texts, or empties both when the operator cancelled.
    virtual void chooseOdbcSource(QString &strODBCconn, QString &strODBCrec) = 0;
};

// Where a table came from, as a run's journal names it: the load's text and, for ODBC, the data
// source and the table or query.
struct RecipientSourceName {
    QString source;
    QString odbcConnection;
    QString odbcStatement;
};

// Loads the recipient table: chooses the importer by the source text, reads on a thread of its own
// while the window goes on answering, checks the addresses, and replaces the table only with one
// read whole.
class RecipientLoader : public QObject
{
    Q_OBJECT
  public:
    explicit RecipientLoader(RecipientLoaderView &view, QObject *parent = nullptr);
    // Waits for reads that were stopped and are still ending.
    ~RecipientLoader() override;

    // A path ending in .xls, .xlsx, .ods, .csv or .vcf, or the word OUTLOOK or ODBC: 0 when loaded
    // (or when the source names no importer), -1 when the import failed; a failure has been shown
    // before the return, and the table is as it was. ODBC reads strODBCconn and strODBCrec, after
    // the data-source dialog when askOdbc. `loaded` names the source of a table that was read.
    int read(const QString &strFileName, bool askOdbc, QString &strODBCconn, QString &strODBCrec,
             RecipientTable &table, RecipientSourceName &loaded);

    bool importing() const { return bool(m_cancel); }
    // The stop button during an import: the read ends at once and the table stays as it was.
    void cancel();

  private:
    int take(Result<RecipientTable> imported, RecipientTable &table);
    Result<RecipientTable>
    offThread(std::function<Result<RecipientTable>(const CancelFlag &, const StatusSink &)> work);
    void showFailure(const Failure &failure);

    RecipientLoaderView &m_view;
    // Stops the import in progress (empty when none runs); threads of stopped imports still ending.
    std::function<void()> m_cancel;
    std::vector<std::unique_ptr<QThread>> m_stopped;
};
