// SPDX-License-Identifier: MIT
// Recognition cost through the HTTP service against the engine called
// directly, throughput by worker count, and memory over many requests.
#include "engine/ocrengine.h"
#include "engine/pagereader.h"
#include "engine/pageworker.h"
#include "engine/workerprocess.h"
#include "serverprocess.h"
#include "testsupport.h"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

namespace {

const char *const Fixtures[] = {"clean.png", "serif.png", "small.png", "photo.jpg"};

struct Service
{
    explicit Service(int workers, std::vector<std::string> extra = {})
    {
        extra.insert(extra.begin(), {"--workers", std::to_string(workers)});
        process = std::make_unique<ServerProcess>(defaultServerArguments(extra));
        httplib::Client c("127.0.0.1", process->port());
        auto reply = c.Post("/oauth/2.0/token?grant_type=client_credentials&client_id=test-key&client_secret=test-secret");
        const std::string body = reply ? reply->body : "";
        const size_t start = body.find("\"access_token\":\"") + 16;
        token = body.substr(start, body.find('"', start) - start);
    }
    std::unique_ptr<ServerProcess> process;
    std::string token;
};

bool postImage(httplib::Client &client, const Service &service, const std::string &body)
{
    auto reply = client.Post("/rest/2.0/ocr/v1/accurate_basic?access_token=" + service.token, body,
                             "application/x-www-form-urlencoded");
    return reply && reply->status == 200 && reply->body.find("\"words_result\"") != std::string::npos;
}

void DirectEngine(benchmark::State &state)
{
    // As the service reads English: with the line models.
    static ocrserver::OcrEngine engine("eng", [] {
        ocrserver::EngineOptions options;
        options.workerProgram = OCR_SERVER_BINARY;
        options.lineModels = MODELS_DIR;
        return options;
    }());
    ocrserver::RecognitionJob job;
    job.image = fixture(Fixtures[state.range(0)]);
    job.language = "eng";
    for (auto _ : state)
        benchmark::DoNotOptimize(engine.recognize(job));
    state.SetLabel(Fixtures[state.range(0)]);
}

// The default language (Chinese and English, English-first) and English
// alone, as the direct call reads.
void ThroughHttp(benchmark::State &state)
{
    static Service service(1);
    const bool english = state.range(1) != 0;
    const std::string body = imageForm(fixture(Fixtures[state.range(0)])) + (english ? "&language_type=ENG" : "");
    httplib::Client client("127.0.0.1", service.process->port());
    for (auto _ : state) {
        if (!postImage(client, service, body))
            state.SkipWithError("request failed");
    }
    state.SetLabel(std::string(Fixtures[state.range(0)]) + (english ? " ENG" : " default"));
}

// Two clients, each sending requests back to back, against 1 or 2 workers.
void TwoClients(benchmark::State &state)
{
    Service service(int(state.range(0)));
    const std::string body = imageForm(fixture("clean.png"));
    const int perClient = 8;
    for (auto _ : state) {
        std::vector<std::thread> clients;
        for (int c = 0; c < 2; ++c) {
            clients.emplace_back([&] {
                httplib::Client client("127.0.0.1", service.process->port());
                for (int i = 0; i < perClient; ++i)
                    postImage(client, service, body);
            });
        }
        for (auto &t : clients)
            t.join();
    }
    state.SetItemsProcessed(state.iterations() * 2 * perClient);
    state.SetLabel("workers " + std::to_string(state.range(0)));
}

BENCHMARK(DirectEngine)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(ThroughHttp)->ArgsProduct({{0, 1, 2, 3}, {1, 0}})->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();
BENCHMARK(TwoClients)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

long residentKb(pid_t pid, const char *field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::strlen(field)));
    }
    return -1;
}

// The server's resident memory while it answers `count` requests.
int measureMemory(int count)
{
    Service service(2);
    const std::string body = imageForm(fixture("small.png"));
    std::atomic<int> done{0};
    std::vector<std::thread> clients;
    std::cout << "requests,rss_kb,peak_rss_kb\n";
    for (int c = 0; c < 2; ++c) {
        clients.emplace_back([&] {
            httplib::Client client("127.0.0.1", service.process->port());
            while (done.fetch_add(1) < count)
                postImage(client, service, body);
        });
    }
    int reported = 0;
    while (reported < count) {
        const int now = std::min(done.load(), count);
        if (now >= reported + count / 10 || now == count) {
            reported = now;
            std::cout << reported << ',' << residentKb(service.process->pid(), "VmRSS:") << ','
                      << residentKb(service.process->pid(), "VmHWM:") << std::endl;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto &t : clients)
        t.join();
    return 0;
}

int openConnection(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// Latency of token and OCR requests from 8 keep-alive clients, alone and
// beside `idle` idle and `slow` slowloris connections; the server's memory
// per thousand idle connections.
int measureCrowd(int idle, int slow)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    Service service(2, {"--max-connections", std::to_string(idle + slow + 64)});
    const int port = service.process->port();
    const std::string body = imageForm(fixture("small.png"));
    const auto run = [&](const char *label) {
        std::mutex mutex;
        std::vector<double> token, ocr;
        std::vector<std::thread> clients;
        for (int c = 0; c < 8; ++c) {
            clients.emplace_back([&] {
                httplib::Client client("127.0.0.1", port);
                client.set_keep_alive(true);
                for (int i = 0; i < 25; ++i) {
                    auto start = std::chrono::steady_clock::now();
                    auto t = client.Post("/oauth/2.0/token?grant_type=client_credentials&client_id=test-key"
                                         "&client_secret=test-secret");
                    const double tokenMs = std::chrono::duration<double, std::milli>(
                                                   std::chrono::steady_clock::now() - start).count();
                    start = std::chrono::steady_clock::now();
                    const bool ok = postImage(client, service, body);
                    const double ocrMs = std::chrono::duration<double, std::milli>(
                                                 std::chrono::steady_clock::now() - start).count();
                    std::lock_guard<std::mutex> lock(mutex);
                    if (t && t->status == 200)
                        token.push_back(tokenMs);
                    if (ok)
                        ocr.push_back(ocrMs);
                }
            });
        }
        for (auto &t : clients)
            t.join();
        std::cout << label << ",token," << token.size() << ',' << percentile(token, 0.5) << ','
                  << percentile(token, 0.99) << '\n'
                  << label << ",ocr," << ocr.size() << ',' << percentile(ocr, 0.5) << ','
                  << percentile(ocr, 0.99) << std::endl;
    };

    std::cout << "setting,request,answered,p50_ms,p99_ms\n";
    run("alone");

    const long before = residentKb(service.process->pid(), "VmRSS:");
    std::vector<int> idleFds, slowFds;
    for (int i = 0; i < idle; ++i)
        idleFds.push_back(openConnection(port));
    for (int i = 0; i < slow; ++i) {
        slowFds.push_back(openConnection(port));
        send(slowFds.back(), "POST /oauth/2.0/token?", 22, MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // let the server take them all
    const long after = residentKb(service.process->pid(), "VmRSS:");
    std::atomic<bool> trickle{true};
    std::thread trickler([&] {
        while (trickle) {
            for (int fd : slowFds)
                send(fd, "a", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    run("crowd");
    trickle = false;
    trickler.join();
    std::cout << "idle_connections," << idle << ",rss_kb_per_1000," << (after - before) * 1000 / std::max(1, idle + slow)
              << std::endl;
    for (int fd : idleFds)
        close(fd);
    for (int fd : slowFds)
        close(fd);
    return 0;
}

// What the process boundary costs a request: the same page read in-process
// (as the pool's threads used to), through a worker process, and over HTTP;
// p50 and p99 of `rounds` requests each. Then what starting a worker process
// costs (after a kill), and its memory.
int measureBoundary(int rounds)
{
    ocrserver::EngineOptions options;
    options.workerProgram = OCR_SERVER_BINARY;
    options.lineModels = MODELS_DIR;
    ocrserver::PageWorker inProcess("eng", options);
    ocrserver::OcrEngine engine("eng", options);
    Service service(1);
    httplib::Client client("127.0.0.1", service.process->port());
    client.set_keep_alive(true);
    const auto timed = [](auto &&call) {
        const auto start = std::chrono::steady_clock::now();
        call();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    std::cout << "image,path,p50_ms,p99_ms\n";
    for (const char *name : Fixtures) {
        ocrserver::RecognitionJob job;
        job.image = fixture(name);
        job.language = "eng";
        const std::string body = imageForm(job.image) + "&language_type=ENG";
        std::vector<double> direct, process, http;
        // Interleaved, so that the machine's moods fall on all three alike.
        for (int i = 0; i < rounds; ++i) {
            direct.push_back(timed([&] {
                inProcess.read(job, ocrserver::ReadingStop{nullptr, nullptr,
                                                           std::chrono::steady_clock::now() + std::chrono::minutes(1)});
            }));
            process.push_back(timed([&] { engine.recognize(job); }));
            http.push_back(timed([&] { postImage(client, service, body); }));
        }
        for (const auto &[path, values] : {std::pair{"thread", &direct}, {"process", &process}, {"http", &http}})
            std::cout << name << ',' << path << ',' << percentile(*values, 0.5) << ',' << percentile(*values, 0.99)
                      << '\n';
    }
    std::vector<double> starts;
    long peakKb = 0;
    for (int i = 0; i < 5; ++i) {
        ocrserver::WorkerProcess worker({OCR_SERVER_BINARY, "chi_sim+eng", options});
        std::string error;
        std::atomic<bool> never{false};
        if (!worker.waitReady(std::chrono::steady_clock::now() + std::chrono::minutes(2), never, &error)) {
            std::cerr << "worker process: " << error << '\n';
            return 1;
        }
        starts.push_back(std::chrono::duration<double, std::milli>(worker.startup()).count());
        if (i == 0) {
            ocrserver::RecognitionJob job;
            job.image = fixture("photo.jpg");
            job.language = "chi_sim+eng";
            std::string ending;
            bool untouched = false;
            worker.read(job, ocrserver::ReadingStop{nullptr, nullptr, std::chrono::steady_clock::now() + std::chrono::minutes(1)},
                        &ending, &untouched);
            peakKb = residentKb(worker.pid(), "VmHWM:");
        }
    }
    std::cout << "worker_start,p50_ms," << percentile(starts, 0.5) << ",max_ms," << percentile(starts, 1.0)
              << "\nworker_peak_rss_kb," << peakKb << '\n';
    return 0;
}

// The resident memory of the server and every process under it (its
// workers and the spare), summed.
long treeResidentKb(pid_t root)
{
    std::map<pid_t, pid_t> parents;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        parents[pid_t(std::stol(name))] = parent;
    }
    long total = 0;
    for (const auto &[pid, parent] : parents) {
        pid_t up = pid;
        while (up > 1 && up != root)
            up = parents.count(up) ? parents[up] : 0;
        if (up == root)
            total += std::max(0L, residentKb(pid, "VmRSS:"));
    }
    return total;
}

// A desk's day on the camera photos in `folder`, 2 workers, the pages
// sharing `cores` (0: the service's default): one client sending each photo
// in turn, then 4 clients at once sending all of them; and the peak of the
// service's memory with its workers and spare.
int measureDesk(const std::string &folder, int cores)
{
    std::vector<std::string> bodies;
    std::vector<std::filesystem::path> photos;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".jpg" || entry.path().extension() == ".png")
            photos.push_back(entry.path());
    std::sort(photos.begin(), photos.end());
    for (const auto &photo : photos) {
        std::ifstream in(photo, std::ios::binary);
        bodies.push_back(imageForm(std::string(std::istreambuf_iterator<char>(in), {})));
    }
    if (bodies.empty()) {
        std::cerr << "no photos in " << folder << '\n';
        return 1;
    }
    std::vector<std::string> extra = {"--recognize-timeout", "120"};
    if (cores > 0)
        extra.insert(extra.end(), {"--cores", std::to_string(cores)});
    Service service(2, extra);
    std::atomic<bool> measuring{true};
    std::atomic<long> peak{0};
    std::thread sampler([&] {
        while (measuring) {
            peak = std::max(peak.load(), treeResidentKb(service.process->pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::atomic<int> failed{0};
    httplib::Client warm("127.0.0.1", service.process->port());
    warm.set_read_timeout(std::chrono::minutes(3));
    postImage(warm, service, bodies.front()); // a worker's first page pays for its buffers

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    for (const std::string &body : bodies)
        failed += !postImage(warm, service, body);
    const double oneClient = std::chrono::duration<double>(Clock::now() - started).count();

    const int clients = 4;
    const auto crowdStarted = Clock::now();
    std::vector<std::thread> crowd;
    for (int c = 0; c < clients; ++c) {
        crowd.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", service.process->port());
            client.set_read_timeout(std::chrono::minutes(3));
            for (size_t i = 0; i < bodies.size(); ++i)
                failed += !postImage(client, service, bodies[(i + size_t(c) * bodies.size() / clients) % bodies.size()]);
        });
    }
    for (auto &t : crowd)
        t.join();
    const double crowdSeconds = std::chrono::duration<double>(Clock::now() - crowdStarted).count();
    measuring = false;
    sampler.join();
    std::cout << "cores,pictures,one_client_s,four_clients_per_min,peak_rss_kb,failed,machine_cores\n"
              << cores << ',' << bodies.size() << ',' << oneClient << ','
              << double(clients * bodies.size()) * 60 / crowdSeconds << ',' << peak.load() << ',' << failed.load()
              << ',' << ocrserver::usableCores() << '\n';
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "--desk")
        return measureDesk(argv[2], std::stoi(argv[3]));
    if (argc == 3 && std::string(argv[1]) == "--boundary")
        return measureBoundary(std::stoi(argv[2]));
    if (argc == 3 && std::string(argv[1]) == "--memory")
        return measureMemory(std::stoi(argv[2]));
    if (argc == 4 && std::string(argv[1]) == "--crowd")
        return measureCrowd(std::stoi(argv[2]), std::stoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
