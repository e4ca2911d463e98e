#pragma once

#include <QStringList>
#include <functional>

namespace diag {

// One subcommand of sso-diag. A subcommand file registers itself with a
// static DiagCommand; run() receives the arguments after the subcommand's
// name and returns the process exit code. Runs inside a QCoreApplication.
struct DiagCommand
{
    using Runner = std::function<int(const QStringList &arguments)>;

    DiagCommand(const char *name, const char *usage, Runner run);

    const char *name;
    const char *usage;
    Runner run;
};

} // namespace diag
