#include "logoff/remoteregistry.h"

#include "lookup/namelookup.h"

#include <QMutex>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTimer>
#include <cerrno>

namespace logoffCollector {

namespace {

QMutex toolsMutex;
QString netTool = QStringLiteral("net");             // under toolsMutex
QString rpcclientTool = QStringLiteral("rpcclient"); // under toolsMutex

// The "file not found" answers of an open: the key is not there. Every
// other failure (access denied, a broken pipe...) says nothing about the user.
bool meansKeyMissing(const QString &status)
{
    static const QStringList missing{
        QStringLiteral("NT_STATUS_NO_SUCH_DEVICE"), // how the client renders the server's "file not found"
        QStringLiteral("NT_STATUS_OBJECT_NAME_NOT_FOUND"), QStringLiteral("NT_STATUS_NO_SUCH_FILE"),
        QStringLiteral("WERR_FILE_NOT_FOUND"), QStringLiteral("WERR_BADFILE")};
    return missing.contains(status);
}

QString toolProgram(const QString &tool)
{
    QMutexLocker lock(&toolsMutex);
    return tool;
}

QString reasonText(const QString &what, int code)
{
    return QStringLiteral("%1 (error: %2)").arg(what).arg(code);
}

QStringList outputLines(const QString &output)
{
    QStringList lines;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            lines.append(trimmed);
    }
    return lines;
}

QString lastLine(const QStringList &lines)
{
    return lines.isEmpty() ? QStringLiteral("no output") : lines.last();
}

// Texts that reach a tool's command line: none may pass for an option or
// break out of rpcclient's quoting.
bool safeName(const QString &text)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_.$][A-Za-z0-9_.$-]*$"));
    return name.match(text).hasMatch();
}

bool safeAccount(const QString &text)
{
    if (text.isEmpty() || text.startsWith(QLatin1Char('-')))
        return false;
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char(';') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

bool safeSid(const QString &text)
{
    static const QRegularExpression sid(QStringLiteral("^S-1-\\d+(-\\d+)+$"));
    return sid.match(text).hasMatch();
}

} // namespace

RemoteRegistry::RemoteRegistry(QObject *parent) : QObject(parent), m_limit(new QTimer(this))
{
    m_limit->setSingleShot(true);
    connect(m_limit, &QTimer::timeout, this, [this] {
        const QString program = m_process ? m_process->program() : QString();
        finish({Outcome::ConnectError, QString(),
                QStringLiteral("%1: no answer within %2 ms: %3")
                    .arg(program)
                    .arg(m_timeLimitMs)
                    .arg(errorText(ETIMEDOUT))});
    });
}

RemoteRegistry::~RemoteRegistry()
{
    cancel();
}

void RemoteRegistry::setToolsForTest(const QString &net, const QString &rpcclient)
{
    QMutexLocker lock(&toolsMutex);
    netTool = net;
    rpcclientTool = rpcclient;
}

QStringList RemoteRegistry::commonArguments(const QHostAddress &address) const
{
    QStringList arguments;
    if (m_authFile.isEmpty())
        arguments << QStringLiteral("--use-kerberos=required") << QStringLiteral("--no-pass");
    else
        arguments << QStringLiteral("--authentication-file=%1").arg(m_authFile);
    // The address answered the ping: talk to it, with the name for Kerberos.
    arguments << QStringLiteral("-I") << address.toString();
    return arguments;
}

void RemoteRegistry::lookupSid(const QString &workstation, const QHostAddress &address, const QString &account,
                               Callback done)
{
    const QString program = toolProgram(rpcclientTool);
    if (!safeName(workstation) || !safeAccount(account)) {
        run(QString(), {}, nullptr, std::move(done));
        return;
    }
    QStringList arguments = commonArguments(address);
    arguments << QStringLiteral("-c") << QStringLiteral("lookupnames \"%1\"").arg(account) << workstation;
    run(program, arguments, &RemoteRegistry::sidAnswer, std::move(done));
}

void RemoteRegistry::checkUserKey(const QString &workstation, const QHostAddress &address, const QString &sid,
                                  const QString &key, Callback done)
{
    const QString program = toolProgram(netTool);
    if (!safeName(workstation) || !safeSid(sid)) {
        run(QString(), {}, nullptr, std::move(done));
        return;
    }
    QStringList arguments{QStringLiteral("rpc"),       QStringLiteral("registry"),
                          QStringLiteral("enumerate"), QStringLiteral("HKU\\%1\\%2").arg(sid, key),
                          QStringLiteral("-S"),        workstation};
    arguments << commonArguments(address);
    run(program, arguments, &RemoteRegistry::keyAnswer, std::move(done));
}

void RemoteRegistry::run(const QString &program, const QStringList &arguments, Parser parse, Callback done)
{
    cancel();
    const quint64 generation = ++m_generation;
    m_done = std::move(done);
    // Answers always leave from the event loop, also those known at once.
    auto answerLater = [this, generation](const Answer &answer) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, answer] {
                if (generation == m_generation)
                    finish(answer);
            },
            Qt::QueuedConnection);
    };
    if (!parse) {
        answerLater({Outcome::Error, QString(), reasonText(QStringLiteral("name unfit for a command line"), EINVAL)});
        return;
    }

    m_process = new QProcess(this);
    QProcess *process = m_process;
    process->setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C")); // the messages parsed below
    process->setProcessEnvironment(environment);
    connect(process, &QProcess::errorOccurred, this, [process, answerLater](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            answerLater({Outcome::ConnectError, QString(),
                         QStringLiteral("%1: %2").arg(process->program(), process->errorString())});
    });
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [process, parse, answerLater](int exitCode, QProcess::ExitStatus status) {
                const QString output = QString::fromLocal8Bit(process->readAll());
                if (status == QProcess::CrashExit)
                    answerLater({Outcome::ConnectError, QString(),
                                 reasonText(QStringLiteral("%1 ended abnormally: %2")
                                                .arg(process->program(), lastLine(outputLines(output))),
                                            exitCode)});
                else
                    answerLater(parse(exitCode, output));
            });
    m_limit->start(m_timeLimitMs);
    process->start(program, arguments);
    process->closeWriteChannel(); // a prompt for a password meets the end of input
}

void RemoteRegistry::finish(const Answer &answer)
{
    Callback done = std::move(m_done);
    m_done = nullptr;
    cancel();
    if (done)
        done(answer);
}

void RemoteRegistry::cancel()
{
    ++m_generation;
    m_done = nullptr;
    m_limit->stop();
    if (!m_process)
        return;
    QProcess *process = m_process;
    m_process = nullptr;
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(1000); // SIGKILL: it ends at once
    }
    process->deleteLater();
}

RemoteRegistry::Answer RemoteRegistry::keyAnswer(int exitStatus, const QString &output)
{
    if (exitStatus == 0)
        return {Outcome::Found, QString(), QString()};
    const QStringList lines = outputLines(output);
    static const QRegularExpression openFailed(QStringLiteral("^registry_openkey failed: (\\S+)"));
    static const QRegularExpression connectFailed(QStringLiteral("^Connection failed: (\\S+)"));
    for (const QString &line : lines) {
        const QRegularExpressionMatch open = openFailed.match(line);
        if (open.hasMatch()) {
            const QString status = open.captured(1);
            return {meansKeyMissing(status) ? Outcome::NotFound : Outcome::Error, QString(),
                    reasonText(status, exitStatus)};
        }
        const QRegularExpressionMatch connection = connectFailed.match(line);
        if (connection.hasMatch())
            return {Outcome::ConnectError, QString(), reasonText(connection.captured(1), exitStatus)};
    }
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Could not connect")))
            return {Outcome::ConnectError, QString(), reasonText(line, exitStatus)};
    }
    return {Outcome::Error, QString(), reasonText(lastLine(lines), exitStatus)};
}

RemoteRegistry::Answer RemoteRegistry::sidAnswer(int exitStatus, const QString &output)
{
    const QStringList lines = outputLines(output);
    static const QRegularExpression mapped(QStringLiteral("^.+ (S-1-\\d+(?:-\\d+)+) \\([^()]+\\)$"));
    static const QRegularExpression noConnection(QStringLiteral("^Cannot connect to server\\.\\s+Error was (\\S+)"));
    static const QRegularExpression failed(QStringLiteral("^result was (\\S+)"));
    for (const QString &line : lines) {
        const QRegularExpressionMatch sid = mapped.match(line);
        if (exitStatus == 0 && sid.hasMatch())
            return {Outcome::Found, sid.captured(1), QString()};
        const QRegularExpressionMatch connection = noConnection.match(line);
        if (connection.hasMatch())
            return {Outcome::ConnectError, QString(), reasonText(connection.captured(1), exitStatus)};
        const QRegularExpressionMatch result = failed.match(line);
        if (result.hasMatch())
            return {Outcome::Error, QString(), reasonText(result.captured(1), exitStatus)};
    }
    return {Outcome::Error, QString(), reasonText(lastLine(lines), exitStatus)};
}

} // namespace logoffCollector
