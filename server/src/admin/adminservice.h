// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_ADMINSERVICE_H
#define VIRELTO_SERVER_ADMINSERVICE_H

#include "http/httpserver.h"
#include "stats/metrics.h"

#include <atomic>
#include <string>

namespace ocrserver {

class OcrEngine;
class OcrService;

// The admin listener's routes: /livez, /readyz and /metrics (Prometheus
// text format 0.0.4). It reads the figures the other layers keep and never
// touches their requests.
class AdminService : public http::Handler
{
public:
    enum class State { Starting, Ready, Stopping };

    explicit AdminService(std::string version);

    // What there is to watch, once the engines are loaded and the public
    // listener is up; then the state becomes Ready.
    void attach(OcrEngine &engine, const OcrService &service, const http::HttpServer &server);
    void setState(State state) { m_state = state; }
    // A reload of the secret files, done or refused.
    void noteReload(bool done) { ++(done ? m_reloadsDone : m_reloadsFailed); }

    // Empty when ready (the next recognition would be taken), else why
    // not, in a few words.
    std::string notReady() const;
    std::string metrics() const;

    std::size_t bodyLimit(const http::RequestHead &head) const override;
    void handle(http::Request request, http::CancelFlag clientGone, http::Reply reply) override;
    http::Answer refuse(http::Refusal why, const http::RequestHead *head) override;
    const char *route(const http::RequestHead &head) const override;

private:
    const std::string m_version;
    std::atomic<State> m_state{State::Starting};
    std::atomic<OcrEngine *> m_engine{nullptr};
    std::atomic<const OcrService *> m_service{nullptr};
    std::atomic<const http::HttpServer *> m_server{nullptr};
    stats::Counter m_reloadsDone{0};
    stats::Counter m_reloadsFailed{0};
};

} // namespace ocrserver

#endif
