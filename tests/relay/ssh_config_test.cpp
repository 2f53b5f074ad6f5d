#include "relay/ssh_config.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace kestrel {
namespace {

using namespace std::string_literals;

constexpr const char* home = "/home/alice";
constexpr const char* agentVariable = "/run/user/1000/agent.sock";

// A row: name, config text, expected path; then $SSH_AUTH_SOCK and the home directory where a
// row needs other values than these defaults.
struct ConfigCase {
    const char* name;
    std::string text;
    std::optional<std::string> expected;
    std::optional<std::string> sshAuthSock = agentVariable;
    std::string homeDirectory = home;
};

void PrintTo(const ConfigCase& row, std::ostream* out) { *out << row.name; }

class IdentityAgentFromConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(IdentityAgentFromConfigTest, FindsTheAgentPath) {
    const ConfigCase& row = GetParam();
    EXPECT_EQ(identityAgentFromConfig(row.text, row.homeDirectory, row.sshAuthSock), row.expected);
}

// Values and keywords.
INSTANTIATE_TEST_SUITE_P(
    Values, IdentityAgentFromConfigTest,
    ::testing::Values(
        ConfigCase{"QuotedTildePathKeepsInnerSpace",
                   "IdentityAgent \"~/Library/My Agent/agent.sock\"\n",
                   "/home/alice/Library/My Agent/agent.sock"},
        ConfigCase{"LowerCaseKeywordJoinedByEquals", "identityagent=/tmp/agent.sock",
                   "/tmp/agent.sock"},
        ConfigCase{"UpperCaseKeyword", "IDENTITYAGENT /a", "/a"},
        ConfigCase{"TabSeparator", "IdentityAgent\t/a", "/a"},
        ConfigCase{"EqualsBetweenSpaces", "IdentityAgent = /a", "/a"},
        ConfigCase{"ValueTrimmedOfQuotesEqualsAndBlanks", "IdentityAgent =\"=/a b=\"= \t", "/a b"},
        ConfigCase{"InnerSpacesAndTrailingCommentStay", "IdentityAgent /a  b # my agent",
                   "/a  b # my agent"},
        ConfigCase{"LineUnderAnotherHostCounts",
                   "Host other.example\n    IdentityAgent /a\nHost *\n    IdentityAgent /b\n",
                   "/a"},
        ConfigCase{"FirstLineWins", "IdentityAgent /a\nIdentityAgent /b", "/a"},
        ConfigCase{"NoneInAnyCaseStopsTheSearch", "IdentityAgent NoNe\nIdentityAgent /b",
                   std::nullopt},
        ConfigCase{"EmptyQuotedValueStopsTheSearch", "IdentityAgent \"\"\nIdentityAgent /b",
                   std::nullopt},
        ConfigCase{"KeywordAloneIsSkipped", "IdentityAgent\nIdentityAgent /b", "/b"},
        ConfigCase{"KeywordWithTrailingBlanksIsSkipped", "IdentityAgent \t \nIdentityAgent /b",
                   "/b"},
        ConfigCase{"CommentLinesAreSkipped",
                   "# IdentityAgent /a\n  \t#IdentityAgent /b\nIdentityAgent /c", "/c"},
        ConfigCase{"OtherKeywordsAreSkipped",
                   "IdentityAgentX /a\nIdentity Agent /b\nIdentityFile /c\n", std::nullopt},
        ConfigCase{"NoIdentityAgentLine", "Host *\n  ForwardAgent yes\n", std::nullopt},
        ConfigCase{"EmptyText", "", std::nullopt},
        ConfigCase{"NonASCIIPathUnchanged", "IdentityAgent /tmp/agént/ソケット",
                   "/tmp/agént/ソケット"},
        ConfigCase{"PercentTokensNotExpanded", "IdentityAgent %d/.agent-%u", "%d/.agent-%u"}),
    [](const auto& test) { return std::string(test.param.name); });

// The environment variable and the home directory.
INSTANTIATE_TEST_SUITE_P(
    Expansion, IdentityAgentFromConfigTest,
    ::testing::Values(
        ConfigCase{"DollarName", "IdentityAgent $SSH_AUTH_SOCK", agentVariable},
        ConfigCase{"BareName", "IdentityAgent SSH_AUTH_SOCK", agentVariable},
        ConfigCase{"DollarBraces", "IdentityAgent ${SSH_AUTH_SOCK}", agentVariable},
        ConfigCase{"BareBraces", "IdentityAgent {SSH_AUTH_SOCK}", agentVariable},
        ConfigCase{"QuotedDollarName", "IdentityAgent \"$SSH_AUTH_SOCK\"", agentVariable},
        ConfigCase{"VariableUnset", "IdentityAgent $SSH_AUTH_SOCK", std::nullopt, std::nullopt},
        ConfigCase{"VariableEmpty", "IdentityAgent $SSH_AUTH_SOCK", "", ""},
        ConfigCase{"TwoDollarsLiteral", "IdentityAgent $$SSH_AUTH_SOCK", "$$SSH_AUTH_SOCK"},
        ConfigCase{"NameIsCaseSensitive", "IdentityAgent $ssh_auth_sock", "$ssh_auth_sock"},
        ConfigCase{"VariableWithSuffixLiteral", "IdentityAgent $SSH_AUTH_SOCK/x",
                   "$SSH_AUTH_SOCK/x"},
        ConfigCase{"OtherVariableLiteral", "IdentityAgent $HOME/agent", "$HOME/agent"},
        ConfigCase{"TildeAloneLiteral", "IdentityAgent ~", "~"},
        ConfigCase{"TildeUserLiteral", "IdentityAgent ~bob/agent", "~bob/agent"},
        ConfigCase{"TildeSlashIsHome", "IdentityAgent ~/", home},
        ConfigCase{"HomeWithTrailingSlash", "IdentityAgent ~/a", "/home/alice/a", agentVariable,
                   "/home/alice/"},
        ConfigCase{"RootHome", "IdentityAgent ~/a", "/a", agentVariable, "/"}),
    [](const auto& test) { return std::string(test.param.name); });

// Line breaks and blanks beyond ASCII. "# IdentityAgent /wrong" before each break turns the
// whole text into one comment unless the break is recognised.
INSTANTIATE_TEST_SUITE_P(
    Lines, IdentityAgentFromConfigTest,
    ::testing::Values(
        ConfigCase{"CRLF", "Host x\r\nIdentityAgent /a\r\n", "/a"},
        ConfigCase{"CR", "# IdentityAgent /wrong\rIdentityAgent /a", "/a"},
        ConfigCase{"VerticalTab", "# IdentityAgent /wrong\vIdentityAgent /a", "/a"},
        ConfigCase{"FormFeed", "# IdentityAgent /wrong\fIdentityAgent /a", "/a"},
        ConfigCase{"NextLine", "# IdentityAgent /wrong\u0085IdentityAgent /a", "/a"},
        ConfigCase{"LineSeparator", "# IdentityAgent /wrong\u2028IdentityAgent /a", "/a"},
        ConfigCase{"ParagraphSeparator", "# IdentityAgent /wrong\u2029IdentityAgent /a", "/a"},
        ConfigCase{"NoBreakSpaceIsNoLineBreak", "# IdentityAgent /wrong\u00a0IdentityAgent /a",
                   std::nullopt},
        ConfigCase{"UnicodeSpacesTrimmedFromLine",
                   "\u3000\u00a0\t\u2003IdentityAgent /a\u202f\u205f", "/a"},
        ConfigCase{"ZeroWidthSpaceIsNotBlank", "\u200bIdentityAgent /a", std::nullopt},
        ConfigCase{"NoBreakSpaceIsNoSeparator", "IdentityAgent\u00a0/a", std::nullopt},
        ConfigCase{"ValueKeepsLeadingUnicodeSpace", "IdentityAgent \u00a0/a", "\u00a0/a"},
        ConfigCase{"ZeroByteIsText", "# a\0b\nIdentityAgent /a"s, "/a"}),
    [](const auto& test) { return std::string(test.param.name); });

// A file that is not UTF-8 cannot be read as text, so it names no agent, wherever the bad
// bytes are.
INSTANTIATE_TEST_SUITE_P(
    InvalidUTF8, IdentityAgentFromConfigTest,
    ::testing::Values(ConfigCase{"StrayByteAfterTheLine", "IdentityAgent /a\n\xff", std::nullopt},
                      ConfigCase{"OverlongSlash", "IdentityAgent /a\xc0\xaf", std::nullopt},
                      ConfigCase{"Surrogate", "IdentityAgent /a\xed\xa0\x80", std::nullopt},
                      ConfigCase{"BeyondUnicode", "IdentityAgent /a\xf4\x90\x80\x80", std::nullopt},
                      ConfigCase{"TruncatedSequence", "IdentityAgent /a\n# \xe2\x80",
                                 std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrel
