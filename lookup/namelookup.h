#pragma once

// Name look-ups of the collection engine: forward (workstation name to
// addresses) and reverse (address to workstation name), by unicast DNS, by
// LLMNR, or by DNS and then the system resolver, as the global Lookup mode
// says ("dns", "llmnr", "all"). Every query bypasses local caches and the
// hosts file; only "all" falls back to the system resolver.
//
// Free functions without state. The forms without options read the global
// configuration on every call; a batch reads it once and hands every worker a
// copy. Failures give empty answers and log lines, never exceptions.
//
// Batches run one operating-system thread per item, at most
// min(MaxThreadPool, 64) at a time, and wait at most options.batchLimitMs
// (300 seconds) in all. They block the calling thread; the caller must not
// touch the items meanwhile. Items whose look-up has not finished by then keep
// what they had (the late worker is abandoned, not killed). The result is
// false when the batch was cut short.

#include "common/logon.h"
#include "lookup/dnsmessage.h"
#include "lookup/hostaddresses.h"
#include "lookup/lookupoptions.h"
#include "lookup/lookupthread.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <optional>

namespace lookup {

// What a batch did, for diagnostics and benchmarks.
struct BatchReport
{
    int started = 0;     // threads started
    int peakRunning = 0; // most threads waited for at once
    int finished = 0;    // threads whose results were taken
    int abandoned = 0;   // threads still running when the batch gave up
};

} // namespace lookup

// A's then AAAA's of the name; in mode "all" the system resolver's when DNS has none.
QList<QHostAddress> getIpFromHostName(const QString &name);
QList<QHostAddress> getIpFromHostName(const QString &name, const lookup::LookupOptions &options);

// The host name of an address (text form), empty when none. domain is the
// NetBIOS domain of the logon concerned: a system resolver answer that is only
// that domain's name is no host name.
QString getHostNameFromIp(const QString &address, const QString &domain);
QString getHostNameFromIp(const QString &address, const QString &domain, const lookup::LookupOptions &options);

// Appends the addresses of every item with a name.
bool lookupAddressesInThreads(QList<HostAddresses> &items);
bool lookupAddressesInThreads(QList<HostAddresses> &items, const lookup::LookupOptions &options,
                              lookup::BatchReport *report = nullptr);

// Sets the workstation of every logon without one from its address's host name.
bool lookupHostNamesInThreads(common::LogonList &logons);
bool lookupHostNamesInThreads(common::LogonList &logons, const lookup::LookupOptions &options,
                              lookup::BatchReport *report = nullptr);

// Asks systemd-resolved to flush its cache; false (with a log line) where it does not run.
bool flushResolverCache();

// One query of the mode's protocol ("llmnr": LLMNR, otherwise unicast DNS).
// The records of the answer, or none after a failure, which is logged unless
// the type is AAAA.
std::optional<QList<lookup::DnsRecord>> dnsQuery(const QString &name, quint16 type,
                                                 const lookup::LookupOptions &options);

// The PTR query name of an address: 5.0.0.10.in-addr.arpa. for 10.0.0.5,
// the 32 nibbles under ip6.arpa. for IPv6. Empty for text that is no address.
QString reverseLookupName(const QString &address);

// "<system's message> (error: <code>)" for an errno value.
QString errorText(int code);

// Waits for all of the threads or for any one, at most timeoutMs. The index
// of a finished thread (0 when waiting for all or without threads), -1 after
// the time-out (logged).
int waitForThreads(const QList<lookup::LookupThreadHandle> &threads, bool waitAll, int timeoutMs);
// Waits for any one thread and removes it from the list; false after the time-out.
bool waitForOneThread(QList<lookup::LookupThreadHandle> &threads,
                      int timeoutMs = lookup::LookupOptions::DefaultBatchLimitMs);
