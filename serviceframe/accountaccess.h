#pragma once

#include <QString>
#include <QStringList>

namespace serviceframe {

// Whether a service account can write what the service writes beside its
// executable, asked as that account: a child process takes the account's
// uid, gid and groups and lets the kernel decide (modes, ACLs, read-only
// and immutable files all count). Install runs as root; without root only
// the caller's own account can be checked. Stateless, any thread; the child
// runs nothing but system calls.
class AccountAccess
{
public:
    // folder: where the service creates files and replaces them through a
    // new file beside them, so the account must write the folder itself.
    // entries: names in the folder that the service writes; an entry that is
    // a folder counts with everything below it, one that does not exist yet
    // needs only the folder. *paths gets what the account cannot write: the
    // folder first, then the entries in the given order. False with *error
    // when the question could not be asked.
    static bool unwritable(const QString &user, const QString &folder, const QStringList &entries, QStringList *paths,
                           QString *error);

    // The shell command, for root, that gives paths (from unwritable) to
    // user and the user's group: "chown" for files and the folder itself,
    // "chown -R" for folders below it.
    static QString fixCommand(const QString &user, const QString &folder, const QStringList &paths);
};

} // namespace serviceframe
