#pragma once
// The shell blocks of docs/checking-a-seal.md, as a reader copies them.
#include "tests/support/test_env.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace kx::test {

// Every "```sh" block of the page, in order. KX_SOURCE_DIR names the sources.
inline std::vector<std::string> sealCheckShellBlocks() {
    const std::string page = readAll(std::filesystem::path(KX_SOURCE_DIR) / "docs" / "checking-a-seal.md");
    std::vector<std::string> blocks;
    std::istringstream lines(page);
    bool inBlock = false;
    for (std::string line; std::getline(lines, line);) {
        if (!inBlock && line == "```sh") {
            inBlock = true;
            blocks.emplace_back();
        } else if (inBlock && line == "```") {
            inBlock = false;
        } else if (inBlock) {
            blocks.back() += line + "\n";
        }
    }
    return blocks;
}

} // namespace kx::test
