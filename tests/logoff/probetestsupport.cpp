#include "probetestsupport.h"

#include "log/applicationdebug.h"

#include <QDateTime>
#include <QDir>
#include <QHostAddress>
#include <QTest>

namespace probetest {

common::ShdLogon logonAt(const QString &address, const QString &user, const QString &workstation, const QString &sid)
{
    return common::ShdLogon::create(user, QHostAddress(address), QDateTime::fromSecsSinceEpoch(1700000000), workstation,
                                    QStringLiteral("TESTWS"), sid, QStringLiteral("test.example"));
}

ProbeRecorder::ProbeRecorder(logoffCollector::IProbeApi *probe)
{
    using logoffCollector::IProbeApi;
    connect(probe, &IProbeApi::probeSuccess, this,
            [this](unsigned int index) { events << QStringLiteral("success %1").arg(index); });
    connect(probe, &IProbeApi::probeFailure, this, [this](unsigned int index, common::Logoff::LogoffType type) {
        events << QStringLiteral("failure %1 %2").arg(index).arg(common::Logoff::typeName(type));
    });
    connect(probe, &IProbeApi::probeCompleted, this, [this](unsigned int index) {
        events << QStringLiteral("completed %1").arg(index);
        ++m_completed;
    });
}

bool ProbeRecorder::waitCompleted(int timeoutMs)
{
    const int before = m_completed;
    return QTest::qWaitFor([&] { return m_completed > before; }, timeoutMs);
}

LogCapture::LogCapture()
{
    ApplicationDebug::create(m_instance.filePath(QStringLiteral("log")));
}

LogCapture::~LogCapture()
{
    ApplicationDebug::destroy();
}

QString LogCapture::text() const
{
    return testsupport::logFolderText(m_instance.path());
}

} // namespace probetest
