#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Settings, journals and scratch files live in temporary folders, never in the user's home, and
// each test has a home of its own; workbooks are read by the workbook reader of the build tree.
void setUpTestEnvironment();

QString testDataPath(const QString &name);

// A workbook written on first use by tests/data/make_workbooks.py (the .xlsx and .ods fixtures,
// damaged and hostile ones included) into a folder removed at the end of the run.
QString workbookFixture(const QString &name);

// A scratch directory removed at the end of the test.
class ScratchDir
{
  public:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString write(const QString &name, const QByteArray &bytes) const;
    QString root() const { return m_dir.path(); }

  private:
    QTemporaryDir m_dir;
};

// Text in the operator's code page.
QByteArray toCp932(const QString &text);
