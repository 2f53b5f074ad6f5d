#pragma once

// The control socket of a running relay: a Unix stream socket in the user's runtime directory,
// speaking newline-delimited JSON. Each request is one object with a "command" member; each
// answer is one object per line. Errors are {"error": "one line saying what is wrong"}.
//
//   {"command":"status"}                       -> one status object
//   {"command":"pair","seconds":120}           -> {"code","expiresAt","secondsLeft"} at once, then
//                                                 {"result":"paired"|"expired"|"cancelled"|"failed",
//                                                  "deviceID","displayName","pairedAt" | "message"}
//                                                 when the window ends. Closing the connection (or
//                                                 its sending side) before then cancels pairing.
//   {"command":"cancel-pairing"}               -> {"result":"cancelled"|"none"}
//   {"command":"devices"}                      -> {"devices":[{"deviceID","displayName","pairedAt",
//                                                 "lastUsedAt","available","reason","approval",
//                                                 "keys"}]}
//   {"command":"revoke","device":"ID or name"} -> {"revoked":{"deviceID","displayName"}}, and
//                                                 "warning" when the key is left for later
//   {"command":"config-get","key":"…"}         -> {"key","value"}
//   {"command":"config-set","key":"…","value":…} -> {"key","value"}
//   {"command":"agent"}                        ->
//   {"candidates":[{"label","path","exists"}],"inUse"}
//   {"command":"activity","device":"ID or name"} (device optional) ->
//                                                 {"activity":[{"requestID","at","deviceName",
//                                                 "deviceID","kind","keyFingerprint","keyComment",
//                                                 "purpose","detail","result","reason"}],
//                                                 "waitingForApproval":[…]}, oldest first
//   {"command":"device-settings","device":"ID or name","approval":"ask"|"allow",
//    "keys":["SHA256:…"]|"all"} (either or both)  -> {"device":{"deviceID","displayName",
//                                                 "approval","keys"}}
//   {"command":"decide","request":N,"decision":"allow"|"allow-10-minutes"|"deny"} ->
//                                                 {"decided":{"requestID","deviceName","detail",…}}
//
// Dates are ISO 8601 UTC text ("2026-12-10T05:30:00Z").

#include <string>
#include <string_view>

#include "app/common/iso_date.hpp"

namespace kestrel::control {

// The longest request line the relay reads; anything longer closes the connection.
inline constexpr std::size_t maxLineLength = 64 * 1024;

// The control socket's directory and path for this user.
std::string socketDirectory();
std::string socketPath();
std::string lockPath();

using cli::isoDate;

}  // namespace kestrel::control
