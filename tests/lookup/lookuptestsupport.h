#pragma once

#include "lookup/lookupoptions.h"
#include "lookup/systemresolver.h"

#include <QString>
#include <atomic>
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

// Options asking the shared dnsmasq (started on first use), or the given
// server, with short time-outs.
lookup::LookupOptions optionsFor(const QString &mode);
lookup::LookupOptions optionsWithServer(const QString &mode, const QString &server);

// Waits (bounded) until no look-up thread of the process is left running.
bool waitForIdleWorkers();

// A system resolver with scripted answers; counts the questions.
class FakeSystemResolver : public lookup::ISystemResolver
{
public:
    FakeSystemResolver() { ISystemResolver::setForTest(this); }
    ~FakeSystemResolver() override { ISystemResolver::setForTest(nullptr); }

    int addressesOf(const QByteArray &, QList<Answer> *answers) override
    {
        ++addressCalls;
        if (addressStatus == 0)
            *answers = addressAnswers;
        return addressStatus;
    }
    int nameOf(const QHostAddress &, QByteArray *host, int *systemError) override
    {
        ++nameCalls;
        *systemError = nameErrno;
        if (nameStatus == 0)
            *host = nameAnswer;
        return nameStatus;
    }

    int addressStatus = 0;
    QList<Answer> addressAnswers;
    int nameStatus = 0;
    int nameErrno = 0;
    QByteArray nameAnswer;
    std::atomic<int> addressCalls{0};
    std::atomic<int> nameCalls{0};
};

} // namespace lookuptest
