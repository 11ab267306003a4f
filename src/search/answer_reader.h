#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

#include "search/http_client.h"

namespace zel::search {

// Reads the answer of a sent request to its end, in pieces of at most 4 KiB each asking for the
// running offset, and returns what came: all of it; or, cut short, at most `max_bytes`, or what came
// within `deadline_ms`, or what came before a read failed. Never waits longer than `deadline_ms`,
// however the server sends: a server that sends a byte now and then is not allowed to stretch it.
//
// The reading runs on a thread of its own, which owns `request` from here on and closes it once
// it stops: a read that WinINet keeps waiting on past the deadline (its receive time-out, set from
// what is left before each read, bounds it only between the server's bytes), or the close of an
// answer not read to its end (WinINet may read the rest first), holds that thread, never the
// caller's. Should no thread start, the answer is empty (WARN line).
std::string ReadAnswerWithin(std::shared_ptr<CMyHttpRequest> request, size_t max_bytes, DWORD deadline_ms);

}  // namespace zel::search
