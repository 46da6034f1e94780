#include "core/evidence/seal_anchor_client.h"

#include "core/evidence/digest.h"

#include <curl/curl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <mutex>

namespace kx {

// DigiCert's public time-stamp authority; its certificates chain to a root in
// the system's certificate bundle. Plain HTTP is enough: an answer counts only
// when its signature verifies.
const std::string SealAnchorClient::productionBaseURL = "http://timestamp.digicert.com";

namespace {

constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr std::size_t kMaxReply = 1 << 20;

// The most recent OpenSSL error as a short phrase, emptying the error queue.
std::string opensslReason() {
    std::string reason;
    unsigned long code = 0;
    while ((code = ERR_get_error()) != 0) {
        const char* r = ERR_reason_error_string(code);
        if (r && reason.empty()) reason = r; // the first queued error is the cause
    }
    return reason.empty() ? std::string("unknown reason") : reason;
}

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using TsReqPtr = std::unique_ptr<TS_REQ, Deleter<TS_REQ, TS_REQ_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Deleter<TS_RESP, TS_RESP_free>>;
using TsVerifyPtr = std::unique_ptr<TS_VERIFY_CTX, Deleter<TS_VERIFY_CTX, TS_VERIFY_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, Deleter<TS_TST_INFO, TS_TST_INFO_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using AsnIntPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER, ASN1_INTEGER_free>>;

std::string rawDigest(const SealFile& seal) {
    std::string raw;
    if (!evidence::fromHex(seal.sealDigest(), raw) || raw.size() != 32)
        throw SealAnchorError("The seal's digest could not be formed.");
    return raw;
}

// The certificates a token must chain to.
StorePtr trustStore(const std::optional<std::string>& pem, Date now) {
    StorePtr store(X509_STORE_new());
    if (!store) throw SealAnchorError("The trusted certificates could not be prepared.");
    if (pem) {
        BioPtr bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
        int added = 0;
        while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
            X509_STORE_add_cert(store.get(), cert);
            X509_free(cert);
            ++added;
        }
        ERR_clear_error();
        if (added == 0) throw SealAnchorError("The trusted certificate for the seal server is not a PEM certificate.");
    } else if (X509_STORE_load_file(store.get(), kSystemBundle) != 1) {
        ERR_clear_error();
        throw SealAnchorError(std::string("The system's trusted certificates (") + kSystemBundle +
                              ") could not be read, so no anchor can be checked.");
    }
    X509_VERIFY_PARAM* param = X509_STORE_get0_param(store.get());
    X509_VERIFY_PARAM_set_time(param, std::chrono::system_clock::to_time_t(now));
    return store;
}

std::string integerHex(const ASN1_INTEGER* value) {
    if (!value) return {};
    BnPtr bn(ASN1_INTEGER_to_BN(value, nullptr));
    if (!bn) return {};
    char* hex = BN_bn2hex(bn.get());
    std::string out = hex ? hex : "";
    OPENSSL_free(hex);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

Date generalizedTime(const ASN1_GENERALIZEDTIME* t) {
    struct tm tm {};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) throw SealAnchorError("The seal server's receipt carries no valid time.");
    Date d = std::chrono::system_clock::from_time_t(timegm(&tm));
    // Fractions of a second, when the authority gives them ("...SS.fffZ").
    const std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)),
                           static_cast<std::size_t>(ASN1_STRING_length(t)));
    const auto dot = text.find('.');
    if (dot != std::string::npos) {
        std::string digits;
        for (std::size_t i = dot + 1; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
            digits += text[i];
        digits = (digits + "000").substr(0, 3);
        d += std::chrono::milliseconds(std::stoi(digits));
    }
    return d;
}

std::string authorityName(TS_TST_INFO* info, PKCS7* token) {
    if (GENERAL_NAME* name = TS_TST_INFO_get_tsa(info)) {
        if (name->type == GEN_DIRNAME) {
            char buf[256];
            X509_NAME_oneline(name->d.directoryName, buf, sizeof buf);
            return buf;
        }
    }
    STACK_OF(X509)* certs = token && PKCS7_type_is_signed(token) ? token->d.sign->cert : nullptr;
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(token);
    if (certs && signers && sk_PKCS7_SIGNER_INFO_num(signers) > 0) {
        PKCS7_ISSUER_AND_SERIAL* ias = sk_PKCS7_SIGNER_INFO_value(signers, 0)->issuer_and_serial;
        for (int i = 0; i < sk_X509_num(certs); ++i) {
            X509* c = sk_X509_value(certs, i);
            if (ASN1_INTEGER_cmp(X509_get0_serialNumber(c), ias->serial) == 0) {
                char buf[256] = {0};
                int n = X509_NAME_get_text_by_NID(X509_get_subject_name(c), NID_commonName, buf, sizeof buf);
                if (n > 0) return buf;
            }
        }
    }
    return {};
}

SealAnchor receiptFrom(PKCS7* token, TS_TST_INFO* info, const std::string& authority) {
    SealAnchor a;
    a.authority = authority;
    a.anchoredAt = generalizedTime(TS_TST_INFO_get_time(info));
    a.serialNumber = integerHex(TS_TST_INFO_get_serial(info));
    unsigned char* der = nullptr;
    const int len = i2d_PKCS7(token, &der);
    if (len <= 0) throw SealAnchorError("The seal server's receipt could not be stored.");
    a.token = evidence::base64Encode(
        std::string_view(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len)));
    OPENSSL_free(der);
    std::string when = formatISO8601(a.anchoredAt);
    // "2026-12-09T04:30:01.000Z" -> "2026-12-09 04:30:01 UTC"
    if (when.size() >= 19) when = when.substr(0, 10) + " " + when.substr(11, 8) + " UTC";
    const std::string name = authorityName(info, token);
    a.summary = when + (name.empty() ? "" : " by " + name) + ", serial " + a.serialNumber;
    return a;
}

std::once_flag curlInit;

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<std::string*>(user);
    const size_t n = size * count;
    if (out->size() + n > kMaxReply) return 0; // aborts the transfer
    out->append(data, n);
    return n;
}

} // namespace

HttpReply CurlHttpSession::post(const std::string& url, const std::string& contentType, const std::string& body,
                                std::chrono::seconds timeout) {
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (!curl) throw Error("the network library could not be started");
    HttpReply reply;
    char errbuf[CURL_ERROR_SIZE] = {0};
    const std::string header = "Content-Type: " + contentType;
    curl_slist* headers = curl_slist_append(nullptr, header.c_str());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(std::min<long>(10, timeout.count())));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    const CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        char* type = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) reply.contentType = type;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) throw Error(errbuf[0] ? errbuf : curl_easy_strerror(rc));
    return reply;
}

SealAnchorClient::SealAnchorClient(std::string baseURL, std::shared_ptr<HttpSession> session,
                                   std::optional<std::string> publicKey, NowFunction now)
    : baseURL_(std::move(baseURL)), session_(std::move(session)), publicKey_(std::move(publicKey)),
      now_(std::move(now)) {
    if (!session_) session_ = std::make_shared<CurlHttpSession>();
    if (!now_) now_ = [] { return std::chrono::system_clock::now(); };
}

SealAnchor SealAnchorClient::anchor(const SealFile& seal) const {
    const std::string digest = rawDigest(seal);

    // The request: SHA-256 imprint of the seal digest, a fresh nonce, and the
    // signer's certificate asked for so the token can be checked on its own.
    TsReqPtr req(TS_REQ_new());
    TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
    X509_ALGOR* alg = X509_ALGOR_new();
    BnPtr nonceBn(BN_new());
    if (!req || !imprint || !alg || !nonceBn) {
        TS_MSG_IMPRINT_free(imprint);
        X509_ALGOR_free(alg);
        throw SealAnchorError("The time-stamp request could not be made.");
    }
    X509_ALGOR_set0(alg, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr);
    TS_MSG_IMPRINT_set_algo(imprint, alg);
    X509_ALGOR_free(alg);
    TS_MSG_IMPRINT_set_msg(imprint, reinterpret_cast<unsigned char*>(const_cast<char*>(digest.data())),
                           static_cast<int>(digest.size()));
    TS_REQ_set_version(req.get(), 1);
    TS_REQ_set_msg_imprint(req.get(), imprint);
    TS_MSG_IMPRINT_free(imprint);
    if (BN_rand(nonceBn.get(), 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1)
        throw SealAnchorError("No random nonce could be made for the time-stamp request.");
    AsnIntPtr nonce(BN_to_ASN1_INTEGER(nonceBn.get(), nullptr));
    TS_REQ_set_nonce(req.get(), nonce.get());
    TS_REQ_set_cert_req(req.get(), 1);

    unsigned char* der = nullptr;
    const int derLen = i2d_TS_REQ(req.get(), &der);
    if (derLen <= 0) throw SealAnchorError("The time-stamp request could not be encoded.");
    const std::string body(reinterpret_cast<const char*>(der), static_cast<std::size_t>(derLen));
    OPENSSL_free(der);

    HttpReply reply;
    try {
        reply = session_->post(baseURL_, "application/timestamp-query", body, kTimeout);
    } catch (const Error& e) {
        throw SealServerUnreachable(std::string("The seal server could not be reached (") + e.what() + ").");
    }
    if (reply.status != 200)
        throw SealAnchorError("The seal server answered with an error (HTTP " + std::to_string(reply.status) + ").");

    const unsigned char* p = reinterpret_cast<const unsigned char*>(reply.body.data());
    TsRespPtr resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.body.size())));
    if (!resp) {
        ERR_clear_error();
        throw SealAnchorError("The seal server's answer is not a time-stamp response.");
    }

    // Imprint, nonce, version, status, signature and chain, all in one check.
    TsVerifyPtr ctx(TS_REQ_to_TS_VERIFY_CTX(req.get(), nullptr));
    if (!ctx) throw SealAnchorError("The seal server's answer could not be checked.");
    TS_VERIFY_CTX_add_flags(ctx.get(), TS_VFY_SIGNATURE | TS_VFY_VERSION | TS_VFY_IMPRINT | TS_VFY_NONCE);
    StorePtr store = trustStore(publicKey_, now_());
    TS_VERIFY_CTX_set_store(ctx.get(), store.release()); // the context owns it from here
    if (TS_RESP_verify_response(ctx.get(), resp.get()) != 1)
        throw SealAnchorError("The seal server's answer was refused: " + opensslReason() + ".");

    PKCS7* token = TS_RESP_get_token(resp.get());
    TS_TST_INFO* info = TS_RESP_get_tst_info(resp.get());
    if (!token || !info) throw SealAnchorError("The seal server's answer holds no receipt.");
    return receiptFrom(token, info, baseURL_);
}

SealAnchor SealAnchorClient::verifyAnchor(const SealFile& seal, const SealAnchor& anchor) const {
    const std::string digest = rawDigest(seal);
    std::string der;
    if (!evidence::base64Decode(anchor.token, der)) throw SealAnchorError("The seal's receipt is not valid base64.");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Pkcs7Ptr token(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    if (!token) {
        ERR_clear_error();
        throw SealAnchorError("The seal's receipt is not a time-stamp token.");
    }
    TsVerifyPtr ctx(TS_VERIFY_CTX_new());
    unsigned char* copy = static_cast<unsigned char*>(OPENSSL_malloc(digest.size()));
    if (!ctx || !copy) {
        OPENSSL_free(copy);
        throw SealAnchorError("The seal's receipt could not be checked.");
    }
    std::memcpy(copy, digest.data(), digest.size());
    TS_VERIFY_CTX_set_flags(ctx.get(), TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_IMPRINT);
    TS_VERIFY_CTX_set_imprint(ctx.get(), copy, static_cast<long>(digest.size()));
    // A stored receipt is checked as of the moment it was issued: the authority's
    // certificate had to be valid then, and its later expiry takes nothing away.
    TstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info) {
        ERR_clear_error();
        throw SealAnchorError("The seal's receipt is not a time-stamp token.");
    }
    const Date issued = generalizedTime(TS_TST_INFO_get_time(info.get()));
    StorePtr store = trustStore(publicKey_, issued);
    TS_VERIFY_CTX_set_store(ctx.get(), store.release());
    if (TS_RESP_verify_token(ctx.get(), token.get()) != 1)
        throw SealAnchorError("The seal's receipt does not hold: " + opensslReason() + ".");
    // The readable fields are only a copy of what the token says; a copy that
    // disagrees with it means the seal file was edited after it was written.
    SealAnchor read = receiptFrom(token.get(), info.get(), anchor.authority);
    if (read.anchoredAt != anchor.anchoredAt || read.serialNumber != anchor.serialNumber ||
        read.summary != anchor.summary)
        throw SealAnchorError("The seal file has been altered: its anchor's time or serial number (" + anchor.summary +
                              ") differs from its receipt (" + read.summary + ").");
    read.token = anchor.token;
    return read;
}

} // namespace kx
