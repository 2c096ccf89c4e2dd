// DriverStats.h - the driver's stream lines, as the demo host reads them
// from the captured debugger output. Once a pass the driver writes, for each
// logged-on server with open channels, one stamped line:
//
//   zq>>TTMDvs stream <address>:<port> span=<s> | ch<n> [NO FRAMES] fps=<f> kbps=<k>
//     video=<n> audio=<n> drop=<n> nokey=<n> big=<n> outside=<n> nobuf=<n> miss=<n> | ch<n> ...
//
// (one line; see README.md, "The driver's stream line").
#pragma once
#include "host/RunRecord.h"
#include <string>

namespace NDemo {

// Reads a stream line (the stamp before "zq>>" is skipped). On success sets
// `server` to "<address>:<port>" and fills span and channels of `out` (its t
// and server are left to the caller). False for any other line or a line
// that does not read whole.
bool ParseStreamLine(const std::string &line, std::string &server, TDriverStatsMark &out);

} // namespace NDemo
