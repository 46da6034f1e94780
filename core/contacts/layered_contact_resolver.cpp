#include "core/contacts/layered_contact_resolver.h"

#include "core/contacts/contact_handles.h"

#include <map>

namespace kx {

struct LayeredContactResolver::Layers {
    ContactOverrides overrides;
    std::map<std::string, std::string> overridesByKey; // handle key -> name (first handle in order wins)
    std::shared_ptr<const ContactDirectory> directory;
    ContactsAuthorization authorization = ContactsAuthorization::notLoaded;
};

std::shared_ptr<const LayeredContactResolver::Layers> LayeredContactResolver::build(
    ContactOverrides overrides, std::shared_ptr<const ContactDirectory> directory,
    ContactsAuthorization authorization) {
    auto layers = std::make_shared<Layers>();
    layers->directory = std::move(directory);
    layers->authorization = authorization;
    for (const auto& [handle, name] : overrides.names())
        if (auto key = contacts::handleKey(handle, layers->directory->defaultCallingCode()))
            layers->overridesByKey.emplace(*key, name);
    layers->overrides = std::move(overrides);
    return layers;
}

LayeredContactResolver::LayeredContactResolver()
    : LayeredContactResolver(ContactOverrides{}, ContactDirectory{}, ContactsAuthorization::notLoaded) {}

LayeredContactResolver::LayeredContactResolver(ContactOverrides overrides, ContactDirectory directory,
                                               ContactsAuthorization authorization)
    : layers_(
          build(std::move(overrides), std::make_shared<const ContactDirectory>(std::move(directory)), authorization)) {}

std::shared_ptr<const LayeredContactResolver::Layers> LayeredContactResolver::current() const {
    std::lock_guard lock(mutex_);
    return layers_;
}

void LayeredContactResolver::replaceOverrides(const ContactOverrides& overrides) {
    std::lock_guard lock(mutex_);
    layers_ = build(overrides, layers_->directory, layers_->authorization);
}

void LayeredContactResolver::replaceDirectory(ContactDirectory directory, ContactsAuthorization authorization) {
    auto dir = std::make_shared<const ContactDirectory>(std::move(directory));
    std::lock_guard lock(mutex_);
    layers_ = build(layers_->overrides, std::move(dir), authorization);
}

ContactsAuthorization LayeredContactResolver::authorization() const { return current()->authorization; }

ResolvedName LayeredContactResolver::resolve(const std::string& handle,
                                             const std::optional<std::string>& chatDisplayName) const {
    const auto layers = current();
    if (auto name = layers->overrides.name(handle)) return {*name, ResolvedName::userOverride, handle};
    if (!handle.empty()) {
        if (auto key = contacts::handleKey(handle, layers->directory->defaultCallingCode())) {
            if (auto it = layers->overridesByKey.find(*key); it != layers->overridesByKey.end())
                return {it->second, ResolvedName::userOverride, handle};
        }
        if (auto name = layers->directory->name(handle)) return {*name, ResolvedName::contact, handle};
    }
    if (chatDisplayName && !chatDisplayName->empty()) return {*chatDisplayName, ResolvedName::chatName, handle};
    if (handle.empty()) return {"unknown", ResolvedName::handleOnly, ""};
    return {handle, ResolvedName::handleOnly, handle};
}

} // namespace kx
