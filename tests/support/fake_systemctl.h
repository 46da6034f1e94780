#pragma once
// A fake systemctl first on PATH for as long as the object lives, so the real
// systemd user scheduler can be driven without a user session.
#include "tests/support/test_env.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace kx::test {

// Puts a fake systemctl first on PATH. It appends its arguments to calls.log,
// runs the shell lines in "do-<verb>" when such a file exists, and exits with
// the status in "fail-<verb>" when such a file exists.
class FakeSystemctl {
public:
    FakeSystemctl() {
        const auto tool = dir / "systemctl";
        writeAll(
            tool,
            "#!/bin/sh\n"
            "echo \"$*\" >> '" +
                (dir / "calls.log").string() +
                "'\n"
                "for a in \"$@\"; do d='" +
                dir.path().string() + "/do-'\"$a\"; f='" + dir.path().string() +
                "/fail-'\"$a\";\n"
                "  if [ -f \"$d\" ]; then sh \"$d\"; fi\n"
                "  if [ -f \"$f\" ]; then echo \"Failed to $a: no user session\" >&2; exit $(cat \"$f\"); fi; done\n"
                "exit 0\n");
        ::chmod(tool.c_str(), 0755);
        const char* old = std::getenv("PATH");
        oldPath_ = old ? old : "";
        ::setenv("PATH", (dir.path().string() + ":" + oldPath_).c_str(), 1);
    }
    ~FakeSystemctl() { ::setenv("PATH", oldPath_.c_str(), 1); }
    void failOn(const std::string& verb, int status) { writeAll(dir / ("fail-" + verb), std::to_string(status)); }
    void runOn(const std::string& verb, const std::string& shellLines) { writeAll(dir / ("do-" + verb), shellLines); }
    std::string calls() const { return readAll(dir / "calls.log"); }
    TempDir dir;

private:
    std::string oldPath_;
};

} // namespace kx::test
