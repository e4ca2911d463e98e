#include "app/agentad.h"

#include "app/agentstatus.h"
#include "app/metricsserver.h"
#include "common/backgroundrelease.h"
#include "common/clock.h"
#include "common/userfilter.h"
#include "crash/crashhandler.h"
#include "crash/crashreportsender.h"
#include "firewall/client.h"
#include "firewall/server.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"

#include <QDir>
#include <QLocale>
#include <QRegExp>
#include <QStandardPaths>
#include <QThread>

namespace service {

std::atomic<AgentAd *> agentInstance{nullptr};

const QString AgentAd::VersionText = QStringLiteral("Ferrowinden SSO Agent 3.0.2 2022-01-07 16:05");
const QString AgentAd::ShortVersionText = QStringLiteral("Ferrowinden SSO Agent 3.0");

namespace {
const int ObsolescenceIntervalMs = 60000;
} // namespace

AgentAd::AgentAd(int argc, char **argv)
    : QObject(nullptr), QtService<QCoreApplication>(argc, argv, QStringLiteral("Ferrowinden SSO Agent")), argc(argc),
      argv(argv)
{
    common::registerMetaTypes();
    settings::registerMetaTypes();

    setServiceDescription(descriptionText(QLocale::system().language() == QLocale::French));
    setServiceFlags(QtServiceBase::CanBeSuspended);
    // What a service account must be able to write.
    setWrittenBesideExecutable({QStringLiteral("config.ini"), QStringLiteral("log")});

    connect(&obsolescenceTimer, &QTimer::timeout, this, &AgentAd::checkAdObsolescence);
}

AgentAd::~AgentAd()
{
    settings::Settings::destroy();
}

QString AgentAd::descriptionText(bool french)
{
    const QString text =
        french
            ? QStringLiteral("Sonde les évenements Active Directory et transmet les requetes d'authentifications aux "
                             "firewalls Ferrowinden")
            : QStringLiteral("Survey Active Directory events and forward authentications to Ferrowinden appliances");
    return QStringLiteral("%1 (%2)").arg(text, QStringLiteral("3.0.2"));
}

QString AgentAd::crashDumpDirectory()
{
    QString folder = VersionText;
    folder.replace(QLatin1Char(' '), QLatin1Char('_'))
        .replace(QLatin1Char('/'), QLatin1Char('_'))
        .remove(QLatin1Char('['))
        .remove(QLatin1Char(']'))
        .remove(QLatin1Char(':'));
    return QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::TempLocation) + QDir::separator() +
                                    folder);
}

QString AgentAd::commandLineOption(const QStringList &arguments, QChar letter)
{
    const QRegExp option(QStringLiteral("-") + letter, Qt::CaseInsensitive, QRegExp::Wildcard);
    // The program name does not count, even if it looks like the option.
    for (int i = 1; i < arguments.size(); ++i) {
        if (option.exactMatch(arguments.at(i)))
            return arguments.value(i + 1);
    }
    return QString();
}

void AgentAd::createApplication(int &argc, char **argv)
{
    QtService<QCoreApplication>::createApplication(argc, argv);
}

int AgentAd::executeApplication()
{
    return QtService<QCoreApplication>::executeApplication();
}

void AgentAd::quitApplication()
{
    QCoreApplication::quit();
}

void AgentAd::failStart(const QString &reason)
{
    // The log, the service manager's status and the exit code all say it:
    // systemd then counts a failure and restarts the service.
    ApplicationDebug::logLow(reason);
    reportFailure(reason, ExitFailure);
    stop();
    QCoreApplication::exit(ExitFailure);
}

void AgentAd::warnAboutWeakKey()
{
    const QString weakness = settings::Settings::instance()->serverConfiguration().keyWeakness();
    if (!weakness.isEmpty())
        ApplicationDebug::logLow(QStringLiteral("Warning: %1").arg(weakness));
}

void AgentAd::start()
{
    QDir().mkpath(crashDumpDirectory());
    ApplicationDebug::create(QCoreApplication::applicationDirPath() + QDir::separator() + QStringLiteral("log"));
    // In a console the log shows on the terminal as well; a service writes only the file.
    ApplicationDebug::setEchoToStandardError(runsInConsole());

    settings::Settings *config = settings::Settings::instance();
    globalConfig = config->globalConfiguration();

    crashHandler = std::make_unique<crash::CrashHandler>(crashDumpDirectory(), VersionText);

    if (!config->isWritable()) {
        const QString reason =
            QStringLiteral("Unable to start service. config.ini file is not writable. Please check directory rights.");
        logMessage(reason, QtServiceBase::Error);
        failStart(reason);
        return;
    }

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QString key = commandLineOption(arguments, QLatin1Char('k'));
    if (!key.isEmpty()) {
        settings::ServerConfiguration server = config->serverConfiguration();
        server.SSLKey = key;
        if (!config->setServerConfiguration(server)) {
            failStart(QStringLiteral("Web server ssl key could not be stored in %1.").arg(config->configPath()));
            return;
        }
        ApplicationDebug::logLow(QStringLiteral("Web server ssl key set from command line."));
        stop();
        quitApplication();
        return;
    }

    ApplicationDebug::logLow(QStringLiteral("%1 loaded").arg(VersionText));
    startTime = common::Clock::now();
    cacheDumpEnabled.store(config->globalConfiguration().VerboseLevel == settings::GlobalConfiguration::VerboseHigh);
    obsolescenceTimer.start(ObsolescenceIntervalMs);

    connect(config, &settings::Settings::serverConfigChanged, this, &AgentAd::onServerConfigChanged,
            Qt::UniqueConnection);
    connect(config, &settings::Settings::adConfigChanged, this, &AgentAd::onAdConfigChanged, Qt::UniqueConnection);
    connect(config, &settings::Settings::adConfigAdded, this, &AgentAd::onAdConfigAdded, Qt::UniqueConnection);
    connect(config, &settings::Settings::configFileChanged, this, &AgentAd::onConfigFileChanged, Qt::UniqueConnection);

    applyVerboseLevel();

    ApplicationDebug::logLow(QStringLiteral("%1 starting...").arg(ShortVersionText));
    ApplicationDebug::logHigh(ShortVersionText);
    ApplicationDebug::logHigh(QStringLiteral(" config:"));
    ApplicationDebug::logHigh(config->toString());
    warnAboutWeakKey();

    startAll();

    UtmConnect::Server *server = UtmConnect::Server::instance();
    connect(server, &UtmConnect::Server::initialRules, this, &AgentAd::onInitialRules, Qt::UniqueConnection);
    connect(server, &UtmConnect::Server::newRules, this, &AgentAd::onNewRules, Qt::UniqueConnection);
    if (!server->start()) {
        failStart(server->errorText());
        return;
    }

    ApplicationDebug::logLow(QStringLiteral("%1 started").arg(ShortVersionText));
    applyMetricsAddress();

    // Earlier crashes' reports go out in the background, now that firewalls are served.
    crashReportSender = std::make_unique<crash::CrashReportSender>(crash::CrashReportSender::Options{
        crashDumpDirectory(), VersionText, globalConfig.DumpEnabled, globalConfig.DumpUrl});
    crashReportSender->start();
}

void AgentAd::stop()
{
    // The process ends after a stop: caches and tables let go of from here on
    // are left to the system, which takes them back at once.
    common::BackgroundRelease::keepUntilExit();
    // The background sending of crash reports ends first: its lines never follow the stop's.
    if (crashReportSender)
        crashReportSender->stop();
    ApplicationDebug::logLow(QStringLiteral("%1 stopping...").arg(ShortVersionText));
    stopAll();
    obsolescenceTimer.stop();
    UtmConnect::Server::instance()->close();
    metricsServer.reset();
    // What is still to be saved is written while the log can still tell of a failure.
    settings::Settings::instance()->flush();
    ApplicationDebug::logLow(QStringLiteral("%1 stopped").arg(ShortVersionText));
}

void AgentAd::pause()
{
    ApplicationDebug::logLow(QStringLiteral("%1  pausing...").arg(ShortVersionText));
    obsolescenceTimer.stop();
    stopAll();
    UtmConnect::Server::instance()->close();
    ApplicationDebug::logLow(QStringLiteral("%1  paused.").arg(ShortVersionText));
}

void AgentAd::resume()
{
    ApplicationDebug::logLow(QStringLiteral("%1 resuming...").arg(ShortVersionText));
    obsolescenceTimer.start(ObsolescenceIntervalMs);
    startAll();
    UtmConnect::Server::instance()->resume();
    ApplicationDebug::logLow(QStringLiteral("%1 resumed").arg(ShortVersionText));
}

QtServiceBase::QueryAnswer AgentAd::answerQuery(const QByteArray &query)
{
    return AgentStatus(*this).answer(query);
}

void AgentAd::applyMetricsAddress()
{
    if (!metricsServer)
        metricsServer =
            std::make_unique<MetricsServer>([this] { return AgentStatus::metricsText(AgentStatus(*this).status()); });
    metricsServer->apply(settings::Settings::instance()->globalConfiguration().MetricsAddress);
}

void AgentAd::applyVerboseLevel()
{
    ApplicationDebug::applyVerboseLevel(settings::Settings::instance()->globalConfiguration().VerboseLevel);
}

bool AgentAd::isFirewallConnected(const settings::ADConfiguration &config) const
{
    return UtmConnect::Server::instance()->findClient(config.adName(), config.firewallName()) != nullptr;
}

void AgentAd::onServerConfigChanged()
{
    ApplicationDebug::logHigh(QStringLiteral("TODO: serverConfigChanged"));
}

void AgentAd::onConfigFileChanged()
{
    settings::Settings *config = settings::Settings::instance();
    ApplicationDebug::logHigh(QStringLiteral("Config file changed"));
    ApplicationDebug::logHigh(config->toString());
    applyVerboseLevel();
    warnAboutWeakKey();
    stopAll();
    startAll();
    UtmConnect::Server *server = UtmConnect::Server::instance();
    if (!config->globalConfiguration().FirewallEnabled) {
        server->close();
    } else if (!server->start()) {
        failStart(server->errorText());
        return;
    }
    applyMetricsAddress();
}

void AgentAd::ensureUserFilter(const settings::ADConfiguration &config)
{
    if (filters.contains(config.name()))
        return;
    common::UserFilter *filter = config.firewallName().startsWith(QLatin1String("fake_fw"))
                                     ? new common::MockUserFilter(this)
                                     : new common::UserFilter(this);
    filters.insert(config.name(), filter);
}

void AgentAd::interruptHandler()
{
    AgentAd *agent = agentInstance.load();
    if (!agent)
        return;
    // The same stop as the service's, with its log lines.
    agent->stop();
    QThread *thread = agent->thread();
    thread->exit(0);
    // The watcher calls this on the agent's own thread: the loop ends once we return.
    if (thread != QThread::currentThread())
        thread->wait();
}

} // namespace service
