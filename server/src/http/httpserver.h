// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_HTTP_HTTPSERVER_H
#define VIRELTO_SERVER_HTTP_HTTPSERVER_H

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "stats/metrics.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ocrserver::http {

using Request = boost::beast::http::request<boost::beast::http::string_body>;
using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;
using RequestHead = boost::beast::http::request_header<>;

// A reply and the number the request log shows beside its status (the
// service's error code; 0 for none).
struct Answer
{
    boost::beast::http::response<boost::beast::http::string_body> message;
    int logCode = 0;
    std::string client;      // who asked, for the log and the figures; empty: nobody known
    std::uint64_t logId = 0; // the reply's log_id; 0: none
    std::string note;        // for the log, as it came (what libraries said); escaped and cut short there
};

// Why the core answered a request itself, before or instead of its handler.
enum class Refusal {
    BadRequest,     // not HTTP/1.x framing the parser accepts
    HeaderTooLarge, // the request head is over its limit
    BodyTooLarge,   // the body is over the limit the handler gave for it
    Timeout,        // the head or the body came too slowly
    Overloaded,     // more connections than allowed
    BodiesBuffered, // the body would take the bytes held for bodies over their limit
};

// Set once the client has gone away; a handler may drop its work then.
using CancelFlag = std::shared_ptr<const std::atomic<bool>>;
using Reply = std::function<void(Answer)>;

// What the core asks of the layer above it. Called from the core's threads.
class Handler
{
public:
    virtual ~Handler() = default;
    // The largest body accepted for a request with this head.
    virtual std::size_t bodyLimit(const RequestHead &head) const = 0;
    // Decides from the head alone, before any of the body is read: nothing,
    // or the answer to send instead (the connection then closes unread).
    virtual std::optional<Answer> admit(const RequestHead &) { return std::nullopt; }
    // Answers a request: reply is called exactly once, from any thread.
    virtual void handle(Request request, CancelFlag clientGone, Reply reply) = 0;
    // The answer to a request the core refuses; head is null when no head was read.
    virtual Answer refuse(Refusal why, const RequestHead *head) = 0;
    // A name for the request's route in the figures: one of a few fixed texts.
    virtual const char *route(const RequestHead &head) const = 0;
};

enum class LogFormat { Text, Json, None };

struct Limits
{
    std::size_t maxHeader = 16 * 1024;
    std::chrono::milliseconds headTimeout{10000};  // from the request's first byte (or the connection's start)
    std::chrono::milliseconds idleTimeout{15000};  // a kept-alive connection with no request
    std::chrono::milliseconds bodyGrace{10000};    // a body may take this long before its rate counts ...
    std::size_t minBodyRate = 16 * 1024;           // ... then it must keep this many bytes a second,
    std::chrono::milliseconds bodyTimeout{60000};  // and be whole within this, however fast it began
    // Request bodies held across all connections until their handler takes
    // them: announced lengths, and chunked bodies as they come.
    std::size_t maxBufferedBodies = std::size_t(256) << 20;
    std::chrono::milliseconds writeTimeout{30000}; // a reply must be taken by the client within this
    std::size_t maxConnections = 1024;
    // Beyond maxConnections a plain connection's head is still read (within
    // headTimeout) and given to Handler::refuse, so that a route may answer
    // anyway; else the connection is refused unread.
    bool readHeadWhenOverloaded = false;
    LogFormat log = LogFormat::Text; // the line per request on stderr
};

// What the core counts, for the admin listener. Labels: route, status, code
// and client of each request; the reason of each refusal.
struct CoreCounters
{
    std::atomic<std::size_t> connections{0};
    stats::CounterFamily requests;
    stats::HistogramFamily durations{[] { return std::make_unique<stats::Histogram>(stats::Histogram::requestBuckets()); }};
    stats::CounterFamily refusals;
};

struct TlsFiles
{
    std::string certificate; // PEM; empty: plain HTTP
    std::string privateKey;
};

// An HTTP/1.1 server on one io_context run by a few threads: every
// connection is a state machine with one deadline, so idle and slow clients
// cost memory, not threads. Limits are enforced while reading. Each request
// gets one line on stderr.
class HttpServer
{
public:
    // Throws std::runtime_error when the address cannot be bound or the TLS
    // files cannot be used.
    HttpServer(const std::string &host, unsigned short port, const TlsFiles &tls, Limits limits, Handler &handler);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    unsigned short port() const;
    bool tls() const;
    const CoreCounters &counters() const;

    // Runs the io_context on that many threads until shutdown() has finished.
    void start(int threads);
    // Stops accepting, closes idle connections at once and waits up to grace
    // for requests in flight; then closes the rest. Safe from any thread.
    void shutdown(std::chrono::milliseconds grace);
    // The same in steps: stops accepting and closes idle connections ...
    void stopAccepting();
    // ... waits up to grace for the rest to close; true when they have.
    bool waitIdle(std::chrono::milliseconds grace);

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// Readies a parser for a request head: the head's limit, and no body limit
// until the route is known.
void prepareParser(RequestParser &parser, std::size_t maxHeader);

// Applies the route's body limit to a parser whose head is read. False when
// the announced Content-Length is over it already: the body must not be read
// (the parser would reserve room for all of it).
bool limitBody(RequestParser &parser, std::size_t limit);

// Everything a log line shows of a request path: control and non-ASCII bytes
// escaped, the query cut off, the length bounded.
std::string loggablePath(std::string_view target);

// One request's line in the log, without the line break: plain words, or a
// JSON object.
struct LogRecord
{
    std::string_view method;
    std::string_view path; // as loggablePath gives it
    int status = 0;
    int code = 0;
    double milliseconds = 0;
    std::size_t bodyBytes = 0;
    std::string_view client; // empty: none
    std::uint64_t logId = 0;
    std::string_view note;   // empty: none
};
std::string logLine(const LogRecord &record, LogFormat format, std::time_t now);

} // namespace ocrserver::http

#endif
