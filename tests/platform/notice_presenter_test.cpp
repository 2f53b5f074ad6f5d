#include "platform/stderr_notice_presenter.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace kestrel {
namespace {

struct CloseFile {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

std::string contentOf(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string content;
    for (int c; (c = std::fgetc(file)) != EOF;) content += static_cast<char>(c);
    return content;
}

TEST(StderrNoticePresenter, ShowWritesTheNoticeAndWhatItIsForAndHideWritesNothing) {
    const std::unique_ptr<std::FILE, CloseFile> stream(std::tmpfile());
    ASSERT_TRUE(stream);
    StderrNoticePresenter presenter(stream.get());

    presenter.showNotice("Ada's iPhone", "log in as \u201Cgit\u201D with SHA256:x\x1b[2J");
    presenter.hideNotice();

    EXPECT_EQ(contentOf(stream.get()),
              "SSH signature requested: \xE2\x80\x9C"
              "Ada's iPhone\xE2\x80\x9D is connecting and needs to sign with a key in your "
              "agent.\n  It asks to log in as \u201Cgit\u201D with SHA256:x\uFFFD[2J.\n");
}

struct NameCase {
    const char* name;
    std::string deviceName;
    std::string shown;
};

// The device chose its name: it must not be able to drive the user's terminal.
TEST(StderrNoticePresenter, ControlCharactersInTheNameAreReplaced) {
    const std::string replacement = "\xEF\xBF\xBD";
    const NameCase cases[] = {
        {"escape sequence", "\x1b[2JPhone", replacement + "[2JPhone"},
        {"line break", "Pho\nne", "Pho" + replacement + "ne"},
        {"carriage return and tab", "\rPhone\t", replacement + "Phone" + replacement},
        {"delete", "Phone\x7f", "Phone" + replacement},
        {"C1 control (CSI)",
         "\xC2\x9B"
         "2J",
         replacement + "2J"},
        {"C1 control at the end", "Phone\xC2\x85", "Phone" + replacement},
        {"letters outside ASCII kept", "T\xC3\xA9l\xC3\xA9phone \xF0\x9F\x93\xB1",
         "T\xC3\xA9l\xC3\xA9phone \xF0\x9F\x93\xB1"},
        {"no-break space kept", "My\xC2\xA0Phone", "My\xC2\xA0Phone"},
        {"lone lead byte at the end kept", "Phone\xC2", "Phone\xC2"},
    };
    for (const NameCase& nameCase : cases) {
        SCOPED_TRACE(nameCase.name);
        EXPECT_EQ(StderrNoticePresenter::noticeLine(nameCase.deviceName),
                  "SSH signature requested: \xE2\x80\x9C" + nameCase.shown +
                      "\xE2\x80\x9D is connecting and needs to sign with a key in your agent.");
    }
}

}  // namespace
}  // namespace kestrel
