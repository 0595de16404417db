// SPDX-License-Identifier: MIT
// virelto-ocr-server: an offline OCR service with the cloud service's REST contract.
#include "engine/ocrengine.h"
#include "api/ocrservice.h"
#include "auth/tokens.h"

#include <httplib.h>

#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

const char Version[] = "0.1.0";

struct Options
{
    std::string host = "127.0.0.1";
    int port = 8290;
    std::string apiKey;
    std::string secretKey;
    std::string tokenKey;
    long long tokenTtl = 2592000;
    std::string language = "eng";
    int workers = 0;
    int qps = 0;
    long long maxBody = 11 * 1024 * 1024;
    std::string tlsCert;
    std::string tlsKey;
};

const char Usage[] =
        "Usage: virelto-ocr-server [options]\n"
        "An offline OCR service (Tesseract) that answers the cloud OCR service's token\n"
        "and accurate_basic endpoints.\n\n"
        "  --listen HOST:PORT     address to listen on (default 127.0.0.1:8290; port 0: any free port)\n"
        "  --api-key KEY          the API Key clients use (or VIRELTO_OCR_API_KEY)\n"
        "  --secret-key SECRET    the Secret Key clients use (or VIRELTO_OCR_SECRET_KEY)\n"
        "  --token-key KEY        key that signs access tokens; share it between replicas\n"
        "                         (or VIRELTO_OCR_TOKEN_KEY; default: random per start)\n"
        "  --token-ttl SECONDS    lifetime of an access token (default 2592000)\n"
        "  --lang LANG            Tesseract language of requests without language_type (default eng)\n"
        "  --workers N            OCR engines, the number of recognitions at once (default: cores)\n"
        "  --qps N                answer error 18 beyond N OCR requests a second (default: no limit)\n"
        "  --max-body BYTES       largest request body kept in memory (default 11534336)\n"
        "  --tls-cert FILE        serve HTTPS with this certificate (PEM) ...\n"
        "  --tls-key FILE         ... and this private key (PEM)\n"
        "  --help, --version\n";

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "virelto-ocr-server: %s\n", message.c_str());
    std::exit(2);
}

long long number(const char *option, const char *text, long long min)
{
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno || end == text || *end || value < min)
        fail(std::string(option) + " wants a whole number of at least " + std::to_string(min) + ", not '" + text + "'");
    return value;
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

Options parseOptions(int argc, char **argv)
{
    Options o;
    o.apiKey = environment("VIRELTO_OCR_API_KEY");
    o.secretKey = environment("VIRELTO_OCR_SECRET_KEY");
    o.tokenKey = environment("VIRELTO_OCR_TOKEN_KEY");
    o.workers = int(std::max(1u, std::thread::hardware_concurrency()));

    enum { Listen = 1, ApiKey, SecretKey, TokenKey, TokenTtl, Lang, Workers, Qps, MaxBody, TlsCert, TlsKey,
           Help, ShowVersion };
    static const option longOptions[] = {
        {"listen", required_argument, nullptr, Listen}, {"api-key", required_argument, nullptr, ApiKey},
        {"secret-key", required_argument, nullptr, SecretKey}, {"token-key", required_argument, nullptr, TokenKey},
        {"token-ttl", required_argument, nullptr, TokenTtl}, {"lang", required_argument, nullptr, Lang},
        {"workers", required_argument, nullptr, Workers}, {"qps", required_argument, nullptr, Qps},
        {"max-body", required_argument, nullptr, MaxBody}, {"tls-cert", required_argument, nullptr, TlsCert},
        {"tls-key", required_argument, nullptr, TlsKey}, {"help", no_argument, nullptr, Help},
        {"version", no_argument, nullptr, ShowVersion}, {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        switch (c) {
        case Listen: {
            const std::string value = optarg;
            const size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0)
                fail("--listen wants HOST:PORT, not '" + value + "'");
            o.host = value.substr(0, colon);
            if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']')
                o.host = o.host.substr(1, o.host.size() - 2);
            o.port = int(number("--listen port", value.c_str() + colon + 1, 0));
            if (o.port > 65535)
                fail("--listen port must be at most 65535");
            break;
        }
        case ApiKey: o.apiKey = optarg; break;
        case SecretKey: o.secretKey = optarg; break;
        case TokenKey: o.tokenKey = optarg; break;
        case TokenTtl: o.tokenTtl = number("--token-ttl", optarg, 1); break;
        case Lang: o.language = optarg; break;
        case Workers: o.workers = int(number("--workers", optarg, 1)); break;
        case Qps: o.qps = int(number("--qps", optarg, 0)); break;
        case MaxBody: o.maxBody = number("--max-body", optarg, 1024); break;
        case TlsCert: o.tlsCert = optarg; break;
        case TlsKey: o.tlsKey = optarg; break;
        case Help: std::fputs(Usage, stdout); std::exit(0);
        case ShowVersion: std::printf("virelto-ocr-server %s\n", Version); std::exit(0);
        default: fail(std::string("unknown option '") + argv[optind - 1] + "' (see --help)");
        }
    }
    if (optind < argc)
        fail(std::string("unexpected argument '") + argv[optind] + "' (see --help)");
    if (o.apiKey.empty() || o.secretKey.empty())
        fail("no credentials: give --api-key and --secret-key (or VIRELTO_OCR_API_KEY and VIRELTO_OCR_SECRET_KEY)");
    if (o.tlsCert.empty() != o.tlsKey.empty())
        fail("--tls-cert and --tls-key go together");
    return o;
}

// Debian's Tesseract is built with OpenMP, which spreads every recognition
// over all cores and makes concurrent requests 3-6x slower. The limit is
// read when the OpenMP runtime loads, before main, so start again with it.
void limitOpenMpThreads(char **argv)
{
    if (std::getenv("OMP_THREAD_LIMIT"))
        return;
    setenv("OMP_THREAD_LIMIT", "1", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "virelto-ocr-server: warning: could not restart with OMP_THREAD_LIMIT=1: %s\n",
                 std::strerror(errno));
}

} // namespace

int main(int argc, char **argv)
{
    limitOpenMpThreads(argv);
    const Options options = parseOptions(argc, argv);

    // Signals are taken by one thread that stops the server; the HTTP
    // threads started later inherit the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<ocrserver::OcrEngine> engine;
    try {
        engine = std::make_unique<ocrserver::OcrEngine>(options.language, options.workers);
    } catch (const std::exception &e) {
        fail(std::string(e.what()) + " (is its tesseract-ocr-* data package installed?)");
    }

    std::unique_ptr<httplib::Server> server;
    if (options.tlsCert.empty()) {
        server = std::make_unique<httplib::Server>();
    } else {
        auto tls = std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
        if (!tls->is_valid())
            fail("cannot use the TLS certificate '" + options.tlsCert + "' and key '" + options.tlsKey + "'");
        server = std::move(tls);
    }

    ocrserver::ServiceLimits limits;
    limits.maxBody = size_t(options.maxBody);
    limits.qps = options.qps;
    ocrserver::OcrService service(options.apiKey, options.secretKey,
                                  ocrserver::TokenSigner(options.tokenKey.empty()
                                                                 ? ocrserver::TokenSigner::randomKey()
                                                                 : options.tokenKey,
                                                         options.tokenTtl),
                                  *engine, limits);
    service.install(*server);

    // Idle keep-alive connections each hold an HTTP thread; recognition
    // concurrency is bounded separately by the engine's workers.
    const size_t httpThreads = size_t(std::max(8, options.workers * 4));
    server->new_task_queue = [httpThreads] { return new httplib::ThreadPool(httpThreads); };
    server->set_tcp_nodelay(true);
    server->set_keep_alive_timeout(30);
    server->set_read_timeout(30);
    server->set_write_timeout(30);
    // cpp-httplib's default adds SO_REUSEPORT, which would let a second
    // server share a port in use instead of failing to start.
    server->set_socket_options([](socket_t sock) {
        const int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });

    int port = options.port;
    if (port == 0) {
        port = server->bind_to_any_port(options.host);
        if (port < 0)
            fail("cannot listen on " + options.host + ": address not available");
    } else if (!server->bind_to_port(options.host, port)) {
        fail("cannot listen on " + options.host + ":" + std::to_string(port) + ": address in use or not available");
    }

    std::thread signalWaiter([&server, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        server->stop();
    });
    signalWaiter.detach();

    const bool ipv6 = options.host.find(':') != std::string::npos;
    std::fprintf(stderr, "virelto-ocr-server %s listening on %s://%s%s%s:%d (workers %d, lang %s)\n", Version,
                 options.tlsCert.empty() ? "http" : "https", ipv6 ? "[" : "", options.host.c_str(),
                 ipv6 ? "]" : "", port, engine->workers(), options.language.c_str());
    std::fflush(stderr);

    const bool ok = server->listen_after_bind();
    std::fprintf(stderr, "virelto-ocr-server stopped\n");
    return ok ? 0 : 1;
}
