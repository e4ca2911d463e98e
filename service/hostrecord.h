#pragma once

#include "common/logon.h"

#include <QDateTime>
#include <QString>
#include <QVarLengthArray>

// What the collector cache knows of one workstation: its newest user and the
// addresses that user was seen at from it (one logon per address). A plain
// value, guarded by the cache's mutex like the map that holds it.
struct HostRecord
{
    QString user;
    QString domain;
    QString fqdn;
    // Nearly every workstation has one address: its logon is kept inside the
    // record, without an allocation of its own (the cache holds hundreds of thousands).
    QVarLengthArray<common::Logon, 1> logons;
    QDateTime time;
    QString sid;
};
