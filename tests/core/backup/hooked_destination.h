#pragma once
// Test destinations: ForwardingDestination passes every call on to another
// destination, so a test double overrides only what it changes;
// HookedDestination counts what it is asked for and lets a test act just before
// an object is stored or read (an ingest writing meanwhile, a file vanishing).
#include "core/backup/destination.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kx::test {

class ForwardingDestination : public BackupDestination {
public:
    explicit ForwardingDestination(std::shared_ptr<BackupDestination> inner) : inner_(std::move(inner)) {}

    std::string id() const override { return inner_->id(); }
    std::string label() const override { return inner_->label(); }
    std::string resumeIdentity() const override { return inner_->resumeIdentity(); }
    bool canReadBackData() const override { return inner_->canReadBackData(); }
    bool readsAreCharged() const override { return inner_->readsAreCharged(); }
    uint64_t partSizeFor(uint64_t s) const override { return inner_->partSizeFor(s); }
    bool packsSmallObjects() const override { return inner_->packsSmallObjects(); }
    void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
             const std::map<std::string, std::string>& m) override {
        inner_->put(n, s, p, c, m);
    }
    std::optional<ObjectInfo> head(const std::string& n) override { return inner_->head(n); }
    bool get(const std::string& n, const ByteSink& s) override { return inner_->get(n, s); }
    void remove(const std::string& n) override { inner_->remove(n); }
    std::vector<std::pair<std::string, uint64_t>> list(const std::string& p) override { return inner_->list(p); }
    std::string beginUpload(const std::string& n, uint64_t ps, ObjectClass c,
                            const std::map<std::string, std::string>& m) override {
        return inner_->beginUpload(n, ps, c, m);
    }
    std::string uploadPart(const std::string& n, const std::string& id, int part, uint64_t off, uint64_t size,
                           const ByteProducer& p) override {
        return inner_->uploadPart(n, id, part, off, size, p);
    }
    void completeUpload(const std::string& n, const std::string& id,
                        const std::vector<std::pair<int, std::string>>& parts) override {
        inner_->completeUpload(n, id, parts);
    }
    void abortUpload(const std::string& n, const std::string& id) noexcept override { inner_->abortUpload(n, id); }
    void flush() override { inner_->flush(); }
    bool updateControl(const std::string& n, const ControlChange& c) override { return inner_->updateControl(n, c); }
    bool exclusiveUpdates() const override { return inner_->exclusiveUpdates(); }
    size_t sweepTemporaries(const std::string& f, bool r, const std::set<std::string>& keep) noexcept override {
        return inner_->sweepTemporaries(f, r, keep);
    }

protected:
    std::shared_ptr<BackupDestination> inner_;
};

class HookedDestination final : public ForwardingDestination {
public:
    using ForwardingDestination::ForwardingDestination;

    void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
             const std::map<std::string, std::string>& m) override {
        if (beforePut) beforePut(n);
        {
            std::lock_guard<std::mutex> lock(mutex);
            puts.push_back(n);
        }
        bytesSent += s;
        inner_->put(n, s, p, c, m);
    }
    bool get(const std::string& n, const ByteSink& s) override {
        if (beforeGet) beforeGet(n);
        ++gets;
        return inner_->get(n, s);
    }
    std::string uploadPart(const std::string& n, const std::string& id, int part, uint64_t off, uint64_t size,
                           const ByteProducer& p) override {
        bytesSent += size;
        return inner_->uploadPart(n, id, part, off, size, p);
    }

    std::function<void(const std::string& name)> beforePut;
    std::function<void(const std::string& name)> beforeGet;
    std::vector<std::string> puts;
    std::atomic<int> gets{0};
    std::atomic<uint64_t> bytesSent{0};
    std::mutex mutex;
};

} // namespace kx::test
