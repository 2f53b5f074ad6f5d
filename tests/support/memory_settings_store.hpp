#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/settings_store.hpp"

namespace kestrel {

// An in-memory stand-in for FileSettingsStore, for unit tests of the layers above. Nothing is
// persisted. Failures can be injected to test how callers handle a setting that cannot be saved.
class MemorySettingsStore final : public SettingsStore {
public:
    MemorySettingsStore() = default;

    std::optional<nlohmann::json> value(std::string_view key) const override {
        const auto found = values_.find(key);
        if (found == values_.end()) return std::nullopt;
        return found->second;
    }

    // Throws the injected failure, if any is pending, and then stores nothing.
    void setValue(std::string_view key, nlohmann::json value) override {
        if (failuresLeft_ > 0) {
            --failuresLeft_;
            throw std::system_error(failure_, "setting \"" + std::string(key) + "\" not saved");
        }
        values_.insert_or_assign(std::string(key), std::move(value));
        ++writeCount_;
    }

    // The next `count` setValue calls fail with `error`.
    void failNextWrites(int count = 1,
                        std::error_code error = std::make_error_code(std::errc::io_error)) {
        failuresLeft_ = count;
        failure_ = error;
    }

    // Successful setValue calls so far.
    int writeCount() const noexcept { return writeCount_; }

private:
    std::map<std::string, nlohmann::json, std::less<>> values_;
    int failuresLeft_ = 0;
    std::error_code failure_;
    int writeCount_ = 0;
};

}  // namespace kestrel
