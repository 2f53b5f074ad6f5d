#pragma once

namespace kestrel {

// Whether the tray app starts with the desktop session.
class LoginItem {
public:
    virtual ~LoginItem() = default;

    virtual bool isEnabled() const = 0;
    // Throws std::system_error when the change cannot be made; isEnabled() then tells the truth.
    virtual void setEnabled(bool enabled) = 0;
};

}  // namespace kestrel
