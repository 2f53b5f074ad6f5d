#pragma once

#include <string_view>

namespace kestrel {

// The DNS-SD service type under which a relay advertises itself (no TXT record).
inline constexpr std::string_view relayBonjourServiceType = "_tidewell-agent._tcp";

}  // namespace kestrel
