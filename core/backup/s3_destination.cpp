#include "core/backup/s3_destination.h"

#include "core/backup/sigv4.h"
#include "core/keys/wipe.h"
#include "core/platform/hex.h"
#include "core/platform/sha256.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace kx {

namespace {

bool isLowerAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

void ensureCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string between(const std::string& xml, const std::string& tag, size_t from = 0, size_t* end = nullptr) {
    std::string open = "<" + tag + ">", close = "</" + tag + ">";
    size_t a = xml.find(open, from);
    if (a == std::string::npos) return {};
    a += open.size();
    size_t b = xml.find(close, a);
    if (b == std::string::npos) return {};
    if (end) *end = b + close.size();
    return xml.substr(a, b - a);
}

std::string xmlUnescape(std::string s) {
    const std::pair<const char*, const char*> ents[] = {{"&lt;", "<"},   {"&gt;", ">"},   {"&quot;", "\""},
                                                        {"&apos;", "'"}, {"&#13;", "\r"}, {"&#10;", "\n"},
                                                        {"&amp;", "&"}};
    for (const auto& [from, to] : ents) {
        size_t pos = 0;
        while ((pos = s.find(from, pos)) != std::string::npos) {
            s.replace(pos, std::strlen(from), to);
            pos += std::strlen(to);
        }
    }
    return s;
}

std::string xmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

// Keeps a server's text printable and short before it goes into a sentence.
std::string tidy(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        out.push_back(c);
        if (out.size() >= 200) break;
    }
    return out;
}

// Whether every address the host (with an optional ":port") resolves to is a
// loopback address: 127.0.0.0/8 or ::1. The name itself proves nothing
// ("127.example.com" is anyone's server); a name that does not resolve is not
// loopback.
bool isLoopback(const std::string& host) {
    std::string h = host;
    if (!h.empty() && h[0] == '[') {
        size_t close = h.find(']');
        if (close == std::string::npos) return false;
        h = h.substr(1, close - 1);
    } else {
        h = h.substr(0, h.find(':'));
    }
    if (h.empty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(h.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    bool all = true;
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            all = all && (ntohl(in->sin_addr.s_addr) >> 24) == 127;
        } else if (a->ai_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            all = all && IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
        } else {
            all = false;
        }
    }
    ::freeaddrinfo(found);
    return all;
}

} // namespace

void checkBucketName(const std::string& b) {
    const char* rule = "the bucket name is not valid: it must be 3 to 63 lower-case letters, digits, dots or "
                       "dashes, beginning and ending with a letter or digit";
    if (b.size() < 3 || b.size() > 63) throw BackupError(rule);
    for (char c : b)
        if (!isLowerAlnum(c) && c != '.' && c != '-') throw BackupError(rule);
    if (!isLowerAlnum(b.front()) || !isLowerAlnum(b.back())) throw BackupError(rule);
    if (b.find("..") != std::string::npos || b.find(".-") != std::string::npos || b.find("-.") != std::string::npos)
        throw BackupError(rule);
    bool ipLike = std::all_of(b.begin(), b.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    if (ipLike) throw BackupError("the bucket name is not valid: it must not look like an IP address");
}

void checkRegion(const std::string& r) {
    const char* rule = "the region is not valid: it must be lower-case letters, digits and dashes, like us-east-1";
    if (r.empty() || r.size() > 40) throw BackupError(rule);
    for (char c : r)
        if (!isLowerAlnum(c) && c != '-') throw BackupError(rule);
    if (r.front() == '-' || r.back() == '-') throw BackupError(rule);
}

void checkAccountID(const std::string& a) {
    const char* rule = "the account id is not valid: it must be letters and digits only";
    if (a.empty() || a.size() > 64) throw BackupError(rule);
    for (char c : a)
        if (!std::isalnum(static_cast<unsigned char>(c))) throw BackupError(rule);
}

void checkAccessKeyID(const std::string& k) {
    const char* rule = "the access key id is not valid: it must be letters and digits only";
    if (k.empty() || k.size() > 128) throw BackupError(rule);
    for (char c : k)
        if (!std::isalnum(static_cast<unsigned char>(c))) throw BackupError(rule);
}

void checkSecret(const std::string& s) {
    if (s.empty() || s.size() > 256) throw BackupError("the secret key is missing or too long");
    for (char c : s)
        if (c <= 0x20 || c >= 0x7f) throw BackupError("the secret key contains characters a secret key cannot have");
}

S3Destination S3Destination::cloudflareR2(const std::string& accountID, const std::string& accessKeyID,
                                          const std::string& secretAccessKey, const std::string& bucket) {
    checkAccountID(accountID);
    std::string account = accountID;
    for (char& c : account) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Settings s;
    s.id = "cloudflare-r2";
    s.label = "Cloudflare R2";
    s.host = account + kR2EndpointSuffix;
    s.region = "auto";
    s.bucket = bucket;
    s.accessKeyID = accessKeyID;
    s.secretAccessKey = secretAccessKey;
    return S3Destination(std::move(s));
}

S3Destination S3Destination::awsS3(const std::string& region, const std::string& accessKeyID,
                                   const std::string& secretAccessKey, const std::string& bucket, bool deepArchive) {
    checkRegion(region);
    checkBucketName(bucket);
    Settings s;
    s.id = deepArchive ? "aws-glacier-deep-archive" : "aws-s3";
    s.label = deepArchive ? "AWS S3 Glacier Deep Archive" : "AWS S3";
    bool dotted = bucket.find('.') != std::string::npos; // a dotted bucket breaks the TLS name of the virtual host
    s.pathStyle = dotted;
    s.host = (dotted ? std::string() : bucket + ".") + "s3." + region + ".amazonaws.com";
    s.region = region;
    s.bucket = bucket;
    s.accessKeyID = accessKeyID;
    s.secretAccessKey = secretAccessKey;
    s.deepArchive = deepArchive;
    return S3Destination(std::move(s));
}

S3Destination S3Destination::backblazeB2(const std::string& region, const std::string& keyID,
                                         const std::string& applicationKey, const std::string& bucket) {
    checkRegion(region);
    Settings s;
    s.id = "backblaze-b2";
    s.label = "Backblaze B2";
    s.host = "s3." + region + ".backblazeb2.com";
    s.region = region;
    s.bucket = bucket;
    s.accessKeyID = keyID;
    s.secretAccessKey = applicationKey;
    return S3Destination(std::move(s));
}

S3Destination S3Destination::compatible(const std::string& endpoint, const std::string& region,
                                        const std::string& accessKeyID, const std::string& secretAccessKey,
                                        const std::string& bucket, bool deepArchive) {
    Settings s;
    size_t sep = endpoint.find("://");
    if (sep == std::string::npos) throw BackupError("the endpoint is not valid: it must start with https://");
    s.scheme = endpoint.substr(0, sep);
    std::string host = endpoint.substr(sep + 3);
    while (!host.empty() && host.back() == '/') host.pop_back();
    if (s.scheme != "https" && s.scheme != "http")
        throw BackupError("the endpoint is not valid: it must start with https://");
    if (host.empty()) throw BackupError("the endpoint is not valid: it names no host");
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']')
            throw BackupError("the endpoint is not valid: only a host name and port may follow the scheme");
    if (s.scheme == "http" && !isLoopback(host))
        throw BackupError("the endpoint must use https://, so that credentials and data never travel unencrypted");
    checkRegion(region);
    s.id = "s3-compatible";
    s.label = "S3-compatible storage";
    s.host = host;
    s.region = region;
    s.bucket = bucket;
    s.accessKeyID = accessKeyID;
    s.secretAccessKey = secretAccessKey;
    s.deepArchive = deepArchive;
    return S3Destination(std::move(s));
}

struct S3Destination::Connections {
    static constexpr size_t kKept = 8;
    std::mutex mutex;
    std::vector<CURL*> idle;
    ~Connections() {
        for (CURL* c : idle) curl_easy_cleanup(c);
    }
    CURL* take() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!idle.empty()) {
                CURL* c = idle.back();
                idle.pop_back();
                curl_easy_reset(c); // options go, the open connection stays
                return c;
            }
        }
        return curl_easy_init();
    }
    // A handle whose request failed is closed: its connection may be broken.
    void give(CURL* c, bool healthy) {
        if (healthy) {
            std::lock_guard<std::mutex> lock(mutex);
            if (idle.size() < kKept) {
                idle.push_back(c);
                return;
            }
        }
        curl_easy_cleanup(c);
    }
};

S3Destination::S3Destination(Settings settings)
    : s_(std::move(settings)), connections_(std::make_shared<Connections>()) {
    checkBucketName(s_.bucket);
    checkRegion(s_.region);
    checkAccessKeyID(s_.accessKeyID);
    checkSecret(s_.secretAccessKey);
    ensureCurl();
}

S3Destination::~S3Destination() { wipe(s_.secretAccessKey); }
S3Destination::S3Destination(S3Destination&&) noexcept = default;
S3Destination& S3Destination::operator=(S3Destination&&) noexcept = default;

std::string S3Destination::resumeIdentity() const {
    return "s3:" + s_.scheme + "://" + s_.host + "/" + s_.bucket + (s_.deepArchive ? "#deep-archive" : "");
}

std::string S3Destination::objectPath(const std::string& name) const {
    checkRemoteName(name, "object name");
    return (s_.pathStyle ? "/" + s_.bucket : std::string()) + "/" + sigv4::uriEncode(name, true);
}

// ---------------------------------------------------------------------------

struct S3Destination::Call {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
    std::vector<std::pair<std::string, std::string>> headers; // x-amz-* and content type
    std::string body;
    const ByteSink* sink = nullptr; // streams a successful body instead of keeping it
    bool headOnly = false;
};

struct S3Destination::Response {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;
};

namespace {

struct Transfer {
    const std::string* body = nullptr;
    size_t sent = 0;
    std::string received;
    const ByteSink* sink = nullptr;
    bool delivered = false; // the sink was given bytes: a retry would give them again
    long status = 0;
    CURL* curl = nullptr;
    std::map<std::string, std::string>* headers = nullptr;
    std::exception_ptr failure;
};

size_t readBody(char* buf, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t k = std::min(size * n, t->body->size() - t->sent);
    std::memcpy(buf, t->body->data() + t->sent, k);
    t->sent += k;
    return k;
}

size_t writeBody(char* data, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t total = size * n;
    if (t->status == 0) curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &t->status);
    if (t->sink && t->status >= 200 && t->status < 300) {
        try {
            t->delivered = true;
            (*t->sink)(reinterpret_cast<const unsigned char*>(data), total);
        } catch (...) {
            t->failure = std::current_exception();
            return 0; // aborts the transfer
        }
    } else if (t->received.size() < (1u << 20)) {
        t->received.append(data, total);
    }
    return total;
}

size_t headerLine(char* data, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::string line(data, size * n);
    size_t colon = line.find(':');
    if (colon != std::string::npos && t->headers) {
        std::string k = line.substr(0, colon);
        for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string v = line.substr(colon + 1);
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.erase(v.begin());
        while (!v.empty() && (v.back() == '\r' || v.back() == '\n' || v.back() == ' ')) v.pop_back();
        (*t->headers)[k] = v;
    }
    return size * n;
}

} // namespace

S3Destination::Response S3Destination::send(const Call& call) {
    const int attempts = 3;
    for (int attempt = 1;; ++attempt) {
        CURL* curl = connections_->take();
        if (!curl) throw BackupError("could not start a network request");
        Response resp;
        Transfer t;
        t.body = &call.body;
        t.sink = call.sink;
        t.curl = curl;
        t.headers = &resp.headers;

        std::string amzDate = sigv4::amzDateNow();
        sigv4::Request req;
        req.method = call.method;
        req.encodedPath = call.path;
        req.query = call.query;
        req.payloadHash = Sha256::hexOf(call.body);
        req.headers = {{"host", s_.host}, {"x-amz-date", amzDate}, {"x-amz-content-sha256", req.payloadHash}};
        for (const auto& h : call.headers) req.headers.push_back(h);
        std::string auth = sigv4::authorization(req, {s_.accessKeyID, s_.secretAccessKey, s_.region, "s3"}, amzDate);

        std::string url = s_.scheme + "://" + s_.host + call.path;
        std::string q = sigv4::canonicalQuery(call.query);
        if (!q.empty()) url += "?" + q;

        curl_slist* headers = nullptr;
        for (const auto& [k, v] : req.headers)
            if (k != "host") headers = curl_slist_append(headers, (k + ": " + v).c_str());
        headers = curl_slist_append(headers, ("Authorization: " + auth).c_str());
        headers = curl_slist_append(headers, "Expect:");
        wipeBytes(auth.data(), auth.size());

        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 120L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, headerLine);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
        if (call.headOnly) {
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        } else if (call.method == "PUT") {
            curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
            curl_easy_setopt(curl, CURLOPT_READDATA, &t);
            curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(call.body.size()));
        } else if (call.method == "POST") {
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(call.body.size()));
        } else if (call.method != "GET") {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
        }
        CURLcode rc = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &resp.status);
        curl_slist_free_all(headers);
        connections_->give(curl, rc == CURLE_OK && !t.failure);
        if (t.failure) std::rethrow_exception(t.failure);
        resp.body = std::move(t.received);

        bool transient = rc != CURLE_OK || resp.status >= 500 || resp.status == 429;
        if (transient && attempt < attempts && !t.delivered) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250 * attempt * attempt));
            continue;
        }
        if (rc != CURLE_OK) throw BackupError(s_.label + " could not be reached (" + curl_easy_strerror(rc) + ")");
        return resp;
    }
}

namespace {
[[noreturn]] void httpFailure(const std::string& label, const std::string& action, const S3Destination::Response& r);
}

struct S3Failure {
    static std::string text(const std::string& label, const std::string& action, long status, const std::string& body) {
        std::string code = tidy(between(body, "Code")), message = tidy(xmlUnescape(between(body, "Message")));
        std::string detail = code.empty() ? "" : " (" + code + (message.empty() ? "" : ": " + message) + ")";
        return label + " refused to " + action + ": it answered " + std::to_string(status) + detail;
    }
    // What to check for a refusal that no retry changes; empty for the others.
    static std::string advice(long status, const std::string& body) {
        const std::string code = between(body, "Code");
        if (code == "RequestTimeTooSkewed")
            return "this computer's clock is too far from the store's: check its date, time and time zone (set them "
                   "automatically), then try again";
        if (code == "NoSuchBucket")
            return "there is no such bucket: check the bucket's name and region, or create the bucket";
        if (code == "InvalidAccessKeyId")
            return "the store does not know that access key id: check the access key id, or make a new key pair";
        if (code == "SignatureDoesNotMatch")
            return "the secret access key does not belong to that access key id: enter the secret again";
        if (status == 403)
            return "the keys are not allowed to do this: check that they may read, write, list and delete in this "
                   "bucket";
        return {};
    }
};

namespace {
[[noreturn]] void httpFailure(const std::string& label, const std::string& action, const S3Destination::Response& r) {
    const std::string text = S3Failure::text(label, action, r.status, r.body);
    if (const std::string advice = S3Failure::advice(r.status, r.body); !advice.empty())
        throw DestinationUnusable(text + "; " + advice);
    throw DestinationRefused(text);
}
// The MD5 digest (16 bytes) of a body, which S3 uses as its own checksum of what it receives.
std::string md5Of(const std::string& body) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(body.data(), body.size(), out, &len, EVP_md5(), nullptr) != 1 || len != 16)
        throw BackupError("the MD5 digest failed");
    return std::string(reinterpret_cast<const char*>(out), len);
}

std::string base64Of(const std::string& bytes) {
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::vector<std::pair<std::string, std::string>> metaHeaders(const std::map<std::string, std::string>& metadata,
                                                             ObjectClass cls, bool deepArchive) {
    std::vector<std::pair<std::string, std::string>> h;
    for (const auto& [k, v] : metadata) h.emplace_back("x-amz-meta-" + k, v);
    if (cls == ObjectClass::data && deepArchive) h.emplace_back("x-amz-storage-class", "DEEP_ARCHIVE");
    return h;
}
} // namespace

void S3Destination::put(const std::string& name, uint64_t size, const ByteProducer& produce, ObjectClass cls,
                        const std::map<std::string, std::string>& metadata) {
    putConfirmed(name, size, produce, cls, metadata);
}

bool S3Destination::putConfirmed(const std::string& name, uint64_t size, const ByteProducer& produce, ObjectClass cls,
                                 const std::map<std::string, std::string>& metadata) {
    if (size > (256ull << 20)) throw BackupError("an object this large must be sent in parts");
    Call c;
    c.method = "PUT";
    c.path = objectPath(name);
    c.headers = metaHeaders(metadata, cls, s_.deepArchive);
    c.body.resize(static_cast<size_t>(size));
    if (size) produce(0, reinterpret_cast<unsigned char*>(c.body.data()), c.body.size());
    // With Content-MD5 the store refuses a body that arrived damaged (400
    // BadDigest) instead of keeping it; its ETag then says what it kept.
    const std::string md5 = md5Of(c.body);
    c.headers.emplace_back("content-md5", base64Of(md5));
    Response r = send(c);
    if (r.status < 200 || r.status >= 300) httpFailure(s_.label, "store " + name, r);
    // The ETag of a single-part upload is the MD5 of what the store received,
    // quoted; under some server-side encryption it is something else, which
    // confirms nothing.
    auto etag = r.headers.find("etag");
    if (etag == r.headers.end()) return false;
    std::string tag = etag->second;
    std::erase(tag, '"');
    for (char& ch : tag) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return tag == lowerHex(reinterpret_cast<const unsigned char*>(md5.data()), md5.size());
}

std::optional<ObjectInfo> S3Destination::head(const std::string& name) {
    Call c;
    c.method = "HEAD";
    c.path = objectPath(name);
    c.headOnly = true;
    Response r = send(c);
    if (r.status == 404) return std::nullopt;
    if (r.status < 200 || r.status >= 300) httpFailure(s_.label, "describe " + name, r);
    ObjectInfo info;
    auto it = r.headers.find("content-length");
    if (it != r.headers.end()) info.size = std::stoull(it->second);
    for (const auto& [k, v] : r.headers)
        if (k.rfind("x-amz-meta-", 0) == 0) info.metadata[k.substr(11)] = v;
    return info;
}

bool S3Destination::get(const std::string& name, const ByteSink& sink) {
    Call c;
    c.method = "GET";
    c.path = objectPath(name);
    c.sink = &sink;
    Response r = send(c);
    if (r.status == 404) return false;
    if (r.status < 200 || r.status >= 300) httpFailure(s_.label, "return " + name, r);
    return true;
}

bool S3Destination::getRange(const std::string& name, uint64_t offset, uint64_t length, const ByteSink& sink) {
    if (!length) return head(name).has_value();
    // The answer is kept before it is passed on: a store that ignores the range
    // answers 200 with the whole object, which is then cut here.
    std::string bytes;
    const ByteSink keep = [&](const unsigned char* p, size_t n) {
        if (bytes.size() + n > length + (64u << 20))
            throw BackupError("the object " + name + " is larger than recorded");
        bytes.append(reinterpret_cast<const char*>(p), n);
    };
    Call c;
    c.method = "GET";
    c.path = objectPath(name);
    c.headers.emplace_back("range", "bytes=" + std::to_string(offset) + "-" + std::to_string(offset + length - 1));
    c.sink = &keep;
    Response r = send(c);
    if (r.status == 404) return false;
    if (r.status == 416) return true; // the object ends before the range starts
    if (r.status < 200 || r.status >= 300) httpFailure(s_.label, "return " + name, r);
    const size_t from = r.status == 206 ? 0 : static_cast<size_t>(std::min<uint64_t>(offset, bytes.size()));
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, bytes.size() - from));
    if (n) sink(reinterpret_cast<const unsigned char*>(bytes.data()) + from, n);
    return true;
}

void S3Destination::remove(const std::string& name) {
    Call c;
    c.method = "DELETE";
    c.path = objectPath(name);
    Response r = send(c);
    if (r.status == 404) return;
    if (r.status < 200 || r.status >= 300) httpFailure(s_.label, "remove " + name, r);
}

std::vector<std::pair<std::string, uint64_t>> S3Destination::list(const std::string& prefix) {
    std::vector<std::pair<std::string, uint64_t>> out;
    std::string token;
    for (int page = 0; page < 100000; ++page) {
        Call c;
        c.method = "GET";
        c.path = s_.pathStyle ? "/" + s_.bucket : "/";
        c.query = {{"list-type", "2"}, {"prefix", prefix}};
        if (!token.empty()) c.query.emplace_back("continuation-token", token);
        Response r = send(c);
        if (r.status < 200 || r.status >= 300) httpFailure(s_.label, "list its objects", r);
        size_t pos = 0, end = 0;
        for (;;) {
            std::string item = between(r.body, "Contents", pos, &end);
            if (item.empty()) break;
            pos = end;
            std::string key = xmlUnescape(between(item, "Key"));
            std::string size = between(item, "Size");
            out.emplace_back(key, size.empty() ? 0 : std::stoull(size));
        }
        if (between(r.body, "IsTruncated") != "true") break;
        token = xmlUnescape(between(r.body, "NextContinuationToken"));
        if (token.empty()) break;
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string S3Destination::beginUpload(const std::string& name, uint64_t, ObjectClass cls,
                                       const std::map<std::string, std::string>& metadata) {
    Call c;
    c.method = "POST";
    c.path = objectPath(name);
    c.query = {{"uploads", ""}};
    c.headers = metaHeaders(metadata, cls, s_.deepArchive);
    Response r = send(c);
    if (r.status < 200 || r.status >= 300) httpFailure(s_.label, "start uploading " + name, r);
    std::string id = xmlUnescape(between(r.body, "UploadId"));
    if (id.empty()) throw BackupError(s_.label + " started an upload of " + name + " but gave no upload id");
    return id;
}

std::string S3Destination::uploadPart(const std::string& name, const std::string& uploadId, int partNumber,
                                      uint64_t offset, uint64_t size, const ByteProducer& produce) {
    Call c;
    c.method = "PUT";
    c.path = objectPath(name);
    c.query = {{"partNumber", std::to_string(partNumber)}, {"uploadId", uploadId}};
    c.body.resize(static_cast<size_t>(size));
    if (size) produce(offset, reinterpret_cast<unsigned char*>(c.body.data()), c.body.size());
    Response r = send(c);
    if (r.status == 404) throw UploadNotFound(S3Failure::text(s_.label, "take part of " + name, r.status, r.body));
    if (r.status < 200 || r.status >= 300) httpFailure(s_.label, "take part of " + name, r);
    auto it = r.headers.find("etag");
    return it == r.headers.end() ? std::string() : it->second;
}

void S3Destination::completeUpload(const std::string& name, const std::string& uploadId,
                                   const std::vector<std::pair<int, std::string>>& parts) {
    Call c;
    c.method = "POST";
    c.path = objectPath(name);
    c.query = {{"uploadId", uploadId}};
    c.body = "<CompleteMultipartUpload>";
    for (const auto& [n, etag] : parts)
        c.body += "<Part><PartNumber>" + std::to_string(n) + "</PartNumber><ETag>" + xmlEscape(etag) + "</ETag></Part>";
    c.body += "</CompleteMultipartUpload>";
    c.headers = {{"content-type", "application/xml"}};
    Response r = send(c);
    if (r.status == 404) throw UploadNotFound(S3Failure::text(s_.label, "finish " + name, r.status, r.body));
    // A completion can fail inside a 200 answer; the body then holds an Error.
    if (r.status < 200 || r.status >= 300 || r.body.find("<Error>") != std::string::npos)
        httpFailure(s_.label, "finish " + name, r);
}

void S3Destination::abortUpload(const std::string& name, const std::string& uploadId) noexcept {
    try {
        Call c;
        c.method = "DELETE";
        c.path = objectPath(name);
        c.query = {{"uploadId", uploadId}};
        send(c);
    } catch (...) {
    }
}

} // namespace kx
