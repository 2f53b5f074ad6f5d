#pragma once

#include <string>
#include <system_error>

namespace kestrel::detail {

// A std::error_category for one of the library's error enumerations. Each area defines a
// single static instance in its source file and names it (e.g. "kestrel.ssh-wire"), so
// codes of different areas never compare equal even when their numbers do.
template <typename Enum>
class EnumErrorCategory final : public std::error_category {
public:
    using Describe = const char* (*)(Enum) noexcept;

    constexpr EnumErrorCategory(const char* name, Describe describe) noexcept
        : name_(name), describe_(describe) {}

    const char* name() const noexcept override { return name_; }

    std::string message(int value) const override { return describe_(static_cast<Enum>(value)); }

private:
    const char* name_;
    Describe describe_;
};

}  // namespace kestrel::detail
