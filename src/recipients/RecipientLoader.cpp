#include "recipients/RecipientLoader.h"

#include "platform/formats/AddressBook.h"
#include "recipients/AddressCheck.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>

#include <optional>

namespace
{
using Answer = UserDialogs::Answer;
using Buttons = UserDialogs::Buttons;
using Icon = UserDialogs::Icon;
} // namespace

RecipientLoader::RecipientLoader(RecipientLoaderView &view, QObject *parent) : QObject(parent), m_view(view)
{
}

RecipientLoader::~RecipientLoader()
{
    for (const std::unique_ptr<QThread> &stopped : m_stopped)
        stopped->wait();
}

void RecipientLoader::showFailure(const Failure &failure)
{
    m_view.ask({failure.description, QString::number(failure.number), Icon::Critical, Buttons::Ok});
}

void RecipientLoader::cancel()
{
    if (m_cancel)
        m_cancel();
}

int RecipientLoader::read(const QString &strFileName, bool askOdbc, QString &strODBCconn, QString &strODBCrec,
                          RecipientTable &table, RecipientSourceName &loaded)
{
    // Kept so that a table the address check cannot use never replaces a good one.
    const RecipientTable previous = table;
    const RecipientSource source = recipientSourceOf(strFileName);
    int result = 0;
    if (source != RecipientSource::None)
        m_view.showStatus(sourceStatusText(source), true);
    switch (source) {
    case RecipientSource::Excel:
    case RecipientSource::OpenDocument:
        result = take(offThread([strFileName](const CancelFlag &cancel, const StatusSink &) {
                          return ExcelDataGet(strFileName, &cancel);
                      }),
                      table);
        break;
    case RecipientSource::Csv:
        result = take(offThread([strFileName](const CancelFlag &, const StatusSink &) {
                          return CSVDataGet(strFileName);
                      }),
                      table);
        break;
    case RecipientSource::Outlook: {
        const AddressBookPlaces places = AddressBookPlaces::fromEnvironment();
        result = take(offThread([places](const CancelFlag &cancel, const StatusSink &status) {
                          return OutlookDataGet(places, status, &cancel);
                      }),
                      table);
        break;
    }
    case RecipientSource::Odbc: {
        m_view.showStatus(QString(), true);
        // A continued run reads the data source and the table or query it recorded.
        if (askOdbc)
            m_view.chooseOdbcSource(strODBCconn, strODBCrec);
        if (strODBCrec.isEmpty() || strODBCconn.isEmpty())
            return -1;
        const QString connection = strODBCconn, statement = strODBCrec;
        Result<RecipientTable> imported =
            offThread([connection, statement](const CancelFlag &cancel, const StatusSink &status) {
                return ODBCDataGet(
                    connection, statement,
                    [&status](qint64 records) {
                        status(QStringLiteral("ODBCデータベースから読込中：%1件").arg(records));
                    },
                    &cancel);
            });
        if (!imported)
            m_view.showStatus(QString(), true);
        result = take(std::move(imported), table);
        break;
    }
    case RecipientSource::VCard:
        result = take(offThread([strFileName](const CancelFlag &, const StatusSink &) {
                          return VCardDataGet(strFileName);
                      }),
                      table);
        break;
    case RecipientSource::None: break;
    }
    if (result < 0)
        return -1;

    const Result<AddressCheck> check = checkAddresses(table);
    if (!check) {
        table = previous;
        showFailure(check.failure());
        return -1;
    }
    if (source != RecipientSource::None) {
        loaded.source = strFileName;
        loaded.odbcConnection = source == RecipientSource::Odbc ? strODBCconn : QString();
        loaded.odbcStatement = source == RecipientSource::Odbc ? strODBCrec : QString();
    }
    m_view.showAddresses(check->addresses);
    m_view.showStatus(check->statusText(), true);
    if (check->suspect > 0 &&
        m_view.ask({QStringLiteral("読込エラーの行があります。表示しますか？"), QStringLiteral("読込エラー"),
                    Icon::Warning, Buttons::YesNo}) == Answer::Yes)
        m_view.showText(QStringLiteral("読込エラー"), check->suspectList);
    return 0;
}

Result<RecipientTable>
RecipientLoader::offThread(std::function<Result<RecipientTable>(const CancelFlag &, const StatusSink &)> work)
{
    // The reader runs on a thread of its own while the window goes on answering: its status texts
    // reach the status line (painted a few times a second at most), and the stop button ends the
    // wait at once. A stopped reader's table is never used; the thread ends on its own.
    struct Job {
        CancelFlag cancel{false};
        std::optional<Result<RecipientTable>> result;
    };
    auto job = std::make_shared<Job>();
    QPointer<RecipientLoader> self(this);
    auto lastPaint = std::make_shared<QElapsedTimer>();
    lastPaint->start();
    const StatusSink status = [self, lastPaint](const QString &text) {
        QMetaObject::invokeMethod(
            self,
            [self, text, lastPaint] {
                if (!self)
                    return;
                const bool paint = lastPaint->elapsed() >= 50;
                if (paint)
                    lastPaint->restart();
                self->m_view.showStatus(text, paint);
            },
            Qt::QueuedConnection);
    };
    // The thread object is owned here, never left to a deferred delete: the nested loop below
    // would run that delete before the thread is asked whether it finished.
    std::unique_ptr<QThread> owned(QThread::create(
        [job, status, work = std::move(work)] { job->result.emplace(work(job->cancel, status)); }));
    QThread *thread = owned.get();
    QEventLoop loop;
    connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    m_cancel = [job, &loop] {
        job->cancel = true;
        loop.quit();
    };
    thread->start();
    m_view.showImporting(true);
    loop.exec();
    m_cancel = {};
    m_view.showImporting(false);
    // Stopped imports that have ended since are let go; one still reading is kept until it ends.
    std::erase_if(m_stopped, [](const std::unique_ptr<QThread> &stopped) { return stopped->isFinished(); });
    if (thread->isFinished()) {
        thread->wait();
        if (job->result) {
            QCoreApplication::sendPostedEvents(this); // the last status texts before the outcome
            return std::move(*job->result);
        }
    } else {
        m_stopped.push_back(std::move(owned));
    }
    return Failure::importCancelled();
}

int RecipientLoader::take(Result<RecipientTable> imported, RecipientTable &table)
{
    // The new table replaces the loaded one only when it was read whole.
    if (!imported) {
        if (imported.failure().number == FailureNumber::UserInterrupt)
            m_view.showStatus(imported.failure().description, true);
        else
            showFailure(imported.failure());
        return -1;
    }
    table = std::move(imported.value());
    return 0;
}
