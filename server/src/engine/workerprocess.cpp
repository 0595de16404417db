// SPDX-License-Identifier: MIT
#include "engine/workerprocess.h"

#include "engine/orientation.h"
#include "engine/pagereader.h"
#include "engine/pageworker.h"
#include "engine/sandbox.h"

#include <leptonica/allheaders.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string_view>

#if defined(__SANITIZE_ADDRESS__)
#define VIRELTO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VIRELTO_SANITIZED 1
#endif
#endif
#ifdef VIRELTO_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

extern char **environ;

namespace ocrserver {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using Outcome = Recognition::Outcome;

constexpr int ChildSocket = 3;
constexpr char Taken = 'T';
// A job is at most the largest request body; a reply, lines of text.
constexpr std::uint64_t MaxJob = 256u << 20;
constexpr std::uint64_t MaxReply = 32u << 20;
constexpr std::uint64_t MaxHello = 1u << 20;
// A reply nests six deep (lines, a line, its characters, one, its box);
// parsing recurses, so deeper is refused before it. Every item costs the
// service's memory once parsed.
constexpr std::size_t MaxReplyDepth = 8;
constexpr std::size_t MaxReplyItems = std::size_t(1) << 22;
constexpr std::size_t MaxLibraryOutput = 512;
// How long a process asked to end its page has before it is killed.
constexpr auto StopGrace = std::chrono::milliseconds(300);
constexpr int MaxThreads = 256;
// How often a waiting parent looks at its request's client.
constexpr auto Tick = std::chrono::milliseconds(20);

// Environment a worker keeps: what its libraries read, never the
// service's credentials.
bool inherited(const char *entry)
{
    static const char *const names[] = {"PATH=", "HOME=", "LANG=", "LC_ALL=", "LC_CTYPE=", "TESSDATA_PREFIX=",
                                        "OMP_", "XDG_CACHE_HOME=", "FONTCONFIG_", "ASAN_OPTIONS=", "UBSAN_OPTIONS=",
                                        "LSAN_OPTIONS="};
    return std::any_of(std::begin(names), std::end(names),
                       [entry](const char *name) { return std::strncmp(entry, name, std::strlen(name)) == 0; });
}

// A frame: the payload's size, 8 bytes in the machine's order, then the payload.
void appendFrame(std::string *out, std::string_view payload)
{
    const std::uint64_t size = payload.size();
    out->append(reinterpret_cast<const char *>(&size), 8);
    out->append(payload);
}

// Blocking transfers for the worker's side: all of it, or false.
template<typename Transfer, typename Byte>
bool transferAll(Transfer transfer, int fd, Byte *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = transfer(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

bool writeAll(int fd, const char *data, std::size_t size)
{
    return transferAll(::write, fd, data, size);
}

bool readAll(int fd, char *data, std::size_t size)
{
    return transferAll(::read, fd, data, size);
}

bool readFrame(int fd, std::string *payload, std::uint64_t limit)
{
    std::uint64_t size = 0;
    if (!readAll(fd, reinterpret_cast<char *>(&size), 8) || size > limit)
        return false;
    payload->resize(size);
    return readAll(fd, payload->data(), size);
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool validUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t k) { return std::uint8_t(text[k]); };
        const std::uint8_t lead = byte(i);
        std::size_t length = 1;
        std::uint8_t low = 0x80, high = 0xbf; // range of the first continuation byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            low = lead == 0xe0 ? 0xa0 : 0x80;
            high = lead == 0xed ? 0x9f : 0xbf;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            low = lead == 0xf0 ? 0x90 : 0x80;
            high = lead == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high)
            return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((byte(i + k) & 0xc0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

// Whether a worker's message is one CBOR item of the kind this file writes,
// checked without recursion before the parser sees it: definite lengths
// only, no tags, at most `maxDepth` containers deep and `maxItems` items,
// every text string UTF-8, nothing after it.
bool plainCbor(std::string_view data, std::size_t maxDepth, std::size_t maxItems)
{
    std::vector<std::uint64_t> open; // items still to come in each open container
    std::size_t pos = 0;
    for (std::size_t items = 0; items < maxItems; ++items) {
        if (pos >= data.size())
            return false;
        const std::uint8_t initial = std::uint8_t(data[pos++]);
        const int major = initial >> 5;
        const int info = initial & 31;
        std::uint64_t value = std::uint64_t(info);
        if (info >= 24) {
            if (info > 27)
                return false; // reserved, or an indefinite length
            const std::size_t bytes = std::size_t(1) << (info - 24);
            if (data.size() - pos < bytes)
                return false;
            value = 0;
            for (std::size_t k = 0; k < bytes; ++k)
                value = value << 8 | std::uint8_t(data[pos++]);
        }
        switch (major) {
        case 0: // integers
        case 1:
            break;
        case 2: // bytes
        case 3: // text
            if (value > data.size() - pos || (major == 3 && !validUtf8(data.substr(pos, std::size_t(value)))))
                return false;
            pos += std::size_t(value);
            break;
        case 4: // array
        case 5: // map: a key and a value each
            if (value > maxItems)
                return false;
            if (major == 5)
                value *= 2;
            if (value > 0) {
                if (open.size() >= maxDepth)
                    return false;
                open.push_back(value);
                continue;
            }
            break;
        case 7: // false, true, null, single and double floats
            if (info != 20 && info != 21 && info != 22 && info != 26 && info != 27)
                return false;
            break;
        default: // tags
            return false;
        }
        // An item is complete, and with it perhaps the containers it ends.
        while (!open.empty() && --open.back() == 0)
            open.pop_back();
        if (open.empty())
            return pos == data.size();
    }
    return false;
}

json parseReply(const std::string &payload, std::size_t maxItems)
{
    if (!plainCbor(payload, MaxReplyDepth, maxItems))
        throw std::invalid_argument("not a reply");
    return json::from_cbor(payload);
}

json boxJson(const Box &b)
{
    return json::array({b.left, b.top, b.width, b.height});
}

Box boxFrom(const json &j)
{
    if (!j.is_array() || j.size() != 4)
        throw std::invalid_argument("box");
    return {j[0].get<int>(), j[1].get<int>(), j[2].get<int>(), j[3].get<int>()};
}

std::string encodeResult(const Recognition &r)
{
    json lines = json::array();
    for (const RecognizedLine &line : r.lines) {
        json corners = json::array();
        for (const Point &p : line.vertexes)
            corners.push_back(json::array({p.x, p.y}));
        json chars = json::array();
        for (const RecognizedChar &c : line.chars)
            chars.push_back(json::array({c.text, boxJson(c.box)}));
        lines.push_back({{"text", line.text}, {"paragraph", line.paragraph}, {"average", line.average},
                         {"min", line.min}, {"variance", line.variance}, {"box", boxJson(line.box)},
                         {"corners", std::move(corners)}, {"chars", std::move(chars)}});
    }
    const json reply = {{"outcome", int(r.outcome)}, {"direction", r.direction}, {"pdf_pages", r.pdfPages},
                        {"lines", std::move(lines)}, {"reader", r.timing.reader},
                        {"prepare_ns", r.timing.prepare.count()}, {"read_ns", r.timing.read.count()},
                        // as printed, which need not be UTF-8
                        {"output", json::binary(std::vector<std::uint8_t>(r.libraryOutput.begin(),
                                                                          r.libraryOutput.end()))}};
    const std::vector<std::uint8_t> bytes = json::to_cbor(reply);
    return std::string(bytes.begin(), bytes.end());
}

// The process may have been taken over by a hostile page: what it sends is
// checked like anything else from outside.
Recognition decodeResult(const std::string &payload)
{
    const json j = parseReply(payload, MaxReplyItems);
    Recognition r;
    const int outcome = j.at("outcome").get<int>();
    if (outcome < int(Outcome::Done) || outcome > int(Outcome::Cancelled))
        throw std::invalid_argument("outcome");
    r.outcome = Outcome(outcome);
    r.direction = std::clamp(j.at("direction").get<int>(), -1, 3);
    r.pdfPages = std::max(0, j.at("pdf_pages").get<int>());
    for (const json &l : j.at("lines")) {
        RecognizedLine line;
        line.text = l.at("text").get<std::string>();
        line.paragraph = l.at("paragraph").get<int>();
        line.average = l.at("average").get<double>();
        line.min = l.at("min").get<double>();
        line.variance = l.at("variance").get<double>();
        line.box = boxFrom(l.at("box"));
        for (const json &p : l.at("corners"))
            line.vertexes.push_back({p.at(0).get<int>(), p.at(1).get<int>()});
        for (const json &c : l.at("chars"))
            line.chars.push_back({c.at(0).get<std::string>(), boxFrom(c.at(1))});
        r.lines.push_back(std::move(line));
    }
    const std::string reader = j.at("reader").get<std::string>();
    r.timing.reader = reader == "lines" || reader == "tesseract" ? reader : std::string();
    r.timing.prepare = std::chrono::nanoseconds(std::max<std::int64_t>(0, j.at("prepare_ns").get<std::int64_t>()));
    r.timing.read = std::chrono::nanoseconds(std::max<std::int64_t>(0, j.at("read_ns").get<std::int64_t>()));
    // Bounded here too: the process may not be what it was.
    const json::binary_t &output = j.at("output").get_binary();
    r.libraryOutput.assign(output.begin(), output.begin() + std::ptrdiff_t(std::min(output.size(), MaxLibraryOutput)));
    return r;
}

std::string settingsJson(const WorkerProcess::Settings &s)
{
    return json{{"language", s.language},
                {"reader", s.options.reader == ReaderChoice::Tesseract ? "tesseract" : "auto"},
                {"models", s.options.lineModels},
                {"min_side", s.options.minPageSide},
                {"max_side", s.options.maxPageSide},
                {"memory", s.options.workerMemory},
                // Its parent is this process, whatever its pid (1 in a container)
                {"service", getpid()}}
            .dump();
}

// The workers alive or not yet reaped, which their owners reap; any other
// child is an orphan that came to this process as PID 1.
std::mutex workersMutex;
std::set<pid_t> workerPids;

} // namespace

void reapOrphans()
{
    std::vector<pid_t> children;
    std::unique_ptr<DIR, int (*)(DIR *)> tasks(opendir("/proc/self/task"), closedir);
    while (const dirent *task = tasks ? readdir(tasks.get()) : nullptr) {
        if (task->d_name[0] == '.')
            continue;
        std::FILE *list = std::fopen(("/proc/self/task/" + std::string(task->d_name) + "/children").c_str(), "re");
        if (!list)
            continue;
        for (int pid; std::fscanf(list, "%d", &pid) == 1;)
            children.push_back(pid);
        std::fclose(list);
    }
    std::lock_guard<std::mutex> lock(workersMutex);
    for (pid_t pid : children)
        if (!workerPids.count(pid))
            waitpid(pid, nullptr, WNOHANG);
}

WorkerProcess::WorkerProcess(const Settings &settings)
    : m_started(Clock::now())
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error(std::string("worker process: socketpair: ") + std::strerror(errno));
    std::vector<char *> env;
    for (char **e = environ; *e; ++e)
        if (inherited(*e))
            env.push_back(*e);
    env.push_back(nullptr);
    const std::string settingsText = settingsJson(settings);
    const std::string program = settings.program;
    std::string name = "virelto-ocr-server";
    std::string flag = "--worker-process";
    std::string settingsArg = settingsText;
    char *argv[] = {name.data(), flag.data(), settingsArg.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], ChildSocket);
    // Nothing else of the service's reaches the worker: not its listening
    // sockets, not its clients' connections.
    posix_spawn_file_actions_addclosefrom_np(&actions, ChildSocket + 1);
    // Nor its terminal: input from nowhere, output to nowhere until the
    // worker has its memory file (a sanitizer build keeps the service's
    // error output for the sanitizers' reports).
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
#ifndef VIRELTO_SANITIZED
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::unique_lock<std::mutex> registered(workersMutex);
    const int spawned = posix_spawn(&m_pid, program.c_str(), &actions, &attributes, argv, env.data());
    if (spawned == 0)
        workerPids.insert(m_pid);
    registered.unlock();
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pair[1]);
    if (spawned != 0) {
        close(pair[0]);
        m_pid = -1;
        throw std::runtime_error("worker process: cannot start " + settings.program + ": " + std::strerror(spawned));
    }
    m_socket = pair[0];
    fcntl(m_socket, F_SETFL, fcntl(m_socket, F_GETFL) | O_NONBLOCK);
}

WorkerProcess::~WorkerProcess()
{
    kill();
}

void WorkerProcess::kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        reap();
    }
}

std::string WorkerProcess::ended(int status)
{
    {
        std::lock_guard<std::mutex> lock(workersMutex);
        workerPids.erase(m_pid);
    }
    m_pid = -1;
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGKILL ? "killed"
                : WTERMSIG(status) == SIGSYS
                ? "was ended by its system-call filter (signal 31)"
                : "ended by signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "ended";
}

std::string WorkerProcess::reap()
{
    int status = 0;
    if (m_pid > 0)
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    return ended(status);
}

bool WorkerProcess::alive(std::string *ending)
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == 0)
        return true;
    *ending = ended(status);
    return false;
}

namespace {

// One frame from a non-blocking socket, read as it comes. `wait` decides,
// between reads, whether to go on: it returns how long to wait at most, or
// a negative duration to give up.
enum class FrameRead { Complete, Closed, TooLarge, GaveUp };

template<typename Wait>
FrameRead readFrameWhile(int fd, std::string *payload, std::uint64_t limit, Wait wait)
{
    std::string buffer;
    std::uint64_t expected = 0;
    for (;;) {
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            return FrameRead::Closed;
        if (n > 0) {
            buffer.append(chunk, std::size_t(n));
            if (expected == 0 && buffer.size() >= 8) {
                std::memcpy(&expected, buffer.data(), 8);
                if (expected > limit)
                    return FrameRead::TooLarge;
            }
            if (buffer.size() >= 8 && buffer.size() - 8 >= expected) {
                if (buffer.size() - 8 > expected)
                    return FrameRead::TooLarge; // one reply per job, never more
                *payload = buffer.substr(8);
                return FrameRead::Complete;
            }
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return FrameRead::Closed;
        const std::chrono::milliseconds timeout = wait();
        if (timeout.count() < 0)
            return FrameRead::GaveUp;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, int(timeout.count()));
    }
}

} // namespace

bool WorkerProcess::waitReady(Clock::time_point until, const std::atomic<bool> &abort, std::string *error)
{
    std::string payload;
    const FrameRead got = readFrameWhile(m_socket, &payload, MaxHello, [&] {
        if (abort.load() || Clock::now() >= until)
            return std::chrono::milliseconds(-1);
        return std::chrono::milliseconds(100);
    });
    try {
        if (got == FrameRead::Complete) {
            const json hello = parseReply(payload, 1 << 16);
            if (hello.contains("error")) {
                *error = hello.at("error").get<std::string>();
            } else {
                m_languages = hello.at("languages").get<std::vector<std::string>>();
                m_sandboxNote = hello.at("note").get<std::string>();
                m_startup = Clock::now() - m_started;
                return true;
            }
        } else {
            *error = got == FrameRead::GaveUp ? "the worker process did not load in time"
                    : got == FrameRead::TooLarge  ? "the worker process sent nonsense"
                                                  : "the worker process " + reap() + " while loading";
        }
    } catch (const std::exception &) {
        *error = "the worker process sent nonsense";
    }
    kill();
    return false;
}

Recognition WorkerProcess::read(const RecognitionJob &job, const ReadingStop &stop, std::string *ending,
                                bool *untouched)
{
    *untouched = false;
    Recognition result;
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(stop.deadline - Clock::now());
    const json head = {{"pdf", job.source == RecognitionJob::Source::Pdf}, {"page", job.pdfPage},
                       {"language", job.language}, {"detect_direction", job.detectDirection},
                       {"threads", job.threads}, {"deadline_ms", std::max<std::int64_t>(0, remaining.count())}};
    const std::vector<std::uint8_t> headBytes = json::to_cbor(head);
    std::string message;
    message.reserve(16 + headBytes.size() + job.image.size());
    appendFrame(&message, std::string_view(reinterpret_cast<const char *>(headBytes.data()), headBytes.size()));
    appendFrame(&message, job.image);

    bool asked = false;
    Clock::time_point askedAt;
    int threads = job.threads;
    bool delivered = false;
    // What the parent does while it waits: hands on a stop and, once the
    // process has the page, fewer threads; kills it when the stop or the
    // deadline is not kept.
    const auto wait = [&]() -> std::chrono::milliseconds {
        const auto now = Clock::now();
        if (const int allowed = stop.threadsAllowed(job.threads); delivered && allowed < threads) {
            sigval value{};
            value.sival_int = allowed;
            if (::sigqueue(m_pid, SIGRTMIN, value) == 0)
                threads = allowed;
        }
        if (stop.abort && stop.abort->load()) {
            result.outcome = Outcome::Cancelled;
            return std::chrono::milliseconds(-1);
        }
        if (stop.cancelled && stop.cancelled->load() && !asked) {
            ::kill(m_pid, SIGUSR1);
            asked = true;
            askedAt = now;
        }
        if (asked && now - askedAt > StopGrace) {
            result.outcome = Outcome::Cancelled;
            return std::chrono::milliseconds(-1);
        }
        if (now > stop.deadline + StopGrace) {
            result.outcome = Outcome::TimedOut;
            return std::chrono::milliseconds(-1);
        }
        return Tick;
    };

    // One step of the page going out or its receipt coming back: false when
    // the socket would block and the wait is over, or when the process is
    // gone before it took the page (it was dying already; `untouched`).
    const auto step = [&](ssize_t n, short events) {
        const bool blocked = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (n < 0 && errno == EINTR)
            return true;
        const auto timeout = blocked ? wait() : std::chrono::milliseconds(-1);
        if (timeout.count() < 0) {
            *untouched = !blocked && n <= 0;
            return false;
        }
        pollfd p{m_socket, events, 0};
        poll(&p, 1, int(timeout.count()));
        return true;
    };
    // The process says when it has the whole page ('T').
    for (std::size_t sent = 0; !delivered;) {
        if (sent < message.size()) {
            const ssize_t n = ::send(m_socket, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += std::size_t(n);
            else if (!step(n, POLLOUT))
                break;
            continue;
        }
        char taken = 0;
        const ssize_t n = ::read(m_socket, &taken, 1);
        if (n == 1)
            delivered = taken == Taken;
        if (n == 1 ? !delivered : !step(n, POLLIN))
            break;
    }
    if (!delivered) {
        ::kill(m_pid, SIGKILL);
        *ending = reap();
        return result;
    }

    std::string payload;
    const FrameRead got = readFrameWhile(m_socket, &payload, MaxReply, wait);
    if (got == FrameRead::Complete) {
        try {
            Recognition answer = decodeResult(payload);
            // A page the process was asked to end stays ended.
            if (asked && answer.outcome == Outcome::Done)
                answer.outcome = Outcome::Cancelled;
            return answer;
        } catch (const std::exception &) {
            result.outcome = Outcome::Failed;
        }
    }
    if (got == FrameRead::Closed || got == FrameRead::TooLarge)
        result.outcome = Clock::now() >= stop.deadline ? Outcome::TimedOut : Outcome::Failed;
    // Killed, dead or talking nonsense: this process is done.
    ::kill(m_pid, SIGKILL);
    *ending = reap();
    return result;
}

// The worker's side.

namespace {

std::atomic<bool> stopRequested{false};

void requestStop(int)
{
    stopRequested = true;
}

// The threads the page being read may still use, within those its job
// gives. Once the page is taken the service may lower it with a real-time
// signal carrying the new count (queued, where a second SIGUSR2 would be
// lost while the first is pending).
std::atomic<int> threadsAllowed{MaxThreads};
pid_t servicePid = 0;

void lowerThreads(int, siginfo_t *info, void *)
{
    const int threads = info->si_value.sival_int;
    if (info->si_code == SI_QUEUE && info->si_pid == servicePid && threads >= 1 && threads < threadsAllowed.load())
        threadsAllowed = threads;
}

bool sendPayload(const std::string &payload)
{
    std::string framed;
    appendFrame(&framed, payload);
    return writeAll(ChildSocket, framed.data(), framed.size());
}

bool send(const json &message)
{
    const std::vector<std::uint8_t> bytes = json::to_cbor(message);
    return sendPayload(std::string(bytes.begin(), bytes.end()));
}

// What libraries print goes into a memory file, read and emptied after
// every page.
std::string takeOutput(int file)
{
    std::string out(MaxLibraryOutput, '\0');
    const ssize_t n = pread(file, out.data(), out.size(), 0);
    out.resize(n > 0 ? std::size_t(n) : 0);
    if (ftruncate(file, 0) == 0)
        lseek(file, 0, SEEK_SET);
    return out;
}

// A small page with a word on it, read once before the sandbox closes so
// that what the readers set up on first use (orientation models, OpenCV's
// buffers) is in place.
std::string warmUpPage()
{
    PixHandle pix(pixCreate(160, 48, 8));
    pixSetAll(pix.get());
    ::Box *bar = boxCreate(20, 16, 120, 16);
    pixClearInRect(pix.get(), bar);
    boxDestroy(&bar);
    l_uint8 *data = nullptr;
    size_t size = 0;
    pixWriteMem(&data, &size, pix.get(), IFF_PNG);
    std::string bytes(reinterpret_cast<const char *>(data), size);
    lept_free(data);
    return bytes;
}

// A PDF page of type in a font it does not embed: Poppler sets up
// fontconfig, and reads its configuration, on the first one.
std::string warmUpPdf()
{
    const std::string content = "BT /F1 12 Tf 20 20 Td (Aa) Tj ET";
    const std::string objects[] = {
            "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 50] /Resources << /Font << /F1 4 0 R >> >> /Contents 5 0 R >>",
            "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
            "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream"};
    std::string pdf = "%PDF-1.4\n";
    std::string xref = "xref\n0 6\n0000000000 65535 f \n";
    for (int i = 0; i < 5; ++i) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
        xref += entry;
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t start = pdf.size();
    return pdf + xref + "trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(start) + "\n%%EOF\n";
}

[[maybe_unused]] std::vector<std::string> readableFolders(const std::string &models)
{
    std::vector<std::string> folders = {"/usr", "/etc/fonts", "/etc/ld.so.cache", "/var/cache/fontconfig"};
    if (const char *tessdata = std::getenv("TESSDATA_PREFIX"))
        folders.push_back(tessdata);
    if (!models.empty())
        folders.push_back(models);
    if (const char *cache = std::getenv("XDG_CACHE_HOME"))
        folders.push_back(std::string(cache) + "/fontconfig");
    else if (const char *home = std::getenv("HOME"))
        folders.push_back(std::string(home) + "/.cache/fontconfig");
    return folders;
}

} // namespace

int workerProcessMain(int argc, char **argv)
{
    // The worker ends with the service, however the service ends; a parent
    // other than the service means it ended before that was set.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 3)
        return 2;
    const json settings = json::parse(argv[2], nullptr, false);
    if (!settings.is_object() || !settings.contains("service") || !settings["service"].is_number_integer()
        || getppid() != settings["service"].get<pid_t>())
        return 2;
    signal(SIGPIPE, SIG_IGN);
    struct sigaction onStop = {};
    onStop.sa_handler = requestStop;
    sigemptyset(&onStop.sa_mask);
    onStop.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &onStop, nullptr);
    servicePid = getppid();
    struct sigaction onFewerThreads = {};
    onFewerThreads.sa_sigaction = lowerThreads;
    sigemptyset(&onFewerThreads.sa_mask);
    onFewerThreads.sa_flags = SA_RESTART | SA_SIGINFO;
    sigaction(SIGRTMIN, &onFewerThreads, nullptr);

    const int output = memfd_create("library-output", MFD_CLOEXEC);
#ifdef VIRELTO_SANITIZED
    // The sanitizers' own reports still reach the service's error output.
    __sanitizer_set_report_fd(reinterpret_cast<void *>(std::intptr_t(dup(STDERR_FILENO))));
#endif
    if (output >= 0) {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
    }

    std::unique_ptr<PageWorker> worker;
    std::string sandboxNote;
    try {
        EngineOptions options;
        options.reader = settings.at("reader").get<std::string>() == "tesseract" ? ReaderChoice::Tesseract
                                                                                  : ReaderChoice::Auto;
        options.lineModels = settings.at("models").get<std::string>();
        options.minPageSide = settings.at("min_side").get<long>();
        options.maxPageSide = settings.at("max_side").get<long>();
        options.workerMemory = settings.at("memory").get<std::size_t>();
        const std::string language = settings.at("language").get<std::string>();
#ifndef VIRELTO_SANITIZED
        // The sanitizers reserve terabytes of address space up front.
        sandbox::limitResources(options.workerMemory, 1 << 20);
#endif
        try {
            worker = std::make_unique<PageWorker>(language, options);
        } catch (const std::exception &e) {
            throw std::runtime_error(std::string(e.what()) + " (are the service's model files installed? see --help)");
        }
        RecognitionJob warmUp;
        warmUp.image = warmUpPage();
        warmUp.language = language;
        warmUp.detectDirection = true;
        worker->read(warmUp, ReadingStop{nullptr, nullptr, Clock::now() + std::chrono::minutes(1)});
        warmUp.source = RecognitionJob::Source::Pdf;
        warmUp.image = warmUpPdf();
        warmUp.detectDirection = false;
        worker->read(warmUp, ReadingStop{nullptr, nullptr, Clock::now() + std::chrono::minutes(1)});
        worker->settle();
        takeOutput(output);
#ifndef VIRELTO_SANITIZED
        // The sanitizers' leak check at exit starts a tracer process,
        // which the filter would forbid.
        sandboxNote = sandbox::enter(readableFolders(options.lineModels));
#endif
        if (!send({{"languages", worker->installedLanguages()}, {"note", sandboxNote}}))
            return 1;
    } catch (const std::exception &e) {
        send({{"error", e.what()}});
        return 1;
    }

    for (;;) {
        std::string head, image;
        if (!readFrame(ChildSocket, &head, 1 << 16) || !readFrame(ChildSocket, &image, MaxJob))
            return 0; // the service closed the socket: time to go
        // Before the receipt: what the service asks once it has it is for this page.
        stopRequested = false;
        threadsAllowed = MaxThreads;
        if (!writeAll(ChildSocket, &Taken, 1))
            return 1;
        Recognition result;
        try {
            const json j = json::from_cbor(head);
            RecognitionJob job;
            job.source = j.at("pdf").get<bool>() ? RecognitionJob::Source::Pdf : RecognitionJob::Source::Image;
            job.pdfPage = j.at("page").get<int>();
            job.language = j.at("language").get<std::string>();
            job.detectDirection = j.at("detect_direction").get<bool>();
            job.threads = std::clamp(j.at("threads").get<int>(), 1, MaxThreads);
            job.image = std::move(image);
            const auto deadline = std::chrono::milliseconds(j.at("deadline_ms").get<std::int64_t>());
            // Each thread spends the process's CPU time.
            sandbox::limitCpu(std::chrono::duration_cast<std::chrono::seconds>(deadline) * job.threads
                              + std::chrono::seconds(2));
            result = worker->read(job, ReadingStop{&stopRequested, nullptr, Clock::now() + deadline, &threadsAllowed});
        } catch (const std::exception &) {
            result = Recognition{};
            result.outcome = Outcome::Failed;
        }
        if (stopRequested)
            result = Recognition::ended(Outcome::Cancelled);
        result.libraryOutput = takeOutput(output);
        if (!sendPayload(encodeResult(result)))
            return 1;
    }
}

} // namespace ocrserver
