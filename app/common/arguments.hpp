#pragma once

// A small command-line parser: a subcommand's positional arguments and its --options. Each
// option is declared with whether it takes a value; anything else is a usage error with one
// line saying what is wrong.

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel::cli {

// A bad command line: what() is the one line to print; the program exits with 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    std::string name;  // without the leading "--"
    bool takesValue = false;
    char shortName = 0;  // also accepted as "-X" (ssh-agent's -D, for one)
};

class Arguments {
public:
    // Parses argv-style words (the subcommand itself excluded). "--name value",
    // "--name=value" and, for options with a short name, "-X value" all work; "--" ends the
    // options. Options are known by their long name afterwards.
    Arguments(const std::vector<std::string>& words, const std::vector<OptionSpec>& options);

    bool has(const std::string& option) const {
        return flags_.contains(option) || values_.contains(option);
    }
    std::optional<std::string> value(const std::string& option) const;
    const std::vector<std::string>& positional() const noexcept { return positional_; }

    // The option's value as an integer in [min, max]; none when the option is absent.
    std::optional<long> integer(const std::string& option, long min, long max) const;
    // Requires exactly `count` positional arguments, named in the message when some are missing.
    void expectPositional(std::size_t count, const std::string& what) const;

private:
    std::set<std::string> flags_;
    std::map<std::string, std::string> values_;
    std::vector<std::string> positional_;
};

}  // namespace kestrel::cli
