#pragma once

#include <QString>

namespace testsupport {

// A network namespace of the test process's own, so that probes may send
// ICMP echoes and start servers without any packet leaving this machine.
// Inside it: lo is up (127.0.0.0/8 and ::1 answer), and these ranges are set:
namespace netns {
// Routed into lo without a local address: echoes go unanswered.
constexpr const char *SilentV4 = "10.202.0.0/16";
// "unreachable" routes: a send fails at once.
constexpr const char *UnreachableV4 = "10.203.0.0/16";
constexpr const char *UnreachableV6 = "fd00:203::/64";
// Routed into lo: the kernel answers an echo with an ICMPv6 "no route" error.
constexpr const char *IcmpErrorV6 = "fd00:202::/64";
} // namespace netns

// Call first in main(), while the process has a single thread: moves it into
// a new network namespace and sets it up as above. When the kernel refuses,
// the process stays where it is and networkNamespaceMissing() says why.
void enterNetworkNamespace();
// Empty when the process runs in its own namespace; otherwise the reason
// (for GTEST_SKIP: tests must not send probes outside it).
QString networkNamespaceMissing();

// Runs a command line (ip, sysctl...) through the shell; false, with its
// output, when it fails.
bool runCommand(const QString &command, QString *output = nullptr);

// Sets a sysctl of the namespace (a path below /proc/sys/) for the lifetime of
// the object and puts the old value back afterwards.
class SysctlOverride
{
public:
    SysctlOverride(const QString &path, const QString &value);
    ~SysctlOverride();
    SysctlOverride(const SysctlOverride &) = delete;
    SysctlOverride &operator=(const SysctlOverride &) = delete;
    bool ok() const { return m_ok; }

private:
    QString m_path;
    QByteArray m_old;
    bool m_ok = false;
};

} // namespace testsupport
