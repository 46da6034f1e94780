#include "core/evidence/seal_anchor_client.h"

namespace kx {

const std::string SealAnchorClient::productionBaseURL = "http://timestamp.digicert.com";

SealAnchorClient::SealAnchorClient(std::string baseURL, std::shared_ptr<HttpSession> session,
                                   std::optional<std::string> publicKey, NowFunction now)
    : baseURL_(std::move(baseURL)), session_(std::move(session)), publicKey_(std::move(publicKey)),
      now_(std::move(now)) {}

SealAnchor SealAnchorClient::anchor(const SealFile&) const {
    throw SealAnchorError("The seal server could not be reached.");
}

void SealAnchorClient::verifyAnchor(const SealFile&, const SealAnchor&) const {
    throw SealAnchorError("The anchor could not be checked.");
}

HttpReply CurlHttpSession::post(const std::string&, const std::string&, const std::string&, std::chrono::seconds) {
    throw Error("no transport");
}

} // namespace kx
