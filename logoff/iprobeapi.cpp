#include "logoff/iprobeapi.h"

#include "logoff/pingprobe.h"
#include "logoff/registerprobe.h"

namespace logoffCollector {

IProbeApi *IProbeApi::create(const QString &method, quint32 pingTimeout, const QString &adName, unsigned int index,
                             QObject *parent)
{
    if (method == QLatin1String("ping"))
        return new PingProbe(pingTimeout, adName, index, parent);
    return new RegisterProbe(pingTimeout, adName, index, parent);
}

IProbeApi::IProbeApi(const QString &adName, unsigned int index, QObject *parent)
    : QObject(parent), adName(adName), index(index)
{}

void IProbeApi::probe(common::ShdLogon logon)
{
    current = std::move(logon);
}

} // namespace logoffCollector
