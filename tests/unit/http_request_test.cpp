#include "service/http_request.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <vector>

#include "tools/client/envelope.h"

namespace {

using namespace std::string_literals;
using vasquill_client::BuildEnvelope;
using vasquill_client::EncodeQueryValue;

// Rows print as their name in test output.
template <typename Row>
  requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// The exchange's view of a request: its bytes in a buffer that is
// zero-terminated after them.
class RequestTest : public ::testing::Test {
 protected:
  int Attach(const std::string& text) { return Attach(text, static_cast<int>(text.size())); }

  int Attach(const std::string& text, int length) {
    buffer_.assign(text.begin(), text.end());
    buffer_.push_back('\0');
    return request_.Attach(buffer_.data(), length);
  }

  std::string Param(const std::string& name) { return request_.QueryRequestPara(name); }

  std::vector<char> buffer_;
  CHttpRequest request_;
};

std::string Get(const std::string& target, const std::string& headers = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:5110\r\n" + headers + "\r\n";
}

std::string Post(const std::string& body, const std::string& contentLength, const std::string& headers = "") {
  return "POST /x HTTP/1.1\r\nHost: 127.0.0.1:5110\r\nContent-Length: " + contentLength + "\r\n" + headers + "\r\n" +
         body;
}

// --- Attach: result codes ---------------------------------------------------

struct AttachCase {
  const char* name;
  std::string text;
  int result;
  std::string method;  // as recorded
};

const AttachCase kAttach[] = {
    {"Get", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 0, "GET"},
    {"GetWithoutHeaders", "GET / HTTP/1.1\r\n\r\n", 0, "GET"},
    {"Post", "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", 0, "POST"},
    {"NoBlankLine", "GET / HTTP/1.1\r\nHost: a\r\n", 1, ""},
    {"OnlyLineFeeds", "GET / HTTP/1.1\n\n", 1, ""},
    {"ZeroByteBeforeBlankLine", "GET / HTTP/1.1\r\nX: a\0b\r\n\r\n"s, 1, ""},
    {"Empty", "", 1, ""},
    {"NoHeaderLine", "\r\n\r\n", 2, ""},
    {"RequestLineWithoutSpace", "GET\r\nHost: a\r\n\r\n", 3, ""},
    {"RequestLineWithOneSpace", "GET /\r\n\r\n", 4, ""},
    {"Put", "PUT / HTTP/1.1\r\n\r\n", 5, "PUT"},
    {"Head", "HEAD / HTTP/1.1\r\n\r\n", 5, "HEAD"},
    {"Options", "OPTIONS * HTTP/1.1\r\nOrigin: https://bank\r\n\r\n", 5, "OPTIONS"},
    {"LowerCaseGet", "get / HTTP/1.1\r\n\r\n", 5, "get"},
    {"PostWithoutContentLength", "POST / HTTP/1.1\r\nHost: a\r\n\r\nab", 5, "POST"},
    {"PostWithLowerCaseContentLength", "POST / HTTP/1.1\r\ncontent-length: 2\r\n\r\nab", 5, "POST"},
    {"PostWithoutSpaceAfterColon", "POST / HTTP/1.1\r\nContent-Length:2\r\n\r\nab", 5, "POST"},
};

class AttachResult : public RequestTest, public ::testing::WithParamInterface<AttachCase> {};

TEST_P(AttachResult, ReturnsItsCodeAndRecordsTheMethod) {
  EXPECT_EQ(Attach(GetParam().text), GetParam().result);
  EXPECT_EQ(request_.GetRequestMethod(), GetParam().method);
}

INSTANTIATE_TEST_SUITE_P(Cases, AttachResult, ::testing::ValuesIn(kAttach),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RequestTest, AttachReadsOnlyTheGivenLength) {
  const std::string text = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
  EXPECT_EQ(Attach(text, static_cast<int>(text.size()) - 1), 1);
}

TEST_F(RequestTest, SplitsTheRequestLineAndKeepsEveryHeaderLine) {
  ASSERT_EQ(Attach("GET /path?q=1 HTTP/1.1 extra\r\nHost: a\r\nX-Other:  b \r\n\r\nignored body"), 0);
  EXPECT_EQ(request_.GetRequestMethod(), "GET");
  EXPECT_EQ(request_.GetUrl(), "/path?q=1");
  EXPECT_EQ(request_.GetVersion(), "HTTP/1.1 extra");
  EXPECT_EQ(request_.GetHeaderLines(),
            (std::vector<std::string>{"GET /path?q=1 HTTP/1.1 extra", "Host: a", "X-Other:  b "}));
  // A GET body is never looked at.
  EXPECT_EQ(request_.GetPostContent(), "");
  EXPECT_FALSE(request_.GetPostStatus());
}

TEST_F(RequestTest, RecordsMethodAndLinesOfAnUnknownMethod) {
  ASSERT_EQ(Attach("PUT /?a=1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"), 5);
  EXPECT_EQ(request_.GetHeaderLines().size(), 2u);
  EXPECT_EQ(request_.GetContentLength(), 3);
  EXPECT_EQ(Param("a"), "");
  EXPECT_EQ(request_.GetPostContent(), "");
}

TEST_F(RequestTest, HeaderLinesEndAtTheFirstBlankLine) {
  ASSERT_EQ(Attach("GET / HTTP/1.1\r\nA: 1\r\n\r\nB: 2\r\n\r\n"), 0);
  EXPECT_EQ(request_.GetHeaderLines(), (std::vector<std::string>{"GET / HTTP/1.1", "A: 1"}));
  EXPECT_EQ(request_.GetHeaderField("B"), "");
}

// --- Recognised headers -----------------------------------------------------

struct ContentLengthLine {
  const char* name;
  std::string line;
  int value;               // recorded Content-Length
  int postResult;          // Attach of a POST with this line and 20 body bytes
  std::string postContent;
};

const ContentLengthLine kContentLengthLines[] = {
    {"Exact", "Content-Length: 7", 7, 0, "0123456"},
    {"PrefixedName", "X-Content-Length: 7", 7, 0, "0123456"},
    {"AnywhereInTheLine", "Foo: bar Content-Length: 7", 7, 0, "0123456"},
    {"LowerCase", "content-length: 7", 0, 5, ""},
    {"NoSpaceAfterColon", "Content-Length:7", 0, 5, ""},
    {"NonDigitsConverted", "Content-Length: 1a", 59, 5, ""},
};

class ContentLengthHeader : public RequestTest, public ::testing::WithParamInterface<ContentLengthLine> {};

TEST_P(ContentLengthHeader, IsFoundByItsTextAnywhereInALine) {
  EXPECT_EQ(Attach("POST / HTTP/1.1\r\n" + GetParam().line + "\r\n\r\n0123456789ABCDEFGHIJ"), GetParam().postResult);
  EXPECT_EQ(request_.GetContentLength(), GetParam().value);
  EXPECT_EQ(request_.GetPostContent(), GetParam().postContent);
}

INSTANTIATE_TEST_SUITE_P(Lines, ContentLengthHeader, ::testing::ValuesIn(kContentLengthLines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RequestTest, LastContentLengthLineWins) {
  ASSERT_EQ(Attach(Post("abcdefgh", "3", "X-Content-Length: 5\r\n")), 0);
  EXPECT_EQ(request_.GetContentLength(), 5);
  EXPECT_EQ(request_.GetPostContent(), "abcde");
}

struct KeepAliveLine {
  std::string line;
  bool keepAlive;
};

const KeepAliveLine kKeepAliveLines[] = {
    {"Connection: keep-alive", true},
    {"Connection: Keep-Alive", false},
    {"Connection: keep-alive ", false},
    {"Connection:  keep-alive", false},
    {"X-Connection: keep-alive", false},
    {"Connection: close", false},
};

class KeepAliveHeader : public RequestTest, public ::testing::WithParamInterface<KeepAliveLine> {};

TEST_P(KeepAliveHeader, CountsOnlyTheExactLine) {
  ASSERT_EQ(Attach(Get("/", GetParam().line + "\r\n")), 0);
  EXPECT_EQ(request_.GetKeepAlive(), GetParam().keepAlive);
}

INSTANTIATE_TEST_SUITE_P(Lines, KeepAliveHeader, ::testing::ValuesIn(kKeepAliveLines));

struct ContentTypeLine {
  const char* name;
  std::string lines;
  std::string contentType;
  std::string boundary;
};

const ContentTypeLine kContentTypeLines[] = {
    {"Multipart", "Content-Type: multipart/form-data; boundary=----WebKitFormBoundaryAb12\r\n", "multipart/form-data",
     "----WebKitFormBoundaryAb12"},
    {"NoBoundary", "Content-Type: application/x-www-form-urlencoded\r\n", "", ""},
    {"ShortValue", "Content-Type: a\r\n", "", ""},
    {"BoundaryWithoutBlank", "Content-Type: multipart/form-data;boundary=x\r\n", "", ""},
    {"EmptyParts", "Content-Type: ; boundary=\r\n", "", ""},
    {"PrefixedName", "X-Content-Type: a/b; boundary=q\r\n", "a/b", "q"},
    {"BoundaryKeepsTheRestOfTheLine", "Content-Type: a/b; boundary=q; charset=x\r\n", "a/b", "q; charset=x"},
    {"LaterLineWithoutBoundaryKeepsIt", "Content-Type: a/b; boundary=q\r\nContent-Type: text/plain\r\n", "a/b", "q"},
    {"LaterBoundaryWins", "Content-Type: a/b; boundary=q\r\nContent-Type: c/d; boundary=r\r\n", "c/d", "r"},
    {"LowerCaseName", "content-type: a/b; boundary=q\r\n", "", ""},
};

class ContentTypeHeader : public RequestTest, public ::testing::WithParamInterface<ContentTypeLine> {};

TEST_P(ContentTypeHeader, RecordsTypeAndBoundaryOnlyWithABoundary) {
  ASSERT_EQ(Attach(Post("", "0", GetParam().lines)), 0);
  EXPECT_EQ(request_.GetContentType(), GetParam().contentType);
  EXPECT_EQ(request_.GetBoundary(), GetParam().boundary);
}

INSTANTIATE_TEST_SUITE_P(Lines, ContentTypeHeader, ::testing::ValuesIn(kContentTypeLines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RequestTest, GetHeaderFieldTakesTheLastMatchingLineWithoutLeadingSpaces) {
  ASSERT_EQ(Attach(Get("/",
                       "X-A: 1\r\nX-A:    2  \r\nX-AB: 3\r\nx-a: 4\r\nX-Tab:\tt\r\nX-Empty:\r\nX-Blank:   \r\n"
                       "Origin : o\r\n")),
            0);
  struct Field {
    std::string name;
    std::string value;
  };
  const Field fields[] = {
      {"X-A", "2  "},       // last line of that name; trailing blanks stay
      {"X-AB", "3"},        // the name must be followed by ":"
      {"Host", "127.0.0.1:5110"},
      {"x-ab", ""},         // case matters
      {"X-Tab", "\tt"},     // only spaces are removed
      {"X-Empty", ""},
      {"X-Blank", ""},
      {"Origin", ""},       // a blank before the colon is not the name
      {"Missing", ""},
  };
  for (const Field& field : fields) EXPECT_EQ(request_.GetHeaderField(field.name), field.value) << field.name;
}

// --- POST body --------------------------------------------------------------

struct BodyCase {
  const char* name;
  std::string body;  // bytes that came with the header block
  std::string contentLength;
  std::string content;
  bool complete;
  int left;
};

const BodyCase kBodies[] = {
    {"Exact", "0123456789", "10", "0123456789", true, 0},
    {"ExtraBytesIgnored", "0123456789ABCDEFGHIJKLMNO", "10", "0123456789", true, 0},
    {"ShortBody", std::string(60, 'b'), "100", std::string(60, 'b'), false, 40},
    {"NoBodyYet", "", "5", "", false, 5},
    {"ZeroLength", "", "0", "", true, 0},
    {"ZeroLengthWithBytes", "abc", "0", "", true, 0},
    {"ZeroBytesCopied", "a\0b\0c"s, "5", "a\0b\0c"s, true, 0},
    {"LargestInt", "ab", "2147483647", "ab", false, INT_MAX - 2},
};

class PostBody : public RequestTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(PostBody, TakesAtMostTheAnnouncedBytes) {
  ASSERT_EQ(Attach(Post(GetParam().body, GetParam().contentLength)), 0);
  EXPECT_TRUE(request_.HasValidContentLength());
  EXPECT_EQ(request_.GetPostContent(), GetParam().content);
  EXPECT_EQ(request_.GetPostStatus(), GetParam().complete);
  EXPECT_EQ(request_.GetPostLeftLength(), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(Cases, PostBody, ::testing::ValuesIn(kBodies),
                         [](const auto& info) { return std::string(info.param.name); });

const char* const kInvalidContentLengths[] = {"-1", "abc", "99999999999", "2147483648", "", " 10",
                                              "10 ", "1a", "+5", "0x10"};

class InvalidContentLength : public RequestTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(InvalidContentLength, IsRefusedWithoutTakingTheBody) {
  EXPECT_EQ(Attach(Post("0123456789", GetParam())), 5);
  EXPECT_FALSE(request_.HasValidContentLength());
  EXPECT_FALSE(request_.GetPostStatus());
  EXPECT_EQ(request_.GetPostLeftLength(), 0);
  EXPECT_EQ(request_.GetPostContent(), "");
  EXPECT_EQ(request_.GetRequestMethod(), "POST");
}

INSTANTIATE_TEST_SUITE_P(Texts, InvalidContentLength, ::testing::ValuesIn(kInvalidContentLengths));

TEST_F(RequestTest, PostTargetQueryIsNotParsed) {
  ASSERT_EQ(Attach("POST /?jsoncallback=cb&a=1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), 0);
  EXPECT_EQ(Param("jsoncallback"), "");
  EXPECT_EQ(Param("a"), "");
}

// --- Numbers and split -------------------------------------------------------

struct Digits {
  std::string text;
  int value;
};

const Digits kDigits[] = {
    {"12", 12},
    {"1a", 59},  // 1 * 10 + ('a' - '0')
    {"", 0},
    {"0", 0},
    {"007", 7},
    {"2147483647", INT_MAX},
    {"2147483648", INT_MIN},  // 32-bit arithmetic wraps
    {"4294967296", 0},
    {"-1", -29},  // ('-' - '0') * 10 + 1
    {" 1", -159},
};

class DecstringToIntCase : public ::testing::TestWithParam<Digits> {};

TEST_P(DecstringToIntCase, FollowsTheDigitArithmetic) {
  EXPECT_EQ(DecstringToInt(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, DecstringToIntCase, ::testing::ValuesIn(kDigits));

struct SplitCase {
  std::string text;
  std::string separator;
  std::vector<std::string> pieces;
};

const SplitCase kSplits[] = {
    {"a,b,c", ",", {"a", "b"}},
    {"a,b,c,", ",", {"a", "b", "c"}},
    {"abc", ",", {}},
    {"", ",", {}},
    {",,", ",", {"", ""}},
    {"a,,b,", ",", {"a", "", "b"}},
    {"a--b--", "--", {"a", "b"}},
    {"a---b", "--", {"a"}},
    {"x\r\n--B1\r\n--B2", "\r\n--B", {"x", "1"}},
    {"a,b", "", {}},
};

class SplitText : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitText, KeepsPiecesBeforeEachSeparator) {
  EXPECT_EQ(split(GetParam().text, GetParam().separator), GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitText, ::testing::ValuesIn(kSplits));

// --- Multipart forms ---------------------------------------------------------

constexpr char kBoundary[] = "----VasquillBoundary7MA4YWxk";

std::string Field(const std::string& name, const std::string& value) {
  return "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

std::string FilePart(const std::string& name) {
  return "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\nfile contents";
}

// A form as a browser writes it: each part after "--boundary", closed by
// "--boundary--".
std::string Form(const std::vector<std::string>& parts, const std::string& boundary = kBoundary) {
  std::string body;
  for (const std::string& part : parts) body += "--" + boundary + part + "\r\n";
  body += "--" + boundary + "--\r\n";
  return body;
}

class MultipartTest : public RequestTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(Attach(Post("", "0", std::string("Content-Type: multipart/form-data; boundary=") + kBoundary + "\r\n")),
              0);
  }
};

TEST_F(MultipartTest, TakesTheFieldsOfAFiveFieldForm) {
  std::string body = Form({Field("jsoncallback", "cb"), Field("str", "{\"rankey\":\"a=b&c\"}"), Field("com", "1"),
                           Field("empty", ""), Field("crlf", "line\r\n")});
  EXPECT_EQ(request_.ParseRequestPost(body), 0);
  EXPECT_EQ(Param("jsoncallback"), "cb");
  EXPECT_EQ(Param("str"), "{\"rankey\":\"a=b&c\"}");  // raw: no decoding
  EXPECT_EQ(Param("com"), "1");
  EXPECT_EQ(Param("empty"), "");
  EXPECT_EQ(Param("crlf"), "line\r\n");  // a value's own line end stays
}

TEST_F(MultipartTest, ValuesAreRawBytes) {
  std::string body = Form({Field("a", "%41+b"), Field("b", "x\0y"s), Field("c", "\r\n"), Field("d", " v "),
                           Field("e", "--not-the-boundary")});
  EXPECT_EQ(request_.ParseRequestPost(body), 0);
  EXPECT_EQ(Param("a"), "%41+b");
  EXPECT_EQ(Param("b"), "x\0y"s);
  EXPECT_EQ(Param("c"), "\r\n");
  EXPECT_EQ(Param("d"), " v ");
  EXPECT_EQ(Param("e"), "--not-the-boundary");
}

TEST_F(MultipartTest, SkipsFileParts) {
  std::string body = Form({Field("jsoncallback", "cb"), FilePart("upload"), Field("str", "s"), FilePart("other"),
                           Field("com", "c")});
  EXPECT_EQ(request_.ParseRequestPost(body), 0);
  EXPECT_EQ(Param("jsoncallback"), "cb");
  EXPECT_EQ(Param("str"), "s");
  EXPECT_EQ(Param("com"), "c");
  EXPECT_EQ(Param("upload"), "");
  EXPECT_EQ(Param("other"), "");
}

TEST_F(MultipartTest, FormWithoutUsableFieldTakesNothingButEmptiesTheTable) {
  ASSERT_EQ(request_.ParseRequestPost(Form({Field("old", "1"), Field("b", "2"), Field("c", "3"), Field("d", "4"),
                                            Field("e", "5")})),
            0);
  EXPECT_EQ(request_.ParseRequestPost(
                Form({FilePart("a"), FilePart("b"), FilePart("c"), FilePart("d"), FilePart("e")})),
            -1);
  EXPECT_EQ(Param("old"), "");
}

TEST_F(MultipartTest, FormsOfOtherSizesLeaveTheTableAlone) {
  ASSERT_EQ(request_.ParseRequestPost(Form({Field("jsoncallback", "cb"), Field("str", "s"), Field("com", "c"),
                                            Field("d", "4"), Field("e", "5")})),
            0);
  const std::vector<std::vector<std::string>> otherSizes = {
      {},
      {Field("jsoncallback", "x")},
      {Field("jsoncallback", "x"), Field("str", "y"), Field("com", "z"), Field("d", "w")},
      {Field("jsoncallback", "x"), Field("str", "y"), Field("com", "z"), Field("d", "w"), Field("e", "v"),
       Field("f", "u")},
  };
  for (const auto& parts : otherSizes) {
    EXPECT_EQ(request_.ParseRequestPost(Form(parts)), -1) << parts.size() << " fields";
    EXPECT_EQ(Param("jsoncallback"), "cb");
    EXPECT_EQ(Param("str"), "s");
    EXPECT_EQ(Param("com"), "c");
    EXPECT_EQ(Param("f"), "");
  }
}

TEST_F(MultipartTest, FourOrSixFieldsYieldNoParameters) {
  for (int count : {4, 6}) {
    CHttpRequest fresh;
    std::string text = Post("", "0", std::string("Content-Type: multipart/form-data; boundary=") + kBoundary + "\r\n");
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    ASSERT_EQ(fresh.Attach(buffer.data(), static_cast<int>(text.size())), 0);
    std::vector<std::string> parts = {Field("jsoncallback", "cb"), Field("str", "s"), Field("com", "c")};
    while (static_cast<int>(parts.size()) < count) parts.push_back(Field("extra" + std::to_string(parts.size()), "x"));
    EXPECT_EQ(fresh.ParseRequestPost(Form(parts)), -1);
    EXPECT_EQ(fresh.QueryRequestPara("jsoncallback"), "");
    EXPECT_EQ(fresh.QueryRequestPara("str"), "");
    EXPECT_EQ(fresh.QueryRequestPara("com"), "");
  }
}

TEST_F(MultipartTest, BodyMustStartWithTwoCharactersAndTheBoundary) {
  const std::vector<std::string> fields = {Field("a", "1"), Field("b", "2"), Field("c", "3"), Field("d", "4"),
                                           Field("e", "5")};
  std::string good = Form(fields);
  EXPECT_EQ(request_.ParseRequestPost("xx" + good.substr(2)), 0);  // any two characters
  EXPECT_EQ(request_.ParseRequestPost("\r\n" + good), -1);
  EXPECT_EQ(request_.ParseRequestPost(good.substr(1)), -1);
  EXPECT_EQ(request_.ParseRequestPost(""), -1);
  EXPECT_EQ(request_.ParseRequestPost("jsoncallback=cb&str=s&com=c"), -1);
  EXPECT_EQ(request_.ParseRequestPost(Form(fields, "OtherBoundary")), -1);
}

TEST_F(RequestTest, FormWithoutABoundaryHeaderIsNotParsed) {
  ASSERT_EQ(Attach(Post("", "0", "Content-Type: application/x-www-form-urlencoded\r\n")), 0);
  EXPECT_EQ(request_.ParseRequestPost(Form({Field("a", "1"), Field("b", "2"), Field("c", "3"), Field("d", "4"),
                                            Field("e", "5")})),
            -1);
  EXPECT_EQ(Param("a"), "");
}

// --- Query parameters ---------------------------------------------------------

struct QueryCase {
  const char* name;
  std::string target;
  std::vector<std::pair<std::string, std::string>> present;
  std::vector<std::string> absent;
};

const QueryCase kQueries[] = {
    {"PieceWithoutEqualsEndsParsing", "/?jsoncallback=cb&x&y=1", {{"jsoncallback", "cb"}}, {"x", "y"}},
    {"LaterValueWins", "/?a=1&a=2", {{"a", "2"}}, {}},
    {"EmptyPieceEndsParsing", "/?a=1&&b=2", {{"a", "1"}}, {"b"}},
    {"ValueKeepsFurtherEquals", "/?a=b=c&d==", {{"a", "b=c"}, {"d", "="}}, {}},
    {"EmptyValue", "/?a=&b=2", {{"a", ""}, {"b", "2"}}, {}},
    {"EmptyName", "/?=v", {{"", "v"}}, {}},
    {"TrailingAmpersand", "/?a=1&", {{"a", "1"}}, {}},
    {"EncodedAmpersandSplits", "/?a=x%26b=y", {{"a", "x"}, {"b", "y"}}, {}},
    {"EncodedEqualsIsAnEquals", "/?a%3Dx=y", {{"a", "x=y"}}, {}},
    {"PlusAndEscapes", "/?a=+%2B%2b%41%4", {{"a", " +2bA4"}}, {}},
    {"EscapedQuestionMarkStartsTheQuery", "/x%3Fa=1", {{"a", "1"}}, {}},
    {"FirstQuestionMarkStartsTheQuery", "/a?b?c=1", {{"b?c", "1"}}, {}},
    {"EscapedZeroEndsTheText", "/?a=1%00x&b=2", {{"a", "1"}}, {"b"}},
    {"NamesAreCaseSensitive", "/?A=1&a=2", {{"A", "1"}, {"a", "2"}}, {}},
};

class QueryParsing : public RequestTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(QueryParsing, FollowsThePieceRules) {
  ASSERT_EQ(Attach(Get(GetParam().target)), 0);
  for (const auto& [name, value] : GetParam().present) EXPECT_EQ(Param(name), value) << name;
  for (const std::string& name : GetParam().absent) EXPECT_EQ(Param(name), "") << name;
}

INSTANTIATE_TEST_SUITE_P(Queries, QueryParsing, ::testing::ValuesIn(kQueries),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseRequestUrl, ResultTellsWhetherStrWasJson) {
  struct Row {
    std::string target;
    int result;
  };
  const Row rows[] = {
      {"/", 0},
      {"/path/only", 0},
      {"/?", -1},
      {"/?a=1", -1},
      {"/?str=hello", -1},
      {"/?str=", -1},
      {"/?str=%7B%7D", 1},
      {"/?str=%5B%5D", 1},
  };
  for (const Row& row : rows) {
    CHttpRequest request;
    EXPECT_EQ(request.ParseRequestUrl(row.target), row.result) << row.target;
  }
}

// --- The envelope in str ------------------------------------------------------

std::string EnvelopeTarget(const std::string& envelope) {
  return "/?jsoncallback=jQuery_123&str=" + EncodeQueryValue(envelope) + "&_=1700000000000";
}

TEST_F(RequestTest, GetReplacesStrByTheCommandOfAValidEnvelope) {
  const std::string commands[] = {"{\"pcode\":4}", "{\"pcode\":5,\"errcode\":-901,\"note\":\"中文 & = +\"}", "splice",
                                  ""};
  for (const std::string& command : commands) {
    CHttpRequest request;
    std::string text = Get(EnvelopeTarget(BuildEnvelope(command)));
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    ASSERT_EQ(request.Attach(buffer.data(), static_cast<int>(text.size())), 0);
    EXPECT_EQ(request.QueryRequestPara("str"), command);
    EXPECT_EQ(request.QueryRequestPara("jsoncallback"), "jQuery_123");
    EXPECT_EQ(request.QueryRequestPara("_"), "1700000000000");
  }
}

TEST(ParseRequestUrl, ValidEnvelopeGivesOne) {
  CHttpRequest request;
  EXPECT_EQ(request.ParseRequestUrl(EnvelopeTarget(BuildEnvelope("{\"pcode\":8}"))), 1);
  EXPECT_EQ(request.QueryRequestPara("str"), "{\"pcode\":8}");
}

struct StrCase {
  const char* name;
  std::string str;  // before query encoding
  int result;
  std::string after;
};

const StrCase kStrs[] = {
    {"NotJson", "hello", -1, "hello"},
    {"BareCommandIsNotAnEnvelope", "{\"pcode\":4}", 1, ""},
    {"ObjectWithoutMembers", "{\"a\":1}", 1, ""},
    {"EmptyObject", "{}", 1, ""},
    {"RootArray", "[\"rankeyrankeyrankey\",\"x\",\"y\"]", 1, ""},
    {"NonStringMembers", "{\"rankey\":12345678901234567890,\"datab\":[],\"datac\":{}}", 1, ""},
    {"JsonScalarIsNotJsonText", "\"text\"", -1, "\"text\""},
    {"CutShortJson", "{\"rankey\":", -1, "{\"rankey\":"},
    {"NestedTooDeeply", std::string(2000, '[') + std::string(2000, ']'),
     -1, std::string(2000, '[') + std::string(2000, ']')},
};

class StrReplacement : public RequestTest, public ::testing::WithParamInterface<StrCase> {};

TEST_P(StrReplacement, ReplacesJsonTextOnly) {
  ASSERT_EQ(Attach(Get("/?jsoncallback=cb&str=" + EncodeQueryValue(GetParam().str))), 0);
  EXPECT_EQ(Param("str"), GetParam().after);
  EXPECT_EQ(Param("jsoncallback"), "cb");
  CHttpRequest direct;
  EXPECT_EQ(direct.ParseRequestUrl("/?str=" + EncodeQueryValue(GetParam().str)), GetParam().result);
  EXPECT_EQ(direct.QueryRequestPara("str"), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Values, StrReplacement, ::testing::ValuesIn(kStrs),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RequestTest, EnvelopeWithAFailedCheckLeavesAnEmptyStr) {
  std::string envelope = BuildEnvelope("{\"pcode\":4}", "ABCDEFGHIJKLMNOPQRSTUVWX");
  // Another rankey of the same length: datab no longer decrypts to it.
  envelope.replace(envelope.find("ABCDEFGHIJKLMNOPQRSTUVWX"), 24, "ABCDEFGHIJKLMNOPQRSTUVWY");
  ASSERT_EQ(Attach(Get(EnvelopeTarget(envelope))), 0);
  EXPECT_EQ(Param("str"), "");
  EXPECT_EQ(Param("jsoncallback"), "jQuery_123");
}

TEST_F(RequestTest, DecryptStrUsesNoStateOfTheRequest) {
  std::string envelope = BuildEnvelope("{\"pcode\":7,\"Log\":true}");
  EXPECT_EQ(request_.DecryptStr(envelope), "{\"pcode\":7,\"Log\":true}");
  ASSERT_EQ(Attach(Get("/?a=1")), 0);
  EXPECT_EQ(request_.DecryptStr(envelope), "{\"pcode\":7,\"Log\":true}");
  EXPECT_EQ(Param("a"), "1");
  EXPECT_EQ(Param("str"), "");
}

// --- Deattach -----------------------------------------------------------------

TEST_F(RequestTest, DeattachEmptiesThePerRequestState) {
  ASSERT_EQ(Attach(Post("0123456789", "20",
                        std::string("Connection: keep-alive\r\nContent-Type: multipart/form-data; boundary=") +
                            kBoundary + "\r\n")),
            0);
  ASSERT_EQ(request_.ParseRequestPost(Form({Field("a", "1"), Field("b", "2"), Field("c", "3"), Field("d", "4"),
                                            Field("e", "5")})),
            0);
  ASSERT_TRUE(request_.GetKeepAlive());

  EXPECT_EQ(request_.Deattach(), 0);
  EXPECT_EQ(request_.GetRequestMethod(), "");
  EXPECT_EQ(request_.GetPostContent(), "");
  EXPECT_EQ(request_.GetPostLeftLength(), 0);
  EXPECT_FALSE(request_.GetPostStatus());
  EXPECT_FALSE(request_.GetKeepAlive());
  EXPECT_FALSE(request_.HasValidContentLength());
  EXPECT_EQ(request_.GetContentLength(), 0);
  EXPECT_EQ(request_.GetContentType(), "");
  EXPECT_EQ(request_.GetBoundary(), "");
  EXPECT_TRUE(request_.GetHeaderLines().empty());
  EXPECT_EQ(request_.GetHeaderField("Host"), "");
  EXPECT_EQ(Param("a"), "");

  // The emptied object takes another request as a fresh one would.
  ASSERT_EQ(Attach(Get("/?jsoncallback=cb")), 0);
  EXPECT_EQ(request_.GetRequestMethod(), "GET");
  EXPECT_EQ(Param("jsoncallback"), "cb");
  EXPECT_EQ(Param("a"), "");
  EXPECT_FALSE(request_.GetKeepAlive());
  EXPECT_EQ(request_.GetHeaderLines().size(), 2u);
}

TEST(CHttpRequestFresh, StartsEmpty) {
  CHttpRequest request;
  EXPECT_EQ(request.GetRequestMethod(), "");
  EXPECT_EQ(request.GetPostContent(), "");
  EXPECT_EQ(request.GetPostLeftLength(), 0);
  EXPECT_FALSE(request.GetPostStatus());
  EXPECT_FALSE(request.GetKeepAlive());
  EXPECT_EQ(request.QueryRequestPara("str"), "");
  EXPECT_EQ(request.GetHeaderField("Host"), "");
}

}  // namespace
