// SPDX-License-Identifier: MIT
// Camera pictures with their true text (NAME.jpg or NAME.png beside
// NAME.txt): character error rate (also regardless of line order), English
// word error rate and time per picture, for each reader,
// English (en_*) and Chinese (zh_*) apart.
//   camera_bench FOLDER [auto|tesseract|cli]...
// auto and tesseract are the service's readers, called in-process with one
// worker; cli is the tesseract command with its defaults (Chinese and
// English), a process per picture. The peak resident memory printed is the
// process's, so run one reader per process to compare them.
#include "engine/ocrengine.h"
#include "testsupport.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void addTo(CharacterErrors &sum, const CharacterErrors &e)
{
    sum.edits += e.edits;
    sum.length += e.length;
}

struct Tally
{
    CharacterErrors errors, orderFree, words;
    double seconds = 0;
    int pictures = 0;
    void add(const Tally &t)
    {
        addTo(errors, t.errors);
        addTo(orderFree, t.orderFree);
        addTo(words, t.words);
        seconds += t.seconds;
        pictures += t.pictures;
    }
};

// The tesseract command's lines for the picture, as a user would run it.
std::vector<std::string> tesseractCommand(const fs::path &picture)
{
    const std::string command = "tesseract '" + picture.string() + "' - -l chi_sim+eng 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()))
        text += buffer;
    return linesOf(text);
}

// CPU time, which a busy machine inflates far less than wall time.
double cpuSeconds(const rusage &r)
{
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: camera_bench FOLDER [--cores N] [auto|tesseract|cli]...\n");
        return 2;
    }
    std::vector<fs::path> pictures;
    for (const auto &entry : fs::directory_iterator(argv[1])) {
        const auto ext = entry.path().extension();
        if ((ext == ".jpg" || ext == ".png") && fs::exists(fs::path(entry.path()).replace_extension(".txt")))
            pictures.push_back(entry.path());
    }
    std::sort(pictures.begin(), pictures.end());
    std::vector<std::string> readers;
    int cores = 0; // the pool's own count
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--cores" && i + 1 < argc)
            cores = std::atoi(argv[++i]);
        else
            readers.push_back(argv[i]);
    }
    if (readers.empty())
        readers = {"auto", "tesseract"};

    for (const std::string &reader : readers) {
        const bool command = reader == "cli";
        ocrserver::EngineOptions options;
        options.workerProgram = OCR_SERVER_BINARY;
        options.deadline = std::chrono::minutes(10);
        options.cores = cores;
        options.reader = reader == "tesseract" ? ocrserver::ReaderChoice::Tesseract : ocrserver::ReaderChoice::Auto;
        if (options.reader == ocrserver::ReaderChoice::Auto)
            options.lineModels = MODELS_DIR;
        std::unique_ptr<ocrserver::OcrEngine> engine;
        if (!command)
            engine = std::make_unique<ocrserver::OcrEngine>("chi_sim+eng", options);
        Tally english, chinese;
        for (const fs::path &picture : pictures) {
            ocrserver::RecognitionJob job;
            job.image = readFile(picture);
            job.language = "chi_sim+eng";
            job.detectDirection = true;
            const auto started = std::chrono::steady_clock::now();
            ocrserver::Recognition result;
            std::vector<std::string> read;
            if (command) {
                read = tesseractCommand(picture);
            } else {
                result = engine->recognize(job);
                for (const auto &line : result.lines)
                    read.push_back(line.text);
            }
            const bool isChinese = picture.filename().string().rfind("zh_", 0) == 0;
            const std::vector<std::string> truth = linesOf(readFile(fs::path(picture).replace_extension(".txt")));
            Tally one;
            one.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            one.pictures = 1;
            one.errors = characterErrors(truth, read);
            one.orderFree = orderFreeErrors(truth, read);
            if (!isChinese)
                one.words = wordErrors(truth, read);
            (isChinese ? chinese : english).add(one);
            char wer[32] = "   -  ";
            if (!isChinese)
                std::snprintf(wer, sizeof wer, "%.3f", one.words.rate());
            std::printf("%-10s %-32s CER %.3f  order-free %.3f  WER %s  %5.2f s  %2zu lines  direction %d\n",
                        reader.c_str(), picture.filename().c_str(), one.errors.rate(), one.orderFree.rate(), wer,
                        one.seconds, result.lines.size(), result.direction);
            if (std::getenv("CAMERA_BENCH_SHOW"))
                for (const auto &line : read)
                    std::printf("    | %s\n", line.c_str());
            std::fflush(stdout);
        }
        Tally all = english;
        all.add(chinese);
        engine.reset(); // its worker processes end, and count among the children
        rusage usage{}, children{};
        getrusage(RUSAGE_SELF, &usage);
        getrusage(RUSAGE_CHILDREN, &children);
        std::printf("%-10s English CER %.3f  Chinese CER %.3f  overall %.3f  order-free %.3f  English WER %.3f  "
                    "mean %.2f s a picture (workers' CPU %.2f s)  peak RSS %ld MiB, of a worker %ld MiB\n",
                    reader.c_str(), english.errors.rate(), chinese.errors.rate(), all.errors.rate(),
                    all.orderFree.rate(), english.words.rate(), all.seconds / std::max(1, all.pictures),
                    cpuSeconds(children) / std::max(1, all.pictures), usage.ru_maxrss / 1024,
                    children.ru_maxrss / 1024);
    }
    return 0;
}
