// The agent's entry point: creates the one agent, lets the service frame run
// the command line, and tears the process-wide objects down afterwards.
#include "app/agentad.h"
#include "log/applicationdebug.h"

int main(int argc, char **argv)
{
    auto *agent = new service::AgentAd(argc, argv);
    service::agentInstance.store(agent);
    QtServiceBase::setInterruptHandler(&service::AgentAd::interruptHandler);

    // The filtered logons and logoffs go to the connection server's newLogons
    // and newLogoff once the server is part of the agent.

    const int result = agent->exec();

    // The connection server is closed and destroyed, and the cache dump
    // files closed, here.
    ApplicationDebug::destroy();
    service::agentInstance.store(nullptr);
    delete agent;
    return result;
}
