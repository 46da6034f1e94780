#pragma once
// The readers of the five source formats (factories in ingesters.h).
//
// Where each format keeps its messages:
// - macosMessagesFolder: the source path is a Messages folder (a copy of
//   ~/Library/Messages from some Mac) holding chat.db (with -wal/-shm) and
//   Attachments/. A path naming the chat.db file itself is accepted too.
// - liveChatDB: this machine's Messages folder; the source path is that folder
//   (home folder + "/Library/Messages"), or the chat.db in it; an empty path
//   means the home folder's Messages folder.
// - iosDeviceBackup: an unencrypted device backup folder (device_backup.h); the
//   messages database is sms.db (with its own -wal/-shm entries when the backup
//   has them) and attachments are MediaDomain files.
// - iosBackupNoMessages, htmlExport: hold no messages; reading one only checks
//   that it is still there and reports "no messages".
#include "core/archive/ingesters.h"

namespace kx {

class MacOSMessagesFolderIngester : public Ingester {
public:
    SourceFormat format() const override { return SourceFormat::macosMessagesFolder; }
    IngestOutcome ingest(const Source& source, const IngestCursor& from, IngestSink& sink) override;
};

class LiveChatDBIngester : public Ingester {
public:
    SourceFormat format() const override { return SourceFormat::liveChatDB; }
    IngestOutcome ingest(const Source& source, const IngestCursor& from, IngestSink& sink) override;
};

class IOSDeviceBackupIngester : public Ingester {
public:
    SourceFormat format() const override { return SourceFormat::iosDeviceBackup; }
    IngestOutcome ingest(const Source& source, const IngestCursor& from, IngestSink& sink) override;
};

class NonMessageSourceIngester : public Ingester {
public:
    // Throws kx::Error when `format` can hold messages.
    explicit NonMessageSourceIngester(SourceFormat format);
    SourceFormat format() const override { return format_; }
    IngestOutcome ingest(const Source& source, const IngestCursor& from, IngestSink& sink) override;

private:
    SourceFormat format_;
};

} // namespace kx
