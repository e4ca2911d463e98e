#include "logoff/pingprobe.h"

#include "common/exception.h"
#include "log/applicationdebug.h"
#include "lookup/namelookup.h"

#include <QThread>
#include <cerrno>
#include <limits>

namespace logoffCollector {

PingProbe::PingProbe(quint32 pingTimeout, const QString &adName, unsigned int index, QObject *parent)
    : IProbeApi(adName, index, parent), pingTimeout(pingTimeout)
{}

PingProbe::~PingProbe()
{
    ping.reset(); // before the sockets it was sent through
}

QSharedPointer<IcmpSocket> PingProbe::socketFor(IcmpSocket::Family family)
{
    QSharedPointer<IcmpSocket> &socket = sockets[family == IcmpSocket::Family::V4 ? 0 : 1];
    if (!socket || socket->thread() != QThread::currentThread())
        socket = IcmpSocket::forThread(family);
    return socket;
}

void PingProbe::probe(common::ShdLogon logon)
{
    if (!logon)
        return;
    IProbeApi::probe(std::move(logon));
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer); // an echo gets its whole time-out, not 95% of it
        connect(timer, &QTimer::timeout, this, &PingProbe::onPing);
    }
    timer->stop();
    ping.reset();
    // A failed send drops its echo here: nothing is left waiting for it.
    std::unique_ptr<Ping> echo = Ping::create(this, *current);
    echo->send(*current);
    ping = std::move(echo);
    const int limit = static_cast<int>(std::min<quint32>(pingTimeout, std::numeric_limits<int>::max()));
    timer->start(ping->isFinished() ? 0 : limit);
}

void PingProbe::echoFinished()
{
    // An answer ends the attempt at once; the socket calls this outside its read loop.
    timer->stop();
    onPing();
}

void PingProbe::onPing()
{
    bool result = false;
    auto address = [this] { return current ? current->ip().toString() : QString(); };
    if (ping) {
        result = ping->isFinished() && ping->status() == 0;
        if (!result)
            ApplicationDebug::logHigh(
                QStringLiteral("%1: ICMP failed : %2 for %3")
                    .arg(adName, errorText(ping->isFinished() ? ping->status() : ETIMEDOUT), address()));
    }
    ping.reset();

    if (!result && attemptsLeft > 1 && current) {
        --attemptsLeft;
        try {
            PingProbe::probe(current);
            return;
        } catch (const common::Exception &e) {
            // A retry that cannot even be sent is the last failed attempt.
            ApplicationDebug::logHigh(
                QStringLiteral("%1: Ping failed for %2: %3").arg(adName, address(), QString::fromLatin1(e.what())));
        }
    }

    attemptsLeft = Attempts;
    if (result)
        emit probeSuccess(index);
    else
        emit probeFailure(index, common::Logoff::LogoffPing);
    emit probeCompleted(index);
}

bool PingProbe::isBusy() const
{
    return timer && timer->isActive();
}

void PingProbe::cancel()
{
    if (timer)
        timer->stop();
    current.clear();
    ping.reset();
    attemptsLeft = Attempts;
}

} // namespace logoffCollector
