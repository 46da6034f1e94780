#pragma once
// Opening an archived attachment without handing the archive to another program.
//
// "Open" gives the viewer a temporary copy, never the archived object: the copy
// lies in a fresh private folder under the user's runtime folder, is named after the
// attachment's file name (path separators, control characters and a leading
// dot removed, so the name can never leave that folder) and is read-only.
// "Reveal" shows the folder that holds the object.
#include "core/archive/tresk_store.h"

#include <QString>

namespace reading {

// A file name that stays inside one folder: the stored name with "/", "\",
// NUL, control characters, line breaks and direction overrides removed, leading dots and spaces
// dropped, at most 200 bytes of UTF-8 (the extension kept); "Attachment" when
// nothing is left.
QString safeAttachmentFileName(const std::optional<std::string>& fileName);

struct OpenCopy {
    QString path;    // the read-only copy; null on failure
    QString problem; // a sentence when the copy could not be made
};
// Copies `objectPath` into a new folder below `tempBase` (created, mode 0700;
// refused when it is a link or another user's) under the attachment's safe
// name, mode 0400. Folders of copies made more than a day ago are removed.
OpenCopy makeReadOnlyCopy(const QString& objectPath, const kx::TreskStore::AttachmentRef& attachment,
                          const QString& tempBase);
// The folder for those copies: "kelvara-open" in the user's runtime folder.
QString openCopiesFolder();

// Opens a temporary copy of the attachment with the desktop's default
// application; a sentence when that failed (null on success).
QString openAttachment(const QString& objectPath, const kx::TreskStore::AttachmentRef& attachment);
// Shows the folder that holds the archived object; a sentence on failure.
QString revealAttachment(const QString& objectPath);

} // namespace reading
