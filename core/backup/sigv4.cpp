#include "core/backup/sigv4.h"

#include "core/keys/wipe.h"
#include "core/platform/error.h"
#include "core/platform/hex.h"
#include "core/platform/sha256.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace kx::sigv4 {

namespace {

std::string hmac(const std::string& key, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &len))
        throw Error("the request signature could not be computed");
    std::string r(reinterpret_cast<char*>(out), len);
    wipeBytes(out, sizeof out);
    return r;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trimFold(const std::string& v) {
    std::string out;
    bool space = false;
    for (char c : v) {
        if (c == ' ' || c == '\t') {
            space = true;
            continue;
        }
        if (space && !out.empty()) out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> sortedHeaders(const Request& r) {
    std::vector<std::pair<std::string, std::string>> h;
    for (const auto& [k, v] : r.headers) h.emplace_back(lower(k), trimFold(v));
    std::sort(h.begin(), h.end());
    return h;
}

std::string signedHeaderList(const std::vector<std::pair<std::string, std::string>>& h) {
    std::string out;
    for (const auto& [k, v] : h) {
        if (!out.empty()) out += ';';
        out += k;
    }
    return out;
}

} // namespace

std::string uriEncode(const std::string& text, bool keepSlash) {
    static const char d[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keepSlash && c == '/')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(d[c >> 4]);
            out.push_back(d[c & 15]);
        }
    }
    return out;
}

std::string canonicalQuery(const std::vector<std::pair<std::string, std::string>>& query) {
    std::vector<std::pair<std::string, std::string>> q;
    for (const auto& [k, v] : query) q.emplace_back(uriEncode(k, false), uriEncode(v, false));
    std::sort(q.begin(), q.end());
    std::string out;
    for (const auto& [k, v] : q) {
        if (!out.empty()) out += '&';
        out += k + "=" + v;
    }
    return out;
}

std::string canonicalRequest(const Request& r) {
    auto h = sortedHeaders(r);
    std::string out = r.method + "\n" + r.encodedPath + "\n" + canonicalQuery(r.query) + "\n";
    for (const auto& [k, v] : h) out += k + ":" + v + "\n";
    out += "\n" + signedHeaderList(h) + "\n" + r.payloadHash;
    return out;
}

std::string stringToSign(const Request& r, const std::string& amzDate, const std::string& region,
                         const std::string& service) {
    std::string scope = amzDate.substr(0, 8) + "/" + region + "/" + service + "/aws4_request";
    return "AWS4-HMAC-SHA256\n" + amzDate + "\n" + scope + "\n" + Sha256::hexOf(canonicalRequest(r));
}

std::string authorization(const Request& r, const Credentials& c, const std::string& amzDate) {
    std::string date = amzDate.substr(0, 8);
    std::string kDate = hmac("AWS4" + c.secretAccessKey, date);
    std::string kRegion = hmac(kDate, c.region);
    std::string kService = hmac(kRegion, c.service);
    std::string kSigning = hmac(kService, "aws4_request");
    std::string sig = hmac(kSigning, stringToSign(r, amzDate, c.region, c.service));
    for (std::string* key : {&kDate, &kRegion, &kService, &kSigning}) wipe(*key);
    return "AWS4-HMAC-SHA256 Credential=" + c.accessKeyID + "/" + date + "/" + c.region + "/" + c.service +
           "/aws4_request,SignedHeaders=" + signedHeaderList(sortedHeaders(r)) +
           ",Signature=" + lowerHex(reinterpret_cast<const unsigned char*>(sig.data()), sig.size());
}

std::string amzDateNow() {
    std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[17];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return buf;
}

} // namespace kx::sigv4
