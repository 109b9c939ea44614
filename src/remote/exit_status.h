#pragma once

// The exit statuses of the transfer programs (kelv-remote, kelv-remote-redis),
// which the wrapper reads.
namespace kelv::remote {

inline constexpr int kExitDone = 0;
// The server failed (no connection, no answer in time, a broken answer) or a
// file did; one line on stderr.
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;   // bad arguments or environment; one line on stderr
inline constexpr int kExitAbsent = 3;  // get: the server has no such object
// The server turned the request down (an error status or reply); one line
// on stderr. Requests of the other direction may still do.
inline constexpr int kExitRefused = 4;
// The server turned down this one object; one line on stderr.
inline constexpr int kExitRefusedObject = 5;

}  // namespace kelv::remote
