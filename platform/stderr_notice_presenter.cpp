#include "platform/stderr_notice_presenter.hpp"

namespace kestrel {
namespace {

constexpr const char* replacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// C0 controls and DEL as single bytes; C1 controls (U+0080 to U+009F) as their UTF-8 pairs.
std::string withoutControlCharacters(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F) {
            result += replacementCharacter;
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            result += replacementCharacter;
            ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}

}  // namespace

std::string StderrNoticePresenter::noticeLine(const std::string& deviceName) {
    return "SSH signature requested: \u201C" + withoutControlCharacters(deviceName) +
           "\u201D is connecting and needs to sign with a key in your agent.";
}

void StderrNoticePresenter::showNotice(const std::string& deviceName, const std::string& detail) {
    std::string line = noticeLine(deviceName) + "\n";
    if (!detail.empty()) line += "  It asks to " + withoutControlCharacters(detail) + ".\n";
    std::fputs(line.c_str(), stream_);
    std::fflush(stream_);
}

}  // namespace kestrel
