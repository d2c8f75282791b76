#include "XlsWorkbook.h"

#include <QFile>
#include <QFileInfo>

#include <freexl.h>

#include <cmath>
#include <cstdio>

namespace
{

QString freexlReason(int code)
{
    switch (code) {
    case FREEXL_INVALID_CFBF_HEADER:
    case FREEXL_CFBF_INVALID_SIGNATURE: return QStringLiteral("Excel のブックではありません");
    case FREEXL_BIFF_WORKBOOK_NOT_FOUND: return QStringLiteral("ブックのデータがありません");
    case FREEXL_INSUFFICIENT_MEMORY: return QStringLiteral("メモリが不足しています");
    case FREEXL_CRAFTED_FILE: return QStringLiteral("ファイルが壊れています");
    case FREEXL_INVALID_CHARACTER:
    case FREEXL_UNSUPPORTED_CHARSET: return QStringLiteral("文字コードを変換できません");
    default: return QStringLiteral("ファイルが壊れているか、対応していない形式です: コード %1").arg(code);
    }
}

// "YYYY-MM-DD" -> "YYYY/MM/DD" as dates read on a Japanese desktop.
QString japaneseDate(const char *text)
{
    QString s = QString::fromUtf8(text);
    if (s.size() >= 10 && s[4] == u'-' && s[7] == u'-') {
        s[4] = u'/';
        s[7] = u'/';
    }
    return s;
}

} // namespace

QString numberText15(double value)
{
    if (std::isnan(value) || std::isinf(value))
        return QString();
    if (value == 0)
        return QStringLiteral("0");
    char buf[64];
    const double mag = std::fabs(value);
    if (mag >= 1e15 || mag < 1e-15) {
        std::snprintf(buf, sizeof buf, "%.14E", value);
        // Trim zeros of the mantissa: 1.50000000000000E+20 -> 1.5E+20.
        QString s = QString::fromLatin1(buf);
        const qsizetype e = s.indexOf(u'E');
        QString mant = s.left(e), exp = s.mid(e);
        while (mant.endsWith(u'0'))
            mant.chop(1);
        if (mant.endsWith(u'.'))
            mant.chop(1);
        return mant + exp;
    }
    std::snprintf(buf, sizeof buf, "%.15g", value);
    QString s = QString::fromLatin1(buf);
    if (s.contains(u'e')) {
        // Small magnitudes print in fixed notation, as a workbook shows them.
        const int digitsAfterPoint = 15 - static_cast<int>(std::floor(std::log10(mag))) - 1;
        std::snprintf(buf, sizeof buf, "%.*f", digitsAfterPoint, value);
        s = QString::fromLatin1(buf);
        if (s.contains(u'.')) {
            while (s.endsWith(u'0'))
                s.chop(1);
            if (s.endsWith(u'.'))
                s.chop(1);
        }
    }
    return s;
}

XlsWorkbook::~XlsWorkbook()
{
    if (m_handle)
        freexl_close(m_handle);
}

Result<std::unique_ptr<XlsWorkbook>> XlsWorkbook::open(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Failure::fileNotFound(path);
    if (!info.isFile())
        return Failure::readError(path, QStringLiteral("ファイルではありません"));
    if (!info.isReadable())
        return Failure::permissionDenied(path);

    std::unique_ptr<XlsWorkbook> book(new XlsWorkbook);
    const QByteArray native = QFile::encodeName(path);
    int rc = freexl_open(native.constData(), &book->m_handle);
    if (rc != FREEXL_OK) {
        if (book->m_handle) {
            freexl_close(book->m_handle);
            book->m_handle = nullptr;
        }
        return Failure::notAWorkbook(path, freexlReason(rc));
    }
    unsigned int sheets = 0;
    rc = freexl_get_info(book->m_handle, FREEXL_BIFF_SHEET_COUNT, &sheets);
    if (rc != FREEXL_OK || sheets == 0)
        return Failure::notAWorkbook(path, QStringLiteral("ワークシートがありません"));
    rc = freexl_select_active_worksheet(book->m_handle, 0);
    if (rc != FREEXL_OK)
        return Failure::notAWorkbook(path, freexlReason(rc));
    unsigned int rows = 0;
    unsigned short columns = 0;
    rc = freexl_worksheet_dimensions(book->m_handle, &rows, &columns);
    if (rc != FREEXL_OK)
        return Failure::notAWorkbook(path, freexlReason(rc));
    book->m_rows = static_cast<int>(rows);
    book->m_columns = columns;
    return book;
}

Result<QString> XlsWorkbook::cellText(int row, int column) const
{
    if (row < 1 || column < 1 || row > m_rows || column > m_columns)
        return QString();
    FreeXL_CellValue cell;
    const int rc = freexl_get_cell_value(m_handle, static_cast<unsigned int>(row - 1),
                                         static_cast<unsigned short>(column - 1), &cell);
    if (rc != FREEXL_OK)
        return Failure::unreadableCell(row, column, freexlReason(rc));
    switch (cell.type) {
    case FREEXL_CELL_NULL: return QString();
    case FREEXL_CELL_INT: return QString::number(cell.value.int_value);
    case FREEXL_CELL_DOUBLE: return numberText15(cell.value.double_value);
    case FREEXL_CELL_TEXT:
    case FREEXL_CELL_SST_TEXT: return QString::fromUtf8(cell.value.text_value);
    case FREEXL_CELL_DATE:
    case FREEXL_CELL_DATETIME: return japaneseDate(cell.value.text_value);
    case FREEXL_CELL_TIME: return QString::fromUtf8(cell.value.text_value);
    default: return Failure::unreadableCell(row, column, QStringLiteral("値の種類が不明です"));
    }
}
