// Main-window figures as the operator meets them.
//   bench_window startup           the main window built and first painted, with the settings of a
//                                  returning user (splash excluded); prints the time since main()
//   bench_window body FILE         "本文読込..." on FILE into the body, painted; prints the time
#include "app/Form1.h"
#include "app/Main.h"
#include "platform/SettingsStore.h"
#include "platform/UserDialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace
{
// CPU time of the process: on a busy machine wall time also counts the other jobs.
double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The bench answers the file dialog itself; any message box means the load failed.
class BenchDialogs : public UserDialogs
{
  public:
    QString file;
    bool failed = false;
    Answer messageBox(QWidget *, const Message &m) override
    {
        std::fprintf(stderr, "box: %s\n", qPrintable(m.text));
        failed = true;
        return Answer::Ok;
    }
    QString openFileName(QWidget *, const FileRequest &) override { return file; }
    QString saveFileName(QWidget *, const FileRequest &) override { return {}; }
    bool chooseFont(QWidget *, FontChoice &) override { return false; }
};

// Notes when the body is first painted, so that the figure includes layout and drawing; the time is
// taken at the paint itself, which may come while the window waits for something else (the
// journals of unfinished runs being read).
class PaintProbe : public QObject
{
  public:
    explicit PaintProbe(const QElapsedTimer &clock) : m_clock(clock) {}
    bool painted = false;
    double seconds = 0, cpu = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && !painted) {
            painted = true;
            seconds = m_clock.nsecsElapsed() / 1e9;
            cpu = cpuSeconds();
        }
        return false;
    }

  private:
    const QElapsedTimer &m_clock;
};
} // namespace

int main(int argc, char **argv)
{
    QElapsedTimer sinceMain;
    sinceMain.start();
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_window startup | body FILE\n");
        return 2;
    }
    QApplication app(argc, argv);
    installJapaneseTranslations(app);
    registerFontSubstitutes();
    QApplication::setFont(QFont(QStringLiteral("IPAPGothic"), 9));
    SettingsStore settings;
    BenchDialogs dialogs;
    const QString mode = QString::fromLocal8Bit(argv[1]);

    if (mode == QLatin1String("startup")) {
        Form1 form(settings, dialogs, QString());
        PaintProbe probe(sinceMain);
        form.Text4->viewport()->installEventFilter(&probe);
        form.show();
        while (!probe.painted)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        std::printf("startup seconds=%.3f cpu_seconds=%.3f\n", probe.seconds, probe.cpu);
        form.hide();
        return 0;
    }
    if (mode == QLatin1String("body") && argc == 3) {
        Form1 form(settings, dialogs, QString());
        form.show();
        QApplication::processEvents();
        dialogs.file = QString::fromLocal8Bit(argv[2]);
        QElapsedTimer timer;
        const double cpuBefore = cpuSeconds();
        timer.start();
        form.Command6->click();
        form.Text4->repaint();
        const double seconds = timer.nsecsElapsed() / 1e9;
        const double cpu = cpuSeconds() - cpuBefore;
        if (dialogs.failed)
            return 1;
        std::printf("body lines=%d chars=%lld seconds=%.3f cpu_seconds=%.3f\n", form.Text4->blockCount() - 1,
                    static_cast<long long>(form.bodyText().size()), seconds, cpu);
        form.hide();
        return 0;
    }
    std::fprintf(stderr, "usage: bench_window startup | body FILE\n");
    return 2;
}
