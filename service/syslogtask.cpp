#include "service/syslogtask.h"

#include "common/clock.h"
#include "log/applicationdebug.h"

#include <limits>

namespace service {

SyslogTask::SyslogTask(const settings::ADConfiguration &config)
    : config(config), userPattern(config.syslogUserPattern(), Qt::CaseSensitive, QRegExp::RegExp),
      statePattern(config.syslogMsgPattern(), Qt::CaseSensitive, QRegExp::RegExp),
      addressPattern(config.syslogAddrPattern(), Qt::CaseSensitive, QRegExp::RegExp),
      stats(CollectionStats::of(config.adName()))
{
    if (!addressPattern.isValid())
        ApplicationDebug::logLow(QStringLiteral("Invalid regular expression for IP"));
    if (!userPattern.isValid())
        ApplicationDebug::logLow(QStringLiteral("Invalid regular expression for user"));
    if (!statePattern.isValid())
        ApplicationDebug::logLow(QStringLiteral("Invalid regular expression for state"));
    for (const QString &server : config.servers()) {
        QHostAddress address;
        if (address.setAddress(server)) {
            senders.append(address);
            senderNames.append(server);
        } else {
            ApplicationDebug::logLow(prefix() +
                                     QStringLiteral("%1 is not an IP address: no syslog is taken from it").arg(server));
        }
    }
    retryTimer.setSingleShot(true);
    retryTimer.setInterval(BindRetryMs);
    connect(&retryTimer, &QTimer::timeout, this, &SyslogTask::openSocket);
}

SyslogTask::~SyslogTask()
{
    if (listener)
        listener->unsubscribe(quintptr(this));
}

void SyslogTask::openSocket()
{
    if (listener)
        return;
    QString error;
    if (config.syslogPort() > 0xffff) {
        error = QStringLiteral("port %1 is out of range").arg(config.syslogPort());
    } else {
        std::shared_ptr<SyslogListener> shared =
            SyslogListener::acquire(config.syslogAddr(), quint16(config.syslogPort()));
        // Connected before subscribing: the first datagram may come at once.
        connect(shared.get(), &SyslogListener::datagramsReceived, this, &SyslogTask::onDatagramsReceived,
                Qt::QueuedConnection);
        if (shared->subscribe(SyslogListener::Subscriber{quintptr(this), config.shortName(), senders}, &error)) {
            listener = std::move(shared);
            return;
        }
        // A socket that did not bind is not kept: the retry starts afresh.
        disconnect(shared.get(), nullptr, this, nullptr);
    }
    retryTimer.start();
    ApplicationDebug::logLow(prefix() + QStringLiteral("Unable to bind UDP socket: %1").arg(error));
    stats->syslogFailed(senderNames, QStringLiteral("Unable to bind UDP socket: %1").arg(error));
}

void SyslogTask::closeSocket()
{
    retryTimer.stop();
    if (!listener)
        return;
    listener->unsubscribe(quintptr(this));
    disconnect(listener.get(), nullptr, this, nullptr);
    listener.reset();
}

int SyslogTask::senderIndex(const QHostAddress &sender) const
{
    for (int i = 0; i < senders.size(); ++i)
        if (sender.isEqual(senders.at(i), QHostAddress::TolerantConversion))
            return i;
    return -1;
}

void SyslogTask::onDatagramsReceived(QVector<SyslogDatagram> datagrams)
{
    // Every task on a shared socket sees every accepted datagram; each takes its own.
    common::LogonList batch;
    bool any = false;
    // Each datagram's logons take the time it is processed at. A local time
    // costs a system call to make: one per millisecond, not per datagram.
    qint64 nowMs = std::numeric_limits<qint64>::min();
    QDateTime now;
    // Datagrams and logons per sender, counted once per burst.
    QVector<QPair<quint64, quint64>> received(senders.size());
    for (const SyslogDatagram &datagram : qAsConst(datagrams)) {
        const int sender = senderIndex(datagram.sender);
        if (sender < 0)
            continue;
        const qint64 ms = common::Clock::nowMSecsSinceEpoch();
        if (ms != nowMs) {
            nowMs = ms;
            now = QDateTime::fromMSecsSinceEpoch(ms);
        }
        const common::LogonList logons = logonsFromDatagram(datagram.payload, now);
        ++received[sender].first;
        received[sender].second += quint64(logons.size());
        if (config.dnsEnabled()) {
            // One look-up batch for all of them rather than one per datagram.
            batch += logons;
            any = true;
        } else {
            emit newLogonCollected(logons, config.shortName());
        }
    }
    if (any)
        emit newLogonCollected(batch, config.shortName());
    for (int i = 0; i < received.size(); ++i) {
        if (received.at(i).first > 0)
            stats->received(senderNames.at(i), received.at(i).first, received.at(i).second, now);
    }
}

common::LogonList SyslogTask::logonsFromDatagram(const QByteArray &payload)
{
    return logonsFromDatagram(payload, common::Clock::now());
}

common::LogonList SyslogTask::logonsFromDatagram(const QByteArray &payload, const QDateTime &now)
{
    const QString text = QString::fromUtf8(payload);
    // Built only when it is written: a burst brings tens of thousands a second.
    if (ApplicationDebug::isOn(ApplicationDebug::LevelHigh))
        ApplicationDebug::logHigh(prefix() + QStringLiteral("Received from syslog: %1").arg(text));
    common::LogonList logons;
    for (const QStringRef &line : text.splitRef(QLatin1Char('\n'))) {
        if (line.isEmpty())
            continue;
        const QString lineText = line.toString();
        const QString user = userPattern.indexIn(lineText) >= 0 ? userPattern.cap(1) : QString();
        if (config.ignoreList().contains(user, Qt::CaseInsensitive))
            continue;
        QHostAddress address;
        if (addressPattern.indexIn(lineText) >= 0)
            address.setAddress(addressPattern.cap(1));
        if (statePattern.indexIn(lineText) < 0)
            continue; // not a logon message
        const common::Logon logon(user, address, now, QString(), config.netbios(), QString(), config.fqdn());
        if (logon.isValid())
            logons.append(logon);
    }
    return logons;
}

} // namespace service
