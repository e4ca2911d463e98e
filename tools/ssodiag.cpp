// sso-diag: checks what the agent would see, without running the agent.
#include "common/clock.h"
#include "common/logon.h"
#include "tools/diagcommand.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <vector>

namespace diag {

namespace {
std::vector<const DiagCommand *> &registry()
{
    static std::vector<const DiagCommand *> commands;
    return commands;
}

void printUsage()
{
    std::fprintf(stderr, "usage: sso-diag COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (const DiagCommand *command : registry())
        std::fprintf(stderr, "  %s %s\n", command->name, command->usage);
}
} // namespace

DiagCommand::DiagCommand(const char *name, const char *usage, Runner run)
    : name(name), usage(usage), run(std::move(run))
{
    registry().push_back(this);
}

} // namespace diag

int main(int argc, char **argv)
{
    common::Clock::readTimeZoneOnce();
    QCoreApplication app(argc, argv);
    common::registerMetaTypes();
    QStringList arguments = app.arguments();
    arguments.removeFirst();
    if (arguments.isEmpty() || arguments.first() == QLatin1String("-h") ||
        arguments.first() == QLatin1String("--help")) {
        diag::printUsage();
        return arguments.isEmpty() ? 2 : 0;
    }
    const QString name = arguments.takeFirst();
    for (const diag::DiagCommand *command : diag::registry()) {
        if (name == QLatin1String(command->name))
            return command->run(arguments);
    }
    std::fprintf(stderr, "sso-diag: unknown command '%s'\n", qPrintable(name));
    diag::printUsage();
    return 2;
}
