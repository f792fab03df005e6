// The library's progress window: shown while a long SevenZip() call runs,
// owned by the window the caller passed, with the archive's name, a bar and
// a count of the bytes read, and a cancel button that sets the command's
// cancel flag.
#pragma once

#include <windows.h>

#include <string>

#include "core/types.h"

namespace sevenzip32 {

// How long a call runs before the window shows, in milliseconds.
constexpr DWORD kProgressDelayMs = 1000;

// Waits for `worker` (a thread or event handle) to be signalled. When that
// takes longer than kProgressDelayMs, shows the progress window for
// `archiveName`, owned by `owner` (may be null), and runs the calling
// thread's messages until the worker is done; a WM_QUIT that arrives in the
// meantime is posted again afterwards. Never throws.
void WaitShowingProgress(HANDLE worker, HWND owner, const std::wstring& archiveName, arc::Progress& progress);

// "1,234,567": bytes with thousands separators, as the window shows them.
std::wstring GroupedNumber(unsigned long long n);

}  // namespace sevenzip32
