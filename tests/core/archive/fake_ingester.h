#pragma once
// A scripted reader for engine tests: it "reads" a list of messages held in
// memory, checkpointing after every message, and resumes after the cursor when
// the cursor's row still holds the same GUID (as a real reader does).
#include "core/archive/ingester.h"
#include "core/platform/error.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kx::test {

struct FakeSourceData {
    std::vector<ChatRecord> chats;
    std::vector<MessageRecord> messages; // sourceRowId must increase
};

class FakeIngester final : public Ingester {
public:
    explicit FakeIngester(SourceFormat format = SourceFormat::macosMessagesFolder) : format_(format) {}
    SourceFormat format() const override { return format_; }

    // Data by source path.
    std::map<std::string, FakeSourceData> data;
    // Called before each message is delivered (index within the source); may throw or exit.
    std::function<void(const Source&, size_t)> beforeMessage;
    // Paths that cannot be read at all.
    std::map<std::string, std::string> unreadable;
    std::vector<IngestCursor> cursorsSeen;

    IngestOutcome ingest(const Source& source, const IngestCursor& from, IngestSink& sink) override {
        cursorsSeen.push_back(from);
        if (auto u = unreadable.find(source.path); u != unreadable.end()) throw Error(u->second);
        auto it = data.find(source.path);
        if (it == data.end()) throw Error("the folder " + source.path + " does not exist");
        const auto& d = it->second;
        IngestOutcome out;
        bool fits = from.empty();
        if (!fits)
            for (const auto& m : d.messages)
                if (m.sourceRowId == from.lastRowId && m.guid == from.lastGuid) fits = true;
        const int64_t after = fits ? from.lastRowId : 0;
        out.restartedFromBeginning = !from.empty() && !fits;
        for (const auto& c : d.chats) sink.chat(c);
        for (size_t i = 0; i < d.messages.size(); ++i) {
            const auto& m = d.messages[i];
            if (m.sourceRowId <= after) continue;
            if (sink.shouldStop()) break;
            if (beforeMessage) beforeMessage(source, i);
            MessageRecord copy = m;
            sink.message(std::move(copy));
            ++out.messagesRead;
            sink.checkpoint({m.sourceRowId, m.guid, {}});
        }
        return out;
    }

private:
    SourceFormat format_;
};

// A one-to-one chat with `handle` and `count` messages, GUIDs "<prefix>-<n>",
// one minute apart from `start`.
inline FakeSourceData makeChat(const std::string& handle, int count, const std::string& prefix, Date start,
                               int firstRow = 1) {
    FakeSourceData d;
    ChatRecord c;
    c.guid = "iMessage;-;" + handle;
    c.identifier = handle;
    c.service = "iMessage";
    c.participants = {handle};
    d.chats.push_back(c);
    for (int i = 0; i < count; ++i) {
        MessageRecord m;
        m.guid = prefix + "-" + std::to_string(i);
        m.chatGuid = c.guid;
        m.handle = handle;
        m.service = "iMessage";
        m.text = "message " + std::to_string(i) + " from " + handle;
        m.date = start + std::chrono::minutes(i);
        m.isFromMe = i % 3 == 0;
        m.sourceRowId = firstRow + i;
        d.messages.push_back(m);
    }
    return d;
}

} // namespace kx::test
