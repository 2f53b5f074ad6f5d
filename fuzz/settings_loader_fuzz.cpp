// The reader of the relay's own JSON files (settings, secrets), which any program running as
// the user can edit: parseJsonObject gives an object nested at most maxJsonNesting levels, or
// none with a reason, and never throws. FileSettingsStore then loads the same bytes from a
// file and must agree with it.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_support.hpp"
#include "platform/file_settings_store.hpp"
#include "platform/json_object_parser.hpp"

namespace {

using namespace kestrel;

// A private directory for the whole run, removed when the process exits normally.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kestrel-settings-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) fuzz::fail("cannot make a scratch directory");
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    std::string file(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Levels of arrays and objects, the top-level object being level 1.
int nesting(const nlohmann::json& value) {
    if (!value.is_structured()) return 0;
    int deepest = 0;
    for (const auto& element : value) deepest = std::max(deepest, nesting(element));
    return deepest + 1;
}

void writeFile(const std::string& path, ByteView bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) fuzz::fail("cannot write the scratch settings file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchDirectory scratch;
    static const std::string settingsPath = scratch.file("settings.json");
    const ByteView input(data, size);

    std::string problem;
    const std::optional<nlohmann::json> object = parseJsonObject(input, &problem);
    if (object) {
        fuzz::require(object->is_object(), "parseJsonObject gave something other than an object");
        fuzz::require(nesting(*object) <= maxJsonNesting, "nested deeper than allowed");
    } else {
        fuzz::require(!problem.empty(), "refused without a reason");
    }

    writeFile(settingsPath, input);
    const FileSettingsStore store(settingsPath);
    fuzz::require(store.warning().has_value() == !object.has_value(),
                  "the store and parseJsonObject disagree on the file");
    if (object) {
        for (const auto& [key, value] : object->items()) {
            fuzz::require(store.value(key) == value, "the store lost a value");
        }
    }
    return 0;
}
