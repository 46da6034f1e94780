#pragma once
// Where an export may be written. An export is only ever a new file of the
// person's choosing: never a file of the archive, of Kelvara's configuration or
// of Messages, which the export would replace.
#include <optional>
#include <string>

namespace kx {

// Why no export may be written to `destination`, as a sentence without a final
// full stop; nothing when it may. Refused: any path inside `archiveRoot` or
// `configDir` (after resolving "..", symbolic links and relative parts, so no
// spelling reaches them), and any file named like one Kelvara keeps wherever it
// lies: an archive database and its "-wal", "-shm" and "-journal" files, a
// manifest or a kept earlier manifest, the search index, "STATUS.json", a
// configuration file, or a Messages database. Empty roots are not checked.
std::optional<std::string> exportDestinationProblem(const std::string& destination, const std::string& archiveRoot,
                                                    const std::string& configDir);

} // namespace kx
