#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTest>

namespace testsupport {

// `openssl s_client` as an independent TLS 1.2 PSK peer, driven through its
// standard input and output. Output is collected from the event loop, so the
// server under test keeps running while a test waits (QTest::qWaitFor).
// Header-only; the process is killed and reaped when the object goes.
class OpenSslClient
{
public:
    // key: the raw PSK bytes (given to s_client as hex). extraArgs default to
    // "-tls1_2"; pass e.g. {"-tls1_2", "-cipher", "DHE-PSK-AES256-GCM-SHA384"}.
    explicit OpenSslClient(const QByteArray &key, const QByteArray &identity = "x",
                           const QStringList &extraArgs = {QStringLiteral("-tls1_2")})
        : m_key(key), m_identity(identity), m_extraArgs(extraArgs)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_output += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_errors += m_process.readAllStandardError(); });
    }

    ~OpenSslClient()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    OpenSslClient(const OpenSslClient &) = delete;
    OpenSslClient &operator=(const OpenSslClient &) = delete;

    bool start(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
    {
        QStringList args{QStringLiteral("s_client"), QStringLiteral("-connect"),
                         QStringLiteral("%1:%2").arg(host).arg(port), QStringLiteral("-psk"),
                         QString::fromLatin1(m_key.toHex()), QStringLiteral("-psk_identity"),
                         QString::fromLatin1(m_identity),
                         // only data on stdout; end of input ends the session
                         QStringLiteral("-quiet"), QStringLiteral("-no_ign_eof"), QStringLiteral("-nocommands")};
        args += m_extraArgs;
        m_process.start(QStringLiteral("openssl"), args);
        return m_process.waitForStarted(10000);
    }

    void write(const QByteArray &data) { m_process.write(data); }
    // End of input: s_client sends a TLS close notification and exits.
    void closeInput() { m_process.closeWriteChannel(); }

    bool waitForOutput(const QByteArray &needle, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return m_output.contains(needle); }, timeoutMs);
    }
    bool waitForOutputSize(int size, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return m_output.size() >= size; }, timeoutMs);
    }
    bool waitForFinished(int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    }

    QByteArray output() const { return m_output; }
    QByteArray errors() const { return m_errors; }
    int exitCode() const { return m_process.exitCode(); }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

private:
    QByteArray m_key;
    QByteArray m_identity;
    QStringList m_extraArgs;
    QProcess m_process;
    QByteArray m_output;
    QByteArray m_errors;
};

} // namespace testsupport
