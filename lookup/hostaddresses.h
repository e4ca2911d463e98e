#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

// A workstation name and the addresses found for it, in the order found. The
// same address may appear more than once (the system resolver answers once
// per socket type).
class HostAddresses
{
public:
    HostAddresses() = default;
    explicit HostAddresses(const QString &name) : name(name) {}

    void append(const QHostAddress &address) { addresses.append(address); }
    void append(const QList<QHostAddress> &list) { addresses.append(list); }

    QString name;
    QList<QHostAddress> addresses;
};
