#pragma once

// The relay's few settings ("socketOverride", "hideDockIcon", "pairedDeviceMetadata", ...), one
// JSON value per key, like a user-defaults domain.

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace kestrel {

// Called on the relay thread only. setValue persists before it returns and throws
// std::system_error when it cannot; the value is then not stored.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual std::optional<nlohmann::json> value(std::string_view key) const = 0;
    virtual void setValue(std::string_view key, nlohmann::json value) = 0;
};

}  // namespace kestrel
