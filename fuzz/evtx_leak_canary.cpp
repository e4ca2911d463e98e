// Checks that the leak suppressions of the fuzz runs (lsan.supp) hide only
// libevtx's own leaks: a record, file or error of libevtx that our side
// leaves unfreed is still reported, while the event store reading damaged
// files on which libevtx leaks internally reports nothing. Each case runs in a
// child process with a leak check of its own.
//   evtx_leak_canary GOOD.evtx DAMAGED.evtx...
#include "eventsource/eventstore.h"

#include <libevtx/features.h>
#undef LIBEVTX_HAVE_BFIO
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <libevtx.h>
#include <sanitizer/lsan_interface.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace userCollector;

namespace {

// Whether the leak check reports something after what() returns.
bool leaksAfter(const std::function<void()> &what)
{
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        what();
        // _exit: the report above is the verdict, not the one at exit.
        ::_exit(__lsan_do_recoverable_leak_check() != 0 ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        std::fprintf(stderr, "evtx_leak_canary: child failed (status %d)\n", status);
        ::_exit(2);
    }
    return WEXITSTATUS(status) == 1;
}

__attribute__((noinline)) libevtx_file_t *openEvtx(const char *path)
{
    libevtx_file_t *file = nullptr;
    if (libevtx_file_initialize(&file, nullptr) != 1 || libevtx_file_open(file, path, LIBEVTX_OPEN_READ, nullptr) != 1)
        ::_exit(2);
    return file;
}

__attribute__((noinline)) void leakRecord(const char *path)
{
    libevtx_file_t *file = openEvtx(path);
    libevtx_record_t *record = nullptr;
    if (libevtx_file_get_record_by_index(file, 0, &record, nullptr) != 1)
        ::_exit(2);
    libevtx_file_close(file, nullptr);
    libevtx_file_free(&file, nullptr);
}

__attribute__((noinline)) void leakFile(const char *path)
{
    libevtx_file_t *file = openEvtx(path);
    libevtx_file_close(file, nullptr);
}

__attribute__((noinline)) void leakError()
{
    libevtx_file_t *file = nullptr;
    libevtx_error_t *error = nullptr;
    libevtx_file_initialize(&file, nullptr);
    if (libevtx_file_open(file, "/nonexistent/Security.evtx", LIBEVTX_OPEN_READ, &error) == 1 || !error)
        ::_exit(2);
    libevtx_file_free(&file, nullptr);
}

// What the agent does with a store: every event of the file read, twice.
__attribute__((noinline)) void readStore(const char *path)
{
    QTemporaryDir work;
    QDir().mkpath(work.filePath(QStringLiteral("dc")));
    if (!QFile::copy(QFile::decodeName(path), work.filePath(QStringLiteral("dc/Security.evtx"))))
        ::_exit(2);
    EventStore store(work.path());
    for (int pass = 0; pass < 2; ++pass) {
        quint32 error = 0;
        auto session = store.openSession(QStringLiteral("dc"), &error);
        auto query = session ? session->query(0, {4624, 4768}, &error) : nullptr;
        std::vector<RenderedEvent> batch;
        while (query && query->next(100, &batch) == 0)
            batch.clear();
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: evtx_leak_canary GOOD.evtx DAMAGED.evtx...\n");
        return 2;
    }
    int failures = 0;
    const auto expect = [&failures](const char *what, bool leaked, bool expected) {
        std::printf("%s: %s\n", what, leaked == expected ? "as expected" : expected ? "NOT REPORTED" : "REPORTED");
        failures += leaked != expected;
    };
    expect("a record left unfreed", leaksAfter([&] { leakRecord(argv[1]); }), true);
    expect("a file left unfreed", leaksAfter([&] { leakFile(argv[1]); }), true);
    expect("an error left unfreed", leaksAfter([] { leakError(); }), true);
    for (int i = 1; i < argc; ++i)
        expect(argv[i], leaksAfter([&] { readStore(argv[i]); }), false);
    std::printf("%d of %d cases failed\n", failures, argc + 2);
    return failures == 0 ? 0 : 1;
}
