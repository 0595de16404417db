// SPDX-License-Identifier: MIT
// virelto-ocr-server: an offline OCR service with the cloud service's REST contract.
#include "admin/adminservice.h"
#include "api/ocrservice.h"
#include "auth/clients.h"
#include "auth/tokens.h"
#include "engine/ocrengine.h"
#include "engine/workerprocess.h"
#include "http/httpserver.h"

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const char Version[] = "0.2.0";

struct Options
{
    std::string host = "127.0.0.1";
    int port = 8290;
    std::string adminHost;
    int adminPort = -1; // -1: no admin listener
    std::string apiKey;
    std::string secretKey;
    std::string tokenKey;
    // The files re-read on SIGHUP; empty: given otherwise.
    std::string apiKeyFile;
    std::string secretKeyFile;
    std::string tokenKeyFile;
    std::string clientsFile;
    bool singleKeyOption = false; // --api-key(-file) or --secret-key(-file) given
    ocrserver::http::LogFormat logFormat = ocrserver::http::LogFormat::Text;
    long long tokenTtl = 2592000;
    std::string language = "chi_sim+eng"; // the cloud's default, CHN_ENG
    ocrserver::ReaderChoice reader = ocrserver::ReaderChoice::Auto;
    std::string models; // empty: beside the binary, else the installed ones
    int workers = 0;
    int cores = 0; // 0: those the service may run on
    long long queueLength = -1; // -1: four per worker
    int qps = 0;
    long long maxBody = 11 * 1024 * 1024;
    long long maxConnections = 1024;
    long long bodyGrace = 10;
    long long bodyTimeout = 60;
    long long maxBufferedBodies = 256LL << 20;
    long long recognizeTimeout = 30;
    long long workerMemory = 1536; // MiB
    long long shutdownGrace = 10;
    std::string tlsCert;
    std::string tlsKey;
    std::vector<std::string> warnings; // shown once the server is up
};

const char Usage[] =
        "Usage: virelto-ocr-server [options]\n"
        "An offline OCR service (text-line models and Tesseract) that answers the cloud OCR service's token\n"
        "and accurate_basic endpoints.\n\n"
        "  --listen HOST:PORT        address to listen on (default 127.0.0.1:8290; port 0: any free port)\n"
        "  --admin-listen HOST:PORT  serve /livez, /readyz and /metrics there (default: nowhere)\n"
        "  --clients-file FILE       one client per line: NAME API_KEY SECRET_KEY [QPS]\n"
        "  --api-key-file FILE       the API Key clients use (or VIRELTO_OCR_API_KEY)\n"
        "  --secret-key-file FILE    the Secret Key clients use (or VIRELTO_OCR_SECRET_KEY)\n"
        "  --token-key-file FILE     keys that sign access tokens, one a line, each at least 32 bytes:\n"
        "                            the first signs, all verify; share them between replicas\n"
        "                            (or VIRELTO_OCR_TOKEN_KEY; default: random per start)\n"
        "                            SIGHUP re-reads the files given.\n"
        "                            Secret files must be the service's user's (or root's) and\n"
        "                            not readable by group or others.\n"
        "  --api-key, --secret-key, --token-key VALUE\n"
        "                            the same on the command line, where other users can see it\n"
        "  --token-ttl SECONDS       lifetime of an access token (default 2592000; at most 10 years)\n"
        "  --engine auto|tesseract   auto (default): text-line detection and recognition for\n"
        "                            Chinese and English, Tesseract for other languages\n"
        "  --models DIR              the prepared line models (default: models/ beside the\n"
        "                            binary, else " VIRELTO_MODELS_DIR ")\n"
        "  --lang LANG               Tesseract language of requests without language_type\n"
        "                            (default chi_sim+eng, the cloud's CHN_ENG)\n"
        "  --workers N               OCR engines, the number of recognitions at once (default: cores)\n"
        "  --cores N                 cores the pages share; a page alone uses the idle ones, and\n"
        "                            each goes back to one as the queue fills (default: the cores\n"
        "                            the service may run on; 1: every page on one thread)\n"
        "  --queue N                 recognitions waiting for an engine before error 18 (default 4 x workers)\n"
        "  --recognize-timeout SEC   longest recognition, decoding included (default 30)\n"
        "  --worker-memory MIB       address space of one worker process, models included (default 1536)\n"
        "  --qps N                   answer error 18 beyond N OCR requests a second (default: no limit)\n"
        "  --max-body BYTES          largest recognition request body (default 11534336)\n"
        "  --max-connections N       connections served at once (default 1024)\n"
        "  --body-grace SEC          time a request body may take before it must keep 16 KiB/s (default 10)\n"
        "  --body-timeout SEC        longest time for a whole request body, however fast (default 60)\n"
        "  --max-buffered-bodies BYTES\n"
        "                            request bodies held at once across all connections; beyond,\n"
        "                            HTTP 503 with error 18 (default 268435456)\n"
        "  --shutdown-grace SEC      on SIGTERM, time for requests in flight (default 10)\n"
        "  --tls-cert FILE           serve HTTPS with this certificate (PEM) ...\n"
        "  --tls-key FILE            ... and this private key (PEM)\n"
        "  --log-format text|json    the line per request on stderr (default text)\n"
        "  --help, --version\n";

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "virelto-ocr-server: %s\n", message.c_str());
    std::exit(2);
}

long long number(const char *option, const char *text, long long min, long long max)
{
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno || end == text || *end || value < min || value > max) {
        fail(std::string(option) + " wants a whole number from " + std::to_string(min) + " to "
             + std::to_string(max) + ", not '" + text + "'");
    }
    return value;
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

// Whether anybody but this process's user may read or change the file:
// group or other permission bits, or, where the file has a POSIX ACL (as
// systemd's credentials do when it grants the service's user access to
// root's file), an entry for a group or another user. With an ACL the
// group bits show the ACL's mask, so the entries decide.
bool sharedWithOthers(const char *path, const struct stat &info)
{
    if (info.st_mode & S_IRWXO)
        return true;
    unsigned char acl[1024];
    const ssize_t size = getxattr(path, "system.posix_acl_access", acl, sizeof acl);
    if (size < 0)
        return (info.st_mode & S_IRWXG) != 0;
    // Linux's xattr form: a 4-byte version, then 8-byte entries of tag,
    // permissions and id, little-endian.
    enum : unsigned { UserObj = 0x01, User = 0x02, GroupObj = 0x04, Group = 0x08, Mask = 0x10, Other = 0x20 };
    if (size < 4 || (size - 4) % 8 != 0)
        return true;
    for (ssize_t at = 4; at < size; at += 8) {
        const unsigned tag = acl[at] | acl[at + 1] << 8;
        const unsigned permissions = (acl[at + 2] | acl[at + 3] << 8) & 6; // read or write
        const uid_t id = uid_t(acl[at + 4] | acl[at + 5] << 8 | acl[at + 6] << 16 | unsigned(acl[at + 7]) << 24);
        if (!permissions || tag == UserObj || tag == Mask)
            continue;
        if (tag == User && id == geteuid())
            continue;
        if (tag == User || tag == GroupObj || tag == Group || tag == Other)
            return true;
    }
    return false;
}

// A secret from a file of its own that only its user can read; one
// trailing line break is not part of it. False, with the reason, when it
// cannot be used.
bool loadSecretFile(const char *option, const std::string &path, size_t maxBytes, std::string *secret,
                    std::string *error)
{
    const std::string what = std::string(option) + " '" + path + "'";
    // Not blocking: a FIFO (or a device) put in the file's place would hold
    // the signal thread in open() until someone writes to it, SIGTERM too.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = std::string("cannot read ") + option + " '" + path + "': " + std::strerror(errno);
        return false;
    }
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *error = what + " is not a regular file";
        return false;
    }
    // Another user could change the file, or already knows what it holds.
    // root may own it: systemd hands credentials over as root's files with
    // an ACL entry for the service, and root can read every file anyway.
    if (info.st_uid != geteuid() && info.st_uid != 0) {
        close(fd);
        *error = what + " belongs to another user (uid " + std::to_string(info.st_uid)
                + "); it must be this service's user's (chown it)";
        return false;
    }
    if (sharedWithOthers(path.c_str(), info)) {
        close(fd);
        *error = what + " can be read or changed by group or others (chmod 600 it)";
        return false;
    }
    std::string text(maxBytes + 1, '\0');
    size_t got = 0;
    ssize_t n = 0;
    while (got < text.size() && (n = read(fd, text.data() + got, text.size() - got)) > 0)
        got += size_t(n);
    close(fd);
    if (n < 0 || got > maxBytes) {
        *error = what + " cannot be read or is over " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    text.resize(got);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty()) {
        *error = what + " is empty";
        return false;
    }
    *secret = std::move(text);
    return true;
}

std::string readSecretFile(const char *option, const char *path)
{
    std::string secret, error;
    if (!loadSecretFile(option, path, 4096, &secret, &error))
        fail(error);
    return secret;
}

// A secret given as an argument: kept, wiped from the process's command
// line (which ps shows), and warned about. closeWipedGaps() then hides how
// long it was.
std::string secretArgument(const char *option, char *value, Options &o)
{
    std::string secret = value;
    std::memset(value, 0, secret.size());
    o.warnings.push_back(std::string("warning: ") + option
                         + " on the command line can be seen by other users; use " + option
                         + "-file or the environment");
    return secret;
}

// A wiped secret is a run of NULs that ps shows as as many blanks: the
// arguments after it move up over it and the freed bytes go to the end,
// where ps shows nothing. A wiped value stays an empty argument.
void closeWipedGaps(int argc, char **argv)
{
    std::vector<int> order(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i)
        order[size_t(i)] = i;
    std::sort(order.begin(), order.end(), [argv](int a, int b) { return std::less<char *>()(argv[a], argv[b]); });
    char *const last = argv[order.back()];
    char *const end = last + std::strlen(last) + 1;
    char *to = argv[order.front()];
    for (const int i : order) {
        const size_t size = std::strlen(argv[i]) + 1;
        std::memmove(to, argv[i], size);
        argv[i] = to;
        to += size;
    }
    std::memset(to, 0, size_t(end - to));
}

void address(const char *option, const std::string &value, std::string *host, int *port)
{
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0)
        fail(std::string(option) + " wants HOST:PORT, not '" + value + "'");
    *host = value.substr(0, colon);
    if (host->size() > 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    *port = int(number((std::string(option) + " port").c_str(), value.c_str() + colon + 1, 0, 65535));
}

Options parseOptions(int argc, char **argv)
{
    Options o;
    o.apiKey = environment("VIRELTO_OCR_API_KEY");
    o.secretKey = environment("VIRELTO_OCR_SECRET_KEY");
    o.tokenKey = environment("VIRELTO_OCR_TOKEN_KEY");
    o.workers = ocrserver::usableCores();

    enum { Listen = 1, AdminListen, ClientsFile, LogFormatOption, ApiKey, ApiKeyFile, SecretKey, SecretKeyFile, TokenKey, TokenKeyFile, TokenTtl, Lang,
           Workers, Cores, Queue, RecognizeTimeout, WorkerMemory, Qps, MaxBody, MaxConnections, BodyGrace, BodyTimeout,
           MaxBufferedBodies, ShutdownGrace, TlsCert, TlsKey,
           Engine, Models, Help, ShowVersion };
    static const option longOptions[] = {
        {"listen", required_argument, nullptr, Listen},
        {"admin-listen", required_argument, nullptr, AdminListen},
        {"clients-file", required_argument, nullptr, ClientsFile},
        {"log-format", required_argument, nullptr, LogFormatOption},
        {"api-key", required_argument, nullptr, ApiKey},
        {"api-key-file", required_argument, nullptr, ApiKeyFile},
        {"secret-key", required_argument, nullptr, SecretKey},
        {"secret-key-file", required_argument, nullptr, SecretKeyFile},
        {"token-key", required_argument, nullptr, TokenKey},
        {"token-key-file", required_argument, nullptr, TokenKeyFile},
        {"token-ttl", required_argument, nullptr, TokenTtl},
        {"lang", required_argument, nullptr, Lang},
        {"workers", required_argument, nullptr, Workers},
        {"cores", required_argument, nullptr, Cores},
        {"queue", required_argument, nullptr, Queue},
        {"recognize-timeout", required_argument, nullptr, RecognizeTimeout},
        {"worker-memory", required_argument, nullptr, WorkerMemory},
        {"qps", required_argument, nullptr, Qps},
        {"max-body", required_argument, nullptr, MaxBody},
        {"max-connections", required_argument, nullptr, MaxConnections},
        {"body-grace", required_argument, nullptr, BodyGrace},
        {"body-timeout", required_argument, nullptr, BodyTimeout},
        {"max-buffered-bodies", required_argument, nullptr, MaxBufferedBodies},
        {"shutdown-grace", required_argument, nullptr, ShutdownGrace},
        {"tls-cert", required_argument, nullptr, TlsCert},
        {"tls-key", required_argument, nullptr, TlsKey},
        {"engine", required_argument, nullptr, Engine},
        {"models", required_argument, nullptr, Models},
        {"help", no_argument, nullptr, Help},
        {"version", no_argument, nullptr, ShowVersion},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        switch (c) {
        case Listen: address("--listen", optarg, &o.host, &o.port); break;
        case AdminListen: address("--admin-listen", optarg, &o.adminHost, &o.adminPort); break;
        case ClientsFile: o.clientsFile = optarg; break;
        case LogFormatOption:
            if (std::strcmp(optarg, "text") == 0)
                o.logFormat = ocrserver::http::LogFormat::Text;
            else if (std::strcmp(optarg, "json") == 0)
                o.logFormat = ocrserver::http::LogFormat::Json;
            else
                fail(std::string("--log-format wants text or json, not '") + optarg + "'");
            break;
        case ApiKey: o.apiKey = secretArgument("--api-key", optarg, o); o.singleKeyOption = true; break;
        case ApiKeyFile:
            o.apiKey = readSecretFile("--api-key-file", optarg);
            o.apiKeyFile = optarg;
            o.singleKeyOption = true;
            break;
        case SecretKey: o.secretKey = secretArgument("--secret-key", optarg, o); o.singleKeyOption = true; break;
        case SecretKeyFile:
            o.secretKey = readSecretFile("--secret-key-file", optarg);
            o.secretKeyFile = optarg;
            o.singleKeyOption = true;
            break;
        case TokenKey: o.tokenKey = secretArgument("--token-key", optarg, o); o.tokenKeyFile.clear(); break;
        case TokenKeyFile: o.tokenKeyFile = optarg; o.tokenKey.clear(); break;
        case TokenTtl: o.tokenTtl = number("--token-ttl", optarg, 1, ocrserver::TokenSigner::MaxTtl); break;
        case Lang: o.language = optarg; break;
        case Engine:
            if (std::strcmp(optarg, "auto") == 0)
                o.reader = ocrserver::ReaderChoice::Auto;
            else if (std::strcmp(optarg, "tesseract") == 0)
                o.reader = ocrserver::ReaderChoice::Tesseract;
            else
                fail(std::string("--engine wants auto or tesseract, not '") + optarg + "'");
            break;
        case Models: o.models = optarg; break;
        case Workers: o.workers = int(number("--workers", optarg, 1, 256)); break;
        case Cores: o.cores = int(number("--cores", optarg, 1, 256)); break;
        case Queue: o.queueLength = number("--queue", optarg, 0, 100000); break;
        case RecognizeTimeout: o.recognizeTimeout = number("--recognize-timeout", optarg, 1, 3600); break;
        case WorkerMemory: o.workerMemory = number("--worker-memory", optarg, 256, 1 << 20); break;
        case Qps: o.qps = int(number("--qps", optarg, 0, 1000000)); break;
        case MaxBody: o.maxBody = number("--max-body", optarg, 1024, 1LL << 30); break;
        case MaxConnections: o.maxConnections = number("--max-connections", optarg, 1, 1000000); break;
        case BodyGrace: o.bodyGrace = number("--body-grace", optarg, 1, 3600); break;
        case BodyTimeout: o.bodyTimeout = number("--body-timeout", optarg, 1, 3600); break;
        case MaxBufferedBodies: o.maxBufferedBodies = number("--max-buffered-bodies", optarg, 1024, 1LL << 40); break;
        case ShutdownGrace: o.shutdownGrace = number("--shutdown-grace", optarg, 0, 3600); break;
        case TlsCert: o.tlsCert = optarg; break;
        case TlsKey: o.tlsKey = optarg; break;
        case Help: std::fputs(Usage, stdout); std::exit(0);
        case ShowVersion: std::printf("virelto-ocr-server %s\n", Version); std::exit(0);
        default: fail(std::string("unknown option '") + argv[optind - 1] + "' (see --help)");
        }
    }
    if (optind < argc)
        fail(std::string("unexpected argument '") + argv[optind] + "' (see --help)");
    if (!o.warnings.empty())
        closeWipedGaps(argc, argv);
    if (!o.clientsFile.empty() && o.singleKeyOption)
        fail("give either --clients-file or --api-key and --secret-key, not both");
    if (o.clientsFile.empty() && (o.apiKey.empty() || o.secretKey.empty()))
        fail("no credentials: give --clients-file, or --api-key-file and --secret-key-file (or VIRELTO_OCR_API_KEY and VIRELTO_OCR_SECRET_KEY)");
    if (!o.tokenKey.empty() && o.tokenKey.size() < ocrserver::TokenSigner::MinKeyLength)
        fail("the token key must be at least 32 bytes (openssl rand -hex 32 makes one)");
    if (o.tokenKey.empty() && o.tokenKeyFile.empty())
        o.tokenKey = ocrserver::TokenSigner::randomKey();
    if (o.adminPort >= 0 && o.adminHost == o.host && o.adminPort == o.port && o.port != 0)
        fail("--admin-listen must not be the --listen address");
    if (o.tlsCert.empty() != o.tlsKey.empty())
        fail("--tls-cert and --tls-key go together");
    if (o.queueLength < 0)
        o.queueLength = 4LL * o.workers;
    return o;
}

// The clients and token keys as the options and the secret files give them
// now; null, with the reason, when a file cannot be used.
std::shared_ptr<const ocrserver::Keyring> loadKeyring(const Options &o, std::string *error)
{
    std::vector<ocrserver::Client> clients;
    if (!o.clientsFile.empty()) {
        std::string text;
        if (!loadSecretFile("--clients-file", o.clientsFile, 1 << 20, &text, error))
            return nullptr;
        if (!ocrserver::parseClients(text, &clients, error)) {
            *error = "--clients-file '" + o.clientsFile + "': " + *error;
            return nullptr;
        }
    } else {
        // The single-key options are a clients file of one line.
        ocrserver::Client single{"default", o.apiKey, o.secretKey, 0};
        if (!o.apiKeyFile.empty() && !loadSecretFile("--api-key-file", o.apiKeyFile, 4096, &single.apiKey, error))
            return nullptr;
        if (!o.secretKeyFile.empty()
            && !loadSecretFile("--secret-key-file", o.secretKeyFile, 4096, &single.secretKey, error)) {
            return nullptr;
        }
        clients.push_back(std::move(single));
    }
    std::vector<std::string> keys;
    if (!o.tokenKeyFile.empty()) {
        std::string text;
        if (!loadSecretFile("--token-key-file", o.tokenKeyFile, 64 * 1024, &text, error))
            return nullptr;
        if (!ocrserver::parseTokenKeys(text, &keys, error)) {
            *error = "--token-key-file '" + o.tokenKeyFile + "': " + *error;
            return nullptr;
        }
    } else {
        keys.push_back(o.tokenKey);
    }
    try {
        return std::make_shared<const ocrserver::Keyring>(std::move(clients),
                                                          ocrserver::TokenSigner(std::move(keys), o.tokenTtl));
    } catch (const std::exception &e) {
        *error = e.what();
        return nullptr;
    }
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

// The line models given, or those beside the binary (a build tree), or the
// installed ones.
std::string modelsFolder(const std::string &given)
{
    if (!given.empty())
        return given;
    std::string self(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n > 0) {
        self.resize(size_t(n));
        const std::string beside = self.substr(0, self.rfind('/') + 1) + "models";
        if (access((beside + "/det.onnx").c_str(), R_OK) == 0)
            return beside;
    }
    return VIRELTO_MODELS_DIR;
}

// Every connection is a descriptor: make room for the allowed number.
void raiseDescriptorLimit(long long connections)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = rlim_t(connections) + 64;
    if (limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

sigset_t stopAndReloadSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

// Stop and reload signals wait in the kernel until the server asks for
// them, from before the libraries' initialisers (OpenCV's and Tesseract's
// take milliseconds) and across the restart below: none is lost. The
// executable's .preinit_array runs before any shared library's
// initialisers; only the dynamic loader's mapping comes earlier.
void blockStopAndReloadSignals(int, char **, char **)
{
    const sigset_t signals = stopAndReloadSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

[[gnu::used, gnu::section(".preinit_array")]] void (*const blockSignalsFirst)(int, char **, char **)
        = blockStopAndReloadSignals;

} // namespace

int main(int argc, char **argv)
{
    sigset_t signals = stopAndReloadSignals();
    // The service starts its own worker processes from its own binary;
    // they take signals as any program does.
    if (argc > 1 && std::strcmp(argv[1], "--worker-process") == 0) {
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        return ocrserver::workerProcessMain(argc, argv);
    }
    signal(SIGPIPE, SIG_IGN);

    limitOpenMpThreads(argv);
    Options options = parseOptions(argc, argv);
    raiseDescriptorLimit(options.maxConnections);
    std::string error;
    std::shared_ptr<const ocrserver::Keyring> keyring = loadKeyring(options, &error);
    if (!keyring)
        fail(error);

    // Up before the engines load, so that an orchestrator sees a live
    // process that is not ready yet.
    ocrserver::AdminService admin(Version);
    std::unique_ptr<ocrserver::http::HttpServer> adminServer;
    if (options.adminPort >= 0) {
        ocrserver::http::Limits adminLimits;
        adminLimits.maxConnections = 64;
        // Probes and scrapes ask at once: idle connections go soon, and
        // beyond the cap a head is still read, so that /livez answers.
        adminLimits.headTimeout = std::chrono::seconds(2);
        adminLimits.idleTimeout = std::chrono::seconds(2);
        adminLimits.readHeadWhenOverloaded = true;
        adminLimits.log = ocrserver::http::LogFormat::None; // a scrape a second would drown the requests
        try {
            adminServer = std::make_unique<ocrserver::http::HttpServer>(
                    options.adminHost, std::uint16_t(options.adminPort), ocrserver::http::TlsFiles{}, adminLimits,
                    admin);
        } catch (const std::exception &e) {
            fail(std::string("--admin-listen: ") + e.what());
        }
        adminServer->start(1);
        const bool ipv6 = options.adminHost.find(':') != std::string::npos;
        std::fprintf(stderr, "virelto-ocr-server admin endpoints at http://%s%s%s:%d (/livez, /readyz, /metrics)\n",
                     ipv6 ? "[" : "", options.adminHost.c_str(), ipv6 ? "]" : "", int(adminServer->port()));
        std::fflush(stderr);
    }

    std::unique_ptr<ocrserver::OcrEngine> engine;
    try {
        ocrserver::EngineOptions engineOptions;
        engineOptions.workers = options.workers;
        engineOptions.cores = options.cores;
        engineOptions.queueLength = size_t(options.queueLength);
        engineOptions.deadline = std::chrono::seconds(options.recognizeTimeout);
        engineOptions.workerProgram = "/proc/self/exe";
        engineOptions.workerMemory = std::size_t(options.workerMemory) << 20;
        engineOptions.reader = options.reader;
        if (options.reader == ocrserver::ReaderChoice::Auto)
            engineOptions.lineModels = modelsFolder(options.models);
        engine = std::make_unique<ocrserver::OcrEngine>(options.language, engineOptions);
    } catch (const std::exception &e) {
        // The worker processes say which cause is theirs (models, sandbox).
        fail(e.what());
    }

    ocrserver::ServiceLimits limits;
    limits.maxBody = size_t(options.maxBody);
    limits.qps = options.qps;
    ocrserver::OcrService service(keyring, *engine, limits);
    keyring.reset();

    ocrserver::http::Limits httpLimits;
    httpLimits.maxConnections = size_t(options.maxConnections);
    httpLimits.bodyGrace = std::chrono::seconds(options.bodyGrace);
    httpLimits.bodyTimeout = std::chrono::seconds(options.bodyTimeout);
    httpLimits.maxBufferedBodies = size_t(options.maxBufferedBodies);
    httpLimits.log = options.logFormat;
    std::unique_ptr<ocrserver::http::HttpServer> server;
    try {
        server = std::make_unique<ocrserver::http::HttpServer>(options.host, std::uint16_t(options.port),
                                                               ocrserver::http::TlsFiles{options.tlsCert, options.tlsKey},
                                                               httpLimits, service);
    } catch (const std::exception &e) {
        // The spare's thread must not be starting a worker while exit()
        // takes the process apart.
        engine->stop();
        fail(e.what());
    }

    for (const auto &warning : options.warnings)
        std::fprintf(stderr, "virelto-ocr-server: %s\n", warning.c_str());
    const bool ipv6 = options.host.find(':') != std::string::npos;
    std::fprintf(stderr, "virelto-ocr-server %s listening on %s://%s%s%s:%d (workers %d, cores %d, lang %s, engine %s)\n",
                 Version, server->tls() ? "https" : "http", ipv6 ? "[" : "", options.host.c_str(), ipv6 ? "]" : "",
                 int(server->port()), engine->workers(), engine->cores(), options.language.c_str(),
                 options.reader == ocrserver::ReaderChoice::Auto ? "auto" : "tesseract");
    std::fflush(stderr);

    // The HTTP threads inherit the blocked signals; only this one takes them.
    server->start(2);
    admin.attach(*engine, service, *server);
    int received = 0;
    for (;;) {
        sigwait(&signals, &received);
        if (received != SIGHUP)
            break;
        // New clients and token keys for the requests from now on; nothing
        // under way is dropped. A file that cannot be used changes nothing.
        if (auto reloaded = loadKeyring(options, &error)) {
            std::fprintf(stderr, "virelto-ocr-server reloaded: %zu clients, %zu token keys\n",
                         reloaded->clients().size(), reloaded->signer().keyCount());
            service.setKeyring(std::move(reloaded));
            admin.noteReload(true);
        } else {
            std::fprintf(stderr, "virelto-ocr-server reload refused, the settings stay as they were: %s\n",
                         error.c_str());
            admin.noteReload(false);
        }
        std::fflush(stderr);
    }
    std::fprintf(stderr, "virelto-ocr-server stopping (%s)\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    admin.setState(ocrserver::AdminService::State::Stopping);
    server->stopAccepting();
    // Recognitions that have not started never will: error 2 now, not a
    // closed connection at the grace.
    engine->closeQueue();
    server->waitIdle(std::chrono::seconds(options.shutdownGrace));
    // Those still running end with error 282000, and their answers are
    // written before the connections go.
    engine->stop();
    server->shutdown(std::chrono::seconds(1));
    server.reset();
    if (adminServer)
        adminServer->shutdown(std::chrono::milliseconds(0));
    std::fprintf(stderr, "virelto-ocr-server stopped\n");
    return 0;
}
