// The user this process runs as, read from its own token.
#pragma once

#include <string>

namespace tessaline {

// The user's SID as text ("S-1-5-21-…"): it names what is the user's alone,
// and it stays when the account is renamed. Raises SetupError `failure` with
// the Windows error.
std::wstring CurrentUserSid(const std::string& failure);

// The same user as "DOMAIN\user", the form the Task Scheduler documents for
// a principal. Raises SetupError `failure` with the Windows error.
std::wstring CurrentUserAccount(const std::string& failure);

}  // namespace tessaline
