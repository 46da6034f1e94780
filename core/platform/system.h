#pragma once
// Facts about the user and the machine, behind a small interface so tests can
// substitute their own.
#include <memory>
#include <string>

namespace kx {

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // The home folder: $HOME, else the passwd entry's home folder.
    virtual std::string homeDirectory() const = 0;
    // The platform's application-support folder: $XDG_DATA_HOME, else ~/.local/share.
    virtual std::string applicationSupportDirectory() const = 0;
    // The login's short name ("jorin") and full name ("Jorin Vale"; may be empty).
    virtual std::string shortUserName() const = 0;
    virtual std::string fullUserName() const = 0;
    // The computer's name as people see it ("Jorin's laptop"); empty when unknown.
    virtual std::string computerName() const = 0;
    virtual unsigned userId() const = 0;
};

// Reads the real environment, passwd entry and host name.
class LinuxSystemInfo final : public SystemInfo {
public:
    std::string homeDirectory() const override;
    std::string applicationSupportDirectory() const override;
    std::string shortUserName() const override;
    std::string fullUserName() const override;
    std::string computerName() const override;
    unsigned userId() const override;
};

// The process-wide instance (the Linux one unless a test replaced it).
const SystemInfo& systemInfo();
// Replaces the process-wide instance; for tests. Passing null restores the real one.
void setSystemInfoForTesting(std::shared_ptr<SystemInfo> info);

// The configuration directory: application support plus "Kelvara". Not created.
std::string applicationSupportConfigDir();

} // namespace kx
