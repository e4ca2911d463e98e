#pragma once

#include "common/logon.h"
#include "logoff/iprobeapi.h"
#include "support/networknamespace.h"
#include "support/tempinstance.h"

#include <QObject>
#include <QStringList>
#include <gtest/gtest.h>

namespace probetest {

// Skips a test that needs the test process's own network namespace.
#define SKIP_WITHOUT_NETNS()                                                                                           \
    do {                                                                                                               \
        const QString missing = testsupport::networkNamespaceMissing();                                                \
        if (!missing.isEmpty())                                                                                        \
            GTEST_SKIP() << missing.toStdString();                                                                     \
    } while (false)

common::ShdLogon logonAt(const QString &address, const QString &user = QStringLiteral("alice"),
                         const QString &workstation = QString(), const QString &sid = QString());

// Everything a probe emits, in order: "success 3", "failure 3 ping", "completed 3".
class ProbeRecorder : public QObject
{
    Q_OBJECT
public:
    explicit ProbeRecorder(logoffCollector::IProbeApi *probe);
    QStringList events;
    // Waits (bounded) for the next probeCompleted.
    bool waitCompleted(int timeoutMs = 20000);

private:
    int m_completed = 0;
};

// The process-wide log in a temporary folder; text() is what was written.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QString text() const;
    int count(const QString &needle) const { return text().count(needle); }
    const testsupport::TempInstance &instance() const { return m_instance; }

private:
    testsupport::TempInstance m_instance;
};

} // namespace probetest
