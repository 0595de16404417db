// SPDX-License-Identifier: MIT
#include "serverprocess.h"

#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

pid_t spawnProgram(std::vector<std::string> arguments, const std::vector<std::string> &environment, int errFd,
                   bool stdoutToo)
{
    std::vector<char *> argv;
    for (auto &a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const auto route = [&actions, errFd](int fd, bool kept) {
        if (kept && errFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, errFd, fd);
        else
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
    };
    route(STDERR_FILENO, true);
    route(STDOUT_FILENO, stdoutToo);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

namespace {

// The server binary with these arguments, after `prefix` (a program that runs it).
pid_t spawn(const std::vector<std::string> &arguments, const std::vector<std::string> &environment, int errFd,
            std::vector<std::string> prefix = {})
{
    prefix.push_back(OCR_SERVER_BINARY);
    prefix.insert(prefix.end(), arguments.begin(), arguments.end());
    return spawnProgram(std::move(prefix), environment, errFd, false);
}

} // namespace

std::vector<std::string> defaultServerArguments(const std::vector<std::string> &extra)
{
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--api-key", "test-key", "--secret-key",
                                     "test-secret", "--workers", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

ServerProcess::ServerProcess(std::vector<std::string> arguments, std::vector<std::string> environment,
                             bool untilListening, std::vector<std::string> prefix)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    m_pid = spawn(arguments, environment, fds[1], std::move(prefix));
    close(fds[1]);
    if (m_pid < 0) {
        close(fds[0]);
        return;
    }

    m_reader = std::thread([this, fd = fds[0]] {
        static const std::regex address(R"(listening on https?://[^ ]*:(\d+) )");
        static const std::regex admin(R"(admin endpoints at http://[^ ]*:(\d+) )");
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_log.append(buffer, size_t(n));
            std::smatch match;
            // The admin line comes first, if at all.
            if (m_adminPort == 0 && m_port == 0 && std::regex_search(m_log, match, admin))
                m_adminPort = std::stoi(match[1]);
            if (m_port == 0 && std::regex_search(m_log, match, address))
                m_port = std::stoi(match[1]);
            m_listening.notify_all();
        }
        close(fd);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_listening.notify_all();
    });
    if (untilListening) {
        waitUntilListening();
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_listening.wait_for(lock, std::chrono::seconds(60), [this] { return m_adminPort > 0 || m_ended; });
}

bool ServerProcess::waitUntilListening()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_listening.wait_for(lock, std::chrono::seconds(60), [this] { return m_port > 0 || m_ended; })
            && m_port > 0;
}

ServerProcess::~ServerProcess()
{
    stop();
}

int ServerProcess::stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
    }
    if (m_reader.joinable())
        m_reader.join();
    return m_exitStatus;
}

std::string ServerProcess::log() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

bool ServerProcess::waitForLog(const std::string &text)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_listening.wait_for(lock, std::chrono::seconds(10), [&] {
        return m_log.find(text) != std::string::npos || m_ended;
    }) && m_log.find(text) != std::string::npos;
}

pid_t ServerProcess::launch(const std::vector<std::string> &arguments)
{
    return spawn(arguments, {}, -1);
}

int ServerProcess::run(const std::vector<std::string> &arguments, std::string *errors)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    // A server that starts when it should have refused must not hang the test.
    const pid_t pid = spawn(arguments, {}, fds[1], {"timeout", "30"});
    close(fds[1]);
    char buffer[4096];
    ssize_t n;
    errors->clear();
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        errors->append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
