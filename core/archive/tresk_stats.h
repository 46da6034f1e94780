#pragma once
// How much room an archive takes: a folder walked on request and the figures
// the settings window shows.
#include <cstdint>
#include <optional>
#include <string>

namespace kx {

// One measurement: whose archive, how many bytes (none when the folder could
// not be measured) and how many messages (none when no run has reported yet).
struct TreskStats {
    std::string owner;
    std::optional<std::uint64_t> bytes;
    std::optional<std::int64_t> messageCount;

    // "1.41 GB", with ", about 2,310 bytes a message" when there are messages
    // to divide by; "Could not be measured (the folder is missing or cannot be
    // read)" without a byte count.
    std::string sizeDescription() const;
};

// A byte count in decimal units, as file managers show sizes: "0 bytes",
// "1 byte", "980 bytes", "12.3 KB", "1.4 GB", "2.05 TB".
std::string byteCountText(std::uint64_t bytes);

class TreskStatsReader {
public:
    TreskStatsReader() = delete;
    // Bytes the folder's files take on disk (allocated blocks, like du), every
    // level down. Links are not followed, a file with several names counts
    // once, and files that vanish during the walk are skipped. Nothing when
    // `path` is not a folder or a part of it cannot be read, because a partial
    // sum would understate the archive. Walks the whole tree: call it off the
    // GUI thread.
    static std::optional<std::uint64_t> directoryBytes(const std::string& path);
};

} // namespace kx
