#include "sambaserver.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <csignal>
#include <sys/types.h>

namespace probetest {

namespace {

// Every process whose command line names this folder: smbd and the RPC helpers it starts.
QList<pid_t> processesUsing(const QString &folder)
{
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid || pid == ::getpid())
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(folder.toLocal8Bit()))
            found.append(pid);
    }
    return found;
}

} // namespace

bool SambaServer::tool(const QString &program, const QStringList &arguments, const QByteArray &input, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    const bool done = process.waitForFinished(30000);
    const QString text = QString::fromLocal8Bit(process.readAll());
    if (output)
        *output = text;
    if (!done || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 %2 failed: %3").arg(program, arguments.join(QLatin1Char(' ')), text);
        return false;
    }
    return true;
}

bool SambaServer::start(const QStringList &userKeys)
{
    const QString root = m_dir.path();
    for (const char *sub : {"private", "lock", "state", "cache", "pid", "ncalrpc", "bind"})
        QDir(root).mkpath(QLatin1String(sub));
    const QString conf = m_dir.filePath(QStringLiteral("smb.conf"));
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QStringLiteral("[global]\n"
                              "  netbios name = %2\n  workgroup = %2\n  server role = standalone server\n"
                              "  security = user\n"
                              "  private dir = %1/private\n  lock directory = %1/lock\n"
                              "  state directory = %1/state\n  cache directory = %1/cache\n"
                              "  pid directory = %1/pid\n  ncalrpc dir = %1/ncalrpc\n  binddns dir = %1/bind\n"
                              "  log file = %1/log.%m\n  log level = 1\n"
                              "  passdb backend = tdbsam:%1/private/passdb.tdb\n"
                              "  username map = %1/usermap\n"
                              "  interfaces = lo\n  bind interfaces only = yes\n  smb ports = 445\n"
                              "  disable netbios = yes\n  load printers = no\n  printcap name = /dev/null\n")
                   .arg(root, QLatin1String(NetbiosName))
                   .toUtf8());
    file.close();
    QFile map(m_dir.filePath(QStringLiteral("usermap")));
    if (!map.open(QIODevice::WriteOnly) || map.write("root = ssoagent\n") <= 0)
        return false;
    map.close();

    const QByteArray password = QByteArray(Password) + '\n';
    QString output;
    if (!tool(QStringLiteral("pdbedit"),
              {QStringLiteral("-s"), conf, QStringLiteral("-a"), QStringLiteral("-t"), QStringLiteral("-u"),
               QStringLiteral("root")},
              password + password, nullptr) ||
        !tool(QStringLiteral("pdbedit"),
              {QStringLiteral("-s"), conf, QStringLiteral("-L"), QStringLiteral("-v"), QStringLiteral("-u"),
               QStringLiteral("root")},
              QByteArray(), &output))
        return false;
    m_rootSid = QRegularExpression(QStringLiteral("User SID:\\s+(S-[0-9-]+)")).match(output).captured(1);
    if (m_rootSid.isEmpty()) {
        m_error = QStringLiteral("no SID for root: %1").arg(output);
        return false;
    }
    for (const QString &key : userKeys) {
        const QString path =
            key.startsWith(QLatin1String("HKU\\")) ? key : QStringLiteral("HKU\\%1\\%2").arg(m_rootSid, key);
        if (!tool(QStringLiteral("net"),
                  {QStringLiteral("-s"), conf, QStringLiteral("registry"), QStringLiteral("createkey"), path},
                  QByteArray(), nullptr))
            return false;
    }

    m_smbd.setProcessChannelMode(QProcess::MergedChannels);
    m_smbd.setStandardOutputFile(m_dir.filePath(QStringLiteral("smbd.out")));
    // A test that dies must not leave its server behind.
    m_smbd.start(QStringLiteral("setpriv"),
                 {QStringLiteral("--pdeathsig"), QStringLiteral("TERM"), QStringLiteral("--"),
                  QStringLiteral("/usr/sbin/smbd"), QStringLiteral("--foreground"), QStringLiteral("--debug-stdout"),
                  QStringLiteral("-s"), conf});
    const bool listening = QTest::qWaitFor(
        [&] {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), 445);
            return m_smbd.state() == QProcess::Running && probe.waitForConnected(200);
        },
        20000);
    if (!listening) {
        QFile log(m_dir.filePath(QStringLiteral("smbd.out")));
        log.open(QIODevice::ReadOnly);
        m_error =
            QStringLiteral("smbd does not listen on 127.0.0.1:445: %1").arg(QString::fromLocal8Bit(log.readAll()));
        return false;
    }
    return true;
}

QString SambaServer::authFile(const QString &password)
{
    const QString path = m_dir.filePath(QStringLiteral("auth-%1").arg(password));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QStringLiteral("username = ssoagent\npassword = %1\ndomain = %2\n")
                       .arg(password, QLatin1String(NetbiosName))
                       .toUtf8());
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    return path;
}

void SambaServer::stop()
{
    // smbd's RPC helpers live in process groups of their own: find them by our folder.
    for (const pid_t pid : processesUsing(m_dir.path()))
        ::kill(pid, SIGTERM);
    if (m_smbd.state() != QProcess::NotRunning && !m_smbd.waitForFinished(5000))
        m_smbd.kill();
    if (QTest::qWaitFor([&] { return processesUsing(m_dir.path()).isEmpty(); }, 5000))
        return;
    for (const pid_t pid : processesUsing(m_dir.path()))
        ::kill(pid, SIGKILL);
    m_smbd.waitForFinished(5000);
}

} // namespace probetest
