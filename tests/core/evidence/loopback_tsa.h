#pragma once
// A real RFC 3161 time-stamp authority on 127.0.0.1 for tests, built from
// OpenSSL's responder with a throwaway certificate authority. Nothing here
// reaches beyond the loopback interface.
//
// Header-only so that the core and the application test programs can both use it.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace kx::test {

// A key and certificate pair; frees both.
struct TestIdentity {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    TestIdentity() = default;
    TestIdentity(const TestIdentity&) = delete;
    TestIdentity& operator=(const TestIdentity&) = delete;
    TestIdentity(TestIdentity&& o) noexcept : key(o.key), cert(o.cert) {
        o.key = nullptr;
        o.cert = nullptr;
    }
    ~TestIdentity() {
        EVP_PKEY_free(key);
        X509_free(cert);
    }
    std::string pem() const {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, cert);
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        std::string out(data, static_cast<std::size_t>(n));
        BIO_free(bio);
        return out;
    }
};

inline void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) throw std::runtime_error("test certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate authority (issuer == nullptr) or a time-stamping certificate it
// signs, valid from an hour before `start` seconds from now until three days after.
inline TestIdentity makeIdentity(const std::string& commonName, const TestIdentity* issuer, long serial,
                                 long start = 0) {
    TestIdentity id;
    id.key = EVP_EC_gen("P-256");
    id.cert = X509_new();
    X509_set_version(id.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(id.cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(id.cert), start - 3600);
    X509_gmtime_adj(X509_getm_notAfter(id.cert), start + 3 * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(id.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(id.cert, issuer ? X509_get_subject_name(issuer->cert) : name);
    X509_set_pubkey(id.cert, id.key);
    X509* issuerCert = issuer ? issuer->cert : id.cert;
    if (!issuer) {
        addExtension(id.cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(id.cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(id.cert, issuerCert, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(id.cert, issuerCert, NID_key_usage, "critical,digitalSignature,nonRepudiation");
        addExtension(id.cert, issuerCert, NID_ext_key_usage, "critical,timeStamping");
    }
    addExtension(id.cert, issuerCert, NID_subject_key_identifier, "hash");
    X509_sign(id.cert, issuer ? issuer->key : id.key, EVP_sha256());
    return id;
}

class LoopbackTimeStampAuthority {
public:
    enum class Mode { honest, wrongNonce, wrongImprint, untrustedSigner, httpError, garbage };

    // daysAgo > 0: an authority as it was that many days ago: it stamps that time,
    // and its certificates, valid for three days from then, have lapsed since.
    explicit LoopbackTimeStampAuthority(int daysAgo = 0)
        : offset_(-static_cast<long>(daysAgo) * 24 * 3600),
          root_(makeIdentity("Kelvara Test Root", nullptr, 1, offset_)),
          signer_(makeIdentity("Kelvara Test TSA", &root_, 2, offset_)),
          otherRoot_(makeIdentity("Someone Else's Root", nullptr, 3, offset_)),
          forger_(makeIdentity("Kelvara Test TSA", &otherRoot_, 4, offset_)) {
        start();
    }
    ~LoopbackTimeStampAuthority() { stop(); }

    // PEM of the root that signed the honest responder's certificate.
    std::string trustedPem() const { return root_.pem(); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/tsr"; }
    int requests() const { return requests_; }
    void setMode(Mode m) { mode_ = m; }
    bool running() const { return running_; }

    // Listens again on the same port after stop().
    void start() {
        if (running_) return;
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 16) != 0)
            throw std::runtime_error("loopback time-stamp authority could not listen");
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        running_ = true;
        thread_ = std::thread([this] { serve(); });
    }

    void stop() {
        if (!running_) return;
        running_ = false;
        thread_.join();
        ::close(listener_);
        listener_ = -1;
    }

private:
    void serve() {
        while (running_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            handle(fd);
            ::close(fd);
        }
    }

    static bool readSome(int fd, std::string& buf) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        buf.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    static void writeAllTo(int fd, const std::string& bytes) {
        std::size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
            if (n <= 0) return;
            off += static_cast<std::size_t>(n);
        }
    }

    void handle(int fd) {
        std::string buf;
        std::size_t headerEnd;
        while ((headerEnd = buf.find("\r\n\r\n")) == std::string::npos)
            if (!readSome(fd, buf)) return;
        std::size_t length = 0;
        std::string headers = buf.substr(0, headerEnd);
        for (auto& c : headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto cl = headers.find("content-length:");
        if (cl != std::string::npos) length = std::stoul(headers.substr(cl + 15));
        while (buf.size() < headerEnd + 4 + length)
            if (!readSome(fd, buf)) return;
        ++requests_;
        const std::string body = buf.substr(headerEnd + 4, length);
        const Mode mode = mode_;
        std::string reply;
        std::string status = "200 OK";
        if (mode == Mode::httpError) {
            status = "503 Service Unavailable";
        } else if (mode == Mode::garbage) {
            reply = "this is not a time-stamp response";
        } else {
            reply = respond(body, mode);
        }
        writeAllTo(fd, "HTTP/1.1 " + status + "\r\nContent-Type: application/timestamp-reply\r\nContent-Length: " +
                           std::to_string(reply.size()) + "\r\nConnection: close\r\n\r\n" + reply);
    }

    static ASN1_INTEGER* nextSerial(TS_RESP_CTX*, void* data) {
        auto* counter = static_cast<std::atomic<long>*>(data);
        ASN1_INTEGER* serial = ASN1_INTEGER_new();
        ASN1_INTEGER_set(serial, ++*counter);
        return serial;
    }

    static int shiftedTime(TS_RESP_CTX*, void* data, long* sec, long* usec) {
        *sec = static_cast<long>(::time(nullptr)) + *static_cast<const long*>(data);
        *usec = 0;
        return 1;
    }

    std::string respond(std::string request, Mode mode) {
        if (mode == Mode::wrongNonce || mode == Mode::wrongImprint) {
            // Answer a different question than the one asked.
            const unsigned char* p = reinterpret_cast<const unsigned char*>(request.data());
            TS_REQ* req = d2i_TS_REQ(nullptr, &p, static_cast<long>(request.size()));
            if (!req) return {};
            if (mode == Mode::wrongNonce) {
                ASN1_INTEGER* n = ASN1_INTEGER_new();
                ASN1_INTEGER_set(n, 12345);
                TS_REQ_set_nonce(req, n);
                ASN1_INTEGER_free(n);
            } else {
                ASN1_OCTET_STRING* msg = TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(req));
                unsigned char other[32];
                std::memset(other, 0x42, sizeof other);
                ASN1_OCTET_STRING_set(msg, other, sizeof other);
            }
            unsigned char* der = nullptr;
            const int len = i2d_TS_REQ(req, &der);
            request.assign(reinterpret_cast<char*>(der), static_cast<std::size_t>(len));
            OPENSSL_free(der);
            TS_REQ_free(req);
        }
        const TestIdentity& who = mode == Mode::untrustedSigner ? forger_ : signer_;
        TS_RESP_CTX* ctx = TS_RESP_CTX_new();
        TS_RESP_CTX_set_signer_cert(ctx, who.cert);
        TS_RESP_CTX_set_signer_key(ctx, who.key);
        TS_RESP_CTX_set_signer_digest(ctx, EVP_sha256());
        ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
        TS_RESP_CTX_set_def_policy(ctx, policy);
        ASN1_OBJECT_free(policy);
        TS_RESP_CTX_add_md(ctx, EVP_sha256());
        TS_RESP_CTX_set_serial_cb(ctx, &LoopbackTimeStampAuthority::nextSerial, &serial_);
        TS_RESP_CTX_set_time_cb(ctx, &LoopbackTimeStampAuthority::shiftedTime, &offset_);
        BIO* in = BIO_new_mem_buf(request.data(), static_cast<int>(request.size()));
        TS_RESP* resp = TS_RESP_create_response(ctx, in);
        BIO_free(in);
        std::string out;
        if (resp) {
            unsigned char* der = nullptr;
            const int len = i2d_TS_RESP(resp, &der);
            out.assign(reinterpret_cast<char*>(der), static_cast<std::size_t>(len));
            OPENSSL_free(der);
            TS_RESP_free(resp);
        }
        TS_RESP_CTX_free(ctx);
        ERR_clear_error();
        return out;
    }

    long offset_; // seconds added to the clock
    TestIdentity root_, signer_, otherRoot_, forger_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<int> requests_{0};
    std::atomic<Mode> mode_{Mode::honest};
    std::atomic<long> serial_{100};
    std::thread thread_;
};

} // namespace kx::test
