// How the Windows layer shows a message: MessageBoxA, unless a test has put a
// stand-in there to see the box's owner, text, caption and style.
#pragma once

#include <windows.h>

namespace marlune::platform {

using MessageBoxFunction = int(WINAPI*)(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

// Returns the function that was in place.
MessageBoxFunction replaceMessageBox(MessageBoxFunction replacement);

}  // namespace marlune::platform
