#pragma once

#include <string>

namespace kestrel {

// Puts the signature notice in front of the user and takes it away. The relay's approval window
// does the counting: show is called when the first of overlapping sign requests starts, hide when
// the last one ends. Called on the relay thread; must not block.
class NoticePresenter {
public:
    virtual ~NoticePresenter() = default;

    virtual void showNotice(const std::string& deviceName) = 0;
    virtual void hideNotice() = 0;
};

}  // namespace kestrel
