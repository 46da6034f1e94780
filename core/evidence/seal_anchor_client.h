#pragma once
// Anchoring a seal: an RFC 3161 time-stamp authority signs the seal's digest.
//
// The client sends a TimeStampReq (SHA-256 imprint of the seal digest, a random
// 64-bit nonce, certReq true) as "application/timestamp-query" by HTTP POST to the
// base URL and accepts the answer only when all of these hold:
//   - HTTP 200 and a TimeStampResp whose status is granted;
//   - the token's message imprint is the digest that was sent, with SHA-256;
//   - the token's nonce is the nonce that was sent;
//   - the token's signature verifies and its signer certificate chains to the
//     trusted certificates and carries the time-stamping extended key usage.
// The trusted certificates are the PEM text given to the constructor; without
// one the built-in trust anchor is used, which is the system's certificate
// authority bundle (/etc/ssl/certs/ca-certificates.crt). There is no way to
// switch verification off.
#include "core/evidence/seal_file.h"
#include "core/platform/error.h"
#include "core/platform/time.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace kx {

// Why an anchoring attempt failed. what() is a whole sentence for the user.
class SealAnchorError : public Error {
public:
    using Error::Error;
};

// The seal server did not answer at all (no connection, timeout).
class SealServerUnreachable : public SealAnchorError {
public:
    using SealAnchorError::SealAnchorError;
};

struct HttpReply {
    long status = 0;
    std::string contentType;
    std::string body;
};

// The HTTP transport the client posts through; tests may supply their own.
class HttpSession {
public:
    virtual ~HttpSession() = default;
    // Throws kx::Error when the server cannot be reached or the transfer fails.
    virtual HttpReply post(const std::string& url, const std::string& contentType, const std::string& body,
                           std::chrono::seconds timeout) = 0;
};

// libcurl transport: follows no redirects, caps the answer at 1 MiB.
class CurlHttpSession final : public HttpSession {
public:
    HttpReply post(const std::string& url, const std::string& contentType, const std::string& body,
                   std::chrono::seconds timeout) override;
};

class SealAnchorClient {
public:
    // A public RFC 3161 time-stamp authority.
    static const std::string productionBaseURL;
    static constexpr std::chrono::seconds kTimeout{20};

    // session: nothing means a libcurl session. publicKey: PEM certificates to
    // trust; nothing means the built-in trust anchor. now: nothing means the
    // system clock (used to check a fresh token's certificates when anchoring).
    SealAnchorClient(std::string baseURL, std::shared_ptr<HttpSession> session = nullptr,
                     std::optional<std::string> publicKey = std::nullopt, NowFunction now = nullptr);

    // Asks the authority to time-stamp the seal's digest. Returns the receipt;
    // throws SealAnchorError with a sentence saying why it could not be had.
    SealAnchor anchor(const SealFile& seal) const;

    // Checks a stored receipt against a seal (imprint and signature; no nonce),
    // with the certificates checked at the receipt's own time. Returns the anchor
    // as read from the token itself. Throws SealAnchorError when it does not hold
    // or when the seal's readable time, serial or summary disagree with the token.
    SealAnchor verifyAnchor(const SealFile& seal, const SealAnchor& anchor) const;

    const std::string& baseURL() const { return baseURL_; }

private:
    std::string baseURL_;
    std::shared_ptr<HttpSession> session_;
    std::optional<std::string> publicKey_;
    NowFunction now_;
};

} // namespace kx
