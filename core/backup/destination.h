#pragma once
// Where backups go: the destination interface, its errors and the checks every
// remote object name passes.
#include "core/platform/error.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kx {

// A backup failure with one message text ("AWS S3 is missing its keys, bucket, or region").
class BackupError : public Error {
public:
    using Error::Error;
};

// The destination answered a request with a refusal (an error status that
// retrying did not change), as opposed to not being reached at all.
class DestinationRefused : public BackupError {
public:
    using BackupError::BackupError;
};

// The destination cannot be used as it is set up: a bucket or folder that is
// not there, keys it does not accept, or a clock it does not trust. The message
// says what to check; running the backup again alone changes nothing.
class DestinationUnusable : public DestinationRefused {
public:
    using DestinationRefused::DestinationRefused;
};

// A multipart upload the destination no longer knows (expired, aborted, or the
// partial file removed); the engine then starts the object afresh.
class UploadNotFound : public BackupError {
public:
    using BackupError::BackupError;
};

// Data objects are the archive's own bytes; control objects are connection tests,
// status records and anything else that must stay readable at once. Only data
// objects go to an archival storage class.
enum class ObjectClass { data, control };

struct ObjectInfo {
    uint64_t size = 0;
    std::map<std::string, std::string> metadata; // lower-case names without any "x-amz-meta-" prefix
};

// Produces bytes [offset, offset + n) of what is being uploaded into buf; throws on failure.
using ByteProducer = std::function<void(uint64_t offset, unsigned char* buf, size_t n)>;
using ByteSink = std::function<void(const unsigned char* data, size_t n)>;

class BackupDestination {
public:
    virtual ~BackupDestination() = default;

    virtual std::string id() const = 0;
    virtual std::string label() const = 0;
    // Identity for resume bookkeeping: kind and bucket with endpoint, or folder.
    virtual std::string resumeIdentity() const = 0;
    // False when data objects cannot be read back at once (archival storage); they
    // are then checked by size and checksum metadata.
    virtual bool canReadBackData() const { return true; }
    // True where reading objects back is charged for (object stores): stored
    // objects are then read back in a longer rotation (stored_audit.h).
    virtual bool readsAreCharged() const { return false; }
    // The part size this destination wants for an object of this size.
    virtual uint64_t partSizeFor(uint64_t objectSize) const;
    // Whether parts of one object gain from being stored side by side. False
    // where they all land in one file, whose writes take turns anyway: the
    // parts then go one after the other.
    virtual bool partsSideBySide() const { return true; }
    // Whether small objects are better stored many to a shared object (a pack)
    // than one each: where every request costs more than the bytes it carries
    // (object stores) and data can be read back at once.
    virtual bool packsSmallObjects() const { return false; }

    virtual void put(const std::string& name, uint64_t size, const ByteProducer& produce, ObjectClass cls,
                     const std::map<std::string, std::string>& metadata) = 0;
    // Stores like put, and returns whether the store itself confirmed, by its
    // own checksum of the bytes it received, that it holds exactly the bytes
    // sent (an object store's ETag of a single-part upload is their MD5). A store
    // that gives no such checksum, or whose checksum differs, confirms nothing;
    // the caller then reads the object back.
    virtual bool putConfirmed(const std::string& name, uint64_t size, const ByteProducer& produce, ObjectClass cls,
                              const std::map<std::string, std::string>& metadata) {
        put(name, size, produce, cls, metadata);
        return false;
    }
    virtual std::optional<ObjectInfo> head(const std::string& name) = 0;
    // Streams the object to sink; false when there is no such object.
    virtual bool get(const std::string& name, const ByteSink& sink) = 0;
    // Streams bytes [offset, offset + length) of the object to sink, fewer when
    // the object ends sooner; false when there is no such object. By default the
    // whole object is read and the rest passed over.
    virtual bool getRange(const std::string& name, uint64_t offset, uint64_t length, const ByteSink& sink);
    // Removing an absent object is no failure.
    virtual void remove(const std::string& name) = 0;
    // Names and sizes of the objects below a prefix ("kelvara/jorin/").
    virtual std::vector<std::pair<std::string, uint64_t>> list(const std::string& prefix) = 0;

    // Multipart uploads. Every part but the last has the size given at the start.
    virtual std::string beginUpload(const std::string& name, uint64_t partSize, ObjectClass cls,
                                    const std::map<std::string, std::string>& metadata) = 0;
    // Returns the part's tag for completion. Throws UploadNotFound when the upload is gone.
    virtual std::string uploadPart(const std::string& name, const std::string& uploadId, int partNumber,
                                   uint64_t offset, uint64_t size, const ByteProducer& produce) = 0;
    virtual void completeUpload(const std::string& name, const std::string& uploadId,
                                const std::vector<std::pair<int, std::string>>& parts) = 0;
    // Best effort; never throws.
    virtual void abortUpload(const std::string& name, const std::string& uploadId) noexcept = 0;

    // Makes everything stored so far durable. The engine calls it before it
    // writes a manifest that names the objects. Throws BackupError.
    virtual void flush() {}

    // Rewrites the small control object `name`: change gets its bytes (none when
    // absent) and returns what to store, an empty text to remove it, or none to
    // leave it. Returns whether it changed anything. Where exclusiveUpdates() is
    // true, two updates of one object (from any process on this computer) never
    // interleave; elsewhere the caller confirms by reading back. Throws BackupError.
    using ControlChange = std::function<std::optional<std::string>(const std::optional<std::string>& current)>;
    virtual bool updateControl(const std::string& name, const ControlChange& change);
    virtual bool exclusiveUpdates() const { return false; }

    // Removes what interrupted runs left in `folder` (and below it when
    // recursive): temporaries of whole objects, and unfinished multipart uploads
    // whose upload id is not in keepUploads. Only a run holding the lease of that
    // folder calls it. Returns how many it removed; never throws.
    virtual size_t sweepTemporaries(const std::string& folder, bool recursive,
                                    const std::set<std::string>& keepUploads) noexcept {
        (void)folder, (void)recursive, (void)keepUploads;
        return 0;
    }
};

// Throws BackupError unless name is a relative path of non-empty components
// other than "." and "..", without a backslash, a NUL or another control
// character, and at most 900 bytes long.
void checkRemoteName(const std::string& name, const char* what = "remote name");

} // namespace kx
