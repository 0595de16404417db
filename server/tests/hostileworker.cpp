// SPDX-License-Identifier: MIT
// A worker process taken over by a hostile page, for the engine's tests.
//
//   hostileworker --worker-process SETTINGS
//       speaks the worker's protocol, and answers each page as the page's
//       bytes say: "fine" as a worker would, the others with a reply the
//       service must refuse; then waits to be killed.
//   hostileworker sandbox CALL
//       enters the workers' sandbox and makes one call: exit status 0 when
//       it was allowed, 1 when refused with EPERM, 3 otherwise; killed when
//       the filter kills.
#include "engine/sandbox.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using nlohmann::json;

namespace {

constexpr int Socket = 3;
constexpr std::uint64_t MaxReply = 32u << 20;

bool readAll(char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = read(Socket, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

bool writeAll(const std::string &data)
{
    for (std::size_t sent = 0; sent < data.size();) {
        const ssize_t n = write(Socket, data.data() + sent, data.size() - sent);
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}

bool readFrame(std::string *payload)
{
    std::uint64_t size = 0;
    if (!readAll(reinterpret_cast<char *>(&size), 8) || size > (256u << 20))
        return false;
    payload->resize(size);
    return readAll(payload->data(), size);
}

std::string frame(const std::string &payload, std::uint64_t announced)
{
    return std::string(reinterpret_cast<const char *>(&announced), 8) + payload;
}

std::string frame(const json &message)
{
    const std::vector<std::uint8_t> bytes = json::to_cbor(message);
    return frame(std::string(bytes.begin(), bytes.end()), bytes.size());
}

json reply(int outcome, const std::string &text)
{
    const json line = {{"text", text},       {"paragraph", 0}, {"average", 0.9},
                       {"min", 0.9},         {"variance", 0},  {"box", {1, 2, 30, 10}},
                       {"corners", json::array()}, {"chars", json::array({json::array({text.substr(0, 1), {1, 2, 5, 10}})})}};
    return {{"outcome", outcome}, {"direction", -1}, {"pdf_pages", 0},
            {"lines", json::array({line})}, {"reader", "tesseract"}, {"prepare_ns", 1},
            {"read_ns", 1}, {"output", json::binary({})}};
}

std::string answer(const std::string &page)
{
    if (page == "outcome-out-of-range")
        return frame(reply(7, "x"));
    if (page == "frame-over-maximum")
        return frame(std::string(), MaxReply + 1); // and never the rest
    if (page == "nested-arrays") {
        std::string deep(100000, '\x81'); // [[[[... 0 ]]]]
        deep += '\0';
        return frame(deep, deep.size());
    }
    if (page == "invalid-utf8")
        return frame(reply(0, "caf\xc3"));
    if (page == "surrogate")
        return frame(reply(0, "\xed\xa0\x80"));
    return frame(reply(0, "fine"));
}

int fakeWorker()
{
    if (!writeAll(frame(json{{"languages", {"eng"}}, {"note", ""}})))
        return 1;
    for (;;) {
        std::string head, page;
        if (!readFrame(&head) || !readFrame(&page) || !writeAll("T"))
            return 0;
        if (!writeAll(answer(page)))
            return 1;
    }
}

int refusal(long result)
{
    return result == 0 ? 0 : errno == EPERM ? 1 : 3;
}

int sandboxed(const std::string &call)
{
    const pid_t parent = getppid();
    // A terminal of its own, opened while it still may.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    const int side = terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0
            ? open(ptsname(terminal), O_RDWR | O_NOCTTY)
            : -1;
    if (side < 0)
        return 4;
    ocrserver::sandbox::enter({"/usr"});
    rlimit limit{};
    // Signal 0 and reading a limit: allowed or not, they change nothing.
    if (call == "tgkill-self")
        return refusal(syscall(SYS_tgkill, getpid(), getpid(), 0));
    if (call == "tgkill-parent")
        return refusal(syscall(SYS_tgkill, parent, parent, 0));
    if (call == "prlimit-self")
        return refusal(prlimit(0, RLIMIT_NOFILE, nullptr, &limit) | prlimit(getpid(), RLIMIT_NOFILE, nullptr, &limit));
    if (call == "prlimit-parent")
        return refusal(prlimit(parent, RLIMIT_NOFILE, nullptr, &limit));
    if (call == "abort") { // raise() is tgkill on itself
        std::signal(SIGABRT, [](int) { _exit(0); });
        std::abort();
    }
    if (call == "tiocsti") {
        const char byte = ' ';
        return refusal(ioctl(side, TIOCSTI, &byte));
    }
    if (call == "tcgets")
        return isatty(side) ? 0 : refusal(-1);
    return 5;
}

} // namespace

int main(int argc, char **argv)
{
    // _exit: nothing runs at exit that the filter would end.
    if (argc == 3 && std::strcmp(argv[1], "--worker-process") == 0)
        _exit(fakeWorker());
    if (argc == 3 && std::strcmp(argv[1], "sandbox") == 0)
        _exit(sandboxed(argv[2]));
    return 2;
}
