#pragma once

#include "logoff/iprobeapi.h"
#include "logoff/pingprobe.h"
#include "logoff/remoteregistry.h"

#include <memory>
#include <mutex>

namespace logoffCollector {

// Answers by pinging the logon's address and, when it answers, asking the
// workstation's remote registry whether the user's "Volatile Environment"
// key exists under HKEY_USERS, which is only so while the user has a session
// there. No answer to the pings gives probeFailure (LogoffPing); a missing
// key gives probeFailure (LogoffRegister); a workstation without a name
// counts as present (probeSuccess). Registry and account errors never log a
// user off: they are logged and end with probeCompleted alone.
//
// Lives in its owner's thread. The name look-up runs in a short-lived thread
// and the registry questions in child processes with a time limit of
// max(4 x pingTimeout, 10 s), so nothing blocks that thread; the signals
// keep their order per worker.
class RegisterProbe : public IProbeApi
{
    Q_OBJECT
public:
    RegisterProbe(quint32 pingTimeout, const QString &adName, unsigned int index, QObject *parent = nullptr);
    ~RegisterProbe() override;

    void probe(common::ShdLogon logon) override;
    void cancel() override;
    bool isBusy() const override;

    // Tests: a shorter limit for the registry tools (0: the normal one).
    static void setTimeLimitForTest(int milliseconds);

private slots:
    void onProbeSuccess(unsigned int index);
    void onProbeFailure(unsigned int index, common::Logoff::LogoffType logoffType);

private:
    // The reverse look-up's way back: cleared when the probe moves on, so
    // that a late answer finds nobody.
    struct NameRelay
    {
        std::mutex mutex;
        RegisterProbe *target = nullptr; // under mutex
    };

    void onHostName(quint64 generation, const QString &hostName);
    void checkWithWorkstation();
    void checkKey();
    void onSid(const RemoteRegistry::Answer &answer);
    void onKey(const RemoteRegistry::Answer &answer);
    void present();
    void registryError(const QString &message);
    void complete();
    void dropStage();
    QString addressText() const;

    PingProbe pinger;
    RemoteRegistry registry;
    std::shared_ptr<NameRelay> relay; // the look-up under way, if any
    bool stageRunning = false;        // from the ping's success until probeCompleted
    quint64 generation = 0;
};

} // namespace logoffCollector
