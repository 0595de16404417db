// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TESTS_TEXTSCORE_H
#define VIRELTO_SERVER_TESTS_TEXTSCORE_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

// How close recognised text comes to the expected text, scored the same way
// by the service's tests, its benchmark and the program's walkthrough.

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

// Share of matching characters (code points of UTF-8 lines), line by line in
// order; a missing or extra line scores 0 (1.0: identical). With `fold`,
// each line is compared as characterErrors compares text: NFKC, no white space.
double lineSimilarity(const std::vector<std::string> &expected, const std::vector<std::string> &actual,
                      bool fold = false);

// Errors as OCR of Chinese is scored: all lines together, NFKC (full-width
// and half-width colons or digits are the same character), white space
// ignored; `edits` out of the expected `length` characters.
struct CharacterErrors
{
    size_t edits = 0;
    size_t length = 0;

    double rate() const { return length ? double(edits) / double(length) : double(edits); }
};
CharacterErrors characterErrors(const std::vector<std::string> &expected, const std::vector<std::string> &actual);

// The same characters counted whatever their order (a page read in another
// line order, or columns joined): edits are the characters missing or extra,
// whichever are more.
CharacterErrors orderFreeErrors(const std::vector<std::string> &expected, const std::vector<std::string> &actual);

// Errors in words, as a person who copies the text sees them: the lines
// joined with spaces, NFKC, split at white space; words run together or
// split apart are errors. `length` is the expected word count.
CharacterErrors wordErrors(const std::vector<std::string> &expected, const std::vector<std::string> &actual);

#endif
