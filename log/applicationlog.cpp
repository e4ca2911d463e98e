#include "log/applicationlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <unistd.h>

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
    const bool written = Log::write(text);
    if (m_echo.load(std::memory_order_relaxed)) {
        // One write per line, so that lines of several threads do not mix.
        // Message dumps join their lines with CR LF, as the file wants; a terminal wants LF.
        const QByteArray line = text.toUtf8().replace("\r\n", "\n") + '\n';
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.constData(), size_t(line.size()));
    }
    return written;
}
