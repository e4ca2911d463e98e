#pragma once

#include "logoff/icmpsocket.h"
#include "logoff/iprobeapi.h"
#include "logoff/ping.h"

#include <QSharedPointer>
#include <QTimer>
#include <memory>

namespace logoffCollector {

// Answers by ICMP echo to the logon's address (IPv4 or IPv6): up to four
// echoes, each given pingTimeout milliseconds; the first reply ends the probe
// with probeSuccess, the fourth echo without one with probeFailure
// (LogoffPing). An ICMP error or a destination the network refuses ends an
// attempt at once. Busy from probe() until probeCompleted.
//
// Lives in its owner's thread; echoes go through that thread's shared ICMP
// sockets, which the probe keeps open while it lives.
class PingProbe : public IProbeApi
{
    Q_OBJECT
public:
    static constexpr quint32 Attempts = 4;

    PingProbe(quint32 pingTimeout, const QString &adName, unsigned int index, QObject *parent = nullptr);
    ~PingProbe() override;

    // Raises common::Exception when the echo cannot be created or sent.
    void probe(common::ShdLogon logon) override;
    void cancel() override;
    bool isBusy() const override;

    quint32 attemptsLeftForTest() const { return attemptsLeft; }

private slots:
    void onPing();

private:
    friend class Ping;
    QSharedPointer<IcmpSocket> socketFor(IcmpSocket::Family family);
    void echoFinished();

    quint32 pingTimeout;
    QSharedPointer<IcmpSocket> sockets[2]; // by family, kept between echoes
    std::unique_ptr<Ping> ping;            // the echo under way
    QTimer *timer = nullptr;               // child, created on first use
    quint32 attemptsLeft = Attempts;
};

} // namespace logoffCollector
