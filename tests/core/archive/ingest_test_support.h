#pragma once
// Helpers shared by the reader and archive tests: a copied-folder source, a way
// to damage or change a generated database, and the sentence a reader fails with.
#include "core/archive/ingester.h"
#include "core/platform/error.h"
#include "core/sources/source.h"
#include "tests/core/archive/ingest_test_sink.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace kx::test {

// A copied Messages folder owned by "jorin".
inline Source folderSource(const std::filesystem::path& p) {
    Source s;
    s.id = "copy";
    s.owner = "jorin";
    s.path = p.string();
    s.format = SourceFormat::macosMessagesFolder;
    return s;
}

// Runs SQL on a generated database; a failure fails the test.
inline void sql(const std::filesystem::path& db, const std::string& statement) {
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    char* err = nullptr;
    const int rc = sqlite3_exec(h, statement.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(h);
}

// The sentence the reader fails with on this source, or empty when it reads it.
inline std::string errorOf(Ingester& reader, const Source& s) {
    CollectingSink sink;
    try {
        reader.ingest(s, {}, sink);
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

} // namespace kx::test
