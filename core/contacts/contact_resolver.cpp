#include "core/contacts/contact_resolver.h"

namespace kx {

ResolvedName MapContactResolver::resolve(const std::string& handle,
                                         const std::optional<std::string>& chatDisplayName) const {
    if (auto it = map_.find(handle); it != map_.end() && !it->second.empty())
        return {it->second, ResolvedName::contact, handle};
    if (chatDisplayName && !chatDisplayName->empty()) return {*chatDisplayName, ResolvedName::chatName, handle};
    if (handle.empty()) return {"unknown", ResolvedName::handleOnly, ""};
    return {handle, ResolvedName::handleOnly, handle};
}

} // namespace kx
