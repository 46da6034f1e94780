#pragma once
// Look-ups by GUID into an owner's store, used to check a source's contents
// against the archive one message at a time.
#include "core/archive/tresk_store.h"

#include <memory>
#include <optional>
#include <string>

namespace kx {

class TreskStore::ContentCheck {
public:
    explicit ContentCheck(SQLite::Database& db);
    ~ContentCheck();
    ContentCheck(const ContentCheck&) = delete;
    ContentCheck& operator=(const ContentCheck&) = delete;

    struct MessageState {
        bool archived = false;      // a message with this GUID is in the store
        bool bodyKept = false;      // the given text is the stored text or one of its kept versions
        bool heldElsewhere = false; // another source (by registry id) also held it
    };
    // `text`: the body the source holds now; none or empty counts as kept (there is nothing to lose).
    // `sourceId`: the registry id of the source being checked.
    MessageState message(const std::string& guid, const std::optional<std::string>& text, const std::string& sourceId);

    struct AttachmentState {
        bool known = false;                   // an attachment with this GUID is in the store
        std::optional<std::string> objectKey; // its stored object, none when its bytes were never stored
    };
    AttachmentState attachment(const std::string& guid);

private:
    struct Statements;
    std::unique_ptr<Statements> s_;
};

} // namespace kx
