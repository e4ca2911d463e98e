#include "service/sysloglistener.h"

#include "common/clock.h"
#include "log/applicationdebug.h"

#include <QMutexLocker>
#include <QThread>
#include <algorithm>
#include <limits>
#include <sys/socket.h>

namespace service {

namespace {

constexpr qint64 NeverMs = std::numeric_limits<qint64>::min();
// Big enough for any UDP payload, so nothing is cut.
constexpr int MaxDatagramBytes = 65536;
// Datagrams taken per system call.
constexpr int BatchSlots = 32;
// A flood must not keep the thread in one notification for ever; the rest
// is read on the next turn of the event loop.
constexpr int MaxDatagramsPerTurn = 4096;
// Senders named one by one; a flood of spoofed senders beyond that is
// counted together.
constexpr int MaxTrackedSenders = 1024;

QMutex registryMutex;
QHash<QString, std::weak_ptr<SyslogListener>> registry; // guarded by registryMutex

} // namespace

std::shared_ptr<SyslogListener> SyslogListener::acquire(const QString &address, quint16 port)
{
    static const int registered = [] {
        qRegisterMetaType<service::SyslogDatagram>("service::SyslogDatagram");
        return qRegisterMetaType<QVector<service::SyslogDatagram>>("QVector<service::SyslogDatagram>");
    }();
    Q_UNUSED(registered);
    QMutexLocker lock(&registryMutex);
    const QString key = address.toLower() + QLatin1Char('|') + QString::number(port);
    if (std::shared_ptr<SyslogListener> existing = registry.value(key).lock())
        return existing;
    std::shared_ptr<SyslogListener> listener(new SyslogListener(address.toLower(), port), &SyslogListener::release);
    registry.insert(key, listener);
    return listener;
}

SyslogListener::SyslogListener(const QString &address, quint16 port) : address(address), port(port), thread(new QThread)
{
    thread->setObjectName(QStringLiteral("syslog %1:%2").arg(address).arg(port));
    moveToThread(thread);
    thread->start();
}

SyslogListener::~SyslogListener()
{
    delete thread;
}

template <typename F> void SyslogListener::runInThread(F f)
{
    if (QThread::currentThread() == thread)
        f();
    else
        QMetaObject::invokeMethod(this, f, Qt::BlockingQueuedConnection);
}

void SyslogListener::release(SyslogListener *listener)
{
    // Under the registry's lock, so that a new listener for the same port
    // binds only once this one's socket is closed.
    QMutexLocker lock(&registryMutex);
    listener->runInThread([listener] { listener->closeSocket(); });
    listener->thread->quit();
    listener->thread->wait();
    for (auto it = registry.begin(); it != registry.end();) {
        if (it->expired())
            it = registry.erase(it);
        else
            ++it;
    }
    delete listener;
}

bool SyslogListener::subscribe(const Subscriber &subscriber, QString *error)
{
    QMutexLocker bindLock(&bindMutex);
    {
        QMutexLocker lock(&mutex);
        // Added before the bind, so that its senders are accepted from the first datagram.
        subscribers.append(subscriber);
        if (bound)
            return true;
    }
    bool ok = false;
    runInThread([&] { ok = bindSocket(error); });
    if (!ok)
        unsubscribe(subscriber.id);
    return ok;
}

void SyslogListener::unsubscribe(quintptr id)
{
    QMutexLocker lock(&mutex);
    for (int i = subscribers.size() - 1; i >= 0; --i)
        if (subscribers.at(i).id == id)
            subscribers.removeAt(i);
}

int SyslogListener::receiveBufferBytes() const
{
    QMutexLocker lock(&mutex);
    return grantedBuffer;
}

quint16 SyslogListener::localPort() const
{
    QMutexLocker lock(&mutex);
    return boundPort;
}

QString SyslogListener::names() const
{
    QStringList list;
    for (const Subscriber &subscriber : subscribers)
        if (!list.contains(subscriber.name))
            list.append(subscriber.name);
    return list.join(QStringLiteral(", "));
}

bool SyslogListener::bindSocket(QString *error)
{
    closeSocket(); // every attempt starts from a fresh socket
    socket = new QUdpSocket(this);
    QHostAddress host;
    bool ok = false;
    if (address == QLatin1String("any"))
        ok = socket->bind(QHostAddress::Any, port);
    else if (host.setAddress(address))
        ok = socket->bind(host, port);
    else
        *error = QStringLiteral("\"%1\" is not an IP address").arg(address);
    if (!ok) {
        if (error->isEmpty())
            *error = socket->errorString();
        if (socket->error() == QAbstractSocket::SocketAccessError && port < 1024)
            *error += QStringLiteral(" (a port below 1024 needs root or CAP_NET_BIND_SERVICE)");
        closeSocket();
        return false;
    }
    buffer.resize(BatchSlots * MaxDatagramBytes);
    growReceiveBuffer();
    connect(socket, &QUdpSocket::readyRead, this, &SyslogListener::readPendingDatagrams);
    connect(socket, &QUdpSocket::errorOccurred, this, &SyslogListener::logError);
    QMutexLocker lock(&mutex);
    bound = true;
    boundPort = socket->localPort();
    return true;
}

void SyslogListener::growReceiveBuffer()
{
    const int fd = int(socket->socketDescriptor());
    const int wanted = ReceiveBufferBytes;
    // Beyond net.core.rmem_max only with CAP_NET_ADMIN; otherwise the kernel's maximum.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    int reserved = 0;
    socklen_t size = sizeof reserved;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &reserved, &size);
    // Linux reports twice the size asked for (bookkeeping included).
    const int granted = reserved / 2;
    QMutexLocker lock(&mutex);
    grantedBuffer = granted;
    if (granted < wanted)
        ApplicationDebug::logLow(
            QStringLiteral("%1: UDP receive buffer of %2 bytes only, asked for %3 (raise net.core.rmem_max)")
                .arg(names())
                .arg(granted)
                .arg(wanted));
}

void SyslogListener::closeSocket()
{
    delete socket;
    socket = nullptr;
    QMutexLocker lock(&mutex);
    bound = false;
    boundPort = 0;
    grantedBuffer = 0;
}

void SyslogListener::readPendingDatagrams()
{
    if (!socket)
        return;
    // Qt's own read comes first, every time: it clears Qt's note that a
    // notification is unanswered and re-arms the notifier. Skipped when a
    // batch read had already emptied the socket, that note would stay and
    // Qt would silence the socket at its next notification. With nothing
    // pending it reports a temporary error, which logError passes over.
    // Outside the lock: an error is signalled to logError right here.
    QHostAddress sender;
    const qint64 size = socket->readDatagram(buffer.data(), MaxDatagramBytes, &sender);
    QVector<SyslogDatagram> accepted;
    int read = 0;
    {
        QMutexLocker lock(&mutex);
        if (size >= 0) {
            ++read;
            take(sender, QByteArray(buffer.constData(), int(size)), &accepted);
        }
        // The rest of what is pending comes in batches straight from the
        // descriptor, a system call for many datagrams. A rejected datagram
        // is dropped and reading goes on.
        read += drain(MaxDatagramsPerTurn - read, &accepted);
    }
    if (!accepted.isEmpty())
        emit datagramsReceived(accepted);
    if (read >= MaxDatagramsPerTurn)
        QMetaObject::invokeMethod(this, &SyslogListener::readPendingDatagrams, Qt::QueuedConnection);
}

int SyslogListener::drain(int budget, QVector<SyslogDatagram> *accepted)
{
    const int fd = int(socket->socketDescriptor());
    mmsghdr messages[BatchSlots];
    iovec vectors[BatchSlots];
    sockaddr_storage senders[BatchSlots];
    int taken = 0;
    while (taken < budget) {
        const int room = std::min(BatchSlots, budget - taken);
        for (int i = 0; i < room; ++i) {
            vectors[i] = iovec{buffer.data() + qsizetype(i) * MaxDatagramBytes, size_t(MaxDatagramBytes)};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(fd, messages, unsigned(room), MSG_DONTWAIT, nullptr);
        if (count <= 0)
            break; // nothing more (or an error the next notification will meet)
        for (int i = 0; i < count; ++i)
            take(QHostAddress(reinterpret_cast<const sockaddr *>(&senders[i])),
                 QByteArray(static_cast<const char *>(vectors[i].iov_base), int(messages[i].msg_len)), accepted);
        taken += count;
        if (count < room)
            break;
    }
    return taken;
}

void SyslogListener::take(const QHostAddress &sender, const QByteArray &payload, QVector<SyslogDatagram> *accepted)
{
    if (accepts(sender))
        accepted->append(SyslogDatagram{sender, payload});
    else
        noteRejected(sender);
}

bool SyslogListener::accepts(const QHostAddress &sender) const
{
    for (const Subscriber &subscriber : subscribers)
        for (const QHostAddress &accepted : subscriber.senders)
            if (sender.isEqual(accepted, QHostAddress::TolerantConversion))
                return true;
    return false;
}

void SyslogListener::noteRejected(const QHostAddress &sender)
{
    const qint64 now = common::Clock::nowMSecsSinceEpoch();
    auto tracked = rejections.find(sender);
    if (tracked == rejections.end() && rejections.size() >= MaxTrackedSenders) {
        for (auto it = rejections.begin(); it != rejections.end();) {
            if (it->lastNoticeMs == NeverMs || now - it->lastNoticeMs >= RejectNoticeMs)
                it = rejections.erase(it);
            else
                ++it;
        }
    }
    if (tracked == rejections.end() && rejections.size() < MaxTrackedSenders)
        tracked = rejections.insert(sender, Rejection{NeverMs, 0});
    Rejection &rejection = tracked != rejections.end() ? *tracked : otherSenders;
    ++rejection.unreported;
    if (rejection.lastNoticeMs != NeverMs && now - rejection.lastNoticeMs < RejectNoticeMs)
        return;
    const QString from = tracked != rejections.end() ? sender.toString() : QStringLiteral("other senders");
    QString text = QStringLiteral("%1: Received syslog traffic from %2, we reject it").arg(names(), from);
    if (rejection.unreported > 1)
        text += QStringLiteral(" (%1 datagrams since the last notice)").arg(rejection.unreported);
    ApplicationDebug::logLow(text);
    rejection.lastNoticeMs = now;
    rejection.unreported = 0;
}

void SyslogListener::logError(QAbstractSocket::SocketError socketError)
{
    if (socketError == QAbstractSocket::TemporaryError)
        return; // nothing to read: see readPendingDatagrams
    QMutexLocker lock(&mutex);
    ApplicationDebug::logLow(
        QStringLiteral("%1: Error on UDP socket: %2").arg(names(), socket ? socket->errorString() : QString()));
}

} // namespace service
