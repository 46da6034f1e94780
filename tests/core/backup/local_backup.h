#pragma once
// A generated archive backed up to a local folder through a destination that
// logs every request (test::FaultyDestination): the fixture of the engine's
// run, resume and restore tests.
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/keys/symmetric_key.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kx::test {

// The part numbers uploaded, in the order they reached the destination.
inline std::vector<int> partsSent(const FaultyDestination& d) {
    std::vector<int> out;
    for (const auto& r : d.requests())
        if (r.op == FaultyDestination::Op::part) out.push_back(r.part);
    return out;
}

class LocalBackup : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dest.path());
        makeArchive(archive, 3000, {10, 5000, 30000, 60000, 0}, 1);
        local = std::make_shared<LocalDestination>(
            LocalDestination::volume(dest.path().string(), "External drive or NAS"));
        counting = std::make_shared<FaultyDestination>(local);
    }
    BackupEngine engine(const SymmetricKey& key, int threads = 1) {
        BackupEngine::Options o;
        o.partSize = 64 * 1024;
        o.threads = threads;
        return BackupEngine(TreskCrypto(key), counting, "kelvara", resumeFile, o);
    }
    std::string storedDb() { return (dest.path() / storedDatabaseName(*local, key)).string(); }

    TempDir work;
    TempDir dest;
    std::filesystem::path archive = work / "root/jorin";
    std::filesystem::path resumeFile = work / "config/resume-state.json";
    std::shared_ptr<LocalDestination> local;
    std::shared_ptr<FaultyDestination> counting;
    SymmetricKey key = SymmetricKey::generate();
};

} // namespace kx::test
