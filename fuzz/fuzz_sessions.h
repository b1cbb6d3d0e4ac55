// Fuzz targets for the two protocol sessions: a loopback server answers each command the session
// sends with the next piece of the input, so hostile servers reach every state of GetMail (with
// the parser and a real attachment store behind it) and of SendMail. They need Qt's event loop,
// so they live apart from the core targets.
#pragma once

#include "fuzz_targets.h"

namespace tavik {

int fuzzPop3Session(const std::uint8_t* data, std::size_t size); // GetMail against any replies
int fuzzSmtpSession(const std::uint8_t* data, std::size_t size); // SendMail against any replies

// Name and entry of each session target.
const std::vector<FuzzTarget>& sessionFuzzTargets();

} // namespace tavik
