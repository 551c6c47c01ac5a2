// The stored form of a message (the DATA lines as received, dot-stuffed,
// ending in a "." line) turned back into the message itself, as the next
// server will see it: for the classifiers, which score and learn messages,
// not SMTP transcripts. Used by HCheck and by the filter's own rspamd client;
// any thread, never throws.
#pragma once

#include <string>
#include <string_view>

namespace quibo {

// Leading dots un-stuffed, the final "." line (with its line end) dropped.
std::string UnstuffedMessage(std::string_view wire);

} // namespace quibo
