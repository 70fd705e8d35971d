// Expansion, blanks, tokens and the name tables of the registration script
// language. The walks over the registry are in RegistrationWalk.cpp.
#include "registrar/RegScriptParser.h"

#include <cstring>

#include "registrar/PerUserSwitch.h"
#include "registrar/RegistrarResults.h"

namespace stavora {
namespace {

// The growing output of one expansion. Capacity and use are in UTF-16 units;
// the text is always terminated.
class ExpansionOutput {
 public:
  explicit ExpansionOutput(const ITextServices& text) : m_text(text) {}
  ExpansionOutput(const ExpansionOutput&) = delete;
  ExpansionOutput& operator=(const ExpansionOutput&) = delete;
  ~ExpansionOutput() {
    if (m_buffer != nullptr) m_text.Free(m_buffer);
  }

  bool Start(std::size_t inputLength) {
    m_capacity = inputLength * 2;
    if (m_capacity < 100) m_capacity = 1000;
    if (m_capacity > kMaxCapacity * 2) return false;
    m_buffer = static_cast<char16_t*>(m_text.Allocate(m_capacity * sizeof(char16_t)));
    if (m_buffer == nullptr) return false;
    m_buffer[0] = 0;
    return true;
  }

  bool Append(const char16_t* units, std::size_t count) {
    if (m_used + count + 1 >= m_capacity) {
      std::size_t capacity = m_capacity;
      while (capacity <= m_used + count + 1) {
        if (capacity > kMaxCapacity) return false;
        capacity *= 2;
      }
      void* grown = m_text.Reallocate(m_buffer, capacity * sizeof(char16_t));
      if (grown == nullptr) return false;
      m_buffer = static_cast<char16_t*>(grown);
      m_capacity = capacity;
    }
    std::memcpy(m_buffer + m_used, units, count * sizeof(char16_t));
    m_used += count;
    m_buffer[m_used] = 0;
    return true;
  }

  bool Append(const char16_t* text) { return Append(text, std::char_traits<char16_t>::length(text)); }

  char16_t* Release() {
    char16_t* buffer = m_buffer;
    m_buffer = nullptr;
    return buffer;
  }

 private:
  static constexpr std::size_t kMaxCapacity = 0x3FFFFFFF;

  const ITextServices& m_text;
  char16_t* m_buffer = nullptr;
  std::size_t m_capacity = 0;
  std::size_t m_used = 0;
};

const char16_t kPerUserOpening[] = u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
const char16_t kPerUserClosing[] = u"\r\n\t}\r\n}\r\n";

// The per-user rewrite of a script: each "HKCR" root becomes
// HKCU\Software\Classes, by wrapping its block in the keys above it. Quoted
// text is passed over, so that braces inside quotes do not count.
class PerUserRewrite {
 public:
  enum class Step { kGoOn, kEnded, kOutOfMemory };

  // Sees the text at `c` before it is copied. It may move `c` past the
  // "HKCR" it replaces, or past the first of a doubled apostrophe inside a
  // quoted token (which stays doubled), and appends the wrapping to `out`.
  Step Before(const char16_t*& c, ExpansionOutput& out) {
    if (m_depth == 0 && c[0] == u'H' && c[1] == u'K' && c[2] == u'C' && c[3] == u'R') {
      c += 4;
      if (!out.Append(kPerUserOpening)) return Step::kOutOfMemory;
      m_wrapped = true;
      if (*c == 0) return Step::kEnded;  // the script ended with the root's name
    }
    bool quoteHandled = false;
    if (*c == u'\'') {
      if (!m_inQuote) {
        m_inQuote = true;
        quoteHandled = true;
      } else if (c[1] == u'\'') {
        ++c;
        if (!out.Append(u"'", 1)) return Step::kOutOfMemory;
        quoteHandled = true;
      } else {
        m_inQuote = false;
      }
    }
    if (quoteHandled || m_inQuote) return Step::kGoOn;
    if (*c == u'{') {
      ++m_depth;
    } else if (*c == u'}') {
      --m_depth;
      if (m_depth == 0 && m_wrapped) {
        if (!out.Append(kPerUserClosing)) return Step::kOutOfMemory;
        m_wrapped = false;
      }
    }
    return Step::kGoOn;
  }

 private:
  int m_depth = 0;
  bool m_inQuote = false;
  bool m_wrapped = false;
};

// Copies the character at `c` to `out`, or what a "%NAME%" there stands for:
// the registrar's variable of that name, or "%" for "%%". Moves `c` past
// what it read.
std::int32_t AppendSubstituted(const char16_t*& c, ExpansionOutput& out, const CRegObject& registrar,
                               const ITextServices& text) {
  if (*c != u'%') {
    const char16_t* next = text.NextChar(c);
    if (next == c) next = c + 1;  // a stepping service must always move on
    if (!out.Append(c, static_cast<std::size_t>(next - c))) return regresult::kOutOfMemory;
    c = next;
    return regresult::kOk;
  }
  ++c;
  if (*c == u'%') {
    if (!out.Append(u"%", 1)) return regresult::kOutOfMemory;
    ++c;
    return regresult::kOk;
  }
  const char16_t* close = c;
  while (*close != 0 && *close != u'%') ++close;
  if (*close == 0) return regresult::kDispException;
  const std::size_t length = static_cast<std::size_t>(close - c);
  if (length >= kVariableNameCapacity) return regresult::kFail;
  char16_t name[kVariableNameCapacity];
  std::memcpy(name, c, length * sizeof(char16_t));
  name[length] = 0;
  const char16_t* value = registrar.LookupVariable(name);
  if (value == nullptr) return regresult::kDispException;
  if (!out.Append(value)) return regresult::kOutOfMemory;
  c = close + 1;
  return regresult::kOk;
}

bool IsBlank(char16_t unit) { return unit == u' ' || unit == u'\t' || unit == u'\r' || unit == u'\n'; }

const char16_t* const kProtectedKeyNames[] = {
    u"AppID", u"CLSID",    u"Component Categories", u"FileType", u"Interface", u"Hardware",
    u"Mime",  u"SAM",      u"SECURITY",             u"SYSTEM",   u"Software",  u"TypeLib",
};

struct RootKeyRow {
  const char16_t* token;
  RegKey key;
};

const RootKeyRow kRootKeys[] = {
    {u"HKCR", regkey::kClassesRoot},
    {u"HKCU", regkey::kCurrentUser},
    {u"HKLM", regkey::kLocalMachine},
    {u"HKU", regkey::kUsers},
    {u"HKPD", regkey::kPerformanceData},
    {u"HKDD", regkey::kDynData},
    {u"HKCC", regkey::kCurrentConfig},
    {u"HKEY_CLASSES_ROOT", regkey::kClassesRoot},
    {u"HKEY_CURRENT_USER", regkey::kCurrentUser},
    {u"HKEY_LOCAL_MACHINE", regkey::kLocalMachine},
    {u"HKEY_USERS", regkey::kUsers},
    {u"HKEY_PERFORMANCE_DATA", regkey::kPerformanceData},
    {u"HKEY_DYN_DATA", regkey::kDynData},
    {u"HKEY_CURRENT_CONFIG", regkey::kCurrentConfig},
};

struct ValueTypeRow {
  const char16_t* token;
  ValueType type;
};

const ValueTypeRow kValueTypes[] = {
    {u"S", ValueType::kString},
    {u"M", ValueType::kMultiString},
    {u"D", ValueType::kDword},
    {u"B", ValueType::kBinary},
};

}  // namespace

CRegScriptParser::CRegScriptParser(CRegObject& registrar, IRegistry& registry, PerUserSource perUser,
                                   RegKey classesRoot)
    : m_registrar(registrar),
      m_registry(registry),
      m_text(registrar.Text()),
      m_perUser(perUser != nullptr ? perUser : &PerUserRegistration),
      m_classesRoot(classesRoot) {}

std::int32_t CRegScriptParser::ExpandScript(const char16_t* text, char16_t** expandedText) {
  if (text == nullptr || expandedText == nullptr) return regresult::kPointer;
  *expandedText = nullptr;

  ExpansionOutput out(m_text);
  if (!out.Start(std::char_traits<char16_t>::length(text))) return regresult::kOutOfMemory;

  // The per-user rewrite sees the text before variables are substituted.
  PerUserRewrite rewrite;
  const bool perUser = m_perUser();
  const char16_t* c = text;
  while (*c != 0) {
    if (perUser) {
      const PerUserRewrite::Step step = rewrite.Before(c, out);
      if (step == PerUserRewrite::Step::kOutOfMemory) return regresult::kOutOfMemory;
      if (step == PerUserRewrite::Step::kEnded) break;
    }
    const std::int32_t hr = AppendSubstituted(c, out, m_registrar, m_text);
    if (regresult::Failed(hr)) return hr;
  }

  *expandedText = out.Release();
  return regresult::kOk;
}

void CRegScriptParser::SkipBlanks() {
  while (*m_cursor != 0 && IsBlank(*m_cursor)) ++m_cursor;
}

std::int32_t CRegScriptParser::ReadToken(TokenBuffer& token) {
  SkipBlanks();
  token[0] = 0;
  if (*m_cursor == 0) return regresult::kDispException;

  std::size_t used = 0;
  auto copyCharacter = [&](const char16_t* from, const char16_t* to) {
    const std::size_t count = static_cast<std::size_t>(to - from);
    if (used + count > kMaxTokenLength) return false;
    for (const char16_t* p = from; p != to; ++p) token[used++] = *p;
    return true;
  };
  auto step = [&](const char16_t* p) {
    const char16_t* next = m_text.NextChar(p);
    return next == p ? p + 1 : next;
  };

  if (*m_cursor != u'\'') {
    while (*m_cursor != 0 && !IsBlank(*m_cursor)) {
      const char16_t* next = step(m_cursor);
      if (!copyCharacter(m_cursor, next)) {
        token[used] = 0;
        return regresult::kDispException;
      }
      m_cursor = next;
    }
  } else {
    m_cursor = step(m_cursor);
    for (;;) {
      if (*m_cursor == 0) {
        token[used] = 0;
        return regresult::kDispException;
      }
      if (*m_cursor == u'\'') {
        if (m_cursor[1] != u'\'') {
          m_cursor = step(m_cursor);
          break;
        }
        // Two apostrophes stand for one.
        m_cursor += 1;
      }
      const char16_t* next = step(m_cursor);
      if (!copyCharacter(m_cursor, next)) {
        token[used] = 0;
        return regresult::kDispException;
      }
      m_cursor = next;
    }
  }
  token[used] = 0;
  return regresult::kOk;
}

bool CRegScriptParser::Is(const char16_t* token, const char16_t* word) const {
  return m_text.CompareNoCase(token, word) == 0;
}

bool CRegScriptParser::IsProtectedKeyName(const char16_t* name) const {
  for (const char16_t* row : kProtectedKeyNames) {
    if (Is(name, row)) return true;
  }
  return false;
}

bool CRegScriptParser::FindRootKey(const char16_t* token, RegKey* root) const {
  for (const RootKeyRow& row : kRootKeys) {
    if (Is(token, row.token)) {
      *root = row.key == regkey::kClassesRoot ? m_classesRoot : row.key;
      return true;
    }
  }
  return false;
}

bool CRegScriptParser::FindValueType(const char16_t* token, ValueType* type) const {
  for (const ValueTypeRow& row : kValueTypes) {
    if (Is(token, row.token)) {
      *type = row.type;
      return true;
    }
  }
  return false;
}

}  // namespace stavora
