// Running a script against a registry: the root blocks with the undo of a
// failed one, the registration and unregistration walks, value writing and
// the removal of key trees.
#include <cstring>
#include <memory>
#include <new>

#include "registrar/HeldKey.h"
#include "registrar/RegScriptParser.h"
#include "registrar/RegistrarResults.h"

namespace stavora {
namespace {

using regresult::FromSystemError;

bool HasBackslash(const char16_t* text) {
  for (; *text != 0; ++text) {
    if (*text == u'\\') return true;
  }
  return false;
}

// A name that cannot stand for a subkey: one with a backslash (a path), or an
// empty one, which the registry takes for the parent key itself.
bool IsBadKeyName(const char16_t* text) { return text[0] == 0 || HasBackslash(text); }

std::size_t Length(const char16_t* text) { return std::char_traits<char16_t>::length(text); }

// A token that opens a block: "{" and nothing else.
bool OpensBlock(const char16_t* token) { return std::char_traits<char16_t>::compare(token, u"{", 2) == 0; }

// A key's name as remembered for its deletion, cut to the buffer.
void CopyKeyName(const char16_t* token, char16_t (&keyName)[kKeyNameCapacity]) {
  std::size_t length = Length(token);
  if (length > kKeyNameCapacity - 1) length = kKeyNameCapacity - 1;
  std::memcpy(keyName, token, length * sizeof(char16_t));
  keyName[length] = 0;
}

// A buffer of `count` elements: inside the object when small, else on the heap.
template <typename T, std::size_t InlineCount>
class SmallBuffer {
 public:
  bool Reserve(std::size_t count) {
    if (count <= InlineCount) {
      m_data = m_inline;
      return true;
    }
    m_heap.reset(new (std::nothrow) T[count]);
    m_data = m_heap.get();
    return m_data != nullptr;
  }
  T* Data() { return m_data; }

 private:
  T m_inline[InlineCount];
  std::unique_ptr<T[]> m_heap;
  T* m_data = nullptr;
};

int HexDigitValue(char16_t unit) {
  if (unit >= u'0' && unit <= u'9') return unit - u'0';
  if (unit >= u'A' && unit <= u'F') return unit - u'A' + 10;
  if (unit >= u'a' && unit <= u'f') return unit - u'a' + 10;
  return 0;
}

// S: the text as it stands.
std::int32_t WriteStringValue(IRegistry& registry, RegKey key, const char16_t* name, const char16_t* text) {
  return FromSystemError(registry.SetValue(key, name, regtype::kString, text,
                                    static_cast<std::uint32_t>((Length(text) + 1) * sizeof(char16_t))));
}

// M: "\0" separates the strings; the data runs through the first empty one.
std::int32_t WriteMultiStringValue(IRegistry& registry, RegKey key, const char16_t* name, const char16_t* text) {
  const std::size_t length = Length(text);
  SmallBuffer<char16_t, 128> list;
  if (!list.Reserve(length + 2)) return FromSystemError(regerror::kOutOfMemory);
  char16_t* out = list.Data();
  std::size_t used = 0;
  for (std::size_t i = 0; i < length;) {
    if (text[i] == u'\\' && text[i + 1] == u'0') {
      out[used++] = 0;
      i += 2;
    } else {
      out[used++] = text[i++];
    }
  }
  out[used] = 0;
  out[used + 1] = 0;
  std::size_t units = 0;
  for (;;) {
    const std::size_t stringLength = Length(out + units);
    units += stringLength + 1;
    if (stringLength == 0) break;
  }
  return FromSystemError(registry.SetValue(key, name, regtype::kMultiString, out,
                                    static_cast<std::uint32_t>(units * sizeof(char16_t))));
}

// D: a number as the text services read it, stored little-endian.
std::int32_t WriteDwordValue(IRegistry& registry, const ITextServices& textServices, RegKey key,
                             const char16_t* name, const char16_t* text) {
  std::uint32_t number = 0;
  const std::int32_t hr = textServices.ParseUInt32(text, &number);
  if (regresult::Failed(hr)) return hr;
  const unsigned char bytes[4] = {static_cast<unsigned char>(number & 0xFF),
                                  static_cast<unsigned char>((number >> 8) & 0xFF),
                                  static_cast<unsigned char>((number >> 16) & 0xFF),
                                  static_cast<unsigned char>((number >> 24) & 0xFF)};
  return FromSystemError(registry.SetValue(key, name, regtype::kDword, bytes, 4));
}

// B: pairs of hexadecimal digits, high half first.
std::int32_t WriteBinaryValue(IRegistry& registry, RegKey key, const char16_t* name, const char16_t* text) {
  const std::size_t length = Length(text);
  if (length % 2 != 0) return regresult::kFail;
  const std::size_t count = length / 2;
  SmallBuffer<unsigned char, 256> block;
  if (!block.Reserve(count)) return regresult::kFail;
  unsigned char* bytes = block.Data();
  for (std::size_t i = 0; i < count; ++i) bytes[i] = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const int shift = (i % 2 == 0) ? 4 : 0;
    bytes[i / 2] = static_cast<unsigned char>(bytes[i / 2] | (HexDigitValue(text[i]) << shift));
  }
  return FromSystemError(registry.SetValue(key, name, regtype::kBinary, bytes, static_cast<std::uint32_t>(count)));
}

}  // namespace

std::int32_t CRegScriptParser::RunScript(const char16_t* text, bool doRegister) {
  char16_t* expanded = nullptr;
  std::int32_t hr = ExpandScript(text, &expanded);
  if (regresult::Failed(hr)) return hr;

  TokenBuffer token;
  m_cursor = expanded;
  while (*m_cursor != 0) {
    hr = ReadToken(token);
    if (regresult::Failed(hr)) break;
    RegKey root = kNoKey;
    if (!FindRootKey(token, &root)) {
      hr = regresult::kDispException;
      break;
    }
    hr = ReadToken(token);
    if (regresult::Failed(hr)) break;
    if (token[0] != u'{') {
      hr = regresult::kDispException;
      break;
    }
    if (doRegister) {
      const char16_t* blockStart = m_cursor;
      hr = WalkBlock(token, root, true, false);
      if (regresult::Failed(hr)) {
        // Undo what an unregistration of this block removes; its own result
        // does not change the outcome.
        m_cursor = blockStart;
        WalkBlock(token, root, false, false);
        break;
      }
    } else {
      hr = WalkBlock(token, root, false, false);
      if (regresult::Failed(hr)) break;
    }
    SkipBlanks();
  }
  m_cursor = nullptr;
  m_text.Free(expanded);
  return hr;
}

std::int32_t CRegScriptParser::WalkBlock(TokenBuffer& token, RegKey parent, bool doRegister,
                                         bool skipping) {
  return WalkBlockAt(token, parent, doRegister, skipping, 1);
}

std::int32_t CRegScriptParser::WalkBlockAt(TokenBuffer& token, RegKey parent, bool doRegister,
                                           bool skipping, int depth) {
  if (depth > kMaxBlockDepth) return regresult::kDispException;
  return doRegister ? RegisterBlock(token, parent, depth)
                    : UnregisterBlock(token, parent, skipping, depth);
}

// Walks the sub-block that `token` opens, one level deeper, and reads the
// token after it. A walk that was only skipping (its key is not there) may
// fail without consequence.
std::int32_t CRegScriptParser::WalkSubBlock(TokenBuffer& token, RegKey key, bool doRegister, bool skipping,
                                            int depth) {
  const std::int32_t hr = WalkBlockAt(token, key, doRegister, skipping, depth + 1);
  if (regresult::Failed(hr) && !skipping) return hr;
  return ReadToken(token);
}

std::int32_t CRegScriptParser::RegisterBlock(TokenBuffer& token, RegKey parent, int depth) {
  HeldKey current(m_registry);
  std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  while (token[0] != u'}') {
    bool keyless = false;
    hr = RegisterEntry(token, parent, current, &keyless);
    if (regresult::Failed(hr)) return hr;
    if (OpensBlock(token)) {
      // Values and deletions name no key of their own to carry a sub-block.
      if (keyless) return regresult::kDispException;
      hr = WalkSubBlock(token, current.Get(), true, false, depth);
      if (regresult::Failed(hr)) return hr;
    }
  }
  return regresult::kOk;
}

// One entry of a block being registered, from its first token to the token
// after it: a deletion, a value, or a key (opened or created, and held in
// `current` for its sub-block). `keyless` is set for the entries that name
// no key of their own.
std::int32_t CRegScriptParser::RegisterEntry(TokenBuffer& token, RegKey parent, HeldKey& current,
                                             bool* keyless) {
  std::int32_t hr = regresult::kOk;
  const bool isDelete = Is(token, u"Delete");
  if (isDelete || Is(token, u"ForceRemove")) {
    hr = RemoveNamedTree(token, parent);
    if (regresult::Failed(hr)) return hr;
    if (isDelete) {
      *keyless = true;
      hr = ReadToken(token);
      if (regresult::Failed(hr)) return hr;
      return SkipValueClause(token);
    }
  }
  if (Is(token, u"NoRemove")) {
    hr = ReadToken(token);
    if (regresult::Failed(hr)) return hr;
  }
  if (Is(token, u"Val")) {
    *keyless = true;
    TokenBuffer valueName;
    hr = ReadValueEntryHead(valueName, token);
    if (regresult::Failed(hr)) return hr;
    return WriteValue(parent, valueName, token);
  }
  return RegisterKeyEntry(token, parent, current);
}

// After "Delete" or "ForceRemove": reads the key's name and removes that key
// with everything below it, unless it is one of the protected names. The
// name stays in `token`.
std::int32_t CRegScriptParser::RemoveNamedTree(TokenBuffer& token, RegKey parent) {
  const std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  if (IsBadKeyName(token)) return regresult::kDispException;
  // A key that is not there is no error, nor is one that cannot go.
  if (!IsProtectedKeyName(token)) DeleteKeyTree(parent, token);
  return regresult::kOk;
}

// A key entry: the key is opened for writing, else for reading, else
// created; then the token after the name, and the key's default value when
// one is given.
std::int32_t CRegScriptParser::RegisterKeyEntry(TokenBuffer& token, RegKey parent, HeldKey& current) {
  if (IsBadKeyName(token)) return regresult::kDispException;
  RegKey key = kNoKey;
  std::int32_t error = m_registry.OpenKey(parent, token, regaccess::kRead | regaccess::kWrite, &key);
  if (error != regerror::kSuccess) error = m_registry.OpenKey(parent, token, regaccess::kRead, &key);
  if (error != regerror::kSuccess) {
    error = m_registry.CreateKey(parent, token, regaccess::kRead | regaccess::kWrite, &key);
    if (error != regerror::kSuccess) return FromSystemError(error);
  }
  current.Reset(key);
  const std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  if (token[0] != u'=') return regresult::kOk;
  return WriteValue(current.Get(), nullptr, token);
}

std::int32_t CRegScriptParser::ReadValueEntryHead(TokenBuffer& valueName, TokenBuffer& token) {
  std::int32_t hr = ReadToken(valueName);
  if (regresult::Failed(hr)) return hr;
  hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  return token[0] == u'=' ? regresult::kOk : regresult::kDispException;
}

std::int32_t CRegScriptParser::UnregisterBlock(TokenBuffer& token, RegKey parent, bool skipping,
                                               int depth) {
  std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  while (token[0] != u'}') {
    bool removable = true;
    hr = ReadRemovalFlags(token, &removable);
    if (regresult::Failed(hr)) return hr;
    hr = Is(token, u"Val") ? UnregisterValueEntry(token, parent, skipping || !removable)
                           : UnregisterKeyEntry(token, parent, skipping, removable, depth);
    if (regresult::Failed(hr)) return hr;
  }
  return regresult::kOk;
}

// Passes over "ForceRemove" or "Delete" (which mean nothing when
// unregistering), then "NoRemove", which keeps the entry.
std::int32_t CRegScriptParser::ReadRemovalFlags(TokenBuffer& token, bool* removable) {
  std::int32_t hr = regresult::kOk;
  if (Is(token, u"ForceRemove") || Is(token, u"Delete")) {
    hr = ReadToken(token);
    if (regresult::Failed(hr)) return hr;
  }
  if (Is(token, u"NoRemove")) {
    *removable = false;
    hr = ReadToken(token);
  }
  return hr;
}

// "Val name = type value": the value is deleted from `parent` unless `keep`;
// one that is not there is no error. Reads the token after the entry.
std::int32_t CRegScriptParser::UnregisterValueEntry(TokenBuffer& token, RegKey parent, bool keep) {
  TokenBuffer valueName;
  std::int32_t hr = ReadValueEntryHead(valueName, token);
  if (regresult::Failed(hr)) return hr;
  if (!keep) {
    HeldKey self(m_registry);
    std::int32_t error = m_registry.OpenKey(parent, nullptr, regaccess::kWrite, self.Receive());
    if (error != regerror::kSuccess) return FromSystemError(error);
    error = m_registry.DeleteValue(self.Get(), valueName);
    const std::int32_t closeError = m_registry.CloseKey(self.Release());
    if (error != regerror::kSuccess && error != regerror::kFileNotFound) return FromSystemError(error);
    if (closeError != regerror::kSuccess) return FromSystemError(closeError);
  }
  return SkipValueClause(token);
}

// A key entry: its sub-block is walked (skipping when the key is not
// there), then the key is deleted when it is removable and nothing is left
// below it. Reads the token after the entry.
std::int32_t CRegScriptParser::UnregisterKeyEntry(TokenBuffer& token, RegKey parent, bool skipping,
                                                  bool removable, int depth) {
  if (IsBadKeyName(token)) return regresult::kDispException;
  HeldKey current(m_registry);
  std::int32_t openResult = regerror::kFileNotFound;
  if (!skipping) openResult = m_registry.OpenKey(parent, token, regaccess::kRead, current.Receive());
  const bool entrySkipping = openResult != regerror::kSuccess;
  if (entrySkipping) current.Release();  // a failed open holds nothing
  char16_t keyName[kKeyNameCapacity];
  CopyKeyName(token, keyName);

  std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  hr = SkipValueClause(token);
  if (regresult::Failed(hr)) return hr;
  if (OpensBlock(token)) {
    hr = WalkSubBlock(token, current.Get(), false, entrySkipping, depth);
    if (regresult::Failed(hr)) return hr;
  }

  if (openResult == regerror::kFileNotFound) return regresult::kOk;
  if (openResult != regerror::kSuccess) return FromSystemError(openResult);
  return RemoveKeyIfEmpty(parent, keyName, current, removable);
}

// Deletes `name` under `parent` when it is removable and has no subkeys
// left; `key`, the key itself, is closed first.
std::int32_t CRegScriptParser::RemoveKeyIfEmpty(RegKey parent, const char16_t* name, HeldKey& key,
                                                bool removable) {
  std::uint32_t subkeys = 0;
  const std::int32_t queryError = m_registry.QuerySubkeyCount(key.Get(), &subkeys);
  const std::int32_t closeError = m_registry.CloseKey(key.Release());
  // A key whose subkeys cannot be counted is reported, not guessed at.
  if (queryError != regerror::kSuccess) return FromSystemError(queryError);
  if (closeError != regerror::kSuccess) return FromSystemError(closeError);
  if (!removable || subkeys != 0) return regresult::kOk;
  const std::int32_t error = m_registry.DeleteKey(parent, name);
  return error == regerror::kSuccess ? regresult::kOk : FromSystemError(error);
}

std::int32_t CRegScriptParser::WriteValue(RegKey key, const char16_t* valueName, TokenBuffer& token) {
  std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  ValueType type = ValueType::kString;
  if (!FindValueType(token, &type)) return regresult::kDispException;
  SkipBlanks();
  TokenBuffer valueText;
  hr = ReadToken(valueText);
  if (regresult::Failed(hr)) return hr;
  switch (type) {
    case ValueType::kString:
      hr = WriteStringValue(m_registry, key, valueName, valueText);
      break;
    case ValueType::kMultiString:
      hr = WriteMultiStringValue(m_registry, key, valueName, valueText);
      break;
    case ValueType::kDword:
      hr = WriteDwordValue(m_registry, m_text, key, valueName, valueText);
      break;
    case ValueType::kBinary:
      hr = WriteBinaryValue(m_registry, key, valueName, valueText);
      break;
  }
  if (regresult::Failed(hr)) return hr;
  return ReadToken(token);
}

std::int32_t CRegScriptParser::SkipValueClause(TokenBuffer& token) {
  if (token[0] != u'=') return regresult::kOk;
  std::int32_t hr = ReadToken(token);  // the type, not examined
  if (regresult::Failed(hr)) return hr;
  SkipBlanks();
  TokenBuffer scratch;
  hr = ReadToken(scratch);
  if (regresult::Failed(hr)) return hr;
  return ReadToken(token);
}

std::int32_t CRegScriptParser::DeleteKeyTree(RegKey parent, const char16_t* name) {
  // An empty name would open, empty and delete the parent itself.
  if (name == nullptr || name[0] == 0) return regerror::kInvalidParameter;
  RegKey key = kNoKey;
  std::int32_t error = m_registry.OpenKey(parent, name, regaccess::kRead | regaccess::kWrite, &key);
  if (error != regerror::kSuccess) return error;
  char16_t subkey[kSubkeyNameCapacity];
  for (;;) {
    std::uint32_t length = kSubkeyNameCapacity;
    if (m_registry.EnumKey(key, 0, subkey, &length) != regerror::kSuccess) break;
    error = DeleteKeyTree(key, subkey);
    if (error != regerror::kSuccess) {
      m_registry.CloseKey(key);
      return error;
    }
  }
  m_registry.CloseKey(key);
  return m_registry.DeleteKey(parent, name);
}

}  // namespace stavora
