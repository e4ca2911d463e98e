#include "support/networknamespace.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <unistd.h>

namespace testsupport {

namespace {

QString missingReason = QStringLiteral("the test process has not entered a network namespace of its own");

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

} // namespace

void enterNetworkNamespace()
{
    // unshare() moves only the calling thread: with one thread, that is the process.
    if (threadCount() != 1) {
        missingReason = QStringLiteral("the process already has several threads");
        return;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        missingReason = QStringLiteral("the kernel refuses a network namespace: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    const QStringList setup{
        QStringLiteral("ip link set lo up"),
        QStringLiteral("ip route add %1 dev lo").arg(QLatin1String(netns::SilentV4)),
        QStringLiteral("ip route add unreachable %1").arg(QLatin1String(netns::UnreachableV4)),
        QStringLiteral("ip -6 route add unreachable %1").arg(QLatin1String(netns::UnreachableV6)),
        QStringLiteral("ip -6 route add %1 dev lo").arg(QLatin1String(netns::IcmpErrorV6)),
    };
    for (const QString &command : setup) {
        if (std::system(command.toLocal8Bit().constData()) != 0) {
            missingReason = QStringLiteral("setting up the network namespace failed: %1").arg(command);
            return;
        }
    }
    missingReason.clear();
}

QString networkNamespaceMissing()
{
    return missingReason;
}

bool runCommand(const QString &command, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    const bool finished = process.waitForFinished(30000);
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

SysctlOverride::SysctlOverride(const QString &path, const QString &value) : m_path(QStringLiteral("/proc/sys/") + path)
{
    QFile current(m_path);
    if (!current.open(QIODevice::ReadOnly))
        return;
    m_old = current.readAll();
    current.close();
    QFile file(m_path);
    m_ok = file.open(QIODevice::WriteOnly) && file.write(value.toLatin1() + '\n') > 0;
}

SysctlOverride::~SysctlOverride()
{
    if (m_old.isEmpty())
        return;
    QFile file(m_path);
    if (file.open(QIODevice::WriteOnly))
        file.write(m_old);
}

} // namespace testsupport
