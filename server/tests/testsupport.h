// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TESTS_TESTSUPPORT_H
#define VIRELTO_SERVER_TESTS_TESTSUPPORT_H

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

// What the service's tests and benchmark share: files and fixtures, the
// request encodings clients use, and waiting for a process.

std::string readFile(const std::string &path);
std::string fixture(const std::string &name); // a file of tests/fixtures
std::vector<std::string> fixtureLines(const std::string &name); // its non-empty lines

std::string base64(const std::string &data);
// Everything but the unreserved characters escaped, as the client and the
// vendor's SDKs do.
std::string formValue(const std::string &value);
// A recognition request body: the image's Base64 as a form field, then extra.
std::string imageForm(const std::string &imageBytes, const std::string &extra = {});

std::string hmacSha256Hex(const std::string &key, const std::string &data);

// Levenshtein distance: insertions, deletions and substitutions.
template<typename Text>
size_t editDistance(const Text &a, const Text &b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Share of matching characters, line by line in order (1.0: identical).
double lineSimilarity(const std::vector<std::string> &expected, const std::vector<std::string> &actual);

// Waits at most `limit` for the child to end: its exit status (128 + signal
// when killed), or -1 while it still runs.
int waitForExit(pid_t pid, std::chrono::milliseconds limit);

#endif
