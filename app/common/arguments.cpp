#include "app/common/arguments.hpp"

#include <algorithm>
#include <charconv>

namespace kestrel::cli {

Arguments::Arguments(const std::vector<std::string>& words,
                     const std::vector<OptionSpec>& options) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const bool looksLikeOption = word.size() > 1 && word[0] == '-';
        if (optionsEnded || !looksLikeOption) {
            positional_.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const bool isShort = word[1] != '-';
        if (isShort && word.size() != 2) throw UsageError("unknown option " + word);
        const std::size_t equals = isShort ? std::string::npos : word.find('=');
        const auto declared =
            std::find_if(options.begin(), options.end(), [&](const OptionSpec& option) {
                if (isShort) return option.shortName != 0 && option.shortName == word[1];
                return option.name ==
                       word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            });
        if (declared == options.end()) {
            throw UsageError("unknown option " +
                             (equals == std::string::npos ? word : word.substr(0, equals)));
        }
        const std::string& name = declared->name;
        if (!declared->takesValue) {
            if (equals != std::string::npos) throw UsageError("--" + name + " takes no value");
            flags_.insert(name);
        } else if (equals != std::string::npos) {
            values_[name] = word.substr(equals + 1);
        } else if (i + 1 < words.size()) {
            values_[name] = words[++i];
        } else {
            throw UsageError("--" + name + " needs a value");
        }
    }
}

std::optional<std::string> Arguments::value(const std::string& option) const {
    const auto found = values_.find(option);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::optional<long> Arguments::integer(const std::string& option, long min, long max) const {
    const std::optional<std::string> text = value(option);
    if (!text) return std::nullopt;
    long number = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), number);
    if (error != std::errc() || end != text->data() + text->size() || number < min ||
        number > max) {
        throw UsageError("--" + option + " must be a whole number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not \"" + *text + "\"");
    }
    return number;
}

void Arguments::expectPositional(std::size_t count, const std::string& what) const {
    if (positional_.size() < count) throw UsageError("missing " + what);
    if (positional_.size() > count)
        throw UsageError("unexpected argument \"" + positional_[count] + "\"");
}

}  // namespace kestrel::cli
