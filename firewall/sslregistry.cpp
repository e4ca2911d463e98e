#include "firewall/sslregistry.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QThread>
#include <cstring>
#include <mutex>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <unistd.h>

namespace {

QMutex registryMutex;
QHash<const SSL *, PskSocket *> &registry()
{
    static QHash<const SSL *, PskSocket *> map; // guarded by registryMutex
    return map;
}

std::once_flag openSslOnce;

void seedRandomIfNeeded()
{
    if (RAND_status() == 1)
        return;
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (attempt > 0)
            QThread::msleep(3);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const qint32 millisecond = now.time().msec();
        const qint32 second = now.time().second();
        // Anything that changes between attempts and processes will do.
        const quint64 varying = static_cast<quint64>(now.toMSecsSinceEpoch()) ^
                                (static_cast<quint64>(::getpid()) << 32) ^ reinterpret_cast<quintptr>(&attempt) ^
                                static_cast<quint64>(attempt);
        unsigned char seed[16];
        std::memcpy(seed, &millisecond, 4);
        std::memcpy(seed + 4, &second, 4);
        std::memcpy(seed + 8, &varying, 8);
        RAND_seed(seed, sizeof seed);
        if (RAND_status() == 1)
            return;
    }
}

} // namespace

void SslRegistry::initOpenSsl()
{
    std::call_once(openSslOnce, [] {
        if (OPENSSL_init_ssl(0, nullptr) != 1)
            return;
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        seedRandomIfNeeded();
    });
}

void SslRegistry::registerSocket(SSL *ssl, PskSocket *socket)
{
    QMutexLocker lock(&registryMutex);
    registry().insert(ssl, socket);
}

void SslRegistry::unregisterSocket(SSL *ssl, const PskSocket *socket)
{
    QMutexLocker lock(&registryMutex);
    auto it = registry().find(ssl);
    if (it != registry().end() && it.value() == socket)
        registry().erase(it);
}

PskSocket *SslRegistry::socketFor(const SSL *ssl)
{
    QMutexLocker lock(&registryMutex);
    return registry().value(ssl, nullptr);
}

int SslRegistry::sizeForTest()
{
    QMutexLocker lock(&registryMutex);
    return registry().size();
}

QString SslRegistry::errorText()
{
    QStringList texts;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        texts.append(QString::fromLatin1(buffer));
    }
    return texts.join(QStringLiteral(", "));
}
