#include "platform/host_name.hpp"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "platform_test_support.hpp"

namespace kestrel {
namespace {

using testing::TemporaryDirectory;

std::string systemHostName() {
    char buffer[HOST_NAME_MAX + 1] = {};
    gethostname(buffer, sizeof buffer - 1);
    return buffer;
}

struct MachineInfoCase {
    const char* name;
    std::string text;
    std::string expected;
};

// machine-info as hostnamectl writes it, and as people edit it by hand.
TEST(LocalizedHostName, IsThePrettyHostNameFromMachineInfo) {
    const MachineInfoCase cases[] = {
        {"double quotes", "PRETTY_HOSTNAME=\"Ada's Laptop\"\n", "Ada's Laptop"},
        {"single quotes", "PRETTY_HOSTNAME='Work Station'\n", "Work Station"},
        {"bare word", "PRETTY_HOSTNAME=workstation\n", "workstation"},
        {"bare words", "PRETTY_HOSTNAME=Ada Laptop\n", "Ada Laptop"},
        {"among other keys",
         "CHASSIS=laptop\nPRETTY_HOSTNAME=\"B\xC3\xBCro-PC\"\nDEPLOYMENT=production\n",
         "B\xC3\xBCro-PC"},
        {"escaped quote", "PRETTY_HOSTNAME=\"Say \\\"hi\\\"\"\n", "Say \"hi\""},
        {"escaped backslash", "PRETTY_HOSTNAME=\"a\\\\b\"\n", "a\\b"},
        {"backslash kept in single quotes", "PRETTY_HOSTNAME='a\\b'\n", "a\\b"},
        {"indented, trailing blanks, CRLF", "  PRETTY_HOSTNAME=\"Desk\"  \r\n", "Desk"},
        {"blanks inside the quotes trimmed", "PRETTY_HOSTNAME=\"  Desk  \"\n", "Desk"},
        {"no final newline", "PRETTY_HOSTNAME=Desk", "Desk"},
        {"last assignment wins", "PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second\n", "second"},
        {"unterminated quote", "PRETTY_HOSTNAME=\"Desk\n", "Desk"},
    };
    for (const MachineInfoCase& machineInfo : cases) {
        SCOPED_TRACE(machineInfo.name);
        const TemporaryDirectory temporary;
        testing::writeText(temporary / "machine-info", machineInfo.text);
        EXPECT_EQ(localizedHostName(temporary / "machine-info"), machineInfo.expected);
    }
}

TEST(LocalizedHostName, FallsBackToTheHostName) {
    const std::string hostName = systemHostName();
    ASSERT_FALSE(hostName.empty());
    const MachineInfoCase cases[] = {
        {"empty file", "", ""},
        {"empty value", "PRETTY_HOSTNAME=\n", ""},
        {"empty quotes", "PRETTY_HOSTNAME=\"\"\n", ""},
        {"blank value", "PRETTY_HOSTNAME=\"   \"\n", ""},
        {"emptied by a later line", "PRETTY_HOSTNAME=Desk\nPRETTY_HOSTNAME=\n", ""},
        {"commented out", "# PRETTY_HOSTNAME=Desk\n", ""},
        {"other keys only", "ICON_NAME=computer-laptop\nHOSTNAME=other\n", ""},
        {"longer key", "XPRETTY_HOSTNAME=Desk\nPRETTY_HOSTNAME_X=Desk\n", ""},
    };
    for (const MachineInfoCase& machineInfo : cases) {
        SCOPED_TRACE(machineInfo.name);
        const TemporaryDirectory temporary;
        testing::writeText(temporary / "machine-info", machineInfo.text);
        EXPECT_EQ(localizedHostName(temporary / "machine-info"), hostName);
    }
    const TemporaryDirectory temporary;
    EXPECT_EQ(localizedHostName(temporary / "absent"), hostName) << "no file";
    EXPECT_EQ(localizedHostName(temporary.path()), hostName) << "a directory";
    EXPECT_FALSE(localizedHostName().empty()) << "the real /etc/machine-info";
}

}  // namespace
}  // namespace kestrel
