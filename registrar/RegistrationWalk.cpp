// Running a script against a registry: the root blocks with the undo of a
// failed one, the registration and unregistration walks, value writing and
// the removal of key trees.
#include <cstring>
#include <memory>
#include <new>

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

// The key a walk currently works on; closed when replaced and when the walk
// ends, however it ends.
class CurrentKey {
 public:
  explicit CurrentKey(IRegistry& registry) : m_registry(registry) {}
  CurrentKey(const CurrentKey&) = delete;
  CurrentKey& operator=(const CurrentKey&) = delete;
  ~CurrentKey() { Reset(kNoKey); }

  RegKey Get() const { return m_key; }
  void Reset(RegKey key) {
    // A close that fails while the walk moves on has nothing left to undo.
    if (m_key != kNoKey) m_registry.CloseKey(m_key);
    m_key = key;
  }
  // Gives the key up to the caller, who closes it.
  RegKey Release() {
    const RegKey key = m_key;
    m_key = kNoKey;
    return key;
  }

 private:
  IRegistry& m_registry;
  RegKey m_key = kNoKey;
};

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

std::int32_t CRegScriptParser::RegisterBlock(TokenBuffer& token, RegKey parent, int depth) {
  CurrentKey current(m_registry);
  TokenBuffer valueName;

  std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  while (token[0] != u'}') {
    // Entries that name no key of their own cannot carry a sub-block.
    bool keyless = false;
    bool handled = false;

    const bool isDelete = Is(token, u"Delete");
    if (isDelete || Is(token, u"ForceRemove")) {
      hr = ReadToken(token);
      if (regresult::Failed(hr)) return hr;
      if (IsBadKeyName(token)) return regresult::kDispException;
      if (!IsProtectedKeyName(token)) {
        // A key that is not there is no error, nor is one that cannot go.
        DeleteKeyTree(parent, token);
      }
      if (isDelete) {
        hr = ReadToken(token);
        if (regresult::Failed(hr)) return hr;
        hr = SkipValueClause(token);
        if (regresult::Failed(hr)) return hr;
        keyless = true;
        handled = true;
      }
    }

    if (!handled) {
      if (Is(token, u"NoRemove")) {
        hr = ReadToken(token);
        if (regresult::Failed(hr)) return hr;
      }
      if (Is(token, u"Val")) {
        hr = ReadValueEntryHead(valueName, token);
        if (regresult::Failed(hr)) return hr;
        hr = WriteValue(parent, valueName, token);
        if (regresult::Failed(hr)) return hr;
        keyless = true;
      } else {
        if (IsBadKeyName(token)) return regresult::kDispException;
        RegKey key = kNoKey;
        std::int32_t error = m_registry.OpenKey(parent, token, regaccess::kRead | regaccess::kWrite, &key);
        if (error != regerror::kSuccess) {
          error = m_registry.OpenKey(parent, token, regaccess::kRead, &key);
        }
        if (error != regerror::kSuccess) {
          error = m_registry.CreateKey(parent, token, regaccess::kRead | regaccess::kWrite, &key);
          if (error != regerror::kSuccess) return FromSystemError(error);
        }
        current.Reset(key);
        hr = ReadToken(token);
        if (regresult::Failed(hr)) return hr;
        if (token[0] == u'=') {
          hr = WriteValue(current.Get(), nullptr, token);
          if (regresult::Failed(hr)) return hr;
        }
      }
    }

    if (std::char_traits<char16_t>::compare(token, u"{", 2) == 0) {
      if (keyless) return regresult::kDispException;
      hr = WalkBlockAt(token, current.Get(), true, false, depth + 1);
      if (regresult::Failed(hr)) return hr;
      hr = ReadToken(token);
      if (regresult::Failed(hr)) return hr;
    }
  }
  return regresult::kOk;
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
  CurrentKey current(m_registry);
  TokenBuffer valueName;
  char16_t keyName[kKeyNameCapacity];

  std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  while (token[0] != u'}') {
    bool removable = true;
    if (Is(token, u"ForceRemove") || Is(token, u"Delete")) {
      hr = ReadToken(token);
      if (regresult::Failed(hr)) return hr;
    }
    if (Is(token, u"NoRemove")) {
      removable = false;
      hr = ReadToken(token);
      if (regresult::Failed(hr)) return hr;
    }

    if (Is(token, u"Val")) {
      hr = ReadValueEntryHead(valueName, token);
      if (regresult::Failed(hr)) return hr;
      if (!skipping && removable) {
        RegKey self = kNoKey;
        std::int32_t error = m_registry.OpenKey(parent, nullptr, regaccess::kWrite, &self);
        if (error != regerror::kSuccess) return FromSystemError(error);
        error = m_registry.DeleteValue(self, valueName);
        const std::int32_t closeError = m_registry.CloseKey(self);
        if (error != regerror::kSuccess && error != regerror::kFileNotFound) {
          return FromSystemError(error);
        }
        if (closeError != regerror::kSuccess) return FromSystemError(closeError);
      }
      hr = SkipValueClause(token);
      if (regresult::Failed(hr)) return hr;
      continue;
    }

    if (IsBadKeyName(token)) return regresult::kDispException;
    std::int32_t openResult = regerror::kFileNotFound;
    current.Reset(kNoKey);
    if (!skipping) {
      RegKey key = kNoKey;
      openResult = m_registry.OpenKey(parent, token, regaccess::kRead, &key);
      if (openResult == regerror::kSuccess) current.Reset(key);
    }
    const bool entrySkipping = openResult != regerror::kSuccess;
    std::size_t nameLength = Length(token);
    if (nameLength > kKeyNameCapacity - 1) nameLength = kKeyNameCapacity - 1;
    std::memcpy(keyName, token, nameLength * sizeof(char16_t));
    keyName[nameLength] = 0;

    hr = ReadToken(token);
    if (regresult::Failed(hr)) return hr;
    hr = SkipValueClause(token);
    if (regresult::Failed(hr)) return hr;

    if (std::char_traits<char16_t>::compare(token, u"{", 2) == 0) {
      hr = WalkBlockAt(token, current.Get(), false, entrySkipping, depth + 1);
      if (regresult::Failed(hr) && !entrySkipping) return hr;
      hr = ReadToken(token);
      if (regresult::Failed(hr)) return hr;
    }

    if (openResult == regerror::kFileNotFound) continue;
    if (openResult != regerror::kSuccess) return FromSystemError(openResult);

    std::uint32_t subkeys = 0;
    const std::int32_t queryError = m_registry.QuerySubkeyCount(current.Get(), &subkeys);
    const std::int32_t closeError = m_registry.CloseKey(current.Release());
    // A key whose subkeys cannot be counted is reported, not guessed at.
    if (queryError != regerror::kSuccess) return FromSystemError(queryError);
    if (closeError != regerror::kSuccess) return FromSystemError(closeError);
    if (removable && subkeys == 0) {
      const std::int32_t error = m_registry.DeleteKey(parent, keyName);
      if (error != regerror::kSuccess) return FromSystemError(error);
    }
  }
  return regresult::kOk;
}

std::int32_t CRegScriptParser::WriteValue(RegKey key, const char16_t* valueName, TokenBuffer& token) {
  std::int32_t hr = ReadToken(token);
  if (regresult::Failed(hr)) return hr;
  const int type = FindValueType(token);
  if (type < 0) return regresult::kDispException;
  SkipBlanks();
  TokenBuffer valueText;
  hr = ReadToken(valueText);
  if (regresult::Failed(hr)) return hr;

  const std::size_t length = Length(valueText);
  std::int32_t error = regerror::kSuccess;
  switch (type) {
    case 0: {  // S
      error = m_registry.SetValue(key, valueName, regtype::kString, valueText,
                                  static_cast<std::uint32_t>((length + 1) * sizeof(char16_t)));
      break;
    }
    case 1: {  // M: "\0" separates the strings
      SmallBuffer<char16_t, 128> list;
      if (!list.Reserve(length + 2)) {
        error = regerror::kOutOfMemory;
        break;
      }
      char16_t* out = list.Data();
      std::size_t used = 0;
      for (std::size_t i = 0; i < length;) {
        if (valueText[i] == u'\\' && valueText[i + 1] == u'0') {
          out[used++] = 0;
          i += 2;
        } else {
          out[used++] = valueText[i++];
        }
      }
      out[used] = 0;
      out[used + 1] = 0;
      // The data runs through the first empty string.
      std::size_t units = 0;
      for (;;) {
        const std::size_t stringLength = Length(out + units);
        units += stringLength + 1;
        if (stringLength == 0) break;
      }
      error = m_registry.SetValue(key, valueName, regtype::kMultiString, out,
                                  static_cast<std::uint32_t>(units * sizeof(char16_t)));
      break;
    }
    case 2: {  // D
      std::uint32_t number = 0;
      hr = m_text.ParseUInt32(valueText, &number);
      if (regresult::Failed(hr)) return hr;
      unsigned char bytes[4] = {static_cast<unsigned char>(number & 0xFF),
                                static_cast<unsigned char>((number >> 8) & 0xFF),
                                static_cast<unsigned char>((number >> 16) & 0xFF),
                                static_cast<unsigned char>((number >> 24) & 0xFF)};
      error = m_registry.SetValue(key, valueName, regtype::kDword, bytes, 4);
      break;
    }
    default: {  // B: pairs of hexadecimal digits, high half first
      if (length % 2 != 0) return regresult::kFail;
      const std::size_t count = length / 2;
      SmallBuffer<unsigned char, 256> block;
      if (!block.Reserve(count)) return regresult::kFail;
      unsigned char* bytes = block.Data();
      for (std::size_t i = 0; i < count; ++i) bytes[i] = 0;
      for (std::size_t i = 0; i < length; ++i) {
        const int shift = (i % 2 == 0) ? 4 : 0;
        bytes[i / 2] = static_cast<unsigned char>(bytes[i / 2] | (HexDigitValue(valueText[i]) << shift));
      }
      error = m_registry.SetValue(key, valueName, regtype::kBinary, bytes,
                                  static_cast<std::uint32_t>(count));
      break;
    }
  }
  if (error != regerror::kSuccess) return FromSystemError(error);
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
