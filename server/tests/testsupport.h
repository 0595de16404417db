// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TESTS_TESTSUPPORT_H
#define VIRELTO_SERVER_TESTS_TESTSUPPORT_H

#include "textscore.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// What the service's tests and benchmark share: files and fixtures, the
// request encodings clients use, text scoring, and waiting for a process.

std::string readFile(const std::string &path);
std::string fixture(const std::string &name); // a file of tests/fixtures
std::vector<std::string> fixtureLines(const std::string &name); // its non-empty lines

std::string base64(const std::string &data);
// Everything but the unreserved characters escaped, as the client and the
// vendor's SDKs do.
std::string formValue(const std::string &value);
// A recognition request body: the image's Base64 as a form field, then extra.
std::string imageForm(const std::string &imageBytes, const std::string &extra = {});

// A PDF of these objects, the first the catalog; `trailer` adds to the trailer.
std::string pdfFromObjects(const std::vector<std::string> &objects, const std::string &trailer = {});

std::string hmacSha256Hex(const std::string &key, const std::string &data);

// Waits at most `limit` for the child to end: its exit status (128 + signal
// when killed), or -1 while it still runs.
int waitForExit(pid_t pid, std::chrono::milliseconds limit);

#endif
