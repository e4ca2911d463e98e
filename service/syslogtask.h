#pragma once

#include "common/logon.h"
#include "service/collectionstats.h"
#include "service/sysloglistener.h"
#include "settings/configuration.h"

#include <QList>
#include <QObject>
#include <QRegExp>
#include <QString>
#include <QTimer>
#include <memory>

namespace service {

// Takes logons from syslog instead of polling domain controllers: listens on
// SyslogAddr ("any": both IP versions) and SyslogPort, accepts datagrams only
// from the addresses of Servers (an IPv4-mapped sender equals its IPv4
// entry), cuts each at line feeds (a carriage return stays in the line) and
// makes a logon of every line the state pattern selects, with the user and
// address the user and address patterns capture (group 1), unless the user is
// ignored or the logon is not valid.
//
// Emits newLogonCollected once per accepted datagram, also with an empty list;
// with DnsEnabled once per batch the socket delivered, so that a burst costs
// one look-up batch. A socket that cannot be bound is retried every 30 s.
//
// Created without parent by its logon collector and moved into a thread of
// its own: started() -> openSocket, finished() -> closeSocket. Tasks on the
// same address and port share one socket (SyslogListener).
class SyslogTask : public QObject
{
    Q_OBJECT
public:
    static constexpr int BindRetryMs = 30000;

    explicit SyslogTask(const settings::ADConfiguration &config);
    ~SyslogTask() override;

    // The logons of one datagram, received now.
    common::LogonList logonsFromDatagram(const QByteArray &payload);
    common::LogonList logonsFromDatagram(const QByteArray &payload, const QDateTime &now);

    // Tests: the retry timer, and the shared listener while bound.
    QTimer *bindRetryTimerForTest() { return &retryTimer; }
    SyslogListener *listenerForTest() const { return listener.get(); }

signals:
    void newLogonCollected(common::LogonList logons, QString adName);

public slots:
    void openSocket();
    void closeSocket();

private slots:
    void onDatagramsReceived(QVector<service::SyslogDatagram> datagrams);

private:
    // The Servers entry a sender stands for, or -1 when it is none of them.
    int senderIndex(const QHostAddress &sender) const;
    QString prefix() const { return config.shortName() + QStringLiteral(": "); }

    settings::ADConfiguration config;
    std::shared_ptr<SyslogListener> listener;
    QRegExp userPattern;
    QRegExp statePattern;
    QRegExp addressPattern;
    QList<QHostAddress> senders; // Servers, parsed
    QStringList senderNames;     // the Servers entries of senders, same order
    QSharedPointer<CollectionStats> stats;
    QTimer retryTimer{this}; // a child, so it moves with the task
};

} // namespace service
