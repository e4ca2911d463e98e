#pragma once

#include "common/logon.h"
#include "common/userrule.h"
#include "service/dumpfile.h"
#include "serviceframe/qtservice.h"
#include "settings/configuration.h"

#include <QCoreApplication>
#include <QHash>
#include <QObject>
#include <QSharedPointer>
#include <QTimer>
#include <atomic>
#include <deque>
#include <memory>

namespace common {
class UserFilter;
}
namespace crash {
class CrashHandler;
class CrashReportSender;
} // namespace crash

namespace service {

class MetricsServer;

class LogonCollector;
class LogoffCollector;
class AgentAd;
// The one agent, set by the entry point right after construction; the
// interrupt handler reaches the agent through it.
extern std::atomic<AgentAd *> agentInstance;

// The agent's service object. The frame calls start, stop, pause and resume
// on the main thread, which also runs everything here: the agent reads the
// configuration, keeps the collection running for the firewall
// configurations, forgets configurations whose firewall stayed away too long
// and follows changes of config.ini.
class AgentAd : public QObject, public QtService<QCoreApplication>
{
    Q_OBJECT
public:
    // "Ferrowinden SSO Agent 3.0.2 2022-01-07 16:05": what the log and crash dumps name.
    static const QString VersionText;
    // "Ferrowinden SSO Agent 3.0": the prefix of the start and stop lines.
    static const QString ShortVersionText;
    // The exit code of a start that failed and of a stop forced by an error.
    static constexpr int ExitFailure = 1;

    AgentAd(int argc, char **argv);
    ~AgentAd() override;

    // The service description, in French or not: what -i writes into the unit.
    static QString descriptionText(bool french);
    // The folder for crash dumps under the temporary location (created by start).
    static QString crashDumpDirectory();
    // The value of the option -key ("-k"), or the empty text when it is absent or last.
    static QString commandLineOption(const QStringList &arguments, QChar letter);

    void startAll();
    void stopAll();
    // Starts the logon collector of an enabled, valid configuration whose
    // domain controllers have none yet; true when it did.
    bool startLogonCollector(const settings::ADConfiguration &config);
    // Hands logons sent to a firewall to its logoff collector, which is
    // created (true) on the first call.
    bool startLogoffCollector(const settings::ADConfiguration &config, const common::LogonList &logons);
    // Sends logons of adName to every firewall that serves it, through its
    // filter and its MaxLogonTime; an empty firewall means every one. Routing
    // keeps the order in which logons and logoffs arrived; a large batch is
    // routed in slices of RoutingSlice logons, each a turn of the event loop,
    // so that a stop or pause never waits behind it (see stopAll).
    void forwardLogons(const common::LogonList &logons, const QString &adName, const QString &firewall);
    static constexpr int RoutingSlice = 1000;
    // Tests: logons and logoffs waiting to be routed.
    int pendingRoutingForTest() const;
    void applyVerboseLevel();
    // Creates the firewall's user filter when it has none: a MockUserFilter
    // for test firewalls ("fake_fw..."), an empty filter otherwise. An
    // existing filter is kept, and with it the firewall's rules.
    void ensureUserFilter(const settings::ADConfiguration &config);
    // The user filter of a firewall configuration, or null.
    common::UserFilter *userFilter(const QString &name) const { return filters.value(name); }
    // Tests: the running collectors.
    QStringList logonCollectorNamesForTest() const { return collectors.keys(); }
    QStringList logoffCollectorNamesForTest() const { return logoffCollectors.keys(); }
    LogonCollector *logonCollectorForTest(const QString &adName) const { return collectors.value(adName).data(); }
    LogoffCollector *logoffCollectorForTest(const QString &name) const { return logoffCollectors.value(name).data(); }

    // SIGINT (and SIGTERM in the console): stop as the service stops and
    // leave the event loop with code 0.
    static void interruptHandler();

signals:
    void newFilteredLogoffCollected(common::Logoff logoff, QString adName, QString fwSerial);
    void newFilteredLogonCollected(common::LogonList logons, QString adName, QString fwSerial);

public slots:
    void onNewLogonCollected(common::LogonList logons, QString adNames);
    void onNewLogoffCollected(common::Logoff logoff, QString adNames, QString fwSerial);
    void onServerConfigChanged();
    void onAdConfigChanged(settings::ADConfiguration config);
    void onAdConfigAdded(settings::ADConfiguration config);
    void onConfigFileChanged();
    void stop() override;
    void onNewRules(QString ads, QString fw, QList<common::NewUserRule> rules);

private slots:
    void onInitialRules(QString ads, QString fw, QList<common::UserRule> rules);
    void checkAdObsolescence();

protected:
    void start() override;
    void pause() override;
    void resume() override;
    void createApplication(int &argc, char **argv) override;
    int executeApplication() override;
    // "status" and "mappings" of the control socket (app/agentstatus.h).
    QueryAnswer answerQuery(const QByteArray &query) override;

private:
    friend class AgentStatus; // reads the collectors, filters and state for the status documents

    // Stops the threads the collectors live in, all at once, and waits for
    // them; the threads delete themselves later.
    void stopCollectorThreads(const QList<QObject *> &collectors);
    void stopCollectorThread(QObject *collector) { stopCollectorThreads({collector}); }
    // Logons (a batch, from next on) or a logoff, waiting in arrival order
    // for their turn to be routed.
    struct Routing
    {
        common::LogonList logons;
        int next = 0;
        bool collected = false; // from a collector: each is logged as "New logon" first
        bool isLogoff = false;
        common::Logoff logoff;
        QString adName;
        QString firewall; // only this firewall; empty: every one serving adName
    };
    void enqueueRouting(Routing item);
    // Routes at most RoutingSlice logons (or logoffs) from the queue, then
    // lets the event loop run before the rest.
    void routeSome();
    void routeLogons(const common::LogonList &logons, int begin, int end, bool collected, const QString &adName,
                     const QString &firewall);
    void routeLogoff(const common::Logoff &logoff, const QString &adNames, const QString &fwSerial);
    // What stopAll drops: collection stops, the event stores keep these logons.
    void dropPendingRouting();
    // Logons waiting to be routed; logoffs waiting in *logoffs.
    int pendingRouting(int *logoffs) const;

    // Connects a logon collector and a logoff collector of the same domain
    // controllers both ways, so that each cache hears the other's logoffs.
    static void crossConnect(LogonCollector *logonCollector, LogoffCollector *logoffCollector);
    // The filter, created if need be, and configuration of a firewall whose
    // rules arrived; null (logged) when its configuration is not valid.
    common::UserFilter *filterForRules(const QString &ads, const QString &fw, settings::ADConfiguration *config);
    // Whether the firewall of a configuration is connected right now.
    bool isFirewallConnected(const settings::ADConfiguration &config) const;
    void quitApplication();
    // Logs why, tells the service manager, stops and ends the event loop with ExitFailure.
    void failStart(const QString &reason);
    // A warning at level low when SSLKey is the default or short.
    void warnAboutWeakKey();
    // Serves the metrics page where MetricsAddress says, or nowhere.
    void applyMetricsAddress();

    // One logon collector per adName and one logoff collector per firewall
    // configuration name; they live in threads of their own.
    QHash<QString, QSharedPointer<LogonCollector>> collectors;
    QHash<QString, QSharedPointer<LogoffCollector>> logoffCollectors;
    // One user filter per firewall configuration name, children of the agent.
    QHash<QString, common::UserFilter *> filters;
    std::deque<Routing> routing;
    bool routingScheduled = false; // a turn of routeSome is posted
    bool routingActive = false;    // routeSome is running
    quint64 routingGeneration = 0; // counts dropPendingRouting calls
    QTimer obsolescenceTimer;
    bool paused = false;
    QDateTime startTime; // of the service, for its status
    settings::GlobalConfiguration globalConfig;
    int argc;
    char **argv;
    // The fatal-signal handler from start on; the sender of earlier crashes' reports once listening.
    std::unique_ptr<crash::CrashHandler> crashHandler;
    std::unique_ptr<crash::CrashReportSender> crashReportSender;
    // The metrics page on MetricsAddress, while the service runs.
    std::unique_ptr<MetricsServer> metricsServer;
};

} // namespace service
