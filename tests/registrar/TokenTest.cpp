// Blanks and tokens: quoting, doubled apostrophes, where tokens end, the
// 4094-unit limit and the end of the text.
#include "RegistrarTestSupport.h"

namespace stavora {
namespace testing_support {
namespace {

using regresult::kDispException;
using regresult::kOk;

class TokenTest : public RegistrarTest {
 protected:
  // Reads every token of `text` and returns them; `*last` is the result of the
  // read that stopped the loop (DISP_E_EXCEPTION at the end of the text).
  std::vector<std::string> Tokens(const std::u16string& text, std::int32_t* last) {
    m_text = text;
    parser.SetCursor(m_text.c_str());
    std::vector<std::string> tokens;
    TokenBuffer token;
    for (;;) {
      *last = parser.ReadToken(token);
      if (*last != kOk) break;
      tokens.push_back(Narrow(token));
    }
    return tokens;
  }
  void ExpectTokens(const std::u16string& text, const std::vector<std::string>& expected) {
    std::int32_t last = kOk;
    EXPECT_EQ(expected, Tokens(text, &last)) << "text: " << Narrow(text);
    EXPECT_HR(kDispException, last) << "text: " << Narrow(text);
  }
  std::u16string m_text;
};

TEST_F(TokenTest, BareAndQuotedTokens) {
  ExpectTokens(u" \t\r\nabc  def\n", {"abc", "def"});
  ExpectTokens(u"'It''s' '' 'a b'", {"It's", "", "a b"});
  ExpectTokens(u"'abc'def", {"abc", "def"});
  ExpectTokens(u"name= {0000-1111} x'y%\\z", {"name=", "{0000-1111}", "x'y%\\z"});
  ExpectTokens(u"''''", {"'"});
  ExpectTokens(u"", {});
}

TEST_F(TokenTest, UnterminatedQuoteFails) {
  std::int32_t last = kOk;
  EXPECT_EQ(std::vector<std::string>{"a"}, Tokens(u"a 'open ended", &last));
  EXPECT_HR(kDispException, last);
  EXPECT_EQ(std::vector<std::string>{}, Tokens(u"'ends on a doubled ''", &last));
  EXPECT_HR(kDispException, last);
}

TEST_F(TokenTest, TokenLengthLimit) {
  std::int32_t last = kOk;
  const std::u16string fits(kMaxTokenLength, u'x');
  std::vector<std::string> tokens = Tokens(fits + u" y", &last);
  ASSERT_EQ(2u, tokens.size());
  EXPECT_EQ(kMaxTokenLength, tokens[0].size());
  EXPECT_EQ("y", tokens[1]);

  tokens = Tokens(fits + u"x y", &last);
  EXPECT_TRUE(tokens.empty());
  EXPECT_HR(kDispException, last);

  // Quoted: the apostrophes do not count, a doubled one counts once.
  tokens = Tokens(u"'" + std::u16string(kMaxTokenLength - 1, u'q') + u"'''", &last);
  ASSERT_EQ(1u, tokens.size());
  EXPECT_EQ(kMaxTokenLength, tokens[0].size());
  tokens = Tokens(u"'" + std::u16string(kMaxTokenLength, u'q') + u"'''", &last);
  EXPECT_TRUE(tokens.empty());
  EXPECT_HR(kDispException, last);
}

TEST_F(TokenTest, SurrogatePairsStayWhole) {
  // The limit counts units; a pair that would straddle it is refused whole.
  std::int32_t last = kOk;
  const std::u16string pair = u"\xD83D\xDE00";
  std::vector<std::string> tokens = Tokens(std::u16string(kMaxTokenLength - 2, u'x') + pair, &last);
  EXPECT_EQ(1u, tokens.size());
  tokens = Tokens(std::u16string(kMaxTokenLength - 1, u'x') + pair, &last);
  EXPECT_TRUE(tokens.empty());
  EXPECT_HR(kDispException, last);
}

TEST_F(TokenTest, SkipBlanksStopsAtFirstOtherCharacter) {
  m_text = u" \t\r\n x ";
  parser.SetCursor(m_text.c_str());
  parser.SkipBlanks();
  EXPECT_EQ(m_text.c_str() + 5, parser.Cursor());
  m_text = u"\v";  // a vertical tab is not a blank
  parser.SetCursor(m_text.c_str());
  parser.SkipBlanks();
  EXPECT_EQ(m_text.c_str(), parser.Cursor());
}

TEST_F(TokenTest, StdNumberConversion) {
  const ITextServices& text = PlatformTextServices();
  std::uint32_t value = 7;
  EXPECT_HR(kOk, text.ParseUInt32(u"4294967295", &value));
  EXPECT_EQ(0xFFFFFFFFu, value);
  EXPECT_HR(regresult::kDispOverflow, text.ParseUInt32(u"4294967296", &value));
  EXPECT_HR(regresult::kDispTypeMismatch, text.ParseUInt32(u"12a", &value));
  EXPECT_HR(regresult::kDispTypeMismatch, text.ParseUInt32(u"", &value));
  EXPECT_HR(regresult::kDispTypeMismatch, text.ParseUInt32(u"-1", &value));
  EXPECT_EQ(0xFFFFFFFFu, value) << "a refused conversion changed the output";
  EXPECT_EQ(0, text.CompareNoCase(u"forceREMOVE", u"ForceRemove"));
  EXPECT_GT(0, text.CompareNoCase(u"Val", u"ValX"));
}

}  // namespace
}  // namespace testing_support
}  // namespace stavora
