#pragma once
// Object stores reached through the S3 API: AWS S3 (also with the Glacier Deep
// Archive storage class), Cloudflare R2, Backblaze B2, and any S3-compatible
// endpoint (used against a local test server).
//
// Requests are signed with Signature Version 4 (sigv4.h) and sent with libcurl.
// Every input that becomes part of a URL or header (bucket, region, account id,
// endpoint, access key id) is checked before use; bad input gives a BackupError
// naming the field, never the value of a secret.
//
// Endpoints: AWS https://<bucket>.s3.<region>.amazonaws.com (path style when the
// bucket name has a dot), R2 https://<account>.r2.cloudflarestorage.com/<bucket>
// with region "auto", B2 https://s3.<region>.backblazeb2.com/<bucket>.
// Deep Archive: only data objects get "x-amz-storage-class: DEEP_ARCHIVE";
// control objects (connection tests, status records) stay in the standard class.
#include "core/backup/destination.h"

#include <memory>
#include <string>

namespace kx {

// The R2 per-account endpoint host suffix, with its leading dot.
inline constexpr const char* kR2EndpointSuffix = ".r2.cloudflarestorage.com";

class S3Destination final : public BackupDestination {
public:
    struct Settings {
        std::string id;
        std::string label;
        std::string scheme = "https";
        std::string host; // may carry ":port"
        bool pathStyle = true;
        std::string region;
        std::string bucket;
        std::string accessKeyID;
        std::string secretAccessKey;
        bool deepArchive = false;
    };

    static S3Destination cloudflareR2(const std::string& accountID, const std::string& accessKeyID,
                                      const std::string& secretAccessKey, const std::string& bucket);
    static S3Destination awsS3(const std::string& region, const std::string& accessKeyID,
                               const std::string& secretAccessKey, const std::string& bucket, bool deepArchive);
    static S3Destination backblazeB2(const std::string& region, const std::string& keyID,
                                     const std::string& applicationKey, const std::string& bucket);
    // Any S3-compatible endpoint ("https://host[:port]"); plain http is accepted
    // only for loopback hosts, so credentials never travel unencrypted.
    static S3Destination compatible(const std::string& endpoint, const std::string& region,
                                    const std::string& accessKeyID, const std::string& secretAccessKey,
                                    const std::string& bucket, bool deepArchive = false);

    explicit S3Destination(Settings settings);
    ~S3Destination() override;
    S3Destination(S3Destination&&) noexcept;
    S3Destination& operator=(S3Destination&&) noexcept;

    const Settings& settings() const { return s_; }

    std::string id() const override { return s_.id; }
    std::string label() const override { return s_.label; }
    std::string resumeIdentity() const override;
    bool canReadBackData() const override { return !s_.deepArchive; }
    bool readsAreCharged() const override { return true; }
    bool packsSmallObjects() const override { return canReadBackData(); }

    void put(const std::string& name, uint64_t size, const ByteProducer& produce, ObjectClass cls,
             const std::map<std::string, std::string>& metadata) override;
    bool putConfirmed(const std::string& name, uint64_t size, const ByteProducer& produce, ObjectClass cls,
                      const std::map<std::string, std::string>& metadata) override;
    std::optional<ObjectInfo> head(const std::string& name) override;
    bool get(const std::string& name, const ByteSink& sink) override;
    bool getRange(const std::string& name, uint64_t offset, uint64_t length, const ByteSink& sink) override;
    void remove(const std::string& name) override;
    std::vector<std::pair<std::string, uint64_t>> list(const std::string& prefix) override;
    std::string beginUpload(const std::string& name, uint64_t partSize, ObjectClass cls,
                            const std::map<std::string, std::string>& metadata) override;
    std::string uploadPart(const std::string& name, const std::string& uploadId, int partNumber, uint64_t offset,
                           uint64_t size, const ByteProducer& produce) override;
    void completeUpload(const std::string& name, const std::string& uploadId,
                        const std::vector<std::pair<int, std::string>>& parts) override;
    void abortUpload(const std::string& name, const std::string& uploadId) noexcept override;

    struct Response;

private:
    struct Call;
    Response send(const Call& call);
    std::string objectPath(const std::string& name) const;
    Settings s_;
    // Request handles kept between requests, each with its open connection, so
    // requests side by side reuse a few connections instead of opening one each.
    struct Connections;
    std::shared_ptr<Connections> connections_;
};

// Input checks, exposed for the tests and for callers that validate early.
// Each throws BackupError with a sentence fragment naming the field.
void checkBucketName(const std::string& bucket);
void checkRegion(const std::string& region);
void checkAccountID(const std::string& accountID);
void checkAccessKeyID(const std::string& accessKeyID);
void checkSecret(const std::string& secret);

} // namespace kx
