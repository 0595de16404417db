// SPDX-License-Identifier: MIT
#include "admin/adminservice.h"

#include "api/ocrservice.h"
#include "engine/ocrengine.h"

#include <cstdio>

namespace bhttp = boost::beast::http;

namespace ocrserver {

namespace {

const char Prefix[] = "virelto_ocr_";

http::Answer textAnswer(bhttp::status status, std::string body,
                        const char *type = "text/plain; charset=utf-8")
{
    http::Answer answer;
    answer.message.result(status);
    answer.message.set(bhttp::field::content_type, type);
    answer.message.set(bhttp::field::cache_control, "no-store");
    answer.message.body() = std::move(body);
    return answer;
}

std::string_view pathOf(std::string_view target)
{
    return target.substr(0, target.find('?'));
}

// The exposition format, family by family: HELP and TYPE, then the samples.
class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        m_text += std::string("# HELP ") + Prefix + name + ' ' + help + "\n# TYPE " + Prefix + name + ' ' + type
                + '\n';
    }

    void sample(const std::string &name, const std::string &labels, double value)
    {
        char number[32];
        std::snprintf(number, sizeof number, "%.15g", value);
        m_text += Prefix + name;
        if (!labels.empty())
            m_text += '{' + labels + '}';
        m_text += ' ';
        m_text += number;
        m_text += '\n';
    }

    void counters(const char *name, const stats::CounterFamily &family)
    {
        family.forEach([&](const std::string &labels, const stats::Counter &value) {
            sample(name, labels, double(value.load(std::memory_order_relaxed)));
        });
    }

    void histogram(const char *name, const std::string &labels, const stats::Histogram &histogram)
    {
        const stats::Histogram::Snapshot s = histogram.snapshot();
        const std::string base = std::string(name) + "_bucket";
        const std::string more = labels.empty() ? "" : labels + ',';
        for (size_t i = 0; i <= s.bounds.size(); ++i) {
            char bound[32];
            if (i < s.bounds.size())
                std::snprintf(bound, sizeof bound, "%g", s.bounds[i]);
            else
                std::snprintf(bound, sizeof bound, "+Inf");
            sample(base, more + "le=\"" + bound + '"', double(s.cumulative[i]));
        }
        sample(std::string(name) + "_sum", labels, s.sum);
        sample(std::string(name) + "_count", labels, double(s.cumulative.back()));
    }

    void histograms(const char *name, const stats::HistogramFamily &family)
    {
        family.forEach([&](const std::string &labels, const stats::Histogram &h) { histogram(name, labels, h); });
    }

    std::string take() { return std::move(m_text); }

private:
    std::string m_text;
};

} // namespace

AdminService::AdminService(std::string version)
    : m_version(std::move(version))
{
}

void AdminService::attach(OcrEngine &engine, const OcrService &service, const http::HttpServer &server)
{
    m_engine = &engine;
    m_service = &service;
    m_server = &server;
    m_state = State::Ready;
}

std::string AdminService::notReady() const
{
    switch (m_state.load()) {
    case State::Starting:
        return "starting: the engines are loading";
    case State::Stopping:
        return "shutting down";
    case State::Ready:
        break;
    }
    OcrEngine *engine = m_engine.load();
    if (!engine->accepting())
        return "queue full: " + std::to_string(engine->counters().queued.load()) + " waiting, " + std::to_string(engine->counters().busy.load())
                + " of " + std::to_string(engine->workers()) + " workers busy";
    return {};
}

std::string AdminService::metrics() const
{
    Exposition out;
    const OcrEngine *engine = m_engine.load();
    const OcrService *service = m_service.load();
    const http::HttpServer *server = m_server.load();

    out.family("build_info", "gauge", "The service's version; always 1.");
    out.sample("build_info", "version=\"" + m_version + '"', 1);
    out.family("ready", "gauge", "1 when /readyz answers 200.");
    out.sample("ready", "", notReady().empty() ? 1 : 0);

    out.family("requests_total", "counter",
               "Requests answered or given up, by route, HTTP status, the service's error code and client.");
    if (server)
        out.counters("requests_total", server->counters().requests);
    out.family("request_duration_seconds", "histogram",
               "From a request's first byte to its answer written, by route.");
    if (server)
        out.histograms("request_duration_seconds", server->counters().durations);
    out.family("refusals_total", "counter",
               "Requests refused before their work: over a size or rate limit, too slow, or overloaded.");
    if (server)
        out.counters("refusals_total", server->counters().refusals);
    if (service)
        out.counters("refusals_total", service->counters().refusals);
    out.family("open_connections", "gauge", "Connections to the public listener.");
    if (server)
        out.sample("open_connections", "", double(server->counters().connections.load()));
    out.family("tokens_issued_total", "counter", "Access tokens granted, by client.");
    if (service)
        out.counters("tokens_issued_total", service->counters().tokensIssued);
    out.family("clients", "gauge", "Clients whose keys are accepted.");
    if (service)
        out.sample("clients", "", double(service->keyring()->clients().size()));

    out.family("recognition_duration_seconds", "histogram",
               "One step of a recognition by reader (lines, tesseract) and step (decode, render, read).");
    if (engine)
        out.histograms("recognition_duration_seconds", engine->counters().steps);
    out.family("queue_wait_seconds", "histogram", "Time a recognition waited for a worker.");
    if (engine)
        out.histogram("queue_wait_seconds", "", engine->counters().queueWait);
    // Each family's samples right after its HELP and TYPE: a parser
    // reads samples further down as another, untyped family.
    out.family("queue_length", "gauge", "Recognitions waiting for a worker.");
    if (engine)
        out.sample("queue_length", "", engine->counters().queued.load());
    out.family("queue_capacity", "gauge", "Recognitions that may wait before error 18.");
    if (engine)
        out.sample("queue_capacity", "", double(engine->queueLength()));
    out.family("workers_busy", "gauge", "Workers recognising a page.");
    if (engine)
        out.sample("workers_busy", "", engine->counters().busy.load());
    out.family("workers", "gauge", "Workers.");
    if (engine)
        out.sample("workers", "", engine->workers());
    out.family("worker_restarts_total", "counter",
               "Worker processes replaced: killed at a deadline or for a client that left, or ended on their own.");
    if (engine)
        out.sample("worker_restarts_total", "", double(engine->counters().restarts.load()));
    out.family("reloads_total", "counter", "Re-reads of the secret files on SIGHUP, by result.");
    out.sample("reloads_total", "result=\"done\"", double(m_reloadsDone.load()));
    out.sample("reloads_total", "result=\"refused\"", double(m_reloadsFailed.load()));
    return out.take();
}

std::size_t AdminService::bodyLimit(const http::RequestHead &) const
{
    return 0;
}

const char *AdminService::route(const http::RequestHead &head) const
{
    const std::string_view path = pathOf(head.target());
    for (const char *known : {"/livez", "/readyz", "/metrics"})
        if (path == known)
            return known + 1;
    return "other";
}

void AdminService::handle(http::Request request, http::CancelFlag, http::Reply reply)
{
    const std::string_view path = pathOf(request.target());
    if (request.method() != bhttp::verb::get && request.method() != bhttp::verb::head)
        return reply(textAnswer(bhttp::status::method_not_allowed, "GET only\n"));
    if (path == "/livez")
        return reply(textAnswer(bhttp::status::ok, "ok\n"));
    if (path == "/readyz") {
        const std::string why = notReady();
        return reply(why.empty() ? textAnswer(bhttp::status::ok, "ready\n")
                                 : textAnswer(bhttp::status::service_unavailable, why + '\n'));
    }
    if (path == "/metrics")
        return reply(textAnswer(bhttp::status::ok, metrics(), "text/plain; version=0.0.4; charset=utf-8"));
    reply(textAnswer(bhttp::status::not_found, "not found: /livez, /readyz, /metrics\n"));
}

http::Answer AdminService::refuse(http::Refusal why, const http::RequestHead *head)
{
    // Live while the process is, however many connections are held.
    if (why == http::Refusal::Overloaded && head && pathOf(head->target()) == "/livez")
        return textAnswer(bhttp::status::ok, "ok\n");
    switch (why) {
    case http::Refusal::HeaderTooLarge:
        return textAnswer(bhttp::status::request_header_fields_too_large, "request head too large\n");
    case http::Refusal::BodyTooLarge:
        return textAnswer(bhttp::status::payload_too_large, "no body wanted\n");
    case http::Refusal::Overloaded:
        return textAnswer(bhttp::status::service_unavailable, "too many connections\n");
    case http::Refusal::BodiesBuffered:
        return textAnswer(bhttp::status::service_unavailable, "busy\n");
    case http::Refusal::BadRequest:
    case http::Refusal::Timeout:
        break;
    }
    return textAnswer(bhttp::status::bad_request, "bad request\n");
}

} // namespace ocrserver
