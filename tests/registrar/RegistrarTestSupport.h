// Shared setup for the registrar tests: a variable table, an in-memory
// registry and a parser over both, with a per-user switch the test controls.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/MemoryRegistry.h"
#include "registrar/RegObject.h"
#include "registrar/RegScriptParser.h"
#include "registrar/RegistrarResults.h"

namespace stavora {
namespace testing_support {

inline bool g_perUser = false;
inline bool TestPerUser() { return g_perUser; }

inline std::string HrText(std::int32_t hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// A script as the DLL ships it in resources/: 8-bit text, read as Latin-1.
inline std::u16string ShippedScript(const char* name) {
  std::ifstream file(std::string(STAVORA_SOURCE_DIR) + "/resources/" + name, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(bytes.empty()) << "resources/" << name << " could not be read";
  std::u16string text;
  for (unsigned char byte : bytes) text.push_back(byte);
  return text;
}

// Narrow view of UTF-16 text for failure messages and comparisons.
inline std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

#define EXPECT_HR(expected, actual)                                                        \
  EXPECT_EQ(::stavora::testing_support::HrText(expected), ::stavora::testing_support::HrText(actual))

#define ASSERT_HR(expected, actual)                                                        \
  ASSERT_EQ(::stavora::testing_support::HrText(expected), ::stavora::testing_support::HrText(actual))

class RegistrarTest : public ::testing::Test {
 protected:
  RegistrarTest() : parser(registrar, registry, &TestPerUser) { g_perUser = false; }
  ~RegistrarTest() override { g_perUser = false; }

  // Expands `script`; on success `*out` holds the text.
  std::int32_t Expand(const std::u16string& script, std::u16string* out) {
    char16_t* expanded = nullptr;
    const std::int32_t hr = parser.ExpandScript(script.c_str(), &expanded);
    if (expanded != nullptr) {
      *out = expanded;
      registrar.Text().Free(expanded);
    } else {
      out->clear();
    }
    return hr;
  }

  // Runs a script both ways and checks that every key it opened was closed.
  std::int32_t Run(const std::u16string& script, bool doRegister) {
    const std::int32_t hr = parser.RunScript(script.c_str(), doRegister);
    EXPECT_EQ(0u, registry.OpenHandleCount()) << "keys left open by the run";
    EXPECT_EQ(0u, registry.HandleErrors()) << "invalid or doubly closed handles";
    return hr;
  }
  std::int32_t Register(const std::u16string& script) { return Run(script, true); }
  std::int32_t Unregister(const std::u16string& script) { return Run(script, false); }

  std::string ValueText(const std::u16string& path, const std::u16string& name) {
    const MemoryRegistry::Value* value = registry.FindValue(path, name);
    if (value == nullptr) return "<none>";
    char head[16];
    std::snprintf(head, sizeof(head), "T%u:", value->type);
    std::string out = head;
    for (std::uint8_t byte : value->data) {
      char pair[3];
      std::snprintf(pair, sizeof(pair), "%02x", byte);
      out += pair;
    }
    return out;
  }

  CRegObject registrar;
  MemoryRegistry registry;
  CRegScriptParser parser;
};

}  // namespace testing_support
}  // namespace stavora
