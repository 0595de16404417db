// SPDX-License-Identifier: MIT
#include "textscore.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <map>

namespace {

// With `fold`: NFKC and white space dropped.
std::u32string codePoints(const std::string &utf8, bool fold)
{
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
    if (fold) {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2 *nfkc = icu::Normalizer2::getNFKCInstance(status);
        if (U_SUCCESS(status))
            text = nfkc->normalize(text, status);
    }
    std::u32string out;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const UChar32 c = text.char32At(i);
        if (!fold || !u_isUWhiteSpace(c))
            out += char32_t(c);
    }
    return out;
}

} // namespace

double lineSimilarity(const std::vector<std::string> &expected, const std::vector<std::string> &actual, bool fold)
{
    const size_t n = std::max(expected.size(), actual.size());
    double sum = 0;
    for (size_t i = 0; i < std::min(expected.size(), actual.size()); ++i) {
        const std::u32string a = codePoints(expected[i], fold);
        const std::u32string b = codePoints(actual[i], fold);
        const size_t longest = std::max(a.size(), b.size());
        sum += longest ? 1.0 - double(editDistance(a, b)) / double(longest) : 1.0;
    }
    return n ? sum / double(n) : 1.0;
}

CharacterErrors characterErrors(const std::vector<std::string> &expected, const std::vector<std::string> &actual)
{
    const auto joined = [](const std::vector<std::string> &lines) {
        std::string all;
        for (const auto &line : lines)
            all += line;
        return codePoints(all, true);
    };
    const std::u32string a = joined(expected);
    const std::u32string b = joined(actual);
    return {editDistance(a, b), a.size()};
}

CharacterErrors orderFreeErrors(const std::vector<std::string> &expected, const std::vector<std::string> &actual)
{
    std::map<char32_t, long> balance;
    size_t length = 0;
    for (const auto &line : expected)
        for (char32_t c : codePoints(line, true)) {
            ++balance[c];
            ++length;
        }
    for (const auto &line : actual)
        for (char32_t c : codePoints(line, true))
            --balance[c];
    size_t missing = 0, extra = 0;
    for (const auto &entry : balance)
        (entry.second > 0 ? missing : extra) += size_t(std::abs(entry.second));
    return {std::max(missing, extra), length};
}

CharacterErrors wordErrors(const std::vector<std::string> &expected, const std::vector<std::string> &actual)
{
    const auto words = [](const std::vector<std::string> &lines) {
        std::string all;
        for (const auto &line : lines)
            all += line + " ";
        std::vector<std::u32string> out;
        std::u32string word;
        icu::UnicodeString text = icu::UnicodeString::fromUTF8(all);
        UErrorCode status = U_ZERO_ERROR;
        if (const icu::Normalizer2 *nfkc = icu::Normalizer2::getNFKCInstance(status); U_SUCCESS(status))
            text = nfkc->normalize(text, status);
        for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
            const UChar32 c = text.char32At(i);
            if (!u_isUWhiteSpace(c)) {
                word += char32_t(c);
            } else if (!word.empty()) {
                out.push_back(word);
                word.clear();
            }
        }
        return out;
    };
    const std::vector<std::u32string> a = words(expected), b = words(actual);
    return {editDistance(a, b), a.size()};
}
