#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace probetest {

// A real Samba server for the registry probe: smbd in the foreground on
// 127.0.0.1:445 of the test's own network namespace (never elsewhere), with
// its configuration, private, lock, state and cache folders in a temporary
// folder. Its one account is the unix user root, which clients name
// "ssoagent" (a username map); its registry is filled with "net registry"
// before it starts. Everything it started is stopped with the object.
class SambaServer
{
public:
    static constexpr const char *NetbiosName = "TESTWS";
    static constexpr const char *Password = "Secret123";

    SambaServer() = default;
    ~SambaServer() { stop(); }
    SambaServer(const SambaServer &) = delete;
    SambaServer &operator=(const SambaServer &) = delete;

    // Creates the account and these keys (below HKU\<root's SID>, or full
    // "HKU\..." paths), then starts smbd. False, with error(), on failure.
    bool start(const QStringList &userKeys);
    QString error() const { return m_error; }
    // The SID of the account root.
    QString rootSid() const { return m_rootSid; }
    // A Samba authentication file for "ssoagent" with that password.
    QString authFile(const QString &password);
    QString folder() const { return m_dir.path(); }

private:
    bool tool(const QString &program, const QStringList &arguments, const QByteArray &input, QString *output);
    void stop();

    QTemporaryDir m_dir;
    QProcess m_smbd;
    QString m_rootSid;
    QString m_error;
};

} // namespace probetest
