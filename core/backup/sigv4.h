#pragma once
// AWS Signature Version 4 for S3 requests (header form).
//
// The canonical request is built from: the method; the path, already
// percent-encoded by the caller (S3 paths are not encoded twice); the query
// parameters, each name and value percent-encoded and sorted, written
// "name=value" even when the value is empty; every header given, names
// lower-cased, values trimmed with inner runs of spaces folded, sorted by name;
// the signed header list; and the payload hash (hex SHA-256 of the body,
// Sha256::hexOf). The
// caller sends exactly the headers it signed, plus Authorization.
#include <string>
#include <utility>
#include <vector>

namespace kx::sigv4 {

struct Request {
    std::string method;
    std::string encodedPath;                                  // "/bucket/a%20b"
    std::vector<std::pair<std::string, std::string>> query;   // raw names and values
    std::vector<std::pair<std::string, std::string>> headers; // must include host, x-amz-date, x-amz-content-sha256
    std::string payloadHash;
};

struct Credentials {
    std::string accessKeyID;
    std::string secretAccessKey;
    std::string region;
    std::string service = "s3";
};

// RFC 3986 unreserved characters stay; every other byte becomes %XX (upper case).
// With keepSlash, "/" stays too (for paths).
std::string uriEncode(const std::string& text, bool keepSlash);

std::string canonicalQuery(const std::vector<std::pair<std::string, std::string>>& query);
std::string canonicalRequest(const Request& request);
std::string stringToSign(const Request& request, const std::string& amzDate, const std::string& region,
                         const std::string& service);
// The value of the Authorization header. amzDate is "YYYYMMDDTHHMMSSZ".
std::string authorization(const Request& request, const Credentials& credentials, const std::string& amzDate);

std::string amzDateNow();

} // namespace kx::sigv4
