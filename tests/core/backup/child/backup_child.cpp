// One backup run in a process of its own, for the kill tests. It backs the
// archive in <owner folder> up as "jorin/tresk.db" and writes one byte to its
// standard output for every request it makes to the destination and for every
// piece of data it hands over, so a test can kill it (SIGKILL) at a point of
// its choosing.
//
//   kx_backup_child <owner folder> <resume file> (--folder <dir> | --endpoint <http://127.0.0.1:port>)
//
// The key comes as a recovery phrase in KX_TEST_PHRASE; the object store is the
// test server's bucket with its fixed keys.
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/keys/key_material.h"
#include "tests/core/backup/hooked_destination.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

using namespace kx;

namespace {

void event() {
    const char c = '.';
    if (::write(STDOUT_FILENO, &c, 1) != 1) std::_Exit(4);
}

class Traced final : public test::ForwardingDestination {
public:
    using ForwardingDestination::ForwardingDestination;
    void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
             const std::map<std::string, std::string>& m) override {
        event();
        inner_->put(n, s, traced(p), c, m);
    }
    bool putConfirmed(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
                      const std::map<std::string, std::string>& m) override {
        event();
        return inner_->putConfirmed(n, s, traced(p), c, m);
    }
    std::optional<ObjectInfo> head(const std::string& n) override { return (event(), inner_->head(n)); }
    bool get(const std::string& n, const ByteSink& s) override { return (event(), inner_->get(n, s)); }
    void remove(const std::string& n) override { event(), inner_->remove(n); }
    std::vector<std::pair<std::string, uint64_t>> list(const std::string& p) override {
        return (event(), inner_->list(p));
    }
    std::string beginUpload(const std::string& n, uint64_t ps, ObjectClass c,
                            const std::map<std::string, std::string>& m) override {
        return (event(), inner_->beginUpload(n, ps, c, m));
    }
    std::string uploadPart(const std::string& n, const std::string& id, int part, uint64_t off, uint64_t size,
                           const ByteProducer& p) override {
        event();
        return inner_->uploadPart(n, id, part, off, size, traced(p));
    }
    void completeUpload(const std::string& n, const std::string& id,
                        const std::vector<std::pair<int, std::string>>& parts) override {
        event(), inner_->completeUpload(n, id, parts);
    }
    void flush() override { event(), inner_->flush(); }

private:
    static ByteProducer traced(const ByteProducer& p) {
        return [p](uint64_t off, unsigned char* buf, size_t n) {
            event();
            p(off, buf, n);
        };
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: kx_backup_child <owner folder> <resume file> (--folder <dir> | --endpoint <url>)\n";
        return 2;
    }
    const std::string owner = argv[1], resume = argv[2], kind = argv[3], where = argv[4];
    const char* phrase = std::getenv("KX_TEST_PHRASE");
    if (!phrase) {
        std::cerr << "KX_TEST_PHRASE is not set\n";
        return 2;
    }
    try {
        std::shared_ptr<BackupDestination> inner;
        if (kind == "--folder")
            inner = std::make_shared<LocalDestination>(LocalDestination::volume(where, "Backup folder"));
        else
            inner = std::make_shared<S3Destination>(
                S3Destination::compatible(where, "us-east-1", "S3RVER", "S3RVER", "kelvara-test"));
        BackupEngine::Options o;
        o.partSize = 64 * 1024;
        o.threads = 2;
        o.lease.settle = std::chrono::milliseconds(20);
        BackupEngine engine(TreskCrypto(TreskKeyMaterial::keyFromRecoveryString(phrase)),
                            std::make_shared<Traced>(inner), "kelvara", resume, o);
        engine.backup("jorin/tresk.db", std::filesystem::path(owner) / "tresk.db", VerificationLevel::readBack);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}
