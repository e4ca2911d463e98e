#include "log/applicationlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {
QString executableBaseName()
{
    QString path = QCoreApplication::applicationFilePath();
    if (path.isEmpty())
        path = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return QFileInfo(path).baseName();
}
} // namespace

ApplicationLog::ApplicationLog(const QString &logDirectory) : Log(QString(), true, 100, 0x100000)
{
    ApplicationLog::setFileName(
        QStringLiteral("%1/%2.log").arg(QDir(logDirectory).absolutePath(), executableBaseName()));
}

void ApplicationLog::setFileName(const QString &name)
{
    Log::setFileName(name);
}

bool ApplicationLog::write(const QString &text)
{
    return Log::write(text);
}
