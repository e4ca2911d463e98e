#include "support/tempinstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

TempInstance::TempInstance()
{
    if (!m_dir.isValid())
        throw std::runtime_error("cannot create a temporary instance folder");
}

QString TempInstance::copyExecutable(const QString &builtPath) const
{
    const QString target = m_dir.filePath(QFileInfo(builtPath).fileName());
    QFile::remove(target);
    if (!QFile::copy(builtPath, target))
        throw std::runtime_error(("cannot copy " + builtPath).toStdString());
    QFile::setPermissions(target, QFile::permissions(builtPath) | QFile::ExeOwner);
    return target;
}

void TempInstance::setOwner(uid_t uid, gid_t gid)
{
    m_owned = true;
    m_uid = uid;
    m_gid = gid;
}

void TempInstance::writeFile(const QString &relative, const QByteArray &content) const
{
    const QString path = m_dir.filePath(relative);
    // The folders mkpath is about to create, outermost last.
    QStringList created;
    for (QString folder = QFileInfo(path).absolutePath(); !QFileInfo::exists(folder);
         folder = QFileInfo(folder).absolutePath())
        created.append(folder);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        throw std::runtime_error(("cannot write " + path).toStdString());
    file.close();
    if (!m_owned)
        return;
    for (const QString &owned : created + QStringList{path}) {
        if (::chown(QFile::encodeName(owned).constData(), m_uid, m_gid) != 0)
            throw std::runtime_error(("cannot give " + owned + " to the agent's account").toStdString());
    }
}

QByteArray TempInstance::readFile(const QString &relative) const
{
    QFile file(m_dir.filePath(relative));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

namespace {

QString sampleLogDir()
{
    const QByteArray fromEnv = qgetenv("SSO_SAMPLE_LOGS");
    if (!fromEnv.isEmpty())
        return QString::fromLocal8Bit(fromEnv);
    return QDir::cleanPath(QStringLiteral(SSO_SOURCE_DIR "/../shared/data/eventlogs"));
}

} // namespace

QString sampleLogPath(const QString &name)
{
    return QDir(sampleLogDir()).filePath(name);
}

QString missingSampleLogs(const QStringList &names)
{
    QStringList missing;
    for (const QString &name : names) {
        if (!QFileInfo(sampleLogPath(name)).isFile())
            missing.append(name);
    }
    if (missing.isEmpty())
        return QString();
    return QStringLiteral("sample event logs missing from %1: %2. This test reads public sample logs that are not "
                          "part of the repository; set SSO_SAMPLE_LOGS to the folder holding them (or place them in "
                          "../shared/data/eventlogs beside the source tree) to run it.")
        .arg(sampleLogDir(), missing.join(QStringLiteral(", ")));
}

bool sampleLogsRequired()
{
    return qgetenv("SSO_REQUIRE_SAMPLE_LOGS") == "1";
}

QString binaryPath(const QString &relative)
{
    const QByteArray fromEnv = qgetenv("SSO_BINARY_DIR");
    const QString root = fromEnv.isEmpty() ? QStringLiteral(SSO_BINARY_DIR) : QString::fromLocal8Bit(fromEnv);
    return QDir(root).filePath(relative);
}

QString logFolderText(const QString &instanceDir)
{
    const QDir dir(QDir(instanceDir).filePath(QStringLiteral("log")));
    QString text;
    for (const QString &name : dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        throw std::runtime_error("no free TCP port");
    return probe.serverPort();
}

} // namespace testsupport
