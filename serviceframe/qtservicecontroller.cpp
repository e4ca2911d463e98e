#include "serviceframe/qtservicecontroller.h"

#include "serviceframe/controlchannel.h"
#include "serviceframe/unitfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <cerrno>
#include <cstdio>

using serviceframe::ControlReply;
using serviceframe::ControlRequest;
using serviceframe::ServiceState;

namespace {
const char *const DefaultUnitDirectory = "/etc/systemd/system";
// Where the Debian package puts the unit.
const char *const PackageUnitDirectory = "/lib/systemd/system";
const int ReplyTimeoutMs = 60000; // a request waits until the service has carried it out
const int QueryTimeoutMs = 5000;

QString environmentPath(const char *name)
{
    return QString::fromLocal8Bit(qgetenv(name));
}

// systemd only knows units in its own folders; a test's unit folder is left alone.
bool systemdManagesUnitDirectory()
{
    return environmentPath("SSO_AGENT_UNIT_DIR").isEmpty() &&
           QFileInfo::exists(QStringLiteral("/run/systemd/system")) &&
           !QStandardPaths::findExecutable(QStringLiteral("systemctl")).isEmpty();
}

bool systemctl(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("systemctl"), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

ControlReply request(const QString &serviceName, ControlRequest::Kind kind, int control = 0,
                     int timeoutMs = ReplyTimeoutMs)
{
    ControlRequest r;
    r.kind = kind;
    r.control = control;
    return serviceframe::sendControlRequest(QtServiceController::controlSocketPath(serviceName), r, timeoutMs);
}

// Nobody listening means no instance runs: the service counts as stopped.
bool nobodyListens(const ControlReply &reply)
{
    return !reply.connected && (reply.error == ENOENT || reply.error == ECONNREFUSED);
}
} // namespace

QtServiceController::QtServiceController(const QString &name) : m_serviceName(name) {}

QString QtServiceController::unitDirectory()
{
    const QString fromEnvironment = environmentPath("SSO_AGENT_UNIT_DIR");
    return fromEnvironment.isEmpty() ? QString::fromLatin1(DefaultUnitDirectory) : fromEnvironment;
}

QString QtServiceController::unitFilePath(const QString &serviceName)
{
    return QDir(unitDirectory()).filePath(serviceframe::unitBaseName(serviceName) + QStringLiteral(".service"));
}

QString QtServiceController::runtimeDirectory(const QString &serviceName)
{
    const QString fromEnvironment = environmentPath("SSO_AGENT_RUNTIME_DIR");
    return fromEnvironment.isEmpty() ? QStringLiteral("/run/") + serviceframe::unitBaseName(serviceName)
                                     : fromEnvironment;
}

QString QtServiceController::controlSocketPath(const QString &serviceName)
{
    return QDir(runtimeDirectory(serviceName)).filePath(QStringLiteral("control"));
}

QString QtServiceController::packageUnitFilePath(const QString &serviceName)
{
    if (!environmentPath("SSO_AGENT_UNIT_DIR").isEmpty())
        return QString(); // a test's unit folder stands alone
    return QDir(QString::fromLatin1(PackageUnitDirectory))
        .filePath(serviceframe::unitBaseName(serviceName) + QStringLiteral(".service"));
}

bool QtServiceController::isInstalled() const
{
    const QString packaged = packageUnitFilePath(m_serviceName);
    return QFileInfo(unitFilePath(m_serviceName)).isFile() || (!packaged.isEmpty() && QFileInfo(packaged).isFile());
}

bool QtServiceController::isRunning() const
{
    const ControlReply reply = request(m_serviceName, ControlRequest::Interrogate, 0, QueryTimeoutMs);
    return reply.answered && reply.state != ServiceState::Stopped;
}

bool QtServiceController::install(const QString &serviceName, const QString &description, const QString &executable,
                                  const QString &account, const QString &password, QString *error)
{
    // A unit runs as its user without a password; the password is not stored anywhere.
    Q_UNUSED(password)
    QString user;
    if (!serviceframe::unitUser(account, &user, error))
        return false;
    const QByteArray text = serviceframe::unitFileText(serviceName, description, executable, user);
    if (text.isEmpty()) {
        *error = QStringLiteral("the executable path cannot be written into a unit file");
        return false;
    }
    const QString unitPath = unitFilePath(serviceName);
    if (!QFileInfo(unitDirectory()).isDir()) {
        *error = QStringLiteral("the unit folder %1 does not exist").arg(unitDirectory());
        return false;
    }
    if (!serviceframe::writeFileAtomically(unitPath, text, error))
        return false;
    if (systemdManagesUnitDirectory()) {
        const QString unit = QFileInfo(unitPath).fileName();
        if (!systemctl({QStringLiteral("daemon-reload")}) || !systemctl({QStringLiteral("enable"), unit}))
            *error = QStringLiteral("systemd could not enable %1").arg(unit);
    }
    return true;
}

bool QtServiceController::uninstall()
{
    const QString unitPath = unitFilePath(m_serviceName);
    if (!QFileInfo(unitPath).isFile()) {
        // Only the package's unit: the package manager owns it.
        std::fprintf(stderr, "%s belongs to the Debian package: remove it with apt-get remove %s\n",
                     qPrintable(packageUnitFilePath(m_serviceName)),
                     qPrintable(serviceframe::unitBaseName(m_serviceName)));
        return false;
    }
    const bool managed = systemdManagesUnitDirectory();
    if (managed)
        systemctl({QStringLiteral("disable"), QFileInfo(unitPath).fileName()});
    const bool removed = QFile::remove(unitPath);
    if (managed && removed)
        systemctl({QStringLiteral("daemon-reload")});
    return removed;
}

bool QtServiceController::stop()
{
    ControlReply reply = request(m_serviceName, ControlRequest::Stop);
    if (!reply.answered) {
        errno = reply.error;
        qErrnoWarning(reply.error, "stopping");
        return false;
    }
    bool stopped = reply.state == ServiceState::Stopped;
    for (int i = 0; !stopped && i < 10; ++i) {
        QThread::msleep(200);
        reply = request(m_serviceName, ControlRequest::Interrogate, 0, QueryTimeoutMs);
        if (nobodyListens(reply)) {
            stopped = true;
            break;
        }
        if (!reply.answered)
            break;
        stopped = reply.state == ServiceState::Stopped;
    }
    return stopped;
}

bool QtServiceController::pause()
{
    const ControlReply reply = request(m_serviceName, ControlRequest::Pause);
    return reply.answered && reply.accepted;
}

bool QtServiceController::resume()
{
    const ControlReply reply = request(m_serviceName, ControlRequest::Resume);
    return reply.answered && reply.accepted;
}

bool QtServiceController::sendCommand(int code)
{
    if (code < 0 || code > 127 || !isRunning())
        return false;
    const ControlReply reply = request(m_serviceName, ControlRequest::UserControl, code + 128);
    return reply.answered && reply.accepted;
}
