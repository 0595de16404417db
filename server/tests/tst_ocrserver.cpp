// SPDX-License-Identifier: MIT
#include "serverprocess.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <leptonica/allheaders.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

using nlohmann::json;

namespace {

std::vector<std::string> recognisedLines(const json &reply)
{
    std::vector<std::string> lines;
    for (const auto &entry : reply.value("words_result", json::array()))
        lines.push_back(entry.value("words", ""));
    return lines;
}

std::string pngWithSize(std::uint32_t width, std::uint32_t height)
{
    // A valid signature and IHDR that claims the size; no pixel data follows.
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (std::uint32_t v : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8)
            png += char((v >> shift) & 0xff);
    png += std::string("\x08\x02\0\0\0", 5);
    png += std::string(4, '\0'); // CRC, not checked by the header probe
    return png;
}

// The image in another file format, turned clockwise by quarter turns first.
std::string reencode(const std::string &image, int format, int quarterTurnsClockwise = 0)
{
    PIX *pix = pixReadMem(reinterpret_cast<const l_uint8 *>(image.data()), image.size());
    PIX *turned = pixRotateOrth(pix, quarterTurnsClockwise);
    l_uint8 *data = nullptr;
    size_t size = 0;
    pixWriteMem(&data, &size, turned, format);
    std::string out(reinterpret_cast<char *>(data), size);
    lept_free(data);
    pixDestroy(&turned);
    pixDestroy(&pix);
    return out;
}

// A PDF of the given pages, each page image at `dpi`.
std::string pdfOf(const std::vector<std::string> &images, int dpi)
{
    PIXA *pixa = pixaCreate(int(images.size()));
    for (const std::string &image : images)
        pixaAddPix(pixa, pixReadMem(reinterpret_cast<const l_uint8 *>(image.data()), image.size()), L_INSERT);
    l_uint8 *data = nullptr;
    size_t size = 0;
    pixaConvertToPdfData(pixa, dpi, 1.0, L_FLATE_ENCODE, 0, "fixture", &data, &size);
    std::string pdf(reinterpret_cast<char *>(data), size);
    lept_free(data);
    pixaDestroy(&pixa);
    return pdf;
}

// positions.png, then small.png; at 300 dpi, so that a page rendered at
// 300 dpi has the fixture's own pixels.
const std::string &twoPagePdf()
{
    static const std::string pdf = pdfOf({fixture("positions.png"), fixture("small.png")}, 300);
    return pdf;
}

// One blank page; `encrypted` adds a standard security handler whose user
// password is not the empty one, so the document cannot be opened.
std::string handMadePdf(const std::string &mediaBox, bool encrypted)
{
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [" + mediaBox + "] >>",
    };
    if (!encrypted)
        return pdfFromObjects(objects);
    objects.push_back("<< /Filter /Standard /V 1 /R 2 /P -4 /O <" + std::string(64, 'a') + "> /U <"
                      + std::string(64, 'b') + "> >>");
    return pdfFromObjects(objects,
                          " /Encrypt 4 0 R /ID [<0123456789abcdef0123456789abcdef> <0123456789abcdef0123456789abcdef>]");
}

// An A4 page of 11-point Helvetica type, one line of ASCII text each.
std::string typedPdf(const std::vector<std::string> &lines)
{
    std::string content = "BT /F1 11 Tf 72 760 Td 16 TL\n";
    for (const std::string &line : lines)
        content += "(" + line + ") '\n";
    content += "ET\n";
    return pdfFromObjects({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                           "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 4 0 R >> >> "
                           "/Contents 5 0 R >>",
                           "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
                           "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream"});
}

// A token from the server on that port, or "" when none is granted.
std::string grantToken(int port, const std::string &apiKey = "test-key", const std::string &secretKey = "test-secret")
{
    httplib::Client c("127.0.0.1", port);
    auto reply = c.Post("/oauth/2.0/token?grant_type=client_credentials&client_id=" + apiKey
                        + "&client_secret=" + secretKey);
    return reply && reply->status == 200 ? json::parse(reply->body).value("access_token", "") : "";
}

// A secrets file only its user may read, replaced whole as an administrator would (rename).
std::string secretFile(const std::string &name, const std::string &text)
{
    const std::string path = testing::TempDir() + "/" + name;
    std::ofstream(path + ".new") << text;
    chmod((path + ".new").c_str(), 0600);
    std::rename((path + ".new").c_str(), path.c_str());
    return path;
}

// The error code the server on that port answers to an empty image: past
// the token check only with an accepted token.
int codeForEmptyImage(int port, const std::string &accessToken)
{
    httplib::Client c("127.0.0.1", port);
    auto reply = c.Post(std::string(OcrPath) + "?access_token=" + formValue(accessToken), "image=",
                        "application/x-www-form-urlencoded");
    return reply ? json::parse(reply->body).value("error_code", 0) : -1;
}

class OcrServerTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        server = new ServerProcess(defaultServerArguments());
        ASSERT_TRUE(server->started()) << server->log();
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }

    static httplib::Client client(int port = 0)
    {
        httplib::Client c("127.0.0.1", port ? port : server->port());
        c.set_read_timeout(60);
        return c;
    }

    static std::string token() { return grantToken(server->port()); }

    static json ocr(const std::string &body, const std::string &accessToken, int port = 0,
                    const std::string &path = OcrPath)
    {
        auto reply = client(port).Post(path + "?access_token=" + formValue(accessToken), body,
                                       "application/x-www-form-urlencoded");
        if (!reply)
            return json{{"transport_error", httplib::to_string(reply.error())}};
        EXPECT_EQ(reply->status, 200) << reply->body;
        return json::parse(reply->body, nullptr, false);
    }

    static ServerProcess *server;
};

ServerProcess *OcrServerTest::server = nullptr;

// --- token endpoint ---------------------------------------------------------

TEST_F(OcrServerTest, TokenIsGrantedInEachAcceptedForm)
{
    const std::string query = "grant_type=client_credentials&client_id=test-key&client_secret=test-secret";
    auto c = client();
    const httplib::Result replies[] = {
        c.Post("/oauth/2.0/token?" + query),
        c.Get("/oauth/2.0/token?" + query),
        c.Post("/oauth/2.0/token", query, "application/x-www-form-urlencoded"),
    };
    for (const auto &reply : replies) {
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        const json body = json::parse(reply->body);
        EXPECT_FALSE(body.value("access_token", "").empty());
        EXPECT_EQ(body.value("expires_in", 0), 2592000);
        EXPECT_TRUE(body.contains("scope"));
    }
}

struct TokenErrorCase
{
    const char *query;
    int status;
    const char *error;
    const char *description;
};

class TokenErrors : public OcrServerTest, public ::testing::WithParamInterface<TokenErrorCase>
{
};

TEST_P(TokenErrors, AnswerWithStatusAndOAuthError)
{
    const TokenErrorCase &c = GetParam();
    auto reply = client().Post(std::string("/oauth/2.0/token?") + c.query);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, c.status);
    const json body = json::parse(reply->body);
    EXPECT_EQ(body.value("error", ""), c.error);
    EXPECT_EQ(body.value("error_description", ""), c.description);
    EXPECT_FALSE(body.contains("access_token"));
}

INSTANTIATE_TEST_SUITE_P(
        Cases, TokenErrors,
        ::testing::Values(
                TokenErrorCase{"grant_type=client_credentials&client_id=nobody&client_secret=test-secret", 401,
                               "invalid_client", "unknown client id"},
                TokenErrorCase{"grant_type=client_credentials&client_id=test-key&client_secret=wrong", 401,
                               "invalid_client", "Client authentication failed"},
                TokenErrorCase{"grant_type=client_credentials&client_id=test-key", 400, "invalid_request",
                               "The request is missing a required parameter"},
                TokenErrorCase{"client_id=test-key&client_secret=test-secret", 400, "invalid_request",
                               "The request is missing a required parameter"},
                TokenErrorCase{"grant_type=password&client_id=test-key&client_secret=test-secret", 400,
                               "unsupported_grant_type", "The authorization grant type is not supported"}));

// --- recognition -------------------------------------------------------------

struct PageCase
{
    const char *image;
    const char *text;
    double minimumSimilarity;
    bool chinese = false; // compared as Chinese is scored: NFKC, no white space
};

class Pages : public OcrServerTest, public ::testing::WithParamInterface<PageCase>
{
};

TEST_P(Pages, AreReadLineByLineInOrder)
{
    const PageCase &page = GetParam();
    // A .pdf row: the text typed on a PDF page, not a picture of it.
    const bool typed = std::string(page.image).find(".pdf") != std::string::npos;
    const json reply = ocr(typed ? "pdf_file=" + formValue(base64(typedPdf(fixtureLines(page.text))))
                                 : imageForm(fixture(page.image)),
                           token());
    ASSERT_TRUE(reply.contains("words_result")) << reply.dump();
    const auto lines = recognisedLines(reply);
    const auto expected = fixtureLines(page.text);
    const double similarity = lineSimilarity(expected, lines, page.chinese);
    int exact = 0;
    for (size_t i = 0; i < std::min(lines.size(), expected.size()); ++i)
        exact += lines[i] == expected[i];
    std::cout << page.image << ": similarity " << similarity << ", " << exact << "/" << expected.size()
              << " lines exact as written\n";
    EXPECT_GE(similarity, page.minimumSimilarity) << reply.dump(1);
    EXPECT_EQ(reply.value("words_result_num", -1), int(lines.size()));
    EXPECT_TRUE(reply["log_id"].is_number_unsigned());
    for (const auto &line : lines)
        EXPECT_FALSE(line.empty());
}

// Read with the default language, Chinese and English, as the cloud does;
// the English pages come back exactly, line for line.
INSTANTIATE_TEST_SUITE_P(Fixtures, Pages,
                         ::testing::Values(PageCase{"clean.png", "clean.txt", 1.0},
                                           PageCase{"serif.png", "serif.txt", 1.0},
                                           PageCase{"small.png", "small.txt", 1.0},
                                           PageCase{"photo.jpg", "photo.txt", 1.0},
                                           PageCase{"typed.pdf", "clean.txt", 1.0},
                                           PageCase{"invoice_zh.png", "invoice_zh.txt", 0.97, true},
                                           PageCase{"invoice_zh_photo.jpg", "invoice_zh_photo.txt", 0.97, true},
                                           PageCase{"prose_zh.png", "prose_zh.txt", 0.95, true}),
                         [](const auto &info) {
                             std::string name = info.param.image;
                             name = name.substr(0, name.find('.'));
                             name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
                             return name;
                         });

TEST_F(OcrServerTest, AcceptsEveryImageFormatAndDataPrefix)
{
    const std::string png = fixture("small.png");
    const std::string expectedFirst = fixtureLines("small.txt").front();
    const std::string bodies[] = {
        imageForm(reencode(png, IFF_BMP)),
        imageForm(reencode(png, IFF_JFIF_JPEG)),
        "image=" + formValue("data:image/png;base64," + base64(png)),
        // image comes first among the sources, whatever the order of the fields
        "url=" + formValue("http://192.0.2.1/x.png") + "&" + imageForm(png),
    };
    const std::string accessToken = token();
    for (const auto &body : bodies) {
        const auto lines = recognisedLines(ocr(body, accessToken));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), expectedFirst);
    }
}

// CHN_ENG asked for by name reads Latin as well as the default does: the
// English model is part of it.
TEST_F(OcrServerTest, ChineseAndEnglishByNameReadsLatinExactly)
{
    const auto lines = recognisedLines(ocr(imageForm(fixture("serif.png"), "&language_type=CHN_ENG"), token()));
    EXPECT_EQ(lines, fixtureLines("serif.txt")); // Chinese alone reads "sprin d." and "water,"
}

TEST_F(OcrServerTest, ProbabilityParagraphsAndDirectionOnRequest)
{
    const json reply = ocr(imageForm(fixture("clean.png"),
                                     "&probability=true&paragraph=true&language_type=ENG&detect_direction=true"),
                           token());
    EXPECT_EQ(reply.value("direction", -9), 0); // upright
    const auto &words = reply.at("words_result");
    ASSERT_FALSE(words.empty());
    for (const auto &entry : words) {
        const auto &p = entry.at("probability");
        EXPECT_GE(p.at("min").get<double>(), 0.0);
        EXPECT_LE(p.at("min").get<double>(), p.at("average").get<double>());
        EXPECT_LE(p.at("average").get<double>(), 1.0);
        EXPECT_GE(p.at("variance").get<double>(), 0.0);
    }
    std::vector<int> indices;
    for (const auto &paragraph : reply.at("paragraphs_result"))
        for (const auto &i : paragraph.at("words_result_idx"))
            indices.push_back(i.get<int>());
    EXPECT_EQ(reply.at("paragraphs_result_num").get<size_t>(), reply.at("paragraphs_result").size());
    ASSERT_EQ(indices.size(), words.size()); // every line in exactly one paragraph, in order
    for (size_t i = 0; i < indices.size(); ++i)
        EXPECT_EQ(indices[i], int(i));

    const json plain = ocr(imageForm(fixture("small.png")), token());
    EXPECT_FALSE(plain.contains("paragraphs_result"));
    EXPECT_FALSE(plain.contains("direction"));
    EXPECT_FALSE(plain.at("words_result").at(0).contains("probability"));
}

// --- the general OCR family: positions, PDF pages ------------------------------

struct TrueLine
{
    int left, top, width, height;
    std::string text;
};

// positions.png's lines and the boxes of their ink, as make_fixtures.sh measured them.
std::vector<TrueLine> trueLines()
{
    std::vector<TrueLine> lines;
    std::istringstream in(fixture("positions.boxes"));
    for (TrueLine line{}; in >> line.left >> line.top >> line.width >> line.height && std::getline(in, line.text);) {
        line.text.erase(0, 1);
        lines.push_back(line);
    }
    return lines;
}

// The box after its page (width x height) is turned clockwise, as pixRotateOrth turns it.
TrueLine turnedClockwise(TrueLine b, int quarterTurns, int width, int height)
{
    for (int i = 0; i < quarterTurns; ++i) {
        b = {height - b.top - b.height, b.left, b.height, b.width, b.text};
        std::swap(width, height);
    }
    return b;
}

double overlap(const json &location, const TrueLine &truth)
{
    const int left = location.at("left"), top = location.at("top");
    const int width = location.at("width"), height = location.at("height");
    const int w = std::min(left + width, truth.left + truth.width) - std::max(left, truth.left);
    const int h = std::min(top + height, truth.top + truth.height) - std::max(top, truth.top);
    const double common = w > 0 && h > 0 ? double(w) * h : 0.0;
    return common / (double(width) * height + double(truth.width) * truth.height - common);
}

bool inside(const json &inner, const json &outer)
{
    return inner.at("left") >= outer.at("left") && inner.at("top") >= outer.at("top")
            && inner.at("left").get<int>() + inner.at("width").get<int>()
            <= outer.at("left").get<int>() + outer.at("width").get<int>()
            && inner.at("top").get<int>() + inner.at("height").get<int>()
            <= outer.at("top").get<int>() + outer.at("height").get<int>();
}

struct EndpointCase
{
    const char *endpoint;
    bool positions;            // the endpoint shows location (and chars when asked)
    int quarterTurnsClockwise; // the page as sent; read with detect_direction=true
    bool pdf;                  // page 1 of twoPagePdf() instead of the image
    bool small = true;         // recognize_granularity=small
};

class Endpoints : public OcrServerTest, public ::testing::WithParamInterface<EndpointCase>
{
};

TEST_P(Endpoints, ReadThePageAndPlaceItsLines)
{
    const EndpointCase &c = GetParam();
    std::string body = c.pdf ? "pdf_file=" + formValue(base64(twoPagePdf()))
                             : imageForm(reencode(fixture("positions.png"), IFF_PNG, c.quarterTurnsClockwise));
    body += "&probability=true";
    if (c.small)
        body += "&recognize_granularity=small";
    if (c.quarterTurnsClockwise)
        body += "&detect_direction=true";
    body += "&vertexes_location=true";
    const json reply = ocr(body, token(), 0, std::string("/rest/2.0/ocr/v1/") + c.endpoint);
    ASSERT_TRUE(reply.contains("words_result")) << reply.dump();
    EXPECT_EQ(reply.value("pdf_file_size", ""), c.pdf ? "2" : "") << "the page count, with a PDF only";
    // pixRotateOrth turns clockwise; the cloud counts counter-clockwise turns.
    EXPECT_EQ(reply.value("direction", -9), c.quarterTurnsClockwise ? 4 - c.quarterTurnsClockwise : -9)
            << "the direction, when asked for";

    const std::vector<TrueLine> truth = trueLines();
    std::vector<std::string> expected;
    for (const TrueLine &line : truth)
        expected.push_back(line.text);
    EXPECT_GE(lineSimilarity(expected, recognisedLines(reply), true), 0.9) << reply.dump(1);

    const json &words = reply.at("words_result");
    for (const json &entry : words) {
        EXPECT_TRUE(entry.contains("probability"));
        EXPECT_EQ(entry.contains("location"), c.positions) << entry.dump();
        EXPECT_EQ(entry.contains("chars"), c.positions && c.small) << entry.dump();
        ASSERT_EQ(entry.contains("vertexes_location"), c.positions) << entry.dump();
        if (c.positions) {
            // The line's quadrilateral: clockwise, and the box is its bounds.
            const json &box = entry.at("location"), &corners = entry.at("vertexes_location");
            ASSERT_EQ(corners.size(), 4u) << entry.dump();
            const int left = box.at("left"), top = box.at("top");
            const int right = left + box.at("width").get<int>(), bottom = top + box.at("height").get<int>();
            double twiceArea = 0;
            for (size_t k = 0; k < 4; ++k) {
                const json &p = corners[k], &q = corners[(k + 1) % 4];
                twiceArea += p.at("x").get<double>() * q.at("y").get<double>() - q.at("x").get<double>() * p.at("y").get<double>();
                EXPECT_TRUE(p.at("x") >= left - 1 && p.at("x") <= right + 1 && p.at("y") >= top - 1 && p.at("y") <= bottom + 1)
                        << p.dump() << " outside " << box.dump();
            }
            EXPECT_GT(twiceArea, 0.7 * 2 * (right - left) * (bottom - top)) << "clockwise, filling its box: " << corners.dump();
        }
    }
    if (!c.positions)
        return;
    ASSERT_EQ(words.size(), truth.size()) << reply.dump(1);
    for (size_t i = 0; i < truth.size(); ++i) {
        const json &line = words[i].at("location");
        const TrueLine expectedBox = turnedClockwise(truth[i], c.quarterTurnsClockwise, 1200, 680);
        const double iou = overlap(line, expectedBox);
        std::cout << c.endpoint << " line " << i << ": IoU " << iou << "\n";
        EXPECT_GE(iou, 0.7) << truth[i].text << ": " << line.dump() << " against " << expectedBox.left << ","
                            << expectedBox.top << " " << expectedBox.width << "x" << expectedBox.height;
        if (!c.small)
            continue;
        std::string joined, text = words[i].at("words");
        text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
        for (const json &ch : words[i].at("chars")) {
            joined += ch.at("char").get<std::string>();
            EXPECT_TRUE(inside(ch.at("location"), line)) << ch.dump() << " outside " << line.dump();
        }
        EXPECT_EQ(joined, text) << "the chars spell the line";
    }
}

INSTANTIATE_TEST_SUITE_P(
        Family, Endpoints,
        ::testing::Values(EndpointCase{"general_basic", false, 0, false},
                          EndpointCase{"accurate_basic", false, 0, false}, EndpointCase{"general", true, 0, false},
                          EndpointCase{"accurate", true, 0, false}, EndpointCase{"general", true, 0, false, false},
                          EndpointCase{"accurate", true, 1, false}, EndpointCase{"general", true, 2, false},
                          EndpointCase{"accurate", true, 3, false}, EndpointCase{"accurate", true, 0, true},
                          EndpointCase{"general_basic", false, 0, true}),
        [](const auto &info) {
            const EndpointCase &c = info.param;
            std::string name = c.endpoint;
            name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
            if (c.quarterTurnsClockwise)
                name += "Turned" + std::to_string(c.quarterTurnsClockwise * 90);
            if (c.pdf)
                name += "Pdf";
            if (!c.small)
                name += "Lines";
            return name;
        });

TEST_F(OcrServerTest, PdfReadsTheAskedPage)
{
    const json reply = ocr("pdf_file=" + formValue(base64(twoPagePdf())) + "&pdf_file_num=2", token(), 0,
                           "/rest/2.0/ocr/v1/general_basic");
    EXPECT_EQ(reply.value("pdf_file_size", ""), "2");
    EXPECT_GE(lineSimilarity(fixtureLines("small.txt"), recognisedLines(reply)), 0.95) << reply.dump(1);
}

// --- OCR errors: HTTP 200 with error_code and error_msg ----------------------

struct OcrErrorCase
{
    const char *name;
    std::string body;
    std::string accessToken; // "valid": a token from the server
    int code;
    const char *message;
};

class OcrErrors : public OcrServerTest, public ::testing::WithParamInterface<OcrErrorCase>
{
};

TEST_P(OcrErrors, AnswerWithTheServiceCode)
{
    const OcrErrorCase &c = GetParam();
    const std::string accessToken = c.accessToken == "valid" ? token() : c.accessToken;
    auto reply = client().Post(accessToken.empty() ? std::string(OcrPath)
                                                   : std::string(OcrPath) + "?access_token=" + formValue(accessToken),
                               c.body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(reply) << httplib::to_string(reply.error());
    EXPECT_EQ(reply->status, 200);
    const json body = json::parse(reply->body);
    EXPECT_EQ(body.value("error_code", 0), c.code) << reply->body;
    EXPECT_EQ(body.value("error_msg", ""), c.message);
    EXPECT_TRUE(body.contains("log_id"));
    EXPECT_FALSE(body.contains("words_result"));
}

std::string repeated(const std::string &text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

std::vector<OcrErrorCase> ocrErrorCases()
{
    const std::string small = fixture("small.png");
    const std::string fullBase64 = base64(small);
    return {
        {"NoToken", imageForm(small), "", 100, "Invalid parameter"},
        {"ForgedToken", imageForm(small), "24.00.99999999999.deadbeef", 110, "Access token invalid or no longer valid"},
        {"NoImage", "language_type=ENG", "valid", 216101, "not enough param"},
        {"EmptyImage", "image=", "valid", 216200, "empty image"},
        {"TruncatedBase64", "image=" + formValue(fullBase64.substr(0, fullBase64.size() - 3)), "valid", 216201,
         "image format error"},
        {"NotBase64", "image=%21%21%21%21", "valid", 216201, "image format error"},
        {"NotAnImage", imageForm("GIF89a this is not a supported picture"), "valid", 216201, "image format error"},
        {"BrokenPixels", imageForm(pngWithSize(640, 480)), "valid", 216201, "image format error"},
        {"DecompressionBomb", imageForm(pngWithSize(100000, 100000)), "valid", 216202, "image size error"},
        {"TooNarrow", imageForm(pngWithSize(14, 600)), "valid", 216202, "image size error"},
        // The field alone over its 10 MiB, in a body under --max-body.
        {"ImageFieldOverTenMiB", "image=" + std::string((10 << 20) + 1, 'A'), "valid", 216202, "image size error"},
        {"UnknownLanguage", imageForm(small, "&language_type=KLINGON"), "valid", 216100, "invalid param"},
        // Sources in the cloud's order: image, url, pdf_file, ofd_file; the first present is used.
        {"UrlRefused", "url=" + formValue("http://192.0.2.1/page.png"), "valid", 216102, "service not support"},
        {"UrlBeforePdf", "pdf_file=" + formValue(base64(twoPagePdf())) + "&url=x", "valid", 216102,
         "service not support"},
        {"OfdRefused", "ofd_file=" + formValue(base64("not read at all")), "valid", 216102, "service not support"},
        {"PdfBeforeOfd", "ofd_file=x&pdf_file=" + formValue(base64("%PDF-1.4 broken")), "valid", 216201,
         "image format error"},
        {"EmptyPdf", "pdf_file=", "valid", 216200, "empty image"},
        {"PdfPageOutOfRange", "pdf_file=" + formValue(base64(twoPagePdf())) + "&pdf_file_num=3", "valid", 216100,
         "invalid param"},
        {"PdfPageZero", "pdf_file=" + formValue(base64(twoPagePdf())) + "&pdf_file_num=0", "valid", 216100,
         "invalid param"},
        {"PdfPageNotANumber", "pdf_file=" + formValue(base64(twoPagePdf())) + "&pdf_file_num=2x", "valid", 216100,
         "invalid param"},
        {"TruncatedPdf", "pdf_file=" + formValue(base64(twoPagePdf().substr(0, 600))), "valid", 216201,
         "image format error"},
        {"EncryptedPdf", "pdf_file=" + formValue(base64(handMadePdf("0 0 612 792", true))), "valid", 216201,
         "image format error"},
        {"PdfPageTooNarrow", "pdf_file=" + formValue(base64(handMadePdf("0 0 2 600", false))), "valid", 216202,
         "image size error"},
        {"LanguageNotInstalled", imageForm(small, "&language_type=JAP"), "valid", 216100, "invalid param"},
        // One more field than a form may have (the image is one of them).
        {"TooManyFields", imageForm(small, repeated("&a=1", 1000)), "valid", 216100, "invalid param"},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, OcrErrors, ::testing::ValuesIn(ocrErrorCases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(OcrServerTest, UnknownPathsAreUnsupportedMethods)
{
    for (const char *path : {"/rest/2.0/ocr/v1/general_enhanced", "/rest/2.0/ocr/v1/", "/", "/oauth/2.0/authorize"}) {
        auto reply = client().Post(path, "x=1", "application/x-www-form-urlencoded");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 404);
        EXPECT_EQ(json::parse(reply->body).value("error_code", 0), 3);
        EXPECT_EQ(json::parse(reply->body).value("error_msg", ""), "Unsupported openapi method");
    }
}

TEST_F(OcrServerTest, ConcurrentClientsAreAllAnsweredCorrectly)
{
    const std::string body = imageForm(fixture("small.png"));
    const auto expected = fixtureLines("small.txt");
    const std::string accessToken = token();
    std::atomic<int> correct{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 2; ++c) {
        clients.emplace_back([&] {
            auto connection = client();
            for (int i = 0; i < 20; ++i) {
                auto reply = connection.Post(std::string(OcrPath) + "?access_token=" + formValue(accessToken), body,
                                             "application/x-www-form-urlencoded");
                if (reply && reply->status == 200
                    && lineSimilarity(expected, recognisedLines(json::parse(reply->body))) >= 0.95)
                    ++correct;
            }
        });
    }
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(correct.load(), 40);
}

TEST_F(OcrServerTest, LogHasOneLinePerRequestAndNoSecrets)
{
    const std::string accessToken = token();
    ocr(imageForm(fixture("small.png")), accessToken);
    client().Post("/oauth/2.0/token?grant_type=client_credentials&client_id=test-key&client_secret=no");
    ASSERT_TRUE(server->waitForLog(" POST /oauth/2.0/token 401 ")) << server->log();
    ASSERT_TRUE(server->waitForLog(" POST /rest/2.0/ocr/v1/accurate_basic 200 error=0 ")) << server->log();
    const std::string log = server->log();
    for (const std::string &secret : {std::string("test-secret"), accessToken, accessToken.substr(0, 20),
                                      base64(fixture("small.png")).substr(0, 40)}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
    EXPECT_NE(log.find(" POST /oauth/2.0/token 200 error=0 "), std::string::npos) << log;
}

// --- tokens across replicas and time -----------------------------------------

TEST(OcrServerTokens, ReplicasSharingTheKeyAcceptEachOthersTokens)
{
    auto withKey = [](const std::string &key) {
        return defaultServerArguments({"--token-key", key, "--workers", "1"});
    };
    const std::string shared(32, 's'), other(32, 'o');
    ServerProcess a(withKey(shared)), b(withKey(shared)), c(withKey(other));
    ASSERT_TRUE(a.started() && b.started() && c.started());

    const std::string accessToken = grantToken(a.port());
    ASSERT_FALSE(accessToken.empty());
    EXPECT_EQ(codeForEmptyImage(a.port(), accessToken), 216200);
    EXPECT_EQ(codeForEmptyImage(b.port(), accessToken), 216200);
    EXPECT_EQ(codeForEmptyImage(c.port(), accessToken), 110);
}

TEST(OcrServerTokens, ExpiredTokenIsRefused)
{
    ServerProcess server(defaultServerArguments({"--token-ttl", "1"}));
    ASSERT_TRUE(server.started());
    httplib::Client c("127.0.0.1", server.port());
    auto granted = c.Post(GrantQuery);
    ASSERT_TRUE(granted);
    EXPECT_EQ(json::parse(granted->body).value("expires_in", 0), 1);
    const std::string accessToken = json::parse(granted->body).value("access_token", "");

    // Within two seconds the one-second token must run out; no signal tells when.
    int code = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (code != 111 && std::chrono::steady_clock::now() < deadline) {
        code = codeForEmptyImage(server.port(), accessToken);
        ASSERT_TRUE(code == 216200 || code == 111) << code;
        if (code != 111)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(code, 111);
}

struct QpsCase
{
    const char *name;
    std::vector<std::string> options;
    const char *apiKey;
    const char *secretKey;
    bool limited; // at one request a second
    // slow-desk, limited to one a second, first sends ten at once: refused
    // ones must not spend the service's budget.
    bool floodFirst = false;
};

void PrintTo(const QpsCase &c, std::ostream *out)
{
    *out << c.name;
}

class QpsLimits : public ::testing::TestWithParam<QpsCase>
{
};

TEST_P(QpsLimits, AnswerErrorEighteenToWhoeverIsOver)
{
    const QpsCase &q = GetParam();
    std::vector<std::string> options = q.options;
    for (auto &option : options)
        if (option == "CLIENTS")
            option = secretFile("qps-clients", "slow-desk ks ss 1\nfast-desk kf sf\n");
    ServerProcess server(options);
    ASSERT_TRUE(server.started()) << server.log();
    httplib::Client c("127.0.0.1", server.port());
    const std::string accessToken = grantToken(server.port(), q.apiKey, q.secretKey);
    ASSERT_FALSE(accessToken.empty());
    if (q.floodFirst) {
        const std::string flooder = grantToken(server.port(), "ks", "ss");
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(c.Post(std::string(OcrPath) + "?access_token=" + formValue(flooder), "image=",
                               "application/x-www-form-urlencoded"));
    }
    // Three requests span at most two one-second windows: one must be refused.
    int limited = 0;
    for (int i = 0; i < 3; ++i) {
        auto reply = c.Post(std::string(OcrPath) + "?access_token=" + formValue(accessToken), "image=",
                            "application/x-www-form-urlencoded");
        ASSERT_TRUE(reply);
        const json body = json::parse(reply->body);
        if (body.value("error_code", 0) == 18) {
            EXPECT_EQ(body.value("error_msg", ""), "Open api qps request limit reached");
            ++limited;
        } else {
            EXPECT_EQ(body.value("error_code", 0), 216200) << reply->body;
        }
    }
    EXPECT_EQ(limited > 0, q.limited) << limited;
}

INSTANTIATE_TEST_SUITE_P(
        OcrServerLimits, QpsLimits,
        ::testing::Values(QpsCase{"Service", defaultServerArguments({"--qps", "1"}), "test-key", "test-secret", true},
                          QpsCase{"ClientsOwn", {"--listen", "127.0.0.1:0", "--workers", "1", "--clients-file", "CLIENTS"},
                                  "ks", "ss", true},
                          QpsCase{"AnotherClient", {"--listen", "127.0.0.1:0", "--workers", "1", "--clients-file", "CLIENTS"},
                                  "kf", "sf", false},
                          // 1 of slow-desk's 10 and these 3 stay within the service's 5.
                          QpsCase{"BesideAThrottledClient",
                                  {"--listen", "127.0.0.1:0", "--workers", "1", "--qps", "5", "--clients-file", "CLIENTS"},
                                  "kf", "sf", false, true}),
        [](const auto &info) { return std::string(info.param.name); });

// Clients and token keys change with SIGHUP while requests keep coming:
// none fails, tokens of the old key stay valid, a removed client's and a
// changed Secret Key's tokens are refused with 110, and a bad file changes
// nothing.
TEST(OcrServerRotation, SighupSwapsClientsAndKeysWithoutDroppingARequest)
{
    const std::string oldKey(32, 'o'), newKey(32, 'n');
    const std::string clients = secretFile("rotation-clients", "desk-a ka sa\ndesk-b kb sb\ndesk-c kc sc\n");
    const std::string keys = secretFile("rotation-token-keys", oldKey + "\n");
    ServerProcess server({"--listen", "127.0.0.1:0", "--workers", "2", "--clients-file", clients,
                          "--token-key-file", keys});
    ASSERT_TRUE(server.started()) << server.log();
    const std::string tokenA = grantToken(server.port(), "ka", "sa"), tokenB = grantToken(server.port(), "kb", "sb"),
                      tokenC = grantToken(server.port(), "kc", "sc");
    ASSERT_FALSE(tokenA.empty() || tokenB.empty() || tokenC.empty());

    // desk-a keeps asking on kept-alive connections all along: tokens, and pages with its old token.
    std::atomic<bool> done{false};
    std::atomic<int> answered{0}, failed{0};
    std::vector<std::string> failures;
    std::mutex failuresMutex;
    std::vector<std::thread> traffic;
    for (int t = 0; t < 3; ++t) {
        traffic.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", server.port());
            c.set_keep_alive(true);
            c.set_read_timeout(60, 0);
            while (!done) {
                const bool page = t == 0;
                auto reply = page ? c.Post(std::string(OcrPath) + "?access_token=" + formValue(tokenA),
                                           imageForm(fixture("small.png")), "application/x-www-form-urlencoded")
                                  : c.Post("/oauth/2.0/token?grant_type=client_credentials&client_id=ka&client_secret=sa");
                const json body = reply ? json::parse(reply->body, nullptr, false) : json();
                if (reply && reply->status == 200 && (page ? body.contains("words_result") : body.contains("access_token"))) {
                    ++answered;
                } else {
                    ++failed;
                    std::lock_guard<std::mutex> lock(failuresMutex);
                    failures.push_back(reply ? reply->body : httplib::to_string(reply.error()));
                }
            }
        });
    }
    const auto waitForAnswers = [&](int more) {
        const int until = answered + more;
        for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
             answered < until && std::chrono::steady_clock::now() < deadline;)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    waitForAnswers(5);

    // Roll: a new key signs, the old one still verifies; desk-b goes, desk-c gets a new Secret Key.
    secretFile("rotation-token-keys", newKey + "\n" + oldKey + "\n");
    secretFile("rotation-clients", "desk-a ka sa\ndesk-c kc sc2 # rotated\n");
    kill(server.pid(), SIGHUP);
    ASSERT_TRUE(server.waitForLog("reloaded: 2 clients, 2 token keys")) << server.log();
    waitForAnswers(5);

    EXPECT_EQ(codeForEmptyImage(server.port(), tokenA), 216200);
    EXPECT_EQ(codeForEmptyImage(server.port(), tokenB), 110);
    EXPECT_EQ(codeForEmptyImage(server.port(), tokenC), 110);
    EXPECT_TRUE(grantToken(server.port(), "kb", "sb").empty());
    const std::string renewedC = grantToken(server.port(), "kc", "sc2");
    EXPECT_EQ(codeForEmptyImage(server.port(), renewedC), 216200);

    // A file that cannot be used: one line why, and the settings stay.
    secretFile("rotation-clients", "desk-a ka\n");
    kill(server.pid(), SIGHUP);
    ASSERT_TRUE(server.waitForLog("reload refused")) << server.log();
    waitForAnswers(3);
    EXPECT_EQ(codeForEmptyImage(server.port(), renewedC), 216200);
    EXPECT_NE(server.log().find("--clients-file '" + clients + "': line 1: wants NAME"), std::string::npos);

    // A FIFO in the file's place: refused at once, not waited on; SIGTERM still stops the server.
    ASSERT_EQ(unlink(clients.c_str()), 0);
    ASSERT_EQ(mkfifo(clients.c_str(), 0600), 0);
    kill(server.pid(), SIGHUP);
    ASSERT_TRUE(server.waitForLog("'" + clients + "' is not a regular file")) << server.log();
    waitForAnswers(3);
    EXPECT_EQ(codeForEmptyImage(server.port(), renewedC), 216200);

    done = true;
    for (auto &t : traffic)
        t.join();
    EXPECT_EQ(failed.load(), 0) << (failures.empty() ? "" : failures.front());
    EXPECT_GT(answered.load(), 16);
    kill(server.pid(), SIGTERM);
    EXPECT_EQ(waitForExit(server.pid(), std::chrono::seconds(20)), 0);
    const std::string log = server.log();
    for (const std::string &secret : {std::string("sc2"), newKey, oldKey, tokenA})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    EXPECT_NE(log.find(" client=desk-a"), std::string::npos);
}

// --- TLS -------------------------------------------------------------------------

TEST(OcrServerTls, ServesHttpsWithTheGivenCertificate)
{
    const std::string certs = TEST_CERTS_DIR;
    ServerProcess server(
            defaultServerArguments({"--tls-cert", certs + "/server.pem", "--tls-key", certs + "/server.key"}));
    ASSERT_TRUE(server.started()) << server.log();
    EXPECT_NE(server.log().find("listening on https://"), std::string::npos);

    httplib::SSLClient trusting("127.0.0.1", server.port());
    trusting.set_ca_cert_path((certs + "/ca.pem").c_str());
    trusting.enable_server_certificate_verification(true);
    auto reply = trusting.Post(GrantQuery);
    ASSERT_TRUE(reply) << httplib::to_string(reply.error());
    EXPECT_EQ(reply->status, 200);

    httplib::SSLClient untrusting("127.0.0.1", server.port());
    untrusting.enable_server_certificate_verification(true);
    untrusting.set_ca_cert_path("/etc/ssl/certs/ca-certificates.crt");
    EXPECT_FALSE(untrusting.Get("/oauth/2.0/token"));
}

// --- start-up ------------------------------------------------------------------

TEST(OcrServerStartup, RunsWithOneOpenMpThread)
{
    // Started without the variable, the server restarts itself with it.
    unsetenv("OMP_THREAD_LIMIT");
    ServerProcess server(defaultServerArguments());
    ASSERT_TRUE(server.started());
    const std::string environment = readFile("/proc/" + std::to_string(server.pid()) + "/environ");
    EXPECT_NE(environment.find(std::string("OMP_THREAD_LIMIT=1\0", 19)), std::string::npos);
}

// The children of a process, each with its state (R, S, Z, ...).
std::map<pid_t, char> childStates(pid_t parent)
{
    std::map<pid_t, char> states;
    std::istringstream list(readFile("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children"));
    for (pid_t pid; list >> pid;) {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t end = stat.rfind(')');
        if (end != std::string::npos && end + 2 < stat.size())
            states[pid] = stat[end + 2];
    }
    return states;
}

TEST(OcrServerStartup, RunsAsPidOneAndReapsOrphans)
{
    // A container without an init: the service is PID 1 of its own pid
    // namespace (needs root, or user namespaces).
    ServerProcess server(defaultServerArguments({"--workers", "1"}), {}, true,
                         {"unshare", "--pid", "--fork", "--mount-proc", "--kill-child=SIGTERM"});
    if (!server.started() && server.log().find("unshare:") != std::string::npos)
        GTEST_SKIP() << server.log();
    ASSERT_TRUE(server.started()) << server.log();
    httplib::Client client("127.0.0.1", server.port());
    const auto token = client.Get(GrantQuery);
    ASSERT_TRUE(token);
    const auto read = client.Post(std::string(OcrPath) + "?access_token=" + formValue(json::parse(token->body).value("access_token", "")),
                                  imageForm(fixture("small.png")), "application/x-www-form-urlencoded");
    ASSERT_TRUE(read);
    EXPECT_EQ(json::parse(read->body).value("error_code", 0), 0) << read->body;

    // An orphan in the container comes to the service, which reaps it.
    const auto children = childStates(server.pid());
    ASSERT_EQ(children.size(), 1u);
    // unshare does not pass SIGTERM on: the service itself is stopped.
    struct Stop
    {
        pid_t pid;
        ~Stop() { kill(pid, SIGTERM); }
    } const service{children.begin()->first};
    const pid_t entered = spawnProgram({"nsenter", "-t", std::to_string(service.pid), "-p", "-m", "sh", "-c", "sleep 1 &"},
                                       {}, -1);
    ASSERT_EQ(waitForExit(entered, std::chrono::seconds(10)), 0);
    const auto orphans = [&] {
        const auto before = childStates(service.pid);
        int count = 0;
        for (const auto &[pid, state] : before)
            count += readFile("/proc/" + std::to_string(pid) + "/comm") == "sleep\n" || state == 'Z';
        return count;
    };
    bool adopted = false, reaped = false;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
         !reaped && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        const int now = orphans();
        adopted = adopted || now > 0;
        reaped = adopted && now == 0;
    }
    EXPECT_TRUE(adopted);
    EXPECT_TRUE(reaped);
}

} // namespace
