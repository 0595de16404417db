// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_WORKERPROCESS_H
#define VIRELTO_SERVER_WORKERPROCESS_H

#include "engine/ocrengine.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace ocrserver {

struct ReadingStop;

// A child process that reads pages for the service, one at a time. Images
// are decoded, PDF pages drawn and both read there, inside memory and CPU
// limits and a system-call filter, so that a page no library returns from,
// or one that crashes a decoder, costs its own request and nothing else:
// the process is killed and another takes its place.
class WorkerProcess
{
public:
    struct Settings
    {
        std::string program; // this service's binary, started with --worker-process
        std::string language;
        EngineOptions options;
    };

    // Starts the process, which then loads its readers. Throws
    // std::runtime_error when it cannot be started.
    explicit WorkerProcess(const Settings &settings);
    ~WorkerProcess(); // kills it
    WorkerProcess(const WorkerProcess &) = delete;
    WorkerProcess &operator=(const WorkerProcess &) = delete;

    // Waits until the readers are loaded. False, with the reason, when the
    // process cannot serve (a language or the models missing), when `until`
    // passes or `abort` is set.
    bool waitReady(std::chrono::steady_clock::time_point until, const std::atomic<bool> &abort, std::string *error);
    const std::vector<std::string> &languages() const { return m_languages; }
    // What its sandbox could not apply on this kernel; empty when all of it.
    const std::string &sandboxNote() const { return m_sandboxNote; }
    // Set up to this point, from the start; zero until ready.
    std::chrono::steady_clock::duration startup() const { return m_startup; }
    pid_t pid() const { return m_pid; }
    bool lost() const { return m_pid <= 0; }
    // Whether it is still there between pages; one that died meanwhile (the
    // kernel's out-of-memory killer, a stray signal) is reaped and lost(),
    // with how it ended in `ending`.
    bool alive(std::string *ending);

    // Reads one page. When the client leaves or the engine stops (`stop`),
    // the process is asked to end the page, and killed if it does not at
    // once; past the deadline it is killed. A process that is killed or
    // dies is lost(); `ending` then says how ("killed", "signal 11", ...),
    // and `untouched` whether it ended before it had the page (it was dying
    // already), so that the page may go to another.
    Recognition read(const RecognitionJob &job, const ReadingStop &stop, std::string *ending, bool *untouched);

    void kill();

private:
    std::string reap();
    std::string ended(int status);

    pid_t m_pid = -1;
    int m_socket = -1;
    std::chrono::steady_clock::time_point m_started;
    std::chrono::steady_clock::duration m_startup{};
    std::vector<std::string> m_languages;
    std::string m_sandboxNote;
};

// Reaps the children of this process that are not worker processes: as
// PID 1 (a container without an init) every orphan in it comes here.
void reapOrphans();

// The worker process itself: the service's binary started as
// `virelto-ocr-server --worker-process SETTINGS`, the socket to the
// service on descriptor 3. Returns the exit status.
int workerProcessMain(int argc, char **argv);

} // namespace ocrserver

#endif
