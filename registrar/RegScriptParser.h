// CRegScriptParser: reads one registration script and applies it to a
// registry. Expansion of variables (with the per-user rewrite of "HKCR" root
// blocks), blanks and tokens, and the registration and unregistration walks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "registrar/RegObject.h"
#include "registrar/RegistryAccess.h"
#include "registrar/TextServices.h"

namespace stavora {

// Capacity, in UTF-16 units, of a token buffer; a token holds at most
// kTokenCapacity - 2 units.
constexpr std::size_t kTokenCapacity = 4096;
constexpr std::size_t kMaxTokenLength = kTokenCapacity - 2;
// Capacity of the buffer for a variable name during expansion (names of at
// most 31 units).
constexpr std::size_t kVariableNameCapacity = 32;
// Capacity of the buffer that remembers a key name for deletion at
// unregistration; longer names are cut to 259 units.
constexpr std::size_t kKeyNameCapacity = 260;
// Capacity of the subkey name buffer of a tree deletion.
constexpr std::size_t kSubkeyNameCapacity = 256;
// Deepest nesting of sub-blocks a script may use. Each level holds its name
// buffers on the stack of the calling thread, which for an in-process server
// is the client's; deeper scripts fail with DISP_E_EXCEPTION.
constexpr int kMaxBlockDepth = 32;

using TokenBuffer = char16_t[kTokenCapacity];

// The value types a script names after "=": S, M, D and B.
enum class ValueType { kString, kMultiString, kDword, kBinary };

class HeldKey;

// Where the parser reads the per-user registration switch; the process-wide
// switch unless a caller (a test, the fuzz target) supplies its own.
using PerUserSource = bool (*)();

class CRegScriptParser {
 public:
  // `classesRoot` is the key that a script's HKCR root blocks are applied
  // to: the classes root itself unless the caller names another key (a
  // machine registration passes HKLM\Software\Classes, opened).
  CRegScriptParser(CRegObject& registrar, IRegistry& registry, PerUserSource perUser = nullptr,
                   RegKey classesRoot = regkey::kClassesRoot);
  CRegScriptParser(const CRegScriptParser&) = delete;
  CRegScriptParser& operator=(const CRegScriptParser&) = delete;

  // Expansion: a new text allocated with the registrar's text services, which
  // the caller frees with ITextServices::Free. Nothing is returned on failure.
  std::int32_t ExpandScript(const char16_t* text, char16_t** expandedText);

  // Tokens, read from the cursor.
  void SkipBlanks();
  std::int32_t ReadToken(TokenBuffer& token);

  // Expands `text` and registers (true) or unregisters (false) every root
  // block in it.
  std::int32_t RunScript(const char16_t* text, bool doRegister);

  // One block body, up to and including its closing token.
  std::int32_t WalkBlock(TokenBuffer& token, RegKey parent, bool doRegister, bool skipping);
  // Entered with the "=" token read: reads type and value, writes the value
  // and reads the token after it.
  std::int32_t WriteValue(RegKey key, const char16_t* valueName, TokenBuffer& token);
  // Skips "= type value" when `token` starts with "=", reading the token
  // after it; otherwise reads nothing.
  std::int32_t SkipValueClause(TokenBuffer& token);
  // Deletes `name` under `parent` with everything below it; a system error
  // code.
  std::int32_t DeleteKeyTree(RegKey parent, const char16_t* name);

  // The read position, for callers that parse a text they own.
  void SetCursor(const char16_t* cursor) { m_cursor = cursor; }
  const char16_t* Cursor() const { return m_cursor; }

 private:
  std::int32_t WalkBlockAt(TokenBuffer& token, RegKey parent, bool doRegister, bool skipping,
                           int depth);
  std::int32_t WalkSubBlock(TokenBuffer& token, RegKey key, bool doRegister, bool skipping, int depth);
  std::int32_t RegisterBlock(TokenBuffer& token, RegKey parent, int depth);
  std::int32_t RegisterEntry(TokenBuffer& token, RegKey parent, HeldKey& current, bool* keyless);
  std::int32_t RemoveNamedTree(TokenBuffer& token, RegKey parent);
  std::int32_t RegisterKeyEntry(TokenBuffer& token, RegKey parent, HeldKey& current);
  std::int32_t UnregisterBlock(TokenBuffer& token, RegKey parent, bool skipping, int depth);
  std::int32_t ReadRemovalFlags(TokenBuffer& token, bool* removable);
  std::int32_t UnregisterValueEntry(TokenBuffer& token, RegKey parent, bool keep);
  std::int32_t UnregisterKeyEntry(TokenBuffer& token, RegKey parent, bool skipping, bool removable, int depth);
  std::int32_t RemoveKeyIfEmpty(RegKey parent, const char16_t* name, HeldKey& key, bool removable);
  // After "Val": reads the value name and the token that must begin with "=".
  std::int32_t ReadValueEntryHead(TokenBuffer& valueName, TokenBuffer& token);
  bool Is(const char16_t* token, const char16_t* word) const;
  bool IsProtectedKeyName(const char16_t* name) const;
  bool FindRootKey(const char16_t* token, RegKey* root) const;
  bool FindValueType(const char16_t* token, ValueType* type) const;

  const char16_t* m_cursor = nullptr;
  CRegObject& m_registrar;
  IRegistry& m_registry;
  const ITextServices& m_text;
  PerUserSource m_perUser;
  RegKey m_classesRoot;
};

}  // namespace stavora
