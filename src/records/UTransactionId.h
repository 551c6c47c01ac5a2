// The id of one mail transaction: 12 upper-case hex digits drawn from the
// kernel's random source, made at each accepted MAIL FROM. It is written in
// every log line of that transaction, so that one message can be followed
// through the log, and handed to the classifier as its queue id. Any thread;
// never fails (a random source that cannot be read falls back to the clock
// and a counter, which still keeps ids apart within one process).
#pragma once

#include <string>

namespace quibo {

std::string NewTransactionId();

} // namespace quibo
