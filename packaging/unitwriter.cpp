// Build-time helper of the Debian package: writes the systemd unit exactly as
// "-i" writes it for the agent in /opt/ferrowinden-sso-agent, so that the
// package and a hand installation run the service alike.
#include "app/agentad.h"
#include "serviceframe/unitfile.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s EXECUTABLE UNIT-FILE\n", argv[0]);
        return 2;
    }
    QString user;
    QString error;
    if (!serviceframe::unitUser(QString(), &user, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QByteArray text =
        serviceframe::unitFileText(QStringLiteral("Ferrowinden SSO Agent"), service::AgentAd::descriptionText(false),
                                   QString::fromLocal8Bit(argv[1]), user);
    if (text.isEmpty() || !serviceframe::writeFileAtomically(QString::fromLocal8Bit(argv[2]), text, &error)) {
        std::fprintf(stderr, "the unit could not be written: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
