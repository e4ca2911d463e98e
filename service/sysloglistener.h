#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QUdpSocket>
#include <QVector>
#include <limits>
#include <memory>

class QThread;

namespace service {

// One datagram as it came: its sender and its payload.
struct SyslogDatagram
{
    QHostAddress sender;
    QByteArray payload;
};

// One UDP socket per syslog address and port, shared by every syslog task
// that listens there: each task subscribes with its domain controllers and
// takes their datagrams from datagramsReceived. A datagram from a sender no
// subscriber accepts is dropped, and said in the log at most once a minute
// per sender.
//
// Reads everything pending at each readiness notification into one batch,
// into a receive buffer of 8 MiB (or the most the kernel grants), so a burst
// of logons at shift start is not dropped.
//
// The listener lives in a thread of its own, which it owns; the socket is
// created, read and deleted only there. Tasks hold it through the shared
// pointer of acquire(); the last one to let go stops the thread. acquire,
// subscribe and unsubscribe may be called from any thread.
class SyslogListener : public QObject
{
    Q_OBJECT
public:
    // Receive buffer asked of the kernel.
    static constexpr int ReceiveBufferBytes = 8 * 1024 * 1024;
    // Rejected senders are named at most this often.
    static constexpr qint64 RejectNoticeMs = 60 * 1000;

    struct Subscriber
    {
        quintptr id = 0;             // the subscribing task
        QString name;                // its log prefix (shortName)
        QList<QHostAddress> senders; // the addresses it accepts
    };

    // The listener of address ("any": both IP versions) and port, created on
    // first request; not yet bound until a subscriber arrives.
    static std::shared_ptr<SyslogListener> acquire(const QString &address, quint16 port);

    // Adds a subscriber; binds the socket if it is not bound yet. False, with
    // the reason in *error, when the socket cannot be bound: the subscriber
    // is not added then.
    bool subscribe(const Subscriber &subscriber, QString *error);
    void unsubscribe(quintptr id);

    // The receive buffer the kernel granted, in bytes (0 while unbound).
    int receiveBufferBytes() const;
    quint16 localPort() const;

signals:
    // Everything accepted in one readiness notification, in arrival order.
    void datagramsReceived(QVector<service::SyslogDatagram> datagrams);

private slots:
    void readPendingDatagrams();
    void logError(QAbstractSocket::SocketError socketError);

private:
    SyslogListener(const QString &address, quint16 port);
    ~SyslogListener() override;
    static void release(SyslogListener *listener);
    // In the listener's thread.
    bool bindSocket(QString *error);
    void growReceiveBuffer();
    void closeSocket();
    // Runs f in the listener's thread and waits for it.
    template <typename F> void runInThread(F f);

    // The rest of what is pending, at most budget datagrams; mutex held.
    int drain(int budget, QVector<SyslogDatagram> *accepted);
    void take(const QHostAddress &sender, const QByteArray &payload, QVector<SyslogDatagram> *accepted);
    bool accepts(const QHostAddress &sender) const; // mutex held
    void noteRejected(const QHostAddress &sender);
    QString names() const; // mutex held

    struct Rejection
    {
        qint64 lastNoticeMs = std::numeric_limits<qint64>::min(); // never
        int unreported = 0;
    };

    const QString address;
    const quint16 port;
    QThread *thread;
    QUdpSocket *socket = nullptr;              // in the listener's thread only
    QByteArray buffer;                         // in the listener's thread only
    QHash<QHostAddress, Rejection> rejections; // in the listener's thread only
    Rejection otherSenders;                    // beyond the senders tracked one by one; listener's thread
    QMutex bindMutex;                          // one bind at a time; taken before mutex
    mutable QMutex mutex;
    QList<Subscriber> subscribers; // guarded by mutex
    bool bound = false;            // guarded by mutex
    int grantedBuffer = 0;         // guarded by mutex
    quint16 boundPort = 0;         // guarded by mutex
};

} // namespace service

Q_DECLARE_METATYPE(service::SyslogDatagram)
Q_DECLARE_METATYPE(QVector<service::SyslogDatagram>)
