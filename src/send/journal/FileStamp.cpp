#include "send/journal/FileStamp.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

std::optional<FileStamp> stampOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // OpenSSL's SHA-256 uses the processor's SHA instructions: a run of invoices hashes each
    // row's file before it goes out, and QCryptographicHash's portable code took a quarter of it.
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    QByteArray chunk(256 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        total += n;
        if (EVP_DigestUpdate(ctx.get(), chunk.constData(), size_t(n)) != 1)
            return std::nullopt;
    }
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(digest.data()), &size) != 1)
        return std::nullopt;
    digest.truncate(int(size));
    return FileStamp{path, total, digest};
}
