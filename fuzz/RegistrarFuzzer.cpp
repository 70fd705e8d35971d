// Fuzz target for registration scripts: every input is expanded and run both
// ways, per machine and per user, over the in-memory registry. A leaked or
// doubly closed key, or a result outside the known set, is a finding; memory
// errors are caught by the sanitizers.
//
// Input: the script as 8-bit text, one byte per UTF-16 unit (as the resource
// loader's conversion gives it for single-byte code pages), up to the first
// NUL. An input whose first byte is 0x01 to 0x08 uses it to make one kind of
// registry call fail with ERROR_ACCESS_DENIED; an input starting with 0x10 is
// read as UTF-16LE instead, to reach surrogates and other wide units.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/MemoryRegistry.h"
#include "registrar/RegObject.h"
#include "registrar/RegScriptParser.h"
#include "registrar/RegistrarResults.h"

namespace {

using namespace stavora;

bool g_perUser = false;
bool PerUser() { return g_perUser; }

// Whether the script's text holds the word "existing" in any ASCII case: only
// such a script can name the key that every run starts with. No variable's
// value holds it, so expansion cannot make it up.
bool NamesExisting(const std::u16string& script) {
  static const char16_t kWord[] = u"existing";
  const std::size_t length = sizeof kWord / sizeof kWord[0] - 1;
  for (std::size_t at = 0; at + length <= script.size(); ++at) {
    std::size_t i = 0;
    while (i < length) {
      char16_t unit = script[at + i];
      if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit + 32);
      if (unit != kWord[i]) break;
      ++i;
    }
    if (i == length) return true;
  }
  return false;
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "registrar_fuzzer: %s\n", what);
    std::abort();
  }
}

bool KnownResult(std::int32_t hr) {
  switch (static_cast<std::uint32_t>(hr)) {
    case 0:
    case 0x80020009u:  // DISP_E_EXCEPTION
    case 0x80020005u:  // DISP_E_TYPEMISMATCH
    case 0x8002000Au:  // DISP_E_OVERFLOW
    case 0x80004005u:  // E_FAIL
    case 0x8007000Eu:  // E_OUTOFMEMORY
      return true;
    default:
      // Registry errors come through as system-error results.
      return (static_cast<std::uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u;
  }
}

void RunOnce(const std::u16string& script, bool perUser, int failingOperation) {
  g_perUser = perUser;
  MemoryRegistry registry;
  registry.AddStringValue(u"HKCR\\CLSID\\{existing}", u"", u"kept");
  registry.AddKey(u"HKCU\\Software\\Vendor");
  if (failingOperation >= 0) {
    registry.SetFailure(static_cast<MemoryRegistry::Operation>(failingOperation), 5);
  }
  CRegObject registrar;
  registrar.DefineVariable(u"MODULE", u"C:\\Program Files\\It''s\\Stavora.dll");
  registrar.DefineVariable(u"Module_Raw", u"C:\\Program Files\\It''s\\Stavora.dll");
  registrar.DefineVariable(u"APPID", u"{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}");
  registrar.DefineVariable(u"Pct", u"%APPID% {'}");
  registrar.DefineVariable(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", u"thirty-one");

  for (bool doRegister : {true, false}) {
    CRegScriptParser parser(registrar, registry, &PerUser);
    const std::int32_t hr = parser.RunScript(script.c_str(), doRegister);
    Check(KnownResult(hr), "unexpected result code");
    Check(registry.OpenHandleCount() == 0, "a key was left open");
    Check(registry.HandleErrors() == 0, "an invalid or closed handle was used");
  }
  Check(registry.KeyExists(u"HKCR\\CLSID\\{existing}") || failingOperation >= 0 ||
            NamesExisting(script),
        "an entry the script cannot name was removed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64 * 1024) return 0;
  int failingOperation = -1;
  bool wide = false;
  if (size > 0 && data[0] >= 0x01 && data[0] <= 0x08) {
    failingOperation = data[0] - 1;
    ++data;
    --size;
  } else if (size > 0 && data[0] == 0x10) {
    wide = true;
    ++data;
    --size;
  }
  std::u16string script;
  if (wide) {
    for (std::size_t i = 0; i + 1 < size; i += 2) {
      const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
      if (unit == 0) break;
      script.push_back(unit);
    }
  } else {
    for (std::size_t i = 0; i < size && data[i] != 0; ++i) script.push_back(data[i]);
  }
  RunOnce(script, false, failingOperation);
  RunOnce(script, true, failingOperation);
  return 0;
}
