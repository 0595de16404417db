// SPDX-License-Identifier: MIT
#include "http/httpserver.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/rfc7230.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <array>
#include <limits>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ocrserver::http {

namespace net = boost::asio;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using ErrorCode = boost::system::error_code;

namespace {

// After an answer that ends a connection early, the unread rest of the
// request is read and dropped for a while, so that closing does not reset
// the connection before the client has read the answer.
constexpr auto LingerTime = std::chrono::seconds(2);
constexpr std::size_t LingerBytes = 16 * 1024 * 1024;

// How often a request whose client half-closed checks that it is still there.
constexpr auto PeerCheckInterval = std::chrono::milliseconds(100);

// Status shown in the log for a request whose client left before its answer.
constexpr int ClientClosed = 499;

const char *refusalName(Refusal why)
{
    switch (why) {
    case Refusal::BadRequest: return "bad_request";
    case Refusal::HeaderTooLarge: return "header_too_large";
    case Refusal::BodyTooLarge: return "body_too_large";
    case Refusal::Timeout: return "too_slow";
    case Refusal::Overloaded: return "connection_limit";
    case Refusal::BodiesBuffered: return "buffered_bodies";
    }
    return "other";
}

// For a JSON string: loggablePath has escaped everything but the quote.
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + '"';
}

// What RFC 9112 asks of a request head beyond what the parser checks: a
// body framed only by Content-Length or a final chunked coding (anything
// else would leave the body to be read as the next request), and one Host.
bool framedSoundly(const RequestHead &head)
{
    if (head.version() >= 11 && head.count(bhttp::field::host) != 1)
        return false;
    if (head.count(bhttp::field::transfer_encoding) == 0)
        return true;
    if (head.version() < 11)
        return false; // HTTP/1.0 has no transfer codings
    // Chunked is the only coding read here: any other, before it or after it, is refused.
    int codings = 0;
    bool chunked = false;
    for (auto range = head.equal_range(bhttp::field::transfer_encoding); range.first != range.second; ++range.first) {
        for (const auto &coding : bhttp::token_list(range.first->value())) {
            ++codings;
            chunked = boost::beast::iequals(coding, "chunked");
        }
    }
    return codings == 1 && chunked;
}

// An absolute-form target (RFC 9112 §3.2.2) as its origin form; other
// targets as they are.
std::string originForm(std::string_view target)
{
    const auto scheme = target.find("://");
    if (scheme == std::string_view::npos || target.empty() || target.front() == '/')
        return std::string(target);
    const std::string_view name = target.substr(0, scheme);
    if (!boost::beast::iequals(name, "http") && !boost::beast::iequals(name, "https"))
        return std::string(target);
    const std::string_view rest = target.substr(scheme + 3);
    const auto path = rest.find_first_of("/?");
    if (path == std::string_view::npos)
        return "/";
    return (rest[path] == '/' ? "" : "/") + std::string(rest.substr(path));
}

} // namespace

void prepareParser(RequestParser &parser, std::size_t maxHeader)
{
    parser.header_limit(std::uint32_t(maxHeader));
    // Not boost::none: Boost 1.74's parser compares a length with it as if
    // it were zero.
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
}

bool limitBody(RequestParser &parser, std::size_t limit)
{
    parser.body_limit(limit);
    const auto length = parser.content_length();
    return !length || *length <= limit;
}

// Printable ASCII but the backslash and `alsoEscaped` as it is, every other
// byte as \xNN, at most `maxShown` bytes of the text: nothing in it can end
// or forge a log line.
std::string escapedForLog(std::string_view text, std::size_t maxShown, std::string_view alsoEscaped)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text.substr(0, maxShown)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || byte == '\\' || alsoEscaped.find(c) != std::string_view::npos) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += c;
        }
    }
    if (text.size() > maxShown)
        out += "...";
    return out;
}

std::string loggablePath(std::string_view target)
{
    const std::string out = escapedForLog(target.substr(0, target.find('?')), 200, " ");
    return out.empty() ? "-" : out;
}

std::string logLine(const LogRecord &r, LogFormat format, std::time_t now)
{
    constexpr std::size_t MaxNote = 512;
    char stamp[32];
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    char figures[160];
    if (format == LogFormat::Json) {
        std::snprintf(figures, sizeof figures, ",\"status\":%d,\"error_code\":%d,\"ms\":%.1f,\"bytes\":%zu,\"log_id\":",
                      r.status, r.code, r.milliseconds, r.bodyBytes);
        const std::string logId = r.logId ? std::to_string(r.logId) : "null";
        return "{\"time\":" + quoted(stamp) + ",\"client\":" + quoted(r.client.empty() ? "-" : r.client)
                + ",\"method\":" + quoted(r.method) + ",\"path\":" + quoted(r.path) + figures + logId
                + (r.note.empty() ? std::string() : ",\"library\":" + quoted(escapedForLog(r.note, MaxNote, ""))) + '}';
    }
    std::snprintf(figures, sizeof figures, " %d error=%d %.1fms body=%zu", r.status, r.code, r.milliseconds,
                  r.bodyBytes);
    std::string line = std::string(stamp) + ' ' + std::string(r.method) + ' ' + std::string(r.path) + figures;
    line += " client=";
    line += r.client.empty() ? std::string_view("-") : r.client;
    if (r.logId)
        line += " log_id=" + std::to_string(r.logId);
    if (!r.note.empty())
        line += " library=\"" + escapedForLog(r.note, MaxNote, "\"") + '"';
    return line;
}

class SessionBase : public std::enable_shared_from_this<SessionBase>
{
public:
    virtual ~SessionBase() = default;
    // For a shutdown: idle connections close at once, the others after
    // their current request. Safe from any thread.
    virtual void stopGently() = 0;
};

struct HttpServer::Impl
{
    Impl(Handler &handler, Limits limits)
        : handler(handler)
        , limits(limits)
    {
    }

    Handler &handler;
    const Limits limits;
    std::unique_ptr<net::ssl::context> ssl;

    std::mutex mutex;
    std::condition_variable allClosed;
    std::unordered_map<SessionBase *, std::weak_ptr<SessionBase>> sessions;
    CoreCounters counters;
    std::atomic<std::size_t> &connections = counters.connections;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> bufferedBodies{0}; // bytes, as sessions reserve them

    bool reserveBody(std::size_t bytes)
    {
        std::size_t held = bufferedBodies.load();
        do {
            if (bytes > limits.maxBufferedBodies || held > limits.maxBufferedBodies - bytes)
                return false;
        } while (!bufferedBodies.compare_exchange_weak(held, held + bytes));
        return true;
    }

    // Declared after what sessions use: the io_context destroys the sessions
    // still waiting in it.
    net::io_context ioc;
    // Until shutdown ends: once the acceptor is closed, a request whose client
    // left waits for its answer with nothing pending, and the threads must not
    // run out of work before the answer is posted.
    std::optional<net::executor_work_guard<net::io_context::executor_type>> running;
    tcp::acceptor acceptor{net::make_strand(ioc)};
    net::steady_timer acceptPause{acceptor.get_executor()};
    std::vector<std::thread> threads;

    void accept();
    template<class Stream>
    void startSession(Stream stream, bool refuse);

    void add(SessionBase *session, std::weak_ptr<SessionBase> weak)
    {
        std::lock_guard<std::mutex> lock(mutex);
        sessions.emplace(session, std::move(weak));
    }
    void remove(SessionBase *session)
    {
        std::lock_guard<std::mutex> lock(mutex);
        sessions.erase(session);
        --connections;
        allClosed.notify_all();
    }
    std::vector<std::shared_ptr<SessionBase>> liveSessions()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::shared_ptr<SessionBase>> live;
        for (auto &[_, weak] : sessions)
            if (auto s = weak.lock())
                live.push_back(std::move(s));
        return live;
    }
};

namespace {

tcp::socket &lowest(tcp::socket &s) { return s; }
tcp::socket &lowest(net::ssl::stream<tcp::socket> &s) { return s.next_layer(); }

// One connection: a plain socket or a TLS stream over one. Every handler
// runs on the connection's strand; one timer carries the deadline of the
// current phase.
template<class Stream>
class Session : public SessionBase
{
public:
    Session(HttpServer::Impl &server, Stream stream)
        : m_server(server)
        , m_stream(std::move(stream))
        , m_timer(m_stream.get_executor())
        , m_buffer(server.limits.maxHeader + 64 * 1024)
    {
    }

    ~Session() override
    {
        releaseBody();
        m_server.remove(this);
    }

    auto executor() { return m_stream.get_executor(); }

    void start(bool refuse)
    {
        ErrorCode ignored;
        lowest(m_stream).set_option(tcp::no_delay(true), ignored);
        if (refuse && m_server.limits.readHeadWhenOverloaded && std::is_same_v<Stream, tcp::socket>) {
            m_overloaded = true;
        } else if (refuse) {
            m_phase = Phase::Head;
            m_requestStart = Clock::now();
            return refuseAndClose(Refusal::Overloaded);
        }
        m_requestStart = Clock::now();
        if constexpr (std::is_same_v<Stream, tcp::socket>) {
            waitForRequest();
        } else {
            m_phase = Phase::Handshake;
            armDeadline(Clock::now() + m_server.limits.headTimeout);
            m_stream.async_handshake(net::ssl::stream_base::server,
                                     [self = self()](const ErrorCode &ec) { self->onHandshake(ec); });
        }
    }

    void stopGently() override
    {
        net::post(executor(), [self = self()] {
            // A head still on its way counts as idle: a slow client must
            // not hold the shutdown up.
            if (self->m_phase == Phase::Idle || self->m_phase == Phase::Handshake || self->m_phase == Phase::Head)
                self->close();
        });
    }

private:
    enum class Phase { Handshake, Idle, Head, Body, Handling, Writing, Draining, Closed };

    bool stopping() const { return m_server.stopping.load(); }

    std::shared_ptr<Session> self() { return std::static_pointer_cast<Session>(shared_from_this()); }

    void armDeadline(Clock::time_point when)
    {
        m_timer.expires_at(when);
        m_timer.async_wait([self = self()](const ErrorCode &ec) {
            // A wait that was replaced may still arrive: only a due deadline counts.
            if (!ec && self->m_timer.expiry() <= Clock::now())
                self->onDeadline();
        });
    }

    void disarmDeadline() { m_timer.cancel(); }

    void onDeadline()
    {
        switch (m_phase) {
        case Phase::Head:
        case Phase::Body:
            // Too slow to be worth an answer; a read is pending, so just go.
            m_server.counters.refusals.at("reason=\"too_slow\"")++;
            logLine(408, 0);
            return close();
        case Phase::Handshake:
        case Phase::Idle:
        case Phase::Writing:
        case Phase::Draining:
            return close();
        case Phase::Handling:
            if (m_probed && !m_clientGone && !m_writingInterim)
                checkPeer();
            return;
        case Phase::Closed:
            return;
        }
    }

    void quickAck()
    {
        // Clients that write headers and body separately wait for our ACK
        // in between; the kernel would delay it by up to 40 ms.
        const int on = 1;
        setsockopt(lowest(m_stream).native_handle(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }

    void onHandshake(const ErrorCode &ec)
    {
        if (m_phase != Phase::Handshake)
            return;
        if (ec)
            return close();
        waitForRequest();
    }

    // Between requests: the next one may already be buffered (pipelined),
    // or a read from while the last one was handled may still be pending.
    void waitForRequest()
    {
        m_phase = Phase::Idle;
        if (stopping())
            return close();
        if (m_buffer.size() > 0)
            return readHead();
        armDeadline(m_firstRequest ? m_requestStart + m_server.limits.headTimeout
                                   : Clock::now() + m_server.limits.idleTimeout);
        if (!m_readPending)
            readSome();
    }

    void readSome()
    {
        m_readPending = true;
        m_stream.async_read_some(m_buffer.prepare(4096), [self = self()](const ErrorCode &ec, std::size_t n) {
            self->onReadSome(ec, n);
        });
    }

    void onReadSome(const ErrorCode &ec, std::size_t n)
    {
        m_readPending = false;
        if (ec) {
            // The client left (or its connection broke).
            m_keepAlive = false;
            if (m_phase == Phase::Handling) {
                // The end of the client's stream may be a half-close by a
                // client still waiting for its answer.
                if (ec == net::error::eof && !m_peerShut) {
                    m_peerShut = true;
                    return probePeer();
                }
                m_clientGone = true;
                m_cancel->store(true);
            } else if (m_phase == Phase::Idle) {
                close();
            }
            return;
        }
        m_buffer.commit(n);
        quickAck();
        if (m_phase == Phase::Idle)
            readHead();
        // While handling or writing, the bytes wait for their turn.
    }

    // A client that closed its socket answers the next bytes with a reset;
    // one that only half-closed reads them. An interim answer is the only
    // thing HTTP/1.1 lets us send before the real one; HTTP/1.0 allows
    // none, so such a request is answered (or ends at its deadline).
    void probePeer()
    {
        if (m_http10)
            return;
        static constexpr std::string_view Processing = "HTTP/1.1 102 Processing\r\n\r\n";
        m_probed = true;
        m_writingInterim = true;
        net::async_write(m_stream, net::buffer(Processing.data(), Processing.size()),
                         [self = self()](const ErrorCode &ec, std::size_t) { self->onProbeWritten(ec); });
    }

    void onProbeWritten(const ErrorCode &ec)
    {
        m_writingInterim = false;
        if (m_phase != Phase::Handling)
            return;
        if (ec) {
            m_clientGone = true;
            m_cancel->store(true);
        }
        if (m_waitingAnswer) {
            Answer answer = std::move(*m_waitingAnswer);
            m_waitingAnswer.reset();
            return onAnswer(std::move(answer));
        }
        if (!m_clientGone)
            armDeadline(Clock::now() + PeerCheckInterval);
    }

    // While a request whose client half-closed is handled: has the reset come?
    void checkPeer()
    {
        const int fd = lowest(m_stream).native_handle();
        tcp_info info{};
        socklen_t size = sizeof info;
        int error = 0;
        socklen_t errorSize = sizeof error;
        const bool closed = getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 || info.tcpi_state == TCP_CLOSE
                || (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorSize) == 0 && error != 0);
        if (closed) {
            m_clientGone = true;
            m_cancel->store(true);
            return;
        }
        armDeadline(Clock::now() + PeerCheckInterval);
    }

    void readHead()
    {
        m_phase = Phase::Head;
        m_requestStart = Clock::now();
        m_bodyBytes = 0;
        m_method.clear();
        m_path = "-";
        m_route = "none";
        m_client.clear();
        m_logId = 0;
        m_note.clear();
        m_headRequest = false;
        m_http10 = false;
        m_peerShut = false;
        m_probed = false;
        m_waitingAnswer.reset();
        m_parser.emplace();
        prepareParser(*m_parser, m_server.limits.maxHeader); // the body's limit comes with the route
        armDeadline(m_requestStart + m_server.limits.headTimeout);
        bhttp::async_read_header(m_stream, m_buffer, *m_parser,
                                 [self = self()](const ErrorCode &ec, std::size_t) { self->onHead(ec); });
    }

    void onHead(const ErrorCode &ec)
    {
        if (m_phase != Phase::Head)
            return;
        quickAck();
        if (ec == bhttp::error::header_limit || ec == bhttp::error::buffer_overflow)
            return refuseAndClose(Refusal::HeaderTooLarge);
        if (ec == bhttp::error::body_limit)
            return refuseAndClose(Refusal::BodyTooLarge);
        if (ec == net::error::eof || ec == bhttp::error::end_of_stream || ec == net::error::connection_reset
            || ec == net::error::operation_aborted) {
            return close();
        }
        if (ec)
            return refuseAndClose(Refusal::BadRequest);

        RequestHead &head = m_parser->get().base();
        const std::string origin = originForm(head.target());
        if (origin.size() != head.target().size())
            head.target(origin);
        m_method = std::string(head.method_string());
        m_headRequest = head.method() == bhttp::verb::head;
        m_http10 = head.version() < 11;
        m_path = loggablePath(head.target());
        m_route = m_server.handler.route(head);
        if (!framedSoundly(head))
            return refuseAndClose(Refusal::BadRequest);
        if (m_overloaded)
            return refuseAndClose(Refusal::Overloaded);
        if (!limitBody(*m_parser, m_server.handler.bodyLimit(head)))
            return refuseAndClose(Refusal::BodyTooLarge);
        if (auto refusal = m_server.handler.admit(head)) {
            m_server.counters.refusals.at("reason=\"not_admitted\"")++;
            return write(std::move(*refusal), false, true);
        }
        // The parser reserves an announced length at once.
        const auto length = m_parser->content_length();
        if (!m_parser->is_done() && length && !reserveBody(std::size_t(*length)))
            return refuseAndClose(Refusal::BodiesBuffered);

        // HTTP/1.0 clients know no interim answers.
        const auto expect = head[bhttp::field::expect];
        if (!m_parser->is_done() && !m_http10 && expect.size() == 12
            && boost::beast::iequals(expect, "100-continue")) {
            // Until told to go on, curl and others wait a second before a body.
            auto proceed = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_, 11);
            return bhttp::async_write(m_stream, *proceed,
                                      [self = self(), proceed](const ErrorCode &writeError, std::size_t) {
                                          if (writeError)
                                              return self->close();
                                          self->readBody();
                                      });
        }
        readBody();
    }

    void readBody()
    {
        if (m_phase != Phase::Head)
            return;
        m_phase = Phase::Body;
        m_bodyStart = Clock::now();
        continueBody();
    }

    void continueBody()
    {
        if (m_parser->is_done())
            return dispatch();
        const auto &limits = m_server.limits;
        const auto allowance = std::chrono::milliseconds(m_bodyBytes * 1000 / limits.minBodyRate);
        armDeadline(m_bodyStart + std::min(limits.bodyGrace + allowance, limits.bodyTimeout));
        bhttp::async_read_some(m_stream, m_buffer, *m_parser,
                               [self = self()](const ErrorCode &ec, std::size_t n) { self->onBody(ec, n); });
    }

    void onBody(const ErrorCode &ec, std::size_t n)
    {
        if (m_phase != Phase::Body)
            return;
        m_bodyBytes += n;
        quickAck();
        if (ec == bhttp::error::body_limit)
            return refuseAndClose(Refusal::BodyTooLarge);
        // A chunked body is held as it comes.
        if (!m_parser->content_length() && n > 0 && !reserveBody(n))
            return refuseAndClose(Refusal::BodiesBuffered);
        if (ec == net::error::eof || ec == bhttp::error::partial_message || ec == net::error::connection_reset
            || ec == net::error::operation_aborted) {
            logLine(ClientClosed, 0);
            return close();
        }
        if (ec)
            return refuseAndClose(Refusal::BadRequest);
        continueBody();
    }

    void dispatch()
    {
        m_phase = Phase::Handling;
        disarmDeadline();
        m_keepAlive = m_parser->get().keep_alive() && !stopping();
        m_clientGone = false;
        auto cancel = std::make_shared<std::atomic<bool>>(false);
        m_cancel = cancel;
        Request request = m_parser->release();
        m_parser.reset();

        // Watch the connection while the answer is prepared, so that a
        // client who leaves is noticed.
        if (!m_readPending && m_buffer.size() == 0)
            readSome();

        m_server.handler.handle(std::move(request), std::move(cancel), [self = self()](Answer answer) {
            auto strand = self->m_stream.get_executor();
            net::post(strand, [self = std::move(self), answer = std::move(answer)]() mutable {
                self->onAnswer(std::move(answer));
            });
        });
        // The handler has taken what it needs of the body, which went with the request.
        releaseBody();
    }

    void onAnswer(Answer answer)
    {
        if (m_phase != Phase::Handling)
            return;
        if (m_writingInterim) {
            m_waitingAnswer = std::move(answer);
            return;
        }
        if (m_clientGone) {
            m_client = std::move(answer.client);
            m_logId = answer.logId;
            m_note = std::move(answer.note);
            logLine(ClientClosed, answer.logCode);
            return close();
        }
        write(std::move(answer), m_keepAlive && !stopping(), false);
    }

    bool reserveBody(std::size_t bytes)
    {
        if (!m_server.reserveBody(bytes))
            return false;
        m_bodyReserved += bytes;
        return true;
    }

    void releaseBody()
    {
        m_server.bufferedBodies -= std::exchange(m_bodyReserved, 0);
    }

    void refuseAndClose(Refusal why)
    {
        const RequestHead *head = m_method.empty() ? nullptr : &m_parser->get().base();
        m_server.counters.refusals.at(std::string("reason=\"") + refusalName(why) + '"')++;
        write(m_server.handler.refuse(why, head), false, true);
    }

    void write(Answer answer, bool keepAlive, bool linger)
    {
        m_phase = Phase::Writing;
        // A body refused is not read on.
        m_parser.reset();
        releaseBody();
        m_keepAlive = keepAlive;
        m_status = int(answer.message.result_int());
        m_logCode = answer.logCode;
        m_client = std::move(answer.client);
        m_logId = answer.logId;
        m_note = std::move(answer.note);
        auto message = std::make_shared<bhttp::response<bhttp::string_body>>(std::move(answer.message));
        message->version(11);
        message->keep_alive(keepAlive);
        message->prepare_payload();
        armDeadline(Clock::now() + m_server.limits.writeTimeout);
        if (m_headRequest) {
            // No body, and no length: a GET may be answered differently.
            message->erase(bhttp::field::content_length);
            auto serializer = std::make_shared<bhttp::response_serializer<bhttp::string_body>>(*message);
            bhttp::async_write_header(m_stream, *serializer,
                                      [self = self(), message, serializer, linger](const ErrorCode &ec, std::size_t) {
                                          self->onWritten(ec, linger);
                                      });
            return;
        }
        bhttp::async_write(m_stream, *message, [self = self(), message, linger](const ErrorCode &ec, std::size_t) {
            self->onWritten(ec, linger);
        });
    }

    void onWritten(const ErrorCode &ec, bool linger)
    {
        if (m_phase != Phase::Writing)
            return;
        logLine(m_status, m_logCode);
        if (ec)
            return close();
        if (linger)
            return drain();
        if (!m_keepAlive)
            return closeGracefully();
        m_firstRequest = false;
        waitForRequest();
    }

    void drain()
    {
        m_phase = Phase::Draining;
        ErrorCode ignored;
        lowest(m_stream).shutdown(tcp::socket::shutdown_send, ignored);
        armDeadline(Clock::now() + LingerTime);
        if (!m_readPending)
            drainSome();
    }

    void drainSome()
    {
        m_readPending = true;
        lowest(m_stream).async_read_some(net::buffer(m_scratch), [self = self()](const ErrorCode &ec, std::size_t n) {
            self->m_readPending = false;
            self->m_drained += n;
            if (self->m_phase != Phase::Draining)
                return;
            if (ec || self->m_drained > LingerBytes)
                return self->close();
            self->drainSome();
        });
    }

    void closeGracefully()
    {
        // A plain close after a complete exchange; TLS peers get no
        // close_notify, which HTTP/1.1's framing makes harmless.
        ErrorCode ignored;
        lowest(m_stream).shutdown(tcp::socket::shutdown_send, ignored);
        close();
    }

    void close()
    {
        if (m_phase == Phase::Closed)
            return;
        m_phase = Phase::Closed;
        if (m_cancel)
            m_cancel->store(true);
        ErrorCode ignored;
        m_timer.cancel();
        lowest(m_stream).close(ignored);
        m_buffer.clear();
        // Not the parser: a read into it may still be on its way back with
        // bytes (a body cut off at its deadline); it goes with the session.
        releaseBody();
    }

    void logLine(int status, int code)
    {
        const auto took = Clock::now() - m_requestStart;
        const std::string client = m_client.empty() ? "-" : m_client;
        CoreCounters &counters = m_server.counters;
        counters.requests.at(std::string("route=\"") + m_route + "\",status=\"" + std::to_string(status) + "\",code=\""
                             + std::to_string(code) + "\",client=\"" + client + '"')++;
        counters.durations.at(std::string("route=\"") + m_route + '"').observe(took);
        if (m_server.limits.log == LogFormat::None)
            return;
        LogRecord record;
        record.method = m_method.empty() ? std::string_view("-") : std::string_view(m_method);
        record.path = m_path;
        record.status = status;
        record.code = code;
        record.milliseconds = std::chrono::duration<double, std::milli>(took).count();
        record.bodyBytes = m_bodyBytes;
        record.client = m_client;
        record.logId = m_logId;
        record.note = m_note;
        const std::string line = http::logLine(record, m_server.limits.log, std::time(nullptr)) + '\n';
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

    HttpServer::Impl &m_server;
    Stream m_stream;
    net::steady_timer m_timer;
    boost::beast::flat_buffer m_buffer;
    std::optional<RequestParser> m_parser;
    std::array<char, 8192> m_scratch{};

    Phase m_phase = Phase::Idle;
    bool m_firstRequest = true;
    bool m_overloaded = false; // over the connection cap: its head is read, then it is refused
    bool m_readPending = false;
    bool m_keepAlive = false;
    bool m_clientGone = false;
    bool m_headRequest = false; // the answer goes without its body
    bool m_http10 = false;
    bool m_peerShut = false;    // the client sent its end of the stream while its request was handled
    bool m_probed = false;      // an interim answer was sent to learn whether it is still there
    bool m_writingInterim = false;
    std::optional<Answer> m_waitingAnswer; // came while an interim answer was being written
    std::shared_ptr<std::atomic<bool>> m_cancel;

    Clock::time_point m_requestStart;
    Clock::time_point m_bodyStart;
    std::size_t m_bodyBytes = 0;
    std::size_t m_bodyReserved = 0; // of the server's bufferedBodies
    std::size_t m_drained = 0;
    std::string m_method;
    std::string m_path = "-";
    const char *m_route = "none";
    std::string m_client;
    std::uint64_t m_logId = 0;
    std::string m_note;
    int m_status = 0;
    int m_logCode = 0;
};

} // namespace

template<class Stream>
void HttpServer::Impl::startSession(Stream stream, bool refuse)
{
    ++connections;
    auto session = std::make_shared<Session<Stream>>(*this, std::move(stream));
    add(session.get(), session);
    net::dispatch(session->executor(), [session, refuse] { session->start(refuse); });
}

void HttpServer::Impl::accept()
{
    acceptor.async_accept(net::make_strand(ioc), [this](const ErrorCode &ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor.is_open())
            return;
        if (ec) {
            // Out of descriptors, most likely: the connections we hold must
            // close first. Trying again at once would spin.
            acceptPause.expires_after(std::chrono::milliseconds(100));
            acceptPause.async_wait([this](const ErrorCode &waitError) {
                if (!waitError)
                    accept();
            });
            return;
        }
        const bool overloaded = connections.load() >= limits.maxConnections;
        if (!ssl) {
            startSession(std::move(socket), overloaded);
        } else if (!overloaded) {
            startSession(net::ssl::stream<tcp::socket>(std::move(socket), *ssl), false);
        } else {
            counters.refusals.at("reason=\"connection_limit\"")++;
        }
        // An overloaded TLS listener cannot answer before a handshake: the
        // connection is closed unread.
        accept();
    });
}

HttpServer::HttpServer(const std::string &host, unsigned short port, const TlsFiles &tls, Limits limits,
                       Handler &handler)
    : d(std::make_unique<Impl>(handler, limits))
{
    if (!tls.certificate.empty()) {
        d->ssl = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
        d->ssl->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2
                            | net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1
                            | net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use);
        ErrorCode ec;
        d->ssl->use_certificate_chain_file(tls.certificate, ec);
        if (!ec)
            d->ssl->use_private_key_file(tls.privateKey, net::ssl::context::pem, ec);
        if (ec) {
            throw std::runtime_error("cannot use the TLS certificate '" + tls.certificate + "' and key '"
                                     + tls.privateKey + "'");
        }
    }

    ErrorCode ec;
    const auto address = net::ip::make_address(host, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + host + ": not an IP address");
    const tcp::endpoint endpoint(address, port);
    const std::string where = address.is_v6() ? "[" + host + "]:" + std::to_string(port)
                                              : host + ":" + std::to_string(port);
    d->acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        d->acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        d->acceptor.bind(endpoint, ec);
    if (!ec)
        d->acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + where + ": " + ec.message());
}

HttpServer::~HttpServer()
{
    if (!d->threads.empty())
        shutdown(std::chrono::milliseconds(0));
}

unsigned short HttpServer::port() const
{
    return d->acceptor.local_endpoint().port();
}

const CoreCounters &HttpServer::counters() const
{
    return d->counters;
}

bool HttpServer::tls() const
{
    return d->ssl != nullptr;
}

void HttpServer::start(int threads)
{
    d->running.emplace(d->ioc.get_executor());
    net::dispatch(d->acceptor.get_executor(), [impl = d.get()] { impl->accept(); });
    for (int i = 0; i < std::max(1, threads); ++i)
        d->threads.emplace_back([impl = d.get()] { impl->ioc.run(); });
}

void HttpServer::stopAccepting()
{
    if (d->stopping.exchange(true))
        return;
    net::post(d->acceptor.get_executor(), [impl = d.get()] {
        ErrorCode ignored;
        impl->acceptor.close(ignored);
        impl->acceptPause.cancel();
    });
    for (const auto &session : d->liveSessions())
        session->stopGently();
}

bool HttpServer::waitIdle(std::chrono::milliseconds grace)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    return d->allClosed.wait_for(lock, grace, [this] { return d->connections.load() == 0; });
}

void HttpServer::shutdown(std::chrono::milliseconds grace)
{
    if (d->threads.empty())
        return;
    stopAccepting();
    waitIdle(grace);
    // What is left closes when the io_context goes.
    d->running.reset();
    d->ioc.stop();
    for (auto &thread : d->threads)
        thread.join();
    d->threads.clear();
}

} // namespace ocrserver::http
