#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QProcess;
class QTimer;

namespace logoffCollector {

// Asks a workstation, through Samba's client tools run as child processes,
// for the SID of an account ("rpcclient" lookupnames) and whether a key
// exists under its HKEY_USERS ("net rpc registry enumerate"). Credentials
// come from a Samba authentication file when one is named, otherwise from
// the service's Kerberos credential cache (no password is ever prompted for).
//
// One question at a time, answered through its callback from the owner's
// event loop, never from inside the call that asked. A tool that is missing,
// cannot connect or runs past the time limit is killed and answers with an
// error and its reason; nothing here blocks the owner's thread on the network.
// Lives in its owner's thread.
class RemoteRegistry : public QObject
{
    Q_OBJECT
public:
    enum class Outcome {
        Found,        // the key exists; the SID was found
        NotFound,     // the key does not exist (never said for any other error)
        ConnectError, // no connection: refused, unreachable, bad credentials, time limit
        Error,        // connected, but the question failed otherwise (access denied, name not mapped...)
    };
    struct Answer
    {
        Outcome outcome = Outcome::Error;
        QString sid;    // lookupSid, when Found
        QString reason; // "<what the tool said> (error: <exit status or errno>)"
    };
    using Callback = std::function<void(const Answer &)>;

    explicit RemoteRegistry(QObject *parent = nullptr);
    ~RemoteRegistry() override;

    void setTimeLimit(int milliseconds) { m_timeLimitMs = milliseconds; }
    // A Samba authentication file (username=, password=, domain=); empty for Kerberos.
    void setAuthFile(const QString &path) { m_authFile = path; }

    // account is "DOMAIN\user".
    void lookupSid(const QString &workstation, const QHostAddress &address, const QString &account, Callback done);
    // Whether "HKU\<sid>\<key>" exists.
    void checkUserKey(const QString &workstation, const QHostAddress &address, const QString &sid, const QString &key,
                      Callback done);
    // Drops the question under way: its tool is killed, its callback never runs.
    void cancel();
    bool isRunning() const { return m_process != nullptr; }

    // What a tool's exit status and output mean.
    static Answer keyAnswer(int exitStatus, const QString &output);
    static Answer sidAnswer(int exitStatus, const QString &output);

    // Tests: other programs in place of "net" and "rpcclient".
    static void setToolsForTest(const QString &net, const QString &rpcclient);

private:
    using Parser = Answer (*)(int, const QString &);
    void run(const QString &program, const QStringList &arguments, Parser parse, Callback done);
    void finish(const Answer &answer);
    QStringList commonArguments(const QHostAddress &address) const;

    int m_timeLimitMs = 10000;
    QString m_authFile;
    QProcess *m_process = nullptr; // the tool under way
    QTimer *m_limit;
    Callback m_done;
    quint64 m_generation = 0; // answers of a cancelled question are dropped
};

} // namespace logoffCollector
