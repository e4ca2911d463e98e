#include "crash/crashhandler.h"

#include "log/applicationdebug.h"

#include <QDir>
#include <QFile>
#include <QUuid>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifdef SSO_CRASH_TEST_HOOK
#include <QCoreApplication>
#include <QTimer>
#include <pthread.h>
#include <thread>
#endif

namespace crash {

const char *const CrashHandler::ReportSuffix = ".dmp";

namespace {

const int FatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
const int FatalSignalCount = int(sizeof FatalSignals / sizeof FatalSignals[0]);
const std::size_t AlternateStackSize = 64 * 1024;
const int MaxFrames = 64;
// A thread that faults while another one writes the report waits this long
// for the process to end before it dies of its own signal.
const int OtherThreadWaitSteps = 1000;
const long OtherThreadWaitStepNs = 10 * 1000 * 1000;

// Everything the handler reads is prepared here before a crash: the handler
// itself may not allocate, lock or call into Qt. Written by the main thread
// while no handler is installed, read by the handler.
struct PreparedState
{
    char reportPath[PATH_MAX] = {};
    char header[512] = {};
    std::size_t headerLength = 0;
    struct sigaction previous[FatalSignalCount] = {};
    stack_t previousStack = {};
    void *stack = nullptr;
    bool faultInHandlerForTest = false;
};
PreparedState prepared;

// The thread writing the report; 0 while nobody crashed.
std::atomic<pid_t> reportOwner{0};
std::atomic<bool> handlerInstalled{false};

// A small buffer over write(2), with number formatting that does not touch
// the C library's locale or allocator.
class SafeWriter
{
public:
    explicit SafeWriter(int fd) : m_fd(fd) {}
    ~SafeWriter() { flush(); }

    void put(const char *text) { put(text, std::strlen(text)); }
    void put(const char *text, std::size_t length)
    {
        for (std::size_t i = 0; i < length; ++i) {
            if (m_length == sizeof m_buffer)
                flush();
            m_buffer[m_length++] = text[i];
        }
    }
    void putDecimal(long long value)
    {
        char digits[24];
        int n = 0;
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
        do {
            digits[n++] = char('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (value < 0)
            put("-");
        while (n)
            put(&digits[--n], 1);
    }
    void putPadded(long long value, int width)
    {
        for (long long limit = 10; width > 1; --width, limit *= 10) {
            if (value < limit)
                put("0");
        }
        putDecimal(value);
    }
    void putHex(std::uintptr_t value)
    {
        char digits[2 * sizeof value];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value);
        put("0x");
        while (n)
            put(&digits[--n], 1);
    }
    void flush()
    {
        std::size_t done = 0;
        while (done < m_length) {
            const ssize_t written = ::write(m_fd, m_buffer + done, m_length - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                break;
            done += std::size_t(written);
        }
        m_length = 0;
    }

private:
    int m_fd;
    char m_buffer[1024];
    std::size_t m_length = 0;
};

const char *signalName(int number)
{
    switch (number) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "?";
    }
}

const char *codeName(int number, int code)
{
    switch (code) {
    case SI_USER:
        return "SI_USER";
    case SI_TKILL:
        return "SI_TKILL";
    case SI_QUEUE:
        return "SI_QUEUE";
    default:
        break;
    }
    if (number == SIGSEGV && code == SEGV_MAPERR)
        return "SEGV_MAPERR";
    if (number == SIGSEGV && code == SEGV_ACCERR)
        return "SEGV_ACCERR";
    if (number == SIGBUS && code == BUS_ADRERR)
        return "BUS_ADRERR";
    if (number == SIGFPE && code == FPE_INTDIV)
        return "FPE_INTDIV";
    if (number == SIGILL && code == ILL_ILLOPN)
        return "ILL_ILLOPN";
    return nullptr;
}

// Universal time as "YYYY-MM-DDTHH:MM:SSZ", by arithmetic only (gmtime_r may lock).
void putUtc(SafeWriter &out, long long seconds)
{
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthIndex = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    out.putPadded(year, 4);
    out.put("-");
    out.putPadded(month, 2);
    out.put("-");
    out.putPadded(day, 2);
    out.put("T");
    out.putPadded(rest / 3600, 2);
    out.put(":");
    out.putPadded(rest / 60 % 60, 2);
    out.put(":");
    out.putPadded(rest % 60, 2);
    out.put("Z");
}

void copyMemoryMap(SafeWriter &out)
{
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) {
        out.put("(unreadable)\n");
        return;
    }
    char chunk[2048];
    for (;;) {
        const ssize_t got = ::read(maps, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        out.put(chunk, std::size_t(got));
    }
    ::close(maps);
}

void writeReport(int number, const siginfo_t *info, pid_t thread)
{
    const int fd = ::open(prepared.reportPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    {
        SafeWriter out(fd);
        out.put(prepared.header, prepared.headerLength);
        struct timespec now = {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        out.put("time: ");
        putUtc(out, now.tv_sec);
        out.put("\nprocess: ");
        out.putDecimal(::getpid());
        out.put("\nsignal: ");
        out.putDecimal(number);
        out.put(" (");
        out.put(signalName(number));
        out.put(")\ncode: ");
        out.putDecimal(info ? info->si_code : 0);
        if (const char *name = info ? codeName(number, info->si_code) : nullptr) {
            out.put(" (");
            out.put(name);
            out.put(")");
        }
        if (info && info->si_code <= 0) {
            out.put(", sent by process ");
            out.putDecimal(info->si_pid);
        }
        out.put("\nfault address: ");
        out.putHex(info ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0);
        char threadName[17] = {};
        ::prctl(PR_GET_NAME, threadName, 0, 0, 0);
        out.put("\nthread: ");
        out.putDecimal(thread);
        out.put(" (");
        out.put(threadName);
        out.put(")\n");
        out.flush();

        if (prepared.faultInHandlerForTest) {
            volatile std::uintptr_t address = 0x20;
            *reinterpret_cast<volatile int *>(address) = 1;
        }

        out.put("\nbacktrace:\n");
        out.flush();
        void *frames[MaxFrames];
        const int count = ::backtrace(frames, MaxFrames);
        ::backtrace_symbols_fd(frames, count, fd);

        out.put("\nmemory map:\n");
        copyMemoryMap(out);
    }
    ::close(fd);

    SafeWriter err(STDERR_FILENO);
    err.put("Fatal signal ");
    err.putDecimal(number);
    err.put(": crash report written to ");
    err.put(prepared.reportPath);
    err.put("\n");
}

// Back to the default action, then the same signal again: it stays pending
// while the handler runs and ends the process once the handler returns.
void dieOfSignal(int number)
{
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(number, &byDefault, nullptr);
    ::raise(number);
}

void onFatalSignal(int number, siginfo_t *info, void *)
{
    const int savedErrno = errno;
    const pid_t self = pid_t(::syscall(SYS_gettid));
    pid_t owner = 0;
    if (!reportOwner.compare_exchange_strong(owner, self)) {
        // The same thread again means the handler itself faulted: no second report.
        if (owner != self) {
            for (int i = 0; i < OtherThreadWaitSteps; ++i) {
                struct timespec step = {0, OtherThreadWaitStepNs};
                ::nanosleep(&step, nullptr);
            }
        }
        dieOfSignal(number);
        errno = savedErrno;
        return;
    }
    writeReport(number, info, self);
    dieOfSignal(number);
    errno = savedErrno;
}

#ifdef SSO_CRASH_TEST_HOOK
[[noreturn]] void faultOnPurpose()
{
    volatile std::uintptr_t address = 0x10;
    *reinterpret_cast<volatile int *>(address) = 1;
    ::abort();
}

// Test builds only: SSO_AGENT_CRASH_FOR_TEST makes the running agent crash
// once its start has returned, in the way named.
void armCrashForTest()
{
    const QByteArray mode = qgetenv("SSO_AGENT_CRASH_FOR_TEST");
    if (mode.isEmpty() || !QCoreApplication::instance())
        return;
    if (mode == "nested")
        prepared.faultInHandlerForTest = true;
    if (mode == "thread") {
        std::thread([] {
            ::pthread_setname_np(::pthread_self(), "crash-test");
            faultOnPurpose();
        }).detach();
        return;
    }
    QTimer::singleShot(0, QCoreApplication::instance(), [mode] {
        if (mode == "abort")
            ::abort();
        faultOnPurpose();
    });
}
#endif

} // namespace

CrashHandler::CrashHandler(const QString &dumpDirectory, const QString &versionText)
{
    if (handlerInstalled.exchange(true)) {
        ApplicationDebug::logLow(QStringLiteral("Crash handler already installed"));
        return;
    }
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_reportPath = QDir(dumpDirectory).filePath(id + QLatin1String(ReportSuffix));
    const QByteArray path = QFile::encodeName(m_reportPath);
    const QByteArray header = (versionText + QStringLiteral(" crash report\nid: ") + id + QLatin1Char('\n')).toUtf8();
    if (std::size_t(path.size()) >= sizeof prepared.reportPath ||
        std::size_t(header.size()) >= sizeof prepared.header) {
        ApplicationDebug::logLow(
            QStringLiteral("Crash handler not installed: the path %1 is too long").arg(m_reportPath));
        handlerInstalled.store(false);
        return;
    }
    std::memcpy(prepared.reportPath, path.constData(), std::size_t(path.size()) + 1);
    std::memcpy(prepared.header, header.constData(), std::size_t(header.size()));
    prepared.headerLength = std::size_t(header.size());
    prepared.faultInHandlerForTest = false;

    // Reports hold the process's memory layout: only the agent's user reads them.
    struct stat folder = {};
    const QByteArray folderPath = QFile::encodeName(dumpDirectory);
    if (::lstat(folderPath.constData(), &folder) == 0 && S_ISDIR(folder.st_mode) && folder.st_uid == ::geteuid())
        ::chmod(folderPath.constData(), 0700);

    // The first backtrace() loads the unwinder, which allocates: never in the handler.
    void *warmUp[2];
    ::backtrace(warmUp, 2);

    prepared.stack = ::mmap(nullptr, AlternateStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (prepared.stack == MAP_FAILED) {
        prepared.stack = nullptr;
    } else {
        stack_t stack = {};
        stack.ss_sp = prepared.stack;
        stack.ss_size = AlternateStackSize;
        if (::sigaltstack(&stack, &prepared.previousStack) != 0) {
            ::munmap(prepared.stack, AlternateStackSize);
            prepared.stack = nullptr;
        }
    }

    struct sigaction action = {};
    action.sa_sigaction = &onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < FatalSignalCount; ++i)
        ::sigaction(FatalSignals[i], &action, &prepared.previous[i]);
    m_installed = true;

#ifdef SSO_CRASH_TEST_HOOK
    armCrashForTest();
#endif
}

CrashHandler::~CrashHandler()
{
    if (!m_installed)
        return;
    for (int i = 0; i < FatalSignalCount; ++i)
        ::sigaction(FatalSignals[i], &prepared.previous[i], nullptr);
    if (prepared.stack) {
        stack_t current = {};
        if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == prepared.stack)
            ::sigaltstack(&prepared.previousStack, nullptr);
        ::munmap(prepared.stack, AlternateStackSize);
        prepared.stack = nullptr;
    }
    handlerInstalled.store(false);
}

} // namespace crash
