// SPDX-License-Identifier: MIT
// The service on a shared network: idle, slow, oversized and hostile
// clients beside normal ones, shutdown at any moment, and secrets handling.
// Raw sockets on loopback; every wait has a limit.
#include "serverprocess.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {


// Peak and current resident memory of a process, in MiB.
long memoryMiB(pid_t pid, const char *field)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::strlen(field) + 1)) / 1024;
    return -1;
}

struct RawResponse
{
    int status = 0;
    std::string body;
    json parsed() const { return json::parse(body, nullptr, false); }
};

// One TCP connection to the server, byte by byte.
class Connection
{
public:
    explicit Connection(int port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Connection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Connection(Connection &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)), m_in(std::move(other.m_in)) {}

    bool connected() const { return m_fd >= 0; }

    bool send(std::string_view data)
    {
        while (!data.empty()) {
            const ssize_t n = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data.remove_prefix(size_t(n));
        }
        return true;
    }

    // Reads what arrives within the limit; false once the peer has closed.
    bool readFor(std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return true;
            if (!readSome(left))
                return false;
        }
    }

    // Waits at most the limit for bytes and takes what has come; false once the peer has closed.
    bool readSome(std::chrono::milliseconds limit)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, int(limit.count())) <= 0)
            return true;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        m_in.append(buffer, size_t(n));
        return true;
    }

    // Waits for the server to close the connection.
    bool closedWithin(std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline)
            if (!readFor(100ms))
                return true;
        return false;
    }

    // The client's end of the stream, its side still reading.
    void shutdownSend() { ::shutdown(m_fd, SHUT_WR); }
    // Interim (1xx) answers skipped so far, and what has come after the last response.
    int interim() const { return m_interim; }
    const std::string &unread() const { return m_in; }

    // One response with a Content-Length body (without one: with bodyless,
    // as to a HEAD), or nothing within the limit. Interim answers are skipped.
    std::optional<RawResponse> response(std::chrono::milliseconds limit = 10s, bool bodyless = false)
    {
        const auto deadline = Clock::now() + limit;
        static const std::regex statusLine(R"(^HTTP/1\.1 (\d{3}) )");
        static const std::regex length(R"(\r\n[Cc]ontent-[Ll]ength: *(\d+)\r\n)");
        for (;;) {
            const size_t headEnd = m_in.find("\r\n\r\n");
            std::smatch status, size;
            if (headEnd != std::string::npos) {
                const std::string head = m_in.substr(0, headEnd + 2);
                if (head.rfind("HTTP/1.1 1", 0) == 0) {
                    ++m_interim;
                    m_in.erase(0, headEnd + 4);
                    continue;
                }
                if (std::regex_search(head, status, statusLine) && (bodyless || std::regex_search(head, size, length))) {
                    const size_t total = headEnd + 4 + (bodyless ? 0 : std::stoul(size[1]));
                    if (m_in.size() >= total) {
                        RawResponse r{std::stoi(status[1]), m_in.substr(headEnd + 4, total - headEnd - 4)};
                        m_in.erase(0, total);
                        return r;
                    }
                }
            }
            if (Clock::now() >= deadline)
                return std::nullopt;
            const bool open = readSome(std::min<std::chrono::milliseconds>(
                    100ms, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())));
            if (!open && m_in.find("\r\n\r\n") == std::string::npos)
                return std::nullopt;
        }
    }

private:
    int m_fd = -1;
    std::string m_in;
    int m_interim = 0;
};

// A POST's head up to its framing (Content-Length or Transfer-Encoding).
std::string postHead(const std::string &target, const std::string &type = "application/x-www-form-urlencoded")
{
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type + "\r\n";
}

std::string post(const std::string &target, const std::string &body,
                 const std::string &type = "application/x-www-form-urlencoded")
{
    return postHead(target, type) + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A token asked for on a new connection; "" if none comes within the limit.
std::string tokenFrom(int port, std::chrono::milliseconds limit = 10s)
{
    Connection c(port);
    c.send(post(GrantQuery, ""));
    const auto r = c.response(limit);
    return r && r->status == 200 ? r->parsed().value("access_token", "") : "";
}

// A normal client: a token request on a new connection, answered within
// a few seconds.
bool answersPromptly(int port)
{
    return !tokenFrom(port, 5s).empty();
}

class HttpCore : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // A body's grace and deadline shortened, so that a steady body outlasts them within seconds.
        server = new ServerProcess(
                defaultServerArguments({"--workers", "1", "--body-grace", "2", "--body-timeout", "6"}));
        ASSERT_TRUE(server->started()) << server->log();
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    static int port() { return server->port(); }
    static ServerProcess *server;
};

ServerProcess *HttpCore::server = nullptr;

TEST_F(HttpCore, IdleSlowAndKeptAliveClientsDoNotDelayOthers)
{
    std::vector<Connection> idle, keptAlive, slow;
    for (int i = 0; i < 40; ++i) {
        idle.emplace_back(port());
        keptAlive.emplace_back(port());
        keptAlive.back().send(post(GrantQuery, ""));
        ASSERT_TRUE(keptAlive.back().response()) << "keep-alive client " << i;
        slow.emplace_back(port());
        slow.back().send("POST /oauth/2.0/tok");
    }
    // Slow clients trickle their heads a byte at a time.
    std::atomic<bool> trickle{true};
    std::thread trickler([&] {
        while (trickle)
            for (auto &c : slow) {
                c.send("e");
                std::this_thread::sleep_for(5ms);
            }
    });
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(answersPromptly(port())) << "request " << i;

    // Nobody holds a connection forever: heads are due within 10 s.
    for (auto &c : slow)
        EXPECT_TRUE(c.closedWithin(15s));
    trickle = false;
    trickler.join();
    for (auto &c : idle)
        EXPECT_TRUE(c.closedWithin(5s));
    EXPECT_TRUE(answersPromptly(port()));
}

TEST_F(HttpCore, BodilessPostIsAnsweredAtOnce)
{
    Connection c(port());
    c.send(std::string("POST ") + GrantQuery + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const auto r = c.response(5s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_FALSE(r->parsed().value("access_token", "").empty());
}

struct OverLimitCase
{
    const char *name;
    bool ocrRoute;
    bool chunked; // else a Content-Length far over the limit
    int status;
    const char *field; // the JSON member that names the error
    json value;
    // Credentials refused from the head: clients that each send the head of
    // an 11 MiB body and hold the body back until answered.
    std::string credentials = {}; // the query after the path, or a header line
    int clients = 0;
};

class OverLimit : public HttpCore, public ::testing::WithParamInterface<OverLimitCase>
{
};

// The client sends its whole body (up to 300 MiB) while the server refuses
// after its limit; the server's memory must not follow the body.
TEST_P(OverLimit, IsRefusedInTheRoutesShapeWithoutBuffering)
{
    const OverLimitCase &c = GetParam();
    const long before = memoryMiB(server->pid(), "VmRSS");
    if (c.clients > 0) {
        const bool header = c.credentials.find(':') != std::string::npos;
        const std::string head = postHead(std::string(OcrPath) + (header ? "" : c.credentials))
                + (header ? c.credentials + "\r\n" : "") + "Content-Length: " + std::to_string(11 << 20) + "\r\n\r\n";
        std::vector<Connection> held;
        for (int i = 0; i < c.clients; ++i) {
            held.emplace_back(port());
            ASSERT_TRUE(held.back().send(head + "image="));
        }
        // The answers come while the bodies are still held back.
        for (auto &client : held) {
            const auto r = client.response();
            ASSERT_TRUE(r) << "no answer before the body";
            EXPECT_EQ(r->status, c.status);
            EXPECT_EQ(r->parsed().value(c.field, json()), c.value) << r->body;
            EXPECT_TRUE(client.closedWithin(5s));
        }
        const long after = memoryMiB(server->pid(), "VmRSS");
        std::cout << c.clients << " held bodies: " << before << " MiB before, " << after << " MiB after\n";
        EXPECT_LT(after - before, 64);
        EXPECT_TRUE(answersPromptly(port()));
        return;
    }
    const std::string token = tokenFrom(port());
    const std::string target = c.ocrRoute ? std::string(OcrPath) + "?access_token=" + token : "/oauth/2.0/token";

    Connection connection(port());
    const std::string head = postHead(target) + (c.chunked ? std::string("Transfer-Encoding: chunked\r\n\r\n")
                                                           : "Content-Length: " + std::to_string(300u << 20) + "\r\n\r\n");
    ASSERT_TRUE(connection.send(head));
    std::string chunk(1 << 20, 'A');
    if (c.chunked)
        chunk = "100000\r\n" + chunk + "\r\n";
    for (int i = 0; i < 300 && connection.send(chunk); ++i) {
    }
    const auto r = connection.response();
    ASSERT_TRUE(r) << server->log();
    EXPECT_EQ(r->status, c.status);
    EXPECT_EQ(r->parsed().value(c.field, json()), c.value) << r->body;
    EXPECT_LT(memoryMiB(server->pid(), "VmRSS") - before, 64);
    EXPECT_TRUE(answersPromptly(port()));
}

INSTANTIATE_TEST_SUITE_P(
        Routes, OverLimit,
        ::testing::Values(OverLimitCase{"TokenChunked", false, true, 413, "error", "invalid_request"},
                          OverLimitCase{"TokenLength", false, false, 413, "error", "invalid_request"},
                          OverLimitCase{"OcrChunked", true, true, 200, "error_code", 216202},
                          OverLimitCase{"OcrLength", true, false, 200, "error_code", 216202},
                          OverLimitCase{"NoCredentials", true, false, 200, "error_code", 100, "", 48},
                          OverLimitCase{"BadToken", true, false, 200, "error_code", 110, "?access_token=24.x.y", 48},
                          OverLimitCase{"ExpiredSignature", true, false, 200, "error_code", 14,
                                        std::string("Authorization: bce-auth-v1/test-key")
                                                + "/2020-01-01T00:00:00Z/1800/host/" + std::string(64, '0'),
                                        48}),
        [](const auto &info) { return std::string(info.param.name); });

std::string textSheet();
std::optional<RawResponse> adminGet(int port, const std::string &path);

// The limit holds to the byte, sized or chunked: one byte over is refused,
// the limit itself is read (and answered as the form it is).
TEST(HttpCoreLimits, BodyLimitHoldsToTheByte)
{
    ServerProcess server(defaultServerArguments({"--workers", "1", "--max-body", "2048"}));
    ASSERT_TRUE(server.started());
    const std::string target = std::string(OcrPath) + "?access_token=" + tokenFrom(server.port());
    for (const bool chunked : {false, true}) {
        for (const size_t size : {size_t(2048), size_t(2049)}) {
            const std::string body = "image=" + std::string(size - 6, 'A');
            std::string request = postHead(target);
            if (chunked) {
                // Two chunks: the second one crosses the limit.
                const std::string first = body.substr(0, 1500), second = body.substr(1500);
                char sizes[64];
                std::snprintf(sizes, sizeof sizes, "%zx", second.size());
                request += "Transfer-Encoding: chunked\r\n\r\n5dc\r\n" + first + "\r\n" + sizes + "\r\n" + second
                        + "\r\n0\r\n\r\n";
            } else {
                request += "Content-Length: " + std::to_string(size) + "\r\n\r\n" + body;
            }
            Connection c(server.port());
            c.send(request);
            const auto r = c.response();
            ASSERT_TRUE(r) << size << (chunked ? " chunked" : " sized");
            EXPECT_EQ(r->parsed().value("error_code", 0) == 216202, size > 2048)
                    << size << (chunked ? " chunked: " : " sized: ") << r->body;
        }
    }

    // The bytes held for bodies, to the byte: a body as large as the budget is
    // read, and handed to the engine it frees the budget, so that a second
    // one is read while the first is recognised.
    const std::string page = imageForm(textSheet());
    ServerProcess held(defaultServerArguments({"--workers", "1", "--admin-listen", "127.0.0.1:0",
                                               "--max-buffered-bodies", std::to_string(page.size())}));
    ASSERT_TRUE(held.started());
    const std::string ocr = std::string(OcrPath) + "?access_token=" + tokenFrom(held.port());
    std::vector<Connection> clients;
    for (const char *figure : {"\nvirelto_ocr_workers_busy 1\n", "\nvirelto_ocr_queue_length 1\n"}) {
        clients.emplace_back(held.port());
        clients.back().send(post(ocr, page));
        std::optional<RawResponse> figures, refused;
        for (const auto deadline = Clock::now() + 20s; !refused && Clock::now() < deadline;) {
            if ((figures = adminGet(held.adminPort(), "/metrics")) && figures->body.find(figure) != std::string::npos)
                break;
            refused = clients.back().response(20ms);
        }
        ASSERT_FALSE(refused) << "body " << clients.size() << " refused: " << refused->body;
        EXPECT_NE(figures->body.find(figure), std::string::npos) << figure;
    }
}

TEST_F(HttpCore, HostileFramingGetsJsonErrors)
{
    const std::string token = tokenFrom(port());
    const std::string ocr = std::string(OcrPath) + "?access_token=" + token;
    struct Case
    {
        std::string request;
        int status;
        int code;
        std::string logged = {}; // what the request's log line must show, where that matters
        std::size_t bytesPerSecond = 0; // sent steadily at this rate; 0: at once
        bool halfClose = false; // the client ends its side of the stream after the request, and waits
        bool bodyless = false;  // the answer has headers only (code not checked)
        int then = -1; // what follows on the connection: 0 nothing, it closes; else the next answer's status
    };
    // Framing that leaves a body to be read as a request of its own.
    const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    const Case cases[] = {
        {post(ocr, "--x\r\nContent-Disposition: form-data; name=\"image\"\r\n\r\nAAAA\r\n--x--\r\n",
              "multipart/form-data; boundary=x"),
         200, 216100},
        {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 431, 216103},
        {"GET /x HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'b') + "\r\n\r\n", 431, 216103},
        {"NOT HTTP AT ALL\r\n\r\n", 400, 216100},
        {"POST " + ocr + " HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nimage=", 400, 216100},
        {postHead(ocr) + "Transfer-Encoding: identity\r\n\r\n" + smuggled, 400, 216100, {}, 0, false, false, 0},
        {postHead(ocr) + "Transfer-Encoding: gzip\r\n\r\n" + smuggled, 400, 216100, {}, 0, false, false, 0},
        {postHead(ocr) + "Transfer-Encoding: chunked, identity\r\n\r\n5\r\nimage\r\n0\r\n\r\n" + smuggled, 400, 216100,
         {}, 0, false, false, 0},
        {postHead(ocr) + "Transfer-Encoding: gzip, chunked\r\n\r\n5\r\nimage\r\n0\r\n\r\n" + smuggled, 400, 216100,
         {}, 0, false, false, 0},
        // HEAD asks the token route as GET does: the same status, no body.
        {std::string("HEAD ") + GrantQuery + " HTTP/1.1\r\nHost: x\r\n\r\n", 200, 0, {}, 0, false, true},
        {"POST " + ocr + " HTTP/1.0\r\n" + form + "Transfer-Encoding: chunked\r\n\r\n5\r\nimage\r\n0\r\n\r\n" + smuggled,
         400, 216100, {}, 0, false, false, 0},
        // Answered, though the client said it sends no more (nc -N, curl's --no-keepalive scripts).
        {post(ocr, "image=AAAA"), 200, 216201, {}, 0, true},
        {"POST " + ocr + " HTTP/1.0\r\n" + form + "Content-Length: 10\r\n\r\nimage=AAAA", 200, 216201, {}, 0, true},
        {"GET /x HTTP/1.1\r\n\r\n", 400, 216100},
        {"GET /x HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400, 216100},
        {"GET /x HTTP/1.0\r\n\r\n", 404, 3}, // HTTP/1.0 needs no Host
        {"HEAD /x HTTP/1.1\r\nHost: x\r\n\r\nGET /y HTTP/1.1\r\nHost: x\r\n\r\n", 404, 0, {}, 0, false, true, 404},
        {post("http://127.0.0.1:1" + ocr, "image=AAAA"), 200, 216201},
        {post("HTTP://127.0.0.1:1" + ocr, "image=AAAA"), 200, 216201},
        // No interim answer for HTTP/1.0, which cannot read one (checked for every HTTP/1.0 row).
        {"POST " + ocr + " HTTP/1.0\r\n" + form + "Expect: 100-continue\r\nContent-Length: 10\r\n\r\nimage=AAAA", 200,
         216201},
        // The byte 0xff, then the text of its escape: the log must tell them apart.
        {"GET /\xff\\xff HTTP/1.1\r\nHost: x\r\n\r\n", 404, 3, " GET /\\xff\\x5cxff 404 "},
        // A body that keeps coming at four times the minimum rate for longer than its 2 s grace.
        {post(ocr, "image=" + std::string(192 * 1024, 'A')), 200, 216201, {}, 64 * 1024},
        // The same rate for far longer than the body's 6 s deadline: cut off unanswered.
        {post(ocr, "image=" + std::string(4 << 20, 'A')), 0, 0, "accurate_basic 408 error=0 ", 64 * 1024},
    };
    for (const Case &c : cases) {
        Connection connection(port());
        if (c.bytesPerSecond == 0) {
            connection.send(c.request);
        } else {
            // An eighth of a second's worth at a time, on a schedule a late piece catches up with.
            const std::size_t piece = c.bytesPerSecond / 8;
            const auto start = Clock::now();
            for (std::size_t at = 0; at < c.request.size() && connection.send(c.request.substr(at, piece)); at += piece)
                std::this_thread::sleep_until(start + (at / piece + 1) * 125ms);
        }
        if (c.halfClose)
            connection.shutdownSend();
        if (c.status == 0) {
            EXPECT_TRUE(connection.closedWithin(5s)) << c.request.substr(0, 60);
            EXPECT_TRUE(server->waitForLog(c.logged)) << c.logged << " not in:\n" << server->log();
            continue;
        }
        const auto r = connection.response(10s, c.bodyless);
        const std::string log = server->log();
        ASSERT_TRUE(r) << c.request.substr(0, 60) << ": no answer; the log ends\n"
                       << log.substr(log.size() - std::min<std::size_t>(log.size(), 300));
        EXPECT_EQ(r->status, c.status) << c.request.substr(0, 60);
        if (!c.bodyless) {
            EXPECT_EQ(r->parsed().value("error_code", 0), c.code) << r->body;
        }
        if (c.request.find(" HTTP/1.0\r\n") != std::string::npos) {
            EXPECT_EQ(connection.interim(), 0) << c.request.substr(0, 60);
        }
        if (c.then == 0) {
            EXPECT_TRUE(connection.closedWithin(5s)) << c.request.substr(0, 60);
            EXPECT_EQ(connection.unread(), "") << c.request.substr(0, 60);
        } else if (c.then > 0) {
            const auto next = connection.response();
            ASSERT_TRUE(next) << c.request.substr(0, 60) << ": what followed was not answered; came: " << connection.unread();
            EXPECT_EQ(next->status, c.then);
        }
        if (!c.logged.empty()) {
            EXPECT_TRUE(server->waitForLog(c.logged)) << c.logged << " not in:\n" << server->log();
        }
    }
    EXPECT_TRUE(answersPromptly(port())) << server->log();
}

// The page as PNG bytes; the page is destroyed.
std::string pngOf(Pix *pix)
{
    l_uint8 *data = nullptr;
    size_t size = 0;
    pixWriteMemPng(&data, &size, pix, 0.0);
    std::string out(reinterpret_cast<char *>(data), size);
    lept_free(data);
    pixDestroy(&pix);
    return out;
}

std::string blankPng(int width, int height)
{
    Pix *pix = pixCreate(width, height, 32);
    pixSetAll(pix); // white
    return pngOf(pix);
}

// A PNG whose colour profile, named with a line break and a log line, is
// broken: the PNG library's warning quotes the name.
std::string pngWithForgedProfileName()
{
    const auto crc = [](const std::string &bytes) {
        std::uint32_t c = 0xffffffffu;
        for (unsigned char b : bytes) {
            c ^= b;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
        }
        return ~c;
    };
    const auto be32 = [](std::uint32_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    // A stored (uncompressed) zlib stream of a profile too short to be one.
    const std::string profile(200, '\0');
    std::uint32_t a = 1, b = 0;
    for (unsigned char ch : profile) {
        a = (a + ch) % 65521;
        b = (b + a) % 65521;
    }
    const std::string zlib = std::string("\x78\x01\x01", 3) + char(profile.size()) + '\0' + char(~profile.size())
            + '\xff' + profile + be32(b << 16 | a);
    const std::string data = std::string("sRGB\n2026-01-01T00:00:00Z POST /oauth/2.0/token 200 error=0") + '\0'
            + '\0' + zlib;
    const std::string chunk = "iCCP" + data;
    const std::string png = blankPng(64, 64);
    const std::size_t afterHeader = 8 + 8 + 13 + 4; // signature, IHDR
    return png.substr(0, afterHeader) + be32(std::uint32_t(data.size())) + chunk + be32(crc(chunk))
            + png.substr(afterHeader);
}

TEST_F(HttpCore, LogLinesCannotBeForgedAndTimeTheirOwnRequest)
{
    Connection c(port());
    c.send("GET /x%0A2026-01-01T00:00:00Z%20POST%20/oauth/2.0/token%20200%20error=0 HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(c.response());
    ASSERT_TRUE(server->waitForLog("GET /x%0A2026"));
    // What a library prints while it reads a page stays inside that
    // request's own line.
    Connection page(port());
    page.send(post(std::string(OcrPath) + "?access_token=" + tokenFrom(port()), imageForm(pngWithForgedProfileName())));
    ASSERT_TRUE(page.response(60s));
    ASSERT_TRUE(server->waitForLog(" library=\"")) << server->log();
    EXPECT_EQ(server->log().find("\n2026-01-01T00:00:00Z"), std::string::npos) << server->log();

    // A refused head a while after the last request is timed from its own
    // first byte, not from an earlier request.
    std::this_thread::sleep_for(1500ms);
    Connection big(port());
    big.send("GET /" + std::string(20000, 'z') + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(big.response());
    ASSERT_TRUE(server->waitForLog(" 431 error=216103 "));
    std::smatch took;
    const std::string log = server->log();
    ASSERT_TRUE(std::regex_search(log, took, std::regex(R"( 431 error=216103 ([0-9.]+)ms )")));
    EXPECT_LT(std::stod(took[1]), 1000.0) << log;
}

// Sixteen copies of a page of text: seconds of work for one engine.
std::string textSheet()
{
    Pix *page = pixRead(FIXTURES_DIR "/clean.png");
    if (!page)
        return {};
    const int w = pixGetWidth(page), h = pixGetHeight(page);
    Pix *sheet = pixCreate(w * 4, h * 4, pixGetDepth(page));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            pixRasterop(sheet, x * w, y * h, w, h, PIX_SRC, page, 0, 0);
    pixDestroy(&page);
    return pngOf(sheet);
}

// Places of which the server has a fixed number: connections, and places in
// the recognition queue.
struct PlacesCase
{
    const char *name;
    std::vector<std::string> options;
    int clients;       // come one after the other for the places: one more than there are
    bool recognitions; // each asks for a long recognition; else each holds a connection idle ...
    int refusedStatus; // of the one refused with error 18
    int heldBody = 0;  // ... or holds back the rest of a body: 1 announced by its length, 2 chunked
};

void PrintTo(const PlacesCase &c, std::ostream *out)
{
    *out << c.name;
}

class PlacesBeyondTheLimit : public ::testing::TestWithParam<PlacesCase>
{
};

// The client beyond the limit is refused at once, with error 18. Those who
// then leave give their places to the next client; the first one stays (with
// recognitions, the one that runs, so the place given up is a queued one's).
TEST_P(PlacesBeyondTheLimit, AreRefusedAndGivenUpByClientsThatLeave)
{
    const PlacesCase &c = GetParam();
    ServerProcess server(defaultServerArguments(c.options));
    ASSERT_TRUE(server.started());
    const std::string ocr = std::string(OcrPath) + "?access_token=" + tokenFrom(server.port());
    std::string request = c.recognitions ? post(ocr, imageForm(textSheet())) : "";
    constexpr std::size_t part = 10'000'000; // of a body whose rest never comes
    if (c.heldBody == 1)
        request = postHead(ocr) + "Content-Length: " + std::to_string(part + 1) + "\r\n\r\nimage=";
    if (c.heldBody == 2) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx", part);
        request = postHead(ocr) + "Transfer-Encoding: chunked\r\n\r\n" + size + "\r\nimage=" + std::string(part - 6, 'A')
                + "\r\n";
    }
    std::vector<Connection> held;
    for (int i = 0; i < c.clients; ++i) {
        held.emplace_back(server.port());
        held.back().send(request);
        held.back().readFor(50ms); // let the server take the place before the next client comes
    }
    std::optional<RawResponse> refusal;
    for (const auto deadline = Clock::now() + 10s; !refusal && Clock::now() < deadline;)
        for (auto &client : held)
            if (!refusal)
                refusal = client.response(20ms);
    ASSERT_TRUE(refusal) << "nobody was refused";
    EXPECT_EQ(refusal->status, c.refusedStatus);
    EXPECT_EQ(refusal->parsed().value("error_code", 0), 18) << refusal->body;

    Connection first = std::move(held.front());
    held.clear();
    bool served = false;
    std::string answer;
    for (const auto deadline = Clock::now() + 20s; !served && Clock::now() < deadline;) {
        // A client that left reaches the server in its own time (one that
        // half-closed is asked first): until then the next one is refused.
        Connection next(server.port());
        next.send(post(ocr, imageForm(fixture("small.png"))));
        const auto r = next.response(60s);
        answer = r ? r->body : "no answer";
        served = r && r->parsed().contains("words_result");
    }
    EXPECT_TRUE(served) << "the next client's last answer: " << answer;
}

INSTANTIATE_TEST_SUITE_P(
        Limits, PlacesBeyondTheLimit,
        ::testing::Values(PlacesCase{"Connections", {"--max-connections", "4", "--workers", "1"}, 5, false, 503},
                          // A recognition that runs on while a queued client leaves.
                          PlacesCase{"RecognitionQueue",
                                     {"--workers", "1", "--queue", "1", "--recognize-timeout", "3"}, 3, true, 200},
                          // Bytes held for bodies: two bodies of 10 MB fit, the third does not.
                          PlacesCase{"BufferedBodies", {"--workers", "1", "--max-buffered-bodies", "25000000"}, 3, false,
                                     503, 1},
                          PlacesCase{"BufferedChunkedBodies", {"--workers", "1", "--max-buffered-bodies", "25000000"}, 3,
                                     false, 503, 2}),
        [](const auto &info) { return std::string(info.param.name); });

TEST(HttpCoreEngine, ImagesAreDecodedOnlyInsideAWorkerProcess)
{
    // Six 8192 x 8192 colour pages (256 MiB each once decoded) at once
    // against one worker and a queue of one: two are read, four refused at
    // once, and the service's own process decodes none of them.
    ServerProcess server(defaultServerArguments({"--workers", "1", "--queue", "1"}));
    ASSERT_TRUE(server.started());
    const std::string token = tokenFrom(server.port());
    const std::string request = post(std::string(OcrPath) + "?access_token=" + token, imageForm(blankPng(8192, 8192)));
    const long before = memoryMiB(server.pid(), "VmHWM");
    std::vector<std::thread> clients;
    std::atomic<int> read{0}, refused{0}, other{0};
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&] {
            Connection c(server.port());
            c.send(request);
            const auto r = c.response(120s);
            const int code = r ? r->parsed().value("error_code", 0) : -1;
            ++(code == 0 ? read : code == 18 ? refused : other);
        });
    }
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(read.load(), 2);
    EXPECT_EQ(refused.load(), 4);
    std::cout << "peak resident memory: " << before << " MiB before, " << memoryMiB(server.pid(), "VmHWM")
              << " MiB after\n";
    // One page decoded in the service's process would take 256 MiB.
    EXPECT_LT(memoryMiB(server.pid(), "VmHWM") - before, 128);
}

std::optional<RawResponse> adminGet(int port, const std::string &path)
{
    Connection c(port);
    c.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return c.response();
}

// A progressive JPEG of a big flat page whose last scan comes again and
// again: each repeat is another pass of the decoder over the whole page.
std::string repeatedScans()
{
    Pix *pix = pixCreate(4096, 4096, 8);
    pixSetAll(pix);
    l_uint8 *data = nullptr;
    size_t size = 0;
    pixWriteMemJpeg(&data, &size, pix, 75, 1);
    pixDestroy(&pix);
    const std::string jpeg(reinterpret_cast<char *>(data), size);
    lept_free(data);
    // Scan data stuffs every 0xff byte, so the last scan header is the last 0xff 0xda.
    const size_t scan = jpeg.rfind("\xff\xda");
    const std::string repeated = jpeg.substr(scan, jpeg.size() - 2 - scan);
    std::string out = jpeg.substr(0, jpeg.size() - 2);
    for (int i = 0; i < 2000; ++i)
        out += repeated;
    return out + "\xff\xd9";
}

// A small PDF page that draws a form that draws a form ... sixteen times at
// each of eight levels: billions of draws.
std::string nestedForms()
{
    std::vector<std::string> objects = {
            "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Resources << /XObject << /X 5 0 R >> >> "
            "/Contents 4 0 R >>"};
    std::string draws;
    for (int i = 0; i < 16; ++i)
        draws += "q 1 0 0 1 " + std::to_string(i) + " 0 cm /X Do Q\n";
    objects.push_back("<< /Length " + std::to_string(draws.size()) + " >>\nstream\n" + draws + "endstream");
    const int levels = 8;
    for (int level = 0; level < levels; ++level) {
        const int self = int(objects.size()) + 1;
        const std::string body = level + 1 < levels ? draws : "0 0 1 1 re f\n";
        const std::string resources = level + 1 < levels
                ? "/Resources << /XObject << /X " + std::to_string(self + 1) + " 0 R >> >> "
                : std::string();
        objects.push_back("<< /Type /XObject /Subtype /Form /BBox [0 0 200 200] " + resources + "/Length "
                          + std::to_string(body.size()) + " >>\nstream\n" + body + "endstream");
    }
    return pdfFromObjects(objects);
}

// The server's worker processes, whichever of its threads started them.
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(parent) + "/task";
    std::unique_ptr<DIR, int (*)(DIR *)> folder(opendir(tasks.c_str()), closedir);
    while (const dirent *task = folder ? readdir(folder.get()) : nullptr) {
        std::istringstream list(readFile(tasks + "/" + task->d_name + "/children"));
        for (pid_t pid; list >> pid;)
            children.push_back(pid);
    }
    return children;
}

// Freeze: the reading worker is stopped (SIGSTOP), so only the service can
// end its page; Memory: the page needs more than --worker-memory.
enum class Hostile { Deadline, Crash, Stop, Freeze, Memory };

// With one worker and nothing replaced yet, the one reading a page is the
// first started; the spare came after it.
pid_t readingWorker(pid_t server)
{
    const std::vector<pid_t> children = childrenOf(server);
    return children.empty() ? -1 : *std::min_element(children.begin(), children.end());
}

struct HostileCase
{
    const char *name;
    std::string (*page)();
    bool pdf;
    Hostile what;
    std::vector<std::string> options;
};

void PrintTo(const HostileCase &c, std::ostream *out)
{
    *out << c.name;
}

class HostilePages : public ::testing::TestWithParam<HostileCase>
{
};

// A page no library returns from holds one worker process until its
// deadline, then gets 282000; meanwhile another page is read beside it. A
// worker process that crashes costs its own request only; a stop does not
// wait for a held worker beyond the grace.
TEST_P(HostilePages, AreEndedAtTheirDeadlineAndHoldNothingElse)
{
    const HostileCase &c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (c.what == Hostile::Memory)
        GTEST_SKIP() << "sanitizer builds set no memory limit on worker processes";
#endif
    std::vector<std::string> options = {"--workers", "2", "--recognize-timeout", "3", "--admin-listen", "127.0.0.1:0"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    ServerProcess server(defaultServerArguments(options));
    ASSERT_TRUE(server.started());
    const std::string ocr = std::string(OcrPath) + "?access_token=" + tokenFrom(server.port());
    const std::string page = c.page();
    Connection hostile(server.port());
    hostile.send(post(ocr, c.pdf ? "pdf_file=" + formValue(base64(page)) : imageForm(page)));

    // Under way: a worker process has the page (a page over the memory
    // limit may be over at once).
    bool busy = c.what == Hostile::Memory;
    for (const auto deadline = Clock::now() + 20s; !busy && Clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
        const auto figures = adminGet(server.adminPort(), "/metrics");
        busy = figures && figures->body.find("\nvirelto_ocr_workers_busy 1\n") != std::string::npos;
    }
    ASSERT_TRUE(busy);
    if (c.what == Hostile::Crash) {
        // Every worker process: the reading one, the idle one and the spare.
        // SIGABRT, as a failed assertion in a decoder would (a sanitizer
        // build would report a SIGSEGV as a fault of its own).
        for (pid_t child : childrenOf(server.pid()))
            kill(child, SIGABRT);
    } else if (c.what == Hostile::Freeze) {
        const pid_t reading = readingWorker(server.pid());
        ASSERT_GT(reading, 0);
        kill(reading, SIGSTOP);
    } else if (c.what == Hostile::Stop) {
        kill(server.pid(), SIGTERM);
        EXPECT_EQ(waitForExit(server.pid(), 20s), 0);
        return;
    }

    const auto ended = [&] {
        const auto answer = hostile.response(30s);
        ASSERT_TRUE(answer) << server.log();
        EXPECT_EQ(answer->parsed().value("error_code", 0), 282000) << answer->body.substr(0, 200);
    };
    // A crashed worker's request first: the idle ones may still be dying; a
    // frozen one's too, which the service itself must end.
    const auto sent = Clock::now();
    if (c.what == Hostile::Crash || c.what == Hostile::Freeze)
        ended();
    if (c.what == Hostile::Freeze)
        std::cout << "a stopped worker's page answered after "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count() << " ms\n";
    Connection normal(server.port());
    normal.send(post(ocr, imageForm(blankPng(64, 64)))); // quick, even on a loaded machine
    const auto read = normal.response(60s);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->parsed().value("error_code", 0), 0) << read->body.substr(0, 200) << server.log();
    if (c.what != Hostile::Crash && c.what != Hostile::Freeze)
        ended();
    if (c.what == Hostile::Crash) {
        EXPECT_TRUE(server.waitForLog("a worker process ended by signal 6 while reading a page")) << server.log();
    }
    // A worker process held inside a library, or crashed, was replaced (a
    // long page ends itself between lines).
    const auto figures = adminGet(server.adminPort(), "/metrics");
    ASSERT_TRUE(figures);
    if (c.what == Hostile::Crash || c.what == Hostile::Freeze || (c.what == Hostile::Deadline && c.page != textSheet)) {
        EXPECT_EQ(figures->body.find("\nvirelto_ocr_worker_restarts_total 0\n"), std::string::npos);
    }
    // Every line of the log is the server's own.
    std::istringstream log(server.log());
    for (std::string line; std::getline(log, line);)
        EXPECT_EQ(line.rfind("virelto-ocr-server", 0) == 0 || line.rfind("20", 0) == 0, true) << line;
}

INSTANTIATE_TEST_SUITE_P(
        HttpCoreEngine, HostilePages,
        ::testing::Values(
                // No waiting room: a free worker still takes the request.
                HostileCase{"LongPage", textSheet, false, Hostile::Deadline, {"--queue", "0"}},
                HostileCase{"RepeatedProgressiveScans", repeatedScans, false, Hostile::Deadline, {}},
                HostileCase{"NestedFormXObjects", nestedForms, true, Hostile::Deadline, {}},
                HostileCase{"WorkerCrashes", textSheet, false, Hostile::Crash, {"--recognize-timeout", "30"}},
                // Within the deadline and the grace: the service's own kill.
                HostileCase{"WorkerStopped", textSheet, false, Hostile::Freeze,
                            {"--workers", "1", "--recognize-timeout", "5"}},
                // Too big for this service (282000), not a broken image (216201).
                HostileCase{"PageOverWorkerMemory", [] { return blankPng(8192, 8192); }, false, Hostile::Memory,
                            {"--worker-memory", "256", "--engine", "tesseract"}},
                HostileCase{"StopWhileHeld", nestedForms, true, Hostile::Stop,
                            {"--recognize-timeout", "60", "--shutdown-grace", "1"}}),
        [](const auto &info) { return std::string(info.param.name); });

// --- the admin listener -------------------------------------------------------------


// /readyz until it answers as wanted (within 20 s): its last answer.
std::optional<RawResponse> readyzUntil(int port, int status)
{
    std::optional<RawResponse> r;
    for (const auto deadline = Clock::now() + 20s; Clock::now() < deadline; std::this_thread::sleep_for(50ms))
        if ((r = adminGet(port, "/readyz")) && r->status == status)
            break;
    return r;
}

// AdminFull: every one of the admin listener's connections held idle.
enum class AdminState { Starting, Ready, QueueFull, ShuttingDown, AdminFull };

struct AdminCase
{
    const char *name;
    AdminState state;
    int readyz;
    const char *reason; // how /readyz's line starts
    std::vector<std::string> extra = {}; // options after the test's own
};

void PrintTo(const AdminCase &c, std::ostream *out)
{
    *out << c.name;
}

class AdminEndpoints : public ::testing::TestWithParam<AdminCase>
{
};

// Live all along; ready only when the engines are loaded, the queue has room
// and no stop is under way, with the reason in one line when not.
TEST_P(AdminEndpoints, TellLiveFromReadyFromSaturated)
{
    const AdminCase &c = GetParam();
    std::vector<std::string> options = {"--admin-listen", "127.0.0.1:0", "--workers", "1", "--queue", "1",
                                        "--recognize-timeout", "5", "--shutdown-grace", "20"};
    options.insert(options.end(), c.extra.begin(), c.extra.end());
    const std::string binary = OCR_SERVER_BINARY;
    const std::string built = binary.substr(0, binary.rfind('/')) + "/models";
    std::string models;
    if (c.state == AdminState::Starting) {
        // The models with the detector behind a pipe: the engines load until
        // the test feeds it.
        models = testing::TempDir() + "/blocked-models";
        std::system(("rm -rf '" + models + "' && mkdir -p '" + models + "' && ln -s '" + built + "'/* '" + models
                     + "'/ && rm '" + models + "/det.onnx'").c_str());
        ASSERT_EQ(mkfifo((models + "/det.onnx").c_str(), 0600), 0);
        options.insert(options.end(), {"--models", models});
    }
    ServerProcess server(defaultServerArguments(options), {}, c.state != AdminState::Starting);
    struct Unblock // a failed test must not leave the server blocked on the pipe
    {
        std::string fifo;
        ~Unblock()
        {
            const int fd = fifo.empty() ? -1 : open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                close(fd);
        }
    } unblock{models.empty() ? "" : models + "/det.onnx"};
    ASSERT_GT(server.adminPort(), 0) << server.log();
    std::vector<Connection> held;
    std::optional<Connection> inFlight;
    if (c.state == AdminState::QueueFull) {
        const std::string ocr = std::string(OcrPath) + "?access_token=" + tokenFrom(server.port());
        // The one read holds its worker until its deadline.
        const std::string pages[] = {post(ocr, imageForm(repeatedScans())), post(ocr, imageForm(textSheet()))};
        for (const char *running : {"\nvirelto_ocr_workers_busy 1\n", "\nvirelto_ocr_queue_length 1\n"}) {
            held.emplace_back(server.port());
            held.back().send(pages[held.size() - 1]);
            // One read, then one waiting: the second must not come before the worker took the first.
            std::optional<RawResponse> figures;
            for (const auto deadline = Clock::now() + 20s; Clock::now() < deadline; std::this_thread::sleep_for(20ms))
                if ((figures = adminGet(server.adminPort(), "/metrics")) && figures->body.find(running) != std::string::npos)
                    break;
        }
    } else if (c.state == AdminState::ShuttingDown) {
        inFlight.emplace(server.port());
        inFlight->send(postHead("/oauth/2.0/token") + "Content-Length: 29\r\n\r\ngrant_type=");
        inFlight->readFor(100ms); // no signal tells when the server has read the head
        kill(server.pid(), SIGTERM);
        ASSERT_TRUE(server.waitForLog("stopping (SIGTERM)"));
    } else if (c.state == AdminState::AdminFull) {
        ASSERT_TRUE(server.waitUntilListening());
        // Half of them asked once and keep the connection, half never asked.
        for (int i = 0; i < 64; ++i) {
            held.emplace_back(server.adminPort());
            if (i % 2 == 0) {
                held.back().send("GET /livez HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
                ASSERT_TRUE(held.back().response());
            }
        }
        const auto beyond = adminGet(server.adminPort(), "/livez");
        ASSERT_TRUE(beyond);
        EXPECT_EQ(beyond->status, 200) << beyond->body;
        // Idle admin connections go within seconds.
        for (auto &idle : held)
            EXPECT_TRUE(idle.closedWithin(5s));
    }

    const auto live = adminGet(server.adminPort(), "/livez");
    ASSERT_TRUE(live);
    EXPECT_EQ(live->status, 200);
    const auto ready = c.readyz == 200 ? readyzUntil(server.adminPort(), 200) : readyzUntil(server.adminPort(), 503);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, c.readyz) << ready->body;
    EXPECT_EQ(ready->body.rfind(c.reason, 0), 0u) << ready->body;
    EXPECT_EQ(std::count(ready->body.begin(), ready->body.end(), '\n'), 1) << ready->body;
    const auto scrape = adminGet(server.adminPort(), "/metrics");
    ASSERT_TRUE(scrape);
    EXPECT_NE(scrape->body.find(c.readyz == 200 ? "\nvirelto_ocr_ready 1\n" : "\nvirelto_ocr_ready 0\n"),
              std::string::npos);

    if (c.state == AdminState::Starting) {
        // Fed, the engines load, and the server becomes ready.
        std::ofstream(models + "/det.onnx", std::ios::binary) << readFile(built + "/det.onnx");
        ASSERT_TRUE(server.waitUntilListening()) << server.log();
        EXPECT_EQ(readyzUntil(server.adminPort(), 200)->status, 200);
    } else if (c.state == AdminState::QueueFull) {
        // The waiting client leaves: its place is free at once, while the first is still read.
        held.pop_back();
        EXPECT_EQ(readyzUntil(server.adminPort(), 200)->status, 200);
        const auto figures = adminGet(server.adminPort(), "/metrics");
        ASSERT_TRUE(figures);
        EXPECT_NE(figures->body.find("\nvirelto_ocr_workers_busy 1\n"), std::string::npos);
        EXPECT_NE(figures->body.find("\nvirelto_ocr_queue_length 0\n"), std::string::npos);
        held.clear();
    } else if (c.state == AdminState::ShuttingDown) {
        inFlight->send("client_credentials");
        const auto r = inFlight->response();
        ASSERT_TRUE(r) << "the request in flight was dropped";
        EXPECT_EQ(r->status, 400) << r->body; // answered: no client_id
        EXPECT_EQ(waitForExit(server.pid(), 15s), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
        States, AdminEndpoints,
        ::testing::Values(AdminCase{"Starting", AdminState::Starting, 503, "starting"},
                          AdminCase{"Ready", AdminState::Ready, 200, "ready"},
                          AdminCase{"QueueFull", AdminState::QueueFull, 503, "queue full: 1 waiting, 1 of 1 workers busy",
                                    {"--recognize-timeout", "60"}},
                          AdminCase{"ShuttingDown", AdminState::ShuttingDown, 503, "shutting down"},
                          // The next recognition goes to the idle worker: ready.
                          AdminCase{"NoQueue", AdminState::Ready, 200, "ready", {"--queue", "0"}},
                          // /livez answers beyond the cap; /readyz once idle connections are gone.
                          AdminCase{"AdminConnectionsHeld", AdminState::AdminFull, 200, "ready"}),
        [](const auto &info) { return std::string(info.param.name); });

// A sample of the text format: name, labels, value.
struct Sample
{
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

// The exposition format 0.0.4, strictly: HELP and TYPE before a family's
// samples, well-formed names, labels and values. Fails the test on a bad line.
std::vector<Sample> parseExposition(const std::string &text, std::map<std::string, std::string> *types)
{
    static const std::regex comment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.+))");
    static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+))");
    static const std::regex label(R"re(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\.)*)"(,|$))re");
    std::vector<Sample> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, comment)) {
            if (m[1] == "TYPE") {
                EXPECT_TRUE(std::regex_match(m[3].str(), std::regex("counter|gauge|histogram|summary|untyped"))) << line;
                EXPECT_TRUE(types->emplace(m[2], m[3]).second) << "a second TYPE: " << line;
            }
            continue;
        }
        if (!std::regex_match(line, m, sample)) {
            ADD_FAILURE() << "not a sample: " << line;
            continue;
        }
        Sample s{m[1], {}, 0};
        std::string labels = m[3];
        for (std::smatch l; !labels.empty() && std::regex_search(labels, l, label) && l.position(0) == 0;
             labels = l.suffix())
            s.labels[l[1]] = l[2];
        EXPECT_TRUE(labels.empty()) << "bad labels: " << line;
        const std::string value = m[4];
        s.value = value == "+Inf" ? INFINITY : std::stod(value);
        std::string family = s.name;
        for (const char *suffix : {"_bucket", "_sum", "_count"})
            if (!types->count(family) && family.size() > std::strlen(suffix)
                && family.compare(family.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
                family.resize(family.size() - std::strlen(suffix));
        EXPECT_TRUE(types->count(family)) << "no TYPE before " << line;
        samples.push_back(std::move(s));
    }
    return samples;
}

double valueOf(const std::vector<Sample> &samples, const std::string &name,
               const std::map<std::string, std::string> &labels = {})
{
    double total = 0;
    for (const Sample &s : samples)
        if (s.name == name
            && std::all_of(labels.begin(), labels.end(), [&](const auto &l) {
                   const auto found = s.labels.find(l.first);
                   return found != s.labels.end() && found->second == l.second;
               }))
            total += s.value;
    return total;
}

// A scrape after known traffic: well-formed, named as Prometheus expects,
// counting what happened, naming clients but never their keys, tokens or
// queries; and the JSON log line of a recognition found by its log_id.
TEST(HttpCoreAdmin, ScrapeCountsWhatHappenedAndRevealsNothing)
{
    ServerProcess server(defaultServerArguments({"--admin-listen", "127.0.0.1:0", "--log-format", "json"}));
    ASSERT_TRUE(server.started()) << server.log();
    const std::string token = tokenFrom(server.port());
    Connection c(server.port());
    c.send(post(std::string(OcrPath) + "?access_token=" + token + "&x=query-value", imageForm(fixture("small.png"))));
    const auto read = c.response(60s);
    ASSERT_TRUE(read && read->parsed().contains("words_result")) << (read ? read->body : "no answer");
    // Counted and logged once written, which may come after the client has it all.
    ASSERT_TRUE(server.waitForLog("\"path\":\"/rest/2.0/ocr/v1/accurate_basic\"")) << server.log();
    Connection big(server.port());
    big.send("GET /" + std::string(20000, 'z') + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(big.response());
    ASSERT_TRUE(server.waitForLog("\"status\":431"));

    const auto scrape = adminGet(server.adminPort(), "/metrics");
    ASSERT_TRUE(scrape);
    EXPECT_EQ(scrape->status, 200);
    std::map<std::string, std::string> types;
    const std::vector<Sample> samples = parseExposition(scrape->body, &types);
    // Prometheus' own parser: every family typed, with its samples, once.
    const std::string scraped = testing::TempDir() + "/scrape.txt", parsed = scraped + ".families";
    std::ofstream(scraped, std::ios::binary) << scrape->body;
    const std::string check = "import sys\n"
                              "from prometheus_client.parser import text_string_to_metric_families as parse\n"
                              "for f in parse(open(sys.argv[1]).read()):\n"
                              "    print(f.name, f.type, len(f.samples))\n";
    ASSERT_EQ(std::system(("/usr/bin/python3 -c '" + check + "' '" + scraped + "' > '" + parsed + "'").c_str()), 0);
    std::istringstream families(readFile(parsed));
    std::set<std::string> seen;
    for (std::string name, type, count; families >> name >> type >> count;) {
        EXPECT_TRUE(seen.insert(name).second) << "family twice: " << name;
        EXPECT_NE(type, "unknown") << name;
        EXPECT_NE(count, "0") << name;
    }
    EXPECT_EQ(seen.size(), types.size());
    for (const auto &[name, type] : types) {
        EXPECT_EQ(name.rfind("virelto_ocr_", 0), 0u) << name;
        EXPECT_EQ(type == "counter", name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0) << name;
    }
    for (const Sample &s : samples)
        for (const auto &[name, value] : s.labels)
            for (const std::string &secret : {std::string("test-key"), std::string("test-secret"), token,
                                              std::string("?"), std::string("query-value")})
                EXPECT_EQ(value.find(secret), std::string::npos) << s.name << " " << name << "=" << value;
    // Buckets grow to +Inf, which is the count.
    std::map<std::string, double> lastBucket;
    for (const Sample &s : samples) {
        if (s.name.size() < 7 || s.name.compare(s.name.size() - 7, 7, "_bucket") != 0)
            continue;
        auto series = s.labels;
        series.erase("le");
        std::string key = s.name;
        for (const auto &[n, v] : series)
            key += "," + n + "=" + v;
        EXPECT_GE(s.value, lastBucket[key]) << key;
        lastBucket[key] = s.value;
        if (s.labels.at("le") == "+Inf") {
            EXPECT_EQ(s.value, valueOf(samples, s.name.substr(0, s.name.size() - 7) + "_count", series)) << key;
        }
    }

    EXPECT_EQ(valueOf(samples, "virelto_ocr_build_info"), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_requests_total",
                      {{"route", "token"}, {"status", "200"}, {"code", "0"}, {"client", "default"}}), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_requests_total",
                      {{"route", "accurate_basic"}, {"status", "200"}, {"code", "0"}, {"client", "default"}}), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_requests_total", {{"status", "431"}, {"client", "-"}}), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_refusals_total", {{"reason", "header_too_large"}}), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_tokens_issued_total", {{"client", "default"}}), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_request_duration_seconds_count", {{"route", "accurate_basic"}}), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_recognition_duration_seconds_count", {{"step", "read"}}), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_recognition_duration_seconds_count", {{"step", "decode"}}), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_queue_wait_seconds_count"), 1);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_workers"), 2);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_queue_capacity"), 8);
    EXPECT_EQ(valueOf(samples, "virelto_ocr_workers_busy"), 0);
    EXPECT_GE(valueOf(samples, "virelto_ocr_open_connections"), 1); // c is kept alive

    // The recognition's line in the JSON log, found by the reply's log_id.
    const auto logId = read->parsed().at("log_id").get<std::uint64_t>();
    std::istringstream log(server.log());
    json line;
    for (std::string text; std::getline(log, text);) {
        const json parsed = json::parse(text, nullptr, false);
        if (parsed.is_object() && parsed.value("log_id", json()).is_number() && parsed["log_id"].get<std::uint64_t>() == logId)
            line = parsed;
    }
    ASSERT_TRUE(line.is_object()) << server.log();
    EXPECT_EQ(line.value("client", ""), "default");
    EXPECT_EQ(line.value("method", ""), "POST");
    EXPECT_EQ(line.value("path", ""), OcrPath);
    EXPECT_EQ(line.value("status", 0), 200);
    EXPECT_EQ(line.value("error_code", -1), 0);
    EXPECT_GT(line.value("bytes", 0), 1000);
    EXPECT_TRUE(line.contains("time") && line.contains("ms")) << line.dump();
}

// --- shutdown ---------------------------------------------------------------------

TEST(HttpCoreShutdown, NoSignalIsLostHoweverEarly)
{
    // From the first instant of the process to just after it listens.
    for (int delayMs : {0, 1, 5, 20, 100, 400}) {
        const pid_t pid = ServerProcess::launch(defaultServerArguments({"--workers", "1"}));
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(pid, SIGTERM);
        const int status = waitForExit(pid, 30s);
        if (status < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        EXPECT_TRUE(status == 0 || status == 128 + SIGTERM) << "SIGTERM after " << delayMs << " ms: " << status;
    }
    // Right after the "listening" line, many times.
    for (int i = 0; i < 10; ++i) {
        ServerProcess server(defaultServerArguments({"--workers", "1"}));
        ASSERT_TRUE(server.started());
        kill(server.pid(), SIGTERM);
        EXPECT_EQ(waitForExit(server.pid(), 30s), 0) << "try " << i;
    }
}

// TwoQueued: two wait behind one read until its deadline, within the grace;
// RunningAtGrace: one is still read when the grace ends.
enum class InFlight { ClientWaits, ClientLeaves, TwoQueued, RunningAtGrace };

class ShutdownInFlight : public ::testing::TestWithParam<InFlight>
{
};

// Idle connections and heads still arriving are closed at once; a request in
// flight is finished: answered, or, when its client leaves just as the server
// is told to stop, logged as 499 once its recognition is dropped. Requests
// still queued are answered at once with error 2, and one still read at the
// grace with error 282000.
TEST_P(ShutdownInFlight, FinishesRequestsInFlightAndClosesTheRest)
{
    const bool clientLeaves = GetParam() == InFlight::ClientLeaves;
    const bool queued = GetParam() == InFlight::TwoQueued;
    const bool held = queued || GetParam() == InFlight::RunningAtGrace;
    ServerProcess server(defaultServerArguments(
            queued ? std::vector<std::string>{"--workers", "1", "--recognize-timeout", "5", "--shutdown-grace", "30",
                                              "--admin-listen", "127.0.0.1:0"}
            : held ? std::vector<std::string>{"--workers", "1", "--recognize-timeout", "60", "--shutdown-grace", "2"}
                   : std::vector<std::string>{"--workers", "1"}));
    ASSERT_TRUE(server.started());
    const std::string token = tokenFrom(server.port());
    const std::string ocr = std::string(OcrPath) + "?access_token=" + token;
    Connection idle(server.port()), slow(server.port());
    std::optional<Connection> busy(std::in_place, server.port());
    slow.send("POST /oauth");
    // One that leaves still has seconds of work left when it goes; a held one
    // is read until its deadline.
    busy->send(post(ocr, imageForm(held ? repeatedScans() : clientLeaves ? textSheet() : fixture("photo.jpg"))));
    // No signal tells when the server has read the request; a recognition
    // of the photo takes longer than this.
    busy->readFor(150ms);
    if (clientLeaves)
        busy.reset();
    std::vector<Connection> waiting;
    if (queued) {
        for (int i = 0; i < 2; ++i) {
            waiting.emplace_back(server.port());
            waiting.back().send(post(ocr, imageForm(fixture("small.png"))));
        }
        std::optional<RawResponse> figures;
        for (const auto deadline = Clock::now() + 20s; Clock::now() < deadline; std::this_thread::sleep_for(20ms))
            if ((figures = adminGet(server.adminPort(), "/metrics"))
                && figures->body.find("\nvirelto_ocr_queue_length 2\n") != std::string::npos)
                break;
        ASSERT_NE(figures->body.find("\nvirelto_ocr_queue_length 2\n"), std::string::npos);
    }

    const auto stopped = Clock::now();
    kill(server.pid(), SIGTERM);
    EXPECT_TRUE(idle.closedWithin(2s));
    EXPECT_TRUE(slow.closedWithin(2s));
    for (auto &client : waiting) {
        const auto r = client.response(15s);
        ASSERT_TRUE(r) << "a queued request was dropped";
        EXPECT_EQ(r->parsed().value("error_code", 0), 2) << r->body;
        EXPECT_EQ(r->parsed().value("error_msg", ""), "Service temporarily unavailable");
    }
    // Those came before the running one's end, not after it.
    if (queued) {
        busy->readSome(0ms);
        EXPECT_EQ(busy->unread(), "");
    }
    if (!clientLeaves) {
        const auto r = busy->response(15s);
        ASSERT_TRUE(r);
        if (held) {
            EXPECT_EQ(r->parsed().value("error_code", 0), 282000) << r->body;
        } else {
            EXPECT_TRUE(r->parsed().contains("words_result")) << r->body;
        }
    }
    EXPECT_EQ(waitForExit(server.pid(), 15s), 0);
    std::cout << "stopped in " << std::chrono::duration<double>(Clock::now() - stopped).count() << " s\n";
    if (clientLeaves) {
        EXPECT_TRUE(server.waitForLog(" 499 ")) << server.log();
    }
}

INSTANTIATE_TEST_SUITE_P(HttpCoreShutdown, ShutdownInFlight,
                         ::testing::Values(InFlight::ClientWaits, InFlight::ClientLeaves, InFlight::TwoQueued,
                                           InFlight::RunningAtGrace),
                         [](const auto &info) {
                             return std::string(info.param == InFlight::ClientWaits    ? "ClientWaits"
                                                : info.param == InFlight::ClientLeaves ? "ClientLeaves"
                                                : info.param == InFlight::TwoQueued    ? "TwoQueued"
                                                                                       : "RunningAtGrace");
                         });

// --- secrets ----------------------------------------------------------------------

std::string writeSecret(const std::string &name, const std::string &value, mode_t mode)
{
    const std::string path = testing::TempDir() + "/" + name;
    std::ofstream(path) << value << "\n";
    chmod(path.c_str(), mode);
    return path;
}

// Every refused configuration ends the server with status 2 and one line.
TEST(HttpCoreSecrets, StartUpRefusesBadConfigurationWithOneClearLine)
{
    ServerProcess running(defaultServerArguments({"--workers", "1"}));
    ASSERT_TRUE(running.started());
    const std::string busyPort = "127.0.0.1:" + std::to_string(running.port());
    const std::string key = writeSecret("api-key", "file-key", 0600);
    const std::string secret = writeSecret("secret-key", "file-secret", 0600);
    const std::string shared = writeSecret("shared-secret-key", "file-secret", 0640);
    const std::string shortKey = writeSecret("short-token-key", "0123456789", 0600);
    const std::string clients = writeSecret("clients", "desk-1 k1 s1\ndesk-2 k2 s2 5", 0600);
    const std::string sharedClients = writeSecret("shared-clients", "desk-1 k1 s1", 0604);
    const std::string badLine = writeSecret("bad-clients", "# desks\ndesk-1 k1 s1\ndesk-2 k2\n", 0600);
    const std::string badQps = writeSecret("bad-qps-clients", "desk-1 k1 s1 fast", 0600);
    const std::string sameKey = writeSecret("same-key-clients", "desk-1 k1 s1\ndesk-2 k1 s2", 0600);
    const std::string fifo = testing::TempDir() + "/fifo-clients";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Owner-only, but another user's: that user may change the keys.
    const std::string strangers = writeSecret("strangers-clients", "desk-1 k1 s1", 0600);
    const std::string strangersSecret = writeSecret("strangers-secret-key", "s1", 0600);
    const std::string strangersTokenKey = writeSecret("strangers-token-key", std::string(40, 't'), 0600);
    for (const std::string &file : {strangers, strangersSecret, strangersTokenKey})
        ASSERT_EQ(chown(file.c_str(), geteuid() == 65534 ? 65533 : 65534, getegid()), 0) << file;
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--listen", "127.0.0.1:0"}, "no credentials"},
        {{"--listen", busyPort, "--api-key", "k", "--secret-key", "s"}, "cannot listen on " + busyPort},
        {{"--listen", "127.0.0.1:0", "--api-key", "k", "--secret-key", "s", "--lang", "xyz"},
         "cannot load Tesseract language 'xyz'"},
        {{"--workers", "zero"}, "--workers wants a whole number"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--api-key-file", key, "--secret-key-file", shared}, "can be read or changed by group or others"},
        {{"--api-key-file", key, "--secret-key-file", secret, "--token-key-file", shortKey}, "at least 32 bytes"},
        {{"--api-key", "k", "--secret-key", "s", "--token-key", "short"}, "at least 32 bytes"},
        {{"--api-key", "k", "--secret-key", "s", "--token-ttl", "9223372036854775807"}, "--token-ttl wants"},
        {{"--api-key", "k", "--secret-key", "s", "--token-ttl", "0"}, "--token-ttl wants"},
        {{"--clients-file", sharedClients}, "can be read or changed by group or others"},
        {{"--clients-file", strangers}, "'" + strangers + "' belongs to another user"},
        {{"--api-key-file", key, "--secret-key-file", strangersSecret}, "'" + strangersSecret + "' belongs to another user"},
        {{"--api-key", "k", "--secret-key", "s", "--token-key-file", strangersTokenKey}, "belongs to another user"},
        {{"--clients-file", badLine}, "line 3: wants NAME API_KEY SECRET_KEY [QPS], not 2 fields"},
        {{"--clients-file", badQps}, "line 1: QPS wants a whole number"},
        {{"--clients-file", sameKey}, "line 2: the API Key is an earlier line's too"},
        {{"--clients-file", fifo}, "'" + fifo + "' is not a regular file"}, // not waited on for a writer
        {{"--clients-file", clients, "--api-key", "k"}, "either --clients-file or"},
        {{"--api-key", "k", "--secret-key", "s", "--admin-listen", busyPort}, "--admin-listen: cannot listen on"},
        {{"--api-key", "k", "--secret-key", "s", "--log-format", "xml"}, "--log-format wants text or json"},
    };
    for (const auto &[arguments, expected] : refused) {
        std::string errors;
        EXPECT_EQ(ServerProcess::run(arguments, &errors), 2) << errors;
        EXPECT_NE(errors.find(expected), std::string::npos) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        for (const char *key : {"k1", "s1", "s2"})
            EXPECT_EQ(errors.find(std::string(" ") + key), std::string::npos) << errors;
    }

    ServerProcess fromFiles({"--listen", "127.0.0.1:0", "--workers", "1", "--api-key-file", key,
                             "--secret-key-file", secret});
    ASSERT_TRUE(fromFiles.started()) << fromFiles.log();
    EXPECT_EQ(fromFiles.log().find("warning"), std::string::npos) << fromFiles.log();
    Connection c(fromFiles.port());
    c.send(post("/oauth/2.0/token", "grant_type=client_credentials&client_id=file-key&client_secret=file-secret"));
    const auto r = c.response();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;

    // Secrets on the command line: warned about, and hidden from other users' ps.
    EXPECT_NE(running.log().find("warning: --secret-key on the command line"), std::string::npos);
    const std::string commandLine = readFile("/proc/" + std::to_string(running.pid()) + "/cmdline");
    EXPECT_EQ(commandLine.find("test-secret"), std::string::npos);
    // Nor how long the secrets were: each is an empty argument.
    static const char wiped[] = "--api-key\0\0--secret-key\0\0--workers\0";
    EXPECT_NE(commandLine.find(std::string(wiped, sizeof wiped - 1)), std::string::npos)
            << commandLine;
}

TEST(HttpCoreSecrets, TokensRevealNothingAndMalformedSignedFieldsAreInvalid)
{
    const std::string tokenKey(40, 'k');
    ServerProcess server(defaultServerArguments({"--workers", "1", "--token-key", tokenKey}));
    ASSERT_TRUE(server.started());
    const std::string token = tokenFrom(server.port());
    ASSERT_FALSE(token.empty());
    std::string apiKeyHex;
    for (unsigned char ch : std::string("test-key")) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", ch);
        apiKeyHex += byte;
    }
    EXPECT_EQ(token.find(apiKeyHex), std::string::npos) << token;
    EXPECT_EQ(token.find("test-key"), std::string::npos) << token;

    // Correctly signed by the key, but with fields no server writes.
    const std::string keyId = token.substr(3, token.find('.', 3) - 3);
    for (const std::string &payload : {"24." + keyId + ".soon", "24." + keyId + ".99999999999999999999999",
                                       "24." + keyId, std::string("24..1")}) {
        const std::string forged = payload + "." + hmacSha256Hex(tokenKey, payload);
        Connection c(server.port());
        c.send(post(std::string(OcrPath) + "?access_token=" + forged, "image="));
        const auto r = c.response();
        ASSERT_TRUE(r) << payload;
        EXPECT_EQ(r->status, 200);
        EXPECT_EQ(r->parsed().value("error_code", 0), 110) << payload << ": " << r->body;
    }
}

} // namespace
