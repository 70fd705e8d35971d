// The impersonation token of the calling thread, kept and taken on by handle.
#include "watcher/ThreadTokensWin32.h"

#include <windows.h>

namespace stavora {

IThreadTokens::Token ThreadTokensWin32::OpenCurrentThreadToken() {
  HANDLE token = nullptr;
  // OpenAsSelf: the open is checked against the process's token, which may
  // read the thread's token when the client's own account could not. A
  // thread that does not impersonate fails with ERROR_NO_TOKEN.
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_QUERY, TRUE, &token)) {
    return kNoToken;
  }
  return reinterpret_cast<Token>(token);
}

bool ThreadTokensWin32::ImpersonateOnCurrentThread(Token token) {
  return SetThreadToken(nullptr, reinterpret_cast<HANDLE>(token)) != FALSE;
}

void ThreadTokensWin32::RevertCurrentThread() {
  // Fails only for a thread handle that is not ours; nothing to do then.
  (void)SetThreadToken(nullptr, nullptr);
}

void ThreadTokensWin32::Close(Token token) { CloseHandle(reinterpret_cast<HANDLE>(token)); }

}  // namespace stavora
