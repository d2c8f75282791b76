#pragma once

// What a mail's texts become on the way into a message, without GMime: the text version of an
// HTML body, the local images it shows, and whether ISO-2022-JP can carry a text. The window
// layer uses them to check a mail before it is sent.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The HTML as a reader of plain text wants it: no tags, entities decoded, script and style left
// out, a line break where a block ends, links as "text (URL)"; CR LF line ends.
QString plainTextOfHtml(const QString &html);

// The local files that <img src> of `html` names, each once, in order of first mention: a path
// relative to `folder`, an absolute path, or a file: URL. Remote sources (http, https, data, cid,
// any other scheme) are not files. Whether the files exist is for the caller to see.
QStringList localImagesOf(const QString &html, const QString &folder);

// One <img src> naming a local file: where its value stands in the HTML, as written.
struct HtmlImageSource {
    qsizetype from = 0;
    qsizetype length = 0;
    QString path;
};
QList<HtmlImageSource> localImageSourcesOf(const QString &html, const QString &folder);

// Whether the text can go out as ISO-2022-JP so that every reader shows it as written: ASCII and
// the JIS X 0208 characters on whose Unicode form the common converters agree. Not: the NEC and
// IBM extensions of CP932 (①, ㈱, 髙), half-width katakana, anything outside JIS X 0208 (emoji),
// ¥ and ‾ (JIS X 0201 Roman, shown as \ and ~ by some), and the rows that glibc and Python map
// one way and ICU and Windows another (〜 ‖ − ¢ £ ¬ ―); nor ESC, SO and SI themselves.
bool fitsIso2022Jp(const QString &text);
// The text in ISO-2022-JP, ending in ASCII; nothing when it does not fit.
std::optional<QByteArray> toIso2022Jp(const QString &text);
