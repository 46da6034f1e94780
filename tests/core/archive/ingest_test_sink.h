#pragma once
// A sink that keeps everything a reader delivers, for reader tests.
#include "core/archive/ingester.h"

#include <map>
#include <string>
#include <vector>

namespace kx::test {

class CollectingSink : public IngestSink {
public:
    void chat(const ChatRecord& c) override { chats.push_back(c); }
    void message(MessageRecord&& m) override {
        byGuid[m.guid] = messages.size();
        messages.push_back(std::move(m));
    }
    void checkpoint(const IngestCursor& c) override {
        cursor = c;
        ++checkpoints;
        if (stopAfterCheckpoints > 0 && checkpoints >= stopAfterCheckpoints) stopping = true;
    }
    bool shouldStop() const override { return stopping; }

    const MessageRecord& get(const std::string& guid) const { return messages.at(byGuid.at(guid)); }
    bool has(const std::string& guid) const { return byGuid.count(guid) != 0; }

    std::vector<ChatRecord> chats;
    std::vector<MessageRecord> messages;
    std::map<std::string, std::size_t> byGuid;
    IngestCursor cursor;
    int checkpoints = 0;
    int stopAfterCheckpoints = 0;
    bool stopping = false;
};

} // namespace kx::test
