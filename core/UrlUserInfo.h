// URLs in log text without their user information, so that no user name or password
// given in a URL reaches the log file or the event log.
#pragma once

#include <string>

// Text with the user information ("user:password@") removed from every URL in it: from
// each "://", the authority runs to the first "/", "?", "#", blank, control character,
// quote or angle bracket, and everything in it up to its last "@" is dropped. The rest of
// the text stays as it is.
std::wstring WithoutUrlUserInfo(const std::wstring& Text);
