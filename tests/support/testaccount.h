#pragma once

#include <QString>
#include <QStringList>
#include <sys/types.h>

namespace testsupport {

// An unprivileged account that a test (running as root) runs programs as,
// the way a service account runs the agent: an existing account by name
// ("nobody"), a bare uid and gid that no name stands for (a third user), or
// a system user the test creates with useradd (no home, no login shell) and
// that this object removes with userdel when it goes, whatever the test's
// outcome. Move-only; main thread.
class TestAccount
{
public:
    // invalid (isValid() false) when the name is unknown.
    static TestAccount existing(const QString &name);
    // A system user of the test's own; invalid, with the reason in *error,
    // when useradd fails. Users that killed test runs left behind go first.
    static TestAccount create(QString *error);
    TestAccount(uid_t uid, gid_t gid);
    TestAccount() = default;
    TestAccount(TestAccount &&other) noexcept;
    TestAccount &operator=(TestAccount &&other) noexcept;
    TestAccount(const TestAccount &) = delete;
    TestAccount &operator=(const TestAccount &) = delete;
    ~TestAccount();

    bool isValid() const { return m_valid; }
    QString name() const { return m_name; } // empty for a bare uid
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }

    // setpriv's arguments (up to and including "--") that run a program as
    // this account with exactly these capabilities ("net_raw"...) inherited
    // and ambient, or none. lockedDown also limits the bounding set to them
    // and sets no_new_privs, as a unit's CapabilityBoundingSet= and
    // NoNewPrivileges=yes do.
    QStringList setprivArguments(const QStringList &capabilities = QStringList(), bool lockedDown = false) const;

    // Gives path, and everything below it, to the account and its group.
    bool handOver(const QString &path) const;

private:
    void remove();

    bool m_valid = false;
    bool m_created = false;
    QString m_name;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

} // namespace testsupport
