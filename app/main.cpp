// The agent's entry point: creates the one agent, lets the service frame run
// the command line, and tears the process-wide objects down afterwards.
#include "app/agentad.h"
#include "common/backgroundrelease.h"
#include "common/clock.h"
#include "common/eventdispatcher.h"
#include "firewall/server.h"
#include "log/applicationdebug.h"

int main(int argc, char **argv)
{
    // The zone is read once (a change of zone takes a restart).
    common::Clock::readTimeZoneOnce();
    common::usePlainEventDispatcher();
    auto *agent = new service::AgentAd(argc, argv);
    service::agentInstance.store(agent);
    QtServiceBase::setInterruptHandler(&service::AgentAd::interruptHandler);

    UtmConnect::Server *server = UtmConnect::Server::instance();
    QObject::connect(agent, &service::AgentAd::newFilteredLogonCollected, server, &UtmConnect::Server::newLogons);
    QObject::connect(agent, &service::AgentAd::newFilteredLogoffCollected, server, &UtmConnect::Server::newLogoff);

    const int result = agent->exec();

    // Every firewall hears Goodbye ("service is closing").
    UtmConnect::Server::instance()->close();
    UtmConnect::Server::destroy();
    // Anything still being freed in the background is done before the process ends.
    common::BackgroundRelease::waitForAll();
    closeDumpFiles();
    ApplicationDebug::destroy();
    service::agentInstance.store(nullptr);
    delete agent;
    return result;
}
