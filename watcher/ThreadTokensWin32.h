// IThreadTokens over OpenThreadToken and SetThreadToken.
#pragma once

#include "watcher/CreatorIdentity.h"

namespace stavora {

class ThreadTokensWin32 final : public IThreadTokens {
 public:
  Token OpenCurrentThreadToken() override;
  bool ImpersonateOnCurrentThread(Token token) override;
  void RevertCurrentThread() override;
  void Close(Token token) override;
};

}  // namespace stavora
