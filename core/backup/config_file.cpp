#include "core/backup/config_file.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"

namespace kx {

void ConfigFile::save(const nlohmann::ordered_json& value, const std::filesystem::path& path, bool blocked,
                      const Encoder& encoder) {
    if (blocked)
        throw Error("the file " + path.string() +
                    " could not be read when Kelvara started, so it is left as it is "
                    "until it is repaired or moved aside");
    if (path.has_parent_path()) fs::createPrivateDirectories(path.parent_path());
    fs::writeFileAtomic(path, encoder.encode(value));
}

} // namespace kx
