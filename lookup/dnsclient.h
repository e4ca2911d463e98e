#pragma once

#include "lookup/dnsmessage.h"
#include "lookup/lookupoptions.h"

#include <QList>
#include <QString>

namespace lookup {

// Wire queries, answered by the network and never by a local cache or the
// hosts file. Both block the calling thread for at most their time-outs and
// return a c-ares status (ARES_SUCCESS with at least one record).

// Unicast DNS with c-ares: to options.dnsServers, or the system's resolvers
// when none are configured. Relative names get the system's search list, as
// every query of the system resolver does.
int queryDns(const QString &name, quint16 type, const LookupOptions &options, QList<DnsRecord> *records);

// Link-local multicast name resolution: a DNS-format query over UDP to the
// LLMNR groups (or options.llmnrTargets); the first positive reply wins.
int queryLlmnr(const QString &name, quint16 type, const LookupOptions &options, QList<DnsRecord> *records);

// "<text> (error: <status>)" for a c-ares status.
QString dnsStatusText(int status);

} // namespace lookup
