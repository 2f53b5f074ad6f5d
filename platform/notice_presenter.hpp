#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kestrel {

// A sign request from a device set to ask first, waiting for the user's answer.
struct ApprovalPrompt {
    std::uint64_t requestID;  // what `kestrel-relay allow|deny` takes
    std::string deviceName;
    std::string detail;  // what the signature is for and with which key, one line
};

enum class ApprovalDecision { allow, allowForTenMinutes, deny };

// Puts the signature notice in front of the user and takes it away. The relay's approval window
// does the counting: show is called when the first of overlapping sign requests starts, hide when
// the last one ends. Called on the relay thread; must not block.
class NoticePresenter {
public:
    // Called with the user's answer to a prompt, from any thread.
    using ApprovalHandler = std::function<void(std::uint64_t requestID, ApprovalDecision)>;

    virtual ~NoticePresenter() = default;

    // detail: what the first request's signature is for and with which key, one line.
    virtual void showNotice(const std::string& deviceName, const std::string& detail) = 0;
    virtual void hideNotice() = 0;

    // Asks the user about one sign request, with Allow, Allow for 10 minutes and Deny, until
    // endApproval. Presenters that cannot ask leave it to the terminal (kestrel-relay allow).
    virtual void askApproval(const ApprovalPrompt& /*prompt*/) {}
    virtual void endApproval(std::uint64_t /*requestID*/) {}
    // Where the answers go; set by the relay before the first prompt.
    virtual void setApprovalHandler(ApprovalHandler /*handler*/) {}
};

}  // namespace kestrel
