// SPDX-License-Identifier: MIT
// The shipped deployment files, run for real: nginx (deploy/nginx) in front of
// two replicas sharing a token key, and the systemd unit (deploy/systemd)
// through systemd-analyze.
#include "serverprocess.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/rand.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const char TokenPath[] = "/oauth/2.0/token";
const char ApiKey[] = "deploy-test-key";
// The service's default --max-body.
constexpr size_t MaxBody = 11534336;

bool writeFile(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
    return bool(out);
}

std::string randomHex(size_t bytes)
{
    std::string raw(bytes, '\0');
    RAND_bytes(reinterpret_cast<unsigned char *>(raw.data()), int(bytes));
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// The cloud's request signature ("bce-auth-v1"), as its SDKs make it: over
// the method, the path, the query and the headers named, Host included.
std::string bceAuthorization(const std::string &method, const std::string &path,
                             const std::vector<std::pair<std::string, std::string>> &query,
                             const std::vector<std::pair<std::string, std::string>> &headers,
                             const std::string &accessKey, const std::string &secretKey, std::time_t now)
{
    const auto encode = [](const std::string &text, bool keepSlash) {
        std::string out = formValue(text);
        if (keepSlash)
            out = std::regex_replace(out, std::regex("%2F"), "/");
        return out;
    };
    std::vector<std::string> fields, lines, names;
    for (const auto &[key, value] : query)
        fields.push_back(encode(key, false) + "=" + encode(value, false));
    for (const auto &[name, value] : headers) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        lines.push_back(encode(lower, false) + ":" + encode(value, false));
        names.push_back(lower);
    }
    std::sort(fields.begin(), fields.end());
    std::sort(lines.begin(), lines.end());
    std::sort(names.begin(), names.end());
    const auto join = [](const std::vector<std::string> &parts, const char *separator) {
        std::string out;
        for (const std::string &part : parts)
            out += (out.empty() ? "" : separator) + part;
        return out;
    };
    char stamp[32];
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    const std::string prefix = "bce-auth-v1/" + accessKey + "/" + stamp + "/1800";
    const std::string canonical = method + "\n" + encode(path, true) + "\n" + join(fields, "&") + "\n" + join(lines, "\n");
    return prefix + "/" + join(names, ";") + "/" + hmacSha256Hex(hmacSha256Hex(secretKey, prefix), canonical);
}

std::string ocrTarget(const std::string &token)
{
    return std::string(OcrPath) + "?access_token=" + formValue(token);
}

std::string findProgram(const std::string &name, const std::vector<std::string> &directories)
{
    for (const std::string &directory : directories) {
        const std::string path = directory + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

int freeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool accepts(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Runs a program with its output in a file; returns its pid.
pid_t spawnLogged(const std::vector<std::string> &arguments, const std::string &outputFile)
{
    const int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    const pid_t pid = spawnProgram(arguments, {}, fd, true);
    close(fd);
    return pid;
}

int runToEnd(const std::vector<std::string> &arguments, const std::string &outputFile)
{
    const pid_t pid = spawnLogged(arguments, outputFile);
    if (pid < 0)
        return -1;
    const int status = waitForExit(pid, std::chrono::seconds(60));
    if (status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return status;
}

// The shipped site file with the addresses and paths of this machine put in
// place of the examples; everything else is used as shipped. `problem` names
// an example the file no longer has.
struct Site
{
    std::vector<int> replicaPorts;
    int listenPort = 0;
    std::string certificate;
    std::string key;
    std::string logDirectory;
};

std::string localSite(const std::string &shipped, const Site &site, std::string *problem)
{
    static const std::regex upstreamStart(R"(^\s*upstream\s+virelto_ocr\s*\{)");
    static const std::regex upstreamServer(R"(^(\s*server\s+)[^\s;]+(.*;.*)$)");
    static const std::regex listen4(R"(^(\s*listen\s+)443(\s.*)$)");
    static const std::regex listen6(R"(^\s*listen\s+\[::\]:443\s.*$)");
    static const std::regex certificate(R"(^(\s*ssl_certificate\s+)\S+;(.*)$)");
    static const std::regex key(R"(^(\s*ssl_certificate_key\s+)\S+;(.*)$)");
    static const std::regex logPath("/var/log/nginx/");

    std::istringstream in(shipped);
    std::ostringstream out;
    bool inUpstream = false;
    size_t servers = 0, listens = 0, certificates = 0, keys = 0, logs = 0;
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, upstreamStart)) {
            inUpstream = true;
        } else if (inUpstream && line.find('}') != std::string::npos) {
            inUpstream = false;
        } else if (inUpstream && std::regex_match(line, m, upstreamServer)) {
            if (servers < site.replicaPorts.size())
                out << m[1] << "127.0.0.1:" << site.replicaPorts[servers] << m[2] << '\n';
            ++servers;
            continue;
        } else if (std::regex_match(line, m, listen4)) {
            line = m[1].str() + "127.0.0.1:" + std::to_string(site.listenPort) + m[2].str();
            ++listens;
        } else if (std::regex_match(line, listen6)) {
            continue; // loopback IPv4 is enough here
        } else if (std::regex_match(line, m, certificate)) {
            line = m[1].str() + site.certificate + ";" + m[2].str();
            ++certificates;
        } else if (std::regex_match(line, m, key)) {
            line = m[1].str() + site.key + ";" + m[2].str();
            ++keys;
        }
        if (std::regex_search(line, logPath)) {
            line = std::regex_replace(line, logPath, site.logDirectory + "/");
            ++logs;
        }
        out << line << '\n';
    }
    if (servers < site.replicaPorts.size())
        *problem = "fewer upstream servers than replicas";
    else if (listens != 1)
        *problem = "not one 'listen 443' line";
    else if (certificates != 1 || keys != 1)
        *problem = "not one ssl_certificate and one ssl_certificate_key";
    else if (logs < 2)
        *problem = "no access and error log under /var/log/nginx";
    return out.str();
}

// nginx as Debian ships it, unprivileged on a loopback port, with everything
// it writes in one directory.
class Balancer
{
public:
    Balancer(std::string nginx, std::string directory) : m_nginx(std::move(nginx)), m_dir(std::move(directory)) {}
    ~Balancer() { stop(); }

    // Writes the configuration for `site` and starts nginx; "" or what went wrong.
    std::string start(Site site, const std::string &shipped)
    {
        site.logDirectory = m_dir;
        // A port found free can be taken before nginx binds it: try again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            site.listenPort = freeLoopbackPort();
            std::string problem;
            const std::string conf = localSite(shipped, site, &problem);
            if (!problem.empty())
                return "the shipped nginx configuration changed shape: " + problem;
            writeFile(m_dir + "/virelto-ocr.conf", conf);
            writeFile(m_dir + "/nginx.conf", mainConfiguration());
            m_pid = spawnLogged({m_nginx, "-p", m_dir + "/", "-c", m_dir + "/nginx.conf", "-g", "daemon off;"},
                                m_dir + "/nginx.out.log");
            if (m_pid < 0)
                return "cannot run " + m_nginx;
            const auto deadline = Clock::now() + std::chrono::seconds(15);
            while (Clock::now() < deadline) {
                if (accepts(site.listenPort)) {
                    m_port = site.listenPort;
                    return {};
                }
                if (waitForExit(m_pid, std::chrono::milliseconds(50)) >= 0) {
                    m_pid = -1;
                    break;
                }
            }
            stop();
        }
        return "nginx did not start:\n" + readFile(m_dir + "/nginx.out.log");
    }

    void stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        if (waitForExit(m_pid, std::chrono::seconds(15)) < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

    int port() const { return m_port; }

    // Everything nginx wrote, file by file.
    std::vector<std::pair<std::string, std::string>> logs() const
    {
        std::vector<std::pair<std::string, std::string>> files;
        for (const char *name : {"virelto-ocr.access.log", "virelto-ocr.error.log", "main.access.log",
                                 "main.error.log", "nginx.out.log"}) {
            files.emplace_back(name, readFile(m_dir + "/" + name));
        }
        return files;
    }

    std::string log(const std::string &name) const { return readFile(m_dir + "/" + name); }
    std::string accessLog() const { return log("virelto-ocr.access.log"); }

private:
    // What Debian's nginx.conf gives the site file, with its paths here. The
    // http-level log is the combined format, which holds queries: it must
    // stay empty, every request being the site's.
    std::string mainConfiguration() const
    {
        std::string conf = "pid @/nginx.pid;\n"
                           "error_log @/main.error.log info;\n"
                           "worker_processes 2;\n"
                           "events { worker_connections 256; }\n"
                           "http {\n"
                           "    client_body_temp_path @/body;\n"
                           "    proxy_temp_path @/proxy;\n"
                           "    fastcgi_temp_path @/fastcgi;\n"
                           "    uwsgi_temp_path @/uwsgi;\n"
                           "    scgi_temp_path @/scgi;\n"
                           "    access_log @/main.access.log combined;\n"
                           "    include @/virelto-ocr.conf;\n"
                           "}\n";
        return std::regex_replace(conf, std::regex("@"), m_dir);
    }

    std::string m_nginx;
    std::string m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};

class DeployTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string nginx = findProgram("nginx", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
        if (nginx.empty())
            GTEST_SKIP() << "no nginx binary in /usr/sbin, /usr/local/sbin or /usr/bin (Debian package nginx-light)";

        char dir[] = "/tmp/virelto-deployXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        // Run as root, nginx's workers become "nobody" and need to reach their
        // temporary files here.
        chmod(dir, 0755);
        m_secretKey = "secret-" + randomHex(16);
        m_tokenKey = randomHex(32);
        const std::vector<std::string> environment = {
            std::string("VIRELTO_OCR_API_KEY=") + ApiKey, "VIRELTO_OCR_SECRET_KEY=" + m_secretKey,
            "VIRELTO_OCR_TOKEN_KEY=" + m_tokenKey, "OMP_THREAD_LIMIT=1"};
        Site site;
        for (size_t i = 0; i < m_replicas.size(); ++i) {
            auto &replica = m_replicas[i];
            // Each replica's own copy of the shared key, which a run may roll.
            const std::string keyFile = m_dir + "/token-key-" + std::to_string(i);
            std::ofstream(keyFile) << m_tokenKey << '\n';
            chmod(keyFile.c_str(), 0600);
            replica = std::make_unique<ServerProcess>(
                    std::vector<std::string>{"--listen", "127.0.0.1:0", "--workers", "1", "--token-key-file", keyFile},
                    environment);
            ASSERT_TRUE(replica->started()) << replica->log();
            site.replicaPorts.push_back(replica->port());
        }
        site.certificate = std::string(TEST_CERTS_DIR) + "/server.pem";
        site.key = std::string(TEST_CERTS_DIR) + "/server.key";

        m_balancer = std::make_unique<Balancer>(nginx, m_dir);
        const std::string failure = m_balancer->start(site, readFile(DEPLOY_DIR "/nginx/virelto-ocr.conf"));
        ASSERT_EQ(failure, "");
    }

    void TearDown() override
    {
        if (!m_balancer)
            return;
        m_balancer->stop();
        for (auto &replica : m_replicas)
            if (replica)
                replica->stop();

        // Nothing secret in anything nginx or the replicas wrote. The names
        // of the query parameters stand for queries in general.
        std::vector<std::pair<std::string, std::string>> logs = m_balancer->logs();
        for (size_t i = 0; i < m_replicas.size(); ++i)
            if (m_replicas[i])
                logs.emplace_back("replica " + std::to_string(i), m_replicas[i]->log());
        std::vector<std::string> secrets = {m_secretKey, m_tokenKey, "client_secret", "access_token"};
        secrets.insert(secrets.end(), m_tokens.begin(), m_tokens.end());
        for (const auto &[name, text] : logs)
            for (const std::string &secret : secrets)
                EXPECT_EQ(text.find(secret), std::string::npos) << name << " holds '" << secret << "':\n" << text;
        EXPECT_NE(m_balancer->accessLog().find("\"POST /"), std::string::npos) << "the site's access log is not used";
        EXPECT_EQ(m_balancer->log("main.access.log"), "") << "requests logged outside the site's log format";
        std::system(("rm -rf " + m_dir).c_str());
    }

    // A client of the balancer that checks its certificate.
    std::unique_ptr<httplib::SSLClient> client() const
    {
        auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", m_balancer->port());
        c->set_ca_cert_path(TEST_CERTS_DIR "/ca.pem");
        c->enable_server_certificate_verification(true);
        c->set_connection_timeout(10);
        c->set_read_timeout(120);
        c->set_write_timeout(60);
        return c;
    }

    // A token request with the credentials in the query, as the cloud's
    // documentation shows them (the worst case for a log).
    std::string tokenTarget() const
    {
        return std::string(TokenPath) + "?grant_type=client_credentials&client_id=" + ApiKey + "&client_secret="
                + m_secretKey;
    }

    // A token from the balancer.
    std::string grantToken()
    {
        auto reply = client()->Post(tokenTarget());
        if (!reply || reply->status != 200) {
            ADD_FAILURE() << "no token from the balancer: "
                          << (reply ? std::to_string(reply->status) + " " + reply->body
                                    : httplib::to_string(reply.error()));
            return {};
        }
        const std::string token = json::parse(reply->body, nullptr, false).value("access_token", "");
        if (!token.empty())
            m_tokens.push_back(token);
        return token;
    }

    std::string m_dir;
    std::string m_secretKey;
    std::string m_tokenKey;
    std::vector<std::string> m_tokens;
    std::array<std::unique_ptr<ServerProcess>, 2> m_replicas;
    std::unique_ptr<Balancer> m_balancer;
};

// The vendor's SDK in signature mode signs the cloud's host name whatever
// address it sends to, so nginx must pass the Host header on as it came.
TEST_F(DeployTest, SignedRequestReachesAReplicaWithItsHost)
{
    const std::time_t now = std::time(nullptr);
    char date[32];
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", &utc);
    const std::string contentType = "application/x-www-form-urlencoded";
    const std::vector<std::pair<std::string, std::string>> signedHeaders = {
        {"Host", "aip.baidubce.com"}, {"x-bce-date", date}, {"Content-Type", contentType}};
    const std::string authorization = bceAuthorization("POST", OcrPath, {{"aipSdk", "node"}}, signedHeaders, ApiKey,
                                                       m_secretKey, now);
    m_tokens.push_back(authorization.substr(authorization.rfind('/') + 1));

    auto reply = client()->Post(std::string(OcrPath) + "?aipSdk=node",
                                {{"Host", "aip.baidubce.com"}, {"x-bce-date", date}, {"Authorization", authorization}},
                                imageForm(fixture("small.png")), contentType);
    ASSERT_TRUE(reply) << httplib::to_string(reply.error());
    EXPECT_GT(json::parse(reply->body, nullptr, false).value("words_result_num", 0), 0) << reply->body;
}

// The four clients keep both replicas busy (least_conn) with one token from
// the balancer: a replica that did not take the token key from its
// environment would answer 110 to the other's tokens.
TEST_F(DeployTest, ReplicaKilledDuringARunLosesNoRequest)
{
    const std::string token = grantToken();
    ASSERT_FALSE(token.empty());
    const std::string body = imageForm(fixture("small.png"));
    auto reference = client()->Post(ocrTarget(token), body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(reference && reference->status == 200);
    const json expected = json::parse(reference->body, nullptr, false).value("words_result", json());
    ASSERT_TRUE(expected.is_array() && !expected.empty()) << reference->body;

    constexpr int Clients = 4, RequestsEach = 10, KillAfter = 6;
    std::atomic<int> answered{0};
    std::mutex mutex;
    std::condition_variable progress;
    std::vector<std::string> failures;
    std::vector<std::thread> clients;
    for (int i = 0; i < Clients; ++i) {
        clients.emplace_back([&] {
            auto c = client();
            for (int n = 0; n < RequestsEach; ++n) {
                auto reply = c->Post(ocrTarget(token), body, "application/x-www-form-urlencoded");
                std::lock_guard<std::mutex> lock(mutex);
                if (!reply)
                    failures.push_back("transport: " + httplib::to_string(reply.error()));
                else if (reply->status != 200
                         || json::parse(reply->body, nullptr, false).value("words_result", json()) != expected)
                    failures.push_back(std::to_string(reply->status) + " " + reply->body);
                ++answered;
                progress.notify_all();
            }
        });
    }
    const auto waitForAnswers = [&](int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return progress.wait_for(lock, std::chrono::seconds(120), [&] { return answered >= count; });
    };
    // The replica that stays rolls to a new token key while the run goes on;
    // the old key still verifies, so the run's token stays good on it.
    EXPECT_TRUE(waitForAnswers(2)) << "no progress before the roll";
    {
        const std::string keyFile = m_dir + "/token-key-1";
        std::ofstream(keyFile + ".new") << randomHex(32) << '\n' << m_tokenKey << '\n';
        chmod((keyFile + ".new").c_str(), 0600);
        std::rename((keyFile + ".new").c_str(), keyFile.c_str());
    }
    kill(m_replicas[1]->pid(), SIGHUP);
    EXPECT_TRUE(m_replicas[1]->waitForLog("reloaded: 1 clients, 2 token keys")) << m_replicas[1]->log();
    EXPECT_TRUE(waitForAnswers(KillAfter)) << "no progress before the kill";
    kill(m_replicas[0]->pid(), SIGKILL);
    for (auto &t : clients)
        t.join(); // each request is bounded by the clients' time-outs

    m_balancer->stop();
    const std::string log = m_balancer->accessLog();
    int retried = 0, logged = 0;
    std::string retriedLines;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(std::string("\"POST ") + OcrPath) == std::string::npos)
            continue;
        ++logged;
        // upstream_status="502, 200": tried on one replica, answered by the next.
        const size_t status = line.find("upstream_status=\"");
        if (status != std::string::npos && line.find(',', status) < line.find('"', status + 17)) {
            ++retried;
            retriedLines += "[ deploy   ] " + line + "\n";
        }
    }
    const int sent = Clients * RequestsEach;
    const int recognised = answered - int(failures.size());
    std::cout << "[ deploy   ] OCR requests sent " << sent << ", answered " << answered << ", recognised "
              << recognised << ", errors " << failures.size() << ", retried on the other replica " << retried
              << " (nginx logged " << logged << " OCR requests)\n"
              << retriedLines << std::flush;
    RecordProperty("sent", sent);
    RecordProperty("recognised", recognised);
    RecordProperty("retried", retried);
    EXPECT_EQ(answered, sent);
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
    // The kill came with requests in flight on that replica (each replica
    // holds about half of the four at any time): some were sent again.
    EXPECT_GE(retried, 1) << log;
}

struct UnavailableCase
{
    const char *name;
    bool tokenRoute;
    int status;
    json expected;
};

void PrintTo(const UnavailableCase &c, std::ostream *out)
{
    *out << c.name;
}

class NoReplicaLeft : public DeployTest, public ::testing::WithParamInterface<UnavailableCase>
{
};

TEST_P(NoReplicaLeft, AnswersInTheRoutesJsonShape)
{
    for (auto &replica : m_replicas) {
        kill(replica->pid(), SIGKILL);
        replica->stop();
    }
    const UnavailableCase &c = GetParam();
    auto reply = c.tokenRoute ? client()->Post(tokenTarget())
                              : client()->Post(ocrTarget("24.some-token"), imageForm("not an image"),
                                              "application/x-www-form-urlencoded");
    ASSERT_TRUE(reply) << httplib::to_string(reply.error());
    EXPECT_EQ(reply->status, c.status);
    EXPECT_EQ(reply->get_header_value("Content-Type"), "application/json;charset=utf-8");
    json body = json::parse(reply->body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << reply->body;
    if (!c.tokenRoute) {
        EXPECT_TRUE(body["log_id"].is_number_unsigned()) << reply->body;
        body.erase("log_id");
    } else {
        EXPECT_FALSE(reply->get_header_value("Retry-After").empty());
    }
    EXPECT_EQ(body, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
        Routes, NoReplicaLeft,
        ::testing::Values(
                UnavailableCase{"Ocr", false, 200,
                                {{"error_code", 2}, {"error_msg", "Service temporarily unavailable"}}},
                UnavailableCase{"Token", true, 503,
                                {{"error", "temporarily_unavailable"},
                                 {"error_description", "Service temporarily unavailable"}}}),
        [](const auto &info) { return std::string(info.param.name); });

TEST_F(DeployTest, BodyLimitIsTheServices)
{
    const std::string token = grantToken();
    ASSERT_FALSE(token.empty());
    // The image, padded by a field the service ignores to the body size wanted.
    const std::string image = imageForm(fixture("small.png")) + "&padding=";
    for (const size_t size : {MaxBody, MaxBody + 1}) {
        SCOPED_TRACE(size);
        auto reply = client()->Post(ocrTarget(token), image + std::string(size - image.size(), 'x'),
                                   "application/x-www-form-urlencoded");
        ASSERT_TRUE(reply) << httplib::to_string(reply.error());
        EXPECT_EQ(reply->status, 200);
        const json body = json::parse(reply->body, nullptr, false);
        if (size <= MaxBody)
            EXPECT_GT(body.value("words_result_num", 0), 0) << reply->body;
        else
            EXPECT_EQ(body.value("error_code", 0), 216202) << reply->body;
    }
}

TEST(DeploySystemd, UnitPassesSystemdAnalyzeVerify)
{
    const std::string analyze = findProgram("systemd-analyze", {"/usr/bin", "/bin"});
    if (analyze.empty())
        GTEST_SKIP() << "no systemd-analyze (Debian package systemd): the unit is not checked";

    // verify also wants ExecStart's program to exist: the built one stands in
    // for /usr/bin's.
    const std::string shipped = readFile(DEPLOY_DIR "/systemd/virelto-ocr-server.service");
    const std::string installed = "ExecStart=/usr/bin/virelto-ocr-server ";
    const size_t at = shipped.find(installed);
    ASSERT_NE(at, std::string::npos) << "the unit no longer starts /usr/bin/virelto-ocr-server";
    ASSERT_EQ(shipped.find(installed, at + 1), std::string::npos);
    std::string unit = shipped;
    unit.replace(at, installed.size(), std::string("ExecStart=") + OCR_SERVER_BINARY + " ");

    char dir[] = "/tmp/virelto-unitXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    ASSERT_TRUE(writeFile(d + "/virelto-ocr-server.service", unit));
    const int status = runToEnd({analyze, "verify", d + "/virelto-ocr-server.service"}, d + "/verify.log");
    const std::string output = readFile(d + "/verify.log");
    std::system(("rm -rf " + d).c_str());
    // Unknown keys and bad values are only warned about: any output is a fault.
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "");
    // Memory for the worker processes the unit starts and their spare, each
    // at --worker-memory's default, and the main process: a worker count changed alone would let
    // the kernel kill the service under load, or leave it no limit that fits.
    std::smatch workers, memory;
    ASSERT_TRUE(std::regex_search(shipped, workers, std::regex(R"(\nEnvironment=VIRELTO_OCR_WORKERS=(\d+)\n)")));
    ASSERT_TRUE(std::regex_search(shipped, memory, std::regex(R"(\nMemoryMax=(\d+)M\n)")));
    EXPECT_EQ(std::stoi(memory[1]), (std::stoi(workers[1]) + 1) * 1536 + 512);
    EXPECT_NE(shipped.find("--workers ${VIRELTO_OCR_WORKERS}"), std::string::npos);
    // The secrets arrive as credentials, never on the command line.
    EXPECT_EQ(shipped.find("--api-key "), std::string::npos);
    EXPECT_EQ(shipped.find("--secret-key "), std::string::npos);
    for (const char *credential : {"api-key", "secret-key", "token-key"}) {
        EXPECT_NE(shipped.find(std::string("LoadCredential=") + credential + ":"), std::string::npos) << credential;
        EXPECT_NE(shipped.find(std::string("-file %d/") + credential), std::string::npos) << credential;
    }
}

// The unit hands the secrets over as systemd credentials. systemd 252 writes
// them to a ramfs as 0400 files owned by the service's user; where the file
// system has ACLs (later versions, or no right to mount), it keeps them
// root's and adds an ACL entry for the service's user, which stat shows as
// 0440. Both must be accepted, and a secret really shared must not be.
enum class Acl { None, ServicesUser, OtherUser };

struct CredentialCase
{
    const char *name;
    mode_t mode;
    Acl acl; // read access for a named user
    bool accepted;
};

void PrintTo(const CredentialCase &c, std::ostream *out)
{
    *out << c.name;
}

// A POSIX access ACL: owner r, one named user r, owning group none, mask r.
bool addReadAcl(const std::string &path, uid_t user)
{
    const auto entry = [](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
        std::string bytes(8, '\0');
        for (int i = 0; i < 2; ++i) {
            bytes[size_t(i)] = char((tag >> (8 * i)) & 0xff);
            bytes[size_t(2 + i)] = char((permissions >> (8 * i)) & 0xff);
        }
        for (int i = 0; i < 4; ++i)
            bytes[size_t(4 + i)] = char((id >> (8 * i)) & 0xff);
        return bytes;
    };
    const std::uint32_t none = 0xffffffff;
    const std::string acl = std::string("\x02\0\0\0", 4) + entry(0x01, 4, none) + entry(0x02, 4, user)
            + entry(0x04, 0, none) + entry(0x10, 4, none) + entry(0x20, 0, none);
    return setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
}

class SystemdCredentials : public ::testing::TestWithParam<CredentialCase>
{
};

TEST_P(SystemdCredentials, AreAcceptedOnlyWhenNoOneElseCanRead)
{
    const CredentialCase &c = GetParam();
    char dir[] = "/tmp/virelto-credsXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    const std::vector<std::pair<std::string, std::string>> credentials = {
        {"api-key", ApiKey}, {"secret-key", "secret-" + randomHex(16)}, {"token-key", randomHex(32)}};
    std::vector<std::string> arguments = {"--listen", "127.0.0.1:0", "--workers", "1"};
    bool aclSupported = true;
    for (const auto &[name, value] : credentials) {
        const std::string path = d + "/" + name;
        ASSERT_TRUE(writeFile(path, value));
        chmod(path.c_str(), c.mode);
        if (c.acl != Acl::None)
            aclSupported = aclSupported && addReadAcl(path, c.acl == Acl::OtherUser ? geteuid() + 1 : geteuid());
        arguments.insert(arguments.end(), {"--" + name + "-file", path});
    }
    if (!aclSupported) {
        std::system(("rm -rf " + d).c_str());
        GTEST_SKIP() << "the file system of /tmp keeps no ACLs";
    }

    if (c.accepted) {
        ServerProcess server(arguments);
        EXPECT_TRUE(server.started()) << server.log();
    } else {
        std::string errors;
        EXPECT_EQ(ServerProcess::run(arguments, &errors), 2) << errors;
        EXPECT_NE(errors.find("group or others"), std::string::npos) << errors;
    }
    std::system(("rm -rf " + d).c_str());
}

INSTANTIATE_TEST_SUITE_P(
        Files, SystemdCredentials,
        ::testing::Values(CredentialCase{"OwnerOnly", 0400, Acl::None, true},
                          CredentialCase{"AclForTheServicesUser", 0400, Acl::ServicesUser, true},
                          CredentialCase{"ReadableByGroup", 0440, Acl::None, false},
                          CredentialCase{"AclForAnotherUser", 0400, Acl::OtherUser, false}),
        [](const auto &info) { return std::string(info.param.name); });

} // namespace
