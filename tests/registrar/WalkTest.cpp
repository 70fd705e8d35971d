// The walks over the in-memory registry: root blocks, removal prefixes, the
// four value types, unregistration rules, the undo of a failed root block and
// the registry's own failures.
#include "RegistrarTestSupport.h"

namespace stavora {
namespace testing_support {
namespace {

using regresult::kDispException;
using regresult::kDispOverflow;
using regresult::kDispTypeMismatch;
using regresult::kFail;
using regresult::kOk;

constexpr std::int32_t kAccessDeniedHr = static_cast<std::int32_t>(0x80070005u);

class WalkTest : public RegistrarTest {
 protected:
  // Registers `script`, expecting `expected`; returns the registry afterwards.
  std::vector<std::string> RegisterExpecting(const std::u16string& script, std::int32_t expected) {
    EXPECT_HR(expected, Register(script)) << "script: " << Narrow(script);
    return registry.Dump();
  }
};

using Lines = std::vector<std::string>;

TEST_F(WalkTest, ScriptShape) {
  EXPECT_HR(kOk, Register(u""));
  EXPECT_HR(kOk, Unregister(u""));
  EXPECT_EQ(0u, registry.CallCount()) << "an empty script touched the registry";
  EXPECT_HR(kDispException, Register(u"  \r\n\t"));
  EXPECT_HR(kDispException, Register(u"HKXX { A }"));
  EXPECT_HR(kDispException, Register(u"HKCR A { }"));
  EXPECT_HR(kDispException, Register(u"HKCR { A\\B }"));
  EXPECT_HR(kDispException, Register(u"HKCR { ForceRemove A\\B }"));
  EXPECT_HR(kDispException, Register(u"HKCR { A = q 'x' }"));
  EXPECT_HR(kDispException, Unregister(u"HKCR { A\\B }"));
  EXPECT_EQ(Lines{}, registry.Dump()) << "a refused script left entries behind";
  // Every root name of the table is accepted, in any case.
  EXPECT_HR(kOk, Register(u"hkey_local_machine { A } HKU { B } HKCC { C } HKEY_CURRENT_USER { D }"));
  EXPECT_EQ((Lines{"HKCU\\D", "HKLM\\A", "HKU\\B", "HKCC\\C"}), registry.Dump());
}

TEST_F(WalkTest, KeysValuesAndQuotedKeywords) {
  const Lines after = RegisterExpecting(
      u"HKLM { 'A b' = s 'It''s' { val 'V\\W' = s '%%' 'Delete' X } name= {0000-1111} }", kOk);
  EXPECT_EQ((Lines{"HKLM\\A b", "HKLM\\A b @ = S:It's", "HKLM\\A b V\\W = S:%", "HKLM\\name=",
                   "HKLM\\{0000-1111}"}),
            after);
}

TEST_F(WalkTest, StringAndMultiStringValues) {
  ASSERT_HR(kOk, Register(u"HKLM { K { val S = s 'ab' val M1 = m 'a\\0b' val M2 = m '' "
                          u"val M3 = m 'a\\0\\0b' val M4 = m 'x\\y' } }"));
  EXPECT_EQ("T1:610062000000", ValueText(u"HKLM\\K", u"S"));
  EXPECT_EQ("T7:61000000620000000000", ValueText(u"HKLM\\K", u"M1"));
  EXPECT_EQ("T7:0000", ValueText(u"HKLM\\K", u"M2"));
  EXPECT_EQ("T7:610000000000", ValueText(u"HKLM\\K", u"M3"));
  EXPECT_EQ("T7:78005c00790000000000", ValueText(u"HKLM\\K", u"M4"));
}

TEST_F(WalkTest, NumberValues) {
  ASSERT_HR(kOk, Register(u"HKLM { K { val D = d '4096' val Max = D 4294967295 } }"));
  EXPECT_EQ("T4:00100000", ValueText(u"HKLM\\K", u"D"));
  EXPECT_EQ("T4:ffffffff", ValueText(u"HKLM\\K", u"Max"));
  EXPECT_HR(kDispTypeMismatch, Register(u"HKLM { K { val Bad = d 'abc' } }"));
  EXPECT_HR(kDispOverflow, Register(u"HKLM { K { val Big = d 4294967296 } }"));
  EXPECT_EQ("<none>", ValueText(u"HKLM\\K", u"Bad"));
  EXPECT_EQ("<none>", ValueText(u"HKLM\\K", u"Big"));
}

TEST_F(WalkTest, BinaryValues) {
  ASSERT_HR(kOk, Register(u"HKLM { K { val B1 = b 0a1B val B2 = b zz val B3 = b '' } }"));
  EXPECT_EQ("T3:0a1b", ValueText(u"HKLM\\K", u"B1"));
  EXPECT_EQ("T3:00", ValueText(u"HKLM\\K", u"B2"));
  EXPECT_EQ("T3:", ValueText(u"HKLM\\K", u"B3"));
  EXPECT_HR(kFail, Register(u"HKLM { K { val Odd = b abc } }"));
  EXPECT_EQ("<none>", ValueText(u"HKLM\\K", u"Odd"));
  // Blocks above the inline size come from the heap.
  const std::u16string longHex(1024, u'f');
  ASSERT_HR(kOk, Register(u"HKLM { K { val Long = b " + longHex + u" } }"));
  EXPECT_EQ("T3:" + std::string(1024, 'f'), ValueText(u"HKLM\\K", u"Long"));
}

TEST_F(WalkTest, UndoStopsWhereTheScriptIsMalformed) {
  // The undo reads the same block and meets the same error: what was created
  // before that point stays, and the run reports the first error.
  EXPECT_HR(kDispException, Register(u"HKCR { A"));
  EXPECT_EQ(Lines{"HKCR\\A"}, registry.Dump());
  EXPECT_HR(kDispException, Register(u"HKCR { B { val V s 'x' } }"));
  EXPECT_EQ((Lines{"HKCR\\A", "HKCR\\B"}), registry.Dump());
  EXPECT_HR(kOk, Unregister(u"HKCR { A B }"));
  EXPECT_EQ(Lines{}, registry.Dump());
}

TEST_F(WalkTest, ForceRemoveSparesProtectedNames) {
  registry.AddStringValue(u"HKCR\\CLSID\\Other", u"", u"keep");
  registry.AddStringValue(u"HKCR\\X\\Old\\Deep", u"", u"gone");
  registry.AddStringValue(u"HKCR\\X", u"Stale", u"gone");
  ASSERT_HR(kOk, Register(u"HKCR { ForceRemove CLSID { } ForceRemove X = s 'new' { Fresh } }"));
  EXPECT_EQ((Lines{"HKCR\\CLSID", "HKCR\\CLSID\\Other", "HKCR\\CLSID\\Other @ = S:keep", "HKCR\\X",
                   "HKCR\\X @ = S:new", "HKCR\\X\\Fresh"}),
            registry.Dump());
}

TEST_F(WalkTest, DeleteRemovesAndWritesNothing) {
  registry.AddStringValue(u"HKCR\\X\\Sub", u"", u"gone");
  registry.AddKey(u"HKCR\\Software\\Keep");
  ASSERT_HR(kOk, Register(u"HKCR { Delete X = s 'v' Delete Software Y }"));
  EXPECT_EQ((Lines{"HKCR\\Software", "HKCR\\Software\\Keep", "HKCR\\Y"}), registry.Dump());
}

TEST_F(WalkTest, SubBlockWithoutAKeyFails) {
  EXPECT_HR(kDispException, Register(u"HKCR { Delete X { A } }"));
  EXPECT_HR(kDispException, Register(u"HKCR { K val V = s 'x' { A } }"));
  // The undo removed the key the failing block had created.
  EXPECT_EQ(Lines{}, registry.Dump());
}

// An empty key name names the parent key itself: a removal would empty it, a
// key entry would write into it. Every such entry fails and nothing changes.
TEST_F(WalkTest, EmptyKeyNameIsRefused) {
  registry.AddKey(u"HKCR\\CLSID\\{other}\\InprocServer32");
  const Lines before = registry.Dump();
  EXPECT_HR(kDispException, Register(u"HKCR { NoRemove CLSID { ForceRemove '' } }"));
  EXPECT_HR(kDispException, Register(u"HKCR { NoRemove CLSID { Delete '' } }"));
  EXPECT_HR(kDispException, Register(u"HKCR { NoRemove CLSID { '' = s 'x' } }"));
  EXPECT_HR(kDispException, Unregister(u"HKCR { NoRemove CLSID { '' } }"));
  EXPECT_EQ(regerror::kInvalidParameter, parser.DeleteKeyTree(regkey::kClassesRoot, u""));
  EXPECT_EQ(before, registry.Dump());
}

TEST_F(WalkTest, UnregistrationKeepsWhatIsNotNamedOrNoRemove) {
  registry.AddStringValue(u"HKCR\\X", u"V", u"a");
  registry.AddStringValue(u"HKCR\\X", u"Other", u"b");
  registry.AddStringValue(u"HKCR\\Y\\Named", u"", u"n");
  registry.AddKey(u"HKCR\\Y\\Unnamed");
  registry.AddStringValue(u"HKCR\\Z", u"Unnamed", u"z");
  ASSERT_HR(kOk, Unregister(u"HKCR { NoRemove X { val V = s 'a' } Y { Named = s 'n' } Z = s 'z' "
                            u"ForceRemove Absent { Deeper { val Q = s 'q' } } }"));
  EXPECT_EQ((Lines{"HKCR\\X", "HKCR\\X Other = S:b", "HKCR\\Y", "HKCR\\Y\\Unnamed"}), registry.Dump());
}

TEST_F(WalkTest, UnregistrationOfAbsentKeysTouchesNothing) {
  registry.AddKey(u"HKCR\\Unrelated");
  const std::size_t before = registry.MutationCount();
  ASSERT_HR(kOk, Unregister(u"HKCR { A = s 'x' { B { val C = d 1 } } NoRemove D { val E = s 'e' } }"));
  EXPECT_EQ(before, registry.MutationCount());
  EXPECT_EQ(Lines{"HKCR\\Unrelated"}, registry.Dump());
}

TEST_F(WalkTest, FailedRootBlockIsUndone) {
  registry.AddStringValue(u"HKCR\\Pre\\Existing", u"", u"p");
  const std::int32_t hr = Register(
      u"HKLM { First = s '1' }\r\n"
      u"HKCR { Pre { Existing = s 'q' } New = s 'n' { Sub } Bad { val V = d 'x' } After }");
  EXPECT_HR(kDispTypeMismatch, hr);
  // The first block stays; the second is removed as an unregistration would,
  // including the key that was there before; nothing after the failure ran.
  EXPECT_EQ((Lines{"HKLM\\First", "HKLM\\First @ = S:1"}), registry.Dump());
}

TEST_F(WalkTest, ReadOnlyKeyFailsOnWriteAndIsKept) {
  registry.AddStringValue(u"HKLM\\Locked", u"", u"old");
  registry.SetReadOnly(u"HKLM\\Locked");
  EXPECT_HR(kAccessDeniedHr, Register(u"HKLM { Locked = s 'new' }"));
  EXPECT_EQ("T1:6f006c0064000000", ValueText(u"HKLM\\Locked", u""));
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\Locked"));
  EXPECT_HR(kAccessDeniedHr, Register(u"HKLM { Locked { Child } }"));
  EXPECT_FALSE(registry.KeyExists(u"HKLM\\Locked\\Child"));
}

TEST_F(WalkTest, RegistryFailuresBecomeResults) {
  registry.AddStringValue(u"HKLM\\K", u"V", u"v");
  registry.SetFailure(MemoryRegistry::Operation::kDeleteValue, 5);
  EXPECT_HR(kAccessDeniedHr, Unregister(u"HKLM { K { val V = s 'v' } }"));
  registry.SetFailure(MemoryRegistry::Operation::kDeleteValue, 0);

  registry.SetFailure(MemoryRegistry::Operation::kClose, 6);
  EXPECT_HR(static_cast<std::int32_t>(0x80070006u), Unregister(u"HKLM { K }"));
  registry.SetFailure(MemoryRegistry::Operation::kClose, 0);

  registry.SetFailure(MemoryRegistry::Operation::kQuery, 5);
  EXPECT_HR(kAccessDeniedHr, Unregister(u"HKLM { K }"));
  registry.SetFailure(MemoryRegistry::Operation::kQuery, 0);
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\K")) << "a key with an unknown subkey count was deleted";

  registry.SetFailure(MemoryRegistry::Operation::kCreate, 14);
  EXPECT_HR(static_cast<std::int32_t>(0x8007000Eu), Register(u"HKLM { New }"));
  registry.SetFailure(MemoryRegistry::Operation::kCreate, 0);

  registry.SetFailure(MemoryRegistry::Operation::kOpen, 5);
  EXPECT_HR(kAccessDeniedHr, Unregister(u"HKLM { K { val V = s 'v' } }"));
  registry.SetFailure(MemoryRegistry::Operation::kOpen, 0);
  EXPECT_EQ("T1:76000000", ValueText(u"HKLM\\K", u"V"));
  // A failure in a key's sub-block ends the walk when the key was opened.
  registry.SetFailure(MemoryRegistry::Operation::kDeleteKey, 5);
  registry.AddKey(u"HKLM\\K\\C");
  EXPECT_HR(kAccessDeniedHr, Unregister(u"HKLM { K { C } }"));
  registry.SetFailure(MemoryRegistry::Operation::kDeleteKey, 0);
  EXPECT_HR(kOk, Unregister(u"HKLM { K { C val V = s 'v' } }"));
  EXPECT_EQ(Lines{}, registry.Dump());
}

TEST_F(WalkTest, LongNamesAndTextsStayInsideTheirBuffers) {
  // Longer than the 260-unit buffer that remembers a key for deletion, and
  // than the registry allows: refused at creation, absent at unregistration.
  const std::u16string longName(300, u'k');
  EXPECT_HR(static_cast<std::int32_t>(0x80070057u), Register(u"HKLM { " + longName + u" }"));
  EXPECT_HR(kOk, Unregister(u"HKLM { " + longName + u" { val V = s 'v' } }"));
  // A list longer than the inline buffer.
  std::u16string list;
  for (int i = 0; i < 100; ++i) list += u"ab\\0";
  ASSERT_HR(kOk, Register(u"HKLM { K { val M = m '" + list + u"' } }"));
  const MemoryRegistry::Value* value = registry.FindValue(u"HKLM\\K", u"M");
  ASSERT_NE(nullptr, value);
  EXPECT_EQ((100u * 3u + 1u) * 2u, value->data.size());
  const std::u16string longValue(kMaxTokenLength, u'v');
  ASSERT_HR(kOk, Register(u"HKLM { K { val S = s '" + longValue + u"' } }"));
  EXPECT_EQ((kMaxTokenLength + 1) * 2, registry.FindValue(u"HKLM\\K", u"S")->data.size());
}

TEST_F(WalkTest, NestingDepthIsLimited) {
  std::u16string fits, tooDeep;
  for (int i = 0; i < kMaxBlockDepth - 1; ++i) fits += u"K { ";
  for (int i = 0; i < kMaxBlockDepth - 1; ++i) fits += u"} ";
  for (int i = 0; i < kMaxBlockDepth; ++i) tooDeep += u"K { ";
  tooDeep += u"Inner ";
  for (int i = 0; i < kMaxBlockDepth; ++i) tooDeep += u"} ";
  EXPECT_HR(kOk, Register(u"HKLM { " + fits + u"}"));
  EXPECT_HR(kOk, Unregister(u"HKLM { " + fits + u"}"));
  EXPECT_EQ(Lines{}, registry.Dump());
  EXPECT_HR(kDispException, Register(u"HKLM { " + tooDeep + u"}"));
  std::u16string deepest = u"HKLM";
  for (int i = 0; i < kMaxBlockDepth; ++i) deepest += u"\\K";
  EXPECT_TRUE(registry.KeyExists(deepest));
  EXPECT_FALSE(registry.KeyExists(deepest + u"\\Inner")) << "a key beyond the limit was created";
  // The undo reads the same text and stops at the same level, so what the
  // levels above created stays, as with any script that is malformed inside.
  EXPECT_HR(kDispException, Unregister(u"HKLM { " + tooDeep + u"}"));
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\K"));
}

TEST_F(WalkTest, DeleteKeyTreeRemovesEveryLevel) {
  registry.AddStringValue(u"HKLM\\T\\A\\B\\C", u"", u"c");
  registry.AddKey(u"HKLM\\T\\A\\D");
  registry.AddKey(u"HKLM\\T\\E");
  registry.AddKey(u"HKLM\\Keep");
  EXPECT_EQ(0, parser.DeleteKeyTree(regkey::kLocalMachine, u"t"));
  EXPECT_EQ(Lines{"HKLM\\Keep"}, registry.Dump());
  EXPECT_EQ(2, parser.DeleteKeyTree(regkey::kLocalMachine, u"T"));
  registry.AddKey(u"HKLM\\R\\Locked");
  registry.SetReadOnly(u"HKLM\\R\\Locked");
  EXPECT_EQ(5, parser.DeleteKeyTree(regkey::kLocalMachine, u"R"));
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\R\\Locked"));
  EXPECT_EQ(0u, registry.OpenHandleCount());
}

TEST_F(WalkTest, PerUserUnregistrationRemovesSoftwareAndClassesOnlyWhenEmpty) {
  g_perUser = true;
  ASSERT_HR(kOk, Register(u"HKCR { A = s 'a' }"));
  EXPECT_EQ((Lines{"HKCU\\Software", "HKCU\\Software\\Classes", "HKCU\\Software\\Classes\\A",
                   "HKCU\\Software\\Classes\\A @ = S:a"}),
            registry.Dump());
  ASSERT_HR(kOk, Unregister(u"HKCR { A = s 'a' }"));
  EXPECT_EQ(Lines{}, registry.Dump());

  registry.AddKey(u"HKCU\\Software\\Vendor");
  ASSERT_HR(kOk, Register(u"HKCR { A }"));
  ASSERT_HR(kOk, Unregister(u"HKCR { A }"));
  EXPECT_EQ((Lines{"HKCU\\Software", "HKCU\\Software\\Vendor"}), registry.Dump());
}

}  // namespace
}  // namespace testing_support
}  // namespace stavora
