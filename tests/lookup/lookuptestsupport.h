#pragma once

#include "lookup/lookupoptions.h"
#include "lookup/systemresolver.h"
#include "support/dnsmasqserver.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <gtest/gtest.h>

namespace lookuptest {

// What the process log received since the tail was made.
class LogTail
{
public:
    LogTail();
    QString text() const;
    bool contains(const QString &part) const { return text().contains(part); }

private:
    qint64 m_offset = 0;
};

// The shared dnsmasq of the look-up tests, started on first use.
testsupport::DnsmasqServer &dnsmasq();
QByteArray dnsmasqHosts();

// Options asking the shared dnsmasq, with short time-outs.
lookup::LookupOptions optionsFor(const QString &mode);
lookup::LookupOptions optionsWithServer(const QString &mode, const QString &server);

// Waits (bounded) until no look-up thread of the process is left running.
bool waitForIdleWorkers(int timeoutMs = 20000);

// A system resolver with scripted answers; counts the questions.
class FakeSystemResolver : public lookup::ISystemResolver
{
public:
    FakeSystemResolver() { ISystemResolver::setForTest(this); }
    ~FakeSystemResolver() override { ISystemResolver::setForTest(nullptr); }

    int addressesOf(const QByteArray &name, QList<Answer> *answers) override;
    int nameOf(const QHostAddress &address, QByteArray *host, int *systemError) override;

    int addressStatus = 0;
    QList<Answer> addressAnswers;
    int nameStatus = 0;
    int nameErrno = 0;
    QByteArray nameAnswer;

    int addressCalls() const;
    int nameCalls() const;

private:
    mutable QMutex m_mutex;
    int m_addressCalls = 0;
    int m_nameCalls = 0;
};

} // namespace lookuptest
