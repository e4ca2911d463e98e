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
        // -quiet: only data on stdout; -no_ign_eof: end of input ends the session
        : m_args(QStringList{"-psk", key.toHex(), "-psk_identity", identity, "-quiet", "-no_ign_eof", "-nocommands"} +
                 extraArgs)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_output += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_errors += m_process.readAllStandardError(); });
    }
    ~OpenSslClient()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    OpenSslClient(const OpenSslClient &) = delete;
    OpenSslClient &operator=(const OpenSslClient &) = delete;

    bool start(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
    {
        m_process.start("openssl",
                        QStringList{"s_client", "-connect", QStringLiteral("%1:%2").arg(host).arg(port)} + m_args);
        return m_process.waitForStarted(10000);
    }
    void write(const QByteArray &data) { m_process.write(data); }
    // End of input: s_client sends a TLS close notification and exits.
    void closeInput() { m_process.closeWriteChannel(); }

    bool waitForOutput(const QByteArray &needle)
    {
        return QTest::qWaitFor([&] { return m_output.contains(needle); }, 10000);
    }
    bool waitForOutputSize(int size)
    {
        return QTest::qWaitFor([&] { return m_output.size() >= size; }, 10000);
    }
    bool waitForFinished()
    {
        return QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, 10000);
    }
    QByteArray output() const { return m_output; }
    QByteArray errors() const { return m_errors; }
    int exitCode() const { return m_process.exitCode(); }

private:
    QStringList m_args;
    QProcess m_process;
    QByteArray m_output;
    QByteArray m_errors;
};

} // namespace testsupport
