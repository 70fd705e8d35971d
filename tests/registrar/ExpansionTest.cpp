// The variable table and the expansion of scripts: substitution, doubled
// percent signs, the name limit, the per-user rewrite and allocation failures.
#include <cstdlib>

#include "RegistrarTestSupport.h"

namespace stavora {
namespace testing_support {
namespace {

using regresult::kDispException;
using regresult::kFail;
using regresult::kInvalidArg;
using regresult::kNotImpl;
using regresult::kOk;
using regresult::kOutOfMemory;
using regresult::kPointer;

class ExpansionTest : public RegistrarTest {
 protected:
  // Expects `script` to expand successfully to `expected`.
  void ExpectExpansion(const std::u16string& script, const std::u16string& expected) {
    std::u16string out;
    EXPECT_HR(kOk, Expand(script, &out)) << "script: " << Narrow(script);
    EXPECT_EQ(Narrow(expected), Narrow(out)) << "script: " << Narrow(script);
  }
  void ExpectFailure(const std::u16string& script, std::int32_t expected) {
    std::u16string out = u"untouched";
    EXPECT_HR(expected, Expand(script, &out)) << "script: " << Narrow(script);
    EXPECT_TRUE(out.empty()) << "a failed expansion returned text: " << Narrow(out);
  }
};

TEST_F(ExpansionTest, VariableTableKeepsFirstDefinitionAndIgnoresCase) {
  EXPECT_HR(kOk, registrar.DefineVariable(u"Module", u"first"));
  EXPECT_HR(kOk, registrar.DefineVariable(u"MODULE", u"second"));
  EXPECT_EQ(2, registrar.VariableCount());
  ASSERT_NE(nullptr, registrar.LookupVariable(u"module"));
  EXPECT_EQ("first", Narrow(registrar.LookupVariable(u"module")));
  EXPECT_EQ(nullptr, registrar.LookupVariable(u"Modul"));

  EXPECT_HR(kInvalidArg, registrar.DefineVariable(nullptr, u"v"));
  EXPECT_HR(kInvalidArg, registrar.DefineVariable(u"n", nullptr));
  EXPECT_EQ(2, registrar.VariableCount()) << "a refused definition changed the table";

  EXPECT_HR(kOk, registrar.ClearVariables());
  EXPECT_EQ(0, registrar.VariableCount());
  EXPECT_EQ(nullptr, registrar.LookupVariable(u"Module"));
}

TEST_F(ExpansionTest, UnknownInterfaceRequestTouchesNothing) {
  void* out = &registrar;
  EXPECT_HR(kNotImpl, registrar.QueryInterface(nullptr, &out));
  EXPECT_EQ(static_cast<void*>(&registrar), out);
  EXPECT_EQ(1u, registrar.AddRef());
  EXPECT_EQ(0u, registrar.Release());
}

TEST_F(ExpansionTest, SubstitutesVariables) {
  registrar.DefineVariable(u"Module", u"C:\\x\\Stavora.dll");
  registrar.DefineVariable(u"Module", u"later");
  registrar.DefineVariable(u"Pct", u"%Module%");
  ExpectExpansion(u"a %module% b", u"a C:\\x\\Stavora.dll b");
  ExpectExpansion(u"'%MODULE%'", u"'C:\\x\\Stavora.dll'");
  // A value goes in as it stands and is not expanded again.
  ExpectExpansion(u"%Pct%", u"%Module%");
  ExpectExpansion(u"100%% sure %%", u"100% sure %");
  ExpectExpansion(u"", u"");
}

TEST_F(ExpansionTest, VariableErrors) {
  registrar.DefineVariable(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", u"31");  // 31 units
  registrar.DefineVariable(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", u"32");
  ExpectExpansion(u"%ABCDEFGHIJKLMNOPQRSTUVWXYZ01234%", u"31");
  ExpectFailure(u"%ABCDEFGHIJKLMNOPQRSTUVWXYZ012345%", kFail);
  ExpectFailure(u"x %undefined% y", kDispException);
  ExpectFailure(u"HKCR { }%", kDispException);
  ExpectFailure(u"%unterminated", kDispException);
  // A long run without a closing sign is no name at all.
  ExpectFailure(u"%" + std::u16string(100, u'n'), kDispException);
}

TEST_F(ExpansionTest, MissingArguments) {
  char16_t* out = reinterpret_cast<char16_t*>(this);
  EXPECT_HR(kPointer, parser.ExpandScript(nullptr, &out));
  EXPECT_HR(kPointer, parser.ExpandScript(u"HKCR", nullptr));
}

TEST_F(ExpansionTest, PerUserRewriteOfClassesRoot) {
  g_perUser = true;
  ExpectExpansion(u"HKCR { A }",
                  u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses { A \r\n\t}\r\n}\r\n}");
  // Only the short name in upper case, only at depth 0.
  ExpectExpansion(u"HKEY_CLASSES_ROOT { A }", u"HKEY_CLASSES_ROOT { A }");
  ExpectExpansion(u"hkcr { A }", u"hkcr { A }");
  ExpectExpansion(u"HKLM { HKCR { } }", u"HKLM { HKCR { } }");
  // At depth 0 the four characters are rewritten wherever they start.
  ExpectExpansion(u"xHKCRy", u"xHKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClassesy");
  // A script that ends with the root's name.
  ExpectExpansion(u"HKCR", u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses");
}

TEST_F(ExpansionTest, PerUserRewriteSkipsQuotedBracesAndKeepsDoubledApostrophes) {
  g_perUser = true;
  ExpectExpansion(u"HKCR { 'It''s }' = s 'x' }",
                  u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses { 'It''s }' = s 'x' \r\n\t}\r\n}\r\n}");
  // Braces of a bare class identifier balance out.
  ExpectExpansion(u"HKCR { {1-2} }",
                  u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses { {1-2} \r\n\t}\r\n}\r\n}");
  // Values are not scanned for braces.
  registrar.DefineVariable(u"Brace", u"}");
  ExpectExpansion(u"HKCR { %Brace% }",
                  u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses { } \r\n\t}\r\n}\r\n}");
  // Without the switch nothing is rewritten.
  g_perUser = false;
  ExpectExpansion(u"HKCR { A }", u"HKCR { A }");
}

// Text services that refuse the n-th allocation or reallocation.
class FailingAllocator final : public ITextServices {
 public:
  explicit FailingAllocator(int failAt) : m_failAt(failAt) {}
  const char16_t* NextChar(const char16_t* p) const override { return Std().NextChar(p); }
  int CompareNoCase(const char16_t* a, const char16_t* b) const override { return Std().CompareNoCase(a, b); }
  std::int32_t ParseUInt32(const char16_t* t, std::uint32_t* out) const override { return Std().ParseUInt32(t, out); }
  void* Allocate(std::size_t bytes) const override { return Count() ? nullptr : std::malloc(bytes); }
  void* Reallocate(void* block, std::size_t bytes) const override {
    return Count() ? nullptr : std::realloc(block, bytes);
  }
  void Free(void* block) const override { std::free(block); }

 private:
  static const ITextServices& Std() { return PlatformTextServices(); }
  bool Count() const { return ++m_calls == m_failAt; }
  int m_failAt;
  mutable int m_calls = 0;
};

TEST(ExpansionAllocation, FailedAllocationOrGrowthReturnsOutOfMemory) {
  MemoryRegistry registry;
  // The first buffer holds 1000 units; a value of 3000 units forces growth.
  const std::u16string big(3000, u'v');
  for (int failAt = 1; failAt <= 2; ++failAt) {
    FailingAllocator text(failAt);
    CRegObject registrar(text);
    registrar.DefineVariable(u"Big", big.c_str());
    CRegScriptParser parser(registrar, registry, &TestPerUser);
    char16_t* out = reinterpret_cast<char16_t*>(&registry);
    EXPECT_HR(kOutOfMemory, parser.ExpandScript(u"x%Big%y", &out)) << "failing call " << failAt;
    EXPECT_EQ(nullptr, out) << "failing call " << failAt;
  }
  FailingAllocator text(3);
  CRegObject registrar(text);
  registrar.DefineVariable(u"Big", big.c_str());
  CRegScriptParser parser(registrar, registry, &TestPerUser);
  char16_t* out = nullptr;
  EXPECT_HR(kOk, parser.ExpandScript(u"x%Big%y", &out));
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(u"x" + big + u"y", std::u16string(out));
  text.Free(out);
}

}  // namespace
}  // namespace testing_support
}  // namespace stavora
