// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TESTS_SERVERPROCESS_H
#define VIRELTO_SERVER_TESTS_SERVERPROCESS_H

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The real server binary on an ephemeral loopback port. Its stderr (the
// request log) is collected for the tests to read.
class ServerProcess
{
public:
    // Starts the server and waits for its "listening on" line, or with
    // untilListening false only for its admin listener's line; `prefix` is
    // a program that runs it (pid() is then that program's).
    explicit ServerProcess(std::vector<std::string> arguments, std::vector<std::string> environment = {},
                           bool untilListening = true, std::vector<std::string> prefix = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    bool started() const { return m_port > 0; }
    int port() const { return m_port; }
    int adminPort() const { return m_adminPort; }
    // Waits for the "listening on" line of a server started without waiting.
    bool waitUntilListening();
    pid_t pid() const { return m_pid; }
    std::string log() const;
    // Waits until the log holds text (the server logs a request after answering it).
    bool waitForLog(const std::string &text);
    // Stops with SIGTERM and returns the exit status.
    int stop();

    // Starts the binary and returns at once, its output thrown away: the
    // child's pid (for waitForExit), or -1.
    static pid_t launch(const std::vector<std::string> &arguments);

    // Runs the binary to completion (at most 30 s: status 124 after that);
    // returns its exit status and stderr.
    static int run(const std::vector<std::string> &arguments, std::string *errors);

private:
    pid_t m_pid = -1;
    int m_port = 0;
    int m_adminPort = 0;
    int m_exitStatus = -1;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_listening;
    bool m_ended = false;
    std::string m_log;
};

// Runs a program (arguments[0], looked up in PATH) with this process's
// environment plus `environment`. Its stderr, and with stdoutToo its stdout,
// go to errFd; the rest to /dev/null (all of it when errFd < 0). The pid, or -1.
pid_t spawnProgram(std::vector<std::string> arguments, const std::vector<std::string> &environment, int errFd,
                   bool stdoutToo = false);

// The test credentials on an ephemeral loopback port, two workers, then
// extra (a later option overrides an earlier one).
std::vector<std::string> defaultServerArguments(const std::vector<std::string> &extra = {});

// The route the program uses, and a token request with the test credentials.
inline constexpr char OcrPath[] = "/rest/2.0/ocr/v1/accurate_basic";
inline constexpr char GrantQuery[] =
        "/oauth/2.0/token?grant_type=client_credentials&client_id=test-key&client_secret=test-secret";

#endif
